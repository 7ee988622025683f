// The history window as the user meets it: opened from the context menu of
// either principal list on that principal's rows, fetching further pages as
// it scrolls, and "Desfazer" asking first, then taking the change back,
// reloading the screen and naming the changed tables to the host's cache.

#include "screen/historywindow.h"
#include "screenfixture.h"
#include "tests/support/testdatabase.h"

#include "db/sql.h"
#include "framework/data/servercheck.h"

#include <QAbstractItemModelTester>
#include <QContextMenuEvent>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSqlQuery>
#include <QTableView>
#include <QTest>

using namespace quv;
using namespace quv::test;
using Cli_quv01000::HistoryModel;
using Cli_quv01000::HistoryWindow;
using Cli_quv01000::TfrmControleAcesso;

namespace {

void grantMargin(TfrmControleAcesso *form, const QString &group)
{
    QVariantList args{"FATOVENDA", "VLMARGEM", group, true, QVariant()};
    CheckResultServ(
        form->netControleAcesso->AppServer().Call(QStringLiteral("setCkFatoOpGrup"), args), true,
        0);
}

bool holdsMargin(const ScreenSession &s, const QString &code)
{
    return count(s.database(),
                 QStringLiteral("SELECT COUNT(*) FROM ITEMDWGRUPOP WHERE CDGRUPOPER "
                                "= ? AND CDITEMDW = 'VLMARGEM'"),
                 {code}) == 1;
}

QString shownMarginGrant(TfrmControleAcesso *form)
{
    form->cdsFatoOperGrup->Locate(QStringLiteral("CDITEMDW"), QStringLiteral("VLMARGEM"), {});
    return form->cdsFatoOperGrupCDITEMDWCTAC->AsString();
}

} // namespace

class HistoryWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        if (HistoryWindow *w = HistoryWindow::instance())
            delete (w->parentWidget() ? w->parentWidget() : w);
        settle();
    }

    void openedFromEitherList_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<bool>("group");
        for (const QString &driver : Drivers) {
            QTest::newRow(qPrintable(driver + u" group list")) << driver << true;
            QTest::newRow(qPrintable(driver + u" operator list")) << driver << false;
        }
    }
    void openedFromEitherList()
    {
        QFETCH(QString, driver);
        QFETCH(bool, group);
        ScreenSession s;
        QString skip;
        if (!s.setUp(driver, &skip))
            QSKIP(qPrintable(skip));
        TfrmControleAcesso *form = s.open();
        QVERIFY(form);
        const QString code = group ? QStringLiteral("02") : QStringLiteral("JSILVA");
        // More changes than a page holds, and one of another principal.
        const auto write = [&s](const QString &kind, const QString &principal) {
            db::run(s.database(),
                    QStringLiteral("INSERT INTO AUDITORIA (DTAUDITORIA, NMADMINISTRADOR, "
                                   "NMMETODO, TPPRINCIPAL, CDPRINCIPAL, DSITENS, DSANTES, "
                                   "DSDEPOIS) VALUES ('2024-06-01T10:00:00.000Z', 'admin', "
                                   "'setCkFatoOpGrup', ?, ?, '[[\"FATOVENDA\",\"VLMARGEM\"]]', "
                                   "'{\"granted\":[]}', "
                                   "'{\"granted\":[[\"FATOVENDA\",\"VLMARGEM\"]]}')"),
                    {kind, principal});
        };
        for (int i = 0; i < 55; ++i)
            write(group ? QStringLiteral("G") : QStringLiteral("O"), code);
        write(QStringLiteral("G"), QStringLiteral("05"));
        TADOIBQuery *list = group ? form->qryOperGrup : form->qryOperOper;
        QVERIFY(list->Locate(group ? QStringLiteral("CDGRUPOPER") : QStringLiteral("CDOPERADOR"),
                             code, {}));

        TDBGrid *grid = group ? form->dbgPadrao : form->dbgOperador;
        QMenu *menu = grid->findChild<QMenu *>(group ? QStringLiteral("pmnOperGrup")
                                                     : QStringLiteral("pmnOperOper"));
        QVERIFY(menu);
        const QStringList before = s.calls;
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20),
                                grid->viewport()->mapToGlobal(QPoint(20, 20)));
        QApplication::sendEvent(grid->viewport(), &event);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(s.calls, before); // the menu itself asks the server nothing
        QAction *entry = menu->findChild<QAction *>(group ? QStringLiteral("mnuHistoricoGrup")
                                                          : QStringLiteral("mnuHistoricoOper"));
        QVERIFY(entry && entry->isEnabled());
        QCOMPARE(entry->text(), QStringLiteral("Histórico de alterações…"));
        menu->close();
        entry->trigger();
        settle();

        HistoryWindow *window = HistoryWindow::instance();
        QVERIFY(window);
        QVERIFY2(window->model->rowCount() == 50, qPrintable(window->model->error()));
        QVERIFY(window->model->canFetchMore({}));
        for (int row = 0; row < window->model->rowCount(); ++row)
            QCOMPARE(window->model->entry(row)->principalKey(), (group ? u"G" : u"O") + code);
        QVERIFY(window->btnDesfazer->isEnabled()); // the newest row is selected
        QVERIFY(!window->memDetalhes->toPlainText().isEmpty());

        window->grdHistorico->scrollToBottom();
        QTRY_COMPARE(window->model->rowCount(), 55);
        QVERIFY(!window->model->canFetchMore({}));
        QAbstractItemModelTester tester(window->model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
    }

    // A page lists a row's first facts; the details show every one, read
    // once, however often the row is selected.
    void detailsShowEveryFact()
    {
        ScreenSession s;
        QString skip;
        if (!s.setUp(QStringLiteral("sqlite"), &skip))
            QSKIP(qPrintable(skip));
        QVERIFY(s.open());
        QStringList facts;
        for (int i = 1; i <= 25; ++i)
            facts.append(QStringLiteral(R"(["FATOX","I%1"])").arg(i, 2, 10, QLatin1Char('0')));
        const QString all = QLatin1Char('[') + facts.join(u',') + QLatin1Char(']');
        db::run(s.database(),
                QStringLiteral("INSERT INTO AUDITORIA (DTAUDITORIA, NMADMINISTRADOR, NMMETODO, "
                               "TPPRINCIPAL, CDPRINCIPAL, DSITENS, DSANTES, DSDEPOIS) VALUES "
                               "('2024-06-01T10:00:00.000Z', 'admin', 'setTChkFatoOpGrup', 'G', "
                               "'05', ?, '{\"granted\":[]}', ?)"),
                {all, QStringLiteral(R"({"granted":%1})").arg(all)});
        Cli_quv01000::abreHistorico(QString());
        HistoryWindow *window = HistoryWindow::instance();
        QVERIFY(window);
        QCOMPARE(window->model->entry(0)->change.factsAddedCount(), 25);
        const QString details = window->memDetalhes->toPlainText();
        QVERIFY2(details.contains(QStringLiteral("FATOX/I25")) &&
                     !details.contains(QStringLiteral("e mais")),
                 qPrintable(details));
        window->grdHistorico->selectRow(1);
        window->grdHistorico->selectRow(0);
        QCOMPARE(s.calls.count(QStringLiteral("getAlteracao")), 1);
    }

    // A call waits with the event loop running: the view's timer may ask
    // for rows then, or while the window undoes a change. Those asks wait;
    // they must not become a second call on the busy connection.
    void fetchingWaitsForTheCallInProgress()
    {
        HistoryModel model;
        int calls = 0;
        model.restart([&](const QString &cursor) {
            ++calls;
            model.fetchMore({});
            HistoryModel::Page page;
            quv::history::Entry entry;
            entry.id = cursor.isEmpty() ? 2 : 1;
            page.entries = {entry};
            page.next = cursor.isEmpty() ? QStringLiteral("2") : QString();
            return page;
        });
        QCOMPARE(calls, 1);
        QCOMPARE(model.rowCount(), 1);
        QVERIFY(model.error().isEmpty());
        model.setPaused(true);
        QVERIFY(!model.canFetchMore({}));
        model.setPaused(false);
        model.fetchMore({});
        QCOMPARE(calls, 2);
        QCOMPARE(model.rowCount(), 2);
        QVERIFY(!model.canFetchMore({}));
    }

    void undoFromTheWindow_data() { addDriverColumn(); }
    void undoFromTheWindow()
    {
        QFETCH(QString, driver);
        ScreenSession s;
        QString skip;
        if (!s.setUp(driver, &skip))
            QSKIP(qPrintable(skip));
        TfrmControleAcesso *form = s.open();
        QVERIFY(form);
        QVERIFY(!holdsMargin(s, QStringLiteral("06")));
        grantMargin(form, QStringLiteral("06"));
        QVERIFY(form->qryOperGrup->Locate(QStringLiteral("CDGRUPOPER"), QStringLiteral("06"), {}));
        QCOMPARE(shownMarginGrant(form), QStringLiteral("VLMARGEM"));

        Cli_quv01000::abreHistorico(QStringLiteral("G06"));
        HistoryWindow *window = HistoryWindow::instance();
        QVERIFY(window);
        QCOMPARE(window->model->rowCount(), 1);

        QString question;
        answerNextDialog(QStringLiteral("btnNo"), &question);
        window->btnDesfazer->click();
        settle();
        QVERIFY2(question.contains(QStringLiteral("Revogar o fato Margem Bruta")),
                 qPrintable(question));
        QVERIFY(holdsMargin(s, QStringLiteral("06")));

        s.host.cacheRequests.clear();
        answerNextDialog(QStringLiteral("btnYes"));
        window->btnDesfazer->click();
        settle();
        QCOMPARE(s.host.exceptions, QStringList());
        QVERIFY(!holdsMargin(s, QStringLiteral("06")));
        QCOMPARE(shownMarginGrant(form), QString());
        QCOMPARE(s.host.cacheRequests, QList<QStringList>{{QStringLiteral("ITEMDWGRUPOP")}});
        QCOMPARE(window->model->rowCount(), 2);
        QCOMPARE(window->model->entry(0)->undoes, window->model->entry(1)->id);

        // The change is undone: a second undo is refused with the server's
        // words, and changes nothing.
        window->grdHistorico->selectRow(1);
        answerNextDialog(QStringLiteral("btnYes"));
        window->btnDesfazer->click();
        settle();
        QCOMPARE(s.host.exceptions.size(), 1);
        QVERIFY2(s.host.exceptions.first().contains(QStringLiteral("já foi desfeita")),
                 qPrintable(s.host.exceptions.first()));
        QVERIFY(!holdsMargin(s, QStringLiteral("06")));
    }
};

QTEST_MAIN(HistoryWindowTest)
#include "tst_historywindow.moc"
