#pragma once

// What every benchmark shares: timing with percentiles and the figures each
// program appends for the bench command's report.

#include "db/connection.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
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

} // namespace quv::bench
