// Queries whose rows arrive in the background: what waits for rows not yet
// read, what a dropped or stopped load leaves behind, and a load cut off by
// the database.

#include "framework/data/adoquery.h"
#include "framework/data/rowfeed.h"
#include "framework/data/sqlitereader.h"
#include "tests/support/frameworkdatabase.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

using quv::test::generatedRows;

namespace {

template <typename F> QString raised(F &&f)
{
    try {
        f();
    } catch (const EDatabaseError &e) {
        return e.Message();
    }
    return {};
}

} // namespace

class TestBackgroundLoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data() { quv::test::addDriverColumn(); }

    void init()
    {
        QFETCH_GLOBAL(QString, driver);
        m_driver = driver;
        QUV_OPEN_FRAMEWORK_DATABASE(m_db, driver);
    }

    void cleanup() { m_db.reset(); }

    void rowsNotYetReadAreWaitedForWhereNeeded()
    {
        TADOIBQuery qry;
        qry.SQL = QStringList{generatedRows(100'000)};
        QSignalSpy appended(&qry, &TDataSet::rowsAppended);
        qry.Open();
        QVERIFY2(qry.FetchedCount() < 100'000, "Open waits only for the first rows");
        QVERIFY(qry.Fetching());

        // A client dataset given the query's packet follows the same load.
        TDataSetProvider provider;
        provider.DataSet = &qry;
        TClientDataSet copy;
        copy.SetData(provider.Data());
        QCOMPARE(copy.FetchedCount(), qry.FetchedCount());

        QVERIFY(qry.Locate(QStringLiteral("CDITEM"), QStringLiteral("K90000"), {}));
        QCOMPARE(qry.RecNo(), 90'000);
        QCOMPARE(qry.FieldByName(QStringLiteral("DSITEM"))->AsString(),
                 QStringLiteral("nome 90000"));
        QVERIFY(!appended.isEmpty());
        QVERIFY(!qry.Locate(QStringLiteral("CDITEM"), QStringLiteral("K0"), {}));
        QCOMPARE(qry.RecordCount(), 100'000);
        QCOMPARE(copy.RecordCount(), 100'000);
        copy.Last();
        QCOMPARE(copy.FieldByName(QStringLiteral("CDITEM"))->AsString(), QStringLiteral("K100000"));
    }

    void aDroppedLoadStopsAndNothingOfItLands()
    {
        TADOIBQuery qry;
        qry.SQL = QStringList{generatedRows(quv::test::EndlessRows)};
        qry.Open();
        qry.Close();
        qry.SQL = QStringList{generatedRows(3)};
        qry.Open();
        QTest::qWait(200); // whatever the first load still posted has arrived by now
        QCOMPARE(qry.RecordCount(), 3);
        qry.Last();
        QCOMPARE(qry.FieldByName(QStringLiteral("CDITEM"))->AsString(), QStringLiteral("K3"));

        // Stopped rather than dropped: the rows so far stay, the rest is
        // refused rather than made up.
        TADOIBQuery endless;
        endless.SQL = QStringList{generatedRows(quv::test::EndlessRows)};
        endless.Open();
        endless.StopFetching();
        const qsizetype kept = endless.FetchedCount();
        QVERIFY(kept > 0);
        QVERIFY(!raised([&] { endless.Last(); }).isEmpty());
        QCOMPARE(endless.FetchedCount(), kept);
        QVERIFY(endless.Locate(QStringLiteral("CDITEM"), QStringLiteral("K1"), {}));

        // Neither reader holds the database any more: a writer gets through
        // (a SQLite reader would keep it waiting, a PostgreSQL one shows as
        // active).
        if (m_driver == QLatin1StringView("sqlite")) {
            m_db->exec(QStringLiteral("CREATE TABLE WRITTEN (X INTEGER)"));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(
                quv::test::count(
                    dtmDBGeral->adcGeral(),
                    QStringLiteral("SELECT COUNT(*) FROM pg_stat_activity WHERE "
                                   "state = 'active' AND query LIKE 'WITH RECURSIVE%'")),
                0, 5000);
            // A stopped PostgreSQL read drops its connection; the loader
            // opens it again at once, so the next load does not wait for it.
            QTRY_VERIFY_WITH_TIMEOUT(
                quv::test::count(dtmDBGeral->adcGeral(),
                                 QStringLiteral("SELECT COUNT(*) FROM pg_stat_activity WHERE "
                                                "state = 'idle' AND query = "
                                                "'SET default_transaction_read_only = on'")) > 0,
                5000);
        }
    }

    void aLoadCutOffByTheDatabaseRaisesAndKeepsItsRows()
    {
        if (m_driver != QLatin1StringView("postgres"))
            QSKIP("a SQLite file cannot go away under an open read");
        TADOIBQuery qry;
        qry.SQL = QStringList{generatedRows(100'000, 300)};
        QSignalSpy ended(&qry, &TDataSet::fetchEnded);
        qry.Open();
        m_db->exec(QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                                  "pid <> pg_backend_pid() AND query LIKE '%pg_sleep%'"));
        const QString message = raised([&] { qry.FetchAll(); });
        QVERIFY2(!message.isEmpty(), "a load cut off must say so");
        QCOMPARE(ended.count(), 1);
        QVERIFY(qry.FetchedCount() >= 256 && qry.FetchedCount() < 100'000);
        QVERIFY(!raised([&] {
                     qry.Locate(QStringLiteral("CDITEM"), QStringLiteral("K99999"), {});
                 }).isEmpty());

        // The loader's connection died with it; the next read gets a new one.
        qry.Close();
        qry.SQL = QStringList{generatedRows(5)};
        qry.Open();
        QCOMPARE(qry.RecordCount(), 5);
    }

    // SQLite rows are read through SQLite itself (see TSqliteReader): each
    // cell must read as the driver gives it, whatever its storage class, and
    // values bound as the driver binds them.
    void sqliteCellsReadAsTheDriverGivesThem()
    {
        if (m_driver != QLatin1StringView("sqlite"))
            QSKIP("the PostgreSQL rows are read through the driver");
        const QSqlDatabase db = dtmDBGeral->adcGeral();
        QVERIFY2(TSqliteReader::Handle(db), "SQLite rows would be read through the driver");
        const QString sql = QStringLiteral(
            "SELECT 42 AS A, -9223372036854775808 AS B, 0.1 AS C, 1e300 AS D, 100.0 AS E, "
            "'São Paulo' AS F, X'C3A7' AS G, X'FF41' AS H, CAST(X'FF41' AS TEXT) AS I, "
            "NULL AS J, '' AS K, -2.5e-7 AS L, 1.0 / 3 AS R, ? AS M, ? AS N, ? AS O, ? AS P, ? AS "
            "Q, ? IS NULL AS S");
        const QVariantList binds{QVariant(7),
                                 QVariant(QStringLiteral("ção")),
                                 QVariant(qlonglong(1) << 40),
                                 QVariant(0.25),
                                 QVariant(),
                                 QVariant(QString())};

        QSqlQuery direct(db);
        QVERIFY(direct.prepare(sql));
        for (const QVariant &value : binds)
            direct.addBindValue(value);
        QVERIFY(direct.exec() && direct.next());
        const std::shared_ptr<TRowFeed> feed = TRowFeed::Start(db, {sql, binds, {}, 256});
        feed->FetchAll();
        QCOMPARE(feed->state(), TRowFeed::State::Done);
        const quv::DataPacket &rows = feed->Rows();
        QCOMPARE(rows.rowCount(), 1);
        QCOMPARE(rows.fieldCount(), direct.record().count());
        for (int c = 0; c < rows.fieldCount(); ++c) {
            QCOMPARE(rows.fields().at(c).name, direct.record().fieldName(c));
            // Bytes, not text: the dialog matches and searches the bytes.
            QCOMPARE(rows.utf8(0, c).toByteArray(), direct.value(c).toString().toUtf8());
        }
    }

private:
    QString m_driver;
    std::unique_ptr<quv::test::FrameworkDatabase> m_db;
};

QTEST_MAIN(TestBackgroundLoad)
#include "tst_backgroundload.moc"
