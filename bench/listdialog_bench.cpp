// How the list-selection dialog copes with a million dimension values:
// opening it, and each keystroke of a search typed letter by letter.
// Prints the figures; it asserts nothing.

#include "contracts/cli.h"
#include "contracts/datapacket.h"
#include "framework/data/dataset.h"
#include "framework/widgets/listdialog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRows = 1'000'000;

// Deterministic names of 20 to 40 characters, some with accents, so that
// both the ASCII and the non-ASCII folding paths are exercised.
QString makeName(quint64 &seed)
{
    static const char16_t *const syllables[] = {
        u"ma",  u"ri", u"so", u"ção", u"pa",  u"lo", u"são", u"jo",  u"sé",   u"an",
        u"dré", u"lu", u"ís", u"car", u"los", u"Ál", u"va",  u"res", u"be",   u"lém",
        u"ita", u"ú",  u"na", u"te",  u"rê",  u"sa", u"gon", u"ça",  u"lves", u"mar"};
    const auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return quint32(seed >> 33);
    };
    const int length = 20 + int(next() % 21);
    QString name;
    name.reserve(length + 4);
    bool capital = true;
    while (name.size() < length) {
        QString piece = QString::fromUtf16(syllables[next() % std::size(syllables)]);
        if (capital)
            piece[0] = piece[0].toUpper();
        name += piece;
        capital = false;
        if (name.size() < length - 1 && next() % 4 == 0) {
            name += QLatin1Char(' ');
            capital = true;
        }
    }
    name.truncate(length);
    return name;
}

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

// A line of /proc/self/status in MiB ("VmHWM": peak so far, "VmRSS": now).
double statusMiB(const char *key)
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

void report(const char *what, std::vector<double> times)
{
    if (times.empty())
        return;
    std::sort(times.begin(), times.end());
    const auto at = [&times](double q) {
        return times[std::min(times.size() - 1, size_t(q * double(times.size() - 1) + 0.5))];
    };
    std::printf("%-34s n=%3zu  median %7.2f ms  p95 %7.2f ms  max %7.2f ms\n", what, times.size(),
                at(0.5), at(0.95), times.back());
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    quv::cli::CommandLine command(
        QStringLiteral("listdialog_bench"),
        QStringLiteral("Builds %1 generated dimension values in memory, opens the list dialog "
                       "over them (offscreen unless QT_QPA_PLATFORM says otherwise) and prints "
                       "the opening time, the time of each keystroke of a search typed letter by "
                       "letter (median, p95, max) and the memory used. BENCH_VERBOSE=1 also "
                       "prints every keystroke of the bare search.")
            .arg(kRows));
    if (const std::optional<int> done = command.parse(app.arguments()))
        return *done;

    QElapsedTimer timer;
    timer.start();
    quv::DataPacket packet({{QStringLiteral("IDMARCADO"), 1},
                            {QStringLiteral("CDCLIENTE"), 8},
                            {QStringLiteral("NMCLIENTE"), 40}});
    packet.reserve(kRows, 40LL * kRows);
    quint64 seed = 42;
    QStringList stored; // every 997th value, as a stored filter would hold
    for (int i = 1; i <= kRows; ++i) {
        const QString code = QStringLiteral("C%1").arg(i, 7, 10, QLatin1Char('0'));
        packet.appendCell(QStringLiteral(" "));
        packet.appendCell(code);
        packet.appendCell(makeName(seed));
        packet.endRow();
        if (i % 997 == 0)
            stored.append(code);
    }
    stored.append(QStringLiteral("X0000001")); // gone from the dimension
    const qint64 generated = timer.nsecsElapsed();
    const double rssData = statusMiB("VmRSS");

    timer.restart();
    TClientDataSet dataSet;
    dataSet.SetData(packet);
    dataSet.Fields().at(1)->setDisplayLabel(QStringLiteral("Código"));
    dataSet.Fields().at(2)->setDisplayLabel(QStringLiteral("Nome"));
    TDataSource source;
    source.setDataSet(&dataSet);
    const qint64 loaded = timer.nsecsElapsed();
    const QString list = ListaFiltro::build(stored);

    timer.restart();
    TPesquisaListaDialog dialog(&source, QStringLiteral("CDCLIENTE"), QStringLiteral("Clientes"),
                                false, list);
    const qint64 constructed = timer.nsecsElapsed();
    timer.restart();
    dialog.show();
    QApplication::processEvents();
    const qint64 shown = timer.nsecsElapsed();
    const double rssOpen = statusMiB("VmRSS");
    const double peakOpen = statusMiB("VmHWM");

    std::printf("rows                               %d\n", kRows);
    std::printf("raw data (DataPacket::byteSize)    %.1f MiB\n",
                double(packet.byteSize()) / (1024.0 * 1024.0));
    std::printf("generate packet                    %8.1f ms\n", ms(generated));
    std::printf("SetData into the client dataset    %8.1f ms\n", ms(loaded));
    std::printf("open dialog (model and marks)      %8.1f ms\n", ms(constructed));
    std::printf("show and first paint               %8.1f ms\n", ms(shown));
    std::printf("RSS with the packet built          %.1f MiB\n", rssData);
    std::printf("RSS with the dialog open           %.1f MiB (peak so far %.1f MiB)\n", rssOpen,
                peakOpen);
    std::printf("pre-marked %lld of %lld, kept absent %lld\n",
                qlonglong(dialog.Model()->MarkedCount()), qlonglong(dialog.Model()->TotalRows()),
                qlonglong(dialog.Model()->AbsentValues().size()));

    // Each keystroke: the text changes, the model filters, the view resets
    // and repaints. Words cover broad matches (one letter hits most rows),
    // accents, codes, and a word that matches nothing.
    QLineEdit *box = dialog.SearchBox();
    std::vector<double> typing;
    std::vector<double> erasing;
    std::vector<double> filterOnly;
    const QStringList words = {QStringLiteral("maria"),  QStringLiteral("SÃO JO"),
                               QStringLiteral("c00123"), QStringLiteral("gonçalves"),
                               QStringLiteral("zzzz"),   QStringLiteral("lém be")};
    for (const QString &word : words) {
        box->clear();
        QApplication::processEvents();
        for (qsizetype n = 1; n <= word.size(); ++n) {
            timer.restart();
            box->setText(word.left(n));
            QApplication::processEvents();
            typing.push_back(ms(timer.nsecsElapsed()));
        }
        std::printf("  \"%s\" -> %d rows shown\n", qPrintable(word), dialog.Model()->rowCount());
        for (qsizetype n = word.size() - 1; n >= 0; --n) {
            timer.restart();
            box->setText(word.left(n));
            QApplication::processEvents();
            erasing.push_back(ms(timer.nsecsElapsed()));
        }
    }
    report("keystroke typing (filter+repaint)", typing);
    report("keystroke erasing (full rescan)", erasing);

    // The same keystrokes on a model without a view: the search alone.
    TPesquisaListaModel bare(&dataSet, dataSet.Fields().at(1), {}, false);
    for (const QString &word : words) {
        for (qsizetype n = 1; n <= word.size(); ++n) {
            timer.restart();
            bare.SetFilterText(word.left(n));
            filterOnly.push_back(ms(timer.nsecsElapsed()));
            if (qEnvironmentVariableIsSet("BENCH_VERBOSE"))
                std::printf("    %-10s %8d rows %7.2f ms\n", qPrintable(word.left(n)),
                            bare.rowCount(), filterOnly.back());
        }
        for (qsizetype n = word.size() - 1; n >= 0; --n) {
            timer.restart();
            bare.SetFilterText(word.left(n));
            filterOnly.push_back(ms(timer.nsecsElapsed()));
        }
    }
    report("keystroke, model only (no view)", filterOnly);

    std::vector<double> markAll;
    for (int i = 0; i < 5; ++i) {
        timer.restart();
        dialog.Model()->SetAllShown(i % 2 == 0);
        QApplication::processEvents();
        markAll.push_back(ms(timer.nsecsElapsed()));
    }
    report("mark/unmark all 1,000,000 rows", markAll);

    timer.restart();
    const QString result = dialog.Lista();
    std::printf("result list with %lld marks         %8.1f ms (%lld chars)\n",
                qlonglong(dialog.Model()->MarkedCount()), ms(timer.nsecsElapsed()),
                qlonglong(result.size()));

    std::printf("peak RSS at the end (VmHWM)        %.1f MiB (a %lld-character result "
                "included)\n",
                statusMiB("VmHWM"), qlonglong(result.size()));
    return 0;
}
