#include "db/warehouse.h"

#include "db/audittrail.h"
#include "db/connection.h"
#include "db/dialect.h"
#include "db/schema.h"
#include "db/sql.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSet>

#include <array>

namespace quv::db {

namespace {

// Fixed seeds: a generated warehouse is the same on every run, so benchmark
// numbers and test expectations stay comparable.
constexpr quint32 NameSeed = 20240611;
constexpr quint32 GrantSeed = 19700101;

const std::array FirstNames = {
    "João",     "Maria",    "José",     "Ana",     "Antônio",  "Francisca", "Carlos",  "Adriana",
    "Paulo",    "Juliana",  "Pedro",    "Márcia",  "Lucas",    "Fernanda",  "Luiz",    "Patrícia",
    "Marcos",   "Aline",    "Luís",     "Sandra",  "Gabriel",  "Camila",    "Rafael",  "Amanda",
    "Daniel",   "Bruna",    "Marcelo",  "Jéssica", "Bruno",    "Letícia",   "Eduardo", "Júlia",
    "Felipe",   "Luciana",  "Raimundo", "Vanessa", "Rodrigo",  "Mariana",   "Manoel",  "Gabriela",
    "Mateus",   "Vitória",  "André",    "Larissa", "Fernando", "Cláudia",   "Fábio",   "Beatriz",
    "Leonardo", "Conceição"};

const std::array Surnames = {
    "Silva",   "Santos",     "Oliveira",  "Souza",     "Rodrigues", "Ferreira", "Alves",
    "Pereira", "Lima",       "Gomes",     "Costa",     "Ribeiro",   "Martins",  "Carvalho",
    "Almeida", "Lopes",      "Soares",    "Fernandes", "Vieira",    "Barbosa",  "Rocha",
    "Dias",    "Nascimento", "Andrade",   "Moreira",   "Nunes",     "Marques",  "Machado",
    "Mendes",  "Freitas",    "Cardoso",   "Ramos",     "Gonçalves", "Santana",  "Teixeira",
    "Araújo",  "Magalhães",  "Conceição", "Brandão",   "Peçanha"};

const std::array Cities = {
    "São Paulo",   "Rio de Janeiro", "Belo Horizonte", "Brasília",     "Salvador",
    "Fortaleza",   "Curitiba",       "Recife",         "Porto Alegre", "Manaus",
    "Belém",       "Goiânia",        "Florianópolis",  "Vitória",      "Natal",
    "João Pessoa", "Maceió",         "Teresina",       "Cuiabá",       "Campo Grande",
    "São Luís",    "Aracaju",        "Macapá",         "Boa Vista",    "Palmas",
    "Porto Velho", "Rio Branco",     "Niterói",        "Campinas",     "Ribeirão Preto"};

const std::array ProductKinds = {
    "Café Torrado",     "Arroz Agulhinha", "Feijão Carioca",     "Açúcar Cristal",
    "Leite Integral",   "Óleo de Soja",    "Macarrão Espaguete", "Farinha de Trigo",
    "Biscoito Maisena", "Sabão em Pó",     "Detergente Líquido", "Refrigerante de Guaraná",
    "Suco de Laranja",  "Água Mineral",    "Chocolate ao Leite", "Manteiga com Sal",
    "Queijo Muçarela",  "Presunto Cozido", "Iogurte Natural",    "Pão de Forma"};
const std::array ProductLines = {"Tradicional", "Integral", "Light", "Premium",
                                 "Econômico",   "Orgânico", "Zero",  "Extra"};
const std::array ProductSizes = {"200g", "500g", "1kg", "2kg", "1L", "2L", "5kg"};

const std::array FactSubjects = {
    "Vendas",    "Estoque",  "Compras",   "Metas",    "Devoluções",  "Financeiro", "Logística",
    "Marketing", "Crédito",  "Cobrança",  "Pessoal",  "Frota",       "Serviços",   "Contratos",
    "Qualidade", "Produção", "Comercial", "Tributos", "Atendimento", "Ouvidoria"};
const std::array FactMeasures = {"Valor", "Quantidade", "Custo", "Margem", "Desconto",
                                 "Média", "Percentual", "Saldo", "Total",  "Índice"};

const std::array<std::pair<const char *, const char *>, 5> Regions = {
    {{"N", "Norte"}, {"NE", "Nordeste"}, {"CO", "Centro-Oeste"}, {"SE", "Sudeste"}, {"S", "Sul"}}};

const std::array<std::pair<const char *, const char *>, 5> PaymentKinds = {
    {{"DIN", "Dinheiro"},
     {"CRE", "Cartão de Crédito"},
     {"DEB", "Cartão de Débito"},
     {"PIX", "Pix"},
     {"BOL", "Boleto Bancário"}}};

QString s(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

QVariant nullText()
{
    return QVariant(QMetaType::fromType<QString>());
}

template <typename List> QString pick(QRandomGenerator &rng, const List &list)
{
    return s(list[rng.bounded(quint32(list.size()))]);
}

QString personName(QRandomGenerator &rng)
{
    return pick(rng, FirstNames) + QLatin1Char(' ') + pick(rng, Surnames) + QLatin1Char(' ') +
           pick(rng, Surnames);
}

QString clientCode(qint64 i)
{
    return QStringLiteral("C%1").arg(i, 7, 10, QLatin1Char('0'));
}
QString productCode(qint64 i)
{
    return QStringLiteral("P%1").arg(i, 6, 10, QLatin1Char('0'));
}
QString storeCode(qint64 i)
{
    return QStringLiteral("L%1").arg(i, 4, 10, QLatin1Char('0'));
}
QString sellerCode(qint64 i)
{
    return QStringLiteral("V%1").arg(i, 5, 10, QLatin1Char('0'));
}

// Base-36 keeps group codes within their two characters past 100 groups.
QString groupCode(int i)
{
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    QString code;
    code += QLatin1Char(digits[(i / 36) % 36]);
    code += QLatin1Char(digits[i % 36]);
    return code;
}

struct ValueTable
{
    QString table;
    QString keyColumn;
    QString nameColumn;
    qint64 rows;
    std::function<QString(qint64)> code; // value key of row 1..rows
};

/// Writes the rows of one warehouse and counts them per table.
class Filler
{
public:
    Filler(const QSqlDatabase &db, const WarehouseOptions &options) : m_db(db), m_options(options)
    {
    }

    WarehouseCounts counts;

    BulkInserter inserter(const QString &table, const QStringList &columns)
    {
        if (!m_timer.isValid())
            m_timer.start();
        return BulkInserter(m_db, table, columns);
    }

    void done(const QString &table, BulkInserter &inserter)
    {
        inserter.finish();
        counts.tables.append({table, inserter.count()});
        if (m_options.progress)
            m_options.progress(QStringLiteral("%1: %2 rows in %3 ms")
                                   .arg(table, -14)
                                   .arg(inserter.count())
                                   .arg(m_timer.restart()));
    }

private:
    QSqlDatabase m_db;
    const WarehouseOptions &m_options;
    QElapsedTimer m_timer;
};

// ------------------------------------------------------------------- demo

struct DemoGrants
{
    const char *principal;
    QList<std::pair<const char *, const char *>> facts; // table, item ("*": every item)
    QList<int> dimensions;
    QList<std::pair<int, QStringList>> filters;
};

void fillDemo(Filler &f)
{
    {
        BulkInserter ins = f.inserter(QStringLiteral("GRUPOPER"),
                                      {QStringLiteral("CDGRUPOPER"), QStringLiteral("DSGRUPOPER")});
        const std::array<std::pair<const char *, const char *>, 7> groups = {{
            {"01", "Diretoria"},
            {"02", "Gerência Comercial"},
            {"03", "Compras e Suprimentos"},
            {"04", "Logística"},
            {"05", "Financeiro"},
            {"06", "Tecnologia da Informação"},
            {"07", "Auditoria Interna"},
        }};
        for (const auto &[code, name] : groups)
            ins.add({s(code), s(name)});
        f.done(QStringLiteral("GRUPOPER"), ins);
    }
    {
        BulkInserter ins = f.inserter(QStringLiteral("OPERADOR"),
                                      {QStringLiteral("CDOPERADOR"), QStringLiteral("NMOPERADOR"),
                                       QStringLiteral("CDGRUPOPER")});
        const std::array<std::array<const char *, 3>, 11> operators = {{
            {"JSILVA", "João da Silva", "02"},
            {"MSOUZA", "Maria Aparecida de Souza", "02"},
            {"ACONCEICAO", "Ana Conceição Lima", "03"},
            {"PGONCALVES", "Paulo Gonçalves", "04"},
            {"FARAUJO", "Fernanda Araújo", "05"},
            {"LPEREIRA", "Lucas Pereira", "06"},
            {"BRIBEIRO", "Beatriz Ribeiro", "01"},
            {"RMAGALHAES", "Ricardo Magalhães", "01"},
            {"CFERREIRA", "Cláudia Ferreira", "02"},
            {"ADMIN", "Administrador do Sistema", "06"},
            {"VISITANTE", "Usuário Visitante", nullptr},
        }};
        for (const auto &[code, name, group] : operators)
            ins.add({s(code), s(name), group ? QVariant(s(group)) : nullText()});
        f.done(QStringLiteral("OPERADOR"), ins);
    }
    {
        BulkInserter ins = f.inserter(QStringLiteral("TABELADW"),
                                      {QStringLiteral("CDTABELADW"), QStringLiteral("NMTABELADW")});
        ins.add({QStringLiteral("FATOVENDA"), QStringLiteral("Vendas")});
        ins.add({QStringLiteral("FATOESTOQUE"), QStringLiteral("Estoque")});
        ins.add({QStringLiteral("FATOMETA"), QStringLiteral("Metas de Venda")});
        f.done(QStringLiteral("TABELADW"), ins);
    }
    const std::array<std::array<const char *, 3>, 14> items = {{
        {"FATOVENDA", "VLVENDA", "Valor da Venda"},
        {"FATOVENDA", "QTVENDA", "Quantidade Vendida"},
        {"FATOVENDA", "VLDESCONTO", "Desconto Concedido"},
        {"FATOVENDA", "VLCUSTO", "Custo da Mercadoria Vendida"},
        {"FATOVENDA", "VLMARGEM", "Margem Bruta"},
        {"FATOVENDA", "QTITENSCUPOM", "Itens por Cupom"},
        {"FATOVENDA", "VLTICKETMEDIO", "Tíquete Médio"},
        {"FATOESTOQUE", "QTESTOQUE", "Quantidade em Estoque"},
        {"FATOESTOQUE", "VLESTOQUE", "Valor do Estoque"},
        {"FATOESTOQUE", "IDGIRO", "Giro de Estoque"},
        {"FATOESTOQUE", "QTDIASCOBERT", "Dias de Cobertura"},
        {"FATOESTOQUE", "QTRUPTURA", "Ruptura de Estoque"},
        {"FATOMETA", "VLMETA", "Meta de Faturamento"},
        {"FATOMETA", "PCATINGIDO", "Percentual da Meta Atingido"},
    }};
    {
        BulkInserter ins = f.inserter(
            QStringLiteral("ITEMDW"),
            {QStringLiteral("CDTABELADW"), QStringLiteral("CDITEMDW"), QStringLiteral("NMITEMDW")});
        for (const auto &[table, item, name] : items)
            ins.add({s(table), s(item), s(name)});
        f.done(QStringLiteral("ITEMDW"), ins);
    }
    {
        BulkInserter ins = f.inserter(QStringLiteral("DIMEDW"),
                                      {QStringLiteral("NRSEQUEDIME"), QStringLiteral("NMITEMDIME"),
                                       QStringLiteral("CDTABELADIME"), QStringLiteral("DSPKDIME"),
                                       QStringLiteral("DSITEMDIME")});
        const auto dim = [&](int nr, const char *name, const char *table, const char *key,
                             const char *desc) {
            if (table)
                ins.add({nr, s(name), s(table), s(key), s(desc)});
            else
                ins.add({nr, s(name), nullText(), nullText(), nullText()});
        };
        dim(1, "Cliente", "DIMCLIENTE", "CDCLIENTE", "DSCLIENTE");
        dim(2, "Produto", "DIMPRODUTO", "CDPRODUTO", "DSPRODUTO");
        dim(3, "Loja", "DIMLOJA", "CDLOJA", "DSLOJA");
        dim(4, "Região", "DIMREGIAO", "CDREGIAO", "DSREGIAO");
        dim(5, "Mês de Referência", nullptr, nullptr, nullptr);
        dim(6, "Forma de Pagamento", "DIMFORMAPAGTO", "CDFORMAPAGTO", "DSFORMAPAGTO");
        dim(7, "Vendedor", "DIMVENDEDOR", "CDVENDEDOR", "DSVENDEDOR");
        dim(8, "Ano", nullptr, nullptr, nullptr);
        f.done(QStringLiteral("DIMEDW"), ins);
    }

    // Value tables.
    QRandomGenerator names(NameSeed);
    {
        BulkInserter ins = f.inserter(QStringLiteral("DIMCLIENTE"),
                                      {QStringLiteral("CDCLIENTE"), QStringLiteral("DSCLIENTE")});
        for (int i = 1; i <= 40; ++i)
            ins.add({clientCode(i), personName(names)});
        f.done(QStringLiteral("DIMCLIENTE"), ins);
    }
    {
        BulkInserter ins = f.inserter(QStringLiteral("DIMPRODUTO"),
                                      {QStringLiteral("CDPRODUTO"), QStringLiteral("DSPRODUTO")});
        int i = 0;
        for (const char *kind : ProductKinds)
            for (const char *size : {"500g", "1kg"})
                ins.add({productCode(++i), QString(s(kind) + QLatin1Char(' ') + s(size))});
        f.done(QStringLiteral("DIMPRODUTO"), ins);
    }
    {
        BulkInserter ins = f.inserter(QStringLiteral("DIMLOJA"),
                                      {QStringLiteral("CDLOJA"), QStringLiteral("DSLOJA")});
        const std::array stores = {"Loja Centro - São Paulo",
                                   "Loja Paulista - São Paulo",
                                   "Loja Copacabana - Rio de Janeiro",
                                   "Loja Savassi - Belo Horizonte",
                                   "Loja Asa Sul - Brasília",
                                   "Loja Pelourinho - Salvador",
                                   "Loja Batel - Curitiba",
                                   "Loja Moinhos - Porto Alegre"};
        int i = 0;
        for (const char *store : stores)
            ins.add({storeCode(++i), s(store)});
        f.done(QStringLiteral("DIMLOJA"), ins);
    }
    {
        BulkInserter ins = f.inserter(QStringLiteral("DIMREGIAO"),
                                      {QStringLiteral("CDREGIAO"), QStringLiteral("DSREGIAO")});
        for (const auto &[code, name] : Regions)
            ins.add({s(code), s(name)});
        f.done(QStringLiteral("DIMREGIAO"), ins);
    }
    {
        BulkInserter ins =
            f.inserter(QStringLiteral("DIMFORMAPAGTO"),
                       {QStringLiteral("CDFORMAPAGTO"), QStringLiteral("DSFORMAPAGTO")});
        for (const auto &[code, name] : PaymentKinds)
            ins.add({s(code), s(name)});
        f.done(QStringLiteral("DIMFORMAPAGTO"), ins);
    }
    {
        BulkInserter ins = f.inserter(QStringLiteral("DIMVENDEDOR"),
                                      {QStringLiteral("CDVENDEDOR"), QStringLiteral("DSVENDEDOR")});
        for (int i = 1; i <= 12; ++i)
            ins.add({sellerCode(i), personName(names)});
        f.done(QStringLiteral("DIMVENDEDOR"), ins);
    }

    // Grants and filters. The first group and the first operator of the
    // screen's lists (07 and ADMIN, in name order) hold grants among the
    // first rows of their grids and every dimension mark, so a fresh demo
    // never opens on empty boxes only; group 02 and operator JSILVA carry
    // filters too. Group 06 and operators LPEREIRA and VISITANTE hold
    // nothing.
    const QList<DemoGrants> groups = {
        {"01",
         {{"FATOVENDA", "*"}, {"FATOESTOQUE", "*"}, {"FATOMETA", "*"}},
         {1, 2, 3, 4, 5, 6, 7, 8},
         {}},
        {"02",
         {{"FATOVENDA", "*"}, {"FATOMETA", "*"}},
         {1, 2, 3, 4, 5},
         {{4, {QStringLiteral("SE"), QStringLiteral("S")}},
          {3, {storeCode(1), storeCode(2), storeCode(5)}}}},
        {"03",
         {{"FATOESTOQUE", "*"}, {"FATOVENDA", "QTVENDA"}, {"FATOVENDA", "VLCUSTO"}},
         {2, 3, 5},
         {{2, {productCode(1), productCode(2), productCode(7), productCode(8)}}}},
        {"04",
         {{"FATOESTOQUE", "QTESTOQUE"}, {"FATOESTOQUE", "QTRUPTURA"}},
         {3, 4},
         {{4, {QStringLiteral("N"), QStringLiteral("NE")}}}},
        {"05",
         {{"FATOVENDA", "VLVENDA"},
          {"FATOVENDA", "VLDESCONTO"},
          {"FATOVENDA", "VLMARGEM"},
          {"FATOMETA", "*"}},
         {5, 6, 8},
         {{6, {QStringLiteral("PIX"), QStringLiteral("BOL")}}}},
        {"07",
         {{"FATOVENDA", "VLCUSTO"},
          {"FATOVENDA", "VLDESCONTO"},
          {"FATOESTOQUE", "IDGIRO"},
          {"FATOVENDA", "VLMARGEM"}},
         {1, 3, 5},
         {{3, {storeCode(3), storeCode(4)}}}},
    };
    const QList<DemoGrants> operators = {
        {"JSILVA",
         {{"FATOVENDA", "VLVENDA"}, {"FATOVENDA", "QTVENDA"}},
         {1, 4},
         {{1, {clientCode(3), clientCode(7), clientCode(11)}}, {4, {QStringLiteral("SE")}}}},
        {"MSOUZA", {{"FATOMETA", "VLMETA"}}, {7}, {{7, {sellerCode(1), sellerCode(2)}}}},
        {"PGONCALVES", {{"FATOESTOQUE", "QTESTOQUE"}}, {3}, {}},
        {"BRIBEIRO", {{"FATOMETA", "*"}}, {5}, {}},
        {"ADMIN",
         {{"FATOESTOQUE", "QTDIASCOBERT"}, {"FATOVENDA", "QTITENSCUPOM"}, {"FATOMETA", "VLMETA"}},
         {2, 6, 8},
         {{6, {QStringLiteral("DIN"), QStringLiteral("PIX")}}}},
    };
    const auto fill = [&](const QList<DemoGrants> &grants, const QString &principalColumn,
                          const QString &factTable, const QString &dimTable,
                          const QString &filterTable, const QString &filterColumn) {
        BulkInserter factIns = f.inserter(
            factTable, {principalColumn, QStringLiteral("CDTABELADW"), QStringLiteral("CDITEMDW")});
        for (const DemoGrants &g : grants)
            for (const auto &[table, item] : g.facts)
                for (const auto &[t, i, n] : items)
                    if (qstrcmp(t, table) == 0 &&
                        (qstrcmp(item, "*") == 0 || qstrcmp(item, i) == 0))
                        factIns.add({s(g.principal), s(t), s(i)});
        f.done(factTable, factIns);
        BulkInserter dimIns =
            f.inserter(dimTable, {principalColumn, QStringLiteral("NRSEQUEDIME")});
        for (const DemoGrants &g : grants)
            for (int nr : g.dimensions)
                dimIns.add({s(g.principal), nr});
        f.done(dimTable, dimIns);
        BulkInserter filIns =
            f.inserter(filterTable, {principalColumn, QStringLiteral("NRSEQUEDIME"), filterColumn});
        for (const DemoGrants &g : grants)
            for (const auto &[nr, values] : g.filters)
                for (const QString &value : values)
                    filIns.add({s(g.principal), nr, value});
        f.done(filterTable, filIns);
    };
    fill(groups, QStringLiteral("CDGRUPOPER"), QStringLiteral("ITEMDWGRUPOP"),
         QStringLiteral("DIMEDWGRUPOP"), QStringLiteral("FILDIMEGRUPOP"),
         QStringLiteral("CDFILDIMEGRUPOP"));
    fill(operators, QStringLiteral("CDOPERADOR"), QStringLiteral("ITEMDWOPER"),
         QStringLiteral("DIMEODWOPER"), QStringLiteral("FILDIMEOPER"),
         QStringLiteral("CDFILDIMEOPER"));
}

// ------------------------------------------------------------------ large

struct LargeCounts
{
    int groups;
    int operators;
    int factTables;
    int itemsPerTable;
    int dimensions;
    qint64 clients;
    qint64 products;
    qint64 stores;
    qint64 sellers;
};

LargeCounts largeCounts(WarehouseSize size)
{
    if (size == WarehouseSize::LargeTenth)
        return {10, 1'000, 20, 10, 30, 100'000, 2'000, 50, 100};
    if (size == WarehouseSize::Huge)
        return {100, 100'000, 20, 100, 300, 10'000'000, 20'000, 500, 1'000};
    return {100, 10'000, 20, 100, 300, 1'000'000, 20'000, 500, 1'000};
}

void fillLarge(Filler &f, WarehouseSize size)
{
    const LargeCounts n = largeCounts(size);
    QRandomGenerator names(NameSeed);
    QRandomGenerator grants(GrantSeed);

    {
        BulkInserter ins = f.inserter(QStringLiteral("GRUPOPER"),
                                      {QStringLiteral("CDGRUPOPER"), QStringLiteral("DSGRUPOPER")});
        for (int g = 0; g < n.groups; ++g)
            ins.add({groupCode(g), QStringLiteral("Grupo %1 - %2")
                                       .arg(g, 3, 10, QLatin1Char('0'))
                                       .arg(s(FactSubjects[g % FactSubjects.size()]))});
        f.done(QStringLiteral("GRUPOPER"), ins);
    }
    {
        BulkInserter ins = f.inserter(QStringLiteral("OPERADOR"),
                                      {QStringLiteral("CDOPERADOR"), QStringLiteral("NMOPERADOR"),
                                       QStringLiteral("CDGRUPOPER")});
        for (int o = 0; o < n.operators; ++o)
            ins.add({QStringLiteral("OP%1").arg(o, 6, 10, QLatin1Char('0')), personName(names),
                     o % 25 == 24 ? nullText() : QVariant(groupCode(o % n.groups))});
        f.done(QStringLiteral("OPERADOR"), ins);
    }
    QList<std::pair<QString, QString>> items;
    {
        BulkInserter tables =
            f.inserter(QStringLiteral("TABELADW"),
                       {QStringLiteral("CDTABELADW"), QStringLiteral("NMTABELADW")});
        for (int t = 1; t <= n.factTables; ++t)
            tables.add({QStringLiteral("FATO%1").arg(t, 2, 10, QLatin1Char('0')),
                        QStringLiteral("Fato %1 - %2")
                            .arg(t, 2, 10, QLatin1Char('0'))
                            .arg(s(FactSubjects[(t - 1) % FactSubjects.size()]))});
        f.done(QStringLiteral("TABELADW"), tables);
        BulkInserter ins = f.inserter(
            QStringLiteral("ITEMDW"),
            {QStringLiteral("CDTABELADW"), QStringLiteral("CDITEMDW"), QStringLiteral("NMITEMDW")});
        for (int t = 1; t <= n.factTables; ++t)
            for (int i = 1; i <= n.itemsPerTable; ++i) {
                const QString table = QStringLiteral("FATO%1").arg(t, 2, 10, QLatin1Char('0'));
                const QString item = QStringLiteral("ITEM%1").arg(i, 4, 10, QLatin1Char('0'));
                ins.add({table, item,
                         QStringLiteral("%1 %2.%3")
                             .arg(s(FactMeasures[(i - 1) % FactMeasures.size()]))
                             .arg(t, 2, 10, QLatin1Char('0'))
                             .arg(i, 4, 10, QLatin1Char('0'))});
                items.append({table, item});
            }
        f.done(QStringLiteral("ITEMDW"), ins);
    }

    // Dimension 1 is the big one; the rest cycle over the other value tables
    // and every sixth has none.
    const QList<ValueTable> valueTables = {
        {QStringLiteral("DIMCLIENTE"), QStringLiteral("CDCLIENTE"), QStringLiteral("DSCLIENTE"),
         n.clients, clientCode},
        {QStringLiteral("DIMPRODUTO"), QStringLiteral("CDPRODUTO"), QStringLiteral("DSPRODUTO"),
         n.products, productCode},
        {QStringLiteral("DIMLOJA"), QStringLiteral("CDLOJA"), QStringLiteral("DSLOJA"), n.stores,
         storeCode},
        {QStringLiteral("DIMREGIAO"), QStringLiteral("CDREGIAO"), QStringLiteral("DSREGIAO"),
         qint64(Regions.size()), [](qint64 i) { return s(Regions[size_t(i - 1)].first); }},
        {QStringLiteral("DIMFORMAPAGTO"), QStringLiteral("CDFORMAPAGTO"),
         QStringLiteral("DSFORMAPAGTO"), qint64(PaymentKinds.size()),
         [](qint64 i) { return s(PaymentKinds[size_t(i - 1)].first); }},
        {QStringLiteral("DIMVENDEDOR"), QStringLiteral("CDVENDEDOR"), QStringLiteral("DSVENDEDOR"),
         n.sellers, sellerCode},
    };
    const std::array dimensionNames = {"Cliente", "Produto",   "Loja",
                                       "Região",  "Pagamento", "Vendedor"};
    // Index into valueTables per dimension number, -1 for none.
    QList<int> tableOf(n.dimensions + 1, -1);
    {
        BulkInserter ins = f.inserter(QStringLiteral("DIMEDW"),
                                      {QStringLiteral("NRSEQUEDIME"), QStringLiteral("NMITEMDIME"),
                                       QStringLiteral("CDTABELADIME"), QStringLiteral("DSPKDIME"),
                                       QStringLiteral("DSITEMDIME")});
        for (int d = 1; d <= n.dimensions; ++d) {
            const int kind = d == 1 ? 0 : 1 + (d - 2) % 6; // 1..5: tables 1..5, 6: none
            if (kind == 6) {
                ins.add({d, QStringLiteral("Período %1").arg(d, 3, 10, QLatin1Char('0')),
                         nullText(), nullText(), nullText()});
                continue;
            }
            const ValueTable &vt = valueTables[kind];
            tableOf[d] = kind;
            ins.add({d,
                     d == 1 ? QStringLiteral("Cliente")
                            : QStringLiteral("%1 %2")
                                  .arg(s(dimensionNames[kind]))
                                  .arg(d, 3, 10, QLatin1Char('0')),
                     vt.table, vt.keyColumn, vt.nameColumn});
        }
        f.done(QStringLiteral("DIMEDW"), ins);
    }

    for (int t = 0; t < valueTables.size(); ++t) {
        const ValueTable &vt = valueTables[t];
        BulkInserter ins = f.inserter(vt.table, {vt.keyColumn, vt.nameColumn});
        for (qint64 i = 1; i <= vt.rows; ++i) {
            QString name;
            switch (t) {
            case 0:
                name = personName(names) + QStringLiteral(" - ") + pick(names, Cities);
                break;
            case 1:
                name = pick(names, ProductKinds) + QLatin1Char(' ') + pick(names, ProductLines) +
                       QLatin1Char(' ') + pick(names, ProductSizes);
                break;
            case 2:
                name = QStringLiteral("Loja %1 - %2").arg(i).arg(pick(names, Cities));
                break;
            case 3:
                name = s(Regions[size_t(i - 1)].second);
                break;
            case 4:
                name = s(PaymentKinds[size_t(i - 1)].second);
                break;
            default:
                name = personName(names);
            }
            ins.add({vt.code(i), name});
        }
        f.done(vt.table, ins);
    }

    // Grants: groups hold about a quarter of the facts and a third of the
    // dimensions, operators a handful of each; some granted dimensions carry
    // a filter. Group 00 gets a large client filter for the benchmarks (a
    // million values on the huge warehouse, the largest a filter grows to).
    const auto fill = [&](const QString &principalColumn, const QString &factTable,
                          const QString &dimTable, const QString &filterTable,
                          const QString &filterColumn, const QStringList &principals,
                          bool isGroup) {
        BulkInserter factIns = f.inserter(
            factTable, {principalColumn, QStringLiteral("CDTABELADW"), QStringLiteral("CDITEMDW")});
        BulkInserter dimIns =
            f.inserter(dimTable, {principalColumn, QStringLiteral("NRSEQUEDIME")});
        // Filters go in after their dimension grants, which they reference.
        QList<QVariantList> filterRows;
        for (const QString &p : principals) {
            if (isGroup) {
                for (const auto &[table, item] : items)
                    if (grants.bounded(4) == 0)
                        factIns.add({p, table, item});
            } else {
                QSet<qsizetype> chosen;
                for (int k = 0; k < 10; ++k)
                    chosen.insert(grants.bounded(items.size()));
                QList<qsizetype> sorted(chosen.begin(), chosen.end());
                std::sort(sorted.begin(), sorted.end());
                for (qsizetype i : sorted)
                    factIns.add({p, items[i].first, items[i].second});
            }
            QList<int> dims;
            if (isGroup) {
                for (int d = 1; d <= n.dimensions; ++d)
                    if (d == 1 || grants.bounded(3) == 0)
                        dims.append(d);
            } else {
                QSet<int> chosen;
                for (int k = 0; k < 3; ++k)
                    chosen.insert(1 + int(grants.bounded(quint32(n.dimensions))));
                dims = QList<int>(chosen.begin(), chosen.end());
                std::sort(dims.begin(), dims.end());
            }
            for (int d : dims) {
                dimIns.add({p, d});
                if (tableOf[d] < 0)
                    continue;
                const ValueTable &vt = valueTables[tableOf[d]];
                int values = 0;
                if (isGroup && p == groupCode(0) && d == 1)
                    values = size == WarehouseSize::Huge ? 1'000'000 : 1'000;
                else if (grants.bounded(isGroup ? 5 : 10) == 0)
                    values = 1 + int(grants.bounded(isGroup ? 20 : 5));
                QSet<qint64> picked;
                while (picked.size() < qMin<qint64>(values, vt.rows))
                    picked.insert(1 + qint64(grants.bounded(quint64(vt.rows))));
                QList<qint64> sorted(picked.begin(), picked.end());
                std::sort(sorted.begin(), sorted.end());
                for (qint64 v : sorted)
                    filterRows.append({p, d, vt.code(v)});
            }
        }
        f.done(factTable, factIns);
        f.done(dimTable, dimIns);
        BulkInserter filIns =
            f.inserter(filterTable, {principalColumn, QStringLiteral("NRSEQUEDIME"), filterColumn});
        for (const QVariantList &row : std::as_const(filterRows))
            filIns.add(row);
        f.done(filterTable, filIns);
    };
    QStringList groupCodes;
    for (int g = 0; g < n.groups; ++g)
        groupCodes.append(groupCode(g));
    QStringList operatorCodes;
    for (int o = 0; o < n.operators; ++o)
        operatorCodes.append(QStringLiteral("OP%1").arg(o, 6, 10, QLatin1Char('0')));
    fill(QStringLiteral("CDGRUPOPER"), QStringLiteral("ITEMDWGRUPOP"),
         QStringLiteral("DIMEDWGRUPOP"), QStringLiteral("FILDIMEGRUPOP"),
         QStringLiteral("CDFILDIMEGRUPOP"), groupCodes, true);
    fill(QStringLiteral("CDOPERADOR"), QStringLiteral("ITEMDWOPER"), QStringLiteral("DIMEODWOPER"),
         QStringLiteral("FILDIMEOPER"), QStringLiteral("CDFILDIMEOPER"), operatorCodes, false);
}

} // namespace

std::optional<WarehouseSize> warehouseSizeFromName(QStringView name)
{
    if (name == QLatin1StringView("demo"))
        return WarehouseSize::Demo;
    if (name == QLatin1StringView("large"))
        return WarehouseSize::Large;
    if (name == QLatin1StringView("large-tenth") || name == QLatin1StringView("small-large"))
        return WarehouseSize::LargeTenth;
    if (name == QLatin1StringView("huge"))
        return WarehouseSize::Huge;
    return std::nullopt;
}

QString warehouseSizeName(WarehouseSize size)
{
    switch (size) {
    case WarehouseSize::Demo:
        return QStringLiteral("demo");
    case WarehouseSize::Large:
        return QStringLiteral("large");
    case WarehouseSize::LargeTenth:
        return QStringLiteral("large-tenth");
    case WarehouseSize::Huge:
        return QStringLiteral("huge");
    }
    return {};
}

qint64 WarehouseCounts::total() const
{
    qint64 sum = 0;
    for (const auto &[table, rows] : tables)
        sum += rows;
    return sum;
}

qint64 WarehouseCounts::of(const QString &table) const
{
    for (const auto &[name, rows] : tables)
        if (name == table)
            return rows;
    return 0;
}

WarehouseCounts createWarehouse(const QSqlDatabase &db, const WarehouseOptions &options)
{
    // SQLite builds the indexes of ten million rows in its page cache: a few
    // hundred MiB of it (for this connection only) instead of the default
    // 2 MiB keeps them from spilling to the file page by page.
    if (Dialect::of(db).isSqlite())
        execDirect(db, QStringLiteral("PRAGMA cache_size = -262144"));
    Transaction transaction(db);
    if (hasAnySchemaTable(db)) {
        if (!options.force)
            throw DbError(QStringLiteral("the database already holds tables of the warehouse; "
                                         "nothing was changed (use --force to recreate them)"));
        dropSchema(db);
    }
    createTables(db);
    Filler filler(db, options);
    if (options.size == WarehouseSize::Demo)
        fillDemo(filler);
    else
        fillLarge(filler, options.size);
    QElapsedTimer timer;
    timer.start();
    if (options.auditRows > 0) {
        fillAuditTrail(db, {options.auditRows, options.progress});
        filler.counts.tables.append({QStringLiteral("AUDITORIA"), options.auditRows});
        if (options.progress)
            options.progress(QStringLiteral("%1: %2 rows in %3 ms")
                                 .arg(QStringLiteral("AUDITORIA"), -14)
                                 .arg(options.auditRows)
                                 .arg(timer.restart()));
    }
    createIndexes(db);
    if (options.progress)
        options.progress(
            QStringLiteral("%1: %2 ms").arg(QStringLiteral("indexes"), -14).arg(timer.elapsed()));
    transaction.commit();
    return filler.counts;
}

} // namespace quv::db
