// screen_load_bench: how long the screen takes to show a principal's grants
// on a large warehouse, from the remote call until both grant datasets are
// loaded with their marks, beside its parts: the remote call alone, loading
// the packets with their marks alone, and the same SQL the server runs,
// straight through the same Qt driver in the same process.
//
//   screen_load_bench --db sqlite:/data/large.db [--db postgres://...]
//                     [--runs N] [--group 00] [--operator OP000000]
//
// The database must hold a generated warehouse (quv-db create --size large
// or large-tenth); nothing in it is changed. Runs headless (offscreen).
// Prints a table; asserts nothing.

#include "bench/benchsupport.h"
#include "contracts/package.h"
#include "db/connection.h"
#include "db/sql.h"
#include "framework/application.h"
#include "framework/busy.h"
#include "framework/dbgeral.h"
#include "framework/netconnection.h"
#include "framework/servercheck.h"
#include "screen/Cli_quv01000.h"
#include "server/accesscontrol.h"
#include "tests/screen/screenfixture.h"
#include "tests/support/serverprocess.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QLibrary>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextStream>

#include <algorithm>
#include <functional>

using namespace quv;
using namespace quv::bench;

namespace {

void header()
{
    out() << QStringLiteral("  %1 %2 %3 %4 %5 %6\n")
                 .arg(QStringLiteral("step"), -46)
                 .arg(QStringLiteral("median"), 9)
                 .arg(QStringLiteral("p25"), 9)
                 .arg(QStringLiteral("p75"), 9)
                 .arg(QStringLiteral("min"), 9)
                 .arg(QStringLiteral("max"), 9);
}

void row(const QString &what, const Timing &t)
{
    out() << QStringLiteral("  %1 %2 %3 %4 %5 %6\n")
                 .arg(what, -46)
                 .arg(t.at(0.5), 9, 'f', 2)
                 .arg(t.at(0.25), 9, 'f', 2)
                 .arg(t.at(0.75), 9, 'f', 2)
                 .arg(t.at(0), 9, 'f', 2)
                 .arg(t.at(1), 9, 'f', 2);
    out().flush();
}

bool benchmark(const QString &connection, int runs, const QString &group,
               const QString &operatorCode)
{
    out() << '\n' << db::parseConnectionString(connection).display() << '\n';
    test::ServerProcess server;
    if (!server.start(connection)) {
        out() << "  the server did not start: " << server.errorString() << '\n';
        return false;
    }
    OpenScreen screen(connection, server);
    auto *form = screen.form();
    const QString directName = QStringLiteral("screen-load-bench-direct");
    QSqlDatabase db = db::openDatabase(connection, directName);

    struct Kind
    {
        QString letter, code, method;
        server::Principal principal;
        TClientDataSet *facts, *dimensions;
    };
    const Kind kinds[] = {
        {QStringLiteral("G"), group, QStringLiteral("getOperGrup"), server::Principal::Group,
         form->cdsFatoOperGrup, form->cdsDimeOperGrup},
        {QStringLiteral("O"), operatorCode, QStringLiteral("getOperOper"),
         server::Principal::Operator, form->cdsFatoOperOper, form->cdsDimeOperOper},
    };
    bool ok = true;
    for (const Kind &k : kinds) {
        // The dimension marks compare with the list's current row: stand on
        // the principal so that they come out as a user would see them.
        TADOIBQuery *list = k.letter == QLatin1String("G") ? form->qryOperGrup : form->qryOperOper;
        if (!list->Locate(k.letter == QLatin1String("G") ? QStringLiteral("CDGRUPOPER")
                                                         : QStringLiteral("CDOPERADOR"),
                          k.code, {})) {
            out() << "  " << k.code << " is not in the list\n";
            ok = false;
            continue;
        }
        const QString key = k.letter + k.code;
        const Timing screenLoad = measure(runs, [&] { form->changeRow(key); });
        const qsizetype factRows = k.facts->RecordCount();
        const qsizetype dimRows = k.dimensions->RecordCount();
        qsizetype granted = 0;
        const TField *check = k.dimensions->FieldByName(QStringLiteral("IDCHECK"));
        for (qsizetype r = 0; r < dimRows; ++r)
            granted += k.dimensions->CellText(r, check) == QLatin1String("S");

        QVariantList args;
        const Timing remote = measure(runs, [&] {
            args = {k.code, QVariant(), QVariant()};
            CheckResultServ(form->netControleAcesso->AppServer().Call(k.method, args), true, 0);
        });
        const Timing load = measure(runs, [&] {
            k.facts->SetData(args[1]);
            k.dimensions->SetData(args[2]);
        });
        const Timing busy = measure(runs, [&] {
            ActiveShowAvi(Application->MainForm(), 1);
            DeactiveShowAvi();
        });
        const Timing direct = measure(runs, [&] {
            QSqlQuery facts = db::run(db, server::AccessControl::factsSql(k.principal), {k.code});
            drain(facts);
            QSqlQuery dims =
                db::run(db, server::AccessControl::dimensionsSql(k.principal), {k.code, k.code});
            drain(dims);
        });
        out() << QStringLiteral("  %1('%2'): %3 fact rows, %4 dimension rows (%5 granted), "
                                "%6 runs, ms\n")
                     .arg(k.method, k.code)
                     .arg(factRows)
                     .arg(dimRows)
                     .arg(granted)
                     .arg(runs);
        header();
        row(QStringLiteral("screen changeRow (call + both loads + marks)"), screenLoad);
        row(QStringLiteral("  remote call alone, same connection"), remote);
        row(QStringLiteral("  SetData of both packets with marks"), load);
        row(QStringLiteral("  busy indicator shown and hidden"), busy);
        row(QStringLiteral("direct SQL, same Qt driver, same process"), direct);
        out() << QStringLiteral("  screen / direct SQL: %1x\n")
                     .arg(direct.at(0.5) > 0 ? screenLoad.at(0.5) / direct.at(0.5) : 0, 0, 'f', 2);
    }
    if (!screen.errors().isEmpty()) {
        out() << "  errors shown: " << screen.errors().join(QStringLiteral("; ")) << '\n';
        ok = false;
    }
    db = QSqlDatabase();
    db::closeDatabase(directName);
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Latency of loading a principal's grants through the screen, beside the "
                       "remote call, the load and the same SQL run directly."));
    parser.addHelpOption();
    const QCommandLineOption dbOption(QStringLiteral("db"),
                                      QStringLiteral("A generated warehouse (repeatable)."),
                                      QStringLiteral("conn"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Timed runs per step (default 30)."),
                                        QStringLiteral("n"), QStringLiteral("30"));
    const QCommandLineOption groupOption(QStringLiteral("group"),
                                         QStringLiteral("Group code (default 00)."),
                                         QStringLiteral("code"), QStringLiteral("00"));
    const QCommandLineOption operatorOption(QStringLiteral("operator"),
                                            QStringLiteral("Operator code (default OP000000)."),
                                            QStringLiteral("code"), QStringLiteral("OP000000"));
    parser.addOptions({dbOption, runsOption, groupOption, operatorOption});
    parser.process(app);
    const QStringList databases = parser.values(dbOption);
    if (databases.isEmpty()) {
        QTextStream(stderr) << "screen_load_bench: pass --db <conn> (a warehouse made with "
                               "quv-db create --size large)\n";
        return 2;
    }
    bool numeric = false;
    const int runs = parser.value(runsOption).toInt(&numeric);
    if (!numeric || runs < 1) {
        QTextStream(stderr) << "screen_load_bench: --runs takes a whole number of at least 1\n";
        return 2;
    }
    bool ok = true;
    try {
        for (const QString &connection : databases)
            ok = benchmark(connection, runs, parser.value(groupOption),
                           parser.value(operatorOption)) &&
                 ok;
    } catch (const std::exception &e) {
        QTextStream(stderr) << "screen_load_bench: " << e.what() << '\n';
        return 1;
    }
    return ok ? 0 : 1;
}
