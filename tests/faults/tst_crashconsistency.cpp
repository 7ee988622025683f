// A server killed in the middle of a large change leaves the database with
// the change wholly stored or wholly absent, and the audit trail agrees: a
// stored change has exactly one audit row, an absent one none. A database
// that stops under a running server costs the calls made meanwhile a clear
// error, and the server serves again once the database is back.

#include "faultsupport.h"

#include "tests/support/pgcluster.h"

#include <QProcess>
#include <QRegularExpression>

#include <unistd.h>

#include <csignal>

using namespace quv;
using namespace quv::test;
namespace code = quv::wire::code;

namespace {

constexpr int FilterValues = 100000;
constexpr int LoadItems = 40000;
const QString LoadTable = QStringLiteral("FATOCARGA");

// Sends the call without waiting for its answer, waits until the server is
// inside its transaction (or a few seconds at most), and kills it.
// Returns whether the kill was seen to land inside the transaction.
bool killMidCall(ServedDemo &demo, const QString &driver, const QString &method,
                 const QVariantList &params)
{
    demo.client.sendPayload(
        wire::encode(wire::requestToVariant({qint64(99), method, params}), wire::Encoding::Cbor));
    const bool inside =
        waitForOpenTransaction(driver, demo.connectionString, demo.db(), QDeadlineTimer(20000));
    ::kill(pid_t(demo.server.processId()), SIGKILL);
    demo.server.waitForExit();
    return inside;
}

// A new server on the same database answers: whatever the killed one left
// behind (a hot journal, a dead backend) does not stand in its way.
void serveAgain(const QString &connectionString)
{
    ServerProcess server;
    QVERIFY2(server.start(connectionString), qPrintable(server.errorString()));
    RpcClient client;
    QVERIFY(client.connectTo(server.host(), server.port()));
    QUV_EXPECT_OK(client.login(ServerProcess::Token));
    QUV_EXPECT_OK(client.call(QStringLiteral("getOperGrup"), {QStringLiteral("02"), {}, {}}));
}

} // namespace

class CrashConsistency : public QObject
{
    Q_OBJECT

private slots:
    void killDuringFilterStore_data()
    {
        QTest::addColumn<QString>("driver");
        for (const QString &driver : Drivers)
            QTest::newRow(qPrintable(driver)) << driver;
    }
    void killDuringFilterStore()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString filterSql =
            QStringLiteral("SELECT CDFILDIMEGRUPOP FROM FILDIMEGRUPOP WHERE CDGRUPOPER = '02' AND "
                           "NRSEQUEDIME = 4 ORDER BY 1");
        const QList<QStringList> before = rows(demo.db(), filterSql);
        QVERIFY2(!before.isEmpty(), "the demo's group 02 should start with a filter");
        const QString fingerprintBefore = fingerprint(demo.db());
        const qint64 lastAudit = lastAuditId(demo.db());

        DataPacket packet(fieldsOf({{"ITENS", 50}, {"CDCODIGOPAI", 20}, {"NRSEQUEDIME", 20}}));
        QList<QStringList> wanted;
        for (int i = 0; i < FilterValues; ++i) {
            const QString value = QStringLiteral("V%1").arg(i, 6, 10, QLatin1Char('0'));
            packet.appendRow({value, QStringLiteral("02"), QStringLiteral("4")});
            wanted.append({value});
        }
        const bool inside = killMidCall(demo, driver, QStringLiteral("setDelFilDime"),
                                        {QVariant::fromValue(packet), true});

        const QList<QStringList> after = rows(demo.db(), filterSql);
        const QList<QStringList> audit = auditSince(demo.db(), lastAudit);
        qInfo("killed %s the transaction; the filter holds %lld values",
              inside ? "inside" : "around", qint64(after.size()));
        if (after == before) {
            QVERIFY2(audit.isEmpty(), "a change that was not stored left an audit row");
            QCOMPARE(fingerprint(demo.db()), fingerprintBefore);
        } else {
            QVERIFY2(after == wanted, "the filter is neither the old nor the new one whole");
            QCOMPARE(audit.size(), 1);
            QCOMPARE(audit.first(), (QStringList{"setDelFilDime", "G", "02"}));
        }
        serveAgain(demo.connectionString);
    }

    void killDuringToggleAll_data() { killDuringFilterStore_data(); }
    void killDuringToggleAll()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        // A fact table large enough that granting all of it takes a while.
        {
            db::Transaction transaction(demo.db());
            db::run(demo.db(),
                    QStringLiteral("INSERT INTO TABELADW (CDTABELADW, NMTABELADW) "
                                   "VALUES (?, 'Carga de teste')"),
                    {LoadTable});
            QList<QVariantList> items;
            for (int i = 0; i < LoadItems; ++i)
                items.append({LoadTable, QStringLiteral("IT%1").arg(i, 6, 10, QLatin1Char('0')),
                              QStringLiteral("Item %1").arg(i)});
            db::execInBatches(demo.db(),
                              QStringLiteral("INSERT INTO ITEMDW (CDTABELADW, CDITEMDW, "
                                             "NMITEMDW) VALUES %1"),
                              {}, QStringLiteral("(?, ?, ?)"), items);
            transaction.commit();
        }
        const QString grantedSql = QStringLiteral(
            "SELECT COUNT(*) FROM ITEMDWGRUPOP WHERE CDGRUPOPER = '06' AND CDTABELADW = ?");
        QCOMPARE(count(demo.db(), grantedSql, {LoadTable}), 0);
        const QString fingerprintBefore = fingerprint(demo.db());
        const qint64 lastAudit = lastAuditId(demo.db());

        DataPacket packet(fieldsOf({{"CDTABELADW", 30}, {"CDITEMDW", 30}}));
        for (int i = 0; i < LoadItems; ++i)
            packet.appendRow({LoadTable, QStringLiteral("IT%1").arg(i, 6, 10, QLatin1Char('0'))});
        const bool inside =
            killMidCall(demo, driver, QStringLiteral("setTChkFatoOpGrup"),
                        {QStringLiteral("06"), QVariant::fromValue(packet), QVariant(), true});

        const qint64 granted = count(demo.db(), grantedSql, {LoadTable});
        const QList<QStringList> audit = auditSince(demo.db(), lastAudit);
        qInfo("killed %s the transaction; %lld of %d items granted", inside ? "inside" : "around",
              granted, LoadItems);
        if (granted == 0) {
            QVERIFY2(audit.isEmpty(), "a change that was not stored left an audit row");
            QCOMPARE(fingerprint(demo.db()), fingerprintBefore);
        } else {
            QCOMPARE(granted, qint64(LoadItems));
            QCOMPARE(audit.size(), 1);
            QCOMPARE(audit.first(), (QStringList{"setTChkFatoOpGrup", "G", "06"}));
        }
        serveAgain(demo.connectionString);
    }

    // The database stops while the server runs: every call meanwhile gets a
    // database error that says so, none crashes the server, and once the
    // database is back the same server (and the same connection) serves.
    void databaseDownAndBack()
    {
        ServedDemo demo;
        QUV_SERVE(demo, QStringLiteral("postgres"));
        QString skip;
        PgCluster *cluster = PgCluster::instance(&skip);
        QVERIFY(cluster);
        QUV_EXPECT_OK(demo.call(QStringLiteral("getOperGrup"), {"02", {}, {}}));
        const QString dataDir =
            rows(demo.db(), QStringLiteral("SELECT current_setting('data_directory')"))
                .value(0)
                .value(0);
        QVERIFY(!dataDir.isEmpty());
        const QString fingerprintBefore = fingerprint(demo.db());

        // Stop the cluster the way an operator would, behind the server's back.
        QStringList stop{QString(PgCluster::binaryFolder() + QStringLiteral("/pg_ctl")),
                         QStringLiteral("stop"),
                         QStringLiteral("-w"),
                         QStringLiteral("-m"),
                         QStringLiteral("fast"),
                         QStringLiteral("-D"),
                         dataDir};
        if (::geteuid() == 0)
            stop = QStringList{QStringLiteral("runuser"), QStringLiteral("-u"),
                               QStringLiteral("postgres"), QStringLiteral("--")} +
                   stop;
        QProcess stopper;
        stopper.setWorkingDirectory(QStringLiteral("/"));
        stopper.start(stop.first(), stop.mid(1));
        QVERIFY(stopper.waitForFinished(60000));
        QCOMPARE(stopper.exitCode(), 0);

        const QList<std::pair<QString, QVariantList>> calls = {
            {QStringLiteral("getOperGrup"), {"02", {}, {}}},
            {QStringLiteral("setCkFatoOpGrup"), {"FATOVENDA", "VLMARGEM", "06", true, {}}},
            {QStringLiteral("getListaFiltro"), {"G02", "4"}},
        };
        // The client is told an error id; the database's own words, which
        // may hold SQL, go only to the server's log, under that id.
        static const QRegularExpression occurrence(QStringLiteral("ocorrência ([0-9A-F]{8})"));
        for (const auto &[method, params] : calls) {
            const wire::Response down = demo.call(method, params);
            QUV_EXPECT_ERROR(down, code::DatabaseError);
            const QRegularExpressionMatch id = occurrence.match(down.errorMessage);
            QVERIFY2(down.errorMessage.contains(QStringLiteral("banco de dados")) && id.hasMatch(),
                     qPrintable(down.errorMessage));
            QTRY_VERIFY_WITH_TIMEOUT(demo.server.standardError().contains(
                                         QStringLiteral(": error %1: ").arg(id.captured(1))),
                                     5000);
        }
        QVERIFY(demo.server.isRunning());

        // pg_ctl restart starts a stopped cluster with its last options.
        cluster->restart();
        QSqlDatabase own = demo.db();
        own.close();
        QVERIFY(own.open());
        QCOMPARE(fingerprint(demo.db()), fingerprintBefore);
        // The first call after the outage may still meet the dead session.
        const wire::Response first = demo.call(QStringLiteral("getOperGrup"), {"02", {}, {}});
        if (!first.ok)
            QUV_EXPECT_ERROR(first, code::DatabaseError);
        QUV_EXPECT_OK(demo.call(QStringLiteral("setCkFatoOpGrup"),
                                {"FATOVENDA", "VLMARGEM", "06", true, {}}));
        QCOMPARE(count(demo.db(), QStringLiteral("SELECT COUNT(*) FROM ITEMDWGRUPOP WHERE "
                                                 "CDGRUPOPER = '06' AND CDITEMDW = 'VLMARGEM'")),
                 1);
        QVERIFY(demo.server.isRunning());
    }
};

QTEST_GUILESS_MAIN(CrashConsistency)
#include "tst_crashconsistency.moc"
