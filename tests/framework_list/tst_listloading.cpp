// The list dialog over a search whose rows still arrive from the database:
// confirming before they are all in, and a read the database cuts off.

#include "framework/data/adoquery.h"
#include "framework/widgets/listdialog.h"
#include "tests/support/frameworkdatabase.h"
#include "tests/support/modalanswer.h"

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QLabel>
#include <QTest>

using quv::test::generatedRows;

class TestListLoading : public QObject
{
    Q_OBJECT

    // What the screen does before the dialog: the query opened, its packet
    // given to the client dataset the dialog shows.
    struct Search
    {
        explicit Search(const QString &sql)
        {
            query.SQL = QStringList{sql};
            query.Open();
            provider.DataSet = &query;
            rows.SetData(provider.Data());
            source.setDataSet(&rows);
        }
        TADOIBQuery query;
        TDataSetProvider provider;
        TClientDataSet rows;
        TDataSource source;
    };

private slots:
    void initTestCase_data() { quv::test::addDriverColumn(); }

    void init()
    {
        QFETCH_GLOBAL(QString, driver);
        m_driver = driver;
        QUV_OPEN_FRAMEWORK_DATABASE(m_db, driver);
    }

    void cleanup() { m_db.reset(); }

    void confirmingWhileLoadingKeepsTheMarksAndTheValuesNotSeen()
    {
        Search search(generatedRows(quv::test::EndlessRows));
        QVERIFY(search.rows.Fetching());
        bool sawLoading = false;
        bool searchHeld = true;
        const auto answered = quv::test::answerNextModal<TPesquisaListaDialog>(
            this, [&](TPesquisaListaDialog *dialog) {
                TPesquisaListaModel *model = dialog->Model();
                QAbstractItemModelTester tester(
                    model, QAbstractItemModelTester::FailureReportingMode::Warning);
                auto *load = dialog->findChild<QLabel *>(QStringLiteral("lblCarga"));
                sawLoading = model->Loading() && load && load->isVisible() &&
                             load->text().startsWith(QStringLiteral("carregando "));
                // The search follows the rows that keep arriving.
                dialog->SearchBox()->setText(QStringLiteral("NOME 2"));
                const qsizetype before = model->TotalRows();
                QTRY_VERIFY_WITH_TIMEOUT(model->TotalRows() > before + 5'000, 30'000);
                model->FinishSearch();
                for (int r = 0; r < model->rowCount(); ++r)
                    searchHeld = searchHeld && model->index(r, 2).data().toString().startsWith(
                                                   QStringLiteral("nome 2"));
                searchHeld = searchHeld && model->rowCount() > 1'000;
                dialog->SearchBox()->clear();
                model->SetMarks({0}, true); // K1
                dialog->accept();
            });
        QString list = QStringLiteral("_K3_K300000000_");
        QVERIFY(PesquisaListaMsg(&search.source, QStringLiteral("CDITEM"), QString(), false, list));
        QVERIFY(*answered);
        QVERIFY2(sawLoading, "the dialog says that it is still loading");
        QVERIFY2(searchHeld, "rows that arrive during a search are searched too");
        // K3 was pre-marked when it arrived; K300000000 never arrived and
        // stays as it was stored.
        QCOMPARE(list, QStringLiteral("_K1_K3_K300000000_"));
        QVERIFY2(!search.rows.Fetching(), "closing the dialog stops the load");
    }

    void aReadCutOffByTheDatabaseClosesTheDialogAndStoresNothing()
    {
        if (m_driver != QLatin1StringView("postgres"))
            QSKIP("a SQLite file cannot go away under an open read");
        Search search(generatedRows(100'000, 300));
        const auto answered = quv::test::answerNextModal<TPesquisaListaDialog>(
            this, [this](TPesquisaListaDialog *dialog) {
                dialog->Model()->SetMarks({0}, true);
                m_db->exec(QStringLiteral("SELECT pg_terminate_backend(pid) FROM "
                                          "pg_stat_activity WHERE pid <> pg_backend_pid() AND "
                                          "query LIKE '%pg_sleep%'"));
            });
        const QString stored = QStringLiteral("_K3_");
        QString list = stored;
        QString message;
        try {
            PesquisaListaMsg(&search.source, QStringLiteral("CDITEM"), QStringLiteral("Cliente"),
                             false, list);
        } catch (const EDatabaseError &e) {
            message = e.Message();
        }
        QVERIFY2(*answered, qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("nada foi gravado")) &&
                     message.contains(QStringLiteral("Cliente")),
                 qPrintable(message));
        QCOMPARE(list, stored);
    }

private:
    QString m_driver;
    std::unique_ptr<quv::test::FrameworkDatabase> m_db;
};

QTEST_MAIN(TestListLoading)
#include "tst_listloading.moc"
