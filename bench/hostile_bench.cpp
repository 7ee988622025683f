// Each hostile-peer attack against a real server on loopback, one fresh
// server per attack, while an administrator keeps logging in and reading a
// principal from another address: how long that takes, and the server's
// peak resident memory. Prints a table; --json adds the figures to the
// bench command's report.
//
//   hostile_bench --db CONN [--attacks fields,header,...] [--seconds 10]
//                 [--connections 64] [--address-space MIB]

#include "bench/benchresults.h"
#include "contracts/cli.h"
#include "tests/faults/hostiledriver.h"
#include "tests/support/serverprocess.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdio>

using namespace quv;
using namespace quv::test;

namespace {

// A failed probe counts as the whole probe deadline: a refusal is quick,
// and must not pass for a fast answer.
bench::Timing withFailures(const QList<double> &answered, int failures, int deadlineMs)
{
    bench::Timing timing;
    for (double ms : answered)
        timing.add(ms);
    for (int i = 0; i < failures; ++i)
        timing.add(deadlineMs);
    return timing;
}

QString median(const QList<double> &values)
{
    return values.isEmpty() ? QStringLiteral("-")
                            : QString::number(hostile::Figures::percentile(values, 0.5), 'f', 1);
}

QString worst(const QList<double> &values, int failures)
{
    if (failures > 0)
        return QStringLiteral("%1 failed").arg(failures);
    return values.isEmpty() ? QStringLiteral("-")
                            : QString::number(hostile::Figures::percentile(values, 1.0), 'f', 1);
}

QString p99(const QList<double> &values, int failures)
{
    if (failures > 0)
        return QStringLiteral("%1 failed").arg(failures);
    return values.isEmpty() ? QStringLiteral("-")
                            : QString::number(hostile::Figures::percentile(values, 0.99), 'f', 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    cli::CommandLine command(
        QStringLiteral("hostile_bench"),
        QStringLiteral("Runs each hostile-peer attack against a fresh quv-server while an "
                       "administrator logs in and reads; prints the administrator's times "
                       "and the server's peak memory."));
    const QCommandLineOption dbOption(
        QStringLiteral("db"),
        QStringLiteral("The warehouse to serve (the search attack wants the large one)."),
        QStringLiteral("conn"));
    QStringList names;
    for (const hostile::AttackInfo &info : hostile::attacks())
        names.append(QLatin1StringView(info.name));
    const QCommandLineOption attacksOption(
        QStringLiteral("attacks"),
        QStringLiteral("Comma-separated attacks (default all: %1).").arg(names.join(u',')),
        QStringLiteral("list"), names.join(u','));
    const QCommandLineOption secondsOption(
        QStringLiteral("seconds"), QStringLiteral("How long each attack runs (default 10)."),
        QStringLiteral("s"), QStringLiteral("10"));
    const QCommandLineOption connectionsOption(
        QStringLiteral("connections"),
        QStringLiteral("Hostile connections per attack (default 64; search uses one)."),
        QStringLiteral("n"), QStringLiteral("64"));
    const QCommandLineOption spaceOption(
        QStringLiteral("address-space"),
        QStringLiteral("Cap on the server's address space in MiB, so a server that cannot "
                       "bound its memory fails instead of taking the machine (default 2048)."),
        QStringLiteral("mib"), QStringLiteral("2048"));
    command.addOptions({dbOption, attacksOption, secondsOption, connectionsOption, spaceOption});
    bench::Results::addOptions(command.parser());
    if (const std::optional<int> status = command.parse(app.arguments()))
        return *status;
    bench::Results &results = bench::Results::instance();
    results.configure(command.parser());

    const QString database = command.value(dbOption);
    if (database.isEmpty())
        return command.usageError(QStringLiteral("--db is required"));
    QList<hostile::Attack> chosen;
    for (const QString &name : command.value(attacksOption).split(u',', Qt::SkipEmptyParts)) {
        const std::optional<hostile::Attack> attack = hostile::attackNamed(name.trimmed());
        if (!attack)
            return command.usageError(QStringLiteral("unknown attack '%1'").arg(name));
        chosen.append(*attack);
    }
    try {
        command.number(connectionsOption, 1, 1000);
        command.number(spaceOption, 64, 1 << 20);
        bool ok = false;
        if (command.value(secondsOption).toDouble(&ok) <= 0 || !ok)
            throw cli::UsageError(
                QStringLiteral("--seconds '%1' is not a positive number of seconds")
                    .arg(command.value(secondsOption)));
    } catch (const cli::UsageError &e) {
        return command.usageError(e.message());
    }
    results.setDatabase(database);

    hostile::Options options;
    options.seconds = command.value(secondsOption).toDouble();
    options.token = ServerProcess::Token;
    if (chosen.contains(hostile::Attack::Search))
        options.searchStatement = hostile::largestSearch(database);
    QTemporaryDir logs;
    const qint64 space = command.value(spaceOption).toLongLong() * 1024 * 1024;

    std::printf("| attack | hostile connections | login + getOperGrup median / worst ms "
                "(quiet median) | getOperGrup p99 ms (quiet) | peak RSS MiB | server | "
                "hostile connects / answers / MB sent |\n|---|---:|---|---|---:|---|---|\n");
    for (const hostile::Attack attack : std::as_const(chosen)) {
        const hostile::AttackInfo &info =
            *std::find_if(hostile::attacks().cbegin(), hostile::attacks().cend(),
                          [attack](const hostile::AttackInfo &i) { return i.attack == attack; });
        ServerProcess server;
        server.setAddressSpaceLimit(space);
        server.setStandardErrorFile(logs.filePath(QLatin1StringView(info.name)));
        if (!server.start(database)) {
            std::fprintf(stderr, "hostile_bench: %s\n", qPrintable(server.errorString()));
            return 1;
        }
        options.attack = attack;
        // The attacks that need a token come from one administrator's
        // connections, at most the eight one address may have.
        const int connections = command.value(connectionsOption).toInt();
        options.connections =
            attack == hostile::Attack::Search || attack == hostile::Attack::NullsLogin ? 1
            : attack == hostile::Attack::NoReadLogin ? qMin(8, connections)
                                                     : connections;
        hostile::Options quietOptions = options;
        quietOptions.connections = 0;
        quietOptions.seconds = 2;
        const hostile::Figures quiet = hostile::run(server, quietOptions);
        const hostile::Figures f = hostile::run(server, options);
        const QString log = server.standardError();
        if (server.stop() < 0 && f.serverAlive)
            std::fprintf(stderr, "hostile_bench: the server did not stop on SIGTERM after %s\n",
                         info.name);

        QString state = f.serverAlive ? QStringLiteral("alive") : QStringLiteral("died");
        if (f.serverAlive)
            state += QStringLiteral(", %1 s CPU").arg(f.serverCpuSeconds, 0, 'f', 1);
        if (attack == hostile::Attack::Guess)
            state +=
                QStringLiteral(", %1 tokens compared/s")
                    .arg(double(log.count(QStringLiteral("login refused"))) / f.seconds, 0, 'f', 1);
        std::printf("| %s | %d | %s / %s (%s) | %s | %.1f | %s | %lld / %lld / %.1f |\n", info.name,
                    options.connections, qPrintable(median(f.adminMs)),
                    qPrintable(worst(f.adminMs, f.adminFailures)),
                    qPrintable(median(quiet.adminMs)),
                    attack == hostile::Attack::Search
                        ? qPrintable(QStringLiteral("%1 (%2)").arg(
                              p99(f.readMs, f.readFailures), p99(quiet.readMs, quiet.readFailures)))
                        : "-",
                    f.peakRssMiB, qPrintable(state), qlonglong(f.connects), qlonglong(f.answers),
                    double(f.bytesSent) / (1024 * 1024));
        for (const QString &error : f.adminErrors)
            std::printf("|  | probe failure: %s | | | | | |\n", qPrintable(error.left(160)));
        std::fflush(stdout);

        const QJsonObject extra{{QStringLiteral("peakRssMiB"), f.peakRssMiB},
                                {QStringLiteral("serverAlive"), f.serverAlive},
                                {QStringLiteral("serverCpuSeconds"), f.serverCpuSeconds},
                                {QStringLiteral("connections"), options.connections},
                                {QStringLiteral("probeFailures"), f.adminFailures}};
        const QString scenario =
            QStringLiteral("hostile %1: login + getOperGrup").arg(QLatin1StringView(info.name));
        results.add(scenario, QStringLiteral("ms"),
                    withFailures(f.adminMs, f.adminFailures, options.probeTimeoutMs),
                    withFailures(quiet.adminMs, quiet.adminFailures, options.probeTimeoutMs), 0,
                    bench::Results::maxBelow(1000), extra);
        if (attack == hostile::Attack::Search)
            results.add(QStringLiteral("hostile search: getOperGrup beside it"),
                        QStringLiteral("ms"),
                        withFailures(f.readMs, f.readFailures, options.probeTimeoutMs),
                        withFailures(quiet.readMs, quiet.readFailures, options.probeTimeoutMs), 0,
                        bench::Results::p99Below(100), extra);
        bench::Timing rss;
        rss.add(f.peakRssMiB);
        results.add(QStringLiteral("hostile %1: server peak RSS").arg(QLatin1StringView(info.name)),
                    QStringLiteral("MiB"), rss, {}, 0, bench::Results::maxBelow(256), extra);
    }
    return 0;
}
