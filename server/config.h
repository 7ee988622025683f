#pragma once

#include "contracts/cli.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

namespace quv::server {

/// A start-up setting that cannot be used, or a file it names that cannot;
/// the message says which and why. The server then exits as the
/// command-line convention says for a usage error.
class ConfigError : public cli::UsageError
{
public:
    using cli::UsageError::UsageError;
};

inline constexpr quint16 DefaultPort = 5211;
inline constexpr quint32 MinimumMaxFrame = 1024;
inline constexpr int MinimumTokenLength = 16;
inline constexpr int DefaultMaxConnections = 64;
inline constexpr int DefaultMaxPerAddress = 8;
inline constexpr int DefaultMaxRate = 200;
inline constexpr int DefaultLoginTimeout = 3;
inline constexpr int DefaultIdleTimeout = 30 * 60;

struct ServerConfig
{
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = DefaultPort;
    QString database;
    /// Administrator name and token, in the order given.
    QList<QPair<QString, QString>> tokens;
    quint32 maxFrame = 0; // 0: the wire format's default
    /// A non-loopback host without TLS.
    bool allowRemote = false;
    /// PEM files of the server's certificate (chain) and private key; TLS is
    /// on when both are given.
    QString tlsCert;
    QString tlsKey;
    int maxConnections = DefaultMaxConnections;
    /// Simultaneous connections from one address (IPv6: one /64).
    int maxPerAddress = DefaultMaxPerAddress;
    /// Requests per second of one connection, with a small burst above it.
    int maxRate = DefaultMaxRate;
    /// Seconds a new connection has to log in.
    int loginTimeout = DefaultLoginTimeout;
    /// Seconds a logged-in connection may stay without a request.
    int idleTimeout = DefaultIdleTimeout;
    /// Read a tokens file that other users may read or change.
    bool allowInsecureTokensFile = false;

    bool tls() const { return !tlsCert.isEmpty(); }
};

struct CommandLine
{
    /// Set for --help and --version: print it and exit with status 0.
    QString printAndExit;
    ServerConfig config;
    /// Things to say at start that do not stop it (a secret on the command
    /// line).
    QStringList warnings;
};

/// The warning for a secret given on the command line, where every local
/// user can read it in the process list; empty when `database` holds no
/// password and no token was given there.
QStringList commandLineSecretWarnings(const QString &database, bool tokenGiven);

/// Parses the server's command line (arguments[0] is the program), reading
/// `--config file.ini` first so that the command line wins over the file.
/// Raises ConfigError on anything that cannot be used.
CommandLine parseCommandLine(const QStringList &arguments);

/// Lines "NAME TOKEN"; blank lines and lines starting with '#' are skipped.
/// A file that users other than its owner may read or change is refused
/// unless `allowInsecure`, which logs a warning instead.
QList<QPair<QString, QString>> readTokensFile(const QString &path, bool allowInsecure = false);

/// The TLS settings of the server from PEM files: its certificate (then
/// any intermediates) and its unencrypted private key, which must belong to
/// the certificate. TLS 1.2 is held to forward-secret AEAD suites. Raises
/// ConfigError; adds to `warnings` when the certificate has expired or
/// expires within 30 days.
QSslConfiguration serverTlsConfiguration(const QString &certFile, const QString &keyFile,
                                         QStringList *warnings = nullptr);

/// The address to listen on: an IP address or "localhost". A non-loopback
/// address needs TLS or `allowRemote`: tokens and grants would otherwise
/// cross the network readable by anyone on the way.
QHostAddress listenAddress(const QString &host, bool allowRemote, bool tls = false);

} // namespace quv::server
