#pragma once

// The server's log: one line per event on stderr, through Qt's logging so
// that QT_LOGGING_RULES turns each category on and off, e.g.
//   QT_LOGGING_RULES="quv.server.change.info=false"
// Each line is "<time> <level> <category>: <message>", the time in UTC on
// the same clock and in the same format as the audit trail, so that a line
// and the audit row of the same change can be matched.
//
// Never log a token or a database password.

#include <QLoggingCategory>
#include <QString>

class QDateTime;

namespace quv::server {

/// Start, stop, the listening address, warnings about the configuration.
Q_DECLARE_LOGGING_CATEGORY(lcServer)
/// Logins, refused logins and connections that never logged in.
Q_DECLARE_LOGGING_CATEGORY(lcLogin)
/// Every change of grants or filters.
Q_DECLARE_LOGGING_CATEGORY(lcChange)
/// Every refused call and refused connection, with its error code.
Q_DECLARE_LOGGING_CATEGORY(lcRefused)
/// TLS handshakes that failed.
Q_DECLARE_LOGGING_CATEGORY(lcTls)

/// The format of every time the server writes: UTC, milliseconds, 'Z'.
inline constexpr char TimestampFormat[] = "yyyy-MM-ddTHH:mm:ss.zzzZ";
QString timestamp(const QDateTime &time);
/// Now, as the log and the audit trail write it.
QString now();

/// Sends every message of the process (the server's and Qt's own) through
/// the one line format above.
void installLogHandler();

/// "UnknownKey (1003)": an error code as the log names it.
QString codeName(int code);

} // namespace quv::server
