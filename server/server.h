#pragma once

#include "contracts/wire.h"
#include "server/dispatcher.h"
#include "server/tokens.h"
#include "server/transfer.h"

#include <QCache>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSqlDatabase>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>

#include <atomic>
#include <list>
#include <memory>
#include <optional>

class QTcpSocket;

namespace quv::server {

class ReaderThread;

/// What one client may take of the server.
struct ServerLimits
{
    /// After login; 0: the wire format's default.
    quint32 maxFrame = 0;
    /// Before login, when the peer is nobody yet.
    quint32 maxFrameBeforeLogin = 64 * 1024;
    int maxConnections = 64;
    /// Simultaneous connections from one address (IPv6: one /64).
    int maxPerAddress = 8;
    /// Requests per second of one connection; a burst of burst() more is
    /// let through first.
    int maxRate = 200;
    int loginTimeoutMs = 3000;
    /// A logged-in connection that sends nothing for this long is closed.
    int idleTimeoutMs = 30 * 60 * 1000;
    /// A connection being closed is cut off after this long, whether or not
    /// its peer has read the last answer.
    int closeDeadlineMs = 2000;
    /// A failed login from an address holds back that address's next login
    /// this much per recent failure (up to maxFailureDelayMs), so guessing
    /// tokens is slow.
    int failureDelayMs = 1000;
    int maxFailureDelayMs = 10000;
    /// Addresses the failure table remembers; the least recently seen goes
    /// first.
    int maxTrackedAddresses = 65536;

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

/// The address a peer is counted by: IPv4 as it is (an IPv4-mapped IPv6
/// address too), IPv6 by its /64, the smallest block a site is given.
QHostAddress addressKey(const QHostAddress &address);

class Session;

/// The TCP front of the access-control methods: accepts connections, reads
/// frames, authenticates each connection with its first call, and answers
/// every request in order, in the encoding it came in.
///
/// Requests run on the event loop's thread against the one database
/// connection given, except the slow reads (ReaderThread), which run beside
/// it on a connection of their own; the handlers hold no state of their
/// own, so several server processes may share one PostgreSQL database.
class AccessServer : public QObject
{
    Q_OBJECT
public:
    /// With `tls`, every connection must complete a TLS handshake first.
    /// With `readerDatabase` (a connection string to the same database), the
    /// slow reads run on a thread of their own.
    AccessServer(QSqlDatabase db, TokenStore tokens, const ServerLimits &limits,
                 const std::optional<QSslConfiguration> &tls = std::nullopt,
                 const QString &readerDatabase = {}, QObject *parent = nullptr);
    ~AccessServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return m_server->errorString(); }
    QHostAddress address() const { return m_server->serverAddress(); }
    quint16 port() const { return m_server->serverPort(); }
    /// Stops accepting and drops every connection.
    void close();

    const ServerLimits &limits() const { return m_limits; }

private:
    friend class Session;

    void acceptPending();
    void accept(QTcpSocket *socket);
    void refuse(QTcpSocket *socket, const QString &reason, const QString &message);
    /// Ends a session that has not logged in, to make room: one already
    /// closing, else the one that has waited longest. False when every
    /// session has logged in.
    bool evictOneWaiting();
    void leaving(Session *session);
    void loggedIn(Session *session);
    void release(Session *session);

    /// How long a login from this address must wait before its token is
    /// compared; 0 when it may go ahead.
    qint64 loginHold(const QHostAddress &key);
    /// Counts a failed login; returns how long to hold back its answer.
    int recordFailedLogin(const QHostAddress &key);

    struct Failures
    {
        int count = 0;
        qint64 lastMs = 0;
        qint64 nextAttemptMs = 0;
    };

    std::unique_ptr<QTcpServer> m_server;
    std::optional<QSslConfiguration> m_tls;
    Dispatcher m_dispatcher;
    TokenStore m_tokens;
    ServerLimits m_limits;
    QElapsedTimer m_clock;
    int m_sessions = 0;
    QHash<QHostAddress, int> m_perAddress;
    /// Not logged in yet: those closing first, then the oldest first.
    std::list<Session *> m_waiting;
    QCache<QHostAddress, Failures> m_failures;
    std::unique_ptr<ReaderThread> m_reader;
};

/// One client connection: its frame reader, whether it has logged in, and
/// the timers that keep it from holding its slot for nothing.
class Session : public QObject
{
    Q_OBJECT
public:
    Session(QTcpSocket *socket, const QHostAddress &key, AccessServer *server);
    ~Session() override;

    /// Ends the session at once, for a reason the log names.
    void drop(const QString &reason);

private:
    friend class AccessServer;

    void readFrames();
    void handle(const QByteArray &payload);
    void beginLogin(const wire::Request &request, wire::Encoding encoding);
    void finishLogin(const wire::Request &request, wire::Encoding encoding);
    wire::Response login(const wire::Request &request);
    void runAside(const wire::Request &request, wire::Encoding encoding);
    void send(const wire::Response &response, wire::Encoding encoding);
    void write(const QByteArray &payload);
    void fail(const QVariant &id, int code, const QString &message, wire::Encoding encoding,
              bool close);
    void closeAfterReply();
    void failed(const char *what);
    /// Reads again, later, once the event loop has served the others.
    void resumeLater();
    bool loggedIn() const { return !m_administrator.isEmpty(); }

    QTcpSocket *m_socket;
    AccessServer *m_server;
    const QHostAddress m_key;
    const QString m_peer; // for the log, fixed at accept
    wire::FrameReader m_reader;
    RateLimiter m_rate;
    QElapsedTimer m_clock;
    QTimer m_loginTimer;
    QTimer m_idleTimer;
    QTimer m_closeTimer;
    QString m_administrator; // empty until a successful login
    ConnectionState m_state;
    bool m_closing = false;
    /// A request is being answered elsewhere (held login, slow read):
    /// nothing more is read until it is done, so answers keep their order.
    bool m_busy = false;
    bool m_resumePosted = false;
    bool m_released = false;
    bool m_waiting = false;
    std::list<Session *>::iterator m_waitingAt;
    std::shared_ptr<std::atomic<bool>> m_gone = std::make_shared<std::atomic<bool>>(false);
    // The encoding of the latest request, for errors that come before a
    // request can be read.
    wire::Encoding m_encoding = wire::Encoding::Cbor;
};

} // namespace quv::server
