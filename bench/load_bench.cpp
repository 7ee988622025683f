// Many clients making mixed calls at once: calls per second and latency
// percentiles, against two servers sharing one PostgreSQL database and
// against one server on SQLite, each on a fresh demo warehouse. Every
// answer and the final state are checked as in the faults suite; a wrong
// one makes the exit status 1.
//
//   load_bench [--clients N] [--calls M] [--db sqlite|postgres|both]

#include "contracts/cli.h"
#include "db/connection.h"
#include "tests/faults/loaddriver.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testdatabase.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>

using namespace quv::test;

namespace {

bool runOne(const QString &driver, int servers, const LoadOptions &options)
{
    QString skip;
    const QString database = freshDemoDatabase(driver, &skip);
    if (database.isEmpty()) {
        std::printf("%-8s skipped: %s\n", qPrintable(driver), qPrintable(skip));
        return true;
    }
    bool ok = true;
    {
        QSqlDatabase own = openConnection(database, QStringLiteral("load-bench"));
        LoadRun run(own, options);
        run.prepare();
        std::vector<std::unique_ptr<ServerProcess>> processes;
        QList<Endpoint> endpoints;
        for (int i = 0; i < servers; ++i) {
            processes.push_back(std::make_unique<ServerProcess>());
            // Every client comes from 127.0.0.1.
            const QStringList limits{
                QStringLiteral("--max-rate"),        QStringLiteral("1000000"),
                QStringLiteral("--max-connections"), QString::number(options.clients + 8),
                QStringLiteral("--max-per-address"), QString::number(options.clients + 8)};
            if (!processes.back()->start(database, limits)) {
                std::fprintf(stderr, "server did not start: %s\n",
                             qPrintable(processes.back()->errorString()));
                return false;
            }
            endpoints.append({processes.back()->host(), processes.back()->port()});
        }
        const LoadReport report = run.run(endpoints, ServerProcess::Token);
        const QStringList differences = run.verify();
        QStringList refused;
        for (auto it = report.refusedByCode.cbegin(); it != report.refusedByCode.cend(); ++it)
            refused.append(QStringLiteral("%1x%2").arg(it.key()).arg(it.value()));
        std::printf("%-8s %d server(s) %4d clients x %5d calls: %8lld calls in %7.2f s = %8.0f "
                    "calls/s; latency ms p50 %6.2f p90 %6.2f p99 %7.2f max %8.2f; intended "
                    "refusals [%s]; faults %lld; state differences %lld\n",
                    qPrintable(driver), servers, options.clients, options.callsPerClient,
                    report.calls, report.seconds, report.callsPerSecond(), report.percentile(50),
                    report.percentile(90), report.percentile(99), report.percentile(100),
                    qPrintable(refused.join(u' ')), qint64(report.faults.size()),
                    qint64(differences.size()));
        for (const QString &line : report.faults.mid(0, 10) + differences.mid(0, 10))
            std::printf("  %s\n", qPrintable(line));
        ok = report.faults.isEmpty() && differences.isEmpty();
    }
    quv::db::closeDatabase(QStringLiteral("load-bench"));
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    quv::cli::CommandLine command(QStringLiteral("load_bench"),
                                  QStringLiteral("Concurrent clients against the server."));
    const QCommandLineOption clients(QStringLiteral("clients"),
                                     QStringLiteral("Concurrent clients (1..200, default 50)."),
                                     QStringLiteral("N"), QStringLiteral("50"));
    const QCommandLineOption calls(QStringLiteral("calls"),
                                   QStringLiteral("Calls per client (default 1000)."),
                                   QStringLiteral("M"), QStringLiteral("1000"));
    const QCommandLineOption db(QStringLiteral("db"),
                                QStringLiteral("sqlite, postgres or both (default)."),
                                QStringLiteral("KIND"), QStringLiteral("both"));
    command.addOptions({clients, calls, db});
    return command.run(app.arguments(), [&] {
        LoadOptions options;
        options.clients = int(command.number(clients, 1, 200));
        options.callsPerClient = int(command.number(calls, 1, 100000000));
        const QString kind = command.choice(
            db, {QStringLiteral("sqlite"), QStringLiteral("postgres"), QStringLiteral("both")});
        bool ok = true;
        if (kind != QLatin1StringView("sqlite"))
            ok = runOne(QStringLiteral("postgres"), 2, options) && ok;
        if (kind != QLatin1StringView("postgres"))
            ok = runOne(QStringLiteral("sqlite"), 1, options) && ok;
        return ok ? quv::cli::ExitSuccess : quv::cli::ExitFailure;
    });
}
