#include "tests/support/rpcclient.h"

#include "contracts/controleacesso.h"

#include <QDeadlineTimer>
#include <QtEndian>

#include <stdexcept>

namespace quv::test {

bool RpcClient::connectTo(const QString &host, quint16 port)
{
    m_socket.connectToHost(host, port);
    return m_socket.waitForConnected(10000);
}

void RpcClient::sendRaw(const QByteArray &bytes)
{
    m_socket.write(bytes);
    while (m_socket.bytesToWrite() > 0)
        if (!m_socket.waitForBytesWritten(30000))
            break;
}

void RpcClient::sendPayload(const QByteArray &payload)
{
    sendRaw(wire::frame(payload));
}

QByteArray RpcClient::readPayload(int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    const auto waitFor = [&](qint64 bytes) {
        while (m_socket.bytesAvailable() < bytes) {
            if (deadline.hasExpired())
                throw std::runtime_error("no complete answer from the server in time");
            if (!m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))) &&
                m_socket.bytesAvailable() < bytes &&
                m_socket.state() != QAbstractSocket::ConnectedState)
                throw std::runtime_error("the server closed the connection before answering");
        }
    };
    waitFor(4);
    char header[4];
    m_socket.read(header, 4);
    const quint32 length = qFromBigEndian<quint32>(header);
    waitFor(length);
    return m_socket.read(length);
}

wire::Response RpcClient::decodeResponse(const QByteArray &payload, wire::Encoding expected)
{
    if (wire::detectEncoding(payload) != expected)
        throw std::runtime_error("the answer came in another encoding than the request");
    return wire::responseFromVariant(
        wire::decode(payload, expected, wire::answerDecodeBudget(payload.size())));
}

wire::Response RpcClient::call(const QString &method, const QVariantList &params,
                               wire::Encoding encoding)
{
    wire::Request request;
    request.id = m_nextId++;
    request.method = method;
    request.params = params;
    sendPayload(wire::encode(wire::requestToVariant(request), encoding));
    wire::Response response = decodeResponse(readPayload(), encoding);
    if (response.id != request.id)
        throw std::runtime_error("the answer carries another id than the request");
    return response;
}

wire::Response RpcClient::login(const QString &token, const QString &serverName,
                                wire::Encoding encoding)
{
    return call(QString(rdm::LoginMethod),
                {serverName.isNull() ? QString(rdm::ServerName) : serverName, token}, encoding);
}

bool RpcClient::waitForClosed(int milliseconds)
{
    if (m_socket.state() == QAbstractSocket::UnconnectedState)
        return true;
    QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired()) {
        m_socket.readAll();
        if (m_socket.state() == QAbstractSocket::UnconnectedState)
            return true;
        m_socket.waitForReadyRead(50);
    }
    return m_socket.state() == QAbstractSocket::UnconnectedState;
}

QVariantList outOf(const wire::Response &response)
{
    return response.result.toMap().value(QStringLiteral("out")).toList();
}

QVariant payloadOf(const wire::Response &response)
{
    return response.result.toMap().value(QStringLiteral("payload"));
}

} // namespace quv::test
