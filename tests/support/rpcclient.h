#pragma once

#include "contracts/wire.h"

#include <QTcpSocket>

namespace quv::test {

/// A deliberately simple client for the server's frames: blocking calls,
/// raw access to the socket for malformed input.
class RpcClient
{
public:
    bool connectTo(const QString &host, quint16 port);

    /// Sends one request and returns the server's answer; the answer's
    /// encoding must match the request's. Raises std::runtime_error when no
    /// well-formed answer arrives.
    wire::Response call(const QString &method, const QVariantList &params,
                        wire::Encoding encoding = wire::Encoding::Cbor);
    wire::Response login(const QString &token, const QString &serverName = {},
                         wire::Encoding encoding = wire::Encoding::Cbor);

    void sendPayload(const QByteArray &payload);
    void sendRaw(const QByteArray &bytes);
    /// The payload of the next frame; raises when none arrives in time.
    QByteArray readPayload(int milliseconds = 30000);
    /// Decodes a payload as a response, checking its encoding.
    static wire::Response decodeResponse(const QByteArray &payload, wire::Encoding expected);
    /// True when the server closes the connection within the time.
    bool waitForClosed(int milliseconds = 5000);

    QTcpSocket &socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    qint64 m_nextId = 1;
};

/// The "out" list and "payload" of a successful result.
QVariantList outOf(const wire::Response &response);
QVariant payloadOf(const wire::Response &response);

} // namespace quv::test
