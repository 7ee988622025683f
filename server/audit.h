#pragma once

#include <QJsonValue>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

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

/// Appends the entry (its id and time are set here) on `db`, inside the
/// caller's transaction, so that the row and the change commit together.
void writeAudit(const QSqlDatabase &db, const AuditEntry &entry);

struct AuditFilter
{
    QString principal; // "G01", "OJSILVA" or empty
    QString administrator;
    QString since; // normalised UTC times, inclusive; empty: open
    QString until;
};

/// The entries that pass the filter, oldest first.
QList<AuditEntry> readAudit(const QSqlDatabase &db, const AuditFilter &filter);

enum class AuditFormat
{
    Text,
    Json,
    Csv
};

QString formatAudit(const QList<AuditEntry> &entries, AuditFormat format);
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
