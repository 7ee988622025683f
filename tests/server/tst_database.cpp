// The schema's own guards and the warehouse generator, on SQLite and
// PostgreSQL, and the data tool's command line.

#include "db/connection.h"
#include "db/sql.h"
#include "db/warehouse.h"
#include "tests/support/testdatabase.h"

#include <QProcess>
#include <QTest>

using namespace quv;
using namespace quv::test;

namespace {

QString quvDb()
{
    return QStringLiteral(QUV_BIN_DIR "/quv-db");
}

/// Runs quv-db; returns its exit code and what it printed.
int runTool(const QStringList &arguments, QString *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(quvDb(), arguments);
    if (!process.waitForFinished(120000))
        return -1;
    *output = QString::fromUtf8(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

/// Whether the statement is refused by the database.
bool refused(const QSqlDatabase &db, const QString &sql)
{
    try {
        db::run(db, sql);
    } catch (const db::DbError &) {
        return true;
    }
    return false;
}

} // namespace

class DatabaseTest : public QObject
{
    Q_OBJECT

private:
    QString m_name;
    QSqlDatabase m_db;
    QString m_connection;

    // Fresh demo database opened as m_db; false with a skip reason.
    bool openDemo(const QString &driver, QString *skip)
    {
        m_connection = freshDemoDatabase(driver, skip);
        if (m_connection.isEmpty())
            return false;
        static int counter = 0;
        m_name = QStringLiteral("quv-test-db-%1").arg(++counter);
        m_db = openConnection(m_connection, m_name);
        return true;
    }

private slots:
    void cleanup()
    {
        m_db = QSqlDatabase();
        if (!m_name.isEmpty())
            db::closeDatabase(m_name);
        m_name.clear();
    }

    void drivers_data() { addDriverColumn(); }

    void schemaGuards_data() { drivers_data(); }
    void schemaGuards()
    {
        QFETCH(QString, driver);
        QString skip;
        if (!openDemo(driver, &skip))
            QSKIP(qPrintable(skip));
        const QString before = fingerprint(m_db);
        // A filter needs the dimension grant it narrows (group 02 lacks 6).
        QVERIFY(refused(m_db, QStringLiteral("INSERT INTO FILDIMEGRUPOP VALUES ('02', 6, 'PIX')")));
        QVERIFY(
            refused(m_db, QStringLiteral("INSERT INTO FILDIMEOPER VALUES ('JSILVA', 2, 'P1')")));
        // ...and a grant cannot go while its filter is there.
        QVERIFY(refused(m_db, QStringLiteral("DELETE FROM DIMEDWGRUPOP WHERE CDGRUPOPER = '02' AND "
                                             "NRSEQUEDIME = 4")));
        // Grants name existing principals and catalog rows.
        QVERIFY(refused(m_db, QStringLiteral("INSERT INTO ITEMDWGRUPOP VALUES ('99', 'FATOVENDA', "
                                             "'VLVENDA')")));
        QVERIFY(
            refused(m_db, QStringLiteral("INSERT INTO ITEMDWOPER VALUES ('JSILVA', 'FATOVENDA', "
                                         "'NADA')")));
        QVERIFY(refused(m_db, QStringLiteral("INSERT INTO DIMEODWOPER VALUES ('JSILVA', 77)")));
        // Lengths hold on both databases: nothing is stored cut or whole.
        QVERIFY(refused(m_db, QStringLiteral("INSERT INTO GRUPOPER VALUES ('123', 'Três')")));
        QVERIFY(refused(m_db, QStringLiteral("INSERT INTO FILDIMEGRUPOP VALUES ('02', 4, '%1')")
                                  .arg(QString(51, QLatin1Char('x')))));
        QVERIFY(refused(m_db, QStringLiteral("INSERT INTO DIMEDW (NRSEQUEDIME, NMITEMDIME) VALUES "
                                             "(100000, 'Grande')")));
        QCOMPARE(fingerprint(m_db), before);
        // Fifty characters, accents included, do fit.
        QVERIFY(!refused(m_db, QStringLiteral("INSERT INTO FILDIMEGRUPOP VALUES ('02', 4, '%1')")
                                   .arg(QString(50, QChar(0xe7)))));
    }

    // Kept statements give the same answers as fresh ones: reused with new
    // values, run again while an earlier run of the same text is still held,
    // after a failure, after being forgotten; and a finished run lets
    // go of its read, so a change made through another connection is seen.
    void statementCacheReusesSafely_data() { drivers_data(); }
    void statementCacheReusesSafely()
    {
        QFETCH(QString, driver);
        QString skip;
        if (!openDemo(driver, &skip))
            QSKIP(qPrintable(skip));
        db::StatementCache cache(m_db);
        const QString byGroup =
            QStringLiteral("SELECT CDOPERADOR FROM OPERADOR WHERE CDGRUPOPER = ? ORDER BY 1");
        const auto operators = [&](const QString &group) {
            QStringList codes;
            auto rows = cache.run(byGroup, {group});
            while (rows.next())
                codes.append(rows.value(0).toString());
            return codes;
        };
        const QStringList group01 = operators(QStringLiteral("01"));
        const QStringList group02 = operators(QStringLiteral("02"));
        QVERIFY(!group01.isEmpty());
        QVERIFY(group01 != group02);
        QCOMPARE(operators(QStringLiteral("01")), group01);
        QCOMPARE(cache.size(), 1);

        // The same text while the first run is still held (read to its end:
        // PostgreSQL streams a forward-only result and loses it when the
        // connection runs anything else before it is read).
        {
            auto outer = cache.run(byGroup, {QStringLiteral("01")});
            QStringList outerCodes;
            while (outer.next())
                outerCodes.append(outer.value(0).toString());
            QCOMPARE(operators(QStringLiteral("02")), group02);
            QCOMPARE(outerCodes, group01);
        }
        QCOMPARE(cache.size(), 1);
        QCOMPARE(operators(QStringLiteral("01")), group01);

        // A failed run leaves the statement usable.
        const QString insert = QStringLiteral("INSERT INTO GRUPOPER VALUES (?, ?)");
        try {
            cache.run(insert, {QStringLiteral("123"), QStringLiteral("Longo demais")});
            QFAIL("a code too long was stored");
        } catch (const db::DbError &) {
        }
        cache.run(insert, {QStringLiteral("98"), QStringLiteral("Nova")});
        QCOMPARE(operators(QStringLiteral("01")), group01);

        // Another connection's change is seen by the next run, also after a
        // run that was left after its first row (as a lookup is).
        {
            auto first = cache.run(byGroup, {QStringLiteral("01")});
            QVERIFY(first.next());
        }
        const QString otherName = m_name + QStringLiteral("-other");
        {
            QSqlDatabase other = openConnection(m_connection, otherName);
            db::run(other,
                    QStringLiteral("UPDATE OPERADOR SET CDGRUPOPER = '98' WHERE "
                                   "CDOPERADOR = ?"),
                    {group01.first()});
        }
        db::closeDatabase(otherName);
        QCOMPARE(operators(QStringLiteral("01")), group01.mid(1));
        QCOMPARE(operators(QStringLiteral("98")), QStringList{group01.first()});

        cache.clear();
        QCOMPARE(cache.size(), 0);
        QCOMPARE(operators(QStringLiteral("02")), group02);
    }

    // Same rows on both databases, and on every run.
    void demoIsDeterministic()
    {
        QString skip;
        QString fingerprints[2];
        for (int i = 0; i < 2; ++i) {
            if (!openDemo(Drivers[i], &skip))
                QSKIP(qPrintable(skip));
            fingerprints[i] = fingerprint(m_db);
            cleanup();
        }
        QCOMPARE(fingerprints[1], fingerprints[0]);
        QVERIFY(fingerprints[0].contains(QStringLiteral("Gerência Comercial")));
        QVERIFY(fingerprints[0].contains(QStringLiteral("João da Silva")));
    }

    void existingDatabaseKept_data() { drivers_data(); }
    void existingDatabaseKept()
    {
        QFETCH(QString, driver);
        QString skip;
        if (!openDemo(driver, &skip))
            QSKIP(qPrintable(skip));
        db::run(m_db, QStringLiteral("INSERT INTO GRUPOPER VALUES ('ZZ', 'Só neste banco')"));
        const QString before = fingerprint(m_db);
        db::WarehouseOptions options;
        QVERIFY_THROWS_EXCEPTION(db::DbError, db::createWarehouse(m_db, options));
        QCOMPARE(fingerprint(m_db), before);
        QString output;
        QCOMPARE(runTool({QStringLiteral("create"), QStringLiteral("--db"), m_connection}, &output),
                 1);
        QVERIFY2(output.contains(QStringLiteral("--force")), qPrintable(output));
        QCOMPARE(fingerprint(m_db), before);

        m_db.close(); // PostgreSQL will not drop tables an open transaction reads
        m_db.open();
        QCOMPARE(runTool({QStringLiteral("create"), QStringLiteral("--db"), m_connection,
                          QStringLiteral("--force")},
                         &output),
                 0);
        QVERIFY2(output.contains(QStringLiteral("done: ")), qPrintable(output));
        QCOMPARE(
            count(m_db, QStringLiteral("SELECT COUNT(*) FROM GRUPOPER WHERE CDGRUPOPER = 'ZZ'")),
            0);
        QCOMPARE(count(m_db, QStringLiteral("SELECT COUNT(*) FROM GRUPOPER")), 7);
    }

    void toolUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("messagePart");
        QTest::newRow("no command") << QStringList{} << 2 << "usage";
        QTest::newRow("no db") << QStringList{"create"} << 2 << "--db is required";
        QTest::newRow("bad size") << QStringList{"create", "--db", "sqlite:/tmp/x.db", "--size",
                                                 "enormous"}
                                  << 2 << "unknown size 'enormous'";
        QTest::newRow("bad connection") << QStringList{"create", "--db", "oracle:x"} << 1
                                        << "unknown database connection string";
        QTest::newRow("unreachable postgres")
            << QStringList{"create", "--db", "postgres://nobody@127.0.0.1:1/x"} << 1
            << "cannot open";
    }
    void toolUsage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, messagePart);
        QString output;
        QCOMPARE(runTool(arguments, &output), exitCode);
        QVERIFY2(output.contains(messagePart), qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(DatabaseTest)
#include "tst_database.moc"
