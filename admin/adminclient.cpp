#include "admin/adminclient.h"

#include "contracts/controleacesso.h"

#include <QDeadlineTimer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QStringList>
#include <QTcpSocket>

namespace quv::admin {

namespace {

int remaining(const QDeadlineTimer &deadline)
{
    return int(qMin<qint64>(deadline.remainingTime(), std::numeric_limits<int>::max()));
}

} // namespace

AdminClient::AdminClient() = default;
AdminClient::~AdminClient() = default;

void AdminClient::connectTo(const ServerAddress &address, const QString &token)
{
    m_address = QStringLiteral("%1:%2").arg(address.host).arg(address.port);
    const QString prefix = QStringLiteral("cannot connect to the server at %1: ").arg(m_address);
    m_reader = wire::FrameReader();
    if (address.tls) {
        auto socket = std::make_unique<QSslSocket>();
        if (!address.caFile.isEmpty()) {
            const QList<QSslCertificate> authorities = QSslCertificate::fromPath(address.caFile);
            if (authorities.isEmpty())
                throw LinkError(prefix +
                                QStringLiteral("no certificate could be read from the CA file %1")
                                    .arg(address.caFile));
            QSslConfiguration config = socket->sslConfiguration();
            config.setCaCertificates(authorities);
            socket->setSslConfiguration(config);
        }
        socket->connectToHostEncrypted(address.host, quint16(address.port));
        if (!socket->waitForEncrypted(connectTimeout)) {
            QStringList reasons;
            for (const QSslError &e : socket->sslHandshakeErrors())
                reasons.append(e.errorString());
            throw LinkError(prefix +
                            (reasons.isEmpty()
                                 ? socket->errorString()
                                 : QStringLiteral("the server's TLS certificate was not accepted "
                                                  "(%1); check the CA file")
                                       .arg(reasons.join(QStringLiteral("; ")))));
        }
        m_socket = std::move(socket);
    } else {
        m_socket = std::make_unique<QTcpSocket>();
        m_socket->connectToHost(address.host, quint16(address.port));
        if (!m_socket->waitForConnected(connectTimeout))
            throw LinkError(prefix + m_socket->errorString());
    }
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    wire::Response response;
    try {
        response = roundTrip({m_nextId++, rdm::LoginMethod, {QString(rdm::ServerName), token}},
                             connectTimeout);
    } catch (const LinkError &e) {
        // A server that speaks TLS drops a plain connection without a word.
        if (address.tls)
            throw;
        throw LinkError(QString::fromUtf8(e.what()) +
                        QStringLiteral(" (if the server uses TLS, connect with --tls)"));
    }
    if (!response.ok)
        throw RemoteError(response.errorCode, response.errorMessage);
}

QVariant AdminClient::call(const QString &method, const QVariantList &params)
{
    if (!m_socket)
        throw LinkError(QStringLiteral("not connected to the server"));
    const wire::Response response = roundTrip({m_nextId++, method, params}, callTimeout);
    if (!response.ok)
        throw RemoteError(response.errorCode, response.errorMessage);
    if (response.result.metaType().id() != QMetaType::QVariantMap)
        throw LinkError(QStringLiteral("malformed answer from %1 to %2: expected {payload, out}")
                            .arg(m_address, method));
    return response.result.toMap().value(QStringLiteral("payload"));
}

wire::Response AdminClient::roundTrip(const wire::Request &request, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    const auto broken = [&](const QString &what) {
        m_socket->abort();
        return LinkError(
            QStringLiteral("the link to the server at %1 failed: %2")
                .arg(m_address, deadline.hasExpired()
                                    ? QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000)
                                    : what));
    };
    m_socket->write(
        wire::frame(wire::encode(wire::requestToVariant(request), wire::Encoding::Cbor)));
    while (m_socket->bytesToWrite() > 0)
        if (!m_socket->waitForBytesWritten(remaining(deadline)))
            throw broken(m_socket->errorString());
    for (;;) {
        try {
            if (const std::optional<QByteArray> reply = m_reader.next()) {
                const wire::Response response = wire::responseFromVariant(wire::decode(
                    *reply, wire::detectEncoding(*reply), wire::answerDecodeBudget(reply->size())));
                // An error about a request the server could not read has no
                // id; it still answers ours, the only one in flight.
                if (response.id.toLongLong() != request.id.toLongLong() &&
                    !(response.id.isNull() && !response.ok))
                    throw broken(QStringLiteral("answer to another request"));
                return response;
            }
        } catch (const wire::DecodeError &e) {
            throw broken(QStringLiteral("malformed answer: %1").arg(QString::fromUtf8(e.what())));
        }
        if (!m_socket->waitForReadyRead(remaining(deadline)))
            throw broken(m_socket->state() == QAbstractSocket::ConnectedState
                             ? m_socket->errorString()
                             : QStringLiteral("the server closed the connection"));
        try {
            m_reader.feed(m_socket->readAll());
        } catch (const wire::DecodeError &e) {
            throw broken(QStringLiteral("malformed answer: %1").arg(QString::fromUtf8(e.what())));
        }
    }
}

} // namespace quv::admin
