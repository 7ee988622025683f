#pragma once

// The text a search compares: case and accents folded away, so that "sao"
// finds "São" and "ACUCAR" finds "Açúcar". Rows are folded once, when they
// are loaded, into one buffer; each keystroke then folds only what was typed
// and scans that buffer.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstddef>

namespace SearchText {

/// Most bytes folding can write per input byte.
inline constexpr int MaxGrowth = 3;
/// Bytes that must be readable past the end of a buffer given to Find.
inline constexpr qsizetype Padding = 32;

/// Folds UTF-8 `text` into `out`, which must have room for MaxGrowth bytes
/// per input byte, and returns the end of what it wrote. Letters lose case
/// (Unicode case folding) and accents (the base letter of their canonical
/// decomposition); combining marks are dropped. Bytes that are not valid
/// UTF-8 are copied as they are. The same for rows and for typed text, so
/// both sides always agree.
char *Fold(char *out, QByteArrayView text);
/// The folded UTF-8 of `text`.
QByteArray Folded(const QString &text);

/// The first occurrence of `needle` in [text, text + size), or null. May read
/// up to Padding bytes past the end.
const char *Find(const char *text, size_t size, const char *needle, size_t length);

} // namespace SearchText
