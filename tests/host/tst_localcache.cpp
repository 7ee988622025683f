#include "localcache.h"

#include "db/connection.h"
#include "tests/support/testdatabase.h"

#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using quv::host::CacheError;
using quv::host::LocalCache;

namespace {
const QString Connection = QStringLiteral("tst_localcache");
}

class TestLocalCache : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    static void exec(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(Connection));
        if (!q.exec(sql))
            qFatal("%s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
    }

    // The refusal's message and, after a line break, its details.
    static QString refuseMessage(LocalCache &cache, const QStringList &tables)
    {
        try {
            cache.refresh(tables);
        } catch (const CacheError &e) {
            return e.Message() + u'\n' + e.Details();
        }
        return {};
    }

private slots:
    void initTestCase()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Connection);
        db.setDatabaseName(m_dir.filePath(QStringLiteral("cache.db")));
        QVERIFY(db.open());
        exec("CREATE TABLE ITEMDWGRUPOP (CDGRUPOPER VARCHAR(2), CDTABELADW VARCHAR(30), "
             "CDITEMDW VARCHAR(30))");
        exec("CREATE TABLE ITEMDWOPER (CDOPERADOR VARCHAR(12), CDTABELADW VARCHAR(30), "
             "CDITEMDW VARCHAR(30))");
        exec("CREATE TABLE DIMEDWGRUPOP (CDGRUPOPER VARCHAR(2), NRSEQUEDIME INTEGER)");
        exec("CREATE TABLE DIMEODWOPER (CDOPERADOR VARCHAR(12), NRSEQUEDIME INTEGER)");
        exec("CREATE TABLE FILDIMEGRUPOP (CDGRUPOPER VARCHAR(2), NRSEQUEDIME INTEGER, "
             "CDFILDIMEGRUPOP VARCHAR(50))");
        exec("CREATE TABLE FILDIMEOPER (CDOPERADOR VARCHAR(12), NRSEQUEDIME INTEGER, "
             "CDFILDIMEOPER VARCHAR(50))");
        exec("CREATE TABLE SECRET (X VARCHAR(10))");
        exec("INSERT INTO ITEMDWGRUPOP VALUES ('01', 'FATVENDA', 'VLVENDA')");
        exec("INSERT INTO ITEMDWGRUPOP VALUES ('02', 'FATVENDA', 'QTVENDA')");
        exec("INSERT INTO DIMEDWGRUPOP VALUES ('01', 3)");
        exec("INSERT INTO FILDIMEOPER VALUES ('joão', 3, NULL)");
    }

    void cleanupTestCase() { QSqlDatabase::removeDatabase(Connection); }

    void refreshesInOrderGivenWithSignals()
    {
        LocalCache cache(Connection);
        QSignalSpy requested(&cache, &LocalCache::refreshRequested);
        QSignalSpy refreshed(&cache, &LocalCache::refreshed);
        QSignalSpy status(&cache, &LocalCache::statusMessage);
        const QStringList order{"FILDIMEOPER", "ITEMDWGRUPOP", "DIMEDWGRUPOP"};
        cache.refresh(order);

        QCOMPARE(requested.size(), 1);
        QCOMPARE(requested.at(0).at(0).toStringList(), order);
        QCOMPARE(refreshed.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(refreshed.at(i).at(0).toString(), order.at(i));
        QCOMPARE(status.size(), 1);
        QCOMPARE(
            status.at(0).at(0).toString(),
            QStringLiteral("Cache local atualizado: filtros dos operadores, fatos dos grupos e "
                           "dimensões dos grupos"));

        const auto items = cache.table(QStringLiteral("ITEMDWGRUPOP"));
        QVERIFY(items);
        QCOMPARE(items->rowCount(), 2);
        QCOMPARE(items->rows.fields().at(2).name, QStringLiteral("CDITEMDW"));
        QCOMPARE(items->rows.row(1), (QStringList{"02", "FATVENDA", "QTVENDA"}));
        const auto filters = cache.table(QStringLiteral("FILDIMEOPER"));
        QVERIFY(filters);
        // NULL travels as the empty string, UTF-8 intact.
        QCOMPARE(filters->rows.row(0), (QStringList{"joão", "3", ""}));
        QVERIFY(!cache.table(QStringLiteral("ITEMDWOPER")));
    }

    void secondRefreshSeesNewRows()
    {
        LocalCache cache(Connection);
        cache.refresh({"DIMEODWOPER"});
        QCOMPARE(cache.table(QStringLiteral("DIMEODWOPER"))->rowCount(), 0);
        exec("INSERT INTO DIMEODWOPER VALUES ('ANA', 4)");
        cache.refresh({"DIMEODWOPER"});
        QCOMPARE(cache.table(QStringLiteral("DIMEODWOPER"))->rowCount(), 1);
        exec("DELETE FROM DIMEODWOPER");
    }

    void unknownTableRefusedBeforeAnyRead_data()
    {
        QTest::addColumn<QStringList>("tables");
        QTest::addColumn<QString>("bad");
        QTest::newRow("other table") << QStringList{"SECRET"} << "SECRET";
        QTest::newRow("after a known one") << QStringList{"ITEMDWOPER", "SECRET"} << "SECRET";
        QTest::newRow("lower case") << QStringList{"itemdwgrupop"} << "itemdwgrupop";
        QTest::newRow("injection")
            << QStringList{"ITEMDWGRUPOP; DROP TABLE SECRET"} << "ITEMDWGRUPOP; DROP TABLE SECRET";
        QTest::newRow("empty name") << QStringList{""} << "''";
    }

    void unknownTableRefusedBeforeAnyRead()
    {
        QFETCH(QStringList, tables);
        QFETCH(QString, bad);
        LocalCache cache(Connection);
        QSignalSpy requested(&cache, &LocalCache::refreshRequested);
        QSignalSpy refreshed(&cache, &LocalCache::refreshed);
        const QString message = refuseMessage(cache, tables);
        QVERIFY2(message.section(u'\n', 1).contains(bad), qPrintable(message));
        QVERIFY(message.section(u'\n', 0, 0).contains(QStringLiteral("cache local")));
        QCOMPARE(requested.size(), 0);
        QCOMPARE(refreshed.size(), 0);
        QVERIFY(!cache.table(QStringLiteral("ITEMDWOPER")));
        QVERIFY(QSqlDatabase::database(Connection).tables().contains(QStringLiteral("SECRET")));
    }

    void failedReadKeepsOldContentAndEarlierTables()
    {
        LocalCache cache(Connection);
        exec("INSERT INTO FILDIMEGRUPOP VALUES ('01', 3, 'SP')");
        cache.refresh({"ITEMDWOPER", "FILDIMEGRUPOP"});
        exec("DELETE FROM FILDIMEGRUPOP");
        exec("INSERT INTO ITEMDWOPER VALUES ('ANA', 'FATVENDA', 'VLVENDA')");
        exec("ALTER TABLE FILDIMEGRUPOP RENAME TO FILDIMEGRUPOP_OLD");
        QSignalSpy refreshed(&cache, &LocalCache::refreshed);
        const QString message = refuseMessage(cache, {"ITEMDWOPER", "FILDIMEGRUPOP"});
        exec("ALTER TABLE FILDIMEGRUPOP_OLD RENAME TO FILDIMEGRUPOP");
        QVERIFY2(message.section(u'\n', 0, 0).contains(QStringLiteral("filtros dos grupos")) &&
                     message.section(u'\n', 1).contains(QStringLiteral("FILDIMEGRUPOP")),
                 qPrintable(message));
        QCOMPARE(refreshed.size(), 1);
        QCOMPARE(cache.table(QStringLiteral("ITEMDWOPER"))->rowCount(), 1);
        QVERIFY(cache.table(QStringLiteral("FILDIMEGRUPOP")));
        QCOMPARE(cache.table(QStringLiteral("FILDIMEGRUPOP"))->rows.row(0),
                 (QStringList{"01", "3", "SP"}));
        exec("DELETE FROM ITEMDWOPER");
    }

    void closedDatabaseIsAClearError()
    {
        LocalCache cache(QStringLiteral("no-such-connection"));
        const QString message = refuseMessage(cache, {"ITEMDWGRUPOP"});
        QVERIFY2(message.contains(QStringLiteral("não está aberto")), qPrintable(message));
        QVERIFY(!cache.table(QStringLiteral("ITEMDWGRUPOP")));
    }

    void demoWarehouseOnEachDriver_data()
    {
        QTest::addColumn<QString>("driver");
        for (const QString &driver : quv::test::Drivers)
            QTest::newRow(qPrintable(driver)) << driver;
    }

    // The real schema and demo data: every cache table reads whole, with its
    // column names as the schema spells them (PostgreSQL folds them).
    void demoWarehouseOnEachDriver()
    {
        QFETCH(QString, driver);
        QString connection;
        QUV_FRESH_DEMO(driver, connection);
        const QString name = QStringLiteral("demo-") + driver;
        {
            const QSqlDatabase db = quv::test::openConnection(connection, name);
            LocalCache cache(name);
            cache.refresh(LocalCache::cacheTables());
            for (const QString &table : LocalCache::cacheTables()) {
                const auto cached = cache.table(table);
                QVERIFY(cached);
                QCOMPARE(cached->rowCount(),
                         quv::test::count(db, QStringLiteral("SELECT COUNT(*) FROM ") + table));
                QVERIFY2(cached->rows.indexOf(u"NRSEQUEDIME") >= 0 || table.startsWith(u"ITEMDW"),
                         qPrintable(table));
            }
            QVERIFY(cache.table(QStringLiteral("ITEMDWGRUPOP"))->rowCount() > 0);
            QVERIFY(cache.table(QStringLiteral("ITEMDWGRUPOP"))->rows.indexOf(u"CDGRUPOPER") >= 0);
        }
        quv::db::closeDatabase(name);
    }

    void emptyRequestReadsNothing()
    {
        LocalCache cache(Connection);
        QSignalSpy status(&cache, &LocalCache::statusMessage);
        cache.refresh({});
        QCOMPARE(status.size(), 0);
        QVERIFY(!cache.table(QStringLiteral("ITEMDWGRUPOP")));
    }
};

QTEST_GUILESS_MAIN(TestLocalCache)
#include "tst_localcache.moc"
