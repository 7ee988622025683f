#include "admin/adminoptions.h"
#include "contracts/cli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTextStream>

#include <optional>

namespace quv::admin {

namespace {

const QString TokenVariable = QStringLiteral("QUV_TOKEN");

QString helpText()
{
    return QStringLiteral(
        "Usage: quv-admin [connection options] export [--principal KEY]... [--out FILE]\n"
        "       quv-admin [connection options] import FILE [--mode replace|merge] [--dry-run]\n"
        "\n"
        "Exports the grants of the access-control server to a grants file, or imports\n"
        "one, through the application server with an administrator's token.\n"
        "\n"
        "Commands:\n"
        "  export             Write every principal's facts, dimensions and filter values\n"
        "                     (JSON, one item per line, stable order) to standard output.\n"
        "    --principal KEY  Only this principal (G<group code> or O<operator code>);\n"
        "                     repeat for several.\n"
        "    --out FILE       Write FILE instead, replacing it only when complete.\n"
        "  import FILE        Print the change per principal, then apply the whole file in\n"
        "                     one transaction. Principals the file does not list keep their\n"
        "                     grants. A file with any problem changes nothing.\n"
        "    --mode MODE      replace (default): each listed principal ends up with exactly\n"
        "                     the file's grants. merge: it keeps its grants and gains the\n"
        "                     file's; a dimension filtered on both sides keeps the union of\n"
        "                     the values, and one unfiltered on either side ends unfiltered.\n"
        "    --dry-run        Print the change and stop.\n"
        "\n"
        "Connection options (as quv-host's; the command line wins over --config):\n"
        "  --server-host HOST   Application server host (default 127.0.0.1).\n"
        "  --server-port PORT   Application server port (default 5211).\n"
        "  --token-file FILE    Read the administrator token from FILE (its first line).\n"
        "  --token TOKEN        The token itself (visible to other users of the machine:\n"
        "                       prefer --token-file or QUV_TOKEN).\n"
        "  --tls                Talk to the server over TLS.\n"
        "  --ca-file FILE       CA certificates that verify the server (default: the\n"
        "                       system's).\n"
        "  --config FILE        Read host, port, token, tls and ca-file from the [server]\n"
        "                       section of a quv-host configuration file.\n"
        "  Without --token or --token-file the token comes from the environment variable\n"
        "  QUV_TOKEN, then from the configuration file.\n"
        "\n"
        "  -h, --help           Show this help.\n"
        "  --version            Show the program's version.\n"
        "\n"
        "Exit status: 0 done, 1 failed (nothing imported), 2 wrong arguments.\n"
        "The file format is described by docs/grants-file.schema.json.\n");
}

using cli::parseBool;
using cli::parsePort;

struct Usage
{
    QString message;
};

// Reads the [server] section of a host configuration file into `options`.
void readConfig(const QString &path, AdminOptions &options, QString &token)
{
    if (!QFileInfo(path).isFile())
        throw Usage{QStringLiteral("--config: no such file: %1").arg(path)};
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        throw Usage{QStringLiteral("--config: %1 is not a readable configuration file").arg(path)};
    const auto value = [&ini](const char *key) -> std::optional<QString> {
        const QVariant v = ini.value(QLatin1StringView(key));
        if (!v.isValid())
            return std::nullopt;
        // A value with a comma comes back as a list.
        return v.metaType().id() == QMetaType::QStringList ? v.toStringList().join(u',')
                                                           : v.toString();
    };
    if (const auto host = value("server/host")) {
        if (host->trimmed().isEmpty())
            throw Usage{QStringLiteral("%1: server/host is empty").arg(path)};
        options.address.host = host->trimmed();
    }
    if (const auto port = value("server/port")) {
        const std::optional<int> number = parsePort(*port);
        if (!number)
            throw Usage{QStringLiteral("%1: invalid server/port '%2' (expected 1 to 65535)")
                            .arg(path, *port)};
        options.address.port = *number;
    }
    if (const auto tls = value("server/tls")) {
        const std::optional<bool> on = parseBool(*tls);
        if (!on)
            throw Usage{QStringLiteral("%1: invalid server/tls '%2' (expected true or false)")
                            .arg(path, *tls)};
        options.address.tls = *on;
    }
    if (const auto ca = value("server/ca-file"))
        options.address.caFile = *ca;
    if (const auto t = value("server/token"))
        token = *t;
}

QString readTokenFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Usage{
            QStringLiteral("--token-file: cannot read %1: %2").arg(path, file.errorString())};
    const QString token = QString::fromUtf8(file.readLine()).trimmed();
    if (token.isEmpty())
        throw Usage{QStringLiteral("--token-file: %1 holds no token on its first line").arg(path)};
    return token;
}

} // namespace

ParsedArguments parseArguments(const QStringList &arguments, const QProcessEnvironment &environment)
{
    ParsedArguments result;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the program's version."));
    const QCommandLineOption host(QStringLiteral("server-host"), {}, QStringLiteral("host"));
    const QCommandLineOption port(QStringLiteral("server-port"), {}, QStringLiteral("port"));
    const QCommandLineOption token(QStringLiteral("token"), {}, QStringLiteral("token"));
    const QCommandLineOption tokenFile(QStringLiteral("token-file"), {}, QStringLiteral("file"));
    const QCommandLineOption tls(QStringLiteral("tls"), {});
    const QCommandLineOption caFile(QStringLiteral("ca-file"), {}, QStringLiteral("file"));
    const QCommandLineOption config(QStringLiteral("config"), {}, QStringLiteral("file"));
    const QCommandLineOption principal(QStringLiteral("principal"), {}, QStringLiteral("key"));
    const QCommandLineOption out(QStringLiteral("out"), {}, QStringLiteral("file"));
    const QCommandLineOption mode(QStringLiteral("mode"), {}, QStringLiteral("mode"));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"), {});
    parser.addOptions({help, version, host, port, token, tokenFile, tls, caFile, config, principal,
                       out, mode, dryRun});
    try {
        if (!parser.parse(arguments))
            throw Usage{parser.errorText()};
        if (parser.isSet(help)) {
            result.action = ParsedArguments::Action::Help;
            result.text = helpText();
            return result;
        }
        if (parser.isSet(version)) {
            result.action = ParsedArguments::Action::Version;
            return result;
        }
        AdminOptions &o = result.options;
        const QStringList positional = parser.positionalArguments();
        if (positional.isEmpty())
            throw Usage{QStringLiteral("no command given (export or import)")};
        const QString command = positional.first();
        if (command == u"export") {
            o.command = AdminOptions::Command::Export;
            if (positional.size() > 1)
                throw Usage{QStringLiteral("export takes no file argument: '%1' (use --out)")
                                .arg(positional[1])};
            if (parser.isSet(mode) || parser.isSet(dryRun))
                throw Usage{QStringLiteral("--mode and --dry-run belong to import")};
            o.exportOptions.principals = parser.values(principal);
            for (const QString &key : std::as_const(o.exportOptions.principals))
                if (key.size() < 2 || (key.front() != u'G' && key.front() != u'O'))
                    throw Usage{QStringLiteral("--principal: malformed key '%1' (G and a group "
                                               "code, or O and an operator code)")
                                    .arg(key)};
            o.exportOptions.principals.removeDuplicates();
            o.exportOptions.out = parser.value(out);
        } else if (command == u"import") {
            o.command = AdminOptions::Command::Import;
            if (positional.size() != 2)
                throw Usage{positional.size() < 2
                                ? QStringLiteral("import needs the file to import")
                                : QStringLiteral("import takes one file; got %1 arguments")
                                      .arg(positional.size() - 1)};
            if (parser.isSet(principal) || parser.isSet(out))
                throw Usage{QStringLiteral("--principal and --out belong to export")};
            o.importOptions.file = positional[1];
            const QString chosen =
                parser.isSet(mode) ? parser.value(mode) : QStringLiteral("replace");
            if (chosen != u"replace" && chosen != u"merge")
                throw Usage{
                    QStringLiteral("--mode: unknown mode '%1' (replace or merge)").arg(chosen)};
            o.importOptions.merge = chosen == u"merge";
            o.importOptions.dryRun = parser.isSet(dryRun);
        } else {
            throw Usage{QStringLiteral("unknown command '%1' (export or import)").arg(command)};
        }

        QString configToken;
        if (parser.isSet(config))
            readConfig(parser.value(config), o, configToken);
        if (parser.isSet(host)) {
            if (parser.value(host).trimmed().isEmpty())
                throw Usage{QStringLiteral("--server-host: empty host")};
            o.address.host = parser.value(host).trimmed();
        }
        if (parser.isSet(port)) {
            const std::optional<int> number = parsePort(parser.value(port));
            if (!number)
                throw Usage{QStringLiteral("--server-port: invalid port '%1' (expected 1 to "
                                           "65535)")
                                .arg(parser.value(port))};
            o.address.port = *number;
        }
        if (parser.isSet(tls))
            o.address.tls = true;
        if (parser.isSet(caFile))
            o.address.caFile = parser.value(caFile);
        if (parser.isSet(token) && parser.isSet(tokenFile))
            throw Usage{QStringLiteral("give the token once: --token or --token-file")};
        if (parser.isSet(token))
            o.token = parser.value(token);
        else if (parser.isSet(tokenFile))
            o.token = readTokenFile(parser.value(tokenFile));
        else if (environment.contains(TokenVariable))
            o.token = environment.value(TokenVariable);
        else
            o.token = configToken;
        if (o.token.isEmpty())
            throw Usage{QStringLiteral("no administrator token: give --token-file, set %1 or "
                                       "use --config")
                            .arg(TokenVariable)};
    } catch (const Usage &usage) {
        result.action = ParsedArguments::Action::UsageError;
        result.text = usage.message;
    }
    return result;
}

int run(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    const ParsedArguments parsed =
        parseArguments(arguments, QProcessEnvironment::systemEnvironment());
    switch (parsed.action) {
    case ParsedArguments::Action::Help:
        out << parsed.text;
        return 0;
    case ParsedArguments::Action::Version:
        out << QCoreApplication::applicationName() << ' ' << QCoreApplication::applicationVersion()
            << '\n';
        return 0;
    case ParsedArguments::Action::UsageError:
        err << "quv-admin: " << parsed.text << " (see --help)\n";
        return 2;
    case ParsedArguments::Action::Run:
        break;
    }
    const AdminOptions &o = parsed.options;
    try {
        AdminClient client;
        client.connectTo(o.address, o.token);
        if (o.command == AdminOptions::Command::Export)
            exportGrants(client, o.exportOptions);
        else
            importGrants(client, o.importOptions, out);
        return 0;
    } catch (const RemoteError &e) {
        err << "quv-admin: the server refused: " << e.message() << '\n';
    } catch (const std::exception &e) {
        err << "quv-admin: " << QString::fromUtf8(e.what()) << '\n';
    }
    return 1;
}

} // namespace quv::admin
