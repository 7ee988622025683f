#pragma once

// Text a peer sent, on its way into an answer or a log line.

#include <QString>
#include <QStringView>

namespace quv {

/// How much of a peer's text a message quotes: enough to recognise it, never
/// enough to turn one refused request into a large answer or log line.
inline constexpr qsizetype QuotedPeerText = 100;

/// At most `max` characters of `text`; longer text is cut (never inside a
/// surrogate pair) and ends in "…", so the reader sees it was cut.
QString clipped(QStringView text, qsizetype max = QuotedPeerText);

/// `text` clipped, with every control, format and line-separating character
/// and the backslash written as an escape (\n, \\, \x1b, \u202e), for a log:
/// a peer can neither end the line, start a fake one, reorder what the
/// reader sees nor send commands to a terminal.
QString printable(QStringView text, qsizetype max = QuotedPeerText);

} // namespace quv
