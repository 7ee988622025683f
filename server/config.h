#pragma once

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

namespace quv::server {

/// A start-up option that cannot be used; the message says which and why.
class ConfigError : public std::runtime_error
{
public:
    explicit ConfigError(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

inline constexpr quint16 DefaultPort = 5211;
inline constexpr quint32 MinimumMaxFrame = 1024;
inline constexpr int MinimumTokenLength = 8;

struct ServerConfig
{
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = DefaultPort;
    QString database;
    /// Administrator name and token, in the order given.
    QList<QPair<QString, QString>> tokens;
    quint32 maxFrame = 0; // 0: the wire format's default
    bool allowRemote = false;
};

struct CommandLine
{
    bool help = false;
    QString helpText;
    ServerConfig config;
};

/// Parses the server's command line (arguments[0] is the program), reading
/// `--config file.ini` first so that the command line wins over the file.
/// Raises ConfigError on anything that cannot be used.
CommandLine parseCommandLine(const QStringList &arguments);

/// Lines "NAME TOKEN"; blank lines and lines starting with '#' are skipped.
QList<QPair<QString, QString>> readTokensFile(const QString &path);

/// The address to listen on: an IP address or "localhost". A non-loopback
/// address needs `allowRemote`, since connections are not encrypted.
QHostAddress listenAddress(const QString &host, bool allowRemote);

} // namespace quv::server
