#pragma once

// The audit trail read as a history: what each row changed, whatever shape
// its method wrote, named by the catalog as it is now, page by page, newest
// first. getHistorico, the undo and `quv-server audit` all read it here.

#include "contracts/history.h"
#include "db/sql.h"
#include "server/audit.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QVariant>

#include <utility>

namespace quv::server {

/// The tables and columns of one kind of principal.
struct PrincipalTables
{
    QString principals;      // GRUPOPER
    QString codeColumn;      // CDGRUPOPER
    QString nameColumn;      // DSGRUPOPER
    QString factGrants;      // ITEMDWGRUPOP
    QString dimensionGrants; // DIMEDWGRUPOP
    QString filters;         // FILDIMEGRUPOP
    QString filterValue;     // CDFILDIMEGRUPOP
    QString label;           // "Grupo de operadores"

    /// 'G' or 'O'; anything else is treated as 'O'.
    static const PrincipalTables &of(QChar kind);
};

/// Grants of one principal over some keys.
struct GrantState
{
    QSet<FactKey> facts;
    QSet<int> dimensions;
    QHash<int, QSet<QString>> filters; // no entry: no value
};

/// What one audit row says: the keys its call named and their state before
/// and after. Rows of the single-kind methods name facts, or dimensions
/// (grant and filter), or one filter; combined rows (copy, import, undo)
/// name facts and dimensions with their filters.
struct RecordedChange
{
    bool readable = false;
    QSet<FactKey> factKeys;
    QSet<int> dimensionKeys; // grant named
    QSet<int> filterKeys;    // filter named
    GrantState before, after;
};
RecordedChange recordedChange(const AuditEntry &entry);

/// The keys a row actually changed, each list sorted (the fact lists as far
/// as deltaOf was asked to).
struct Delta
{
    struct Filter
    {
        int dimension = 0;
        QStringList added, removed;
    };
    QList<FactKey> factsAdded, factsRemoved;
    QList<int> dimensionsAdded, dimensionsRemoved;
    QList<Filter> filters;

    bool isEmpty() const
    {
        return factsAdded.isEmpty() && factsRemoved.isEmpty() && dimensionsAdded.isEmpty() &&
               dimensionsRemoved.isEmpty() && filters.isEmpty();
    }
    QSet<FactKey> facts() const;
    /// Dimensions whose grant or filter changed: a grant cannot change
    /// without its filter being at stake, so the two count as one key.
    QSet<int> dimensions() const;
    /// {"facts": [[table, item]...], "dimensions": [n...], "filters":
    /// {"n": [values]}} of the added (or removed) side, whole.
    QJsonObject side(bool added) const;
};
/// Every fact of each side of a change, or the first `limit`.
inline constexpr int AllFacts = -1;
/// `sortedFacts`: only the first that many facts of each side need to be
/// in order (a history page lists no more); the rest follow unordered.
Delta deltaOf(const RecordedChange &change, int sortedFacts = AllFacts);

/// An audit row with what it changed, named now.
struct DescribedEntry
{
    AuditEntry row;
    Delta delta;
    history::Entry entry;
};
/// Names every row's principal and keys with a few lookups per kind of key.
/// An entry lists up to `listedFacts` facts of each side and counts the rest;
/// the delta holds every key, its fact lists sorted only that far.
QList<DescribedEntry> describeAudit(db::StatementCache &sql, const QList<AuditEntry> &rows,
                                    int listedFacts = AllFacts);
QList<DescribedEntry> describeAudit(const QSqlDatabase &db, const QList<AuditEntry> &rows);

/// What the history page shows of a row, unnamed, as stored with the row
/// when it is written (DSRESUMO): null for a row of no known shape.
QString storedSummary(const AuditEntry &entry);
/// The same for a row that replaced one dimension's filter, from the value
/// lists before and after, each in ascending order without repeats.
QString filterStoredSummary(int dimension, const QStringList &before, const QStringList &after);

/// The audit row of that id. Raises RpcError (UnknownKey) when the trail
/// does not hold it.
AuditEntry auditRow(db::StatementCache &sql, qint64 id);

/// Which of these keys the catalog holds now.
QSet<FactKey> factsInCatalog(db::StatementCache &sql, const QSet<FactKey> &keys);
QSet<int> dimensionsInCatalog(db::StatementCache &sql, const QSet<int> &numbers);

struct HistoryQuery
{
    QString principal; // "G01", "OJSILVA" or empty
    QString administrator;
    QString since, until; // normalised UTC times, inclusive; empty: open
    QString text;         // in a principal's, fact's or dimension's name
    qint64 before = 0;    // the cursor: only ids below it; 0: from the newest
    int limit = 50;
};

struct HistoryPage
{
    QList<history::Entry> entries;
    qint64 next = 0; // the cursor of the following page; 0: this was the last
};

inline constexpr int DefaultHistoryPage = 50;
inline constexpr int MaxHistoryPage = 500;

/// One page, newest first, each row listing up to history::ShownFacts facts
/// of each side. Raises RpcError (InvalidParams) for a text that names too
/// much to search for.
HistoryPage readHistory(db::StatementCache &sql, const HistoryQuery &query);

/// getHistorico: the seven text arguments checked and read as a query; the
/// page as {"rows": [...], "next": "<cursor>" or ""}.
QVariant historyPayload(db::StatementCache &sql, const QVariantList &params);

/// getAlteracao: one row of the history with every fact it changed. Raises
/// RpcError: InvalidParams for an id that is not one, UnknownKey for an id
/// the trail does not hold.
QVariant changePayload(db::StatementCache &sql, const QString &idText);

} // namespace quv::server
