#include "server/server.h"

#include "contracts/controleacesso.h"
#include "contracts/peertext.h"
#include "server/logging.h"
#include "server/readerthread.h"
#include "server/rpcerror.h"

#include <QDateTime>
#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>

#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quv::server {

namespace code = wire::code;

namespace {

// A client that sends requests faster than it reads the answers is not read
// from while this much of its answers waits to be sent.
constexpr qint64 MaxPendingOutput = 256 * 1024;

// What a logged-in connection's socket may hold unread besides the frame
// being put together (which may be up to the frame limit).
constexpr qint64 ReadBufferAfterLogin = 1024 * 1024;

// An address that stops failing is forgiven after this long.
constexpr int ForgetFailuresMs = 15 * 60 * 1000;

// Makes the socket of each connection itself, TLS or not, so that a TLS
// handshake runs inside a session: it holds a slot and runs against the
// login timeout.
class Listener : public QTcpServer
{
public:
    explicit Listener(bool tls) : m_tls(tls)
    {
        // A few connections accepted per turn of the event loop, the others
        // served in between: a flood of new connections cannot crowd out
        // the login of one that has just come in, nor fill the kernel's
        // queue so that a newcomer's connection is dropped and retried.
        setMaxPendingConnections(8);
        setListenBacklogSize(256);
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            ::close(int(descriptor));
            delete socket;
            return;
        }
        addPendingConnection(socket);
    }

private:
    bool m_tls;
};

QByteArray errorFrame(int errorCode, const QString &message)
{
    wire::Response response;
    response.errorCode = errorCode;
    response.errorMessage = message;
    return wire::frame(wire::encode(wire::responseToVariant(response), wire::Encoding::Cbor));
}

QString endpoint(const QTcpSocket *socket)
{
    return socket->peerAddress().toString() + QLatin1Char(':') +
           QString::number(socket->peerPort());
}

void keepAlive(QTcpSocket *socket)
{
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    // The kernel waits two hours before its first probe by default; a peer
    // that vanished should give its slot back within minutes.
    const int descriptor = int(socket->socketDescriptor());
    const int idle = 60;
    const int interval = 10;
    const int probes = 6;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

} // namespace

RateLimiter::RateLimiter(int rate, int burst)
    : m_rate(qMax(1, rate)), m_burst(qMax(1, burst)), m_tokens(m_burst)
{
}

bool RateLimiter::allow(qint64 nowMs)
{
    if (m_lastMs >= 0)
        m_tokens = qMin(m_burst, m_tokens + double(nowMs - m_lastMs) * m_rate / 1000.0);
    m_lastMs = nowMs;
    if (m_tokens < 1.0)
        return false;
    m_tokens -= 1.0;
    return true;
}

QHostAddress addressKey(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4);
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        bytes[i] = 0;
    return QHostAddress(bytes);
}

// ------------------------------------------------------------------ server

AccessServer::AccessServer(QSqlDatabase db, TokenStore tokens, const ServerLimits &limits,
                           const std::optional<QSslConfiguration> &tls,
                           const QString &readerDatabase, QObject *parent)
    : QObject(parent), m_tls(tls), m_dispatcher(std::move(db)), m_tokens(std::move(tokens)),
      m_limits(limits), m_failures(qMax(1, limits.maxTrackedAddresses))
{
    if (m_limits.maxFrame == 0)
        m_limits.maxFrame = wire::DefaultMaxFrame;
    m_clock.start();
    m_server = std::make_unique<Listener>(m_tls.has_value());
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this,
            &AccessServer::acceptPending, Qt::QueuedConnection);
    if (!readerDatabase.isEmpty())
        m_reader = std::make_unique<ReaderThread>(readerDatabase);
}

AccessServer::~AccessServer()
{
    close();
    // After the sessions: their calls still queued on the reader are dropped.
    m_reader.reset();
}

bool AccessServer::listen(const QHostAddress &address, quint16 port)
{
    return m_server->listen(address, port);
}

void AccessServer::close()
{
    m_server->close();
    const QList<Session *> sessions = findChildren<Session *>(Qt::FindDirectChildrenOnly);
    for (Session *session : sessions)
        delete session;
}

void AccessServer::acceptPending()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        accept(socket);
    }
}

void AccessServer::accept(QTcpSocket *socket)
{
    const QHostAddress key = addressKey(socket->peerAddress());
    const int fromAddress = m_perAddress.value(key);
    if (fromAddress >= m_limits.maxPerAddress) {
        refuse(
            socket,
            QStringLiteral("%1 connections from its address already (the limit)").arg(fromAddress),
            QStringLiteral("Conexões demais a partir deste endereço (o limite é %1); tente de "
                           "novo mais tarde.")
                .arg(m_limits.maxPerAddress));
        return;
    }
    if (m_sessions >= m_limits.maxConnections && !evictOneWaiting()) {
        refuse(socket, QStringLiteral("connection limit (%1) reached").arg(m_limits.maxConnections),
               QStringLiteral("O servidor já atende %1 conexões, o seu limite; tente de novo mais "
                              "tarde.")
                   .arg(m_limits.maxConnections));
        return;
    }
    auto *session = new Session(socket, key, this);
    ++m_sessions;
    ++m_perAddress[key];
    session->m_waitingAt = m_waiting.insert(m_waiting.end(), session);
    session->m_waiting = true;
}

void AccessServer::refuse(QTcpSocket *socket, const QString &reason, const QString &message)
{
    qCWarning(lcRefused, "%s connection refused: %s, %s", qUtf8Printable(endpoint(socket)),
              qUtf8Printable(reason), qUtf8Printable(codeName(code::TooManyRequests)));
    // Whatever the peer sends meanwhile is not read into memory.
    socket->setReadBufferSize(4096);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (m_tls) {
        // A TLS client could not read a plain answer; no handshake is spent
        // on a connection that is not served.
        socket->abort();
        socket->deleteLater();
        return;
    }
    QTimer::singleShot(m_limits.closeDeadlineMs, socket, [socket] { socket->abort(); });
    socket->write(errorFrame(code::TooManyRequests, message));
    socket->disconnectFromHost();
}

bool AccessServer::evictOneWaiting()
{
    if (m_waiting.empty())
        return false;
    m_waiting.front()->drop(
        QStringLiteral("closed to make room: the server is full and it had not logged in"));
    return true;
}

void AccessServer::leaving(Session *session)
{
    // A session on its way out is the first to make room.
    if (session->m_waiting)
        m_waiting.splice(m_waiting.begin(), m_waiting, session->m_waitingAt);
}

void AccessServer::loggedIn(Session *session)
{
    if (!session->m_waiting)
        return;
    m_waiting.erase(session->m_waitingAt);
    session->m_waiting = false;
}

void AccessServer::release(Session *session)
{
    if (session->m_released)
        return;
    session->m_released = true;
    loggedIn(session);
    --m_sessions;
    const auto count = m_perAddress.find(session->m_key);
    if (count != m_perAddress.end() && --count.value() <= 0)
        m_perAddress.erase(count);
}

qint64 AccessServer::loginHold(const QHostAddress &key)
{
    const Failures *failures = m_failures.object(key);
    return failures ? qMax<qint64>(0, failures->nextAttemptMs - m_clock.elapsed()) : 0;
}

int AccessServer::recordFailedLogin(const QHostAddress &key)
{
    const qint64 now = m_clock.elapsed();
    Failures *failures = m_failures.object(key);
    if (!failures) {
        failures = new Failures;
        // The least recently seen address goes when the table is full.
        m_failures.insert(key, failures);
    } else if (now - failures->lastMs > ForgetFailuresMs) {
        failures->count = 0;
    }
    ++failures->count;
    failures->lastMs = now;
    const int delay = int(qMin<qint64>(qint64(failures->count) * m_limits.failureDelayMs,
                                       m_limits.maxFailureDelayMs));
    failures->nextAttemptMs = now + delay;
    return delay;
}

// ----------------------------------------------------------------- session

Session::Session(QTcpSocket *socket, const QHostAddress &key, AccessServer *server)
    : QObject(server), m_socket(socket), m_server(server), m_key(key), m_peer(endpoint(socket)),
      m_reader(qMin(server->limits().maxFrameBeforeLogin, server->limits().maxFrame)),
      m_rate(server->limits().maxRate, server->limits().burst())
{
    const ServerLimits &limits = server->limits();
    m_clock.start();
    m_socket->setParent(this);
    // Until the login, the socket holds no more than one small frame.
    m_socket->setReadBufferSize(qint64(qMin(limits.maxFrameBeforeLogin, limits.maxFrame)) + 4);
    // Answers are written as soon as they are ready; never hold them back
    // waiting for the client's acknowledgement.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    keepAlive(m_socket);

    m_loginTimer.setSingleShot(true);
    connect(&m_loginTimer, &QTimer::timeout, this, [this] {
        if (loggedIn() || m_closing || m_busy)
            return;
        const int ms = m_server->limits().loginTimeoutMs;
        const auto *tls = qobject_cast<QSslSocket *>(m_socket);
        if (tls && !tls->isEncrypted()) {
            drop(QStringLiteral("closed: no TLS handshake within %1 ms").arg(ms));
            return;
        }
        qCInfo(lcLogin, "%s closed: no login within %d ms, %s", qUtf8Printable(m_peer), ms,
               qUtf8Printable(codeName(code::NotAuthenticated)));
        try {
            fail(QVariant(), code::NotAuthenticated,
                 QStringLiteral("Tempo para o login esgotado (%1 s): a conexão foi encerrada.")
                     .arg(ms / 1000.0),
                 m_encoding, true);
        } catch (const std::exception &e) {
            failed(e.what());
        }
    });
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(limits.idleTimeoutMs);
    connect(&m_idleTimer, &QTimer::timeout, this, [this] {
        if (m_busy || m_closing) {
            m_idleTimer.start();
            return;
        }
        const int seconds = m_server->limits().idleTimeoutMs / 1000;
        qCInfo(lcLogin, "%s closed: no request for %d s", qUtf8Printable(m_peer), seconds);
        try {
            fail(QVariant(), code::NotAuthenticated,
                 QStringLiteral("Conexão encerrada após %1 s sem pedidos; conecte de novo.")
                     .arg(seconds),
                 m_encoding, true);
        } catch (const std::exception &e) {
            failed(e.what());
        }
    });
    m_closeTimer.setSingleShot(true);
    connect(&m_closeTimer, &QTimer::timeout, this, [this] {
        drop(QStringLiteral("aborted: its last answer was not taken within %1 ms")
                 .arg(m_server->limits().closeDeadlineMs));
    });

    connect(m_socket, &QTcpSocket::readyRead, this, &Session::readFrames);
    // Frames held back while answers piled up are read once they drain.
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_socket->bytesToWrite() < MaxPendingOutput / 2)
            resumeLater();
    });
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        m_server->release(this);
        deleteLater();
    });
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket)) {
        tls->setSslConfiguration(*server->m_tls);
        connect(tls, &QSslSocket::errorOccurred, this, [this, tls] {
            if (!tls->isEncrypted() && !m_closing) {
                qCWarning(lcTls, "%s TLS handshake failed: %s", qUtf8Printable(m_peer),
                          qUtf8Printable(printable(tls->errorString())));
                drop(QString());
            }
        });
        tls->startServerEncryption();
    }
    // The handshake too must end within the login timeout.
    m_loginTimer.start(limits.loginTimeoutMs);
}

Session::~Session()
{
    *m_gone = true;
    m_server->release(this);
}

void Session::drop(const QString &reason)
{
    if (!reason.isEmpty())
        qCInfo(lcRefused, "%s %s", qUtf8Printable(m_peer), qUtf8Printable(reason));
    m_server->release(this);
    m_closing = true;
    m_loginTimer.stop();
    m_idleTimer.stop();
    m_closeTimer.stop();
    m_socket->abort();
    deleteLater();
}

void Session::resumeLater()
{
    if (m_resumePosted || m_closing)
        return;
    m_resumePosted = true;
    QMetaObject::invokeMethod(this, &Session::readFrames, Qt::QueuedConnection);
}

void Session::readFrames()
{
    m_resumePosted = false;
    try {
        // One request a turn: a connection with many requests waiting lets
        // every other connection be served between any two of its own.
        while (!m_closing && !m_busy) {
            if (m_socket->bytesToWrite() > MaxPendingOutput)
                return;
            if (std::optional<QByteArray> payload = m_reader.next()) {
                handle(*payload);
                if (m_reader.buffered() > 0 || m_socket->bytesAvailable() > 0)
                    resumeLater();
                return;
            }
            if (m_socket->bytesAvailable() == 0)
                return;
            const bool atFrameStart = m_reader.buffered() == 0;
            const QByteArray chunk =
                m_socket->read(qMin<qint64>(m_socket->bytesAvailable(), 1 << 20));
            // An oversized frame is refused from its header alone; its
            // first payload byte, when here, still tells the encoding.
            if (atFrameStart && chunk.size() > 4)
                m_encoding = wire::detectEncoding(QByteArrayView(chunk).sliced(4));
            m_reader.feed(chunk);
        }
    } catch (const wire::DecodeError &e) {
        // The framing is lost: nothing after this can be read reliably.
        try {
            fail(QVariant(), e.code(), QString::fromStdString(e.what()), m_encoding, true);
        } catch (const std::exception &inner) {
            failed(inner.what());
        }
    } catch (const std::exception &e) {
        failed(e.what());
    }
}

void Session::failed(const char *what)
{
    // Out of memory, or worse, on this connection's account: it ends, the
    // server and everyone else go on.
    const RpcError hidden = hiddenError(code::InternalError, QString::fromUtf8(what));
    qCWarning(lcRefused, "%s closed: %s", qUtf8Printable(m_peer), qUtf8Printable(hidden.detail()));
    m_reader = wire::FrameReader(0);
    try {
        fail(QVariant(), hidden.code(), hidden.message(), m_encoding, true);
    } catch (...) {
        drop(QStringLiteral("aborted: not even the error could be answered"));
    }
}

void Session::handle(const QByteArray &payload)
{
    const wire::Encoding encoding = wire::detectEncoding(payload);
    m_encoding = encoding;
    QVariant message;
    wire::Request request;
    try {
        message =
            wire::decode(payload, encoding,
                         loggedIn() ? wire::decodeBudget(payload.size()) : wire::SmallDecodeBudget);
        request = wire::requestFromVariant(message);
    } catch (const wire::DecodeError &e) {
        // Answer with the id when the message got that far.
        QVariant id;
        if (message.metaType().id() == QMetaType::QVariantMap) {
            const QVariant candidate = message.toMap().value(QStringLiteral("id"));
            const int type = candidate.metaType().id();
            if (type == QMetaType::LongLong || type == QMetaType::QString)
                id = candidate;
        }
        qCInfo(lcRefused, "%s message refused: %s%s", qUtf8Printable(m_peer),
               qUtf8Printable(codeName(e.code())), loggedIn() ? "" : ", connection closed");
        fail(id, e.code(),
             e.code() == code::ParseError
                 ? QStringLiteral("Mensagem ilegível: %1").arg(QString::fromStdString(e.what()))
                 : QString::fromStdString(e.what()),
             encoding, !loggedIn());
        return;
    }
    if (loggedIn())
        m_idleTimer.start();

    if (!m_rate.allow(m_clock.elapsed())) {
        qCInfo(lcRefused, "%s %s refused: %s", qUtf8Printable(m_peer),
               qUtf8Printable(printable(request.method)),
               qUtf8Printable(codeName(code::TooManyRequests)));
        fail(request.id, code::TooManyRequests,
             QStringLiteral("Pedidos demais: esta conexão pode fazer %1 pedidos por segundo. "
                            "Espere um pouco e tente de novo.")
                 .arg(m_server->limits().maxRate),
             encoding, false);
        return;
    }

    if (request.method == rdm::LoginMethod) {
        beginLogin(request, encoding);
        return;
    }
    if (!loggedIn()) {
        qCInfo(lcRefused, "%s %s refused: %s, connection closed", qUtf8Printable(m_peer),
               qUtf8Printable(printable(request.method)),
               qUtf8Printable(codeName(code::NotAuthenticated)));
        fail(request.id, code::NotAuthenticated,
             QStringLiteral("Conexão não autenticada: o primeiro pedido deve ser '%1'.")
                 .arg(rdm::LoginMethod),
             encoding, true);
        return;
    }
    if (m_server->m_reader && ReaderThread::runsHere(request.method)) {
        runAside(request, encoding);
        return;
    }

    const Outcome outcome = answer(m_server->m_dispatcher, request, m_administrator, &m_state);
    if (!outcome.logDetail.isEmpty())
        qCWarning(lcRefused, "%s %s by %s refused: %s: %s", qUtf8Printable(m_peer),
                  qUtf8Printable(printable(request.method)), qUtf8Printable(m_administrator),
                  qUtf8Printable(codeName(outcome.response.errorCode)),
                  qUtf8Printable(printable(outcome.logDetail, 2000)));
    else if (!outcome.response.ok)
        qCInfo(lcRefused, "%s %s by %s refused: %s", qUtf8Printable(m_peer),
               qUtf8Printable(printable(request.method)), qUtf8Printable(m_administrator),
               qUtf8Printable(codeName(outcome.response.errorCode)));
    send(outcome.response, encoding);
    if (outcome.fatal)
        closeAfterReply();
}

void Session::beginLogin(const wire::Request &request, wire::Encoding encoding)
{
    // The peer has done its part; any wait from here on is the server's.
    m_loginTimer.stop();
    const qint64 hold = m_server->loginHold(m_key);
    if (hold <= 0) {
        finishLogin(request, encoding);
        return;
    }
    // The address is paying for a recent failure: the token is not even
    // looked at before the wait is over, so neither closing early nor
    // sending many at once tells a guesser anything sooner. Nothing more is
    // read from this connection meanwhile.
    m_busy = true;
    QTimer::singleShot(int(hold), this, [this, request, encoding] {
        m_busy = false;
        try {
            beginLogin(request, encoding);
        } catch (const std::exception &e) {
            failed(e.what());
            return;
        }
        if (!m_busy)
            resumeLater();
    });
}

void Session::finishLogin(const wire::Request &request, wire::Encoding encoding)
{
    const wire::Response response = login(request);
    if (response.ok) {
        const ServerLimits &limits = m_server->limits();
        m_server->loggedIn(this);
        m_reader.setMaxFrame(limits.maxFrame);
        m_socket->setReadBufferSize(ReadBufferAfterLogin);
        m_idleTimer.start();
        send(response, encoding);
        return;
    }
    // Nothing more is read from this connection. The answer waits on a
    // timer, never a sleep: the others go on being served meanwhile.
    m_closing = true;
    m_idleTimer.stop();
    m_server->leaving(this);
    const int delay = m_server->recordFailedLogin(m_key);
    QTimer::singleShot(delay, this, [this, response, encoding] {
        try {
            send(response, encoding);
        } catch (const std::exception &) {
            // The refusal is also said by closing.
        }
        closeAfterReply();
    });
}

wire::Response Session::login(const wire::Request &request)
{
    wire::Response response;
    response.id = request.id;
    response.errorCode = code::AuthenticationFailed;
    const QVariantList &params = request.params;
    QString reason;
    if (params.size() != 2 || params[0].metaType() != QMetaType::fromType<QString>() ||
        params[1].metaType() != QMetaType::fromType<QString>()) {
        response.errorCode = code::InvalidParams;
        response.errorMessage = QStringLiteral("'%1' espera dois textos: o nome do servidor e o "
                                               "token de acesso.")
                                    .arg(rdm::LoginMethod);
        reason = QStringLiteral("the parameters are not two texts");
    } else if (const QString name = params[0].toString(); name != rdm::ServerName) {
        response.errorMessage = QStringLiteral("Servidor '%1' desconhecido: este servidor atende "
                                               "'%2'.")
                                    .arg(clipped(name), rdm::ServerName);
        // The name is logged, but never a token sent in its place.
        reason = params[1].toString() == rdm::ServerName || m_server->m_tokens.administrator(name)
                     ? QStringLiteral("the server name and the token were swapped")
                     : QStringLiteral("unknown server name '%1'").arg(printable(name));
    } else if (const std::optional<QString> administrator =
                   m_server->m_tokens.administrator(params[1].toString())) {
        m_administrator = *administrator;
        response.ok = true;
        response.result = QVariantMap{{QStringLiteral("administrator"), *administrator}};
        qCInfo(lcLogin, "%s logged in as %s", qUtf8Printable(m_peer),
               qUtf8Printable(*administrator));
        return response;
    } else {
        response.errorMessage = QStringLiteral("Token de acesso inválido: conexão recusada.");
        reason = QStringLiteral("token not valid");
    }
    m_administrator.clear();
    qCInfo(lcLogin, "%s login refused: %s, %s", qUtf8Printable(m_peer), qUtf8Printable(reason),
           qUtf8Printable(codeName(response.errorCode)));
    return response;
}

void Session::runAside(const wire::Request &request, wire::Encoding encoding)
{
    m_busy = true;
    QPointer<Session> self(this);
    const QString method = request.method;
    m_server->m_reader->run(
        request, m_administrator, encoding, m_gone, [self, method](ReaderThread::Answer answer) {
            if (!self)
                return;
            if (!answer.logDetail.isEmpty())
                qCWarning(lcRefused, "%s %s by %s refused: %s", qUtf8Printable(self->m_peer),
                          qUtf8Printable(printable(method)), qUtf8Printable(self->m_administrator),
                          qUtf8Printable(printable(answer.logDetail, 2000)));
            try {
                if (answer.payload.isEmpty()) {
                    self->failed("out of memory");
                    return;
                }
                self->write(answer.payload);
                self->m_busy = false;
                if (answer.fatal) {
                    self->closeAfterReply();
                    return;
                }
                self->m_idleTimer.start();
                self->resumeLater();
            } catch (const std::exception &e) {
                self->failed(e.what());
            }
        });
}

void Session::send(const wire::Response &response, wire::Encoding encoding)
{
    QString detail;
    const QByteArray payload = encodeReply(response, encoding, &detail);
    if (!detail.isEmpty())
        qCWarning(lcRefused, "%s answer refused: %s", qUtf8Printable(m_peer),
                  qUtf8Printable(detail));
    write(payload);
}

void Session::write(const QByteArray &payload)
{
    // The header and the payload go separately: a large answer is not
    // copied once more only to put four bytes in front of it.
    const std::array<char, 4> header = wire::frameHeader(payload.size());
    m_socket->write(header.data(), 4);
    m_socket->write(payload);
}

void Session::fail(const QVariant &id, int errorCode, const QString &message,
                   wire::Encoding encoding, bool close)
{
    wire::Response response;
    response.id = id;
    response.errorCode = errorCode;
    response.errorMessage = message;
    send(response, encoding);
    if (close)
        closeAfterReply();
}

void Session::closeAfterReply()
{
    m_closing = true;
    m_server->leaving(this);
    m_loginTimer.stop();
    m_idleTimer.stop();
    // A frame half read is of no use any more.
    m_reader = wire::FrameReader(0);
    // Waits for the reply to be written, then closes; a peer that does not
    // take it is cut off at the deadline.
    m_socket->disconnectFromHost();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_closeTimer.start(m_server->limits().closeDeadlineMs);
}

} // namespace quv::server
