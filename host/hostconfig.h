#pragma once

// What the host is told at start: where the shared database is, where the
// application server listens and how to log in, and what to do right away.
// Values come from an INI file (--config) and the command line; the command
// line wins key by key.

#include <QSize>
#include <QString>
#include <QStringList>

namespace quv::host {

struct HostConfig
{
    static constexpr int DefaultServerPort = 5211;
    static constexpr int DefaultServerTimeout = 30;
    static constexpr int MaxServerTimeout = 86400;

    /// "sqlite:/path/file.db" or "postgres://user:pw@host:port/db"; empty when
    /// no shared database is configured.
    QString database;
    QString serverHost = QStringLiteral("127.0.0.1");
    int serverPort = DefaultServerPort;
    QString token;
    /// Seconds a remote call may wait for the server before it gives up.
    int serverTimeout = DefaultServerTimeout;
    bool tls = false;
    /// Send the token unencrypted to a server that is not on this machine.
    bool allowPlaintext = false;
    QString caFile;
    /// Folder of the screen packages; empty: the executable's folder.
    QString packageDir;
    /// Screen codes to open once the main window is up.
    QStringList openScreens;
    /// When set: open the screen, render it to this PNG (and one file per
    /// page), then quit.
    QString renderPng;
    /// With renderPng: the size of the host window, rendered whole with the
    /// screen maximised in it, as on a display of that size. Empty: the
    /// screen alone at its own bounds.
    QSize renderMaximized;
    bool quitAfterOpen = false;
    /// Where the values came from, for messages.
    QString configFile;
};

struct ConfigParseResult
{
    enum class Action
    {
        Run,
        ShowHelp,
        ShowVersion,
        Error
    };
    Action action = Action::Run;
    HostConfig config;
    /// The text to print for ShowHelp and ShowVersion, the reason for Error.
    QString text;
    /// Things to say at start that do not stop it (a secret on the command
    /// line).
    QStringList warnings;
};

/// Parses the process arguments (the first one is the program). Never
/// throws; every problem comes back as Action::Error with a message that
/// names the offending option or INI key.
ConfigParseResult parseHostConfig(const QStringList &arguments);

/// Screen codes the host knows how to open, with the package holding each.
QString packageForScreen(const QString &screenCode);
QStringList knownScreens();

/// The page images written beside `file` by --render-png: "<base>-page<n>.png"
/// where <base> is `file` without a trailing ".png".
QString pageImagePath(const QString &file, int pageNumber);

} // namespace quv::host
