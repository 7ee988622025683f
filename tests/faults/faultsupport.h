#pragma once

#include "contracts/datapacket.h"
#include "contracts/wire.h"
#include "db/sql.h"
#include "tests/server/servedemo.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

namespace quv::test {

/// True once the server's session has a transaction open on the database
/// (PostgreSQL: its backend is in a transaction and not idle; SQLite: the rollback
/// journal exists, which it does from the first write until the commit).
/// Polls until `deadline`; false when it never saw one.
inline bool waitForOpenTransaction(const QString &driver, const QString &connectionString,
                                   const QSqlDatabase &own, QDeadlineTimer deadline)
{
    if (driver == QLatin1StringView("sqlite")) {
        const QString journal =
            db::parseConnectionString(connectionString).path + QStringLiteral("-journal");
        while (!deadline.hasExpired()) {
            if (QFile::exists(journal))
                return true;
            QThread::usleep(200);
        }
        return false;
    }
    while (!deadline.hasExpired()) {
        if (count(own, QStringLiteral("SELECT COUNT(*) FROM pg_stat_activity WHERE datname = "
                                      "current_database() AND pid <> pg_backend_pid() AND "
                                      "backend_type = 'client backend' AND xact_start IS NOT "
                                      "NULL AND state <> 'idle'")) > 0)
            return true;
        QThread::usleep(500);
    }
    return false;
}

/// The audit rows after `afterId`, as (method, principal kind, principal).
inline QList<QStringList> auditSince(const QSqlDatabase &db, qint64 afterId)
{
    return rows(db,
                QStringLiteral("SELECT NMMETODO, TPPRINCIPAL, CDPRINCIPAL FROM AUDITORIA WHERE "
                               "IDAUDITORIA > ? ORDER BY IDAUDITORIA"),
                {afterId});
}

inline qint64 lastAuditId(const QSqlDatabase &db)
{
    return count(db, QStringLiteral("SELECT COALESCE(MAX(IDAUDITORIA), 0) FROM AUDITORIA"));
}

} // namespace quv::test
