#pragma once

#include <QString>

#include <stdexcept>

namespace quv::server {

/// A failed call as the client will see it: a JSON-RPC error code from
/// quv::wire::code and a message for the user, in Portuguese, because it
/// reaches the screen's message box as it stands.
class RpcError : public std::runtime_error
{
public:
    RpcError(int code, const QString &message)
        : std::runtime_error(message.toStdString()), m_code(code), m_message(message)
    {
    }
    int code() const { return m_code; }
    const QString &message() const { return m_message; }

private:
    int m_code;
    QString m_message;
};

} // namespace quv::server
