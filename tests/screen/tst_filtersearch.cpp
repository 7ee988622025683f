// Opening the value filter of a dimension from either grid, listing the
// dimension's values with the stored ones marked, and what confirming or
// cancelling the list does to the database, the grids and the host's cache.

#include "filtertesting.h"

#include "framework/widgets/controls.h"
#include "framework/widgets/padrao.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QSqlQuery>

using namespace quv::test;
using namespace quv::test::filters;
using Cli_quv01000::TfrmControleAcesso;

namespace {

const QString Fil = QStringLiteral("FILDIMEGRUPOP");
const QString FilOper = QStringLiteral("FILDIMEOPER");

QString searchStatement(const QString &key, const QString &name, const QString &table)
{
    return QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, ") + key + QStringLiteral(" , ") +
           name + QStringLiteral(" FROM ") + table + QStringLiteral(" ORDER BY ") + name;
}

} // namespace

class TestFilterSearch : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenSession> session;
    std::unique_ptr<CallRecorder> recorder;
    TfrmControleAcesso *form = nullptr;

    // A session on the fetched driver with the screen open and shown, on
    // group `group` and operator `op`, the call records cleared.
    bool start(const QString &group = QStringLiteral("02"),
               const QString &op = QStringLiteral("JSILVA"))
    {
        QFETCH(QString, driver);
        session = std::make_unique<ScreenSession>();
        QString skip;
        if (!session->setUp(driver, &skip)) {
            QTest::qSkip(qPrintable(skip), __FILE__, __LINE__);
            return false;
        }
        recorder = std::make_unique<CallRecorder>(*session);
        form = session->open();
        if (!form || !showHost(*session))
            return false;
        form->qryOperGrup->Locate(QStringLiteral("CDGRUPOPER"), group,
                                  TLocateOption::CaseInsensitive);
        form->qryOperOper->Locate(QStringLiteral("CDOPERADOR"), op, TLocateOption::CaseInsensitive);
        settle();
        recorder->clear();
        return form->qryOperGrupCDGRUPOPER->AsString() == group &&
               form->qryOperOperCDOPERADOR->AsString() == op;
    }

    TDBGrid *grid(bool group) const { return group ? form->dbgDimeGrup : form->dbgDimeOper; }
    TClientDataSet *dimensions(bool group) const
    {
        return group ? form->cdsDimeOperGrup : form->cdsDimeOperOper;
    }

    void showPage(bool group)
    {
        form->pgcPadrao->SelectPage(group ? form->tshFolhaDados : form->tshFormulario);
        settle();
        recorder->clear();
    }

    // Puts the dimension grid of the page on the dimension; false when the
    // principal has no such row.
    bool onDimension(bool group, const QString &number)
    {
        const bool found = dimensions(group)->Locate(QStringLiteral("NRSEQUEDIME"), number,
                                                     TLocateOption::CaseInsensitive);
        settle();
        return found;
    }

    void pressF9(bool group, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::keyClick(grid(group), Qt::Key_F9, modifiers);
        settle();
    }

    void clickSearchMark(bool group)
    {
        TDBGrid *g = grid(group);
        const int row = int(dimensions(group)->RecNo()) - 1;
        const QRect cell = g->CellRect(row, columnIndex(g, QStringLiteral("IDPESQ")));
        QVERIFY(cell.isValid());
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, cell.center());
        settle();
    }

    QString current(bool group, const char *field) const
    {
        return dimensions(group)->FieldByName(QString::fromLatin1(field))->AsString();
    }

private slots:
    void cleanup()
    {
        recorder.reset();
        session.reset();
        form = nullptr;
    }

    void f9AndTheSearchMarkOpenTheDialogOnBothPages_data() { addDriverColumn(); }
    void f9AndTheSearchMarkOpenTheDialogOnBothPages()
    {
        QVERIFY(start());
        struct Trigger
        {
            bool group;
            const char *number;
            const char *caption;
            qsizetype rows;
            bool click;
            Qt::KeyboardModifiers modifiers;
        };
        const Trigger triggers[] = {
            {true, "4", "Região", 5, false, {}},
            {true, "4", "Região", 5, false, Qt::ControlModifier},
            {true, "2", "Produto", 40, false, Qt::ShiftModifier | Qt::AltModifier},
            {true, "3", "Loja", 8, true, {}},
            {false, "1", "Cliente", 40, false, {}},
            {false, "4", "Região", 5, false, Qt::ControlModifier | Qt::ShiftModifier},
            {false, "1", "Cliente", 40, true, {}},
        };
        for (const Trigger &t : triggers) {
            const QByteArray what = QByteArray(t.group ? "group " : "operator ") + t.number +
                                    (t.click ? " click" : " F9");
            showPage(t.group);
            QVERIFY2(onDimension(t.group, QString::fromLatin1(t.number)), what);
            const qsizetype recNo = dimensions(t.group)->RecNo();
            ListDialogAnswer answer(QStringLiteral("btnCancelar"));
            if (t.click)
                clickSearchMark(t.group);
            else
                pressF9(t.group, t.modifiers);
            QVERIFY2(answer.seen().opened, what);
            QCOMPARE(answer.seen().caption, QString::fromUtf8(t.caption));
            QCOMPARE(answer.seen().totalRows, t.rows);
            // Cancelled: nothing asked of the server, nothing moved.
            QVERIFY2(session->calls.isEmpty(), qPrintable(session->calls.join(u',')));
            QCOMPARE(dimensions(t.group)->RecNo(), recNo);
            QVERIFY(session->host.cacheRequests.isEmpty());
            QVERIFY(!ShowAviActive());
        }
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void f9DoesNothingWhereNoSearchIsOffered_data() { addDriverColumn(); }
    void f9DoesNothingWhereNoSearchIsOffered()
    {
        QVERIFY(start());
        // 5: granted but without a value table; 6: not granted to group 02.
        for (const char *number : {"5", "6"}) {
            QVERIFY(onDimension(true, QString::fromLatin1(number)));
            QCOMPARE(current(true, "IDPESQ"), QStringLiteral("N"));
            ListDialogAnswer answer(QStringLiteral("btnCancelar"));
            pressF9(true);
            pressF9(true, Qt::ControlModifier);
            clickSearchMark(true);
            QVERIFY2(!answer.seen().opened, number);
            QVERIFY(answer.seen().unexpected.isEmpty());
        }
        QVERIFY(session->calls.isEmpty());

        // Other keys on a searchable row leave the search alone.
        QVERIFY(onDimension(true, QStringLiteral("4")));
        QCOMPARE(current(true, "IDPESQ"), QStringLiteral("S"));
        {
            ListDialogAnswer answer(QStringLiteral("btnCancelar"));
            for (Qt::Key key : {Qt::Key_F8, Qt::Key_F10, Qt::Key_F2, Qt::Key_F, Qt::Key_P,
                                Qt::Key_Insert, Qt::Key_F12})
                QTest::keyClick(form->dbgDimeGrup, key);
            settle();
            QVERIFY(!answer.seen().opened);
        }
        QVERIFY(session->calls.isEmpty());
        QCOMPARE(current(true, "NRSEQUEDIME"), QStringLiteral("4"));

        // The operator page's handler tests its own row: a row made
        // unsearchable there does nothing, while the group page still opens.
        showPage(false);
        {
            QSqlDatabase db = session->database();
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral(
                "UPDATE DIMEDW SET CDTABELADIME = NULL, DSPKDIME = NULL, DSITEMDIME = NULL "
                "WHERE NRSEQUEDIME = 1")));
        }
        form->qryOperOperAfterScroll(form->qryOperOper);
        recorder->clear();
        QVERIFY(onDimension(false, QStringLiteral("1")));
        QCOMPARE(current(false, "IDPESQ"), QStringLiteral("N"));
        {
            ListDialogAnswer answer(QStringLiteral("btnCancelar"));
            pressF9(false, Qt::AltModifier);
            clickSearchMark(false);
            QVERIFY(!answer.seen().opened);
        }
        QVERIFY(session->calls.isEmpty());
        QVERIFY(session->host.exceptions.isEmpty());
        QVERIFY(!ShowAviActive());
    }

    void searchRunsTheDocumentedStatementAndLabelsTheColumns_data() { addDriverColumn(); }
    void searchRunsTheDocumentedStatementAndLabelsTheColumns()
    {
        QVERIFY(start());
        const struct
        {
            bool group;
            const char *number;
            const char *key;
            const char *name;
            const char *table;
        } searches[] = {
            {true, "4", "CDREGIAO", "DSREGIAO", "DIMREGIAO"},
            {false, "1", "CDCLIENTE", "DSCLIENTE", "DIMCLIENTE"},
        };
        for (const auto &s : searches) {
            showPage(s.group);
            QVERIFY(onDimension(s.group, QString::fromLatin1(s.number)));
            ListDialogAnswer answer(QStringLiteral("btnCancelar"));
            pressF9(s.group);
            QVERIFY(answer.seen().opened);
            QCOMPARE(form->qryPesqFiltro->SQL.join(QLatin1Char('\n')),
                     searchStatement(QString::fromLatin1(s.key), QString::fromLatin1(s.name),
                                     QString::fromLatin1(s.table)));
            // Read straight from the database: the server was not asked.
            QVERIFY(session->calls.isEmpty());

            TClientDataSet *found = form->cdsPesqFiltro;
            QCOMPARE(found->FieldCount(), 3);
            // PostgreSQL folds unquoted names: compare them as the dataset does.
            QCOMPARE(found->Fields().at(0)->FieldName().toUpper(), QStringLiteral("IDMARCADO"));
            QCOMPARE(found->Fields().at(1)->FieldName().toUpper(), QString::fromLatin1(s.key));
            QCOMPARE(found->Fields().at(2)->FieldName().toUpper(), QString::fromLatin1(s.name));
            QCOMPARE(found->Fields().at(0)->DisplayLabel().toUpper(), QStringLiteral("IDMARCADO"));
            QCOMPARE(found->Fields().at(1)->DisplayLabel(), QStringLiteral("Código"));
            QCOMPARE(found->Fields().at(2)->DisplayLabel(), QStringLiteral("Nome"));
            QCOMPARE(answer.seen().headers,
                     QStringList({QString(), QStringLiteral("Código"), QStringLiteral("Nome")}));

            // Every distinct pair of the value table, ordered by name.
            const QList<QStringList> expected =
                rows(session->database(),
                     QStringLiteral("SELECT DISTINCT ' ', %1, %2 FROM %3 ORDER BY %2")
                         .arg(QString::fromLatin1(s.key), QString::fromLatin1(s.name),
                              QString::fromLatin1(s.table)));
            QCOMPARE(found->RecordCount(), expected.size());
            for (qsizetype r = 0; r < found->RecordCount(); ++r) {
                QCOMPARE(found->CellText(r, found->Fields().at(0)), QStringLiteral(" "));
                QCOMPARE(found->CellText(r, found->Fields().at(1)), expected[r][1]);
                QCOMPARE(found->CellText(r, found->Fields().at(2)), expected[r][2]);
            }
        }
        QVERIFY(!ShowAviActive());
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void namesThatAreNotPlainIdentifiersAreRefusedBeforeAnythingRuns_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("value");
        for (const QString &driver : Drivers) {
            const auto row = [&](const char *name, const char *column, const char *value) {
                QTest::newRow(qPrintable(driver + QLatin1Char(' ') + QString::fromLatin1(name)))
                    << driver << QString::fromLatin1(column) << QString::fromLatin1(value);
            };
            row("table with a clause", "CDTABELADIME", "DIMREGIAO WHERE 1 = 0");
            row("key with a statement", "DSPKDIME", "CDREGIAO; DELETE FROM GRUPOPER");
            row("name with a comment", "DSITEMDIME", "DSREGIAO --");
            row("quoted table", "CDTABELADIME", "\"DIMREGIAO\"");
            row("key with a blank", "DSPKDIME", "CDREGIAO ");
        }
    }
    void namesThatAreNotPlainIdentifiersAreRefusedBeforeAnythingRuns()
    {
        QFETCH(QString, column);
        QFETCH(QString, value);
        QVERIFY(start());
        {
            QSqlQuery q(session->database());
            QVERIFY(q.prepare(
                QStringLiteral("UPDATE DIMEDW SET %1 = ? WHERE NRSEQUEDIME = 4").arg(column)));
            q.addBindValue(value);
            QVERIFY(q.exec());
        }
        form->qryOperGrupAfterScroll(form->qryOperGrup);
        QVERIFY(onDimension(true, QStringLiteral("4")));
        QCOMPARE(current(true, "IDPESQ"), QStringLiteral("S"));
        recorder->clear();
        const QString before = fingerprint(session->database());

        ListDialogAnswer answer(QStringLiteral("btnCancelar"));
        pressF9(true);
        QVERIFY(!answer.seen().opened);
        QCOMPARE(session->host.exceptions.size(), 1);
        const QString message = session->host.exceptions.first();
        QVERIFY2(message.contains(QStringLiteral("Região")) && message.contains(value) &&
                     message.contains(QStringLiteral("identificador")),
                 qPrintable(message));
        // Nothing ran: no query, no server call, nothing changed.
        QVERIFY(form->qryPesqFiltro->SQL.isEmpty());
        QVERIFY(!form->qryPesqFiltro->Active());
        QVERIFY(session->calls.isEmpty());
        QCOMPARE(fingerprint(session->database()), before);
        QVERIFY(!ShowAviActive());
        QCOMPARE(current(true, "NRSEQUEDIME"), QStringLiteral("4"));
    }

    void dialogMarksTheStoredValues_data() { addDriverColumn(); }
    void dialogMarksTheStoredValues()
    {
        QVERIFY(start());
        QVERIFY(onDimension(true, QStringLiteral("4")));
        {
            ListDialogAnswer answer(QStringLiteral("btnCancelar"));
            pressF9(true);
            QVERIFY(answer.seen().opened);
            // In dialog order, which is the order of the names.
            QCOMPARE(answer.seen().markedKeys, QStringList({"SE", "S"}));
        }
        showPage(false);
        QVERIFY(onDimension(false, QStringLiteral("1")));
        {
            ListDialogAnswer answer(QStringLiteral("btnCancelar"));
            pressF9(false);
            QVERIFY(answer.seen().opened);
            QStringList marked = answer.seen().markedKeys;
            marked.sort();
            QCOMPARE(marked, QStringList({"C0000003", "C0000007", "C0000011"}));
        }
        // A dimension without a filter comes with nothing marked.
        QVERIFY(onDimension(false, QStringLiteral("4")));
        {
            QSqlQuery q(session->database());
            QVERIFY(q.exec(QStringLiteral(
                "DELETE FROM FILDIMEOPER WHERE CDOPERADOR = 'JSILVA' AND NRSEQUEDIME = 4")));
        }
        {
            ListDialogAnswer answer(QStringLiteral("btnCancelar"));
            pressF9(false);
            QVERIFY(answer.seen().opened);
            QVERIFY(answer.seen().markedKeys.isEmpty());
        }
        QVERIFY(session->calls.isEmpty());
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void cancelOrAnUnchangedSetStoresNothing_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("how");
        for (const QString &driver : Drivers)
            for (const char *how :
                 {"cancel", "ok", "ok after marking and unmarking", "cancel after changing"})
                QTest::newRow(qPrintable(driver + QLatin1Char(' ') + QString::fromLatin1(how)))
                    << driver << QString::fromLatin1(how);
    }
    void cancelOrAnUnchangedSetStoresNothing()
    {
        QFETCH(QString, how);
        QVERIFY(start());
        for (const bool group : {true, false}) {
            showPage(group);
            QVERIFY(onDimension(group, QStringLiteral("4")));
            const qsizetype recNo = dimensions(group)->RecNo();
            const qsizetype principal =
                group ? form->qryOperGrup->RecNo() : form->qryOperOper->RecNo();
            const QString before = fingerprint(session->database());
            const QString filterMark = current(group, "IDFILTRO");
            QCOMPARE(filterMark, QStringLiteral("S"));

            const bool cancel = how.startsWith(QStringLiteral("cancel"));
            ListDialogAnswer answer(
                cancel ? QStringLiteral("btnCancelar") : QStringLiteral("btnOk"),
                [&how](TPesquisaListaDialog *dialog) {
                    if (how.contains(QStringLiteral("marking"))) {
                        QVERIFY(clickDialogMark(dialog, QStringLiteral("N")));
                        QVERIFY(clickDialogMark(dialog, QStringLiteral("N")));
                    } else if (how.contains(QStringLiteral("changing"))) {
                        dialog->findChild<QPushButton *>(QStringLiteral("btnDesmarcarTodos"))
                            ->click();
                        QCOMPARE(dialog->Model()->MarkedCount(), 0);
                    }
                });
            pressF9(group);
            QVERIFY(answer.seen().opened);
            QVERIFY2(session->calls.isEmpty(), qPrintable(session->calls.join(u',')));
            QVERIFY(session->host.cacheRequests.isEmpty());
            QCOMPARE(fingerprint(session->database()), before);
            QCOMPARE(dimensions(group)->RecNo(), recNo);
            QCOMPARE(group ? form->qryOperGrup->RecNo() : form->qryOperOper->RecNo(), principal);
            QCOMPARE(current(group, "IDFILTRO"), filterMark);
            QVERIFY(!ShowAviActive());
        }
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void aChangedSetIsStoredAndTheGridComesBack_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<bool>("group");
        for (const QString &driver : Drivers) {
            QTest::newRow(qPrintable(driver + QStringLiteral(" group"))) << driver << true;
            QTest::newRow(qPrintable(driver + QStringLiteral(" operator"))) << driver << false;
        }
    }
    void aChangedSetIsStoredAndTheGridComesBack()
    {
        QFETCH(bool, group);
        // Group 02 and operator PGONCALVES hold dimension 2 and 3 without a
        // filter; neither is the first row of its grid.
        const QString number = group ? QStringLiteral("2") : QStringLiteral("3");
        QVERIFY(start(QStringLiteral("02"), QStringLiteral("PGONCALVES")));
        showPage(group);
        if (!group) {
            // Give the operator a second dimension so the grid has rows on
            // both sides of the one searched.
            QSqlQuery q(session->database());
            QVERIFY(q.exec(QStringLiteral(
                "INSERT INTO DIMEODWOPER (CDOPERADOR, NRSEQUEDIME) VALUES ('PGONCALVES', 1)")));
            QVERIFY(q.exec(QStringLiteral(
                "INSERT INTO DIMEODWOPER (CDOPERADOR, NRSEQUEDIME) VALUES ('PGONCALVES', 4)")));
            form->qryOperOperAfterScroll(form->qryOperOper);
            recorder->clear();
        }
        QVERIFY(onDimension(group, number));
        QVERIFY(dimensions(group)->RecNo() > 1);
        QCOMPARE(current(group, "IDFILTRO"), QStringLiteral("N"));
        const QString dimensionName = current(group, "NMITEMDIME");
        const QString otherTable = fingerprint(session->database());
        QSqlDatabase db = session->database();
        const QString code = group ? QStringLiteral("02") : QStringLiteral("PGONCALVES");
        const auto stored = [&] {
            return group ? storedGroupFilter(db, code, number.toInt())
                         : storedOperatorFilter(db, code, number.toInt());
        };
        const QList<QStringList> untouched =
            rows(db, group ? QStringLiteral("SELECT * FROM FILDIMEOPER ORDER BY 1, 2, 3")
                           : QStringLiteral("SELECT * FROM FILDIMEGRUPOP ORDER BY 1, 2, 3"));
        QVERIFY(stored().isEmpty());

        QStringList chosen;
        ListDialogAnswer answer(QStringLiteral("btnOk"), [&](TPesquisaListaDialog *dialog) {
            TPesquisaListaModel *model = dialog->Model();
            for (int r : {1, 3}) {
                const QString key = model->index(r, 1).data().toString();
                QVERIFY(clickDialogMark(dialog, key));
                chosen.append(key);
            }
            QCOMPARE(model->MarkedCount(), 2);
        });
        clickSearchMark(group);
        QVERIFY(answer.seen().opened);
        QCOMPARE(answer.seen().caption, dimensionName);
        QVERIFY2(session->host.exceptions.isEmpty(),
                 qPrintable(session->host.exceptions.join(u'\n')));

        chosen.sort();
        QCOMPARE(stored(), chosen);
        QCOMPARE(rows(db, group ? QStringLiteral("SELECT * FROM FILDIMEOPER ORDER BY 1, 2, 3")
                                : QStringLiteral("SELECT * FROM FILDIMEGRUPOP ORDER BY 1, 2, 3")),
                 untouched);
        QVERIFY(fingerprint(db) != otherTable);
        QCOMPARE(session->calls, QStringList({QStringLiteral("setDelFilDime"),
                                              group ? QStringLiteral("getOperGrup")
                                                    : QStringLiteral("getOperOper")}));
        QVERIFY(recorder->allBusy());
        // Both filter tables from the store, then the page's own.
        QCOMPARE(session->host.cacheRequests,
                 QList<QStringList>({{Fil}, {FilOper}, {group ? Fil : FilOper}}));
        // Reloaded, back on the same dimension, whose funnel is now on.
        QCOMPARE(current(group, "NRSEQUEDIME"), number);
        QCOMPARE(current(group, "IDFILTRO"), QStringLiteral("S"));
        QCOMPARE(Cli_quv01000::stLocatePk1, number);
        QVERIFY(!ShowAviActive());
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    void unmarkingEveryValueRemovesTheFilter_data() { addDriverColumn(); }
    void unmarkingEveryValueRemovesTheFilter()
    {
        QVERIFY(start());
        QSqlDatabase db = session->database();
        for (const bool group : {true, false}) {
            showPage(group);
            const QString number = group ? QStringLiteral("4") : QStringLiteral("1");
            QVERIFY(onDimension(group, number));
            QCOMPARE(current(group, "IDFILTRO"), QStringLiteral("S"));
            ListDialogAnswer answer(QStringLiteral("btnOk"), [](TPesquisaListaDialog *dialog) {
                dialog->findChild<QPushButton *>(QStringLiteral("btnDesmarcarTodos"))->click();
            });
            pressF9(group);
            QVERIFY(answer.seen().opened);
            QVERIFY(
                group
                    ? storedGroupFilter(db, QStringLiteral("02"), number.toInt()).isEmpty()
                    : storedOperatorFilter(db, QStringLiteral("JSILVA"), number.toInt()).isEmpty());
            QCOMPARE(current(group, "NRSEQUEDIME"), number);
            QCOMPARE(current(group, "IDFILTRO"), QStringLiteral("N"));
            // The grant itself stays.
            QCOMPARE(current(group, "IDCHECK"), QStringLiteral("S"));
            QCOMPARE(session->host.cacheRequests.last(), QStringList({group ? Fil : FilOper}));
            QVERIFY(!ShowAviActive());
        }
        QCOMPARE(count(db, QStringLiteral("SELECT COUNT(*) FROM FILDIMEGRUPOP WHERE CDGRUPOPER = "
                                          "'02' AND NRSEQUEDIME = 3")),
                 3);
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void theServerAnswersWhenTheDatabaseCannotBeRead_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<bool>("closed");
        for (const QString &driver : Drivers) {
            QTest::newRow(qPrintable(driver + QStringLiteral(" closed"))) << driver << true;
            QTest::newRow(qPrintable(driver + QStringLiteral(" without tables")))
                << driver << false;
        }
    }
    void theServerAnswersWhenTheDatabaseCannotBeRead()
    {
        QFETCH(QString, driver);
        QFETCH(bool, closed);
        QVERIFY(start());
        if (closed) {
            session->dbGeral->Close();
        } else {
            QString skip;
            const QString empty = freshEmptyDatabase(driver, &skip);
            QVERIFY(!empty.isEmpty());
            session->dbGeral->Open(empty);
        }
        QSqlDatabase db = session->database();
        QVERIFY(onDimension(true, QStringLiteral("4")));

        ListDialogAnswer answer(QStringLiteral("btnOk"), [](TPesquisaListaDialog *dialog) {
            QVERIFY(clickDialogMark(dialog, QStringLiteral("N")));
        });
        pressF9(true);
        QVERIFY2(session->host.exceptions.isEmpty(),
                 qPrintable(session->host.exceptions.join(u'\n')));
        QVERIFY(answer.seen().opened);
        QCOMPARE(answer.seen().totalRows, 5);
        QCOMPARE(answer.seen().markedKeys, QStringList({"SE", "S"}));
        QCOMPARE(form->cdsPesqFiltro->Fields().at(1)->DisplayLabel(), QStringLiteral("Código"));
        QCOMPARE(form->qryPesqFiltro->SQL.join(QLatin1Char('\n')),
                 searchStatement(QStringLiteral("CDREGIAO"), QStringLiteral("DSREGIAO"),
                                 QStringLiteral("DIMREGIAO")));
        QCOMPARE(session->calls,
                 QStringList({QStringLiteral("getPesqFiltro"), QStringLiteral("getListaFiltro"),
                              QStringLiteral("setDelFilDime"), QStringLiteral("getOperGrup")}));
        QVERIFY(recorder->allBusy());
        QCOMPARE(storedGroupFilter(db, QStringLiteral("02"), 4), QStringList({"N", "S", "SE"}));
        QCOMPARE(current(true, "NRSEQUEDIME"), QStringLiteral("4"));
        QCOMPARE(current(true, "IDFILTRO"), QStringLiteral("S"));
        QVERIFY(!ShowAviActive());
    }

    void aFailedServerFallbackStopsBeforeTheDialog_data() { addDriverColumn(); }
    void aFailedServerFallbackStopsBeforeTheDialog()
    {
        QVERIFY(start());
        QVERIFY(onDimension(true, QStringLiteral("4")));
        session->dbGeral->Close();
        QCOMPARE(session->server.stop(), 0);
        const QString before = fingerprint(session->database());
        ListDialogAnswer answer(QStringLiteral("btnOk"));
        pressF9(true);
        QVERIFY(!answer.seen().opened);
        QCOMPARE(session->host.exceptions.size(), 1);
        QCOMPARE(session->calls, QStringList({QStringLiteral("getPesqFiltro")}));
        QVERIFY(!ShowAviActive());
        QCOMPARE(fingerprint(session->database()), before);
        QCOMPARE(current(true, "NRSEQUEDIME"), QStringLiteral("4"));
        QCOMPARE(current(true, "IDFILTRO"), QStringLiteral("S"));
    }

    // A failed store offers to send the same values again: after a refusal
    // the user gives up and nothing changes; after an outage the retry, once
    // the server is back, stores exactly the marked set and goes on as a
    // first success would have.
    void aFailedStoreOffersToTryAgain_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<bool>("outage");
        for (const QString &driver : Drivers) {
            QTest::newRow(qPrintable(driver + QStringLiteral(" refused, Cancelar")))
                << driver << false;
            QTest::newRow(qPrintable(driver + QStringLiteral(" server down, Tentar novamente")))
                << driver << true;
        }
    }
    void aFailedStoreOffersToTryAgain()
    {
        QFETCH(bool, outage);
        QVERIFY(start());
        QVERIFY(onDimension(true, QStringLiteral("4")));
        QSqlDatabase db = session->database();
        QString offered;
        ListDialogAnswer answer(QStringLiteral("btnOk"), [&](TPesquisaListaDialog *dialog) {
            QVERIFY(clickDialogMark(dialog, QStringLiteral("N")));
            if (outage) {
                QCOMPARE(session->server.stop(), 0);
                answerNextDialog(QStringLiteral("btnRetry"), &offered, [this] {
                    QVERIFY(session->server.start(session->connectionString()));
                    session->host.serverPort = session->server.port();
                });
                return;
            }
            // Another administrator revokes the dimension while the list is
            // open.
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral(
                "DELETE FROM FILDIMEGRUPOP WHERE CDGRUPOPER = '02' AND NRSEQUEDIME = 4")));
            QVERIFY(q.exec(QStringLiteral(
                "DELETE FROM DIMEDWGRUPOP WHERE CDGRUPOPER = '02' AND NRSEQUEDIME = 4")));
            answerNextDialog(QStringLiteral("btnCancel"), &offered);
        });
        pressF9(true);
        QVERIFY(answer.seen().opened);
        QVERIFY2(session->host.exceptions.isEmpty(),
                 qPrintable(session->host.exceptions.join(u'\n')));
        QVERIFY2(offered.contains(outage ? QStringLiteral("recusou a conexão")
                                         : QStringLiteral("concedida")),
                 qPrintable(offered));
        if (outage) {
            QCOMPARE(session->calls,
                     QStringList({QStringLiteral("setDelFilDime"), QStringLiteral("setDelFilDime"),
                                  QStringLiteral("getOperGrup")}));
            QCOMPARE(recorder->calls.at(1).filterRows, recorder->calls.at(0).filterRows);
            QCOMPARE(storedGroupFilter(db, QStringLiteral("02"), 4), QStringList({"N", "S", "SE"}));
            QCOMPARE(session->host.cacheRequests, QList<QStringList>({{Fil}, {FilOper}, {Fil}}));
        } else {
            QCOMPARE(session->calls, QStringList({QStringLiteral("setDelFilDime")}));
            QVERIFY(session->host.cacheRequests.isEmpty());
            QVERIFY(storedGroupFilter(db, QStringLiteral("02"), 4).isEmpty());
            // No reload: the grid still shows what it showed.
            QCOMPARE(current(true, "IDCHECK"), QStringLiteral("S"));
        }
        QCOMPARE(current(true, "NRSEQUEDIME"), QStringLiteral("4"));
        QCOMPARE(current(true, "IDFILTRO"), QStringLiteral("S"));
        QVERIFY(form->findChild<TClientDataSet *>(QStringLiteral("cdsTemp")) == nullptr);
        QVERIFY(!ShowAviActive());
    }

    void aValueWithTheSeparatorCannotBeMarked_data() { addDriverColumn(); }
    void aValueWithTheSeparatorCannotBeMarked()
    {
        QVERIFY(start());
        QSqlDatabase db = session->database();
        {
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral(
                "INSERT INTO DIMREGIAO (CDREGIAO, DSREGIAO) VALUES ('SE_SP', 'Estado de SP')")));
        }
        QVERIFY(onDimension(true, QStringLiteral("4")));
        bool refused = false;
        ListDialogAnswer answer(QStringLiteral("btnOk"), [&refused](TPesquisaListaDialog *dialog) {
            TPesquisaListaModel *model = dialog->Model();
            const int row = dialogRowOf(dialog, QStringLiteral("SE_SP"));
            QVERIFY(row >= 0);
            QVERIFY(clickDialogMark(dialog, QStringLiteral("SE_SP")));
            refused = !model->IsMarked(model->DataSetRow(row));
            dialog->findChild<QPushButton *>(QStringLiteral("btnMarcarTodos"))->click();
            refused = refused && !model->IsMarked(model->DataSetRow(row));
            QCOMPARE(model->MarkedCount(), 5);
        });
        pressF9(true);
        QVERIFY(answer.seen().opened);
        QCOMPARE(answer.seen().blocked, 1);
        QVERIFY(refused);
        QVERIFY(session->host.exceptions.isEmpty());
        QCOMPARE(storedGroupFilter(db, QStringLiteral("02"), 4),
                 QStringList({"CO", "N", "NE", "S", "SE"}));
    }
};

QTEST_MAIN(TestFilterSearch)
#include "tst_filtersearch.moc"
