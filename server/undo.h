#pragma once

// Taking back one change of the audit trail: the keys that row changed get
// the state they had before it, as one new audited change that names the
// row it undoes. Refused, changing nothing, when any of those keys changed
// after that row.

#include "db/sql.h"

#include <QString>
#include <QStringList>
#include <QVariant>

namespace quv::server {

struct UndoResult
{
    qint64 id = 0;     // the audit row of the undo
    qint64 undone = 0; // the row taken back
    QString principal; // "G01" or "OJSILVA"
    /// The cache tables the undo wrote to, in refresh order.
    QStringList tables;
};

/// Runs in one transaction with its audit row. Raises RpcError: UnknownKey
/// for an id the trail does not hold, InvalidValue when the row cannot be
/// taken back (nothing changed by it, a later change, already undone, state
/// not as recorded), InvalidParams for an id that is not a number.
UndoResult undoChange(db::StatementCache &sql, const QString &administrator, const QString &idText);

/// desfazAlteracao's payload: {"id", "undone", "principal", "tables"}.
QVariant undoPayload(db::StatementCache &sql, const QString &administrator, const QString &idText);

} // namespace quv::server
