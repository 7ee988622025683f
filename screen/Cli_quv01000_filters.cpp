// Dimension value filters: searching a dimension's values, marking the ones a
// principal may see, and storing the set.

#include "screen/Cli_quv01000.h"

#include "framework/app/application.h"
#include "framework/app/halvern.h"
#include "framework/app/utils.h"
#include "framework/data/servercheck.h"
#include "framework/widgets/busy.h"
#include "framework/widgets/listdialog.h"

#include <QRegularExpression>

#include <algorithm>
#include <memory>

namespace Cli_quv01000 {

namespace {

// The dimension's table and column names go into the search statement as
// they stand, so only plain identifiers may get there.
void requireIdentifier(const QString &name, const char *what, const QString &dimension)
{
    static const QRegularExpression identifier(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    if (!identifier.match(name).hasMatch())
        throw Exception(QStringLiteral("A dimensão '%1' não pode ser pesquisada: o nome de %2 "
                                       "'%3' não é um identificador SQL simples.")
                            .arg(dimension, QString::fromLatin1(what), name));
}

// The stored list comes in the database's order and the dialog writes its
// marks in row order, so confirming untouched marks can give the same set in
// another order: that is no change, and storing it again would only cost a
// server call, a reload and a cache refresh.
bool sameValues(const QString &before, const QString &after)
{
    if (before == after)
        return true;
    QStringList a = ListaFiltro::parse(before);
    QStringList b = ListaFiltro::parse(after);
    for (QStringList *values : {&a, &b}) {
        std::sort(values->begin(), values->end());
        values->erase(std::unique(values->begin(), values->end()), values->end());
    }
    return a == b;
}

// Filter values are carried whole: the stored columns hold up to 50
// characters, so the packet's item field is that wide.
constexpr int ItemWidth = 50;

} // namespace

void TfrmControleAcesso::dbgDimeGrupKeyDown(QObject *, quint16 &Key, TShiftState)
{
    if (Key != VK_F9)
        return;
    if (cdsDimeOperGrupIDPESQ->AsString() != QLatin1StringView("S"))
        return;
    pesqFiltro(QStringLiteral("G") + qryOperGrupCDGRUPOPER->AsString());
}

void TfrmControleAcesso::dbgDimeOperKeyDown(QObject *, quint16 &Key, TShiftState)
{
    if (Key != VK_F9)
        return;
    if (cdsDimeOperOperIDPESQ->AsString() != QLatin1StringView("S"))
        return;
    pesqFiltro(QStringLiteral("O") + qryOperOperCDOPERADOR->AsString());
}

void TfrmControleAcesso::pesqFiltro(QString key)
{
    if (EmptyString(key))
        return;
    const bool group = key.front() == QLatin1Char('G');
    if (!group && key.front() != QLatin1Char('O'))
        return;
    TClientDataSet *dimensions = group ? cdsDimeOperGrup : cdsDimeOperOper;

    const QString nmItemDime = dimensions->FieldByName(QStringLiteral("NMITEMDIME"))->AsString();
    const QString dsPkDime = dimensions->FieldByName(QStringLiteral("DSPKDIME"))->AsString();
    const QString nrSequeDime = dimensions->FieldByName(QStringLiteral("NRSEQUEDIME"))->AsString();
    const QString dsItemDime = dimensions->FieldByName(QStringLiteral("DSITEMDIME"))->AsString();
    const QString cdTabelaDime =
        dimensions->FieldByName(QStringLiteral("CDTABELADIME"))->AsString();
    requireIdentifier(dsPkDime, "coluna-chave", nmItemDime);
    requireIdentifier(dsItemDime, "coluna de descrição", nmItemDime);
    requireIdentifier(cdTabelaDime, "tabela", nmItemDime);
    const QString statement = QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, ") + dsPkDime +
                              QStringLiteral(" , ") + dsItemDime + QStringLiteral(" FROM ") +
                              cdTabelaDime + QStringLiteral(" ORDER BY ") + dsItemDime;

    cdsPesqFiltro->SetData(executaPesqFiltro(statement));
    if (cdsPesqFiltro->FieldCount() < 3)
        throw Exception(QStringLiteral("A pesquisa da dimensão '%1' não trouxe código e nome.")
                            .arg(nmItemDime));
    cdsPesqFiltro->Fields().at(1)->setDisplayLabel(msgPadrao->Msg(QStringLiteral("CODE")));
    cdsPesqFiltro->Fields().at(2)->setDisplayLabel(msgPadrao->Msg(QStringLiteral("NAME")));

    QString lista = listaFiltro(key, nrSequeDime);
    const QString before = lista;
    if (!PesquisaListaMsg(dtsPesqFiltro, dsPkDime, nmItemDime, false, lista))
        return;
    if (sameValues(before, lista))
        return;

    if (!storeFilter(lista, key, nrSequeDime))
        return;

    stLocatePk1 = dimensions->FieldByName(QStringLiteral("NRSEQUEDIME"))->AsString();
    if (group)
        qryOperGrupAfterScroll(qryOperGrup->Query());
    else
        qryOperOperAfterScroll(qryOperOper->Query());
    dimensions->Locate(QStringLiteral("NRSEQUEDIME"), QVariantList{stLocatePk1},
                       TLocateOption::CaseInsensitive);
    Halvern::AtualizaLocalCache(
        QVariantList{group ? QStringLiteral("FILDIMEGRUPOP") : QStringLiteral("FILDIMEOPER")});
}

QVariant TfrmControleAcesso::executaPesqFiltro(const QString &statement)
{
    ActiveShowAvi(Application->MainForm(), 1);
    try {
        qryPesqFiltro->Close();
        qryPesqFiltro->SQL.clear();
        qryPesqFiltro->SQL.append(statement);
        qryPesqFiltro->Open();
        QVariant packet = dspPesqFiltro->Data();
        DeactiveShowAvi();
        return packet;
    } catch (...) {
        // Whatever stopped the direct read, the application server can still
        // answer the same search: the user is not told.
    }
    try {
        QVariantList args{statement};
        const QVariant status =
            netControleAcesso->AppServer().Call(QStringLiteral("getPesqFiltro"), args);
        QVariant packet = CheckResultServ(status, true, 0);
        DeactiveShowAvi();
        return packet;
    } catch (...) {
        DeactiveShowAvi();
        throw;
    }
}

QString TfrmControleAcesso::listaFiltro(QString key, QString nrSequeDime)
{
    if (EmptyString(key))
        return {};
    TADOIBQuery *query = nullptr;
    TField *valueField = nullptr;
    QString principalParam;
    if (key.front() == QLatin1Char('G')) {
        query = qryListaFiltroGrup;
        valueField = qryListaFiltroGrupCDFILDIMEGRUPOP;
        principalParam = QStringLiteral("P_CDGRUPOPER");
    } else if (key.front() == QLatin1Char('O')) {
        query = qryListaFiltroOper;
        valueField = qryListaFiltroOperCDFILDIMEOPER;
        principalParam = QStringLiteral("P_CDOPERADOR");
    } else {
        return {};
    }
    const QString letter = key.left(1);
    const QString code = key.mid(1);

    QString lista = QStringLiteral("_");
    QString unlistable;
    bool direct = true;
    try {
        ActiveShowAvi(Application->MainForm(), 1);
        query->Close();
        query->ParamByName(principalParam)->setAsString(code);
        query->ParamByName(QStringLiteral("P_NRSEQUEDIME"))->setAsString(nrSequeDime);
        query->Open();
        query->First();
        while (!query->Eof()) {
            const QString value = valueField->AsString();
            if (value.contains(QLatin1Char('_')) && unlistable.isEmpty())
                unlistable = value;
            lista += value;
            lista += QLatin1Char('_');
            query->Next();
        }
        DeactiveShowAvi();
    } catch (...) {
        direct = false;
    }
    if (!direct) {
        // The direct read failed: ask the server instead, without a word.
        try {
            QVariantList args{QString(letter + code), nrSequeDime};
            const QVariant status =
                netControleAcesso->AppServer().Call(QStringLiteral("getListaFiltro"), args);
            const QString fromServer = CheckResultServ(status, true, 0).toString();
            DeactiveShowAvi();
            return fromServer;
        } catch (...) {
            DeactiveShowAvi();
            throw;
        }
    }
    // A value with "_" would come back split in two: refuse rather than
    // edit a filter that is not the stored one.
    if (!unlistable.isEmpty())
        throw Exception(QStringLiteral("O valor '%1' do filtro contém '_' e não pode ser editado "
                                       "nesta tela.")
                            .arg(unlistable));
    return lista == QLatin1StringView("_") ? QString() : lista;
}

void TfrmControleAcesso::FiltraDimensao(QString lista, QString key, QString nrSequeDime)
{
    if (!lista.isEmpty() && lista.front() == QLatin1Char('_'))
        lista.remove(0, 1);

    auto cdsTemp = std::make_unique<TClientDataSet>(this);
    cdsTemp->setObjectName(QStringLiteral("cdsTemp"));
    cdsTemp->AddField(QStringLiteral("ITENS"), ItemWidth);
    cdsTemp->AddField(QStringLiteral("CDCODIGOPAI"), 20);
    cdsTemp->AddField(QStringLiteral("NRSEQUEDIME"), 20);
    cdsTemp->CreateDataSet();

    ActiveShowAvi(Application->MainForm(), 1);
    try {
        const QString codigoPai = key.mid(1, 50);
        // The rows are cut from the list in one pass and appended straight to
        // a packet: a filter can hold a hundred thousand values.
        quv::DataPacket rows({{QStringLiteral("ITENS"), ItemWidth},
                              {QStringLiteral("CDCODIGOPAI"), 20},
                              {QStringLiteral("NRSEQUEDIME"), 20}});
        auto append = [&](QStringView item) {
            // Counted as the stored column counts them, in characters; cutting
            // the value would store another value than the one marked.
            if (item.size() > ItemWidth && item.toUcs4().size() > ItemWidth)
                throw Exception(QStringLiteral("O valor '%1' do filtro tem %2 caracteres; o "
                                               "máximo é %3. Nada foi gravado.")
                                    .arg(item.toString())
                                    .arg(item.toUcs4().size())
                                    .arg(ItemWidth));
            rows.appendRow({item.toString(), codigoPai, nrSequeDime});
        };
        if (lista.isEmpty()) {
            append(QStringView());
        } else {
            qsizetype from = 0;
            while (from < lista.size()) {
                const qsizetype bar = lista.indexOf(QLatin1Char('_'), from);
                if (bar < 0) {
                    // A last value without its closing "_" is still a value.
                    append(QStringView(lista).sliced(from));
                    break;
                }
                append(QStringView(lista).sliced(from, bar - from));
                from = bar + 1;
            }
        }
        cdsTemp->SetData(rows);

        const bool group = !key.isEmpty() && key.front() == QLatin1Char('G');
        QVariantList args{QVariant::fromValue(cdsTemp->Data()), QVariant(group)};
        const QVariant status =
            netControleAcesso->AppServer().Call(QStringLiteral("setDelFilDime"), args);
        CheckResultServ(status, true, 0);
        Halvern::AtualizaLocalCache(QVariantList{QStringLiteral("FILDIMEGRUPOP")});
        Halvern::AtualizaLocalCache(QVariantList{QStringLiteral("FILDIMEOPER")});
    } catch (...) {
        DeactiveShowAvi();
        throw;
    }
    DeactiveShowAvi();
}

} // namespace Cli_quv01000
