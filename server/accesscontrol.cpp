#include "server/accesscontrol.h"

#include "contracts/peertext.h"
#include "contracts/wire.h"
#include "db/sql.h"
#include "server/audit.h"
#include "server/history.h"
#include "server/rpcerror.h"

#include <QJsonArray>
#include <QJsonObject>

#include <QRegularExpression>
#include <QSet>
#include <QSqlQuery>

namespace quv::server {

namespace code = wire::code;

QString cellText(const QVariant &value)
{
    return value.isNull() ? QString() : value.toString();
}

qsizetype characterCount(const QString &text)
{
    qsizetype count = 0;
    for (QChar c : text)
        if (!c.isLowSurrogate())
            ++count;
    return count;
}

namespace {

constexpr int FilterValueSize = 50;
// The most rows one toggle-all and one filter may carry: far beyond what the
// screen sends, small enough that one call cannot hold the server for long.
constexpr qsizetype MaxToggleRows = 100'000;
constexpr qsizetype MaxFilterRows = 1'000'000;

/// What differs between the two kinds of principal: their tables, the names
/// of their grant and filter columns in the packets, and how the user calls
/// them in a message.
struct Kind
{
    QString table;
    QString codeColumn;
    int codeSize;
    QString factGrants;
    QString dimensionGrants;
    QString filters;
    QString filterValue;
    QString grantCodeField;  // ...CTAC
    QString filterCodeField; // ...FIL
    QString label;           // as in "Grupo de operadores '01'"
    QString unknownSuffix;   // agreement of "não cadastrado"
    QString toThe;           // as in "concedida ao grupo de operadores"
};

const Kind &kindOf(Principal principal)
{
    static const Kind group{QStringLiteral("GRUPOPER"),
                            QStringLiteral("CDGRUPOPER"),
                            2,
                            QStringLiteral("ITEMDWGRUPOP"),
                            QStringLiteral("DIMEDWGRUPOP"),
                            QStringLiteral("FILDIMEGRUPOP"),
                            QStringLiteral("CDFILDIMEGRUPOP"),
                            QStringLiteral("CDGRUPOPERCTAC"),
                            QStringLiteral("CDGRUPOPERFIL"),
                            QStringLiteral("Grupo de operadores"),
                            QStringLiteral("não cadastrado"),
                            QStringLiteral("ao grupo de operadores")};
    static const Kind oper{QStringLiteral("OPERADOR"),
                           QStringLiteral("CDOPERADOR"),
                           12,
                           QStringLiteral("ITEMDWOPER"),
                           QStringLiteral("DIMEODWOPER"),
                           QStringLiteral("FILDIMEOPER"),
                           QStringLiteral("CDFILDIMEOPER"),
                           QStringLiteral("CDOPERADORCTAC"),
                           QStringLiteral("CDOPERADORFIL"),
                           QStringLiteral("Operador"),
                           QStringLiteral("não cadastrado"),
                           QStringLiteral("ao operador")};
    return principal == Principal::Group ? group : oper;
}

// Reads at most one row and lets the statement go at once, so no result is
// left pending on the connection.
bool hasRow(db::StatementCache &db, const QString &sql, const QVariantList &values)
{
    auto query = db.run(sql, values);
    return query.next();
}

void requirePrincipal(db::StatementCache &db, const Kind &kind, const QString &code)
{
    if (code.isEmpty())
        throw RpcError(code::UnknownKey,
                       QStringLiteral("%1 não informado (código vazio).").arg(kind.label));
    if (!hasRow(db,
                QStringLiteral("SELECT 1 FROM %1 WHERE %2 = ?").arg(kind.table, kind.codeColumn),
                {code}))
        throw RpcError(
            code::UnknownKey,
            QStringLiteral("%1 '%2' %3.").arg(kind.label, clipped(code), kind.unknownSuffix));
}

struct Dimension
{
    int number = 0;
    QString name;
    QString table;
};

std::optional<int> dimensionNumber(const QString &text)
{
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    return text.toInt();
}

Dimension requireDimension(db::StatementCache &db, const QString &text)
{
    if (text.isEmpty())
        throw RpcError(code::UnknownKey, QStringLiteral("Dimensão não informada (número vazio)."));
    const std::optional<int> number = dimensionNumber(text);
    if (number) {
        auto query = db.run(
            QStringLiteral("SELECT NMITEMDIME, CDTABELADIME FROM DIMEDW WHERE NRSEQUEDIME = ?"),
            {*number});
        if (query.next())
            return {*number, cellText(query.value(0)), cellText(query.value(1))};
    }
    throw RpcError(code::UnknownKey,
                   QStringLiteral("Dimensão '%1' não cadastrada.").arg(clipped(text)));
}

void requireRowsAtMost(const DataPacket &packet, qsizetype most, const QString &packetName)
{
    if (packet.rowCount() > most)
        throw RpcError(code::InvalidParams,
                       QStringLiteral("O %1 tem %2 linhas; o máximo numa chamada é %3. Nada foi "
                                      "alterado.")
                           .arg(packetName)
                           .arg(packet.rowCount())
                           .arg(most));
}

int requireField(const DataPacket &packet, const QString &field, const QString &packetName)
{
    const int index = packet.indexOf(field);
    if (index < 0)
        throw RpcError(code::InvalidParams,
                       QStringLiteral("O %1 recebido não tem o campo %2.").arg(packetName, field));
    return index;
}

// ------------------------------------------------------------------ packets

DataPacket factsPacket(db::StatementCache &db, Principal principal, const QString &code)
{
    const Kind &kind = kindOf(principal);
    DataPacket packet({{QStringLiteral("NMITEMDW"), 30},
                       {QStringLiteral("CDTABELADW"), 30},
                       {QStringLiteral("CDITEMDW"), 30},
                       {QStringLiteral("CDTABELADWCTAC"), 30},
                       {QStringLiteral("CDITEMDWCTAC"), 30},
                       {kind.grantCodeField, kind.codeSize}});
    auto query = db.run(AccessControl::factsSql(principal), {code});
    while (query.next()) {
        for (int c = 0; c < 6; ++c)
            packet.appendCell(cellText(query.value(c)));
        packet.endRow();
    }
    return packet;
}

// The two dimension layouts hold the same values in different orders.
enum class DimValue
{
    Name,
    Number,
    Table,
    Key,
    Description,
    GrantNumber,
    GrantCode,
    FilterNumber,
    FilterCode
};

struct DimField
{
    QString name;
    int size;
    DimValue value;
};

QList<DimField> dimensionLayout(Principal principal)
{
    const Kind &kind = kindOf(principal);
    if (principal == Principal::Group)
        return {{QStringLiteral("NRSEQUEDIMEFIL"), 5, DimValue::FilterNumber},
                {kind.filterCodeField, kind.codeSize, DimValue::FilterCode},
                {QStringLiteral("NMITEMDIME"), 30, DimValue::Name},
                {QStringLiteral("NRSEQUEDIME"), 5, DimValue::Number},
                {QStringLiteral("CDTABELADIME"), 30, DimValue::Table},
                {QStringLiteral("DSPKDIME"), 30, DimValue::Key},
                {QStringLiteral("NRSEQUEDIMECTAC"), 5, DimValue::GrantNumber},
                {kind.grantCodeField, kind.codeSize, DimValue::GrantCode},
                {QStringLiteral("DSITEMDIME"), 30, DimValue::Description}};
    return {{QStringLiteral("NMITEMDIME"), 30, DimValue::Name},
            {QStringLiteral("NRSEQUEDIME"), 5, DimValue::Number},
            {QStringLiteral("CDTABELADIME"), 30, DimValue::Table},
            {QStringLiteral("DSPKDIME"), 30, DimValue::Key},
            {QStringLiteral("DSITEMDIME"), 30, DimValue::Description},
            {QStringLiteral("NRSEQUEDIMECTAC"), 5, DimValue::GrantNumber},
            {kind.grantCodeField, kind.codeSize, DimValue::GrantCode},
            {QStringLiteral("NRSEQUEDIMEFIL"), 5, DimValue::FilterNumber},
            {kind.filterCodeField, kind.codeSize, DimValue::FilterCode}};
}

DataPacket dimensionsPacket(db::StatementCache &db, Principal principal, const QString &code)
{
    const QList<DimField> layout = dimensionLayout(principal);
    QList<FieldDef> fields;
    for (const DimField &f : layout)
        fields.append({f.name, f.size});
    DataPacket packet(fields);
    auto query = db.run(AccessControl::dimensionsSql(principal), {code, code});
    QString values[9];
    while (query.next()) {
        const QString number = cellText(query.value(0));
        const bool filtered = query.value(7).toInt() != 0;
        values[int(DimValue::Name)] = cellText(query.value(1));
        values[int(DimValue::Number)] = number;
        values[int(DimValue::Table)] = cellText(query.value(2));
        values[int(DimValue::Key)] = cellText(query.value(3));
        values[int(DimValue::Description)] = cellText(query.value(4));
        values[int(DimValue::GrantNumber)] = cellText(query.value(5));
        values[int(DimValue::GrantCode)] = cellText(query.value(6));
        values[int(DimValue::FilterNumber)] = filtered ? number : QString();
        values[int(DimValue::FilterCode)] = filtered ? code : QString();
        for (const DimField &f : layout)
            packet.appendCell(values[int(f.value)]);
        packet.endRow();
    }
    return packet;
}

QSet<FactKey> factKeys(db::StatementCache &db, const QString &sql, const QVariantList &values)
{
    QSet<FactKey> keys;
    auto query = db.run(sql, values);
    while (query.next())
        keys.insert({cellText(query.value(0)), cellText(query.value(1))});
    return keys;
}

QSet<int> numbers(db::StatementCache &db, const QString &sql, const QVariantList &values)
{
    QSet<int> result;
    auto query = db.run(sql, values);
    while (query.next())
        result.insert(query.value(0).toInt());
    return result;
}

// The filter values of the principal on the given dimensions, for the
// audit trail: {"<number>": [values in order]}.
QJsonObject filterJson(db::StatementCache &db, const Kind &kind, const QString &code,
                       const QList<int> &dimensions)
{
    const QSet<int> wanted(dimensions.cbegin(), dimensions.cend());
    // One dimension asks for its own rows only: a principal may hold a
    // filter of a hundred thousand values on another dimension.
    const bool one = wanted.size() == 1;
    QJsonObject result;
    auto query = db.run(
        QStringLiteral("SELECT NRSEQUEDIME, %1 FROM %2 WHERE %3 = ?%4 ORDER BY NRSEQUEDIME, %1")
            .arg(kind.filterValue, kind.filters, kind.codeColumn,
                 one ? QStringLiteral(" AND NRSEQUEDIME = ?") : QString()),
        one ? QVariantList{code, *wanted.cbegin()} : QVariantList{code});
    QMap<int, QJsonArray> values;
    while (query.next()) {
        const int number = query.value(0).toInt();
        if (wanted.contains(number))
            values[number].append(cellText(query.value(1)));
    }
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        result.insert(QString::number(it.key()), it.value());
    return result;
}

QJsonObject dimensionState(const QList<int> &granted, const QJsonObject &filters)
{
    return QJsonObject{{QStringLiteral("granted"), numberJson(granted)},
                       {QStringLiteral("filters"), filters}};
}

} // namespace

void AccessControl::audit(Principal kind, const QString &code, const QJsonValue &items,
                          const QJsonValue &before, const QJsonValue &after,
                          const QString &summary) const
{
    AuditEntry entry;
    entry.administrator = m_administrator;
    entry.method = m_method;
    entry.kind = kind == Principal::Group ? QLatin1Char('G') : QLatin1Char('O');
    entry.code = code;
    entry.items = items;
    entry.before = before;
    entry.after = after;
    entry.summary = summary;
    writeAudit(m_db, entry);
}

QString AccessControl::factsSql(Principal principal)
{
    const Kind &kind = kindOf(principal);
    return QStringLiteral(
               "SELECT i.NMITEMDW, i.CDTABELADW, i.CDITEMDW, g.CDTABELADW, g.CDITEMDW, g.%2 "
               "FROM ITEMDW i LEFT JOIN %1 g ON g.%2 = ? AND g.CDTABELADW = i.CDTABELADW "
               "AND g.CDITEMDW = i.CDITEMDW "
               "ORDER BY i.NMITEMDW, i.CDTABELADW, i.CDITEMDW")
        .arg(kind.factGrants, kind.codeColumn);
}

QString AccessControl::dimensionsSql(Principal principal)
{
    // EXISTS keeps one row per dimension however many filter values it has.
    const Kind &kind = kindOf(principal);
    return QStringLiteral(
               "SELECT d.NRSEQUEDIME, d.NMITEMDIME, d.CDTABELADIME, d.DSPKDIME, "
               "d.DSITEMDIME, g.NRSEQUEDIME, g.%2, "
               "CASE WHEN EXISTS (SELECT 1 FROM %3 f WHERE f.%2 = ? "
               "AND f.NRSEQUEDIME = d.NRSEQUEDIME) THEN 1 ELSE 0 END "
               "FROM DIMEDW d LEFT JOIN %1 g ON g.%2 = ? AND g.NRSEQUEDIME = d.NRSEQUEDIME "
               "ORDER BY d.NMITEMDIME, d.NRSEQUEDIME")
        .arg(kind.dimensionGrants, kind.codeColumn, kind.filters);
}

QString AccessControl::searchSql(const QString &table, const QString &key,
                                 const QString &description)
{
    return QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, %1 , %2 FROM %3 ORDER BY %2")
        .arg(key, description, table);
}

DataPacket AccessControl::facts(Principal kind, const QString &code) const
{
    requirePrincipal(m_sql, kindOf(kind), code);
    return factsPacket(m_sql, kind, code);
}

DataPacket AccessControl::dimensions(Principal kind, const QString &code) const
{
    requirePrincipal(m_sql, kindOf(kind), code);
    return dimensionsPacket(m_sql, kind, code);
}

DataPacket AccessControl::setFactGrant(Principal principal, const QString &table,
                                       const QString &item, const QString &code, bool grant)
{
    const Kind &kind = kindOf(principal);
    db::Transaction transaction(m_db);
    requirePrincipal(m_sql, kind, code);
    if (!hasRow(m_sql, QStringLiteral("SELECT 1 FROM ITEMDW WHERE CDTABELADW = ? AND CDITEMDW = ?"),
                {table, item}))
        throw RpcError(code::UnknownKey, QStringLiteral("Item de fato '%1/%2' não cadastrado.")
                                             .arg(clipped(table), clipped(item)));
    const QList<FactKey> items{{table, item}};
    const bool held = hasRow(m_sql,
                             QStringLiteral("SELECT 1 FROM %1 WHERE %2 = ? AND CDTABELADW = ? AND "
                                            "CDITEMDW = ?")
                                 .arg(kind.factGrants, kind.codeColumn),
                             {code, table, item});
    if (grant)
        m_sql.run(QStringLiteral("INSERT INTO %1 (%2, CDTABELADW, CDITEMDW) VALUES (?, ?, ?) "
                                 "ON CONFLICT DO NOTHING")
                      .arg(kind.factGrants, kind.codeColumn),
                  {code, table, item});
    else
        m_sql.run(QStringLiteral("DELETE FROM %1 WHERE %2 = ? AND CDTABELADW = ? AND CDITEMDW = ?")
                      .arg(kind.factGrants, kind.codeColumn),
                  {code, table, item});
    audit(principal, code, factJson(items),
          QJsonObject{{QStringLiteral("granted"), factJson(held ? items : QList<FactKey>())}},
          QJsonObject{{QStringLiteral("granted"), factJson(grant ? items : QList<FactKey>())}});
    DataPacket packet = factsPacket(m_sql, principal, code);
    transaction.commit();
    return packet;
}

DataPacket AccessControl::setDimensionGrant(Principal principal, const QString &number,
                                            const QString &code, bool grant)
{
    const Kind &kind = kindOf(principal);
    db::Transaction transaction(m_db);
    requirePrincipal(m_sql, kind, code);
    const Dimension dimension = requireDimension(m_sql, number);
    const QList<int> items{dimension.number};
    const bool held = hasRow(m_sql,
                             QStringLiteral("SELECT 1 FROM %1 WHERE %2 = ? AND NRSEQUEDIME = ?")
                                 .arg(kind.dimensionGrants, kind.codeColumn),
                             {code, dimension.number});
    const QJsonObject filtersBefore = filterJson(m_sql, kind, code, items);
    if (grant) {
        m_sql.run(
            QStringLiteral("INSERT INTO %1 (%2, NRSEQUEDIME) VALUES (?, ?) ON CONFLICT DO NOTHING")
                .arg(kind.dimensionGrants, kind.codeColumn),
            {code, dimension.number});
    } else {
        // The filter rows reference the grant: they go first.
        m_sql.run(QStringLiteral("DELETE FROM %1 WHERE %2 = ? AND NRSEQUEDIME = ?")
                      .arg(kind.filters, kind.codeColumn),
                  {code, dimension.number});
        m_sql.run(QStringLiteral("DELETE FROM %1 WHERE %2 = ? AND NRSEQUEDIME = ?")
                      .arg(kind.dimensionGrants, kind.codeColumn),
                  {code, dimension.number});
    }
    audit(principal, code, numberJson(items),
          dimensionState(held ? items : QList<int>(), filtersBefore),
          dimensionState(grant ? items : QList<int>(), grant ? filtersBefore : QJsonObject()));
    DataPacket packet = dimensionsPacket(m_sql, principal, code);
    transaction.commit();
    return packet;
}

DataPacket AccessControl::setFactGrants(Principal principal, const QString &code,
                                        const DataPacket &rows, bool grant)
{
    const Kind &kind = kindOf(principal);
    const QString packetName = QStringLiteral("pacote de fatos");
    requireRowsAtMost(rows, MaxToggleRows, packetName);
    const int tableColumn = requireField(rows, QStringLiteral("CDTABELADW"), packetName);
    const int itemColumn = requireField(rows, QStringLiteral("CDITEMDW"), packetName);

    db::Transaction transaction(m_db);
    requirePrincipal(m_sql, kind, code);
    QList<FactKey> requested;
    QSet<FactKey> seen;
    for (qsizetype r = 0; r < rows.rowCount(); ++r) {
        FactKey key{rows.value(r, tableColumn), rows.value(r, itemColumn)};
        if (!seen.contains(key)) {
            seen.insert(key);
            requested.append(std::move(key));
        }
    }
    const QSet<FactKey> catalog =
        factKeys(m_sql, QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM ITEMDW"), {});
    for (const FactKey &key : std::as_const(requested))
        if (!catalog.contains(key))
            throw RpcError(code::UnknownKey,
                           QStringLiteral("Item de fato '%1/%2' não cadastrado; nada foi alterado.")
                               .arg(clipped(key.first), clipped(key.second)));

    const QSet<FactKey> current =
        factKeys(m_sql,
                 QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM %1 WHERE %2 = ?")
                     .arg(kind.factGrants, kind.codeColumn),
                 {code});
    QList<FactKey> heldBefore;
    for (const FactKey &key : std::as_const(requested))
        if (current.contains(key))
            heldBefore.append(key);
    QList<QVariantList> changes;
    for (const FactKey &key : std::as_const(requested)) {
        if (grant && !current.contains(key))
            changes.append({code, key.first, key.second});
        else if (!grant && current.contains(key))
            changes.append({key.first, key.second});
    }
    if (grant)
        db::execInBatches(m_db,
                          QStringLiteral("INSERT INTO %1 (%2, CDTABELADW, CDITEMDW) VALUES %3")
                              .arg(kind.factGrants, kind.codeColumn, QStringLiteral("%1")),
                          {}, QStringLiteral("(?,?,?)"), changes);
    else
        db::execInBatches(m_db,
                          QStringLiteral("DELETE FROM %1 WHERE %2 = ? AND (CDTABELADW, CDITEMDW) "
                                         "IN (VALUES %3)")
                              .arg(kind.factGrants, kind.codeColumn, QStringLiteral("%1")),
                          {code}, QStringLiteral("(?,?)"), changes);
    audit(principal, code, factJson(requested),
          QJsonObject{{QStringLiteral("granted"), factJson(heldBefore)}},
          QJsonObject{{QStringLiteral("granted"), factJson(grant ? requested : QList<FactKey>())}});
    DataPacket packet = factsPacket(m_sql, principal, code);
    transaction.commit();
    return packet;
}

DataPacket AccessControl::setDimensionGrants(Principal principal, const QString &code,
                                             const DataPacket &rows, bool grant)
{
    const Kind &kind = kindOf(principal);
    const QString packetName = QStringLiteral("pacote de dimensões");
    requireRowsAtMost(rows, MaxToggleRows, packetName);
    const int numberColumn = requireField(rows, QStringLiteral("NRSEQUEDIME"), packetName);

    db::Transaction transaction(m_db);
    requirePrincipal(m_sql, kind, code);
    const QSet<int> catalog = numbers(m_sql, QStringLiteral("SELECT NRSEQUEDIME FROM DIMEDW"), {});
    QList<int> requested;
    QSet<int> seen;
    for (qsizetype r = 0; r < rows.rowCount(); ++r) {
        const QString text = rows.value(r, numberColumn);
        const std::optional<int> number = dimensionNumber(text);
        if (!number || !catalog.contains(*number))
            throw RpcError(code::UnknownKey,
                           QStringLiteral("Dimensão '%1' não cadastrada; nada foi alterado.")
                               .arg(clipped(text)));
        if (!seen.contains(*number)) {
            seen.insert(*number);
            requested.append(*number);
        }
    }

    const QSet<int> current = numbers(m_sql,
                                      QStringLiteral("SELECT NRSEQUEDIME FROM %1 WHERE %2 = ?")
                                          .arg(kind.dimensionGrants, kind.codeColumn),
                                      {code});
    QList<int> heldBefore;
    for (int number : std::as_const(requested))
        if (current.contains(number))
            heldBefore.append(number);
    const QJsonObject filtersBefore = filterJson(m_sql, kind, code, requested);
    QList<QVariantList> changes;
    for (int number : std::as_const(requested)) {
        if (grant && !current.contains(number))
            changes.append({code, number});
        else if (!grant && current.contains(number))
            changes.append(QVariantList{number});
    }
    if (grant) {
        db::execInBatches(m_db,
                          QStringLiteral("INSERT INTO %1 (%2, NRSEQUEDIME) VALUES %3")
                              .arg(kind.dimensionGrants, kind.codeColumn, QStringLiteral("%1")),
                          {}, QStringLiteral("(?,?)"), changes);
    } else {
        for (const QString &table : {kind.filters, kind.dimensionGrants})
            db::execInBatches(m_db,
                              QStringLiteral("DELETE FROM %1 WHERE %2 = ? AND NRSEQUEDIME IN (%3)")
                                  .arg(table, kind.codeColumn, QStringLiteral("%1")),
                              {code}, QStringLiteral("?"), changes);
    }
    audit(principal, code, numberJson(requested), dimensionState(heldBefore, filtersBefore),
          dimensionState(grant ? requested : QList<int>(), grant ? filtersBefore : QJsonObject()));
    DataPacket packet = dimensionsPacket(m_sql, principal, code);
    transaction.commit();
    return packet;
}

DataPacket AccessControl::searchValues(const QString &statement) const
{
    // The one statement a client may send: the value search of a dimension,
    // with the dimension's three names as plain identifiers. It is matched
    // whole against the catalog and never run as sent.
    static const QRegularExpression search(QStringLiteral(
        R"(\A SELECT DISTINCT ' ' AS IDMARCADO, ([A-Za-z_][A-Za-z0-9_]*) , ([A-Za-z_][A-Za-z0-9_]*) )"
        R"(FROM ([A-Za-z_][A-Za-z0-9_]*) ORDER BY ([A-Za-z_][A-Za-z0-9_]*)\z)"));
    const QRegularExpressionMatch match = search.match(statement);
    const QString refused =
        QStringLiteral("Instrução recusada: o servidor só executa a pesquisa de valores de uma "
                       "dimensão cadastrada, e o texto recebido não é essa pesquisa.");
    if (!match.hasMatch() || match.captured(4) != match.captured(2))
        throw RpcError(code::StatementRefused, refused);
    const QString key = match.captured(1);
    const QString description = match.captured(2);
    const QString table = match.captured(3);
    if (!hasRow(m_sql,
                QStringLiteral("SELECT NRSEQUEDIME FROM DIMEDW WHERE CDTABELADIME = ? AND "
                               "DSPKDIME = ? AND DSITEMDIME = ?"),
                {table, key, description}))
        throw RpcError(code::StatementRefused, refused);
    if (key == description || key == QLatin1StringView("IDMARCADO") ||
        description == QLatin1StringView("IDMARCADO"))
        throw RpcError(code::StatementRefused,
                       QStringLiteral("Instrução recusada: a dimensão usa a mesma coluna duas "
                                      "vezes na pesquisa de valores."));

    DataPacket packet({{QStringLiteral("IDMARCADO"), 1}, {key, 0}, {description, 0}});
    auto query = m_sql.run(searchSql(table, key, description));
    qsizetype widest[2] = {1, 1};
    while (query.next()) {
        packet.appendCell(QByteArrayView(" "));
        for (int c = 0; c < 2; ++c) {
            const QString value = cellText(query.value(c + 1));
            widest[c] = qMax(widest[c], characterCount(value));
            packet.appendCell(value);
        }
        packet.endRow();
    }
    packet.setFieldSize(1, int(widest[0]));
    packet.setFieldSize(2, int(widest[1]));
    return packet;
}

QString AccessControl::filterList(const QString &principalKey, const QString &number) const
{
    if (principalKey.isEmpty())
        throw RpcError(code::InvalidParams,
                       QStringLiteral("Chave do principal vazia: esperava G seguido do código do "
                                      "grupo ou O seguido do código do operador."));
    Principal principal;
    if (principalKey.front() == QLatin1Char('G'))
        principal = Principal::Group;
    else if (principalKey.front() == QLatin1Char('O'))
        principal = Principal::Operator;
    else
        throw RpcError(code::InvalidParams,
                       QStringLiteral("Chave do principal '%1' inválida: deve começar com G "
                                      "(grupo de operadores) ou O (operador).")
                           .arg(clipped(principalKey)));
    const Kind &kind = kindOf(principal);
    const QString code = principalKey.mid(1);
    requirePrincipal(m_sql, kind, code);
    const Dimension dimension = requireDimension(m_sql, number);
    auto query =
        m_sql.run(QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ? AND NRSEQUEDIME = ? ORDER BY %1")
                      .arg(kind.filterValue, kind.filters, kind.codeColumn),
                  {code, dimension.number});
    QString list;
    while (query.next()) {
        const QString value = cellText(query.value(0));
        if (value.contains(QLatin1Char('_')))
            throw RpcError(code::InvalidValue,
                           QStringLiteral("O valor '%1' do filtro da dimensão '%2' contém '_' e "
                                          "não pode ser enviado na lista de filtro, em que '_' "
                                          "separa os valores.")
                               .arg(value, dimension.name));
        if (list.isEmpty())
            list = QStringLiteral("_");
        list += value + QLatin1Char('_');
    }
    return list;
}

void AccessControl::replaceFilter(const DataPacket &rows, Principal principal)
{
    const Kind &kind = kindOf(principal);
    const QString packetName = QStringLiteral("pacote de filtro");
    requireRowsAtMost(rows, MaxFilterRows, packetName);
    const int itemColumn = requireField(rows, QStringLiteral("ITENS"), packetName);
    const int codeColumn = requireField(rows, QStringLiteral("CDCODIGOPAI"), packetName);
    const int numberColumn = requireField(rows, QStringLiteral("NRSEQUEDIME"), packetName);
    if (rows.isEmpty())
        throw RpcError(code::InvalidParams,
                       QStringLiteral("O pacote de filtro não tem linhas: ao menos uma linha deve "
                                      "dizer o principal e a dimensão (ITENS vazio remove o "
                                      "filtro)."));
    const QString code = rows.value(0, codeColumn);
    const QString number = rows.value(0, numberColumn);
    QStringList values;
    QSet<QString> seen;
    seen.reserve(rows.rowCount());
    for (qsizetype r = 0; r < rows.rowCount(); ++r) {
        if (rows.value(r, codeColumn) != code || rows.value(r, numberColumn) != number)
            throw RpcError(code::InvalidParams,
                           QStringLiteral("Todas as linhas do pacote de filtro devem ter o mesmo "
                                          "CDCODIGOPAI e NRSEQUEDIME; a linha %1 difere da "
                                          "primeira.")
                               .arg(r + 1));
        const QString value = rows.value(r, itemColumn);
        if (value.isEmpty() || seen.contains(value))
            continue;
        const qsizetype length = characterCount(value);
        if (length > FilterValueSize)
            throw RpcError(code::InvalidValue,
                           QStringLiteral("O valor de filtro '%1' tem %2 caracteres; o máximo é "
                                          "%3. Nada foi gravado.")
                               .arg(clipped(value))
                               .arg(length)
                               .arg(FilterValueSize));
        seen.insert(value);
        values.append(value);
    }

    db::Transaction transaction(m_db);
    requirePrincipal(m_sql, kind, code);
    const Dimension dimension = requireDimension(m_sql, number);
    if (dimension.table.isEmpty())
        throw RpcError(code::InvalidValue,
                       QStringLiteral("A dimensão '%1' (%2) não tem tabela de valores e não "
                                      "aceita filtro.")
                           .arg(dimension.name)
                           .arg(dimension.number));
    if (!hasRow(m_sql,
                QStringLiteral("SELECT 1 FROM %1 WHERE %2 = ? AND NRSEQUEDIME = ?")
                    .arg(kind.dimensionGrants, kind.codeColumn),
                {code, dimension.number}))
        throw RpcError(code::InvalidValue,
                       QStringLiteral("A dimensão '%1' (%2) não está concedida %3 '%4'; conceda-a "
                                      "antes de filtrar seus valores.")
                           .arg(dimension.name)
                           .arg(dimension.number)
                           .arg(kind.toThe, code));
    QStringList before;
    {
        auto query = m_sql.run(QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ? AND NRSEQUEDIME = ? "
                                              "ORDER BY %1")
                                   .arg(kind.filterValue, kind.filters, kind.codeColumn),
                               {code, dimension.number});
        while (query.next())
            before.append(cellText(query.value(0)));
    }
    const QJsonArray valuesBefore = QJsonArray::fromStringList(before);
    m_sql.run(QStringLiteral("DELETE FROM %1 WHERE %2 = ? AND NRSEQUEDIME = ?")
                  .arg(kind.filters, kind.codeColumn),
              {code, dimension.number});
    QList<QVariantList> inserts;
    inserts.reserve(values.size());
    for (const QString &value : std::as_const(values))
        inserts.append({code, dimension.number, value});
    db::execInBatches(
        m_db,
        QStringLiteral("INSERT INTO %1 (%2, NRSEQUEDIME, %3) VALUES %4")
            .arg(kind.filters, kind.codeColumn, kind.filterValue, QStringLiteral("%1")),
        {}, QStringLiteral("(?,?,?)"), inserts);
    QStringList sorted = values;
    sorted.sort();
    // The history's summary comes from the two lists at hand: read back
    // from the audit row's JSON it cost a tenth of storing a million values.
    // The database's order of the old values may not be this one.
    if (!std::is_sorted(before.cbegin(), before.cend()))
        before.sort();
    audit(principal, code, numberJson({dimension.number}),
          QJsonObject{{QStringLiteral("values"), valuesBefore}},
          QJsonObject{{QStringLiteral("values"), QJsonArray::fromStringList(sorted)}},
          filterStoredSummary(dimension.number, before, sorted));
    transaction.commit();
}

} // namespace quv::server
