// quv-server: the application server of the warehouse's access control.

#include "db/connection.h"
#include "db/schema.h"
#include "server/audit.h"
#include "server/config.h"
#include "server/server.h"
#include "server/signalwatcher.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quv-server"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (QCoreApplication::arguments().value(1) == QLatin1StringView("audit"))
        return quv::server::runAuditCommand(QCoreApplication::arguments(), out, err);

    quv::server::CommandLine command;
    QHostAddress address;
    std::optional<QSslConfiguration> tls;
    try {
        command = quv::server::parseCommandLine(QCoreApplication::arguments());
        if (command.help) {
            out << command.helpText;
            return 0;
        }
        address = quv::server::listenAddress(command.config.host, command.config.allowRemote,
                                             command.config.tls());
        if (command.config.tls())
            tls =
                quv::server::serverTlsConfiguration(command.config.tlsCert, command.config.tlsKey);
    } catch (const quv::server::ConfigError &e) {
        err << "quv-server: " << e.message() << "\n(see quv-server --help)\n";
        return 2;
    }
    const quv::server::ServerConfig &config = command.config;

    // Installed before anything slow, so an early Ctrl+C still ends cleanly.
    quv::server::SignalWatcher signalWatcher;
    QObject::connect(
        &signalWatcher, &quv::server::SignalWatcher::stopRequested, &app, [](int signalNumber) {
            quv::server::log(QStringLiteral("signal %1 received, stopping").arg(signalNumber));
            QCoreApplication::quit();
        });

    const QString connectionName = QStringLiteral("quv-server");
    int status = 0;
    try {
        QSqlDatabase db = quv::db::openDatabase(config.database, connectionName);
        const QStringList missing = quv::db::missingTables(db);
        // A database made before the audit trail lacks only its table, which
        // the server can add; anything else missing is not ours to invent.
        if (!missing.isEmpty() && missing != QStringList{quv::server::AuditTable}) {
            err << "quv-server: the database "
                << quv::db::parseConnectionString(config.database).display() << " lacks the tables "
                << missing.join(QStringLiteral(", "))
                << "; it is not a complete QUV warehouse. Create one with: quv-db create --db "
                   "<conn>\n";
            return 1;
        }
        if (quv::server::ensureAuditTable(db))
            quv::server::log(QStringLiteral("the database predates the audit trail: created the "
                                            "table %1")
                                 .arg(quv::server::AuditTable));
        for (const QString &step : quv::server::upgradeAuditTable(db))
            quv::server::log(step);
        quv::server::ServerLimits limits;
        limits.maxFrame = config.maxFrame;
        limits.maxConnections = config.maxConnections;
        limits.maxRate = config.maxRate;
        limits.loginTimeoutMs = config.loginTimeout * 1000;
        quv::server::AccessServer server(db, quv::server::TokenStore(config.tokens), limits, tls);
        if (!server.listen(address, config.port)) {
            err << "quv-server: cannot listen on " << config.host << ':' << config.port << ": "
                << server.errorString() << '\n';
            return 1;
        }
        // Scripts and tests read the port from this line.
        out << "listening on " << server.address().toString() << ':' << server.port() << '\n'
            << (tls ? "clients must connect with TLS\n" : "")
            << "stop with Ctrl+C (SIGINT) or SIGTERM\n";
        out.flush();
        if (!tls && !server.address().isLoopback())
            quv::server::log(QStringLiteral("warning: listening on %1 without TLS: tokens and "
                                            "grants cross the network unencrypted")
                                 .arg(server.address().toString()));
        status = app.exec();
        server.close();
        quv::server::log(QStringLiteral("stopped"));
    } catch (const quv::db::DbError &e) {
        err << "quv-server: " << e.message() << '\n';
        status = 1;
    }
    quv::db::closeDatabase(connectionName);
    return status;
}
