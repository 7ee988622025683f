#pragma once

#include <QJsonArray>
#include <QJsonValue>
#include <QList>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <utility>

class QTextStream;

namespace quv::server {

/// One change of grants or filters as the audit trail keeps it.
struct AuditEntry
{
    qint64 id = 0;
    QString time; // UTC, yyyy-MM-ddTHH:mm:ss.zzzZ
    QString administrator;
    QString method;
    QChar kind; // 'G' group, 'O' operator
    QString code;
    QJsonValue items;
    QJsonValue before;
    QJsonValue after;
    /// The id of the row an undo took back; 0 for every other change.
    qint64 undoes = 0;
    /// What the history shows of the change, when the writer already knows
    /// it (storedSummary's form); null: writeAudit works it out.
    QString summary;

    /// "G01" or "OJSILVA".
    QString principal() const { return kind + code; }
};

/// The table that keeps the trail.
inline const QString AuditTable = QStringLiteral("AUDITORIA");

/// Creates the audit table and its index, as the schema defines them, in a
/// database made before the trail existed; does nothing when the table is
/// there. Safe when another server does the same on the same database at the
/// same moment. Returns true when this call created the table; raises
/// db::DbError when it cannot.
bool ensureAuditTable(const QSqlDatabase &db);
/// Adds to an audit table made by an older version the columns and indexes
/// the schema has since gained, as the schema defines them. Safe when
/// another server does the same at the same moment. Returns one line per
/// thing added (nothing when the table is current); raises db::DbError.
QStringList upgradeAuditTable(const QSqlDatabase &db);

/// Appends the entry (its id and time are set here) on `db`, inside the
/// caller's transaction, so that the row and the change commit together.
/// Returns the new row's id.
qint64 writeAudit(const QSqlDatabase &db, const AuditEntry &entry);

/// While one lives on a thread, the principal of every audit row written on
/// that thread is noted in it, whichever unit wrote the row: the server's
/// log names the principals a call changed.
class AuditNotes
{
public:
    AuditNotes();
    ~AuditNotes();
    AuditNotes(const AuditNotes &) = delete;
    AuditNotes &operator=(const AuditNotes &) = delete;
    const QStringList &principals() const { return m_principals; }
    static void note(const QString &principal);

private:
    AuditNotes *m_previous;
    QStringList m_principals;
};

/// Compact JSON text, as the trail stores items and states.
QString compactJson(const QJsonValue &value);
/// Stored JSON text back as a value; text that is not JSON comes back as
/// that text.
QJsonValue parseAuditJson(const QString &text);

/// A fact as the trail names it: table, item.
using FactKey = std::pair<QString, QString>;

/// The trail keeps its lists sorted, so that two rows compare as text.
template <typename T> QList<T> sorted(const QSet<T> &set)
{
    QList<T> list(set.cbegin(), set.cend());
    std::sort(list.begin(), list.end());
    return list;
}
/// [["TABLE","ITEM"], ...]
QJsonArray factJson(const QList<FactKey> &keys);
/// [n, ...]
QJsonArray numberJson(const QList<int> &numbers);

/// The columns auditEntryAt reads, in its order, on a table the server has
/// brought up to date (upgradeAuditTable).
inline const QString AuditRowColumns =
    QStringLiteral("IDAUDITORIA, DTAUDITORIA, NMADMINISTRADOR, NMMETODO, TPPRINCIPAL, "
                   "CDPRINCIPAL, DSITENS, DSANTES, DSDEPOIS, IDAUDITORIADESFEITA");
/// The same on any audit table: the undo column reads as NULL where the
/// server has not added it yet.
QString auditColumns(const QSqlDatabase &db);
/// The current row of a query over auditColumns() as an entry.
template <typename Row> AuditEntry auditEntryAt(const Row &row)
{
    AuditEntry e;
    e.id = row.value(0).toLongLong();
    e.time = row.value(1).toString();
    e.administrator = row.value(2).toString();
    e.method = row.value(3).toString();
    const QString kind = row.value(4).toString();
    e.kind = kind.isEmpty() ? QChar() : kind.front();
    e.code = row.value(5).toString();
    e.items = parseAuditJson(row.value(6).toString());
    e.before = parseAuditJson(row.value(7).toString());
    e.after = parseAuditJson(row.value(8).toString());
    e.undoes = row.value(9).toLongLong();
    return e;
}

struct AuditFilter
{
    QString principal; // "G01", "OJSILVA" or empty
    QString administrator;
    QString since; // normalised UTC times, inclusive; empty: open
    QString until;
    qint64 afterId = 0; // only rows after this id
    int limit = 0;      // at most this many rows; 0: all
};

/// The entries that pass the filter, oldest first.
QList<AuditEntry> readAudit(const QSqlDatabase &db, const AuditFilter &filter);

enum class AuditFormat
{
    Text,
    Json,
    Csv
};

struct DescribedEntry; // server/history.h

/// Text: one line per row with the history's summary; JSON and CSV: every
/// stored field, plus what the row added and removed, and the summary. The
/// export goes out in slices: the text before the first row (`first`), the
/// rows of a slice, and what closes the export (`anyRows`: whether any row
/// went out).
QString formatAuditStart(AuditFormat format);
QString formatAudit(const QList<DescribedEntry> &entries, AuditFormat format, bool first);
QString formatAuditEnd(AuditFormat format, bool anyRows);
/// One CSV field: quoted when it holds a comma, a quote or a line break,
/// with quotes doubled; a value that starts with =, +, -, @, a tab or a
/// carriage return gets a leading ' so that no spreadsheet takes it for a
/// formula.
QString csvField(const QString &value);
/// An ISO-8601 date or date-time as the trail stores it; a time without a
/// zone is taken as UTC. Empty when the text is not ISO-8601.
QString normalisedTime(const QString &text);

/// `quv-server audit ...` (arguments[0] is the program, [1] "audit").
/// Returns the exit status.
int runAuditCommand(const QStringList &arguments, QTextStream &out);

} // namespace quv::server
