// Encoding a million-row search result both ways the wire allows: the cost
// that decided CBOR for our own client. Prints a table; asserts nothing.
//
//   packet_bench [--rows N] [--runs R]

#include "contracts/cli.h"
#include "contracts/wire.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>

namespace {

quv::DataPacket makeSearchResult(qsizetype rows)
{
    quv::DataPacket packet({{QStringLiteral("IDMARCADO"), 1},
                            {QStringLiteral("CDCLIENTE"), 12},
                            {QStringLiteral("DSCLIENTE"), 60}});
    packet.reserve(rows);
    for (qsizetype i = 0; i < rows; ++i) {
        packet.appendCell(QByteArrayView(" "));
        packet.appendCell(QString::asprintf("C%07lld", static_cast<long long>(i)));
        packet.appendCell(QString::asprintf("Cliente São João %lld Comércio Ltda",
                                            static_cast<long long>(i * 7919 % 1000003)));
        packet.endRow();
    }
    return packet;
}

template <class F> double medianMs(int runs, F &&f)
{
    QList<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        f();
        times.append(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    quv::cli::CommandLine command(QStringLiteral("packet_bench"),
                                  QStringLiteral("Data packet encoding benchmark."));
    const QCommandLineOption rowsOption(QStringLiteral("rows"),
                                        QStringLiteral("Rows (default 1000000)."),
                                        QStringLiteral("N"), QStringLiteral("1000000"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Repetitions (default 5)."),
                                        QStringLiteral("R"), QStringLiteral("5"));
    command.addOptions({rowsOption, runsOption});
    if (const std::optional<int> done = command.parse(app.arguments()))
        return *done;
    qsizetype rows = 0;
    int runs = 0;
    try {
        rows = qsizetype(command.number(rowsOption, 1, 100000000));
        runs = int(command.number(runsOption, 1, 1000));
    } catch (const quv::cli::UsageError &e) {
        return command.usageError(e.message());
    }

    const quv::DataPacket packet = makeSearchResult(rows);
    const QVariant message = QVariantMap{{QStringLiteral("payload"), QVariant::fromValue(packet)}};
    std::printf("%lld rows, raw cell data %.1f MiB\n", static_cast<long long>(rows),
                double(packet.byteSize()) / (1024 * 1024));
    std::printf("%-6s %12s %12s %12s\n", "format", "size MiB", "encode ms", "decode ms");
    for (auto [name, encoding] : {std::pair{"cbor", quv::wire::Encoding::Cbor},
                                  std::pair{"json", quv::wire::Encoding::Json}}) {
        QByteArray bytes;
        const double encode = medianMs(runs, [&] { bytes = quv::wire::encode(message, encoding); });
        QVariant back;
        const double decode = medianMs(runs, [&] { back = quv::wire::decode(bytes, encoding); });
        const bool same =
            back.toMap().value(QStringLiteral("payload")).value<quv::DataPacket>() == packet;
        std::printf("%-6s %12.1f %12.1f %12.1f%s\n", name, double(bytes.size()) / (1024 * 1024),
                    encode, decode, same ? "" : "  (round trip differs!)");
    }
    return 0;
}
