// quv-soak: the load driver's mixed calls from several clients against one
// server for a long time, with the server's resident memory sampled on the
// way, to tell a server that keeps its size from one that grows.
//
//   quv-soak [--clients 8] [--duration 600] [--sample 10]
//            [--db sqlite|postgres|<connection string>] [--json FILE]
//
// Every answer and the final state are checked as in the faults suite. The
// exit status is 0 when the run had no fault and memory stayed flat, 1
// otherwise, 2 for a bad option.

#include "contracts/cli.h"
#include "db/connection.h"
#include "db/schema.h"
#include "tests/faults/loaddriver.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testdatabase.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <optional>
#include <thread>

using namespace quv::test;

namespace {

// Growth of the resident size over the last 80% of the run above which the
// server does not count as flat. The first 20% is warm-up: allocator arenas,
// the SQLite page cache and Qt's caches reach their working size there. A
// leak of only 32 bytes a call, at the 500 or so calls a second one server
// answers here, adds about 7 MiB in eight minutes, a third of a server of
// about 20 MiB, while allocator noise (heap trimming, fragmentation) stays
// within a few hundred KiB.
constexpr double FlatBoundPercent = 10.0;

struct Sample
{
    double seconds = 0;
    qint64 calls = 0;
    double callsPerSecond = 0; // since the previous sample
    double rssMiB = 0;
};

/// A "Vm...:  N kB" line of /proc/<pid>/status in MiB, or nothing when the
/// process is gone.
std::optional<double> statusMiB(qint64 pid, const char *key)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray wanted = QByteArray(key) + ':';
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith(wanted)) {
            const QList<QByteArray> parts = line.mid(wanted.size()).simplified().split(' ');
            bool ok = false;
            const double kib = parts.value(0).toDouble(&ok);
            if (ok)
                return kib / 1024.0;
        }
    return std::nullopt;
}

/// Mean RSS of the samples taken in [from, to] seconds; 0 when none.
double meanRss(const QList<Sample> &samples, double from, double to)
{
    double sum = 0;
    int n = 0;
    for (const Sample &s : samples)
        if (s.seconds >= from && s.seconds <= to) {
            sum += s.rssMiB;
            ++n;
        }
    return n ? sum / n : 0;
}

struct Options
{
    int clients = 8;
    int duration = 600;
    int sample = 10;
    QString db = QStringLiteral("sqlite");
    QString json;
};

// The run's options from the command line; nothing when the program is
// done (help, version, a usage error), with its exit status in `status`.
std::optional<Options> parse(const QCoreApplication &app, int *status)
{
    quv::cli::CommandLine command(
        QStringLiteral("quv-soak"),
        QStringLiteral("Mixed calls from several clients against one quv-server for a long time, "
                       "sampling the server's resident memory."));
    const QCommandLineOption clients(QStringLiteral("clients"),
                                     QStringLiteral("Concurrent clients (1..200)."),
                                     QStringLiteral("N"), QStringLiteral("8"));
    const QCommandLineOption duration(QStringLiteral("duration"),
                                      QStringLiteral("Seconds of load (10..86400)."),
                                      QStringLiteral("S"), QStringLiteral("600"));
    const QCommandLineOption sample(QStringLiteral("sample"),
                                    QStringLiteral("Seconds between memory samples (1..3600)."),
                                    QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption db(
        QStringLiteral("db"),
        QStringLiteral("sqlite or postgres (a fresh demo warehouse; postgres on a throw-away "
                       "cluster), or the connection string of a warehouse to add the run's "
                       "principals to."),
        QStringLiteral("KIND|CONN"), QStringLiteral("sqlite"));
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("Also write the samples and the verdict to FILE as JSON."),
        QStringLiteral("FILE"));
    command.addOptions({clients, duration, sample, db, json});
    if (const std::optional<int> done = command.parse(app.arguments())) {
        *status = *done;
        return std::nullopt;
    }
    try {
        Options options;
        options.clients = int(command.number(clients, 1, 200));
        options.duration = int(command.number(duration, 10, 86400));
        options.sample = int(command.number(sample, 1, 3600));
        if (options.sample > options.duration / 5)
            throw quv::cli::UsageError(
                QStringLiteral("--sample must leave at least five samples in --duration"));
        options.db = command.value(db);
        options.json = command.value(json);
        return options;
    } catch (const quv::cli::UsageError &e) {
        *status = command.usageError(e.message());
        return std::nullopt;
    }
}

int soak(const Options &options)
{
    const bool fresh =
        options.db == QLatin1StringView("sqlite") || options.db == QLatin1StringView("postgres");
    QString database = options.db;
    if (fresh) {
        QString skip;
        database = freshDemoDatabase(options.db, &skip);
        if (database.isEmpty()) {
            std::fprintf(stderr, "quv-soak: cannot run on %s: %s\n", qPrintable(options.db),
                         qPrintable(skip));
            return 1;
        }
    }
    const QString own = QStringLiteral("quv-soak");
    int status = 0;
    {
        QSqlDatabase db = openConnection(database, own);
        const QStringList missing = quv::db::missingTables(db);
        if (!missing.isEmpty())
            throw std::runtime_error("the database lacks the tables " +
                                     missing.join(QStringLiteral(", ")).toStdString());
        LoadOptions load;
        load.clients = options.clients;
        load.callsPerClient = 100'000'000; // the duration ends the run
        load.durationSeconds = options.duration;
        LoadRun run(db, load);
        try {
            run.prepare();
        } catch (const std::exception &e) {
            // In one transaction: nothing was added.
            throw std::runtime_error(std::string("cannot add the run's principals (an earlier run "
                                                 "on this database may have left them): ") +
                                     e.what());
        }

        ServerProcess server;
        if (!server.start(database, {QStringLiteral("--max-rate"), QStringLiteral("1000000"),
                                     QStringLiteral("--max-connections"),
                                     QString::number(options.clients + 8),
                                     QStringLiteral("--max-per-address"),
                                     QString::number(options.clients + 8)}))
            throw std::runtime_error("the server did not start: " +
                                     server.errorString().toStdString());
        const qint64 pid = server.processId();
        std::printf("quv-soak: %d clients for %d s against quv-server (pid %lld) on %s\n",
                    options.clients, options.duration, pid,
                    qPrintable(quv::db::parseConnectionString(database).display()));
        std::printf("%8s %12s %10s %10s\n", "time s", "calls", "calls/s", "RSS MiB");

        QList<Sample> samples;
        QElapsedTimer clock;
        const auto sample = [&] {
            Sample s;
            s.seconds = double(clock.elapsed()) / 1000.0;
            s.calls = run.callsSoFar();
            const std::optional<double> rss = statusMiB(pid, "VmRSS");
            s.rssMiB = rss.value_or(0);
            if (!samples.isEmpty() && s.seconds > samples.last().seconds)
                s.callsPerSecond =
                    double(s.calls - samples.last().calls) / (s.seconds - samples.last().seconds);
            samples.append(s);
            std::printf("%8.1f %12lld %10.0f %10.2f%s\n", s.seconds, s.calls, s.callsPerSecond,
                        s.rssMiB, rss ? "" : "  (server gone)");
            std::fflush(stdout);
        };

        // The clients run in their own threads; this one samples, and its
        // event loop keeps draining the server's output pipe.
        LoadReport report;
        std::atomic<bool> finished = false;
        clock.start();
        sample();
        std::thread worker([&] {
            report = run.run({{server.host(), server.port()}}, ServerProcess::Token);
            finished = true;
        });
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, &sampler, sample);
        sampler.start(options.sample * 1000);
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
            if (finished)
                QCoreApplication::quit();
        });
        watch.start(100);
        QCoreApplication::exec();
        worker.join();
        sampler.stop();
        if (samples.last().seconds < report.seconds - 0.5)
            sample();
        const std::optional<double> peak = statusMiB(pid, "VmHWM");

        // The verdict compares the window after warm-up with the last one.
        const double total = samples.last().seconds;
        const double window = qMax(double(options.sample), qMin(60.0, total / 10));
        const double firstMinute = meanRss(samples, 0.001, qMin(60.0, total));
        const double lastMinute = meanRss(samples, total - qMin(60.0, total), total);
        const double warm = 0.2 * total;
        const double baseline = meanRss(samples, warm, warm + window);
        const double end = meanRss(samples, total - window, total);
        const double growth = baseline > 0 ? 100.0 * (end - baseline) / baseline : 0;
        qint64 callsAfterWarmUp = 0;
        for (const Sample &s : samples)
            if (s.seconds >= warm) {
                callsAfterWarmUp = samples.last().calls - s.calls;
                break;
            }
        const double bytesPerCall =
            callsAfterWarmUp > 0 ? (end - baseline) * 1048576.0 / double(callsAfterWarmUp) : 0;
        const bool flat = growth < FlatBoundPercent && peak.has_value();
        const QStringList differences = run.verify();
        const bool serverUp = server.isRunning();
        const int serverExit = server.stop();

        std::printf("\ncalls %lld in %.1f s = %.0f calls/s; latency ms p50 %.2f p99 %.2f max "
                    "%.2f\n",
                    report.calls, report.seconds, report.callsPerSecond(), report.percentile(50),
                    report.percentile(99), report.percentile(100));
        std::printf("RSS first minute %.2f MiB, last minute %.2f MiB, peak %.2f MiB\n", firstMinute,
                    lastMinute, peak.value_or(0));
        std::printf("after warm-up (%.0f s): %.2f MiB -> %.2f MiB at the end = %+.1f%% (%+.1f "
                    "bytes per call)\n",
                    warm, baseline, end, growth, bytesPerCall);
        std::printf("verdict: %s (flat: growth over the last 80%% of the run below %.0f%%)\n",
                    flat ? "flat" : "GROWING", FlatBoundPercent);
        std::printf("faults %lld; state differences %lld; server %s, exit status %d\n",
                    qint64(report.faults.size()), qint64(differences.size()),
                    serverUp ? "was up to the end" : "HAD STOPPED", serverExit);
        for (const QString &line : report.faults.mid(0, 10) + differences.mid(0, 10))
            std::printf("  %s\n", qPrintable(line));
        if (!serverUp)
            std::printf("server stderr:\n%s\n", qPrintable(server.standardError().right(4000)));

        if (!options.json.isEmpty()) {
            QJsonArray rows;
            for (const Sample &s : samples)
                rows.append(QJsonObject{{QStringLiteral("seconds"), s.seconds},
                                        {QStringLiteral("calls"), s.calls},
                                        {QStringLiteral("callsPerSecond"), s.callsPerSecond},
                                        {QStringLiteral("rssMiB"), s.rssMiB}});
            const QJsonObject result{
                {QStringLiteral("database"), fresh ? options.db : QStringLiteral("given")},
                {QStringLiteral("clients"), options.clients},
                {QStringLiteral("durationSeconds"), options.duration},
                {QStringLiteral("sampleSeconds"), options.sample},
                {QStringLiteral("samples"), rows},
                {QStringLiteral("calls"), report.calls},
                {QStringLiteral("callsPerSecond"), report.callsPerSecond()},
                {QStringLiteral("firstMinuteRssMiB"), firstMinute},
                {QStringLiteral("lastMinuteRssMiB"), lastMinute},
                {QStringLiteral("peakRssMiB"), peak.value_or(0)},
                {QStringLiteral("baselineRssMiB"), baseline},
                {QStringLiteral("endRssMiB"), end},
                {QStringLiteral("growthPercent"), growth},
                {QStringLiteral("bytesPerCall"), bytesPerCall},
                {QStringLiteral("flatBoundPercent"), FlatBoundPercent},
                {QStringLiteral("verdict"),
                 flat ? QStringLiteral("flat") : QStringLiteral("growing")},
                {QStringLiteral("faults"), qint64(report.faults.size())},
                {QStringLiteral("stateDifferences"), qint64(differences.size())}};
            QSaveFile file(options.json);
            if (!file.open(QIODevice::WriteOnly) ||
                file.write(QJsonDocument(result).toJson()) < 0 || !file.commit()) {
                std::fprintf(stderr, "quv-soak: cannot write %s: %s\n", qPrintable(options.json),
                             qPrintable(file.errorString()));
                status = 1;
            }
        }
        if (!flat || !report.faults.isEmpty() || !differences.isEmpty() || !serverUp)
            status = 1;
    }
    quv::db::closeDatabase(own);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quv-soak"));
    int status = quv::cli::ExitSuccess;
    const std::optional<Options> options = parse(app, &status);
    if (!options)
        return status;
    try {
        return soak(*options);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "quv-soak: %s\n", e.what());
        return 1;
    }
}
