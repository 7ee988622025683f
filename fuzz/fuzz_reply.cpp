// A reply as the client reads it from a server it cannot trust: the payload
// is decoded, checked as a JSON-RPC response, and every data packet in it
// must keep its own layout (one cell per field, no value over its declared
// size). What was accepted must encode again in its encoding, and decoding
// that gives the same bytes once more, so nothing accepted is lost or
// altered on the way into the client's datasets.

#include "contracts/datapacket.h"
#include "contracts/wire.h"
#include "fuzzsupport.h"

#include <cstdint>

namespace {

namespace wire = quv::wire;

void checkPacket(const quv::DataPacket &packet)
{
    const int fields = packet.fieldCount();
    for (int f = 0; f < fields; ++f)
        QUV_FUZZ_CHECK(packet.indexOf(packet.fields()[f].name) == f,
                       packet.fields()[f].name.toUtf8());
    for (qsizetype r = 0; r < packet.rowCount(); ++r) {
        QUV_FUZZ_CHECK(packet.row(r).size() == fields, QByteArray::number(r));
        for (int f = 0; f < fields; ++f) {
            const int limit = packet.fields()[f].size;
            const QString value = packet.value(r, f);
            QUV_FUZZ_CHECK(limit <= 0 || value.size() <= limit, value.toUtf8().left(100));
            QUV_FUZZ_CHECK(value.toUtf8() == packet.utf8(r, f), value.toUtf8().left(100));
        }
    }
}

int walk(const QVariant &value)
{
    int packets = 0;
    if (value.metaType() == QMetaType::fromType<quv::DataPacket>()) {
        checkPacket(value.value<quv::DataPacket>());
        ++packets;
    } else if (value.metaType().id() == QMetaType::QVariantList) {
        for (const QVariant &item : value.toList())
            packets += walk(item);
    } else if (value.metaType().id() == QMetaType::QVariantMap) {
        for (const QVariant &item : value.toMap())
            packets += walk(item);
    }
    return packets;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView payload(reinterpret_cast<const char *>(data), qsizetype(size));
    const wire::Encoding encoding = wire::detectEncoding(payload);
    QVariant message;
    try {
        message = wire::decode(payload, encoding);
    } catch (const wire::DecodeError &e) {
        QUV_FUZZ_CHECK(*e.what() != '\0', QByteArray());
        return 0;
    }
    walk(message);

    // Whatever was read must travel again unchanged in its own encoding.
    // (Not always in the other one: a JSON object with "fields" and another
    // key is a plain map, while a CBOR map led by "fields" is a packet.)
    for (const wire::Encoding again : {encoding}) {
        QByteArray first;
        try {
            first = wire::encode(message, again);
        } catch (const std::invalid_argument &) {
            // A value JSON has no form for (such as a non-finite number) is
            // refused by the encoder with a message, never written wrong.
            continue;
        }
        try {
            const QVariant back = wire::decode(first, again);
            QUV_FUZZ_CHECK(wire::encode(back, again) == first, first.left(200));
        } catch (const wire::DecodeError &e) {
            quv::fuzz::fail("an encoded value does not decode",
                            e.what() + ("\n" + first.left(200)));
        }
    }

    try {
        const wire::Response response = wire::responseFromVariant(message);
        if (response.ok) {
            const QVariantMap result = response.result.toMap();
            walk(result.value(QStringLiteral("out")));
            walk(result.value(QStringLiteral("payload")));
        } else {
            QUV_FUZZ_CHECK(response.errorCode != 0 || !response.errorMessage.isNull(),
                           QByteArray());
        }
    } catch (const wire::DecodeError &e) {
        QUV_FUZZ_CHECK(*e.what() != '\0', QByteArray());
    }
    return 0;
}
