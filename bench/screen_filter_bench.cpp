// screen_filter_bench: the value filter of a dimension through the real
// screen on a large warehouse, beside the same work done bare through the
// same Qt driver in the same process:
//
//   - F9 until the list dialog is usable (first rows painted, search box
//     taking input, load count showing), on the dimension's whole value
//     table (1,000,000 clients on `quv-db create --size large`, 10,000,000 on
//     huge), and until every value is loaded, beside the raw read of the same
//     rows, with the step's peak memory beside the raw size of the rows;
//   - each keystroke of the dialog's search over those rows, while they
//     still load and once they are all in;
//   - storing a filter of --values values (FiltraDimensao until the grants
//     are reloaded) beside a raw batch insert of the same rows, and reading
//     it back (listaFiltro) beside a raw select.
//
//   screen_filter_bench --db sqlite:/data/large.db [--db postgres://...]
//                       [--runs N] [--group 00] [--dimension 1] [--values N]
//                       [--json results.jsonl --label large]
//
// The group must exist; the dimension is granted to it first when it is not.
// The group's stored filter on the dimension is put back at the end. Runs
// headless (offscreen). Prints a table; asserts nothing.

#include "bench/benchsupport.h"
#include "contracts/cli.h"
#include "contracts/package.h"
#include "db/connection.h"
#include "db/sql.h"
#include "framework/data/dbgeral.h"
#include "framework/data/netconnection.h"
#include "framework/data/servercheck.h"
#include "framework/widgets/listdialog.h"
#include "screen/Cli_quv01000.h"
#include "tests/screen/screenfixture.h"
#include "tests/support/serverprocess.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLibrary>
#include <QLineEdit>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <functional>

using namespace quv;
using namespace quv::bench;

namespace {

void header(const QString &unit)
{
    out() << QStringLiteral("  %1 %2 %3 %4 %5 %6 %7\n")
                 .arg(QStringLiteral("step (") + unit + QLatin1Char(')'), -50)
                 .arg(QStringLiteral("n"), 4)
                 .arg(QStringLiteral("median"), 9)
                 .arg(QStringLiteral("p25"), 9)
                 .arg(QStringLiteral("p75"), 9)
                 .arg(QStringLiteral("min"), 9)
                 .arg(QStringLiteral("max"), 9);
}

void row(const QString &what, const Timing &t)
{
    out() << QStringLiteral("  %1 %2 %3 %4 %5 %6 %7\n")
                 .arg(what, -50)
                 .arg(t.ms.size(), 4)
                 .arg(t.at(0.5), 9, 'f', 2)
                 .arg(t.at(0.25), 9, 'f', 2)
                 .arg(t.at(0.75), 9, 'f', 2)
                 .arg(t.at(0), 9, 'f', 2)
                 .arg(t.at(1), 9, 'f', 2);
    out().flush();
}

/// Runs the event loop until the dialog has every value. Blocks between
/// events: a loop that polls would take a core from the loader it waits for.
void waitUntilLoaded(TPesquisaListaDialog *dialog)
{
    QEventLoop loop;
    QObject::connect(dialog->Model(), &TPesquisaListaModel::loadChanged, &loop, [&] {
        if (!dialog->Model()->Loading())
            loop.quit();
    });
    if (dialog->Model()->Loading())
        loop.exec();
}

/// Waits, inside the dialog's own event loop, for the list dialog to be up;
/// paints it, notes the time, runs `act` on it and cancels it.
class DialogProbe
{
public:
    DialogProbe(const QElapsedTimer &since, std::function<void(TPesquisaListaDialog *)> act = {})
    {
        m_timer.setInterval(0);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this, &since, act] {
            auto *dialog = qobject_cast<TPesquisaListaDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            m_timer.stop();
            QApplication::processEvents();
            ready = msSince(since);
            if (act)
                act(dialog);
            dialog->reject();
        });
        m_timer.start();
    }
    double ready = -1;

private:
    QTimer m_timer;
};

struct Options
{
    int runs;
    int remoteRuns;
    QString group;
    QString dimension;
    int values;
};

bool benchmark(const QString &connection, const Options &o)
{
    out() << '\n' << db::parseConnectionString(connection).display() << '\n';
    Results::instance().setDatabase(connection);
    const QString directName = QStringLiteral("screen-filter-bench-direct");
    QSqlDatabase db = db::openDatabase(connection, directName);
    const auto closeDirect = qScopeGuard([&db, &directName] {
        db = QSqlDatabase();
        db::closeDatabase(directName);
    });

    // The dimension must be granted for its filter to be searched and stored.
    bool grantedHere = false;
    {
        QSqlQuery held = db::run(db,
                                 QStringLiteral("SELECT COUNT(*) FROM DIMEDWGRUPOP WHERE "
                                                "CDGRUPOPER = ? AND NRSEQUEDIME = ?"),
                                 {o.group, o.dimension.toInt()});
        held.next();
        if (held.value(0).toInt() == 0) {
            db::run(
                db,
                QStringLiteral("INSERT INTO DIMEDWGRUPOP (CDGRUPOPER, NRSEQUEDIME) VALUES (?, ?)"),
                {o.group, o.dimension.toInt()});
            grantedHere = true;
            out() << "  granted dimension " << o.dimension << " to group " << o.group << '\n';
        }
    }
    QList<QVariantList> original;
    {
        QSqlQuery q = db::run(db,
                              QStringLiteral("SELECT CDFILDIMEGRUPOP FROM FILDIMEGRUPOP WHERE "
                                             "CDGRUPOPER = ? AND NRSEQUEDIME = ?"),
                              {o.group, o.dimension.toInt()});
        while (q.next())
            original.append({o.group, o.dimension.toInt(), q.value(0).toString()});
    }
    const auto restore = qScopeGuard([&] {
        try {
            db::Transaction transaction(db);
            db::run(db,
                    QStringLiteral(
                        "DELETE FROM FILDIMEGRUPOP WHERE CDGRUPOPER = ? AND NRSEQUEDIME = ?"),
                    {o.group, o.dimension.toInt()});
            db::BulkInserter put(db, QStringLiteral("FILDIMEGRUPOP"),
                                 {QStringLiteral("CDGRUPOPER"), QStringLiteral("NRSEQUEDIME"),
                                  QStringLiteral("CDFILDIMEGRUPOP")});
            for (const QVariantList &r : std::as_const(original))
                put.add(r);
            put.finish();
            if (grantedHere)
                db::run(db,
                        QStringLiteral(
                            "DELETE FROM DIMEDWGRUPOP WHERE CDGRUPOPER = ? AND NRSEQUEDIME = ?"),
                        {o.group, o.dimension.toInt()});
            transaction.commit();
        } catch (const std::exception &e) {
            out() << "  the group's filter could not be put back: " << e.what() << '\n';
        }
    });

    test::ServerProcess server;
    if (!server.start(connection, bench::serverArguments())) {
        out() << "  the server did not start: " << server.errorString() << '\n';
        return false;
    }
    OpenScreen screen(connection, server, true);
    auto *form = screen.form();
    if (!form->qryOperGrup->Locate(QStringLiteral("CDGRUPOPER"), o.group, {}) ||
        !form->cdsDimeOperGrup->Locate(QStringLiteral("NRSEQUEDIME"), o.dimension, {})) {
        out() << "  group " << o.group << " or its dimension " << o.dimension
              << " is not on the screen\n";
        return false;
    }
    const auto field = [form](const char *name) {
        return form->cdsDimeOperGrup->FieldByName(QString::fromLatin1(name))->AsString();
    };
    const QString table = field("CDTABELADIME");
    const QString keyColumn = field("DSPKDIME");
    const QString nameColumn = field("DSITEMDIME");
    const QString statement = QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, ") + keyColumn +
                              QStringLiteral(" , ") + nameColumn + QStringLiteral(" FROM ") +
                              table + QStringLiteral(" ORDER BY ") + nameColumn;
    const QString key = QStringLiteral("G") + o.group;
    const auto pressF9 = [form] { QTest::keyClick(form->dbgDimeGrup, Qt::Key_F9); };

    // ---- F9 until the dialog is usable (first rows painted, the search box
    // taking input, the load count showing), then until every value is in.
    Timing usable;
    Timing loaded;
    Timing peak;
    bool peakMeasured = true;
    qsizetype rowsWhenUsable = 0;
    const auto openOnce = [&](bool timed) {
        const double before = statusMiB("VmRSS");
        peakMeasured = resetPeak() && peakMeasured;
        QElapsedTimer timer;
        timer.start();
        double allIn = -1;
        DialogProbe probe(timer, [&](TPesquisaListaDialog *dialog) {
            if (dialog->Model()->rowCount() == 0 || !dialog->SearchBox()->hasFocus())
                throw std::runtime_error("the list dialog came up without rows or focus");
            rowsWhenUsable = dialog->Model()->TotalRows();
            waitUntilLoaded(dialog);
            allIn = msSince(timer);
        });
        pressF9();
        if (probe.ready < 0 || allIn < 0)
            throw std::runtime_error("the list dialog did not open");
        if (timed) {
            usable.add(probe.ready);
            loaded.add(allIn);
            peak.add(statusMiB("VmHWM") - before);
        }
    };
    openOnce(false);
    for (int i = 0; i < o.runs; ++i)
        openOnce(true);
    const qsizetype shownRows = form->cdsPesqFiltro->RecordCount();
    const double rawMiB = double(form->cdsPesqFiltro->Data().byteSize()) / (1024.0 * 1024.0);

    qint64 rawRows = 0;
    const Timing rawRead = measure(o.runs, [&] {
        QSqlQuery q = db::run(db, statement);
        rawRows = drain(q);
    });
    const Timing queryOpen = measure(o.runs, [&] {
        form->qryPesqFiltro->Close();
        form->qryPesqFiltro->SQL = QStringList{statement};
        form->qryPesqFiltro->Open();
    });
    const Timing queryAll = measure(o.runs, [&] {
        form->qryPesqFiltro->Close();
        form->qryPesqFiltro->Open();
        form->qryPesqFiltro->FetchAll();
    });
    const Timing load =
        measure(o.runs, [&] { form->cdsPesqFiltro->SetData(form->dspPesqFiltro->Data()); });
    QString stored;
    const Timing storedRead =
        measure(o.runs, [&] { stored = form->listaFiltro(key, o.dimension); });
    form->cdsPesqFiltro->Fields().at(1)->setDisplayLabel(QStringLiteral("Código"));
    form->cdsPesqFiltro->Fields().at(2)->setDisplayLabel(QStringLiteral("Nome"));
    const Timing construct = measure(o.runs, [&] {
        TPesquisaListaDialog dialog(form->dtsPesqFiltro, keyColumn, QString(), false, stored);
    });
    Timing remoteSearch;
    if (o.remoteRuns > 0)
        remoteSearch = measure(o.remoteRuns, [&] {
            QVariantList args{statement};
            CheckResultServ(
                form->netControleAcesso->AppServer().Call(QStringLiteral("getPesqFiltro"), args),
                true, 0);
        });

    out() << QStringLiteral("  dimension %1 (%2): %3 values, %4 stored for group %5\n")
                 .arg(o.dimension, table)
                 .arg(shownRows)
                 .arg(ListaFiltro::parse(stored).size())
                 .arg(o.group);
    header(QStringLiteral("ms"));
    row(QStringLiteral("F9 until the dialog is usable"), usable);
    row(QStringLiteral("F9 until every value is loaded"), loaded);
    row(QStringLiteral("  search query open (first rows)"), queryOpen);
    row(QStringLiteral("  search query open and every row read"), queryAll);
    row(QStringLiteral("  cdsPesqFiltro taking the query's rows"), load);
    row(QStringLiteral("  stored values (listaFiltro)"), storedRead);
    row(QStringLiteral("  dialog built over every row"), construct);
    row(QStringLiteral("raw read of the same rows, same driver"), rawRead);
    row(QStringLiteral("same search through the server (fallback)"), remoteSearch);
    out()
        << QStringLiteral("  %1 rows were in when the dialog became usable\n").arg(rowsWhenUsable);
    Results::instance().add(QStringLiteral("filter search, F9 until the dialog is usable"),
                            QStringLiteral("ms"), usable, Timing(), shownRows,
                            Results::medianBelow(300),
                            {{QStringLiteral("rowsWhenUsable"), qint64(rowsWhenUsable)}});
    Results::instance().add(QStringLiteral("filter search, F9 until every value is loaded"),
                            QStringLiteral("ms"), loaded, rawRead, shownRows,
                            Results::ratioAtMost(1.5),
                            {{QStringLiteral("queryOpenMedian"), queryOpen.at(0.5)},
                             {QStringLiteral("queryAllMedian"), queryAll.at(0.5)},
                             {QStringLiteral("dialogBuiltMedian"), construct.at(0.5)}});
    if (peakMeasured)
        Results::instance().add(
            QStringLiteral("filter search, F9 peak memory"), QStringLiteral("MiB"), peak,
            Timing{{rawMiB}}, shownRows, Results::ratioAtMost(2),
            {{QStringLiteral("baselineIs"), QStringLiteral("raw UTF-8 size of the cells")}});
    out() << QStringLiteral("  loaded / raw read: %1x (%2 rows read raw)\n")
                 .arg(rawRead.at(0.5) > 0 ? loaded.at(0.5) / rawRead.at(0.5) : 0, 0, 'f', 2)
                 .arg(rawRows);
    header(QStringLiteral("MiB"));
    if (peakMeasured)
        row(QStringLiteral("peak memory of the F9 step (VmHWM delta)"), peak);
    else
        out() << "  peak memory: /proc/self/clear_refs refused, no per-step peak\n";
    out() << QStringLiteral("  raw data size (UTF-8 of the cells)                 %1 MiB\n")
                 .arg(rawMiB, 0, 'f', 1);

    // ---- keystrokes in the dialog's search, while the rows still arrive and
    // once they are all in.
    Timing typingLoading;
    Timing typing;
    qsizetype rowsTypedOver = 0;
    {
        const QStringList words = {QStringLiteral("maria"),     QStringLiteral("silva s"),
                                   QStringLiteral("C00012"),    QStringLiteral("são paulo"),
                                   QStringLiteral("sao paulo"), QStringLiteral("zzzz")};
        const auto type = [&words](TPesquisaListaDialog *dialog, Timing &during, Timing &after) {
            QLineEdit *box = dialog->SearchBox();
            for (const QString &word : words) {
                for (qsizetype n = 1; n <= word.size() * 2; ++n) {
                    // Typed on, then erased back to nothing.
                    const qsizetype length = n <= word.size() ? n : word.size() * 2 - n;
                    const bool loading = dialog->Model()->Loading();
                    QElapsedTimer t;
                    t.start();
                    box->setText(word.left(length));
                    QApplication::processEvents();
                    (loading ? during : after).add(msSince(t));
                }
            }
        };
        QElapsedTimer since;
        since.start();
        DialogProbe probe(since, [&](TPesquisaListaDialog *dialog) {
            Timing ignored;
            type(dialog, typingLoading, typing);
            waitUntilLoaded(dialog);
            rowsTypedOver = dialog->Model()->TotalRows();
            type(dialog, ignored, typing);
        });
        pressF9();
    }
    header(QStringLiteral("ms"));
    row(QStringLiteral("keystroke while the values load"), typingLoading);
    row(QStringLiteral("keystroke once every value is in"), typing);
    if (!typingLoading.ms.isEmpty())
        Results::instance().add(QStringLiteral("dialog search-as-you-type while loading"),
                                QStringLiteral("ms"), typingLoading, Timing(), shownRows,
                                Results::maxBelow(100));
    Results::instance().add(QStringLiteral("dialog search-as-you-type, per keystroke"),
                            QStringLiteral("ms"), typing, Timing(), rowsTypedOver,
                            Results::maxBelow(100));

    // ---- storing a large filter and reading it back.
    QString list = QStringLiteral("_");
    QList<QVariantList> filterRows;
    {
        QSqlQuery codes =
            db::run(db, QStringLiteral("SELECT %1 FROM %2 ORDER BY %1").arg(keyColumn, table));
        qint64 n = 0;
        while (codes.next() && filterRows.size() < o.values) {
            if (n++ % 3 != 0)
                continue;
            const QString code = codes.value(0).toString();
            list += code + QLatin1Char('_');
            filterRows.append({o.group, o.dimension.toInt(), code});
        }
    }
    const Timing store = measure(o.runs, [&] {
        form->FiltraDimensao(list, key, o.dimension);
        form->qryOperGrupAfterScroll(form->qryOperGrup);
        form->cdsDimeOperGrup->Locate(QStringLiteral("NRSEQUEDIME"), o.dimension,
                                      TLocateOption::CaseInsensitive);
    });
    const Timing storeCall = measure(o.runs, [&] { form->FiltraDimensao(list, key, o.dimension); });
    const Timing rawInsert = measure(o.runs, [&] {
        db::Transaction transaction(db);
        db::run(
            db,
            QStringLiteral("DELETE FROM FILDIMEGRUPOP WHERE CDGRUPOPER = ? AND NRSEQUEDIME = ?"),
            {o.group, o.dimension.toInt()});
        db::BulkInserter put(db, QStringLiteral("FILDIMEGRUPOP"),
                             {QStringLiteral("CDGRUPOPER"), QStringLiteral("NRSEQUEDIME"),
                              QStringLiteral("CDFILDIMEGRUPOP")});
        for (const QVariantList &r : std::as_const(filterRows))
            put.add(r);
        put.finish();
        transaction.commit();
    });
    QString back;
    const Timing readBack = measure(o.runs, [&] { back = form->listaFiltro(key, o.dimension); });
    const Timing rawSelect = measure(o.runs, [&] {
        QSqlQuery q = db::run(db,
                              QStringLiteral("SELECT CDFILDIMEGRUPOP FROM FILDIMEGRUPOP WHERE "
                                             "(CDGRUPOPER = ?) AND (NRSEQUEDIME = ?)"),
                              {o.group, o.dimension});
        drain(q);
    });
    const Timing readServer = measure(o.runs, [&] {
        QVariantList args{key, o.dimension};
        CheckResultServ(
            form->netControleAcesso->AppServer().Call(QStringLiteral("getListaFiltro"), args), true,
            0);
    });
    out() << QStringLiteral("  filter of %1 values (%2 read back)\n")
                 .arg(filterRows.size())
                 .arg(ListaFiltro::parse(back).size());
    header(QStringLiteral("ms"));
    row(QStringLiteral("store: FiltraDimensao until the reload is done"), store);
    row(QStringLiteral("  FiltraDimensao alone (packet + server call)"), storeCall);
    row(QStringLiteral("raw batch insert of the same rows, same driver"), rawInsert);
    row(QStringLiteral("read back: listaFiltro"), readBack);
    row(QStringLiteral("  getListaFiltro through the server"), readServer);
    row(QStringLiteral("raw select of the same rows, same driver"), rawSelect);
    Results::instance().add(QStringLiteral("storing a filter (FiltraDimensao to reload done)"),
                            QStringLiteral("ms"), store, rawInsert, filterRows.size(),
                            Results::ratioAtMost(2));
    Results::instance().add(QStringLiteral("reading a filter back (listaFiltro)"),
                            QStringLiteral("ms"), readBack, rawSelect, filterRows.size(),
                            Results::ratioAtMost(2));
    out() << QStringLiteral("  store / raw insert: %1x, read back / raw select: %2x\n")
                 .arg(rawInsert.at(0.5) > 0 ? store.at(0.5) / rawInsert.at(0.5) : 0, 0, 'f', 2)
                 .arg(rawSelect.at(0.5) > 0 ? readBack.at(0.5) / rawSelect.at(0.5) : 0, 0, 'f', 2);

    if (!screen.errors().isEmpty()) {
        out() << "  errors shown: " << screen.errors().join(QStringLiteral("; ")) << '\n';
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform says this of every dialog it shows.
    static const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            if (!message.contains(QLatin1StringView("propagateSizeHints")))
                previous(type, context, message);
        });
    QApplication app(argc, argv);
    cli::CommandLine command(
        QStringLiteral("screen_filter_bench"),
        QStringLiteral("The value filter of a dimension through the screen on a large warehouse, "
                       "beside the same reads and writes done bare."));
    const QCommandLineOption dbOption(QStringLiteral("db"),
                                      QStringLiteral("A generated warehouse (repeatable)."),
                                      QStringLiteral("conn"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Timed runs per step (default 5)."),
                                        QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption groupOption(QStringLiteral("group"),
                                         QStringLiteral("Group code (default 00)."),
                                         QStringLiteral("code"), QStringLiteral("00"));
    const QCommandLineOption dimensionOption(QStringLiteral("dimension"),
                                             QStringLiteral("Dimension number (default 1)."),
                                             QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption valuesOption(
        QStringLiteral("values"), QStringLiteral("Values of the stored filter (default 100000)."),
        QStringLiteral("n"), QStringLiteral("100000"));
    const QCommandLineOption remoteOption(
        QStringLiteral("remote-runs"),
        QStringLiteral("Runs of the same search through the server (default: half of --runs; "
                       "0: none, for a dimension too big to send whole)."),
        QStringLiteral("n"));
    command.addOptions(
        {dbOption, runsOption, groupOption, dimensionOption, valuesOption, remoteOption});
    Results::addOptions(command.parser());
    return command.run(app.arguments(), [&] {
        Results::instance().configure(command.parser());
        const QStringList databases = command.values(dbOption);
        if (databases.isEmpty())
            throw cli::UsageError(QStringLiteral("pass --db <conn> (a warehouse made with quv-db "
                                                 "create --size large)"));
        command.number(dimensionOption, 0, 99999);
        const int runs = int(command.number(runsOption, 1, 1000000));
        const int remoteRuns = command.isSet(remoteOption)
                                   ? int(command.number(remoteOption, 0, 1000000))
                                   : std::max(1, runs / 2);
        const Options options{runs, remoteRuns, command.value(groupOption),
                              command.value(dimensionOption),
                              int(command.number(valuesOption, 1, 100000000))};
        bool ok = true;
        for (const QString &connection : databases)
            ok = benchmark(connection, options) && ok;
        return ok ? cli::ExitSuccess : cli::ExitFailure;
    });
}
