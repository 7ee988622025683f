#pragma once

#include <QSqlDatabase>
#include <QVariant>

namespace quv::server {

/// Turns one authenticated JSON-RPC call into a call on AccessControl:
/// checks the arguments against the method table, runs the method on the
/// database it was given and shapes the result as
/// {"payload": value or null, "out": [one entry per argument]}.
/// Raises RpcError for every failure, database failures included.
class Dispatcher
{
public:
    explicit Dispatcher(QSqlDatabase db) : m_db(std::move(db)) {}
    /// `administrator` is who the audit trail names for a change.
    QVariant call(const QString &method, const QVariantList &params,
                  const QString &administrator) const;

private:
    QSqlDatabase m_db;
};

/// The user's word for the type of a received value ("texto", "booleano").
QString typeLabel(const QVariant &value);

} // namespace quv::server
