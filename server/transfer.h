#pragma once

// Moving grants between principals and in and out of the server as a whole:
// the copy of one principal's grants onto another, the export of every
// grant in pages, and the import of a file's grants staged over several
// calls and applied in one transaction.

#include "contracts/datapacket.h"
#include "db/sql.h"

#include <QString>
#include <QVariantMap>

#include <memory>
#include <optional>

namespace quv::server {

class StagedImport;

/// What one connection keeps between its calls: the import it is staging.
/// The staging dies with the connection, so an import that never finishes
/// leaves nothing behind.
class ConnectionState
{
public:
    ConnectionState();
    ~ConnectionState();
    ConnectionState(const ConnectionState &) = delete;
    ConnectionState &operator=(const ConnectionState &) = delete;

    std::unique_ptr<StagedImport> import;
};

/// How incoming grants meet the ones a principal holds.
enum class TransferMode
{
    /// The principal ends up with exactly the incoming facts, dimensions
    /// and filters.
    Replace,
    /// The principal keeps what it holds and gains the incoming grants. A
    /// dimension held on both sides keeps a filter only when both sides
    /// filter it (the union of the values): a side without a filter sees
    /// every value, and so does the result.
    Merge,
};

/// "substituir" or "acrescentar", as the protocol spells them.
std::optional<TransferMode> transferModeFromName(const QString &name);

/// How many grants a change adds and removes, by kind.
struct ChangeCounts
{
    qint64 factsAdded = 0;
    qint64 factsRemoved = 0;
    qint64 dimensionsAdded = 0;
    qint64 dimensionsRemoved = 0;
    qint64 valuesAdded = 0;
    qint64 valuesRemoved = 0;

    bool isEmpty() const;
    ChangeCounts &operator+=(const ChangeCounts &other);
    /// {"factsAdded": n, ...}: the payload of the copy methods.
    QVariantMap toVariant() const;
};

/// The transfer methods on one database connection. Like AccessControl it
/// keeps nothing between calls but what the caller's ConnectionState holds;
/// every change is one transaction with its audit rows (one per principal
/// changed, in the combined shape that names facts and dimensions
/// together). Failures raise RpcError.
class Transfer
{
public:
    Transfer(db::StatementCache &statements, QString administrator, QString method);

    /// What copying `source`'s grants onto `target` ("G01", "OJSILVA")
    /// would change; with `apply` the change is made too.
    ChangeCounts copy(const QString &source, const QString &target, TransferMode mode, bool apply);

    /// One page of the export: {"rows": packet, "next": key or null,
    /// "audit": [count before, count after]}. `selection` names principals
    /// by key in its CHAVE field (no rows: every principal); `after` is the
    /// previous page's "next" ("" for the first page).
    QVariantMap exportPage(const DataPacket &selection, const QString &after);

    /// Starts staging an import on the connection, dropping any unfinished
    /// one.
    void beginImport(ConnectionState &state);
    /// Stages rows; a refused row drops the whole staging. Returns the rows
    /// staged so far.
    qint64 stageImport(ConnectionState &state, const DataPacket &rows);
    /// The change the staged import makes, per principal; with `apply` it is
    /// made and the staging is dropped (also when it fails).
    QVariantMap finishImport(ConnectionState &state, TransferMode mode, bool apply);

    /// Rows per export page, and most rows one connection may stage.
    static constexpr qint64 PageRows = 50000;
    static constexpr qint64 MaxStagedRows = 4000000;

private:
    db::StatementCache &m_sql;
    QSqlDatabase m_db;
    QString m_administrator;
    QString m_method;
};

} // namespace quv::server
