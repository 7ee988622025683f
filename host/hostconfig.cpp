#include "hostconfig.h"

#include "contracts/cli.h"
#include "contracts/connectionstring.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>

#include <optional>

namespace quv::host {

namespace {

struct Screen
{
    const char *code;
    const char *package;
};

constexpr Screen Screens[] = {
    {"QUV01000", "PKG_QUV01000"},
};

// One INI key per command-line option that makes sense in a file; the file
// uses sections so that a long configuration stays readable.
struct IniKey
{
    const char *key;
    const char *option;
};

constexpr IniKey IniKeys[] = {
    {"database/connection", "db"},
    {"server/host", "server-host"},
    {"server/port", "server-port"},
    {"server/token", "token"},
    {"server/timeout", "server-timeout"},
    {"server/tls", "tls"},
    {"server/allow-plaintext", "allow-plaintext"},
    {"server/ca-file", "ca-file"},
    {"host/package-dir", "package-dir"},
    {"host/open", "open"},
};

QString iniHelp()
{
    return QStringLiteral(
        "Configuration file (--config), every key optional; the command line wins:\n"
        "  [database]\n"
        "  connection=sqlite:/path/quv.db\n"
        "  [server]\n"
        "  host=127.0.0.1\n"
        "  port=5211\n"
        "  ; the token alone, as --token takes it\n"
        "  token=\"TOKEN\"\n"
        "  timeout=30\n"
        "  tls=false\n"
        "  allow-plaintext=false\n"
        "  ca-file=/path/ca.pem\n"
        "  [host]\n"
        "  package-dir=/path/to/packages\n"
        "  open=QUV01000\n"
        "Quote values that contain a comma.\n"
        "\nWithout a display, render the screen with:\n"
        "  QT_QPA_PLATFORM=offscreen quv-host --db ... --render-png screen.png\n"
        "which writes screen.png, screen-page1.png and screen-page2.png; add\n"
        "--render-maximized 1280x800 to see the whole host window maximised.\n");
}

using cli::parseBool;
using cli::parsePort;

// Only an address of this machine keeps an unencrypted token off the
// network; a name other than localhost could resolve anywhere.
bool isLoopback(const QString &host)
{
    if (host.compare(u"localhost", Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

ConfigParseResult error(const QString &message)
{
    ConfigParseResult r;
    r.action = ConfigParseResult::Action::Error;
    r.text = message;
    return r;
}

// Applies one value (from the file or the command line) to the config.
// Returns an error message, or an empty string.
QString apply(HostConfig &config, const QString &option, const QString &value,
              const QString &origin)
{
    if (option == u"db") {
        // The same reader as the framework's, so a string that passes here
        // opens there; its message never quotes the text.
        try {
            parseConnectionString(value);
        } catch (const ConnectionStringError &e) {
            return QStringLiteral("%1: %2").arg(origin, e.message());
        }
        config.database = value;
    } else if (option == u"server-host") {
        if (value.trimmed().isEmpty())
            return QStringLiteral("%1: the server host is empty").arg(origin);
        config.serverHost = value.trimmed();
    } else if (option == u"server-port") {
        const auto port = parsePort(value);
        if (!port)
            return QStringLiteral("%1: invalid server port '%2' (expected 1 to 65535)")
                .arg(origin, value);
        config.serverPort = *port;
    } else if (option == u"token") {
        config.token = value;
    } else if (option == u"server-timeout") {
        bool ok = false;
        const int seconds = value.trimmed().toInt(&ok);
        if (!ok || seconds < 1 || seconds > HostConfig::MaxServerTimeout)
            return QStringLiteral("%1: invalid server timeout '%2' (expected 1 to %3 seconds)")
                .arg(origin, value)
                .arg(HostConfig::MaxServerTimeout);
        config.serverTimeout = seconds;
    } else if (option == u"tls") {
        const auto on = parseBool(value);
        if (!on)
            return QStringLiteral("%1: invalid boolean '%2' (expected true or false)")
                .arg(origin, value);
        config.tls = *on;
    } else if (option == u"allow-plaintext") {
        const auto on = parseBool(value);
        if (!on)
            return QStringLiteral("%1: invalid boolean '%2' (expected true or false)")
                .arg(origin, value);
        config.allowPlaintext = *on;
    } else if (option == u"ca-file") {
        config.caFile = value;
    } else if (option == u"package-dir") {
        config.packageDir = value;
    } else if (option == u"open") {
        if (packageForScreen(value).isEmpty())
            return QStringLiteral("%1: unknown screen '%2' (known: %3)")
                .arg(origin, value, knownScreens().join(u", "));
        if (!config.openScreens.contains(value))
            config.openScreens.append(value);
    }
    return {};
}

QString readIni(HostConfig &config, const QString &file)
{
    const QFileInfo info(file);
    if (!info.exists())
        return QStringLiteral("configuration file '%1' does not exist").arg(file);
    if (!info.isFile() || !info.isReadable())
        return QStringLiteral("configuration file '%1' cannot be read").arg(file);

    QSettings ini(file, QSettings::IniFormat);
    if (ini.status() == QSettings::FormatError)
        return QStringLiteral("configuration file '%1' is not a valid INI file").arg(file);
    if (ini.status() != QSettings::NoError)
        return QStringLiteral("configuration file '%1' cannot be read").arg(file);

    const QStringList keys = ini.allKeys();
    for (const QString &key : keys) {
        const IniKey *known = nullptr;
        for (const IniKey &k : IniKeys)
            if (key == QLatin1StringView(k.key))
                known = &k;
        if (!known)
            return QStringLiteral("%1: unknown key '%2'").arg(file, key);
        const QVariant value = ini.value(key);
        // QSettings splits an unquoted value at its commas; joining the parts
        // back could change the value (spaces), so ask for quotes instead.
        if (value.typeId() == QMetaType::QStringList)
            return QStringLiteral("%1: the value of '%2' contains a comma; put it in quotes")
                .arg(file, key);
        const QString message = apply(config, QLatin1StringView(known->option), value.toString(),
                                      QStringLiteral("%1 [%2]").arg(file, key));
        if (!message.isEmpty())
            return message;
    }
    return {};
}

} // namespace

QString packageForScreen(const QString &screenCode)
{
    for (const Screen &s : Screens)
        if (screenCode == QLatin1StringView(s.code))
            return QLatin1StringView(s.package);
    return {};
}

QStringList knownScreens()
{
    QStringList codes;
    for (const Screen &s : Screens)
        codes << QLatin1StringView(s.code);
    return codes;
}

QString pageImagePath(const QString &file, int pageNumber)
{
    QString base = file;
    if (base.endsWith(u".png", Qt::CaseInsensitive))
        base.chop(4);
    return base + QStringLiteral("-page%1.png").arg(pageNumber);
}

ConfigParseResult parseHostConfig(const QStringList &arguments)
{
    cli::CommandLine command(
        QStringLiteral("quv-host"),
        QStringLiteral("QUV data warehouse host: opens the access-control screen and other "
                       "screen packages in one window."));
    QCommandLineParser &parser = command.parser();
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("Read settings from this INI file."),
                                    QStringLiteral("file.ini"));
    const QCommandLineOption db(QStringLiteral("db"),
                                QStringLiteral("Shared database: sqlite:/path/file.db or "
                                               "postgres://user:pw@host:port/db."),
                                QStringLiteral("connection"));
    const QCommandLineOption serverHost(
        QStringLiteral("server-host"),
        QStringLiteral("Application server host (default 127.0.0.1)."), QStringLiteral("host"));
    const QCommandLineOption serverPort(
        QStringLiteral("server-port"),
        QStringLiteral("Application server port (default %1).").arg(HostConfig::DefaultServerPort),
        QStringLiteral("port"));
    const QCommandLineOption serverTimeout(
        QStringLiteral("server-timeout"),
        QStringLiteral("Seconds a call may wait for the application server (default %1).")
            .arg(HostConfig::DefaultServerTimeout),
        QStringLiteral("seconds"));
    const QCommandLineOption token(QStringLiteral("token"),
                                   QStringLiteral("The administrator's access token for the "
                                                  "server login, the TOKEN alone (the server "
                                                  "takes NAME=TOKEN)."),
                                   QStringLiteral("token"));
    const QCommandLineOption tls(QStringLiteral("tls"),
                                 QStringLiteral("Talk to the application server over TLS."));
    const QCommandLineOption allowPlaintext(
        QStringLiteral("allow-plaintext"),
        QStringLiteral("Send the token without TLS to a server that is not on this machine."));
    const QCommandLineOption caFile(
        QStringLiteral("ca-file"),
        QStringLiteral("CA certificates that verify the server (default: the system's)."),
        QStringLiteral("file"));
    const QCommandLineOption packageDir(
        QStringLiteral("package-dir"),
        QStringLiteral("Folder of the screen packages (default: the executable's folder)."),
        QStringLiteral("folder"));
    const QCommandLineOption open(QStringLiteral("open"),
                                  QStringLiteral("Open this screen at start (QUV01000)."),
                                  QStringLiteral("screen"));
    const QCommandLineOption renderPng(
        QStringLiteral("render-png"),
        QStringLiteral("Open the screen, save it and each of its pages as PNG, then quit "
                       "(status 0 on success)."),
        QStringLiteral("file"));
    const QCommandLineOption renderMaximized(
        QStringLiteral("render-maximized"),
        QStringLiteral("With --render-png: save the whole host window at this size (as "
                       "maximised on a display of that size), the screen maximised in it."),
        QStringLiteral("WxH"));
    const QCommandLineOption quitAfterOpen(
        QStringLiteral("quit-after-open"),
        QStringLiteral("Quit once the screens given with --open are open (smoke tests)."));
    command.addOptions({config, db, serverHost, serverPort, serverTimeout, token, tls,
                        allowPlaintext, caFile, packageDir, open, renderPng, renderMaximized,
                        quitAfterOpen});
    command.setEpilogue(iniHelp());

    const cli::CommandLine::Outcome outcome = command.read(arguments);
    switch (outcome.action) {
    case cli::CommandLine::Outcome::Action::Usage:
        return error(outcome.text);
    case cli::CommandLine::Outcome::Action::Help:
    case cli::CommandLine::Outcome::Action::Version: {
        ConfigParseResult r;
        r.action = outcome.action == cli::CommandLine::Outcome::Action::Help
                       ? ConfigParseResult::Action::ShowHelp
                       : ConfigParseResult::Action::ShowVersion;
        r.text = outcome.text;
        return r;
    }
    case cli::CommandLine::Outcome::Action::Run:
        break;
    }
    // A value option given twice would silently drop one of them; only
    // --open may repeat.
    for (const QCommandLineOption *o :
         {&config, &db, &serverHost, &serverPort, &serverTimeout, &token, &caFile, &packageDir,
          &renderPng, &renderMaximized}) {
        if (parser.values(*o).size() > 1)
            return error(QStringLiteral("option --%1 given more than once").arg(o->names().last()));
    }

    ConfigParseResult result;
    HostConfig &c = result.config;
    if (parser.isSet(config)) {
        c.configFile = parser.value(config);
        const QString message = readIni(c, c.configFile);
        if (!message.isEmpty())
            return error(message);
    }

    const std::pair<const QCommandLineOption *, const char *> valued[] = {
        {&db, "db"},
        {&serverHost, "server-host"},
        {&serverPort, "server-port"},
        {&token, "token"},
        {&caFile, "ca-file"},
        {&packageDir, "package-dir"},
        {&serverTimeout, "server-timeout"},
    };
    for (const auto &[option, name] : valued) {
        if (!parser.isSet(*option))
            continue;
        const QString optionName = QLatin1StringView(name);
        const QString message =
            apply(c, optionName, parser.value(*option), QStringLiteral("--%1").arg(optionName));
        if (!message.isEmpty())
            return error(message);
    }
    if (parser.isSet(tls))
        c.tls = true;
    if (parser.isSet(allowPlaintext))
        c.allowPlaintext = true;
    // Screens named on the command line replace those of the file: the
    // command line wins for this key as for every other.
    if (parser.isSet(open)) {
        c.openScreens.clear();
        for (const QString &screen : parser.values(open)) {
            const QString message =
                apply(c, QStringLiteral("open"), screen, QStringLiteral("--open"));
            if (!message.isEmpty())
                return error(message);
        }
    }
    if (parser.isSet(renderPng)) {
        c.renderPng = parser.value(renderPng);
        if (c.renderPng.isEmpty())
            return error(QStringLiteral("--render-png needs a file name"));
        const QFileInfo target(c.renderPng);
        if (!target.absoluteDir().exists())
            return error(QStringLiteral("--render-png: folder '%1' does not exist")
                             .arg(target.absolutePath()));
        if (!c.openScreens.contains(u"QUV01000"))
            c.openScreens.prepend(QStringLiteral("QUV01000"));
    }
    if (parser.isSet(renderMaximized)) {
        if (c.renderPng.isEmpty())
            return error(QStringLiteral("--render-maximized needs --render-png"));
        static const QRegularExpression size(QStringLiteral("^([0-9]{3,5})x([0-9]{3,5})$"));
        const QRegularExpressionMatch m = size.match(parser.value(renderMaximized));
        if (!m.hasMatch())
            return error(QStringLiteral("--render-maximized: '%1' is not a size such as 1280x800")
                             .arg(parser.value(renderMaximized)));
        c.renderMaximized = QSize(m.captured(1).toInt(), m.captured(2).toInt());
    }
    c.quitAfterOpen = parser.isSet(quitAfterOpen);
    if (c.quitAfterOpen && c.openScreens.isEmpty())
        return error(QStringLiteral("--quit-after-open needs a screen to open (--open QUV01000)"));
    if (!c.caFile.isEmpty() && !QFileInfo(c.caFile).isReadable())
        return error(QStringLiteral("CA file '%1' cannot be read").arg(c.caFile));
    if (!c.packageDir.isEmpty() && !QFileInfo(c.packageDir).isDir())
        return error(QStringLiteral("package folder '%1' does not exist").arg(c.packageDir));
    if (!c.tls && !c.allowPlaintext && !isLoopback(c.serverHost))
        return error(QStringLiteral("refusing to send the token unencrypted to %1, which is not "
                                    "this machine: use --tls, or --allow-plaintext to accept "
                                    "that anyone on the way can read it")
                         .arg(c.serverHost));
    if (parser.isSet(token))
        result.warnings.append(QStringLiteral("warning: --token puts the token in the process "
                                              "list, where every local user can read it; put it "
                                              "in the file given with --config instead"));
    if (parser.isSet(db) && !QUrl(parser.value(db)).password().isEmpty())
        result.warnings.append(QStringLiteral("warning: the password in --db is in the process "
                                              "list, where every local user can read it; put the "
                                              "connection in the file given with --config, or "
                                              "the password in PGPASSFILE, instead"));
    return result;
}

} // namespace quv::host
