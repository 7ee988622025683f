// quv-server: the application server of the warehouse's access control.

#include "contracts/cli.h"
#include "db/connection.h"
#include "db/schema.h"
#include "server/audit.h"
#include "server/config.h"
#include "server/logging.h"
#include "server/server.h"
#include "server/signalwatcher.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quv-server"));
    QCoreApplication::setApplicationVersion(quv::cli::projectVersion());
    quv::server::installLogHandler();
    QTextStream out(stdout);
    if (QCoreApplication::arguments().value(1) == QLatin1StringView("audit"))
        return quv::server::runAuditCommand(QCoreApplication::arguments(), out);

    const QString program = QStringLiteral("quv-server");
    quv::server::CommandLine command;
    QHostAddress address;
    std::optional<QSslConfiguration> tls;
    try {
        command = quv::server::parseCommandLine(QCoreApplication::arguments());
        if (!command.printAndExit.isEmpty()) {
            out << command.printAndExit;
            return quv::cli::ExitSuccess;
        }
        address = quv::server::listenAddress(command.config.host, command.config.allowRemote,
                                             command.config.tls());
        if (command.config.tls())
            tls = quv::server::serverTlsConfiguration(command.config.tlsCert, command.config.tlsKey,
                                                      &command.warnings);
    } catch (const quv::cli::UsageError &e) {
        return quv::cli::usageError(program, e.message());
    }
    const quv::server::ServerConfig &config = command.config;
    for (const QString &warning : std::as_const(command.warnings))
        qCWarning(quv::server::lcServer, "%s", qUtf8Printable(warning));

    // Installed before anything slow, so an early Ctrl+C still ends cleanly.
    quv::server::SignalWatcher signalWatcher;
    QObject::connect(
        &signalWatcher, &quv::server::SignalWatcher::stopRequested, &app, [](int signalNumber) {
            qCInfo(quv::server::lcServer, "signal %d received, stopping", signalNumber);
            QCoreApplication::quit();
        });

    const QString connectionName = QStringLiteral("quv-server");
    int status = quv::cli::ExitSuccess;
    try {
        QSqlDatabase db = quv::db::openDatabase(config.database, connectionName);
        const QStringList missing = quv::db::missingTables(db);
        // A database made before the audit trail lacks only its table, which
        // the server can add; anything else missing is not ours to invent.
        if (!missing.isEmpty() && missing != QStringList{quv::server::AuditTable}) {
            db = QSqlDatabase();
            quv::db::closeDatabase(connectionName);
            return quv::cli::failure(
                program,
                QStringLiteral("the database %1 lacks the tables %2; it is not a complete QUV "
                               "warehouse. Create one with: quv-db create --db <conn>")
                    .arg(quv::db::parseConnectionString(config.database).display(),
                         missing.join(QStringLiteral(", "))));
        }
        if (quv::server::ensureAuditTable(db))
            qCInfo(quv::server::lcServer,
                   "the database predates the audit trail: created the table %s",
                   qUtf8Printable(quv::server::AuditTable));
        for (const QString &step : quv::server::upgradeAuditTable(db))
            qCInfo(quv::server::lcServer, "%s", qUtf8Printable(step));
        quv::server::ServerLimits limits;
        limits.maxFrame = config.maxFrame;
        limits.maxConnections = config.maxConnections;
        limits.maxPerAddress = config.maxPerAddress;
        limits.maxRate = config.maxRate;
        limits.loginTimeoutMs = config.loginTimeout * 1000;
        limits.idleTimeoutMs = config.idleTimeout * 1000;
        // The slow reads get a connection of their own, unless the database
        // lives in this process's memory and another connection would not
        // see it.
        const bool inMemory =
            quv::db::parseConnectionString(config.database).path == QLatin1StringView(":memory:");
        quv::server::AccessServer server(db, quv::server::TokenStore(config.tokens), limits, tls,
                                         inMemory ? QString() : config.database);
        if (!server.listen(address, config.port)) {
            status = quv::cli::failure(program, QStringLiteral("cannot listen on %1:%2: %3")
                                                    .arg(config.host)
                                                    .arg(config.port)
                                                    .arg(server.errorString()));
        } else {
            const QString where =
                QStringLiteral("%1:%2").arg(server.address().toString()).arg(server.port());
            // Scripts and tests read the port from this line.
            out << "listening on " << where << '\n'
                << (tls ? "clients must connect with TLS\n" : "")
                << "stop with Ctrl+C (SIGINT) or SIGTERM\n";
            out.flush();
            qCInfo(quv::server::lcServer, "listening on %s (%s)", qUtf8Printable(where),
                   tls ? "TLS" : "plaintext");
            if (!tls && !server.address().isLoopback())
                qCWarning(quv::server::lcServer,
                          "listening on %s without TLS: tokens and grants cross the network "
                          "unencrypted",
                          qUtf8Printable(server.address().toString()));
            status = app.exec();
            server.close();
            qCInfo(quv::server::lcServer, "stopped");
        }
    } catch (const quv::db::DbError &e) {
        status = quv::cli::failure(program, e.message());
    }
    quv::db::closeDatabase(connectionName);
    return status;
}
