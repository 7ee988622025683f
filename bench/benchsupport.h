#pragma once

// What the screen benchmarks share: timing with percentiles, a full read of
// a query as the baseline, and the package opened as the host opens it.

#include "contracts/package.h"
#include "db/connection.h"
#include "framework/data/dbgeral.h"
#include "screen/Cli_quv01000.h"
#include "tests/screen/screenfixture.h"
#include "tests/support/serverprocess.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextStream>

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace quv::bench {

inline QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

/// Samples in milliseconds; `at(0.5)` is the median, interpolated.
struct Timing
{
    QList<double> ms;

    void add(double value) { ms.append(value); }
    double at(double fraction) const
    {
        if (ms.isEmpty())
            return 0;
        QList<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        const double pos = fraction * double(sorted.size() - 1);
        const auto lo = qsizetype(pos);
        const qsizetype hi = std::min(lo + 1, sorted.size() - 1);
        return sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - double(lo));
    }
};

inline double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

/// One untimed warm-up, then `runs` timed runs.
inline Timing measure(int runs, const std::function<void()> &body)
{
    body();
    Timing timing;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        body();
        timing.add(msSince(timer));
    }
    return timing;
}

/// The figures of one run for the bench command's report: one JSON object
/// per line, appended to the file given with --json. Each program says which
/// database it measures (engine and size label) before recording.
class Results
{
public:
    static Results &instance()
    {
        static Results results;
        return results;
    }

    static void addOptions(QCommandLineParser &parser)
    {
        parser.addOption({QStringLiteral("json"),
                          QStringLiteral("Append the figures, one JSON object per line, to FILE."),
                          QStringLiteral("file")});
        parser.addOption({QStringLiteral("label"),
                          QStringLiteral("Size label of the warehouse in the report (default: "
                                         "the database's name)."),
                          QStringLiteral("name")});
    }
    void configure(const QCommandLineParser &parser)
    {
        m_path = parser.value(QStringLiteral("json"));
        m_label = parser.value(QStringLiteral("label"));
    }

    /// Names the database the next figures belong to.
    void setDatabase(const QString &connection)
    {
        const db::ConnectionInfo info = db::parseConnectionString(connection);
        m_engine = info.driver == db::Driver::Postgres ? QStringLiteral("postgres")
                                                       : QStringLiteral("sqlite");
        m_size = !m_label.isEmpty()                    ? m_label
                 : info.driver == db::Driver::Postgres ? info.database
                                                       : info.path.section(u'/', -1);
    }

    /// `baseline` may be empty (no baseline for this figure); `target` is
    /// {"kind": "ratio"|"p99"|"median"|"max", "max": number} or empty.
    void add(const QString &scenario, const QString &unit, const Timing &measured,
             const Timing &baseline, qint64 rows, const QJsonObject &target,
             const QJsonObject &extra = {})
    {
        if (m_path.isEmpty())
            return;
        QJsonObject line{{QStringLiteral("scenario"), scenario},
                         {QStringLiteral("engine"), m_engine},
                         {QStringLiteral("size"), m_size},
                         {QStringLiteral("unit"), unit},
                         {QStringLiteral("rows"), rows},
                         {QStringLiteral("measured"), summary(measured)}};
        if (!baseline.ms.isEmpty())
            line.insert(QStringLiteral("baseline"), summary(baseline));
        if (!target.isEmpty())
            line.insert(QStringLiteral("target"), target);
        if (!extra.isEmpty())
            line.insert(QStringLiteral("extra"), extra);
        QFile file(m_path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append) ||
            file.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n') < 0)
            throw std::runtime_error("cannot write " + m_path.toStdString() + ": " +
                                     file.errorString().toStdString());
    }

    static QJsonObject ratioAtMost(double max) { return target(QStringLiteral("ratio"), max); }
    static QJsonObject p99Below(double max) { return target(QStringLiteral("p99"), max); }
    static QJsonObject maxBelow(double max) { return target(QStringLiteral("max"), max); }
    static QJsonObject medianBelow(double max) { return target(QStringLiteral("median"), max); }

private:
    static QJsonObject target(const QString &kind, double max)
    {
        return {{QStringLiteral("kind"), kind}, {QStringLiteral("max"), max}};
    }
    static QJsonObject summary(const Timing &t)
    {
        return {{QStringLiteral("n"), t.ms.size()},  {QStringLiteral("median"), t.at(0.5)},
                {QStringLiteral("p25"), t.at(0.25)}, {QStringLiteral("p75"), t.at(0.75)},
                {QStringLiteral("p99"), t.at(0.99)}, {QStringLiteral("min"), t.at(0)},
                {QStringLiteral("max"), t.at(1)}};
    }

    QString m_path;
    QString m_label;
    QString m_engine;
    QString m_size;
};

/// Server arguments for the benchmarks: a benchmark calls back to back,
/// faster than any keyboard repeats, and the per-connection request limit
/// that guards a production server would refuse it.
inline QStringList serverArguments()
{
    return {QStringLiteral("--max-rate"), QStringLiteral("1000000")};
}

/// A line of /proc/self/status in MiB ("VmHWM": peak, "VmRSS": now); -1
/// where there is none.
inline double statusMiB(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(prefix))
            return double(line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong()) /
                   1024.0;
    return -1;
}

/// Lowers the peak to the present, so that the next VmHWM is the peak of the
/// step that follows. False where the kernel does not allow it.
inline bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (!clear.open(QIODevice::WriteOnly))
        return false;
    return clear.write("5") == 1;
}

/// Fetches every row and every value as text: what the baseline pays.
inline qint64 drain(QSqlQuery &query)
{
    qint64 rows = 0;
    const int columns = query.record().count();
    while (query.next()) {
        for (int c = 0; c < columns; ++c)
            (void)query.value(c).toString();
        ++rows;
    }
    return rows;
}

/// The package as the host loads it, with the screen open on the database.
/// `showHost` shows the host window, for steps that paint dialogs.
class OpenScreen
{
public:
    OpenScreen(const QString &connection, test::ServerProcess &server, bool showHost = false)
    {
        m_host.serverHost = server.host();
        m_host.serverPort = server.port();
        m_db.Open(connection);
        dtmDBGeral = &m_db;
        m_package.setFileName(QCoreApplication::applicationDirPath() +
                              QStringLiteral("/libPKG_QUV01000.so"));
        if (!m_package.load())
            throw std::runtime_error(m_package.errorString().toStdString());
        auto initialize = reinterpret_cast<QuvInitializeProc>(m_package.resolve("Initialize"));
        m_finalize = reinterpret_cast<QuvFinalizeProc>(m_package.resolve("Finalize"));
        m_iniProc = reinterpret_cast<QuvIniProc>(m_package.resolve("IniProc"));
        if (!initialize || !m_finalize || !m_iniProc)
            throw std::runtime_error("the package lacks its entries");
        initialize();
        m_iniProc();
        test::settle();
        if (!form())
            throw std::runtime_error("the screen did not open");
        if (showHost) {
            m_host.mainForm()->show();
            test::settle();
        }
    }
    ~OpenScreen()
    {
        if (auto *f = form()) {
            f->Release();
            test::settle();
        }
        Cli_quv01000::boIdCriado = false;
        if (m_finalize)
            m_finalize();
        dtmDBGeral = nullptr;
    }
    OpenScreen(const OpenScreen &) = delete;
    OpenScreen &operator=(const OpenScreen &) = delete;

    Cli_quv01000::TfrmControleAcesso *form() const { return Cli_quv01000::frmControleAcesso; }

    /// Closes the screen and opens it again as the host's menu does; returns
    /// the milliseconds from IniProc until the screen is up with both lists
    /// and their first grants loaded (IniProc returns only then).
    double reopen()
    {
        if (auto *f = form()) {
            f->Close();
            test::settle();
        }
        if (form())
            throw std::runtime_error("the screen did not close");
        QElapsedTimer timer;
        timer.start();
        m_iniProc();
        test::settle();
        const double ms = msSince(timer);
        if (!form())
            throw std::runtime_error("the screen did not open again");
        return ms;
    }
    QStringList errors() const { return m_host.exceptions; }

private:
    test::TestHost m_host;
    TdtmDBGeral m_db;
    QLibrary m_package;
    QuvFinalizeProc m_finalize = nullptr;
    QuvIniProc m_iniProc = nullptr;
};

} // namespace quv::bench
