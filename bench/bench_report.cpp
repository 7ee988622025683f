// bench_report: gathers the figures the benchmark programs appended to a
// results file (one JSON object per line) into one report: a table per
// engine with each scenario's median and spread beside its same-run
// baseline and its target, and how each cost grows from each warehouse to
// the next larger one (tenth-size to large, large to huge).
//
//   bench_report results.jsonl --out DIR
//
// Writes DIR/report.md (the table, also printed) and DIR/report.json (every
// figure with its ratio and verdict). Exits 1 when the results cannot be
// read or hold nothing; a missed target is reported, not an error.

#include "contracts/cli.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSysInfo>
#include <QTextStream>

#include <cmath>
#include <optional>

namespace {

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

struct Verdict
{
    std::optional<double> ratio; // measured median / baseline median
    QString target;              // as a reader would say it
    std::optional<bool> met;
};

Verdict judge(const QJsonObject &result)
{
    Verdict v;
    const QJsonObject measured = result[QLatin1StringView("measured")].toObject();
    const QJsonObject baseline = result[QLatin1StringView("baseline")].toObject();
    const double base = baseline[QLatin1StringView("median")].toDouble();
    if (!baseline.isEmpty() && base > 0)
        v.ratio = measured[QLatin1StringView("median")].toDouble() / base;
    const QJsonObject target = result[QLatin1StringView("target")].toObject();
    const QString kind = target[QLatin1StringView("kind")].toString();
    const double max = target[QLatin1StringView("max")].toDouble();
    const QString unit = result[QLatin1StringView("unit")].toString();
    if (kind == QLatin1StringView("ratio")) {
        v.target = QStringLiteral("≤ %1x baseline").arg(max);
        if (v.ratio)
            v.met = *v.ratio <= max;
    } else if (kind == QLatin1StringView("p99")) {
        v.target = QStringLiteral("p99 < %1 %2").arg(max).arg(unit);
        v.met = measured[QLatin1StringView("p99")].toDouble() < max;
    } else if (kind == QLatin1StringView("max")) {
        v.target = QStringLiteral("every one < %1 %2").arg(max).arg(unit);
        v.met = measured[QLatin1StringView("max")].toDouble() < max;
    } else if (kind == QLatin1StringView("median")) {
        v.target = QStringLiteral("median < %1 %2").arg(max).arg(unit);
        v.met = measured[QLatin1StringView("median")].toDouble() < max;
    }
    return v;
}

QString number(double value)
{
    if (std::fabs(value) >= 100)
        return QString::number(value, 'f', 0);
    if (std::fabs(value) >= 10)
        return QString::number(value, 'f', 1);
    return QString::number(value, 'f', 2);
}

QString spread(const QJsonObject &stats)
{
    return QStringLiteral("%1 (%2–%3, n=%4)")
        .arg(number(stats[QLatin1StringView("median")].toDouble()),
             number(stats[QLatin1StringView("p25")].toDouble()),
             number(stats[QLatin1StringView("p75")].toDouble()))
        .arg(stats[QLatin1StringView("n")].toInt());
}

// Size labels from the smaller warehouse to the larger.
int sizeOrder(const QString &size)
{
    if (size == QLatin1StringView("large-tenth"))
        return 0;
    if (size == QLatin1StringView("large"))
        return 1;
    if (size == QLatin1StringView("huge"))
        return 2;
    return 3;
}

const char *sizeName(int order)
{
    switch (order) {
    case 0:
        return "tenth-size";
    case 1:
        return "large";
    case 2:
        return "huge";
    }
    return "other";
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    quv::cli::CommandLine parser(
        QStringLiteral("bench_report"),
        QStringLiteral("Builds the benchmark report from the programs' results file."));
    parser.addPositional(QStringLiteral("results"),
                         QStringLiteral("The results file (one JSON object per line)."));
    const QCommandLineOption outOption(QStringLiteral("out"),
                                       QStringLiteral("Folder for report.md and report.json."),
                                       QStringLiteral("dir"));
    const QCommandLineOption titleOption(QStringLiteral("title"),
                                         QStringLiteral("A line saying what was run."),
                                         QStringLiteral("text"));
    parser.addOptions({outOption, titleOption});
    if (const std::optional<int> done = parser.parse(app.arguments()))
        return *done;
    if (parser.positionalArguments().size() != 1)
        return parser.usageError(QStringLiteral("name one results file"));
    if (!parser.isSet(outOption))
        return parser.usageError(QStringLiteral("--out is required"));

    QFile input(parser.positionalArguments().constFirst());
    if (!input.open(QIODevice::ReadOnly)) {
        err() << "bench_report: cannot read " << input.fileName() << ": " << input.errorString()
              << '\n';
        return 1;
    }
    QList<QJsonObject> results;
    int lineNumber = 0;
    while (!input.atEnd()) {
        const QByteArray line = input.readLine().trimmed();
        ++lineNumber;
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            err() << "bench_report: line " << lineNumber << " of " << input.fileName()
                  << " is not a JSON object (" << error.errorString() << ")\n";
            return 1;
        }
        results.append(doc.object());
    }
    if (results.isEmpty()) {
        err() << "bench_report: " << input.fileName() << " holds no results\n";
        return 1;
    }

    QString md;
    QTextStream table(&md);
    table << "# Benchmark report\n\n";
    if (parser.isSet(titleOption))
        table << parser.value(titleOption) << "\n\n";
    table << "Machine: " << QSysInfo::prettyProductName() << ", "
          << QSysInfo::currentCpuArchitecture() << ", "
          << QDateTime::currentDateTimeUtc().toString(Qt::ISODate) << ".\n"
          << "Each figure is the median (p25–p75, number of runs); the baseline is the same SQL "
             "through the same Qt driver in one process, measured in the same run.\n";

    // Engines, then sizes, each in the order first seen.
    QStringList engines;
    for (const QJsonObject &r : std::as_const(results)) {
        const QString engine = r[QLatin1StringView("engine")].toString();
        if (!engines.contains(engine))
            engines.append(engine);
    }

    QJsonArray reportRows;
    int missed = 0;
    int judged = 0;
    for (const QString &engine : std::as_const(engines)) {
        table << "\n## " << engine << "\n\n"
              << "| scenario | size | rows | measured | baseline | ratio | target | met |\n"
              << "|---|---|---:|---|---|---:|---|---|\n";
        QList<QJsonObject> rows;
        for (const QJsonObject &r : std::as_const(results))
            if (r[QLatin1StringView("engine")].toString() == engine)
                rows.append(r);
        std::stable_sort(rows.begin(), rows.end(), [](const QJsonObject &a, const QJsonObject &b) {
            return sizeOrder(a[QLatin1StringView("size")].toString()) >
                   sizeOrder(b[QLatin1StringView("size")].toString());
        });
        for (QJsonObject r : std::as_const(rows)) {
            const Verdict v = judge(r);
            const QString unit = r[QLatin1StringView("unit")].toString();
            const QJsonObject baseline = r[QLatin1StringView("baseline")].toObject();
            table << "| " << r[QLatin1StringView("scenario")].toString() << " | "
                  << r[QLatin1StringView("size")].toString() << " | "
                  << qint64(r[QLatin1StringView("rows")].toDouble()) << " | "
                  << spread(r[QLatin1StringView("measured")].toObject()) << ' ' << unit;
            // A p99 or max target is judged on that figure: show it.
            const QString kind =
                r[QLatin1StringView("target")].toObject()[QLatin1StringView("kind")].toString();
            if (kind == QLatin1StringView("p99") || kind == QLatin1StringView("max"))
                table << ", " << kind << ' '
                      << number(r[QLatin1StringView("measured")].toObject()[kind].toDouble());
            table << " | "
                  << (baseline.isEmpty() ? QStringLiteral("—") : spread(baseline) + u' ' + unit)
                  << " | " << (v.ratio ? number(*v.ratio) + u'x' : QStringLiteral("—")) << " | "
                  << (v.target.isEmpty() ? QStringLiteral("—") : v.target) << " | "
                  << (!v.met   ? QStringLiteral("—")
                      : *v.met ? QStringLiteral("yes")
                               : QStringLiteral("**no**"))
                  << " |\n";
            if (v.ratio)
                r.insert(QStringLiteral("ratio"), *v.ratio);
            if (v.met) {
                r.insert(QStringLiteral("met"), *v.met);
                ++judged;
                missed += !*v.met;
            }
            reportRows.append(r);
        }

        // Growth: the same scenario on one warehouse and the next larger one.
        QMap<QString, QMap<int, QJsonObject>> bySize;
        for (const QJsonObject &r : std::as_const(rows))
            bySize[r[QLatin1StringView("scenario")].toString()]
                  [sizeOrder(r[QLatin1StringView("size")].toString())] = r;
        for (int from = 0; from < 2; ++from) {
            const int to = from + 1;
            bool heading = false;
            for (auto it = bySize.cbegin(); it != bySize.cend(); ++it) {
                if (!it->contains(from) || !it->contains(to))
                    continue;
                const QJsonObject small = it->value(from);
                const QJsonObject large = it->value(to);
                const double smallCost = small[QLatin1StringView("measured")]
                                             .toObject()[QLatin1StringView("median")]
                                             .toDouble();
                const double largeCost = large[QLatin1StringView("measured")]
                                             .toObject()[QLatin1StringView("median")]
                                             .toDouble();
                const double smallRows = small[QLatin1StringView("rows")].toDouble();
                const double largeRows = large[QLatin1StringView("rows")].toDouble();
                if (smallCost <= 0 || smallRows <= 0)
                    continue;
                if (!heading) {
                    table << "\nGrowth from the " << sizeName(from) << " warehouse to the "
                          << sizeName(to) << " one (" << engine
                          << "):\n\n| scenario | rows | cost | cost per row |\n"
                             "|---|---:|---:|---:|\n";
                    heading = true;
                }
                const double rowGrowth = largeRows / smallRows;
                const double costGrowth = largeCost / smallCost;
                table << "| " << it.key() << " | x" << number(rowGrowth) << " | x"
                      << number(costGrowth) << " | x" << number(costGrowth / rowGrowth) << " |\n";
            }
        }
    }
    table << "\nTargets met: " << (judged - missed) << " of " << judged << ".\n";
    table.flush();

    const QDir out(parser.value(outOption));
    if (!out.exists() && !QDir().mkpath(out.path())) {
        err() << "bench_report: cannot create " << out.path() << '\n';
        return 1;
    }
    QFile mdFile(out.filePath(QStringLiteral("report.md")));
    QFile jsonFile(out.filePath(QStringLiteral("report.json")));
    const QJsonObject report{
        {QStringLiteral("generated"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
        {QStringLiteral("title"), parser.value(titleOption)},
        {QStringLiteral("results"), reportRows},
        {QStringLiteral("targetsJudged"), judged},
        {QStringLiteral("targetsMissed"), missed}};
    if (!mdFile.open(QIODevice::WriteOnly | QIODevice::Truncate) || mdFile.write(md.toUtf8()) < 0 ||
        !jsonFile.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        jsonFile.write(QJsonDocument(report).toJson()) < 0) {
        err() << "bench_report: cannot write the report in " << out.path() << '\n';
        return 1;
    }
    QTextStream(stdout) << md;
    return 0;
}
