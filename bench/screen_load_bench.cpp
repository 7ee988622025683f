// screen_load_bench: how long the screen takes to show a principal's grants
// on a large warehouse, from the remote call until both grant datasets are
// loaded with their marks, beside its parts: the remote call alone, loading
// the packets with their marks alone, and the same SQL the server runs,
// straight through the same Qt driver in the same process. Also walks the
// operator list row by row with the Down key (one remote call per row), and
// closes and opens the screen again (IniProc until both lists and their first
// grants are shown), each beside the same reads done directly, and measures
// the process's memory with the screen open and its lists wholly loaded.
//
//   screen_load_bench --db sqlite:/data/large.db [--db postgres://...]
//                     [--runs N] [--group 00] [--operator OP000000]
//                     [--walk 1000] [--json results.jsonl --label large]
//
// The database must hold a generated warehouse (quv-db create --size large,
// large-tenth or huge); nothing in it is changed. Runs headless (offscreen).
// Prints a table; asserts nothing.

#include "bench/benchsupport.h"
#include "contracts/cli.h"
#include "contracts/package.h"
#include "db/connection.h"
#include "db/sql.h"
#include "framework/app/application.h"
#include "framework/data/dbgeral.h"
#include "framework/data/netconnection.h"
#include "framework/data/servercheck.h"
#include "framework/widgets/busy.h"
#include "framework/widgets/controls.h"
#include "screen/Cli_quv01000.h"
#include "server/accesscontrol.h"
#include "tests/screen/screenfixture.h"
#include "tests/support/serverprocess.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLibrary>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTabBar>
#include <QTest>
#include <QTextStream>

#include <algorithm>
#include <functional>

using namespace quv;
using namespace quv::bench;
using Cli_quv01000::TfrmControleAcesso;

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

/// The statements the server runs for one principal's grants, fetched whole;
/// returns the milliseconds.
double directLoad(const QSqlDatabase &db, server::Principal principal, const QString &code)
{
    QElapsedTimer timer;
    timer.start();
    QSqlQuery facts = db::run(db, server::AccessControl::factsSql(principal), {code});
    drain(facts);
    QSqlQuery dims = db::run(db, server::AccessControl::dimensionsSql(principal), {code, code});
    drain(dims);
    return msSince(timer);
}

void walkOperators(TfrmControleAcesso *form, const QSqlDatabase &db, int steps)
{
    // The operator page, standing on its first row, with the keyboard on the list.
    QTabBar *bar = form->pgcPadrao->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
    test::settle();
    form->qryOperOper->First();
    form->dbgOperador->setFocus();
    test::settle();

    int calls = 0;
    TNetConnection::setTraceHook([&calls](const QString &) { ++calls; });
    Timing perRow;
    Timing direct;
    QString previous = form->qryOperOperCDOPERADOR->AsString();
    for (int i = 0; i < steps; ++i) {
        QElapsedTimer timer;
        timer.start();
        QTest::keyClick(form->dbgOperador, Qt::Key_Down);
        perRow.add(msSince(timer));
        const QString code = form->qryOperOperCDOPERADOR->AsString();
        if (code == previous)
            break; // the end of the list
        previous = code;
        direct.add(directLoad(db, server::Principal::Operator, code));
    }
    TNetConnection::setTraceHook({});
    const auto rows = qint64(perRow.ms.size());
    out() << QStringLiteral("  walking %1 operators with the Down key in dbgOperador: %2 remote "
                            "calls, ms per row\n")
                 .arg(rows)
                 .arg(calls);
    header();
    row(QStringLiteral("Down key until the operator's grants are shown"), perRow);
    row(QStringLiteral("direct SQL of the same operator's grants"), direct);
    out() << QStringLiteral("  p99 %1 ms (target under 20 ms)\n").arg(perRow.at(0.99), 0, 'f', 2);
    Results::instance().add(QStringLiteral("walking operators row by row in dbgOperador"),
                            QStringLiteral("ms/row"), perRow, direct, rows, Results::p99Below(20),
                            {{QStringLiteral("calls"), calls}});
}

void openScreen(OpenScreen &screen, const QSqlDatabase &db, int runs)
{
    // What the screen reads to come up: both lists, and the first group's and
    // the first operator's grants.
    auto *form = screen.form();
    const QString groupSql = form->qryOperGrup->SQL.join(u' ');
    const QString operatorSql = form->qryOperOper->SQL.join(u' ');
    Timing opening;
    screen.reopen();
    for (int i = 0; i < runs; ++i)
        opening.add(screen.reopen());
    form = screen.form();
    const qint64 operators = form->qryOperOper->RecordCount();
    const qint64 groups = form->qryOperGrup->RecordCount();
    const Timing direct = measure(runs, [&] {
        QSqlQuery groupList = db::run(db, groupSql);
        QString firstGroup;
        if (groupList.next())
            firstGroup = groupList.value(0).toString();
        drain(groupList);
        QSqlQuery operatorList = db::run(db, operatorSql);
        QString firstOperator;
        if (operatorList.next())
            firstOperator = operatorList.value(0).toString();
        drain(operatorList);
        directLoad(db, server::Principal::Group, firstGroup);
        directLoad(db, server::Principal::Operator, firstOperator);
    });
    out() << QStringLiteral("  opening the screen: %1 groups, %2 operators, ms\n")
                 .arg(groups)
                 .arg(operators);
    header();
    row(QStringLiteral("IniProc until both lists and first grants shown"), opening);
    row(QStringLiteral("direct SQL: both lists and both first grants"), direct);
    out() << QStringLiteral("  screen / direct SQL: %1x\n")
                 .arg(direct.at(0.5) > 0 ? opening.at(0.5) / direct.at(0.5) : 0, 0, 'f', 2);
    Results::instance().add(QStringLiteral("opening the screen"), QStringLiteral("ms"), opening,
                            direct, operators + groups, Results::ratioAtMost(2));
    Results::instance().add(QStringLiteral("opening the screen, time"), QStringLiteral("ms"),
                            opening, Timing(), operators + groups, Results::medianBelow(60));

    // What the process holds with the screen open once both lists are in: the
    // host's share of it is the same framework and package.
    form->qryOperOper->FetchAll();
    form->qryOperGrup->FetchAll();
    test::settle();
    const double rss = statusMiB("VmRSS");
    out() << QStringLiteral("  memory with the screen open, lists loaded: %1 MiB (target under "
                            "300 MiB)\n")
                 .arg(rss, 0, 'f', 1);
    if (rss > 0)
        Results::instance().add(QStringLiteral("memory with the screen open (VmRSS)"),
                                QStringLiteral("MiB"), Timing{{rss}}, Timing(), operators + groups,
                                Results::maxBelow(300));
}

bool benchmark(const QString &connection, int runs, const QString &group,
               const QString &operatorCode, int walk)
{
    out() << '\n' << db::parseConnectionString(connection).display() << '\n';
    Results::instance().setDatabase(connection);
    test::ServerProcess server;
    if (!server.start(connection, bench::serverArguments())) {
        out() << "  the server did not start: " << server.errorString() << '\n';
        return false;
    }
    OpenScreen screen(connection, server, true);
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
        const Timing direct = measure(runs, [&] { directLoad(db, k.principal, k.code); });
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
        Results::instance().add(k.method + QStringLiteral(" seen from the screen"),
                                QStringLiteral("ms"), screenLoad, direct, factRows + dimRows,
                                Results::ratioAtMost(2),
                                {{QStringLiteral("remoteCallMedian"), remote.at(0.5)},
                                 {QStringLiteral("setDataMedian"), load.at(0.5)}});
    }
    if (walk > 0)
        walkOperators(form, db, walk);
    openScreen(screen, db, runs);
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
    cli::CommandLine command(
        QStringLiteral("screen_load_bench"),
        QStringLiteral("Latency of loading a principal's grants through the screen, beside the "
                       "remote call, the load and the same SQL run directly."));
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
    const QCommandLineOption walkOption(
        QStringLiteral("walk"),
        QStringLiteral("Operators to walk with the Down key (default 1000; 0: none)."),
        QStringLiteral("n"), QStringLiteral("1000"));
    command.addOptions({dbOption, runsOption, groupOption, operatorOption, walkOption});
    Results::addOptions(command.parser());
    return command.run(app.arguments(), [&] {
        Results::instance().configure(command.parser());
        const QStringList databases = command.values(dbOption);
        if (databases.isEmpty())
            throw cli::UsageError(QStringLiteral("pass --db <conn> (a warehouse made with quv-db "
                                                 "create --size large)"));
        const int runs = int(command.number(runsOption, 1, 1000000));
        const int walk = int(command.number(walkOption, 0, 1000000));
        bool ok = true;
        for (const QString &connection : databases)
            ok = benchmark(connection, runs, command.value(groupOption),
                           command.value(operatorOption), walk) &&
                 ok;
        return ok ? cli::ExitSuccess : cli::ExitFailure;
    });
}
