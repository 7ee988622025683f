// screen_toggle_bench: how long the screen takes to change grants on a
// generated warehouse, end to end through the real package, server process
// and database: one fact, one dimension (remote call, reload of the grid,
// return to the row), and every fact or every dimension of a group from the
// title of the check column. Each is shown beside a baseline: the same
// updates and the same select run directly through the same Qt driver in one
// transaction.
//
//   screen_toggle_bench --db sqlite:/path/large.db [--group 01] [--runs 20]
//                       [--bulk-runs 8] [--json results.jsonl --label large]
//
// The group's grants are changed while it runs and put back as they were at
// the end. Prints the figures; it asserts nothing.

#include "bench/benchsupport.h"
#include "contracts/cli.h"
#include "db/connection.h"
#include "db/sql.h"
#include "framework/app/application.h"
#include "framework/data/dbgeral.h"
#include "server/accesscontrol.h"
#include "tests/screen/screenfixture.h"
#include "tests/support/serverprocess.h"

#include "contracts/package.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLibrary>
#include <QMessageBox>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <optional>

using namespace quv;
using bench::drain;
using bench::out;
using bench::Timing;
using Cli_quv01000::TfrmControleAcesso;

namespace {

template <class F> double timed(F &&body)
{
    QElapsedTimer timer;
    timer.start();
    body();
    return double(timer.nsecsElapsed()) / 1e6;
}

void report(const QString &what, const Timing &screen, const Timing &direct, const QString &rows,
            qint64 rowCount)
{
    bench::Results::instance().add(what, QStringLiteral("ms"), screen, direct, rowCount,
                                   bench::Results::ratioAtMost(2));
    const auto spread = [](const Timing &t) {
        return QStringLiteral("%1 ms (min %2, p90 %3, max %4, n=%5)")
            .arg(t.at(0.5), 7, 'f', 1)
            .arg(t.at(0), 0, 'f', 1)
            .arg(t.at(0.9), 0, 'f', 1)
            .arg(t.at(1), 0, 'f', 1)
            .arg(t.ms.size());
    };
    out() << QStringLiteral("%1 | screen %2 | direct %3 | x%4 | %5\n")
                 .arg(what, -22)
                 .arg(spread(screen), spread(direct))
                 .arg(direct.at(0.5) > 0 ? screen.at(0.5) / direct.at(0.5) : 0, 0, 'f', 1)
                 .arg(rows);
    out().flush();
}

/// Answers every confirmation with Yes as soon as it shows: clearing the
/// dimensions of a group asks first.
class AnswerYes : public QObject
{
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            if (auto *box = qobject_cast<QMessageBox *>(watched))
                QTimer::singleShot(0, box, [box] {
                    if (auto *yes = box->findChild<QAbstractButton *>(QStringLiteral("btnYes")))
                        yes->click();
                });
        return false;
    }
};

/// The group's grant and filter rows, to put back at the end.
struct Snapshot
{
    QList<QVariantList> facts, dimensions, filters;
};

Snapshot snapshot(const QSqlDatabase &db, const QString &group)
{
    Snapshot s;
    auto read = [&](const QString &sql, QList<QVariantList> &into) {
        QSqlQuery q = db::run(db, sql, {group});
        const int columns = q.record().count();
        while (q.next()) {
            QVariantList row;
            for (int c = 0; c < columns; ++c)
                row.append(q.value(c));
            into.append(row);
        }
    };
    read(QStringLiteral("SELECT CDGRUPOPER, CDTABELADW, CDITEMDW FROM ITEMDWGRUPOP "
                        "WHERE CDGRUPOPER = ?"),
         s.facts);
    read(QStringLiteral("SELECT CDGRUPOPER, NRSEQUEDIME FROM DIMEDWGRUPOP WHERE CDGRUPOPER = ?"),
         s.dimensions);
    read(QStringLiteral("SELECT CDGRUPOPER, NRSEQUEDIME, CDFILDIMEGRUPOP FROM FILDIMEGRUPOP "
                        "WHERE CDGRUPOPER = ?"),
         s.filters);
    return s;
}

void restore(const QSqlDatabase &db, const QString &group, const Snapshot &s)
{
    db::Transaction transaction(db);
    for (const char *table : {"FILDIMEGRUPOP", "DIMEDWGRUPOP", "ITEMDWGRUPOP"})
        db::run(db,
                QStringLiteral("DELETE FROM %1 WHERE CDGRUPOPER = ?").arg(QLatin1StringView(table)),
                {group});
    db::execInBatches(db,
                      QStringLiteral("INSERT INTO ITEMDWGRUPOP (CDGRUPOPER, CDTABELADW, CDITEMDW) "
                                     "VALUES %1"),
                      {}, QStringLiteral("(?,?,?)"), s.facts);
    db::execInBatches(
        db, QStringLiteral("INSERT INTO DIMEDWGRUPOP (CDGRUPOPER, NRSEQUEDIME) VALUES %1"), {},
        QStringLiteral("(?,?)"), s.dimensions);
    db::execInBatches(db,
                      QStringLiteral("INSERT INTO FILDIMEGRUPOP (CDGRUPOPER, NRSEQUEDIME, "
                                     "CDFILDIMEGRUPOP) VALUES %1"),
                      {}, QStringLiteral("(?,?,?)"), s.filters);
    transaction.commit();
}

struct Bench
{
    TfrmControleAcesso *form;
    QSqlDatabase direct;
    QString group;
    int runs;
    int bulkRuns;

    const QString factsSql = server::AccessControl::factsSql(server::Principal::Group);
    const QString dimensionsSql = server::AccessControl::dimensionsSql(server::Principal::Group);

    qint64 selectFacts() const
    {
        QSqlQuery q = db::run(direct, factsSql, {group});
        return drain(q);
    }
    qint64 selectDimensions() const
    {
        QSqlQuery q = db::run(direct, dimensionsSql, {group, group});
        return drain(q);
    }

    void singleFact()
    {
        TClientDataSet *facts = form->cdsFatoOperGrup;
        facts->setRecNo(facts->RecordCount() / 2);
        const QString table = facts->FieldByName(QStringLiteral("CDTABELADW"))->AsString();
        const QString item = facts->FieldByName(QStringLiteral("CDITEMDW"))->AsString();
        Timing screen;
        for (int i = 0; i < 2 * runs + 1; ++i) {
            const double ms = timed([&] { form->alteraCheck(Cli_quv01000::GridFatosGrup); });
            if (facts->FieldByName(QStringLiteral("CDITEMDW"))->AsString() != item)
                throw std::runtime_error("the fact toggle did not return to its row");
            if (i > 0) // the first one warms the caches
                screen.ms.append(ms);
        }
        const bool grantedNow =
            facts->FieldByName(QStringLiteral("IDCHECK"))->AsString() == QLatin1StringView("S");
        Timing baseline;
        bool grant = !grantedNow;
        for (int i = 0; i < 2 * runs; ++i, grant = !grant)
            baseline.ms.append(timed([&] {
                db::Transaction transaction(direct);
                if (grant)
                    db::run(direct,
                            QStringLiteral("INSERT INTO ITEMDWGRUPOP (CDGRUPOPER, CDTABELADW, "
                                           "CDITEMDW) VALUES (?, ?, ?)"),
                            {group, table, item});
                else
                    db::run(direct,
                            QStringLiteral("DELETE FROM ITEMDWGRUPOP WHERE CDGRUPOPER = ? AND "
                                           "CDTABELADW = ? AND CDITEMDW = ?"),
                            {group, table, item});
                selectFacts();
                transaction.commit();
            }));
        report(QStringLiteral("single fact toggle"), screen, baseline,
               QStringLiteral("%1/%2, %3 rows reloaded").arg(table, item).arg(facts->RecordCount()),
               facts->RecordCount());
    }

    void singleDimension()
    {
        TClientDataSet *dimensions = form->cdsDimeOperGrup;
        // A dimension without a filter: revoking it asks nothing.
        qsizetype row = dimensions->RecordCount() / 2;
        const TField *filter = dimensions->FieldByName(QStringLiteral("IDFILTRO"));
        while (row < dimensions->RecordCount() &&
               dimensions->CellText(row, filter) == QLatin1StringView("S"))
            ++row;
        if (row == dimensions->RecordCount())
            throw std::runtime_error("no unfiltered dimension in the second half of the grid");
        dimensions->setRecNo(row + 1);
        const QString number = dimensions->FieldByName(QStringLiteral("NRSEQUEDIME"))->AsString();
        Timing screen;
        for (int i = 0; i < 2 * runs + 1; ++i) {
            const double ms = timed([&] { form->alteraCheck(Cli_quv01000::GridDimeGrup); });
            if (dimensions->FieldByName(QStringLiteral("NRSEQUEDIME"))->AsString() != number)
                throw std::runtime_error("the dimension toggle did not return to its row");
            if (i > 0)
                screen.ms.append(ms);
        }
        const bool grantedNow = dimensions->FieldByName(QStringLiteral("IDCHECK"))->AsString() ==
                                QLatin1StringView("S");
        Timing baseline;
        bool grant = !grantedNow;
        for (int i = 0; i < 2 * runs; ++i, grant = !grant)
            baseline.ms.append(timed([&] {
                db::Transaction transaction(direct);
                if (grant) {
                    db::run(direct,
                            QStringLiteral("INSERT INTO DIMEDWGRUPOP (CDGRUPOPER, NRSEQUEDIME) "
                                           "VALUES (?, ?)"),
                            {group, number.toInt()});
                } else {
                    for (const char *table : {"FILDIMEGRUPOP", "DIMEDWGRUPOP"})
                        db::run(direct,
                                QStringLiteral("DELETE FROM %1 WHERE CDGRUPOPER = ? AND "
                                               "NRSEQUEDIME = ?")
                                    .arg(QLatin1StringView(table)),
                                {group, number.toInt()});
                }
                selectDimensions();
                transaction.commit();
            }));
        report(QStringLiteral("single dimension toggle"), screen, baseline,
               QStringLiteral("dimension %1, %2 rows reloaded")
                   .arg(number)
                   .arg(dimensions->RecordCount()),
               dimensions->RecordCount());
    }

    void wholeGrid(bool dimensionsGrid)
    {
        TDBGrid *grid = dimensionsGrid ? form->dbgDimeGrup : form->dbgFatosGrup;
        TClientDataSet *dataSet = dimensionsGrid ? form->cdsDimeOperGrup : form->cdsFatoOperGrup;
        const bool &flag =
            dimensionsGrid ? Cli_quv01000::boTChkDimeOpGrup : Cli_quv01000::boTChkFatoOpGrup;
        auto click = [&] {
            if (dimensionsGrid)
                form->dbgDimeGrupTitleClick(grid->Column(0));
            else
                form->dbgFatosGrupTitleClick(grid->Column(0));
        };
        // Two untimed clicks first: from then on the grid goes between all
        // rows granted and none.
        click();
        click();
        Timing mark, clear;
        for (int i = 0; i < 2 * bulkRuns; ++i) {
            const double ms = timed(click);
            (flag ? mark : clear).ms.append(ms);
        }

        // The baseline makes the same changes: every row of the catalog in,
        // then every row out.
        QList<QVariantList> keys;
        QSqlQuery catalog =
            db::run(direct, dimensionsGrid ? QStringLiteral("SELECT NRSEQUEDIME FROM DIMEDW")
                                           : QStringLiteral("SELECT CDTABELADW, CDITEMDW "
                                                            "FROM ITEMDW"));
        while (catalog.next())
            keys.append(dimensionsGrid ? QVariantList{catalog.value(0)}
                                       : QVariantList{catalog.value(0), catalog.value(1)});
        catalog = QSqlQuery();
        QList<QVariantList> inserts;
        for (const QVariantList &key : std::as_const(keys))
            inserts.append(QVariantList{group} + key);
        const QString table =
            dimensionsGrid ? QStringLiteral("DIMEDWGRUPOP") : QStringLiteral("ITEMDWGRUPOP");
        // Start from none granted, as a mark-all of the screen did.
        db::run(direct, QStringLiteral("DELETE FROM FILDIMEGRUPOP WHERE CDGRUPOPER = ?"), {group});
        db::run(direct, QStringLiteral("DELETE FROM %1 WHERE CDGRUPOPER = ?").arg(table), {group});
        Timing markDirect, clearDirect;
        for (int i = 0; i < bulkRuns; ++i) {
            markDirect.ms.append(timed([&] {
                db::Transaction transaction(direct);
                if (dimensionsGrid)
                    db::execInBatches(direct,
                                      QStringLiteral("INSERT INTO DIMEDWGRUPOP (CDGRUPOPER, "
                                                     "NRSEQUEDIME) VALUES %1"),
                                      {}, QStringLiteral("(?,?)"), inserts);
                else
                    db::execInBatches(direct,
                                      QStringLiteral("INSERT INTO ITEMDWGRUPOP (CDGRUPOPER, "
                                                     "CDTABELADW, CDITEMDW) VALUES %1"),
                                      {}, QStringLiteral("(?,?,?)"), inserts);
                dimensionsGrid ? selectDimensions() : selectFacts();
                transaction.commit();
            }));
            clearDirect.ms.append(timed([&] {
                db::Transaction transaction(direct);
                if (dimensionsGrid) {
                    for (const char *t : {"FILDIMEGRUPOP", "DIMEDWGRUPOP"})
                        db::execInBatches(direct,
                                          QStringLiteral("DELETE FROM %1 WHERE CDGRUPOPER = ? AND "
                                                         "NRSEQUEDIME IN (%2)")
                                              .arg(QLatin1StringView(t), QStringLiteral("%1")),
                                          {group}, QStringLiteral("?"), keys);
                } else {
                    db::execInBatches(direct,
                                      QStringLiteral("DELETE FROM ITEMDWGRUPOP WHERE CDGRUPOPER = "
                                                     "? AND (CDTABELADW, CDITEMDW) IN (VALUES "
                                                     "%1)"),
                                      {group}, QStringLiteral("(?,?)"), keys);
                }
                dimensionsGrid ? selectDimensions() : selectFacts();
                transaction.commit();
            }));
        }
        const QString what =
            dimensionsGrid ? QStringLiteral("dimensions") : QStringLiteral("facts");
        const QString rows = QStringLiteral("%1 rows").arg(dataSet->RecordCount());
        report(QStringLiteral("toggle-all %1, mark").arg(what), mark, markDirect, rows,
               dataSet->RecordCount());
        report(QStringLiteral("toggle-all %1, clear").arg(what), clear, clearDirect,
               dimensionsGrid ? rows + QStringLiteral(" (screen includes the confirmation)") : rows,
               dataSet->RecordCount());
    }
};

} // namespace

int main(int argc, char *argv[])
{
    // Headless by default: nothing here needs to be looked at.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    cli::CommandLine command(
        QStringLiteral("screen_toggle_bench"),
        QStringLiteral("End-to-end time of the screen's grant toggles on a generated warehouse, "
                       "beside the same updates and select run directly. Changes the group's "
                       "grants while it runs and puts them back at the end."));
    const QCommandLineOption dbOption(QStringLiteral("db"),
                                      QStringLiteral("A generated warehouse (quv-db create --size "
                                                     "large)."),
                                      QStringLiteral("conn"));
    const QCommandLineOption groupOption(QStringLiteral("group"),
                                         QStringLiteral("Group code (default 01)."),
                                         QStringLiteral("code"), QStringLiteral("01"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Single toggles each way (default 20)."),
                                        QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption bulkOption(QStringLiteral("bulk-runs"),
                                        QStringLiteral("Whole-grid toggles each way (default 8)."),
                                        QStringLiteral("n"), QStringLiteral("8"));
    command.addOptions({dbOption, groupOption, runsOption, bulkOption});
    bench::Results::addOptions(command.parser());
    if (const std::optional<int> done = command.parse(app.arguments()))
        return *done;
    bench::Results::instance().configure(command.parser());
    const QString connection = command.value(dbOption);
    const QString group = command.value(groupOption);
    int runs = 0;
    int bulkRuns = 0;
    try {
        if (connection.isEmpty())
            throw cli::UsageError(QStringLiteral("pass --db <conn> (a warehouse made with quv-db "
                                                 "create --size large)"));
        runs = int(command.number(runsOption, 1, 1000000));
        bulkRuns = int(command.number(bulkOption, 1, 1000000));
    } catch (const cli::UsageError &e) {
        return command.usageError(e.message());
    }

    const QString directName = QStringLiteral("toggle-bench-direct");
    std::optional<Snapshot> saved;
    QSqlDatabase direct;
    int status = 0;
    {
        test::ServerProcess server;
        test::TestHost host;
        TdtmDBGeral dbGeral;
        QLibrary package(QStringLiteral(QUV_BIN_DIR "/libPKG_QUV01000.so"));
        QuvFinalizeProc finalize = nullptr;
        try {
            bench::Results::instance().setDatabase(connection);
            direct = db::openDatabase(connection, directName);
            QSqlQuery exists = db::run(
                direct, QStringLiteral("SELECT 1 FROM GRUPOPER WHERE CDGRUPOPER = ?"), {group});
            if (!exists.next())
                throw std::runtime_error("group " + group.toStdString() +
                                         " is not in the database");
            exists = QSqlQuery();
            saved = snapshot(direct, group);

            if (!server.start(connection, bench::serverArguments()))
                throw std::runtime_error("the server did not start: " +
                                         server.errorString().toStdString());
            host.serverHost = server.host();
            host.serverPort = server.port();
            dbGeral.Open(connection);
            dtmDBGeral = &dbGeral;

            if (!package.load())
                throw std::runtime_error(package.errorString().toStdString());
            auto initialize = reinterpret_cast<QuvInitializeProc>(package.resolve("Initialize"));
            finalize = reinterpret_cast<QuvFinalizeProc>(package.resolve("Finalize"));
            auto iniProc = reinterpret_cast<QuvIniProc>(package.resolve("IniProc"));
            if (!initialize || !finalize || !iniProc)
                throw std::runtime_error("package entries missing");
            initialize();
            iniProc();
            host.mainForm()->show();
            test::settle();
            TfrmControleAcesso *form = Cli_quv01000::frmControleAcesso;
            if (!form)
                throw std::runtime_error("the screen did not open");
            if (!form->qryOperGrup->Locate(QStringLiteral("CDGRUPOPER"), QVariant(group),
                                           TLocateOptions()))
                throw std::runtime_error("group not in the screen's list");
            AnswerYes answers;
            app.installEventFilter(&answers);

            out() << "screen_toggle_bench on " << db::parseConnectionString(connection).display()
                  << ", group " << group << "\n";
            Bench bench{form, direct, group, runs, bulkRuns};
            bench.singleFact();
            bench.singleDimension();
            bench.wholeGrid(false);
            bench.wholeGrid(true);
            if (!host.exceptions.isEmpty())
                throw std::runtime_error("the screen reported: " +
                                         host.exceptions.join(u'\n').toStdString());

            app.removeEventFilter(&answers);
        } catch (const std::exception &e) {
            QTextStream(stderr) << "screen_toggle_bench: " << e.what() << '\n';
            status = 1;
        }
        if (TfrmControleAcesso *form = Cli_quv01000::frmControleAcesso) {
            form->Release();
            test::settle();
        }
        if (finalize)
            finalize();
        dtmDBGeral = nullptr;
        server.stop();
    }
    if (saved) {
        try {
            restore(direct, group, *saved);
        } catch (const std::exception &e) {
            QTextStream(stderr) << "screen_toggle_bench: could not put the group's grants back: "
                                << e.what() << '\n';
            status = 1;
        }
    }
    direct = QSqlDatabase();
    db::closeDatabase(directName);
    return status;
}
