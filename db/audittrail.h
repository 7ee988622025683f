#pragma once

#include <QSqlDatabase>
#include <QString>

#include <functional>

namespace quv::db {

struct AuditTrailOptions
{
    qint64 rows = 0;
    /// Called now and then with a line for a terminal.
    std::function<void(const QString &)> progress;
};

/// Adds `rows` generated rows to the audit trail: the changes an office of
/// administrators would have made over the years, one principal at a time
/// (single toggles, filter edits, whole-grid toggles, calls that changed
/// nothing), in the shapes the server writes. They are made walking back
/// from the grants the database holds now, so the trail agrees with them:
/// the newest row of every key leaves it as it is. Only an empty trail is
/// filled (a trail with rows of its own is refused, unchanged). The same
/// warehouse gives the same rows on every run. Runs inside the caller's
/// transaction; raises DbError.
qint64 fillAuditTrail(const QSqlDatabase &db, const AuditTrailOptions &options);

} // namespace quv::db
