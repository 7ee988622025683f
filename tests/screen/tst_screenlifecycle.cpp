// Opening, restoring, closing and re-creating the screen through the package
// entry point, and the layout the screen presents.

#include "screenfixture.h"

#include "framework/widgets/busy.h"
#include "framework/widgets/controls.h"
#include "framework/widgets/dbgrid.h"
#include "framework/widgets/padrao.h"
#include "tests/support/testdatabase.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QSplitter>
#include <QTest>

using namespace quv::test;
using Cli_quv01000::TfrmControleAcesso;

namespace {

QStringList columnFields(const TDBGrid *grid)
{
    QStringList fields;
    for (const TColumn *column : grid->Columns())
        fields.append(column->FieldName);
    return fields;
}

QStringList columnValues(TDataSet *dataSet, const QString &field)
{
    QStringList values;
    const TField *f = dataSet->FieldByName(field);
    for (qsizetype row = 0; row < dataSet->RecordCount(); ++row)
        values.append(dataSet->CellText(row, f));
    return values;
}

} // namespace

class TestScreenLifecycle : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenSession> session;

    void start()
    {
        QFETCH(QString, driver);
        session = std::make_unique<ScreenSession>();
        QString skip;
        if (!session->setUp(driver, &skip))
            QSKIP(qPrintable(skip));
    }

    static void drivers() { addDriverColumn(); }

private slots:
    void cleanup() { session.reset(); }

    void firstCallOpensTheScreenOnBothLists_data() { drivers(); }
    void firstCallOpensTheScreenOnBothLists()
    {
        start();
        TfrmControleAcesso *form = session->open();
        QVERIFY(form);
        QVERIFY(Cli_quv01000::boIdCriado);
        QCOMPARE(form->Caption(), QStringLiteral("Controle de Acesso do QUV"));
        QCOMPARE(form->lblCodTela->text(), QStringLiteral("QUV01000"));
        QVERIFY(form->subWindow());
        QCOMPARE(session->host.mdiArea()->subWindowList().size(), 1);
        QVERIFY(form->qryOperGrup->Active());
        QVERIFY(form->qryOperOper->Active());
        QCOMPARE(form->qryOperGrup->RecNo(), 1);
        QCOMPARE(form->qryOperOper->RecNo(), 1);
        QCOMPARE(form->pgcPadrao->ActivePage(), form->tshFolhaDados);
        QVERIFY(form->netControleAcesso->Connected());
        // One load per list, for the first row of each.
        QCOMPARE(session->calls,
                 QStringList({QStringLiteral("getOperGrup"), QStringLiteral("getOperOper")}));
        QVERIFY(form->cdsFatoOperGrup->Active());
        QVERIFY(form->cdsDimeOperOper->Active());
        QVERIFY(!QGuiApplication::overrideCursor());
        QVERIFY(!ShowAviActive());
        QVERIFY(session->host.exceptions.isEmpty());
    }

    void secondCallRestoresTheOpenScreenWithoutLoading_data() { drivers(); }
    void secondCallRestoresTheOpenScreenWithoutLoading()
    {
        start();
        TfrmControleAcesso *form = session->open();
        QVERIFY(form);
        form->setWindowState(wsMinimized);
        settle();
        session->calls.clear();

        session->iniProc();
        settle();
        QCOMPARE(session->form(), form);
        QCOMPARE(session->host.mdiArea()->subWindowList().size(), 1);
        QCOMPARE(form->WindowState(), wsNormal);
        QCOMPARE(session->host.mdiArea()->activeSubWindow(), form->subWindow());
        QVERIFY(session->calls.isEmpty());
        QVERIFY(!QGuiApplication::overrideCursor());
        QVERIFY(!ShowAviActive());
    }

    void callAfterClosingCreatesAFreshScreen_data() { drivers(); }
    void callAfterClosingCreatesAFreshScreen()
    {
        start();
        TfrmControleAcesso *form = session->open();
        QVERIFY(form);
        form->Close();
        settle();
        QVERIFY(!Cli_quv01000::boIdCriado);
        QVERIFY(!session->form());
        QVERIFY(session->host.mdiArea()->subWindowList().isEmpty());

        session->calls.clear();
        TfrmControleAcesso *again = session->open();
        QVERIFY(again);
        QVERIFY(Cli_quv01000::boIdCriado);
        QCOMPARE(session->calls,
                 QStringList({QStringLiteral("getOperGrup"), QStringLiteral("getOperOper")}));
    }

    // Disposed of without a close (as the host does on quit): the next call
    // must not reuse the deleted instance.
    void callAfterDisposalWithoutCloseCreatesAFreshScreen_data() { drivers(); }
    void callAfterDisposalWithoutCloseCreatesAFreshScreen()
    {
        start();
        TfrmControleAcesso *form = session->open();
        QVERIFY(form);
        form->Release();
        settle();
        QVERIFY(!session->form());
        QVERIFY(!Cli_quv01000::boIdCriado);

        session->calls.clear();
        TfrmControleAcesso *again = session->open();
        QVERIFY(again);
        QCOMPARE(session->calls,
                 QStringList({QStringLiteral("getOperGrup"), QStringLiteral("getOperOper")}));
    }

    void failedCreationLeavesNothingAndTheNextCallRetries_data() { drivers(); }
    void failedCreationLeavesNothingAndTheNextCallRetries()
    {
        start();
        QVERIFY(session->server.stop() == 0);
        QVERIFY_THROWS_EXCEPTION(std::exception, session->iniProc());
        settle();
        QVERIFY(!Cli_quv01000::boIdCriado);
        QVERIFY(!session->form());
        QVERIFY(session->host.mdiArea()->subWindowList().isEmpty());
        QVERIFY(!QGuiApplication::overrideCursor());
        QVERIFY(!ShowAviActive());

        QVERIFY(session->server.start(session->connectionString()));
        session->host.serverPort = session->server.port();
        QVERIFY(session->open());
        QVERIFY(Cli_quv01000::boIdCriado);
    }

    void listsAreOrderedByDescriptionAndName_data() { drivers(); }
    void listsAreOrderedByDescriptionAndName()
    {
        start();
        TfrmControleAcesso *form = session->open();
        QVERIFY(form);
        const QStringList groups = columnValues(form->qryOperGrup, QStringLiteral("DSGRUPOPER"));
        const QStringList operators = columnValues(form->qryOperOper, QStringLiteral("NMOPERADOR"));
        QVERIFY(groups.size() > 2);
        QVERIFY(operators.size() > 2);
        const QSqlDatabase db = session->database();
        QList<QStringList> expected =
            rows(db, QStringLiteral("SELECT DSGRUPOPER FROM GRUPOPER ORDER BY DSGRUPOPER"));
        QStringList expectedGroups;
        for (const QStringList &row : expected)
            expectedGroups.append(row.first());
        QCOMPARE(groups, expectedGroups);
        // The demo data is made so that name order is not code order.
        QVERIFY(columnValues(form->qryOperOper, QStringLiteral("CDOPERADOR")) != [&] {
            QStringList codes;
            for (const QStringList &row :
                 rows(db, QStringLiteral("SELECT CDOPERADOR FROM OPERADOR ORDER BY CDOPERADOR")))
                codes.append(row.first());
            return codes;
        }());
    }

    void layoutShowsBothPagesWithTheirGrids_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::newRow("sqlite") << QStringLiteral("sqlite");
    }
    void layoutShowsBothPagesWithTheirGrids()
    {
        start();
        TfrmControleAcesso *form = session->open();
        QVERIFY(form);
        QCOMPARE(form->tshFolhaDados->Caption(), QStringLiteral("Grupo de Operadores"));
        QCOMPARE(form->tshFormulario->Caption(), QStringLiteral("Operador"));
        QCOMPARE(form->pgcPadrao->tabText(0), QStringLiteral("Grupo de Operadores"));
        QCOMPARE(form->panNomeDimeGrup->Caption(), QStringLiteral(" Dimensões"));
        QCOMPARE(form->panOperOper->Caption(), QStringLiteral(" Operador"));

        QCOMPARE(columnFields(form->dbgPadrao),
                 QStringList({QStringLiteral("CDGRUPOPER"), QStringLiteral("DSGRUPOPER")}));
        QCOMPARE(columnFields(form->dbgOperador),
                 QStringList({QStringLiteral("CDOPERADOR"), QStringLiteral("NMOPERADOR")}));
        for (TDBGrid *grid : {form->dbgFatosGrup, form->dbgFatosOper})
            QCOMPARE(columnFields(grid),
                     QStringList({QStringLiteral("IDCHECK"), QStringLiteral("NMITEMDW")}));
        for (TDBGrid *grid : {form->dbgDimeGrup, form->dbgDimeOper}) {
            QCOMPARE(columnFields(grid),
                     QStringList({QStringLiteral("IDCHECK"), QStringLiteral("NMITEMDIME"),
                                  QStringLiteral("IDPESQ"), QStringLiteral("IDFILTRO")}));
            QCOMPARE(grid->Column(0)->Width, 16);
            QCOMPARE(grid->Column(1)->Width, 226);
            QCOMPARE(grid->Column(2)->Width, 20);
            QCOMPARE(grid->Column(3)->Width, 17);
            QCOMPARE(grid->Column(2)->Title.Charset, SYMBOL_CHARSET);
        }
        QCOMPARE(form->dbgPadrao->Column(0)->Title.Caption, QStringLiteral("Código"));
        QCOMPARE(form->dbgOperador->Column(1)->Title.Caption, QStringLiteral("Nome"));
        QVERIFY(form->dbgOperador->Options().testFlag(dgRowSelect));
        QVERIFY(!form->dbgFatosGrup->Options().testFlag(dgRowSelect));
        QVERIFY(!form->dbgFatosGrup->Options().testFlag(dgEditing));

        // Every component the layout names can be found by that name.
        for (const char *name :
             {"panOperGrup",   "splSepOperGrup",  "Panel1",       "panNomeFatoGrup",
              "Panel3",        "ScrollBox1",      "dbgFatosGrup", "splSepFatoDimeGrup",
              "Panel2",        "panNomeDimeGrup", "Panel5",       "ScrollBox2",
              "dbgDimeGrup",   "panOperOper",     "Panel4",       "ScrollBox3",
              "dbgOperador",   "splSepOperOper",  "Panel6",       "panNomeFatoOper",
              "Panel8",        "ScrollBox4",      "dbgFatosOper", "splSepFatoDimeOper",
              "Panel9",        "panNomeDimeOper", "Panel11",      "ScrollBox5",
              "dbgDimeOper",   "imgCheck",        "imgUncheck",   "imgPesqTrue",
              "imgPesqFalse",  "imgFiltro",       "imgEmpty",     "panMenu",
              "sbtProcurar",   "sbtVerificar",    "sbtImprimir",  "pgcPadrao",
              "tshFolhaDados", "tshFormulario",   "panNavigator", "dbnPadrao",
              "lblCodTela",    "dbgPadrao"})
            QVERIFY2(form->findChild<QWidget *>(QString::fromLatin1(name)), name);
        for (const char *name :
             {"netControleAcesso",  "qryOperGrup",     "qryOperOper",     "qryListaFiltroGrup",
              "qryListaFiltroOper", "qryPesqFiltro",   "dspPesqFiltro",   "cdsFatoOperGrup",
              "cdsFatoOperOper",    "cdsDimeOperGrup", "cdsDimeOperOper", "cdsPesqFiltro",
              "cdsTestaCheck",      "dtsOperGrup",     "dtsOperOper",     "dtsFatoOperGrup",
              "dtsDimeOperGrup",    "dtsFatoOperOper", "dtsDimeOperOper", "dtsPesqFiltro",
              "msgPadrao"})
            QVERIFY2(form->findChild<QObject *>(QString::fromLatin1(name)), name);

        QCOMPARE(form->imgCheck->Picture().size(), QSize(16, 16));
        QCOMPARE(form->imgFiltro->Picture().size(), QSize(15, 17));
        QVERIFY(form->imgEmpty->Picture().isNull());
        QCOMPARE(form->imgCheck->Picture().pixelColor(0, 0), QColor(128, 128, 0));
        QVERIFY(!form->imgCheck->isVisible());

        QVERIFY(!form->sbtImprimir->isEnabled());
        QVERIFY(!form->mnuIncluir->isEnabled());
        QCOMPARE(form->mnuFolhaDados->text(), QStringLiteral("&Grupo de Operadores"));
        QCOMPARE(form->msgPadrao->Msg(QStringLiteral("DADOS_DIME")),
                 QStringLiteral("Existe filtro aplicado a esta dimensão.\r\nDeseja excluí-lo?"));
        QCOMPARE(form->netControleAcesso->ServerName, QStringLiteral("QUV01000.rdmControleAcesso"));
        QCOMPARE(form->qryOperGrup->SQL.join(QLatin1Char('\n')),
                 QStringLiteral("SELECT \n      CDGRUPOPER,  DSGRUPOPER\nFROM\n      GRUPOPER\n"
                                "ORDER BY\n      DSGRUPOPER"));
    }
};

QTEST_MAIN(TestScreenLifecycle)
#include "tst_screenlifecycle.moc"
