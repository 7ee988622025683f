#include "server/server.h"

#include "contracts/controleacesso.h"
#include "server/rpcerror.h"

#include <QDateTime>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QtEndian>

#include <cstdio>

namespace quv::server {

namespace code = wire::code;

namespace {

// A client that sends requests faster than it reads the answers is not read
// from while this much of its answers waits to be sent.
constexpr qint64 MaxPendingOutput = 64 * 1024 * 1024;

// An address that stops failing is forgiven after this long.
constexpr int ForgetFailuresMs = 15 * 60 * 1000;

QByteArray errorFrame(int errorCode, const QString &message)
{
    wire::Response response;
    response.errorCode = errorCode;
    response.errorMessage = message;
    const QByteArray payload =
        wire::encode(wire::responseToVariant(response), wire::Encoding::Cbor);
    char header[4];
    qToBigEndian<quint32>(quint32(payload.size()), header);
    return QByteArray(header, 4) + payload;
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

void log(const QString &line)
{
    const QByteArray text = (QDateTime::currentDateTime().toString(Qt::ISODate) + QLatin1Char(' ') +
                             line + QLatin1Char('\n'))
                                .toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

AccessServer::AccessServer(QSqlDatabase db, TokenStore tokens, const ServerLimits &limits,
                           const std::optional<QSslConfiguration> &tls, QObject *parent)
    : QObject(parent), m_dispatcher(std::move(db)), m_tokens(std::move(tokens)), m_limits(limits)
{
    if (m_limits.maxFrame == 0)
        m_limits.maxFrame = wire::DefaultMaxFrame;
    if (tls) {
        auto server = std::make_unique<QSslServer>();
        server->setSslConfiguration(*tls);
        // A peer that never finishes its handshake holds no slot for long.
        server->setHandshakeTimeout(qMin(m_limits.loginTimeoutMs, 10000));
        connect(server.get(), &QSslServer::errorOccurred, this,
                [](QSslSocket *socket, QAbstractSocket::SocketError) {
                    log(QStringLiteral("%1 TLS handshake failed: %2")
                            .arg(socket->peerAddress().toString(), socket->errorString()));
                });
        m_server = std::move(server);
    } else {
        m_server = std::make_unique<QTcpServer>();
    }
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this,
            &AccessServer::acceptConnections);
}

AccessServer::~AccessServer()
{
    close();
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

void AccessServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_sessions >= m_limits.maxConnections) {
            refuse(socket, QStringLiteral("O servidor já atende %1 conexões, o seu limite; tente "
                                          "de novo mais tarde.")
                               .arg(m_limits.maxConnections));
            continue;
        }
        // Answers are written as soon as they are ready; never hold them
        // back waiting for the client's acknowledgement.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto *session = new Session(socket, m_dispatcher, m_tokens, this);
        ++m_sessions;
        connect(session, &QObject::destroyed, this, [this] { --m_sessions; });
    }
}

void AccessServer::refuse(QTcpSocket *socket, const QString &message)
{
    log(QStringLiteral("%1:%2 refused: connection limit (%3) reached")
            .arg(socket->peerAddress().toString())
            .arg(socket->peerPort())
            .arg(m_limits.maxConnections));
    socket->setParent(this);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->write(errorFrame(code::TooManyRequests, message));
    socket->disconnectFromHost();
}

int AccessServer::recordFailedLogin(const QHostAddress &peer)
{
    Failures &failures = m_failures[peer];
    if (failures.forgetAt.hasExpired())
        failures.count = 0;
    ++failures.count;
    failures.forgetAt.setRemainingTime(ForgetFailuresMs);
    // Keeps the table small when many addresses fail once each.
    if (m_failures.size() > 10000)
        m_failures.removeIf([](const auto &entry) { return entry.value().forgetAt.hasExpired(); });
    return int(
        qMin<qint64>(qint64(failures.count) * m_limits.failureDelayMs, m_limits.maxFailureDelayMs));
}

void AccessServer::recordSuccessfulLogin(const QHostAddress &peer)
{
    m_failures.remove(peer);
}

Session::Session(QTcpSocket *socket, const Dispatcher &dispatcher, const TokenStore &tokens,
                 AccessServer *server)
    : QObject(server), m_socket(socket), m_dispatcher(dispatcher), m_tokens(tokens),
      m_server(server), m_reader(server->limits().maxFrame),
      m_rate(server->limits().maxRate, server->limits().burst()),
      m_peerAddress(socket->peerAddress())
{
    m_clock.start();
    m_socket->setParent(this);
    m_loginTimer.setSingleShot(true);
    connect(&m_loginTimer, &QTimer::timeout, this, [this] {
        if (!m_administrator.isEmpty() || m_closing)
            return;
        log(QStringLiteral("%1 closed: no login within %2 ms")
                .arg(peer())
                .arg(m_server->limits().loginTimeoutMs));
        fail(QVariant(), code::NotAuthenticated,
             QStringLiteral("Tempo para o login esgotado (%1 s): a conexão foi encerrada.")
                 .arg(m_server->limits().loginTimeoutMs / 1000.0),
             m_encoding, true);
    });
    m_loginTimer.start(m_server->limits().loginTimeoutMs);
    connect(m_socket, &QTcpSocket::readyRead, this, &Session::readFrames);
    // Frames held back while answers piled up are read once they drain.
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_socket->bytesToWrite() < MaxPendingOutput / 2)
            readFrames();
    });
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
}

QString Session::peer() const
{
    return m_socket->peerAddress().toString() + QLatin1Char(':') +
           QString::number(m_socket->peerPort());
}

void Session::readFrames()
{
    while (!m_closing) {
        if (m_socket->bytesToWrite() > MaxPendingOutput)
            return;
        try {
            if (m_socket->bytesAvailable() > 0) {
                const bool atFrameStart = m_reader.buffered() == 0;
                const QByteArray chunk =
                    m_socket->read(qMin<qint64>(m_socket->bytesAvailable(), 1 << 20));
                // An oversized frame is refused from its header alone; its
                // first payload byte, when here, still tells the encoding.
                if (atFrameStart && chunk.size() > 4)
                    m_encoding = wire::detectEncoding(QByteArrayView(chunk).sliced(4));
                m_reader.feed(chunk);
            }
            const std::optional<QByteArray> payload = m_reader.next();
            if (!payload) {
                if (m_socket->bytesAvailable() > 0)
                    continue;
                return;
            }
            handle(*payload);
        } catch (const wire::DecodeError &e) {
            // The framing is lost: nothing after this can be read reliably.
            fail(QVariant(), e.code(), QString::fromStdString(e.what()), m_encoding, true);
            return;
        }
    }
}

void Session::handle(const QByteArray &payload)
{
    const wire::Encoding encoding = wire::detectEncoding(payload);
    m_encoding = encoding;
    QVariant message;
    wire::Request request;
    try {
        message = wire::decode(payload, encoding);
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
        fail(id, e.code(),
             e.code() == code::ParseError
                 ? QStringLiteral("Mensagem ilegível: %1").arg(QString::fromStdString(e.what()))
                 : QString::fromStdString(e.what()),
             encoding, m_administrator.isEmpty());
        return;
    }

    if (!m_rate.allow(m_clock.elapsed())) {
        fail(request.id, code::TooManyRequests,
             QStringLiteral("Pedidos demais: esta conexão pode fazer %1 pedidos por segundo. "
                            "Espere um pouco e tente de novo.")
                 .arg(m_server->limits().maxRate),
             encoding, false);
        return;
    }

    if (request.method == rdm::LoginMethod) {
        const wire::Response response = login(request);
        if (response.ok) {
            m_loginTimer.stop();
            m_server->recordSuccessfulLogin(m_peerAddress);
            send(response, encoding);
            return;
        }
        // The answer waits on a timer, never a sleep: other connections go
        // on being served meanwhile. Nothing more is read from this one.
        m_closing = true;
        m_loginTimer.stop();
        const int delay = m_server->recordFailedLogin(m_peerAddress);
        QTimer::singleShot(delay, this, [this, response, encoding] {
            send(response, encoding);
            m_socket->disconnectFromHost();
        });
        return;
    }
    if (m_administrator.isEmpty()) {
        fail(request.id, code::NotAuthenticated,
             QStringLiteral("Conexão não autenticada: o primeiro pedido deve ser '%1'.")
                 .arg(rdm::LoginMethod),
             encoding, true);
        return;
    }

    wire::Response response;
    response.id = request.id;
    try {
        response.result =
            m_dispatcher.call(request.method, request.params, m_administrator, &m_state);
        response.ok = true;
    } catch (const RpcError &e) {
        response.errorCode = e.code();
        response.errorMessage = e.message();
        if (e.code() == code::DatabaseError || e.code() == code::InternalError)
            log(QStringLiteral("%1 %2 by %3 failed: %4")
                    .arg(peer(), request.method, m_administrator, e.message()));
    } catch (const std::exception &e) {
        response.errorCode = code::InternalError;
        response.errorMessage =
            QStringLiteral("Erro interno do servidor: %1").arg(QString::fromStdString(e.what()));
        log(QStringLiteral("%1 %2 by %3 failed: %4")
                .arg(peer(), request.method, m_administrator, response.errorMessage));
    }
    send(response, encoding);
}

wire::Response Session::login(const wire::Request &request)
{
    wire::Response response;
    response.id = request.id;
    response.errorCode = code::AuthenticationFailed;
    const QVariantList &params = request.params;
    if (params.size() != 2 || params[0].metaType() != QMetaType::fromType<QString>() ||
        params[1].metaType() != QMetaType::fromType<QString>()) {
        response.errorCode = code::InvalidParams;
        response.errorMessage = QStringLiteral("'%1' espera dois textos: o nome do servidor e o "
                                               "token de acesso.")
                                    .arg(rdm::LoginMethod);
    } else if (params[0].toString() != rdm::ServerName) {
        response.errorMessage = QStringLiteral("Servidor '%1' desconhecido: este servidor atende "
                                               "'%2'.")
                                    .arg(params[0].toString(), rdm::ServerName);
    } else if (const std::optional<QString> name = m_tokens.administrator(params[1].toString())) {
        m_administrator = *name;
        response.ok = true;
        response.result = QVariantMap{{QStringLiteral("administrator"), *name}};
        log(QStringLiteral("%1 logged in as %2").arg(peer(), *name));
        return response;
    } else {
        response.errorMessage = QStringLiteral("Token de acesso inválido: conexão recusada.");
    }
    m_administrator.clear();
    log(QStringLiteral("%1 login refused: %2").arg(peer(), response.errorMessage));
    return response;
}

void Session::send(const wire::Response &response, wire::Encoding encoding)
{
    QByteArray payload;
    try {
        payload = wire::encode(wire::responseToVariant(response), encoding);
    } catch (const std::exception &e) {
        wire::Response failure;
        failure.id = response.id;
        failure.errorCode = code::InternalError;
        failure.errorMessage = QStringLiteral("Erro interno ao codificar a resposta: %1")
                                   .arg(QString::fromStdString(e.what()));
        payload = wire::encode(wire::responseToVariant(failure), encoding);
    }
    // The header and the payload go separately: a large answer is not
    // copied once more only to put four bytes in front of it.
    char header[4];
    qToBigEndian<quint32>(quint32(payload.size()), header);
    m_socket->write(header, 4);
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
    // Waits for the reply to be written, then closes.
    m_socket->disconnectFromHost();
}

} // namespace quv::server
