// The frame splitter sees raw bytes from any peer. Besides not crashing, it
// must cut the same frames whatever the chunks the bytes arrive in, never
// hand out a frame over its limit, and account for every byte it was given.

#include "contracts/wire.h"
#include "fuzzsupport.h"

#include <cstdint>
#include <vector>

namespace {

struct Outcome
{
    std::vector<QByteArray> frames;
    bool refused = false;
    qsizetype buffered = 0;
};

// Feeds `bytes` in pieces whose sizes come from `cuts` (cycled), taking
// every complete frame after each piece.
Outcome split(QByteArrayView bytes, quint32 limit, QByteArrayView cuts)
{
    Outcome outcome;
    quv::wire::FrameReader reader(limit);
    qsizetype pos = 0;
    qsizetype cut = 0;
    try {
        while (pos < bytes.size()) {
            qsizetype piece = bytes.size() - pos;
            if (!cuts.isEmpty())
                piece = std::min<qsizetype>(piece, 1 + quint8(cuts[cut++ % cuts.size()]));
            reader.feed(bytes.sliced(pos, piece));
            pos += piece;
            while (std::optional<QByteArray> frame = reader.next()) {
                QUV_FUZZ_CHECK(quint32(frame->size()) <= limit, frame->left(64).toHex());
                outcome.frames.push_back(*frame);
            }
        }
    } catch (const quv::wire::DecodeError &) {
        outcome.refused = true;
    }
    outcome.buffered = reader.buffered();
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    // First byte: the limit (small ones reach the refusal often); second:
    // how many bytes of chunk sizes follow; the rest is the stream.
    const quint32 limit = data[0] == 0xff ? quv::wire::DefaultMaxFrame : quint32(data[0]) * 3;
    const size_t cutBytes = std::min<size_t>(data[1], size - 2);
    const QByteArrayView cuts(reinterpret_cast<const char *>(data + 2), qsizetype(cutBytes));
    const QByteArrayView stream(reinterpret_cast<const char *>(data + 2 + cutBytes),
                                qsizetype(size - 2 - cutBytes));

    const Outcome whole = split(stream, limit, {});
    const Outcome pieces = split(stream, limit, cuts);

    QUV_FUZZ_CHECK(whole.refused == pieces.refused,
                   stream.first(std::min<qsizetype>(64, stream.size())).toByteArray().toHex());
    QUV_FUZZ_CHECK(whole.frames == pieces.frames,
                   stream.first(std::min<qsizetype>(64, stream.size())).toByteArray().toHex());
    if (!whole.refused) {
        // Every byte is either in a frame (with its header) or still waiting.
        qsizetype used = whole.buffered;
        for (const QByteArray &frame : whole.frames)
            used += 4 + frame.size();
        QUV_FUZZ_CHECK(used == stream.size(), QByteArray::number(used));
        QUV_FUZZ_CHECK(whole.buffered == pieces.buffered, QByteArray::number(whole.buffered));
        // Framing what came out gives back the stream's complete part.
        QByteArray again;
        for (const QByteArray &frame : whole.frames)
            again += quv::wire::frame(frame);
        QUV_FUZZ_CHECK(again == stream.first(again.size()), again.left(64).toHex());
    }
    return 0;
}
