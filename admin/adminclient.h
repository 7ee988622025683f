#pragma once

// A blocking client of the application server for a console program: one
// connection, logged in with an administrator's token, each call waiting
// for its answer. Plain TCP or TLS verified against a CA file (or the
// system's), as the host connects.

#include "contracts/wire.h"

#include <QString>
#include <QVariant>

#include <memory>
#include <stdexcept>

class QTcpSocket;

namespace quv::admin {

struct ServerAddress
{
    QString host = QStringLiteral("127.0.0.1");
    int port = 5211;
    bool tls = false;
    QString caFile; // empty: the system's CA certificates
};

/// The server answered a call with an error: its code and its message (in
/// Portuguese, written for the user).
class RemoteError : public std::runtime_error
{
public:
    RemoteError(int code, const QString &message)
        : std::runtime_error(message.toStdString()), m_code(code), m_message(message)
    {
    }
    int code() const { return m_code; }
    const QString &message() const { return m_message; }

private:
    int m_code;
    QString m_message;
};

/// The link failed: no connection, a broken or silent peer, a certificate
/// that does not verify. The text never holds the token.
class LinkError : public std::runtime_error
{
public:
    explicit LinkError(const QString &message) : std::runtime_error(message.toStdString()) {}
};

class AdminClient
{
public:
    AdminClient();
    ~AdminClient();
    AdminClient(const AdminClient &) = delete;
    AdminClient &operator=(const AdminClient &) = delete;

    /// Connects and logs in. Raises LinkError, or RemoteError when the
    /// server refuses the token.
    void connectTo(const ServerAddress &address, const QString &token);
    /// One call; returns the result's payload. Raises RemoteError or
    /// LinkError.
    QVariant call(const QString &method, const QVariantList &params);

    /// How long a connect, and a call, may wait (ms). A large import is
    /// applied within one call.
    int connectTimeout = 15000;
    int callTimeout = 600000;

private:
    wire::Response roundTrip(const wire::Request &request, int timeoutMs);

    std::unique_ptr<QTcpSocket> m_socket;
    wire::FrameReader m_reader;
    QString m_address;
    qint64 m_nextId = 1;
};

} // namespace quv::admin
