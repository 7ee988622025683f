// Loading a principal's grants as the lists move, the refresh and search
// buttons, the page change, and a load that fails while the server is down,
// all through the real package, server and database.

#include "grantgrids.h"

#include "framework/data/servercheck.h"
#include "framework/widgets/busy.h"
#include "framework/widgets/controls.h"
#include "framework/widgets/dbctrls.h"
#include "framework/widgets/padrao.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>

using namespace quv::test;
using Cli_quv01000::TfrmControleAcesso;

// The checks of a helper end the test function too when they fail.
#define VERIFY_GROUP(code)                                                                         \
    do {                                                                                           \
        verifyGroupShows(code);                                                                    \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)
#define VERIFY_OPERATOR(code)                                                                      \
    do {                                                                                           \
        verifyOperatorShows(code);                                                                 \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

namespace {

/// Both grant datasets of a page as they stand: open or not, and their rows.
struct Grants
{
    bool factsOpen = false;
    bool dimensionsOpen = false;
    quv::DataPacket facts;
    quv::DataPacket dimensions;

    static Grants of(TClientDataSet *facts, TClientDataSet *dimensions)
    {
        Grants g;
        g.factsOpen = facts->Active();
        g.dimensionsOpen = dimensions->Active();
        if (g.factsOpen)
            g.facts = facts->Data();
        if (g.dimensionsOpen)
            g.dimensions = dimensions->Data();
        return g;
    }
    bool operator==(const Grants &other) const
    {
        return factsOpen == other.factsOpen && dimensionsOpen == other.dimensionsOpen &&
               facts == other.facts && dimensions == other.dimensions;
    }
};

Grants groupGrants(TfrmControleAcesso *form)
{
    return Grants::of(form->cdsFatoOperGrup, form->cdsDimeOperGrup);
}

Grants operatorGrants(TfrmControleAcesso *form)
{
    return Grants::of(form->cdsFatoOperOper, form->cdsDimeOperOper);
}

QStringList only(const QString &method, int times = 1)
{
    QStringList calls;
    for (int i = 0; i < times; ++i)
        calls.append(method);
    return calls;
}

void clickTab(TfrmControleAcesso *form, int index)
{
    QTabBar *bar = form->pgcPadrao->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    settle();
}

/// Watches for any modal dialog until stopped; closes each one it sees.
class DialogWatch : public QObject
{
public:
    DialogWatch()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                seen.append(modal->windowTitle());
                modal->close();
            }
        });
        m_timer.start(5);
    }
    QStringList seen;

private:
    QTimer m_timer;
};

/// Types `text` into the next search dialog and confirms it.
void answerSearch(const QString &text, QString *title)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    auto attempts = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, text, title, attempts] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal) {
            if (++*attempts > 1000)
                timer->deleteLater();
            return;
        }
        timer->deleteLater();
        *title = modal->windowTitle();
        auto *edit = modal->findChild<QLineEdit *>(QStringLiteral("edtProcura"));
        auto *ok = modal->findChild<QPushButton *>(QStringLiteral("btnOk"));
        if (!edit || !ok) {
            modal->close();
            return;
        }
        edit->setText(text);
        ok->click();
    });
    timer->start();
}

} // namespace

class TestGrantLoading : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenSession> session;
    TfrmControleAcesso *form = nullptr;

    /// A session on the current row's driver with the screen open and shown.
    bool start()
    {
        QFETCH(QString, driver);
        session = std::make_unique<ScreenSession>();
        QString skip;
        if (!session->setUp(driver, &skip)) {
            QTest::qSkip(qPrintable(skip), __FILE__, __LINE__);
            return false;
        }
        form = session->open();
        if (!form || !showHost(*session)) {
            QTest::qFail("the screen did not open", __FILE__, __LINE__);
            return false;
        }
        return true;
    }

    QString groupCode() const { return form->qryOperGrupCDGRUPOPER->AsString(); }
    QString operatorCode() const { return form->qryOperOperCDOPERADOR->AsString(); }

    /// The group grids show exactly what the database grants to `code`.
    void verifyGroupShows(const QString &code)
    {
        const QSqlDatabase db = session->database();
        QCOMPARE(loadedFactMarks(form->cdsFatoOperGrup),
                 expectedFactMarks(db, groupTables(), code));
        QCOMPARE(loadedDimensionMarks(form->cdsDimeOperGrup),
                 expectedDimensionMarks(db, groupTables(), code));
    }

    void verifyOperatorShows(const QString &code)
    {
        const QSqlDatabase db = session->database();
        QCOMPARE(loadedFactMarks(form->cdsFatoOperOper),
                 expectedFactMarks(db, operatorTables(), code));
        QCOMPARE(loadedDimensionMarks(form->cdsDimeOperOper),
                 expectedDimensionMarks(db, operatorTables(), code));
    }

    void exec(const QString &sql, const QVariantList &values = {})
    {
        rows(session->database(), sql, values);
    }

private slots:
    void cleanup()
    {
        form = nullptr;
        session.reset();
    }

    void openingShowsTheFirstPrincipalOfEachList_data() { addDriverColumn(); }
    void openingShowsTheFirstPrincipalOfEachList()
    {
        if (!start())
            return;
        QCOMPARE(groupCode(), QStringLiteral("07"));
        QCOMPARE(operatorCode(), QStringLiteral("ADMIN"));
        // The group list has the focus first, and the navigator follows it.
        QCOMPARE(QApplication::focusWidget(), form->dbgPadrao);
        QCOMPARE(Cli_quv01000::byNrGrid, quint8(0));
        QCOMPARE(form->dbnPadrao->DataSource(), form->dtsOperGrup);
        QCOMPARE(form->dbtRegistro->DataField(), QStringLiteral("DSGRUPOPER"));
        QCOMPARE(form->dbtRegistro->text(), QStringLiteral("Auditoria Interna"));
        VERIFY_GROUP(QStringLiteral("07"));
        VERIFY_OPERATOR(QStringLiteral("ADMIN"));
        // The demo's first principals show every kind of mark at once.
        for (TDataSet *dims : {static_cast<TDataSet *>(form->cdsDimeOperGrup),
                               static_cast<TDataSet *>(form->cdsDimeOperOper)}) {
            const QStringList marks = loadedDimensionMarks(dims).values();
            QVERIFY(marks.contains(QStringLiteral("SSS")));
            QVERIFY(marks.contains(QStringLiteral("SSN")));
            QVERIFY(marks.contains(QStringLiteral("SNN")));
            QVERIFY(marks.contains(QStringLiteral("NNN")));
        }
        QVERIFY(loadedFactMarks(form->cdsFatoOperGrup).values().contains(QStringLiteral("S")));
        QVERIFY(loadedFactMarks(form->cdsFatoOperOper).values().contains(QStringLiteral("S")));
    }

    void movingTheGroupListLoadsOnlyThatGroup_data() { addDriverColumn(); }
    void movingTheGroupListLoadsOnlyThatGroup()
    {
        if (!start())
            return;
        const Grants operators = operatorGrants(form);
        const Grants first = groupGrants(form);
        session->calls.clear();

        QTest::keyClick(form->dbgPadrao, Qt::Key_Down);
        settle();
        QCOMPARE(session->calls, only(QStringLiteral("getOperGrup")));
        QCOMPARE(form->qryOperGrup->RecNo(), 2);
        QCOMPARE(groupCode(), QStringLiteral("03"));
        QVERIFY(!(groupGrants(form) == first));
        VERIFY_GROUP(QStringLiteral("03"));
        QVERIFY(operatorGrants(form) == operators);

        // The navigator moves the list the same way.
        form->dbgPadrao->setFocus();
        settle();
        QCOMPARE(form->dbnPadrao->DataSource(), form->dtsOperGrup);
        session->calls.clear();
        QTest::mouseClick(form->dbnPadrao->Button(nbNext), Qt::LeftButton);
        settle();
        QCOMPARE(session->calls, only(QStringLiteral("getOperGrup")));
        QCOMPARE(groupCode(), QStringLiteral("01"));
        VERIFY_GROUP(QStringLiteral("01"));
        QVERIFY(operatorGrants(form) == operators);
        QVERIFY(!ShowAviActive());
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void movingTheOperatorListLoadsOnlyThatOperator_data() { addDriverColumn(); }
    void movingTheOperatorListLoadsOnlyThatOperator()
    {
        if (!start())
            return;
        clickTab(form, 1);
        const Grants groups = groupGrants(form);
        session->calls.clear();

        QTest::keyClick(form->dbgOperador, Qt::Key_Down);
        settle();
        QCOMPARE(session->calls, only(QStringLiteral("getOperOper")));
        QCOMPARE(operatorCode(), QStringLiteral("ACONCEICAO"));
        VERIFY_OPERATOR(QStringLiteral("ACONCEICAO"));
        QVERIFY(groupGrants(form) == groups);

        session->calls.clear();
        QTest::mouseClick(form->dbnPadrao->Button(nbLast), Qt::LeftButton);
        settle();
        QCOMPARE(session->calls, only(QStringLiteral("getOperOper")));
        QCOMPARE(operatorCode(), QStringLiteral("VISITANTE"));
        VERIFY_OPERATOR(QStringLiteral("VISITANTE"));
        QVERIFY(groupGrants(form) == groups);
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void keysOfNoKnownKindLoadNothing_data() { addDriverColumn(); }
    void keysOfNoKnownKindLoadNothing()
    {
        if (!start())
            return;
        const Grants groups = groupGrants(form);
        const Grants operators = operatorGrants(form);
        session->calls.clear();
        for (const QString &key :
             {QStringLiteral("g01"), QString(QStringLiteral("o") + operatorCode()),
              QStringLiteral("X1"), QString(), QStringLiteral("   "), QStringLiteral(" G01")}) {
            form->changeRow(key);
            QVERIFY2(session->calls.isEmpty(), qPrintable(key));
        }
        QVERIFY(groupGrants(form) == groups);
        QVERIFY(operatorGrants(form) == operators);
        QVERIFY(!ShowAviActive());

        // The kind letter alone asks for an empty code, which the server
        // refuses; the refusal reaches the caller and nothing stays busy.
        QString message;
        try {
            form->changeRow(QStringLiteral("G"));
        } catch (const EServerError &e) {
            message = e.Message();
        }
        QCOMPARE(session->calls, only(QStringLiteral("getOperGrup")));
        QVERIFY2(message.startsWith(QStringLiteral("Grupo de operadores")), qPrintable(message));
        QVERIFY(!ShowAviActive());
        QVERIFY(operatorGrants(form) == operators);
        // No grants of the group the list stands on are claimed for it.
        QVERIFY(!form->cdsFatoOperGrup->Active());
        QVERIFY(!form->cdsDimeOperGrup->Active());

        // A well-formed key loads again.
        form->changeRow(QStringLiteral("G") + groupCode());
        VERIFY_GROUP(groupCode());
    }

    void refreshReturnsToTheRememberedGroup_data() { addDriverColumn(); }
    void refreshReturnsToTheRememberedGroup()
    {
        if (!start())
            return;
        QVERIFY(form->qryOperGrup->Locate(QStringLiteral("CDGRUPOPER"), QStringLiteral("02"), {}));
        QTest::mouseClick(form->dbgDimeGrup->viewport(), Qt::LeftButton, {},
                          form->dbgDimeGrup->CellRect(0, 1).center());
        settle();
        QCOMPARE(Cli_quv01000::byNrGrid, quint8(2));
        const qsizetype before = form->qryOperGrup->RecordCount();
        // A group added meanwhile shows only if the list is really read again.
        exec(QStringLiteral("INSERT INTO GRUPOPER (CDGRUPOPER, DSGRUPOPER) VALUES ('0A', "
                            "'Almoxarifado')"));
        const Grants operators = operatorGrants(form);
        session->calls.clear();

        QTest::mouseClick(form->sbtVerificar, Qt::LeftButton);
        settle();
        QCOMPARE(form->qryOperGrup->RecordCount(), before + 1);
        QCOMPARE(groupCode(), QStringLiteral("02"));
        QCOMPARE(Cli_quv01000::stLocatePk1, QStringLiteral("02"));
        // Reopening lands on the first row, then the locate moves on.
        QCOMPARE(session->calls, only(QStringLiteral("getOperGrup"), 2));
        VERIFY_GROUP(QStringLiteral("02"));
        QVERIFY(operatorGrants(form) == operators);
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void refreshFindsThePrincipalWhateverTheCase_data() { addDriverColumn(); }
    void refreshFindsThePrincipalWhateverTheCase()
    {
        if (!start())
            return;
        exec(QStringLiteral(
            "INSERT INTO GRUPOPER (CDGRUPOPER, DSGRUPOPER) VALUES ('XA', 'Zeladoria')"));
        exec(QStringLiteral("INSERT INTO OPERADOR (CDOPERADOR, NMOPERADOR) VALUES ('ZTESTE', "
                            "'Zacarias Teste')"));
        QTest::mouseClick(form->sbtVerificar, Qt::LeftButton);
        settle();
        QVERIFY(form->qryOperGrup->Locate(QStringLiteral("CDGRUPOPER"), QStringLiteral("XA"), {}));
        exec(QStringLiteral("UPDATE GRUPOPER SET CDGRUPOPER = 'xa' WHERE CDGRUPOPER = 'XA'"));
        session->calls.clear();
        QTest::mouseClick(form->sbtVerificar, Qt::LeftButton);
        settle();
        QCOMPARE(groupCode(), QStringLiteral("xa"));
        QCOMPARE(session->calls, only(QStringLiteral("getOperGrup"), 2));
        VERIFY_GROUP(QStringLiteral("xa"));

        // The same on the operator page, from its fact grid.
        clickTab(form, 1);
        QVERIFY(
            form->qryOperOper->Locate(QStringLiteral("CDOPERADOR"), QStringLiteral("ZTESTE"), {}));
        QTest::mouseClick(form->dbgFatosOper->viewport(), Qt::LeftButton, {},
                          form->dbgFatosOper->CellRect(2, 1).center());
        settle();
        QCOMPARE(Cli_quv01000::byNrGrid, quint8(4));
        exec(QStringLiteral(
            "UPDATE OPERADOR SET CDOPERADOR = 'ZTeste' WHERE CDOPERADOR = 'ZTESTE'"));
        const Grants groups = groupGrants(form);
        session->calls.clear();
        QTest::mouseClick(form->sbtVerificar, Qt::LeftButton);
        settle();
        QCOMPARE(operatorCode(), QStringLiteral("ZTeste"));
        QCOMPARE(session->calls, only(QStringLiteral("getOperOper"), 2));
        QVERIFY(groupGrants(form) == groups);
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void refreshAfterThePrincipalWasDeletedStaysWhereTheListLands_data() { addDriverColumn(); }
    void refreshAfterThePrincipalWasDeletedStaysWhereTheListLands()
    {
        if (!start())
            return;
        exec(QStringLiteral("INSERT INTO OPERADOR (CDOPERADOR, NMOPERADOR) VALUES ('ZZTEMP', "
                            "'Zuleica Temporária')"));
        exec(QStringLiteral(
            "INSERT INTO ITEMDWOPER (CDOPERADOR, CDTABELADW, CDITEMDW) VALUES ('ZZTEMP', "
            "'FATOVENDA', 'VLVENDA')"));
        clickTab(form, 1);
        QTest::mouseClick(form->dbnPadrao->Button(nbLast), Qt::LeftButton);
        settle();
        QCOMPARE(operatorCode(), QStringLiteral("ZZTEMP"));
        VERIFY_OPERATOR(QStringLiteral("ZZTEMP"));
        QTest::mouseClick(form->dbgDimeOper->viewport(), Qt::LeftButton, {},
                          form->dbgDimeOper->CellRect(1, 1).center());
        settle();
        QCOMPARE(Cli_quv01000::byNrGrid, quint8(5));

        exec(QStringLiteral("DELETE FROM ITEMDWOPER WHERE CDOPERADOR = 'ZZTEMP'"));
        exec(QStringLiteral("DELETE FROM OPERADOR WHERE CDOPERADOR = 'ZZTEMP'"));
        const Grants groups = groupGrants(form);
        const QString group = groupCode();
        session->calls.clear();
        QTest::mouseClick(form->sbtVerificar, Qt::LeftButton);
        settle();
        // The locate finds nothing: the list stays on the row the reopening
        // reached, and that row's grants are shown; no message.
        QCOMPARE(form->qryOperOper->RecNo(), 1);
        QCOMPARE(operatorCode(), QStringLiteral("ADMIN"));
        QCOMPARE(session->calls, only(QStringLiteral("getOperOper")));
        VERIFY_OPERATOR(QStringLiteral("ADMIN"));
        QVERIFY(session->host.exceptions.isEmpty());
        QVERIFY(groupGrants(form) == groups);
        QCOMPARE(groupCode(), group);
    }

    void searchNeedsALoadedGrid_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::newRow("sqlite") << QStringLiteral("sqlite");
    }
    void searchNeedsALoadedGrid()
    {
        QFETCH(QString, driver);
        session = std::make_unique<ScreenSession>();
        QString skip;
        if (!session->setUp(driver, &skip))
            QSKIP(qPrintable(skip));
        // With no operators the operator page never loads a grant.
        for (const char *table : {"FILDIMEOPER", "DIMEODWOPER", "ITEMDWOPER", "OPERADOR"})
            exec(QStringLiteral("DELETE FROM ") + QLatin1String(table));
        form = session->open();
        QVERIFY(form);
        QVERIFY(showHost(*session));
        clickTab(form, 1);
        QVERIFY(!form->cdsFatoOperOper->Active());
        QTest::mouseClick(form->dbgFatosOper->viewport(), Qt::LeftButton, {}, QPoint(30, 5));
        settle();
        QCOMPARE(Cli_quv01000::byNrGrid, quint8(4));
        {
            DialogWatch watch;
            QTest::mouseClick(form->sbtProcurar, Qt::LeftButton);
            QTest::qWait(50);
            QVERIFY(watch.seen.isEmpty());
            // A grid number past the six grids names no dataset either.
            Cli_quv01000::byNrGrid = 6;
            form->sbtProcurarClick(form->sbtProcurar);
            QTest::qWait(50);
            QVERIFY(watch.seen.isEmpty());
        }
        QVERIFY(session->host.exceptions.isEmpty());

        // On a loaded grid the search opens and moves the dataset.
        clickTab(form, 0);
        QTest::mouseClick(form->dbgFatosGrup->viewport(), Qt::LeftButton, {},
                          form->dbgFatosGrup->CellRect(0, 1).center());
        settle();
        QCOMPARE(Cli_quv01000::byNrGrid, quint8(1));
        QCOMPARE(form->cdsFatoOperGrup->RecNo(), 1);
        QString title;
        answerSearch(QStringLiteral("margem"), &title);
        QTest::mouseClick(form->sbtProcurar, Qt::LeftButton);
        settle();
        QCOMPARE(title, QStringLiteral("Procurar"));
        QCOMPARE(form->cdsFatoOperGrupNMITEMDW->AsString(), QStringLiteral("Margem Bruta"));
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void pageChangeFocusesTheListAndRefreshesIt_data() { addDriverColumn(); }
    void pageChangeFocusesTheListAndRefreshesIt()
    {
        if (!start())
            return;
        const Grants groups = groupGrants(form);
        session->calls.clear();
        clickTab(form, 1);
        QCOMPARE(form->pgcPadrao->ActivePage(), form->tshFormulario);
        QCOMPARE(QApplication::focusWidget(), form->dbgOperador);
        QCOMPARE(Cli_quv01000::byNrGrid, quint8(3));
        QCOMPARE(form->dbnPadrao->DataSource(), form->dtsOperOper);
        QCOMPARE(form->dbtRegistro->DataSource(), form->dtsOperOper);
        QCOMPARE(form->dbtRegistro->DataField(), QStringLiteral("NMOPERADOR"));
        QCOMPARE(form->dbtRegistro->text(), QStringLiteral("Administrador do Sistema"));
        QCOMPARE(session->calls, only(QStringLiteral("getOperOper")));
        QVERIFY(groupGrants(form) == groups);

        QTest::keyClick(form->dbgOperador, Qt::Key_Down);
        QTest::keyClick(form->dbgOperador, Qt::Key_Down);
        settle();
        const QString chosen = operatorCode();
        const Grants operators = operatorGrants(form);
        session->calls.clear();
        clickTab(form, 0);
        QCOMPARE(QApplication::focusWidget(), form->dbgPadrao);
        QCOMPARE(Cli_quv01000::byNrGrid, quint8(0));
        QCOMPARE(form->dbnPadrao->DataSource(), form->dtsOperGrup);
        QCOMPARE(form->dbtRegistro->DataSource(), form->dtsOperGrup);
        QCOMPARE(form->dbtRegistro->DataField(), QStringLiteral("DSGRUPOPER"));
        QCOMPARE(form->dbtRegistro->text(), QStringLiteral("Auditoria Interna"));
        QCOMPARE(session->calls, only(QStringLiteral("getOperGrup")));
        QVERIFY(operatorGrants(form) == operators);

        // Back on the operators, the list is reread and returns to the
        // operator chosen before.
        session->calls.clear();
        clickTab(form, 1);
        QCOMPARE(operatorCode(), chosen);
        QCOMPARE(form->qryOperOper->RecNo(), 3);
        QCOMPARE(session->calls, only(QStringLiteral("getOperOper"), 2));
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void enteringEachGridRebindsTheNavigator_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::newRow("sqlite") << QStringLiteral("sqlite");
    }
    void enteringEachGridRebindsTheNavigator()
    {
        if (!start())
            return;
        struct Expect
        {
            int page;
            TDBGrid *grid;
            TDataSource *source;
            const char *field;
        };
        const Expect expected[] = {
            {0, form->dbgPadrao, form->dtsOperGrup, "DSGRUPOPER"},
            {0, form->dbgFatosGrup, form->dtsFatoOperGrup, "NMITEMDW"},
            {0, form->dbgDimeGrup, form->dtsDimeOperGrup, "NMITEMDIME"},
            {1, form->dbgOperador, form->dtsOperOper, "NMOPERADOR"},
            {1, form->dbgFatosOper, form->dtsFatoOperOper, "NMITEMDW"},
            {1, form->dbgDimeOper, form->dtsDimeOperOper, "NMITEMDIME"},
        };
        for (int n = 5; n >= 0; --n) {
            const Expect &e = expected[n];
            if (form->pgcPadrao->currentIndex() != e.page)
                clickTab(form, e.page);
            QTest::mouseClick(e.grid->viewport(), Qt::LeftButton, {},
                              e.grid->CellRect(1, 1).center());
            settle();
            QCOMPARE(Cli_quv01000::byNrGrid, quint8(n));
            QCOMPARE(form->dbnPadrao->DataSource(), e.source);
            QCOMPARE(form->dbtRegistro->DataSource(), e.source);
            QCOMPARE(form->dbtRegistro->DataField(), QString::fromLatin1(e.field));
            // The caption shows the row the click made current.
            QCOMPARE(form->dbtRegistro->text(),
                     e.source->DataSet()->CellText(
                         1, e.source->DataSet()->FieldByName(QString::fromLatin1(e.field))));
        }
        // Any other number leaves both unbound.
        Cli_quv01000::byNrGrid = 7;
        form->navigator();
        QVERIFY(!form->dbnPadrao->DataSource());
        QVERIFY(!form->dbtRegistro->DataSource());
        QVERIFY(form->dbtRegistro->DataField().isEmpty());
    }

    void failedLoadIsReportedOnceAndLeavesNoOtherGrants_data() { addDriverColumn(); }
    void failedLoadIsReportedOnceAndLeavesNoOtherGrants()
    {
        if (!start())
            return;
        const Grants operators = operatorGrants(form);
        QVERIFY(form->dbgFatosGrup->model()->rowCount() > 0);
        QCOMPARE(session->server.stop(), 0);
        session->calls.clear();

        QTest::keyClick(form->dbgPadrao, Qt::Key_Down);
        settle();
        QCOMPARE(session->calls, only(QStringLiteral("getOperGrup")));
        QCOMPARE(session->host.exceptions.size(), 1);
        QVERIFY(!ShowAviActive());
        QCOMPARE(form->qryOperGrup->RecNo(), 2);
        // Nothing of the previous group shows under the new one.
        QVERIFY(!form->cdsFatoOperGrup->Active());
        QVERIFY(!form->cdsDimeOperGrup->Active());
        QCOMPARE(form->dbgFatosGrup->model()->rowCount(), 0);
        QCOMPARE(form->dbgDimeGrup->model()->rowCount(), 0);
        QVERIFY(operatorGrants(form) == operators);
        // Repainting the emptied grids reports nothing more.
        form->dbgFatosGrup->repaint();
        form->dbgDimeGrup->repaint();
        settle();
        QCOMPARE(session->host.exceptions.size(), 1);

        // With the server back on the same database, moving on loads again
        // on the same screen.
        QVERIFY(session->server.start(session->connectionString()));
        session->host.serverPort = session->server.port();
        session->calls.clear();
        QTest::keyClick(form->dbgPadrao, Qt::Key_Down);
        settle();
        QCOMPARE(session->calls, only(QStringLiteral("getOperGrup")));
        QCOMPARE(session->host.exceptions.size(), 1);
        QCOMPARE(groupCode(), QStringLiteral("01"));
        VERIFY_GROUP(QStringLiteral("01"));
        QVERIFY(form->dbgFatosGrup->model()->rowCount() > 0);
        QVERIFY(operatorGrants(form) == operators);
    }
};

QTEST_MAIN(TestGrantLoading)
#include "tst_grantloading.moc"
