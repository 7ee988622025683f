#include "framework/widgets/searchtext.h"

#include <QChar>
#include <QString>

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace SearchText {

namespace {

// A code point without its case and accent: the case fold, then the first
// character of its canonical decomposition, again and again ("Ǘ" gives "ü"
// gives "u"); a combining mark gives nothing (0).
char32_t baseOf(char32_t cp)
{
    if (QChar::category(cp) == QChar::Mark_NonSpacing)
        return 0;
    char32_t c = QChar::toCaseFolded(cp);
    for (int depth = 0; depth < 4 && QChar::decompositionTag(c) == QChar::Canonical; ++depth) {
        const QString parts = QChar::decomposition(c);
        if (parts.isEmpty())
            break;
        c = parts.at(0).isHighSurrogate() && parts.size() > 1
                ? QChar::surrogateToUcs4(parts.at(0), parts.at(1))
                : char32_t(parts.at(0).unicode());
    }
    return QChar::toCaseFolded(c);
}

unsigned char *encode(unsigned char *dst, char32_t c)
{
    if (c < 0x80) {
        *dst++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
        *dst++ = static_cast<unsigned char>(0xC0 | (c >> 6));
        *dst++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *dst++ = static_cast<unsigned char>(0xE0 | (c >> 12));
        *dst++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        *dst++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
        *dst++ = static_cast<unsigned char>(0xF0 | (c >> 18));
        *dst++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
        *dst++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        *dst++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
    return dst;
}

// The two-byte range (U+0080 to U+07FF: the accented Latin letters among
// them) comes from a table made once: these are most of the non-ASCII
// characters of the rows, and the Unicode lookups cost more than the rest of
// the folding.
struct TwoByteTable
{
    struct Entry
    {
        unsigned char length;
        unsigned char bytes[3];
    };
    std::array<Entry, 0x800> entries{};

    TwoByteTable()
    {
        for (char32_t cp = 0x80; cp < 0x800; ++cp) {
            Entry &e = entries[cp];
            const char32_t base = baseOf(cp);
            if (base == 0)
                continue;
            unsigned char buffer[4];
            const auto length = encode(buffer, base) - buffer;
            if (length > 3) { // never for this range; keep the character then
                e.length = static_cast<unsigned char>(encode(buffer, cp) - buffer);
            } else {
                e.length = static_cast<unsigned char>(length);
            }
            std::memcpy(e.bytes, buffer, e.length);
        }
    }
};

const TwoByteTable &twoByteTable()
{
    static const TwoByteTable table;
    return table;
}

} // namespace

namespace {

// Folds the character at in[0] (of `size` bytes left) into `out` (room for
// four bytes), sets how many bytes it wrote, and returns how many it read.
inline qsizetype foldOne(const unsigned char *in, qsizetype size, unsigned char *out, int *written)
{
    const unsigned char c = in[0];
    if (c < 0x80) {
        out[0] = (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
        *written = 1;
        return 1;
    }
    if ((c & 0xE0) == 0xC0 && size > 1 && (in[1] & 0xC0) == 0x80 && c >= 0xC2) {
        const TwoByteTable::Entry &e = twoByteTable().entries[((c & 0x1F) << 6) | (in[1] & 0x3F)];
        for (int k = 0; k < e.length; ++k)
            out[k] = e.bytes[k];
        *written = e.length;
        return 2;
    }
    char32_t cp = 0;
    int length = 0;
    if ((c & 0xF0) == 0xE0) {
        cp = c & 0x0F;
        length = 3;
    } else if ((c & 0xF8) == 0xF0) {
        cp = c & 0x07;
        length = 4;
    }
    bool valid = length > 0 && length <= size;
    for (int k = 1; valid && k < length; ++k) {
        valid = (in[k] & 0xC0) == 0x80;
        cp = (cp << 6) | (in[k] & 0x3F);
    }
    if (!valid) {
        out[0] = c;
        *written = 1;
        return 1;
    }
    const char32_t base = baseOf(cp);
    *written = base ? int(encode(out, base) - out) : 0;
    return length;
}

// Whether the text at `at` folds to something that starts with the needle;
// the end of the matched text, or null.
const char *matchAt(const unsigned char *at, const unsigned char *end, const unsigned char *needle,
                    size_t length)
{
    size_t n = 0;
    while (n < length) {
        if (at >= end)
            return nullptr;
        const unsigned char c = *at;
        if (c < 0x80) {
            if (((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c) != needle[n])
                return nullptr;
            ++n;
            ++at;
            continue;
        }
        unsigned char folded[4];
        int written = 0;
        const qsizetype read = foldOne(at, end - at, folded, &written);
        // A needle is whole characters, so a folded character either lies
        // wholly inside it or does not match.
        if (size_t(written) > length - n || std::memcmp(folded, needle + n, size_t(written)) != 0)
            return nullptr;
        n += size_t(written);
        at += read;
    }
    return reinterpret_cast<const char *>(at);
}

unsigned char upperOf(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
}

} // namespace

char *Fold(char *out, QByteArrayView text)
{
    const auto *in = reinterpret_cast<const unsigned char *>(text.data());
    const qsizetype size = text.size();
    auto *dst = reinterpret_cast<unsigned char *>(out);
    qsizetype i = 0;
    while (i < size) {
        const unsigned char c = in[i];
        if (c < 0x80) {
            *dst++ = (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
            ++i;
            continue;
        }
        int written = 0;
        i += foldOne(in + i, size - i, dst, &written);
        dst += written;
    }
    return reinterpret_cast<char *>(dst);
}

QByteArray Folded(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out(utf8.size() * MaxGrowth, Qt::Uninitialized);
    out.truncate(Fold(out.data(), utf8) - out.constData());
    return out;
}

// A match can start only where the text has a character that folds to the
// needle's first byte: the same ASCII letter in either case, or any
// character of more than one byte (accented letters among them). Blocks of
// 16 positions are tested at once for those, and for an ASCII second byte
// of the needle the next position is tested the same way; only the
// positions left are compared in full. Most keystrokes scan tens of
// megabytes, and a call per row of a plain comparison would cost more than
// the search itself.
Match Find(const char *text, size_t size, QByteArrayView needle)
{
    const auto *in = reinterpret_cast<const unsigned char *>(text);
    const auto *end = in + size;
    const auto *key = reinterpret_cast<const unsigned char *>(needle.data());
    const auto length = size_t(needle.size());
    if (length == 0)
        return {text, text};
    const unsigned char first = key[0];
    const bool asciiFirst = first < 0x80;
    const auto candidate = [&](const unsigned char *at) {
        const unsigned char c = *at;
        return c >= 0xC0 || (asciiFirst && (c == first || c == upperOf(first)));
    };
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i lower = _mm_set1_epi8(char(first));
    const __m128i upper = _mm_set1_epi8(char(upperOf(first)));
    const __m128i lead = _mm_set1_epi8(char(0xC0));
    const bool pair = asciiFirst && length >= 2 && key[1] < 0x80;
    const __m128i lower2 = _mm_set1_epi8(char(pair ? key[1] : 0));
    const __m128i upper2 = _mm_set1_epi8(char(pair ? upperOf(key[1]) : 0));
    const auto leads = [&](__m128i v) { return _mm_cmpeq_epi8(_mm_max_epu8(v, lead), v); };
    // Blocks whose second load stays inside the text.
    while (i + 17 <= size) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        __m128i ascii = asciiFirst
                            ? _mm_or_si128(_mm_cmpeq_epi8(a, lower), _mm_cmpeq_epi8(a, upper))
                            : _mm_setzero_si128();
        if (pair) {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i + 1));
            ascii = _mm_and_si128(ascii, _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, lower2),
                                                                   _mm_cmpeq_epi8(b, upper2)),
                                                      leads(b)));
        }
        unsigned mask = unsigned(_mm_movemask_epi8(_mm_or_si128(ascii, leads(a))));
        while (mask != 0) {
            const unsigned char *at = in + i + size_t(__builtin_ctz(mask));
            if (const char *stop = matchAt(at, end, key, length))
                return {reinterpret_cast<const char *>(at), stop};
            mask &= mask - 1;
        }
        i += 16;
    }
#endif
    for (; i < size; ++i)
        if (candidate(in + i))
            if (const char *stop = matchAt(in + i, end, key, length))
                return {reinterpret_cast<const char *>(in + i), stop};
    return {};
}

} // namespace SearchText
