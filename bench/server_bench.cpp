// server_bench: how long the application server takes for the two heavy
// reads, measured through a real server process over TCP, beside the same
// SQL run bare through the same Qt driver in the same process.
//
//   server_bench --db sqlite:/data/large.db [--db postgres://...] [--runs N]
//                [--principal 00] [--dimension 1]
//
// The databases must hold a generated warehouse (quv-db create --size large
// or large-tenth); nothing in them is changed.

#include "contracts/cli.h"
#include "contracts/controleacesso.h"
#include "db/connection.h"
#include "db/sql.h"
#include "db/warehouse.h"
#include "server/accesscontrol.h"
#include "tests/support/rpcclient.h"
#include "tests/support/serverprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextStream>

#include <algorithm>
#include <functional>

using namespace quv;

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

struct Timing
{
    QList<double> ms;

    double median() const
    {
        QList<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        const qsizetype n = sorted.size();
        return n == 0 ? 0 : n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    double min() const { return ms.isEmpty() ? 0 : *std::min_element(ms.begin(), ms.end()); }
    double max() const { return ms.isEmpty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
};

/// Runs `body` once to warm caches, then `runs` times timed.
Timing measure(int runs, const std::function<void()> &body)
{
    body();
    Timing timing;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        body();
        timing.ms.append(double(timer.nsecsElapsed()) / 1e6);
    }
    return timing;
}

void report(const QString &what, const Timing &server, const Timing &direct, const QString &extra)
{
    out() << QStringLiteral("  %1 server median %2 ms (min %3, max %4) | direct SQL median %5 ms "
                            "(min %6, max %7) | ratio %8 | %9\n")
                 .arg(what, -28)
                 .arg(server.median(), 0, 'f', 1)
                 .arg(server.min(), 0, 'f', 1)
                 .arg(server.max(), 0, 'f', 1)
                 .arg(direct.median(), 0, 'f', 1)
                 .arg(direct.min(), 0, 'f', 1)
                 .arg(direct.max(), 0, 'f', 1)
                 .arg(direct.median() > 0 ? server.median() / direct.median() : 0, 0, 'f', 2)
                 .arg(extra);
    out().flush();
}

/// Reads every value of every row as text, as the server does.
qint64 drain(QSqlQuery &query)
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

QString peakMemory(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return QString::fromLatin1(line.mid(6).trimmed());
    return QStringLiteral("?");
}

bool benchmark(const QString &connection, int runs, const QString &principal, int dimension)
{
    out() << "\n" << db::parseConnectionString(connection).display() << '\n';
    const QString name = QStringLiteral("server-bench-direct");
    QSqlDatabase db = db::openDatabase(connection, name);

    QSqlQuery catalog =
        db::run(db,
                QStringLiteral(
                    "SELECT CDTABELADIME, DSPKDIME, DSITEMDIME FROM DIMEDW WHERE NRSEQUEDIME = ?"),
                {dimension});
    if (!catalog.next()) {
        out() << "  dimension " << dimension << " is not in the catalog\n";
        return false;
    }
    const QString search = server::AccessControl::searchSql(
        catalog.value(0).toString(), catalog.value(1).toString(), catalog.value(2).toString());
    catalog = QSqlQuery();

    test::ServerProcess server;
    if (!server.start(connection)) {
        out() << "  the server did not start: " << server.errorString() << '\n';
        return false;
    }
    test::RpcClient client;
    if (!client.connectTo(server.host(), server.port()) ||
        !client.login(test::ServerProcess::Token).ok) {
        out() << "  cannot log in to the server\n";
        return false;
    }

    // getOperGrup: the two grant reads of one principal.
    qint64 factRows = 0;
    qint64 dimRows = 0;
    const Timing grantsServer = measure(runs, [&] {
        const wire::Response r = client.call(QStringLiteral("getOperGrup"), {principal, {}, {}});
        if (!r.ok)
            throw std::runtime_error(r.errorMessage.toStdString());
        factRows = test::outOf(r).value(1).value<DataPacket>().rowCount();
        dimRows = test::outOf(r).value(2).value<DataPacket>().rowCount();
    });
    const Timing grantsDirect = measure(runs, [&] {
        QSqlQuery facts =
            db::run(db, server::AccessControl::factsSql(server::Principal::Group), {principal});
        drain(facts);
        QSqlQuery dims = db::run(db, server::AccessControl::dimensionsSql(server::Principal::Group),
                                 {principal, principal});
        drain(dims);
    });
    report(QStringLiteral("getOperGrup('%1')").arg(principal), grantsServer, grantsDirect,
           QStringLiteral("%1 fact rows, %2 dimension rows").arg(factRows).arg(dimRows));

    // getPesqFiltro: every value of the dimension's table.
    qint64 searchRows = 0;
    qsizetype payloadBytes = 0;
    const int searchRuns = qMax(3, runs / 4);
    const Timing searchServer = measure(searchRuns, [&] {
        const wire::Response r = client.call(QStringLiteral("getPesqFiltro"), {search});
        if (!r.ok)
            throw std::runtime_error(r.errorMessage.toStdString());
        const DataPacket packet = test::payloadOf(r).value<DataPacket>();
        searchRows = packet.rowCount();
        payloadBytes = packet.byteSize();
    });
    const Timing searchDirect = measure(searchRuns, [&] {
        QSqlQuery query = db::run(db, search);
        drain(query);
    });
    report(QStringLiteral("getPesqFiltro(dimension %1)").arg(dimension), searchServer, searchDirect,
           QStringLiteral("%1 rows, %2 MB of text; server peak RSS %3")
               .arg(searchRows)
               .arg(double(payloadBytes) / 1e6, 0, 'f', 1)
               .arg(peakMemory(server.processId())));
    server.stop();
    db = QSqlDatabase();
    db::closeDatabase(name);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    cli::CommandLine command(
        QStringLiteral("server_bench"),
        QStringLiteral("Latency of getOperGrup and of a whole-dimension getPesqFiltro through the "
                       "server, beside the same SQL run directly."));
    const QCommandLineOption dbOption(QStringLiteral("db"),
                                      QStringLiteral("A generated warehouse (repeatable)."),
                                      QStringLiteral("conn"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Timed runs of getOperGrup (default 20; "
                                                       "the search runs a quarter as often)."),
                                        QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption principalOption(QStringLiteral("principal"),
                                             QStringLiteral("Group code (default 00)."),
                                             QStringLiteral("code"), QStringLiteral("00"));
    const QCommandLineOption dimensionOption(
        QStringLiteral("dimension"),
        QStringLiteral("Dimension number to search (default %1).").arg(db::LargeDimensionNumber),
        QStringLiteral("number"), QString::number(db::LargeDimensionNumber));
    command.addOptions({dbOption, runsOption, principalOption, dimensionOption});
    return command.run(app.arguments(), [&] {
        const QStringList databases = command.values(dbOption);
        if (databases.isEmpty())
            throw cli::UsageError(QStringLiteral("pass --db <conn> (a warehouse made with quv-db "
                                                 "create --size large)"));
        const int runs = int(command.number(runsOption, 1, 1000000));
        const int dimension = int(command.number(dimensionOption, 0, 99999));
        bool ok = true;
        for (const QString &connection : databases)
            ok = benchmark(connection, runs, command.value(principalOption), dimension) && ok;
        return ok ? cli::ExitSuccess : cli::ExitFailure;
    });
}
