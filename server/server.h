#pragma once

#include "contracts/wire.h"
#include "server/dispatcher.h"
#include "server/tokens.h"
#include "server/transfer.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSqlDatabase>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>

#include <memory>
#include <optional>

class QTcpSocket;

namespace quv::server {

/// What one client may take of the server.
struct ServerLimits
{
    quint32 maxFrame = 0; // 0: the wire format's default
    int maxConnections = 64;
    /// Requests per second of one connection; a burst of burst() more is
    /// let through first.
    int maxRate = 200;
    int loginTimeoutMs = 10000;
    /// A failed login is answered this much later per failure from the
    /// same address (up to maxFailureDelayMs), so guessing tokens is slow.
    int failureDelayMs = 1000;
    int maxFailureDelayMs = 10000;

    int burst() const { return qMax(5, maxRate / 10); }
};

/// Counts requests against a rate with a burst: a bucket of `burst`
/// tokens, refilled at `rate` a second.
class RateLimiter
{
public:
    RateLimiter(int rate, int burst);
    /// Takes a token when there is one; `nowMs` is a monotonic clock.
    bool allow(qint64 nowMs);

private:
    double m_rate;
    double m_burst;
    double m_tokens;
    qint64 m_lastMs = -1;
};

/// The TCP front of the access-control methods: accepts connections, reads
/// frames, authenticates each connection with its first call, and answers
/// every request in order, in the encoding it came in.
///
/// Requests run one at a time on the event loop's thread, against the one
/// database connection given; the handlers hold no state of their own, so
/// several server processes may share one PostgreSQL database.
class AccessServer : public QObject
{
    Q_OBJECT
public:
    /// With `tls`, every connection must complete a TLS handshake first.
    AccessServer(QSqlDatabase db, TokenStore tokens, const ServerLimits &limits,
                 const std::optional<QSslConfiguration> &tls = std::nullopt,
                 QObject *parent = nullptr);
    ~AccessServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return m_server->errorString(); }
    QHostAddress address() const { return m_server->serverAddress(); }
    quint16 port() const { return m_server->serverPort(); }
    /// Stops accepting and drops every connection.
    void close();

    const ServerLimits &limits() const { return m_limits; }
    /// How long to hold back the answer to a failed login from `peer`,
    /// counting this failure.
    int recordFailedLogin(const QHostAddress &peer);
    void recordSuccessfulLogin(const QHostAddress &peer);

private:
    void acceptConnections();
    void refuse(QTcpSocket *socket, const QString &message);

    struct Failures
    {
        int count = 0;
        QDeadlineTimer forgetAt;
    };

    std::unique_ptr<QTcpServer> m_server;
    Dispatcher m_dispatcher;
    TokenStore m_tokens;
    ServerLimits m_limits;
    int m_sessions = 0;
    QHash<QHostAddress, Failures> m_failures;
};

/// One client connection: its frame reader and whether it has logged in.
class Session : public QObject
{
    Q_OBJECT
public:
    Session(QTcpSocket *socket, const Dispatcher &dispatcher, const TokenStore &tokens,
            AccessServer *server);

private:
    void readFrames();
    void handle(const QByteArray &payload);
    wire::Response login(const wire::Request &request);
    void send(const wire::Response &response, wire::Encoding encoding);
    void fail(const QVariant &id, int code, const QString &message, wire::Encoding encoding,
              bool close);
    void closeAfterReply();
    QString peer() const;

    QTcpSocket *m_socket;
    const Dispatcher &m_dispatcher;
    const TokenStore &m_tokens;
    AccessServer *m_server;
    wire::FrameReader m_reader;
    RateLimiter m_rate;
    QElapsedTimer m_clock;
    QTimer m_loginTimer;
    QHostAddress m_peerAddress;
    QString m_administrator; // empty until a successful login
    ConnectionState m_state;
    bool m_closing = false;
    // The encoding of the latest request, for errors that come before a
    // request can be read.
    wire::Encoding m_encoding = wire::Encoding::Cbor;
};

/// One line on stderr with a timestamp.
void log(const QString &line);

} // namespace quv::server
