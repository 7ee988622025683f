// Hostile peers against a real server: each attack runs for a few seconds
// from many connections while an administrator keeps logging in and reading
// from an address of its own. None may freeze the server, exhaust its
// memory or lock the administrator out. The figures (how fast, how much)
// are bench/hostile_bench's; here each probe only has a deadline.

#include "db/connection.h"
#include "tests/faults/hostiledriver.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testdatabase.h"

#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using namespace quv::test;
using hostile::Attack;

class Hostile : public QObject
{
    Q_OBJECT

    QString m_database;
    QString m_search;
    QTemporaryDir m_logs;

private slots:
    void initTestCase()
    {
        QString skip;
        m_database = freshDemoDatabase(QStringLiteral("sqlite"), &skip);
        if (m_database.isEmpty())
            QSKIP(qPrintable(skip));
        {
            // A dimension large enough that one search keeps the server busy
            // for a good while, had it to answer it on its event loop.
            QSqlDatabase db = openConnection(m_database, QStringLiteral("hostile-fill"));
            QSqlQuery fill(db);
            QVERIFY(fill.exec(QStringLiteral(
                "INSERT INTO DIMCLIENTE (CDCLIENTE, DSCLIENTE) WITH RECURSIVE n(i) AS (SELECT 1 "
                "UNION ALL SELECT i + 1 FROM n WHERE i < 200000) SELECT 'H' || i, 'Cliente ' || "
                "i FROM n")));
        }
        quv::db::closeDatabase(QStringLiteral("hostile-fill"));
        m_search = hostile::largestSearch(m_database);
        QVERIFY(m_search.contains(QStringLiteral("DIMCLIENTE")));
    }

    void attack_data()
    {
        QTest::addColumn<int>("attackNumber");
        QTest::addColumn<int>("connections");
        QTest::addColumn<QStringList>("serverArguments");
        // After login a frame may be as large as --max-frame: a smaller one
        // keeps the proportional decode budget's test quick.
        const QStringList smallFrames{QStringLiteral("--max-frame"), QStringLiteral("33554432")};
        for (const hostile::AttackInfo &info : hostile::attacks()) {
            const bool oneAdministrator =
                info.attack == Attack::Search || info.attack == Attack::NullsLogin;
            QTest::newRow(info.name)
                << int(info.attack)
                << (oneAdministrator                     ? 1
                    : info.attack == Attack::NoReadLogin ? 8
                                                         : 64)
                << (info.attack == Attack::NullsLogin ? smallFrames : QStringList());
        }
    }
    void attack()
    {
        QFETCH(int, attackNumber);
        const auto attack = Attack(attackNumber);
        QFETCH(int, connections);
        QFETCH(QStringList, serverArguments);
        ServerProcess server;
        server.setStandardErrorFile(m_logs.filePath(QString::fromLatin1(QTest::currentDataTag())));
        QVERIFY2(server.start(m_database, serverArguments), qPrintable(server.errorString()));

        hostile::Options options;
        options.attack = attack;
        options.connections = connections;
        options.seconds = 3;
        options.probeTimeoutMs = 5000;
        options.frameBytes = 32u * 1024 * 1024;
        options.searchStatement = m_search;
        options.token = ServerProcess::Token;
        const hostile::Figures f = hostile::run(server, options);
        const QString log = server.standardError();

        QVERIFY2(f.serverAlive, qPrintable(log.right(2000)));
        QVERIFY2(f.adminFailures == 0, qPrintable(f.adminErrors.join(u'\n')));
        QVERIFY(!f.adminMs.isEmpty());
#ifndef QUV_SANITIZED // their shadow memory and quarantine count too
        QVERIFY2(f.peakRssMiB < 256, qPrintable(QString::number(f.peakRssMiB)));
#endif
        if (attack == Attack::Guess) {
            // One token compared per failure delay of the address (1 s, then
            // 2 s, ...), however many guesses were sent and given up on.
            const qsizetype compared = log.count(QStringLiteral("login refused"));
            QVERIFY2(compared >= 1 && compared <= 4, qPrintable(QString::number(compared)));
        }
        if (attack == Attack::Search) {
            // The other connection's reads went on while searches ran back to
            // back: several between two searches, not one per search.
            QCOMPARE(f.readFailures, 0);
            QVERIFY(f.answers >= 1);
            QVERIFY2(f.readMs.size() >= 3 * f.answers,
                     qPrintable(QStringLiteral("%1 reads beside %2 searches")
                                    .arg(f.readMs.size())
                                    .arg(f.answers)));
        }
        QCOMPARE(server.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(Hostile)
#include "tst_hostile.moc"
