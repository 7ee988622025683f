#include "server/server.h"

#include "contracts/controleacesso.h"
#include "server/rpcerror.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QtEndian>

#include <cstdio>

namespace quv::server {

namespace code = wire::code;

namespace {

// A client that sends requests faster than it reads the answers is not read
// from while this much of its answers waits to be sent.
constexpr qint64 MaxPendingOutput = 64 * 1024 * 1024;

} // namespace

void log(const QString &line)
{
    const QByteArray text = (QDateTime::currentDateTime().toString(Qt::ISODate) + QLatin1Char(' ') +
                             line + QLatin1Char('\n'))
                                .toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

AccessServer::AccessServer(QSqlDatabase db, TokenStore tokens, quint32 maxFrame, QObject *parent)
    : QObject(parent), m_dispatcher(std::move(db)), m_tokens(std::move(tokens)),
      m_maxFrame(maxFrame == 0 ? wire::DefaultMaxFrame : maxFrame)
{
    connect(&m_server, &QTcpServer::newConnection, this, &AccessServer::acceptConnections);
}

AccessServer::~AccessServer()
{
    close();
}

bool AccessServer::listen(const QHostAddress &address, quint16 port)
{
    return m_server.listen(address, port);
}

void AccessServer::close()
{
    m_server.close();
    const QList<Session *> sessions = findChildren<Session *>(Qt::FindDirectChildrenOnly);
    for (Session *session : sessions)
        delete session;
}

void AccessServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection())
        new Session(socket, m_dispatcher, m_tokens, m_maxFrame, this);
}

Session::Session(QTcpSocket *socket, const Dispatcher &dispatcher, const TokenStore &tokens,
                 quint32 maxFrame, QObject *parent)
    : QObject(parent), m_socket(socket), m_dispatcher(dispatcher), m_tokens(tokens),
      m_reader(maxFrame)
{
    m_socket->setParent(this);
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

    if (request.method == rdm::LoginMethod) {
        const wire::Response response = login(request);
        send(response, encoding);
        if (!response.ok)
            closeAfterReply();
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
        response.result = m_dispatcher.call(request.method, request.params);
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
