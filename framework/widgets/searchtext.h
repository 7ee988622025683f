#pragma once

// The text a search compares: case and accents folded away, so that "sao"
// finds "São" and "ACUCAR" finds "Açúcar". Only what was typed is folded into
// a copy; the rows are compared as they are stored, each character folded as
// it is compared, so that ten million rows need no second, folded copy of
// themselves.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstddef>

namespace SearchText {

/// Most bytes folding can write per input byte.
inline constexpr int MaxGrowth = 3;

/// Folds UTF-8 `text` into `out`, which must have room for MaxGrowth bytes
/// per input byte, and returns the end of what it wrote. Letters lose case
/// (Unicode case folding) and accents (the base letter of their canonical
/// decomposition); combining marks are dropped. Bytes that are not valid
/// UTF-8 are copied as they are. The same for rows and for typed text, so
/// both sides always agree.
char *Fold(char *out, QByteArrayView text);
/// The folded UTF-8 of `text`.
QByteArray Folded(const QString &text);

/// A match of a folded needle in unfolded text: [begin, end) of the text.
struct Match
{
    const char *begin = nullptr;
    const char *end = nullptr;
    explicit operator bool() const { return begin != nullptr; }
};

/// The first place in [text, text + size) whose folded form starts with
/// `needle` (already folded, valid UTF-8, not empty): the same places a
/// search of the folded text would find. Reads nothing past the end.
Match Find(const char *text, size_t size, QByteArrayView needle);

} // namespace SearchText
