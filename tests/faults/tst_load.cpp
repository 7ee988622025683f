// Several clients at once, each owning a principal, against one server on
// SQLite and against two servers sharing one PostgreSQL database: every
// answer matches the client's own model as it goes, no error but the
// intended ones appears, and afterwards the database and the audit trail
// hold exactly what each client's successful calls must have left.

#include "db/connection.h"
#include "tests/faults/loaddriver.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testdatabase.h"

#include <QTest>

#include <memory>

using namespace quv::test;

class Load : public QObject
{
    Q_OBJECT

private slots:
    void concurrentClients_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<int>("servers");
        QTest::newRow("sqlite, one server") << QStringLiteral("sqlite") << 1;
        QTest::newRow("postgres, two servers") << QStringLiteral("postgres") << 2;
    }
    void concurrentClients()
    {
        QFETCH(QString, driver);
        QFETCH(int, servers);
        QString database;
        QUV_FRESH_DEMO(driver, database);
        QSqlDatabase own = openConnection(database, QStringLiteral("load-check"));
        {
            LoadRun run(own, {8, 50, 7});
            run.prepare();

            std::vector<std::unique_ptr<ServerProcess>> processes;
            QList<Endpoint> endpoints;
            for (int i = 0; i < servers; ++i) {
                processes.push_back(std::make_unique<ServerProcess>());
                QVERIFY2(processes.back()->start(
                             database, {QStringLiteral("--max-rate"), QStringLiteral("1000000"),
                                        QStringLiteral("--max-per-address"), QStringLiteral("64")}),
                         qPrintable(processes.back()->errorString()));
                endpoints.append({processes.back()->host(), processes.back()->port()});
            }

            const LoadReport report = run.run(endpoints, ServerProcess::Token);
            QVERIFY2(report.faults.isEmpty(), qPrintable(report.faults.mid(0, 10).join(u'\n')));
            QVERIFY(report.calls >= 8 * 50);
            for (const auto &process : processes)
                QVERIFY2(process->isRunning(), qPrintable(process->standardError()));
            const QStringList differences = run.verify();
            QVERIFY2(differences.isEmpty(), qPrintable(differences.mid(0, 10).join(u'\n')));
        }
        own = QSqlDatabase();
        quv::db::closeDatabase(QStringLiteral("load-check"));
    }
};

QTEST_GUILESS_MAIN(Load)
#include "tst_load.moc"
