#pragma once

#include "contracts/wire.h"
#include "server/dispatcher.h"
#include "server/tokens.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSqlDatabase>
#include <QTcpServer>

class QTcpSocket;

namespace quv::server {

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
    AccessServer(QSqlDatabase db, TokenStore tokens, quint32 maxFrame, QObject *parent = nullptr);
    ~AccessServer() override;

    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const { return m_server.errorString(); }
    QHostAddress address() const { return m_server.serverAddress(); }
    quint16 port() const { return m_server.serverPort(); }
    /// Stops accepting and drops every connection.
    void close();

private:
    void acceptConnections();

    QTcpServer m_server;
    Dispatcher m_dispatcher;
    TokenStore m_tokens;
    quint32 m_maxFrame;
};

/// One client connection: its frame reader and whether it has logged in.
class Session : public QObject
{
    Q_OBJECT
public:
    Session(QTcpSocket *socket, const Dispatcher &dispatcher, const TokenStore &tokens,
            quint32 maxFrame, QObject *parent);

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
    wire::FrameReader m_reader;
    QString m_administrator; // empty until a successful login
    bool m_closing = false;
    // The encoding of the latest request, for errors that come before a
    // request can be read.
    wire::Encoding m_encoding = wire::Encoding::Cbor;
};

/// One line on stderr with a timestamp.
void log(const QString &line);

} // namespace quv::server
