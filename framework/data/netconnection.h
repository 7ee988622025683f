#pragma once

// The connection to the application server: one persistent socket speaking
// length-prefixed JSON-RPC 2.0 frames (CBOR), logged in once per connect.
// Calls are synchronous for their caller, as the screen expects a remote
// method to return its outputs before it goes on. While a call waits, the
// connection runs a local event loop, so the window system is still served:
// the busy indicator animates and offers to cancel, and a timeout or a
// cancel ends the wait at once.

#include "framework/data/dataset.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

class QEventLoop;
class QTcpSocket;
class TNetConnection;

namespace quv::wire {
struct Response;
}

/// What every remote method returns: success with its payload, or the
/// server's error (code and message). Transport failures reported without
/// an exception carry ConnectionFailedCode.
struct TServerStatus
{
    bool ok = false;
    int code = 0;
    QString message;
    QVariant payload;
    /// The technical detail of a transport failure (address, socket text).
    QString details;
};
Q_DECLARE_METATYPE(TServerStatus)

inline constexpr int ConnectionFailedCode = -32000;

/// The server's dispatch object: methods called by name with positional
/// arguments.
class TAppServer
{
public:
    /// Sends the call and waits for the reply. Arguments that the method
    /// table marks as outputs travel as null; on success every output the
    /// reply carries (packets, echoed strings) is written back into `args`
    /// at its index. Returns a QVariant holding a TServerStatus. Transport
    /// failures follow the connection's ThrowException.
    QVariant Call(const QString &method, QVariantList &args);

private:
    friend class TNetConnection;
    explicit TAppServer(TNetConnection *connection) : m_connection(connection) {}
    TNetConnection *m_connection;
};

class TNetConnection : public QObject
{
    Q_OBJECT
public:
    explicit TNetConnection(QObject *owner = nullptr);
    ~TNetConnection() override;

    QString ServerName;
    QString Host;
    int Port = 0;
    /// True: transport failures raise EConnectionError. False: setConnected
    /// stays disconnected and remembers the error; calls return a failed
    /// status.
    bool ThrowException = true;
    /// How long a connect, and a call, may wait for the server (ms). A call
    /// with CallTimeout 0 waits as long as the host's setting says (INI
    /// `[server] timeout`); a connect never waits longer than a call would.
    int ConnectTimeout = 15000;
    int CallTimeout = 0;

    /// Fired before every connect, including the silent reconnect of a call
    /// after the connection was lost; the screen sets Host and Port here.
    std::function<void(QObject *Sender)> BeforeConnect;

    bool Connected() const;
    void setConnected(bool connected);
    /// The message of the last transport failure; empty after a success.
    QString LastError() const { return m_lastError; }
    /// The administrator the server named when the login succeeded.
    QString Administrator() const { return m_administrator; }

    TAppServer &AppServer() { return m_appServer; }

    /// Ends the wait of the call in progress at once. The caller gets the
    /// failure of a call, "Operação cancelada pelo usuário.", and the link is
    /// dropped, to be opened again silently at the next call. Does nothing
    /// when no call waits.
    void Cancel();
    /// True while a call (or its connect) waits for the server.
    bool Waiting() const { return m_waiting; }
    /// True when the last call was a change that ended without an answer
    /// (cancelled, timed out, cut off) after it was sent: the server may
    /// have applied it, so what the caller shows may be stale.
    bool ChangeInDoubt() const { return m_changeInDoubt; }

    /// Takes part in every wait of every connection: the framework's busy
    /// indicator registers one to block input, animate and offer to cancel.
    class WaitObserver
    {
    public:
        virtual ~WaitObserver() = default;
        virtual void waitStarted(TNetConnection &connection) = 0;
        virtual void waitFinished(TNetConnection &connection) = 0;
    };
    /// Registers the observer (nullptr: none); not owned.
    static void setWaitObserver(WaitObserver *observer);

    /// Observes every remote call made through any connection of the
    /// process, before it is sent (tests count calls with it); empty: none.
    static void setTraceHook(std::function<void(const QString &method)> hook);

private:
    friend class TAppServer;
    struct Link;

    struct Failure;
    enum class Phase
    {
        Connect,
        Call
    };

    QVariant call(const QString &method, QVariantList &args);
    void connectOrThrow();
    void dropLink();
    QString address() const;
    int callTimeout() const;
    template <class Ready> void waitUntil(Ready ready, int timeoutMs);
    quv::wire::Response roundTrip(const QByteArray &payload, qint64 id, int timeoutMs);
    [[noreturn]] void fail(Failure failure);

    TAppServer m_appServer;
    std::unique_ptr<Link> m_link;
    QString m_lastError;
    QString m_administrator;
    qint64 m_nextId = 1;
    QEventLoop *m_loop = nullptr;
    bool m_waiting = false;
    bool m_cancelRequested = false;
    bool m_changeInDoubt = false;
};
