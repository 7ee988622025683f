#pragma once

// The connection to the application server: one persistent socket speaking
// length-prefixed JSON-RPC 2.0 frames (CBOR), logged in once per connect.
// Calls are synchronous: the caller waits on the socket, as the screen
// expects a remote method to return its outputs before it goes on.

#include "framework/data/dataset.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

class QTcpSocket;
class TNetConnection;

/// What every remote method returns: success with its payload, or the
/// server's error (code and message). Transport failures reported without
/// an exception carry ConnectionFailedCode.
struct TServerStatus
{
    bool ok = false;
    int code = 0;
    QString message;
    QVariant payload;
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
    /// How long a connect, and a call, may wait for the server (ms).
    int ConnectTimeout = 15000;
    int CallTimeout = 600000;

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

    /// Observes every remote call made through any connection of the
    /// process, before it is sent (tests count calls with it); empty: none.
    static void setTraceHook(std::function<void(const QString &method)> hook);

private:
    friend class TAppServer;
    struct Link;

    QVariant call(const QString &method, QVariantList &args);
    void connectOrThrow();
    void dropLink();
    QString address() const;
    [[noreturn]] void transportFailure(const QString &message);

    TAppServer m_appServer;
    std::unique_ptr<Link> m_link;
    QString m_lastError;
    QString m_administrator;
    qint64 m_nextId = 1;
};
