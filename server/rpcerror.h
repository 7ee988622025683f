#pragma once

#include <QString>

#include <stdexcept>

namespace quv::server {

/// A failed call as the client will see it: a JSON-RPC error code from
/// quv::wire::code and a message for the user, in Portuguese, because it
/// reaches the screen's message box as it stands. `detail` is what the
/// server's log must say besides, and the client must not see (empty when
/// there is nothing more).
class RpcError : public std::runtime_error
{
public:
    RpcError(int code, const QString &message, QString detail = {})
        : std::runtime_error(message.toStdString()), m_code(code), m_message(message),
          m_detail(std::move(detail))
    {
    }
    int code() const { return m_code; }
    const QString &message() const { return m_message; }
    const QString &detail() const { return m_detail; }

private:
    int m_code;
    QString m_message;
    QString m_detail;
};

/// A failure whose cause stays in the server's log, because it can hold SQL,
/// table names or values: the client gets a plain message quoting a fresh
/// error id, the log gets the same id with `cause`. `code` is DatabaseError
/// or InternalError.
RpcError hiddenError(int code, const QString &cause);

} // namespace quv::server
