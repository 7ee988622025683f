#include "framework/widgets/searchtext.h"

#include <QChar>
#include <QString>

#include <array>
#include <cstring>
#include <string.h> // memmem

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

char *Fold(char *out, QByteArrayView text)
{
    const TwoByteTable &table = twoByteTable();
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
        if ((c & 0xE0) == 0xC0 && i + 1 < size && (in[i + 1] & 0xC0) == 0x80 && c >= 0xC2) {
            const TwoByteTable::Entry &e = table.entries[((c & 0x1F) << 6) | (in[i + 1] & 0x3F)];
            for (int k = 0; k < e.length; ++k)
                *dst++ = e.bytes[k];
            i += 2;
            continue;
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
        bool valid = length > 0 && i + length <= size;
        for (int k = 1; valid && k < length; ++k) {
            valid = (in[i + k] & 0xC0) == 0x80;
            cp = (cp << 6) | (in[i + k] & 0x3F);
        }
        if (!valid) {
            *dst++ = c;
            ++i;
            continue;
        }
        if (const char32_t base = baseOf(cp))
            dst = encode(dst, base);
        i += length;
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

// Blocks of 16 candidate positions are tested at once on the needle's first
// and last byte, and only those candidates are compared in full: most
// keystrokes scan tens of megabytes, and a call per row of the plain library
// search costs more than the search itself.
const char *Find(const char *text, size_t size, const char *needle, size_t length)
{
    if (length == 0 || size < length)
        return length == 0 ? text : nullptr;
    const size_t last = size - length; // the last candidate start
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(needle[0]);
    const __m128i final = _mm_set1_epi8(needle[length - 1]);
    for (size_t i = 0; i <= last; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i + length - 1));
        unsigned mask = unsigned(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, final))));
        while (mask != 0) {
            const size_t at = i + size_t(__builtin_ctz(mask));
            if (at > last)
                return nullptr;
            if (length <= 2 || std::memcmp(text + at + 1, needle + 1, length - 2) == 0)
                return text + at;
            mask &= mask - 1;
        }
    }
    return nullptr;
#else
    const void *hit = memmem(text, size, needle, length);
    return static_cast<const char *>(hit);
#endif
}

} // namespace SearchText
