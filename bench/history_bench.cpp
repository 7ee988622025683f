// history_bench: the history of access changes on a warehouse whose trail
// holds many rows (quv-db create --audit-rows 1000000), end to end through
// the real server process and the real package:
//   - getHistorico's first page, the pages after it, one principal's
//     history, each beside the same SQL run directly;
//   - the history window opened from the package's entry until its first
//     page shows, and a further page fetched as the list scrolls;
//   - the undo of a toggle-all of every fact of a group, beside that
//     toggle-all itself.
//
//   history_bench --db sqlite:/path/large.db [--runs 20] [--undo-runs 5]
//                 [--group 01] [--png window.png] [--json results.jsonl --label large]
//
// The group's fact grants are changed while it runs and put back as they were
// at the end (the trail keeps the bench's rows). Prints the figures; asserts
// nothing.

#include "bench/benchsupport.h"
#include "contracts/cli.h"
#include "contracts/history.h"
#include "db/sql.h"
#include "framework/data/servercheck.h"
#include "screen/historywindow.h"
#include "tests/support/rpcclient.h"

#include <QApplication>
#include <QMdiSubWindow>
#include <QTableView>

using namespace quv;
using bench::drain;
using bench::measure;
using bench::out;
using bench::Results;
using bench::Timing;

namespace {

void row(const QString &what, const Timing &t)
{
    out() << QStringLiteral("  %1 %2 ms (p25 %3, p75 %4, p99 %5, n=%6)\n")
                 .arg(what, -46)
                 .arg(t.at(0.5), 8, 'f', 2)
                 .arg(t.at(0.25), 0, 'f', 2)
                 .arg(t.at(0.75), 0, 'f', 2)
                 .arg(t.at(0.99), 0, 'f', 2)
                 .arg(t.ms.size());
    out().flush();
}

/// getHistorico over a raw connection; returns the page's cursor.
QString page(test::RpcClient &client, const QString &principal, const QString &cursor,
             qsizetype *rows = nullptr)
{
    const wire::Response r =
        client.call(QStringLiteral("getHistorico"),
                    {principal, QString(), QString(), QString(), QString(), cursor, QString()});
    if (!r.ok)
        throw std::runtime_error("getHistorico failed: " + r.errorMessage.toStdString());
    const QVariantMap payload = test::payloadOf(r).toMap();
    if (rows)
        *rows = payload.value(QStringLiteral("rows")).toList().size();
    return payload.value(QStringLiteral("next")).toString();
}

qint64 directPage(const QSqlDatabase &db, const QString &condition, const QVariantList &values)
{
    QSqlQuery q = db::run(db,
                          QStringLiteral("SELECT IDAUDITORIA, DTAUDITORIA, NMADMINISTRADOR, "
                                         "NMMETODO, TPPRINCIPAL, CDPRINCIPAL, DSITENS, DSANTES, "
                                         "DSDEPOIS, IDAUDITORIADESFEITA FROM AUDITORIA") +
                              condition + QStringLiteral(" ORDER BY IDAUDITORIA DESC LIMIT 51"),
                          values);
    return drain(q);
}

void pages(test::RpcClient &client, const QSqlDatabase &db, int runs)
{
    out() << "  getHistorico, 50 rows a page:\n";
    const Timing first = measure(runs, [&] { page(client, {}, {}); });
    const Timing firstDirect = measure(runs, [&] { directPage(db, {}, {}); });
    row(QStringLiteral("first page"), first);
    row(QStringLiteral("  same SQL, direct"), firstDirect);
    Results::instance().add(QStringLiteral("history: first page"), QStringLiteral("ms"), first,
                            firstDirect, 50, Results::p99Below(200));

    // Pages further and further back, each from the cursor of the last.
    Timing next, nextDirect;
    QString cursor = page(client, {}, {});
    page(client, {}, cursor);
    for (int i = 0; i < runs && !cursor.isEmpty(); ++i) {
        QElapsedTimer timer;
        timer.start();
        const QString after = page(client, {}, cursor);
        next.add(bench::msSince(timer));
        timer.start();
        directPage(db, QStringLiteral(" WHERE IDAUDITORIA < ?"), {cursor.toLongLong()});
        nextDirect.add(bench::msSince(timer));
        cursor = after;
    }
    row(QStringLiteral("next page"), next);
    row(QStringLiteral("  same SQL, direct"), nextDirect);
    Results::instance().add(QStringLiteral("history: next page"), QStringLiteral("ms"), next,
                            nextDirect, 50, Results::p99Below(50));

    // The principal with the most rows, and one with few.
    QSqlQuery busiest = db::run(db, QStringLiteral("SELECT TPPRINCIPAL, CDPRINCIPAL FROM "
                                                   "AUDITORIA GROUP BY TPPRINCIPAL, CDPRINCIPAL "
                                                   "ORDER BY COUNT(*) DESC LIMIT 1"));
    QSqlQuery quiet = db::run(db, QStringLiteral("SELECT TPPRINCIPAL, CDPRINCIPAL FROM AUDITORIA "
                                                 "WHERE TPPRINCIPAL = 'O' ORDER BY IDAUDITORIA "
                                                 "LIMIT 1"));
    for (QSqlQuery *q : {&busiest, &quiet}) {
        if (!q->next())
            continue;
        const QString kind = q->value(0).toString();
        const QString code = q->value(1).toString();
        qsizetype rows = 0;
        const Timing principal = measure(runs, [&] { page(client, kind + code, {}, &rows); });
        const Timing direct = measure(runs, [&] {
            directPage(db, QStringLiteral(" WHERE TPPRINCIPAL = ? AND CDPRINCIPAL = ?"),
                       {kind, code});
        });
        row(QStringLiteral("history of %1 (%2 rows)").arg(kind + code).arg(rows), principal);
        row(QStringLiteral("  same SQL, direct"), direct);
        Results::instance().add(
            QStringLiteral("history: one principal (%1)")
                .arg(q == &busiest ? QStringLiteral("the busiest") : QStringLiteral("an operator")),
            QStringLiteral("ms"), principal, direct, rows, Results::p99Below(200));
    }
}

void window(const QString &packagePath, int runs, const QString &png)
{
    QLibrary package(packagePath);
    const auto entry = reinterpret_cast<QuvIniProc>(package.resolve("IniProcHistorico"));
    if (!entry)
        throw std::runtime_error("the package has no IniProcHistorico");
    const auto close = [] {
        if (auto *w = Cli_quv01000::HistoryWindow::instance()) {
            w->parentWidget()->close();
            test::settle();
        }
    };
    Timing opening;
    for (int i = 0; i <= runs; ++i) {
        close();
        QElapsedTimer timer;
        timer.start();
        entry();
        QCoreApplication::processEvents();
        if (i > 0)
            opening.add(bench::msSince(timer));
    }
    auto *w = Cli_quv01000::HistoryWindow::instance();
    if (!w || w->model->rowCount() == 0)
        throw std::runtime_error("the history window did not show its first page");
    Timing scroll;
    for (int i = 0; i < runs && w->model->canFetchMore({}); ++i) {
        QElapsedTimer timer;
        timer.start();
        w->model->fetchMore({});
        scroll.add(bench::msSince(timer));
    }
    out() << "  the history window:\n";
    row(QStringLiteral("IniProcHistorico until the first page shows"), opening);
    row(QStringLiteral("a further page as the list scrolls"), scroll);
    Results::instance().add(QStringLiteral("history window: opening"), QStringLiteral("ms"),
                            opening, {}, w->model->rowCount(), Results::p99Below(200));
    Results::instance().add(QStringLiteral("history window: next page on scroll"),
                            QStringLiteral("ms"), scroll, {}, 50, Results::p99Below(50));
    if (!png.isEmpty()) {
        // The newest row that changed something, so that the details show.
        int shown = 0;
        while (w->model->entry(shown) && !w->model->entry(shown)->changed())
            ++shown;
        w->grdHistorico->scrollToTop();
        w->grdHistorico->selectRow(w->model->entry(shown) ? shown : 0);
        test::settle();
        if (!w->parentWidget()->grab().save(png))
            throw std::runtime_error("cannot write " + png.toStdString());
        out() << "  window saved to " << png << '\n';
    }
    close();
}

void undo(test::RpcClient &client, const QSqlDatabase &db, const QString &group, int runs)
{
    DataPacket all({{QStringLiteral("CDTABELADW"), 30}, {QStringLiteral("CDITEMDW"), 30}});
    QSqlQuery items = db::run(db, QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM ITEMDW"));
    while (items.next()) {
        all.appendCell(items.value(0).toString());
        all.appendCell(items.value(1).toString());
        all.endRow();
    }
    QList<QVariantList> saved;
    QSqlQuery held = db::run(db,
                             QStringLiteral("SELECT CDGRUPOPER, CDTABELADW, CDITEMDW FROM "
                                            "ITEMDWGRUPOP WHERE CDGRUPOPER = ?"),
                             {group});
    while (held.next())
        saved.append({held.value(0), held.value(1), held.value(2)});
    held = QSqlQuery();

    const auto call = [&client](const QString &method, const QVariantList &params) {
        const wire::Response r = client.call(method, params);
        if (!r.ok)
            throw std::runtime_error(method.toStdString() +
                                     " failed: " + r.errorMessage.toStdString());
        return r;
    };
    const auto toggleAll = [&](bool grant) {
        call(QStringLiteral("setTChkFatoOpGrup"),
             {group, QVariant::fromValue(all), QVariant(), grant});
    };
    toggleAll(false); // so that every grant-all changes every item
    Timing toggle, undone;
    for (int i = 0; i <= runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        toggleAll(true);
        const double toggled = bench::msSince(timer);
        QString id;
        {
            QSqlQuery last = db::run(db, QStringLiteral("SELECT MAX(IDAUDITORIA) FROM AUDITORIA"));
            if (last.next())
                id = last.value(0).toString();
        }
        timer.start();
        call(QStringLiteral("desfazAlteracao"), {id});
        if (i > 0) {
            toggle.add(toggled);
            undone.add(bench::msSince(timer));
        }
    }
    {
        db::Transaction transaction(db);
        db::run(db, QStringLiteral("DELETE FROM ITEMDWGRUPOP WHERE CDGRUPOPER = ?"), {group});
        db::execInBatches(db,
                          QStringLiteral("INSERT INTO ITEMDWGRUPOP (CDGRUPOPER, CDTABELADW, "
                                         "CDITEMDW) VALUES %1"),
                          {}, QStringLiteral("(?,?,?)"), saved);
        transaction.commit();
    }
    out()
        << QStringLiteral("  every fact of group %1 (%2 items):\n").arg(group).arg(all.rowCount());
    row(QStringLiteral("toggle-all granting them"), toggle);
    row(QStringLiteral("undo of that toggle-all"), undone);
    Results::instance().add(QStringLiteral("history: undo of a toggle-all (baseline: the "
                                           "toggle-all)"),
                            QStringLiteral("ms"), undone, toggle, all.rowCount(),
                            Results::ratioAtMost(2));
}

bool benchmark(const QString &connection, int runs, int undoRuns, const QString &group,
               const QString &png)
{
    out() << '\n' << db::parseConnectionString(connection).display() << '\n';
    Results::instance().setDatabase(connection);
    const QString directName = QStringLiteral("history-bench-direct");
    QSqlDatabase db = db::openDatabase(connection, directName);
    qint64 trail = 0;
    {
        QSqlQuery q = db::run(db, QStringLiteral("SELECT COUNT(*) FROM AUDITORIA"));
        trail = q.next() ? q.value(0).toLongLong() : 0;
    }
    out() << "  the trail holds " << trail << " rows\n";
    test::ServerProcess server;
    if (!server.start(connection, bench::serverArguments())) {
        out() << "  the server did not start: " << server.errorString() << '\n';
        return false;
    }
    test::RpcClient client;
    if (!client.connectTo(server.host(), server.port()) ||
        !client.login(test::ServerProcess::Token).ok) {
        out() << "  cannot log in to the server\n";
        return false;
    }
    pages(client, db, runs);
    bool ok = true;
    {
        bench::OpenScreen screen(connection, server, true);
        window(QCoreApplication::applicationDirPath() + QStringLiteral("/libPKG_QUV01000.so"), runs,
               png);
        if (!screen.errors().isEmpty()) {
            out() << "  errors shown: " << screen.errors().join(QStringLiteral("; ")) << '\n';
            ok = false;
        }
    }
    undo(client, db, group, undoRuns);
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
    quv::cli::CommandLine command(
        QStringLiteral("history_bench"),
        QStringLiteral("The history of access changes on a large audit trail: pages, one "
                       "principal, the window, and the undo of a toggle-all beside the "
                       "toggle-all."));
    const QCommandLineOption dbOption(QStringLiteral("db"),
                                      QStringLiteral("A generated warehouse (repeatable)."),
                                      QStringLiteral("conn"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Timed runs per step (default 20)."),
                                        QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption undoRunsOption(
        QStringLiteral("undo-runs"), QStringLiteral("Timed toggle-all and undo pairs (default 5)."),
        QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption groupOption(QStringLiteral("group"),
                                         QStringLiteral("Group whose facts are toggled (default "
                                                        "01)."),
                                         QStringLiteral("code"), QStringLiteral("01"));
    const QCommandLineOption pngOption(QStringLiteral("png"),
                                       QStringLiteral("Save the history window to this file."),
                                       QStringLiteral("file"));
    command.addOptions({dbOption, runsOption, undoRunsOption, groupOption, pngOption});
    Results::addOptions(command.parser());
    return command.run(app.arguments(), [&] {
        Results::instance().configure(command.parser());
        const QStringList databases = command.values(dbOption);
        if (databases.isEmpty())
            throw quv::cli::UsageError(
                QStringLiteral("pass --db <conn> (a warehouse made with quv-db "
                               "create --audit-rows N)"));
        const int runs = int(command.number(runsOption, 1, 1000000));
        const int undoRuns = int(command.number(undoRunsOption, 1, 1000000));
        bool ok = true;
        for (const QString &connection : databases)
            ok = benchmark(connection, runs, undoRuns, command.value(groupOption),
                           command.value(pngOption)) &&
                 ok;
        return ok ? quv::cli::ExitSuccess : quv::cli::ExitFailure;
    });
}
