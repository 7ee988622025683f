#include "server/undo.h"

#include "contracts/history.h"
#include "contracts/wire.h"
#include "db/dialect.h"
#include "server/audit.h"
#include "server/history.h"
#include "server/rpcerror.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace quv::server {

namespace code = wire::code;

namespace {

QString shownTime(const QString &stored)
{
    const QDateTime time = QDateTime::fromString(stored, Qt::ISODateWithMs);
    return time.isValid() ? time.toUTC().toString(QStringLiteral("dd/MM/yyyy HH:mm 'UTC'"))
                          : stored;
}

QJsonObject stateJson(const QSet<FactKey> &facts, const QSet<int> &dimensions,
                      const QHash<int, QSet<QString>> &filters)
{
    QJsonObject filterMap;
    for (int n : sorted(QSet<int>(filters.keyBegin(), filters.keyEnd())))
        if (!filters.value(n).isEmpty())
            filterMap.insert(QString::number(n),
                             QJsonArray::fromStringList(sorted(filters.value(n))));
    return {{QStringLiteral("facts"), factJson(sorted(facts))},
            {QStringLiteral("dimensions"), numberJson(sorted(dimensions))},
            {QStringLiteral("filters"), filterMap}};
}

/// The state a principal is in now, read for the keys a row changed.
struct CurrentState
{
    QSet<FactKey> facts;
    QSet<int> dimensions;
    QHash<int, QSet<QString>> filters;
};

CurrentState currentState(db::StatementCache &sql, const PrincipalTables &t, const QString &code,
                          const QSet<int> &filterDimensions)
{
    CurrentState s;
    {
        auto q = sql.run(QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM %1 WHERE %2 = ?")
                             .arg(t.factGrants, t.codeColumn),
                         {code});
        while (q.next())
            s.facts.insert({q.value(0).toString(), q.value(1).toString()});
    }
    {
        auto q = sql.run(QStringLiteral("SELECT NRSEQUEDIME FROM %1 WHERE %2 = ?")
                             .arg(t.dimensionGrants, t.codeColumn),
                         {code});
        while (q.next())
            s.dimensions.insert(q.value(0).toInt());
    }
    // Per dimension: a principal may hold a filter of a hundred thousand
    // values on a dimension the row never touched.
    for (int n : filterDimensions) {
        auto q = sql.run(QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ? AND NRSEQUEDIME = ?")
                             .arg(t.filterValue, t.filters, t.codeColumn),
                         {code, n});
        while (q.next())
            s.filters[n].insert(q.value(0).toString());
    }
    return s;
}

[[noreturn]] void refuse(qint64 id, const QString &reason)
{
    throw RpcError(code::InvalidValue, QStringLiteral("A alteração %1 não pode ser desfeita: %2 "
                                                      "Nada foi alterado.")
                                           .arg(id)
                                           .arg(reason));
}

qint64 idFrom(const QString &text)
{
    bool digits = !text.isEmpty() && text.size() <= 18;
    for (QChar c : text)
        digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const qint64 id = digits ? text.toLongLong() : 0;
    if (id <= 0)
        throw RpcError(code::InvalidParams,
                       QStringLiteral("Argumento 1 (alteração) de '%1' deve ser o número de uma "
                                      "alteração do histórico; recebeu '%2'.")
                           .arg(history::UndoMethod, text.left(60)));
    return id;
}

/// The first row after `id` of the same principal that changed any of the
/// same keys, if any. A row that cannot be read might have: it counts.
std::optional<AuditEntry> laterChange(db::StatementCache &sql, const AuditEntry &row,
                                      const Delta &delta)
{
    const QSet<FactKey> facts = delta.facts();
    const QSet<int> dimensions = delta.dimensions();
    auto q = sql.run(QStringLiteral("SELECT ") + AuditRowColumns +
                         QStringLiteral(" FROM AUDITORIA WHERE TPPRINCIPAL = ? AND CDPRINCIPAL = "
                                        "? AND IDAUDITORIA > ? ORDER BY IDAUDITORIA"),
                     {QString(row.kind), row.code, row.id});
    while (q.next()) {
        const AuditEntry later = auditEntryAt(q);
        const RecordedChange change = recordedChange(later);
        if (!change.readable)
            return later;
        const Delta d = deltaOf(change);
        if (d.facts().intersects(facts) || d.dimensions().intersects(dimensions))
            return later;
    }
    return std::nullopt;
}

} // namespace

UndoResult undoChange(db::StatementCache &sql, const QString &administrator, const QString &idText)
{
    const qint64 id = idFrom(idText);
    const QSqlDatabase &db = sql.database();
    db::Transaction transaction(db);
    // Every change writes its audit row in its own transaction: holding
    // inserts off the trail until this commits means no change can slip in
    // between the check for later changes and the writes. (SQLite already
    // lets one writer through at a time.)
    if (!db::Dialect::of(db).isSqlite())
        db::execDirect(db, QStringLiteral("LOCK TABLE AUDITORIA IN SHARE ROW EXCLUSIVE MODE"));

    const AuditEntry row = auditRow(sql, id);
    const RecordedChange recorded = recordedChange(row);
    if (!recorded.readable)
        refuse(id, QStringLiteral("seu registro no histórico não pôde ser lido."));
    const Delta delta = deltaOf(recorded);
    if (delta.isEmpty())
        refuse(id, QStringLiteral("ela não mudou nenhum acesso."));
    if (row.kind != QLatin1Char('G') && row.kind != QLatin1Char('O'))
        refuse(id, QStringLiteral("o tipo de principal '%1' é desconhecido.").arg(row.kind));
    const PrincipalTables &t = PrincipalTables::of(row.kind);
    {
        auto q =
            sql.run(QStringLiteral("SELECT 1 FROM %1 WHERE %2 = ?").arg(t.principals, t.codeColumn),
                    {row.code});
        if (!q.next())
            throw RpcError(code::UnknownKey,
                           QStringLiteral("%1 '%2' não cadastrado; a alteração %3 não pode ser "
                                          "desfeita. Nada foi alterado.")
                               .arg(t.label, row.code)
                               .arg(id));
    }

    if (const std::optional<AuditEntry> later = laterChange(sql, row, delta)) {
        const history::Entry shown = describeAudit(sql, {*later}).first().entry;
        if (later->undoes == id)
            refuse(id, QStringLiteral("ela já foi desfeita pela alteração %1 (%2, por %3).")
                           .arg(later->id)
                           .arg(shownTime(later->time), later->administrator));
        refuse(id, QStringLiteral("a alteração %1 (%2, por %3) mudou depois os mesmos acessos: "
                                  "%4.")
                       .arg(later->id)
                       .arg(shownTime(later->time), later->administrator, history::summary(shown)));
    }

    const QSet<FactKey> facts = delta.facts();
    const QSet<int> dimensions = delta.dimensions();
    const CurrentState now = currentState(sql, t, row.code, dimensions);
    // The trail says nothing changed these keys since; the tables must agree,
    // or something wrote them behind the server's back.
    QString differs;
    for (const FactKey &k : facts)
        if (now.facts.contains(k) != recorded.after.facts.contains(k))
            differs = QStringLiteral("o fato %1/%2").arg(k.first, k.second);
    for (int n : dimensions) {
        const bool grantKnown = recorded.dimensionKeys.contains(n);
        if ((grantKnown && now.dimensions.contains(n) != recorded.after.dimensions.contains(n)) ||
            (!grantKnown && !now.dimensions.contains(n)) ||
            now.filters.value(n) != recorded.after.filters.value(n))
            differs = QStringLiteral("a dimensão %1").arg(n);
    }
    if (!differs.isEmpty())
        refuse(id, QStringLiteral("%1 de %2 '%3' não está como a alteração deixou; foi mudado fora "
                                  "do servidor.")
                       .arg(differs, t.label.toLower(), row.code));

    const QSet<FactKey> regrant(delta.factsRemoved.cbegin(), delta.factsRemoved.cend());
    const QSet<int> regrantDimensions(delta.dimensionsRemoved.cbegin(),
                                      delta.dimensionsRemoved.cend());
    if (const QSet<FactKey> gone = QSet<FactKey>(regrant).subtract(factsInCatalog(sql, regrant));
        !gone.isEmpty())
        refuse(id, QStringLiteral("o fato %1/%2 não está mais no catálogo.")
                       .arg(gone.cbegin()->first, gone.cbegin()->second));
    if (const QSet<int> gone =
            QSet<int>(regrantDimensions).subtract(dimensionsInCatalog(sql, regrantDimensions));
        !gone.isEmpty())
        refuse(id, QStringLiteral("a dimensão %1 não está mais no catálogo.").arg(*gone.cbegin()));

    // The state to restore: as before the row, for exactly its keys.
    GrantState target;
    target.facts = QSet<FactKey>(now.facts).intersect(facts);
    for (const FactKey &k : delta.factsAdded)
        target.facts.remove(k);
    target.facts.unite(regrant);
    target.dimensions = QSet<int>(now.dimensions).intersect(dimensions);
    for (int n : delta.dimensionsAdded)
        target.dimensions.remove(n);
    target.dimensions.unite(regrantDimensions);
    for (int n : dimensions)
        if (!recorded.before.filters.value(n).isEmpty())
            target.filters[n] = recorded.before.filters.value(n);

    // Filter rows hang on their grant: out first, back in last.
    QList<QVariantList> dimensionRows;
    for (int n : sorted(dimensions))
        dimensionRows.append(QVariantList{n});
    db::execInBatches(db,
                      QStringLiteral("DELETE FROM %1 WHERE %2 = ? AND NRSEQUEDIME IN (%3)")
                          .arg(t.filters, t.codeColumn, QStringLiteral("%1")),
                      {row.code}, QStringLiteral("?"), dimensionRows);
    const auto factRows = [](const QList<FactKey> &keys) {
        QList<QVariantList> rows;
        for (const FactKey &k : keys)
            rows.append({k.first, k.second});
        return rows;
    };
    db::execInBatches(db,
                      QStringLiteral("DELETE FROM %1 WHERE %2 = ? AND (CDTABELADW, CDITEMDW) IN "
                                     "(VALUES %3)")
                          .arg(t.factGrants, t.codeColumn, QStringLiteral("%1")),
                      {row.code}, QStringLiteral("(?,?)"), factRows(delta.factsAdded));
    QList<QVariantList> inserts;
    for (const FactKey &k : delta.factsRemoved)
        inserts.append({row.code, k.first, k.second});
    db::execInBatches(db,
                      QStringLiteral("INSERT INTO %1 (%2, CDTABELADW, CDITEMDW) VALUES %3")
                          .arg(t.factGrants, t.codeColumn, QStringLiteral("%1")),
                      {}, QStringLiteral("(?,?,?)"), inserts);
    QList<QVariantList> revoked;
    for (int n : delta.dimensionsAdded)
        revoked.append(QVariantList{n});
    db::execInBatches(db,
                      QStringLiteral("DELETE FROM %1 WHERE %2 = ? AND NRSEQUEDIME IN (%3)")
                          .arg(t.dimensionGrants, t.codeColumn, QStringLiteral("%1")),
                      {row.code}, QStringLiteral("?"), revoked);
    inserts.clear();
    for (int n : delta.dimensionsRemoved)
        inserts.append({row.code, n});
    db::execInBatches(db,
                      QStringLiteral("INSERT INTO %1 (%2, NRSEQUEDIME) VALUES %3")
                          .arg(t.dimensionGrants, t.codeColumn, QStringLiteral("%1")),
                      {}, QStringLiteral("(?,?)"), inserts);
    inserts.clear();
    for (int n : sorted(dimensions))
        for (const QString &value : sorted(target.filters.value(n)))
            inserts.append({row.code, n, value});
    db::execInBatches(db,
                      QStringLiteral("INSERT INTO %1 (%2, NRSEQUEDIME, %3) VALUES %4")
                          .arg(t.filters, t.codeColumn, t.filterValue, QStringLiteral("%1")),
                      {}, QStringLiteral("(?,?,?)"), inserts);

    AuditEntry undo;
    undo.administrator = administrator;
    undo.method = QString(history::UndoMethod);
    undo.kind = row.kind;
    undo.code = row.code;
    undo.undoes = id;
    undo.items = QJsonObject{{QStringLiteral("facts"), factJson(sorted(facts))},
                             {QStringLiteral("dimensions"), numberJson(sorted(dimensions))}};
    QHash<int, QSet<QString>> filtersNow;
    for (int n : dimensions)
        if (!now.filters.value(n).isEmpty())
            filtersNow[n] = now.filters.value(n);
    undo.before = stateJson(QSet<FactKey>(now.facts).intersect(facts),
                            QSet<int>(now.dimensions).intersect(dimensions), filtersNow);
    undo.after = stateJson(target.facts, target.dimensions, target.filters);

    UndoResult result;
    result.id = writeAudit(db, undo);
    transaction.commit();

    result.undone = id;
    result.principal = row.principal();
    if (!delta.factsAdded.isEmpty() || !delta.factsRemoved.isEmpty())
        result.tables.append(t.factGrants);
    if (!delta.dimensionsAdded.isEmpty() || !delta.dimensionsRemoved.isEmpty())
        result.tables.append(t.dimensionGrants);
    if (!delta.filters.isEmpty())
        result.tables.append(t.filters);
    return result;
}

QVariant undoPayload(db::StatementCache &sql, const QString &administrator, const QString &idText)
{
    const UndoResult result = undoChange(sql, administrator, idText);
    QVariantList tables;
    for (const QString &table : result.tables)
        tables.append(table);
    return QVariantMap{{QStringLiteral("id"), result.id},
                       {QStringLiteral("undone"), result.undone},
                       {QStringLiteral("principal"), result.principal},
                       {QStringLiteral("tables"), tables}};
}

} // namespace quv::server
