#pragma once

#include "contracts/wire.h"
#include "db/sql.h"

#include <QSqlDatabase>
#include <QVariant>

#include <memory>

namespace quv::server {

class ConnectionState;

/// Turns one authenticated JSON-RPC call into a call on AccessControl:
/// checks the arguments against the method table, runs the method on the
/// database it was given and shapes the result as
/// {"payload": value or null, "out": [one entry per argument]}.
/// Raises RpcError for every failure, database failures included.
class Dispatcher
{
public:
    explicit Dispatcher(QSqlDatabase db)
        : m_db(std::move(db)), m_statements(std::make_unique<db::StatementCache>(m_db))
    {
    }
    /// `administrator` is who the audit trail names for a change.
    /// `connection` keeps what a method carries over to the connection's
    /// next calls (an import being staged); without it such a method has
    /// nothing to carry over to.
    QVariant call(const QString &method, const QVariantList &params, const QString &administrator,
                  ConnectionState *connection = nullptr) const;

private:
    QSqlDatabase m_db;
    // The statements of the methods, prepared once for the server's life
    // (held by pointer: a call is const, running statements is not).
    std::unique_ptr<db::StatementCache> m_statements;
};

/// The answer to one authenticated request, never an exception.
struct Outcome
{
    wire::Response response;
    /// What the server's log must say about it; empty when nothing.
    QString logDetail;
    /// The server ran out of memory on it: the session ends after answering.
    bool fatal = false;
};
Outcome answer(const Dispatcher &dispatcher, const wire::Request &request,
               const QString &administrator, ConnectionState *connection = nullptr);

/// The payload of an answer in the request's encoding. An answer that cannot
/// be encoded, or would be larger than `limit`, becomes an error answer (the
/// cause goes to `logDetail`); an answer is never cut. Only a failed
/// allocation escapes, as std::bad_alloc.
QByteArray encodeReply(const wire::Response &response, wire::Encoding encoding, QString *logDetail,
                       quint32 limit = wire::DefaultMaxFrame);

/// The user's word for the type of a received value ("texto", "booleano").
QString typeLabel(const QVariant &value);

} // namespace quv::server
