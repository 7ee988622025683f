#pragma once

#include "datapacket.h"

#include <QByteArray>
#include <QVariant>

#include <array>
#include <optional>

class QIODevice;

namespace quv::wire {

/// The two encodings a frame may carry. A frame whose first payload byte is
/// '{' (after optional JSON whitespace) is JSON text; anything else is CBOR.
/// The server answers in the encoding of the request.
enum class Encoding
{
    Cbor,
    Json
};

/// Default and hard upper bound of one frame's payload.
inline constexpr quint32 DefaultMaxFrame = 256u * 1024u * 1024u;

/// What a decoder may build from one payload, counted in items: a data
/// packet's cell or row counts one; any other value (null, boolean, number,
/// text, list, each map entry's key and value, a field definition) counts
/// ValueCost. Past the budget the decoder stops with ParseError, so a frame
/// of one-byte values can never become gigabytes of them.
inline constexpr qint64 ValueCost = 256;
/// The budget of a peer that has not logged in yet: a login is a dozen
/// values.
inline constexpr qint64 SmallDecodeBudget = 4096;
/// The budget of a payload after login: one item per byte, plus 65,536 for
/// the message around the packets. The values of a frame then take at most
/// about an eighth of the frame's size in memory (a value takes 32 bytes),
/// while no packet of real cells is refused: every cell and row takes at
/// least a byte.
qint64 decodeBudget(qsizetype payloadBytes);
/// The budget of an answer from the server a client chose to talk to: the
/// history and the transfer answer with plain values (maps of names and
/// counts) as much as with packets, so every byte may stand for a value.
/// Still bounded: no answer becomes more than ValueCost times its size.
qint64 answerDecodeBudget(qsizetype payloadBytes);

/// JSON-RPC 2.0 error codes used by this system.
namespace code {
inline constexpr int ParseError = -32700;
inline constexpr int InvalidRequest = -32600;
inline constexpr int MethodNotFound = -32601;
inline constexpr int InvalidParams = -32602;
inline constexpr int InternalError = -32603;
inline constexpr int NotAuthenticated = 1001;
inline constexpr int AuthenticationFailed = 1002;
inline constexpr int UnknownKey = 1003;       // principal, fact or dimension not in the catalog
inline constexpr int StatementRefused = 1004; // getPesqFiltro text is not a catalog search
inline constexpr int DatabaseError = 1005;
inline constexpr int FrameTooLarge = 1006;
inline constexpr int TooManyRequests = 1007;
inline constexpr int InvalidValue = 1008; // a value that cannot be stored as sent
} // namespace code

/// Raised for bytes that are not a well-formed message: bad framing, bad
/// CBOR or JSON, a malformed data packet, a message that is not JSON-RPC.
/// `what()` says exactly what; code() is the JSON-RPC error to answer with.
class DecodeError : public std::runtime_error
{
public:
    explicit DecodeError(const QString &message, int errorCode = code::ParseError)
        : std::runtime_error(message.toStdString()), m_code(errorCode)
    {
    }
    int code() const { return m_code; }

private:
    int m_code;
};

/// Splits a byte stream into frames: a 4-byte big-endian payload length
/// followed by the payload. An announced length above the limit is refused
/// before anything of it is buffered.
class FrameReader
{
public:
    explicit FrameReader(quint32 maxFrame = DefaultMaxFrame) : m_max(maxFrame) {}

    /// Appends received bytes. Raises DecodeError on an oversized frame;
    /// the stream cannot be resynchronised afterwards. Room for a whole
    /// frame is reserved once its header has arrived, so a large frame is
    /// never copied while it grows.
    void feed(QByteArrayView bytes);
    /// The next complete payload, if one has arrived.
    std::optional<QByteArray> next();
    qsizetype buffered() const { return m_buffer.size() - m_pos; }
    /// The limit for the frames from here on (a server raises it once the
    /// peer has logged in).
    void setMaxFrame(quint32 maxFrame) { m_max = maxFrame; }

private:
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    quint32 m_max;
};

/// The 4-byte header of a payload of this size. Raises std::length_error
/// when the size is over `limit`: a larger frame would be refused by the
/// peer, or its length would not even fit the header.
std::array<char, 4> frameHeader(qsizetype payloadSize, quint32 limit = DefaultMaxFrame);
/// Header and payload; raises std::length_error as frameHeader does.
QByteArray frame(const QByteArray &payload);
Encoding detectEncoding(QByteArrayView payload);

/// Values that travel: null (invalid QVariant), bool, integers, double,
/// QString, QVariantList, QVariantMap and quv::DataPacket. Data packets are
/// written as a map whose first key is "fields" and second "rows" and read
/// back as DataPacket; everything else maps one to one.
QByteArray encode(const QVariant &value, Encoding encoding);
/// Decodes within decodeBudget(payload.size()).
QVariant decode(QByteArrayView payload, Encoding encoding);
/// Decodes within `budget` items (see ValueCost).
QVariant decode(QByteArrayView payload, Encoding encoding, qint64 budget);

struct Request
{
    QVariant id; // integer or string; null for a notification (never sent here)
    QString method;
    QVariantList params;
};

struct Response
{
    QVariant id;
    bool ok = false;
    QVariant result; // on success
    int errorCode = 0;
    QString errorMessage;
};

QVariant requestToVariant(const Request &request);
QVariant responseToVariant(const Response &response);
/// Raise DecodeError when the value is not a JSON-RPC 2.0 request/response.
Request requestFromVariant(const QVariant &message);
Response responseFromVariant(const QVariant &message);

} // namespace quv::wire
