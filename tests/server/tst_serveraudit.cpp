// The audit trail: every change of grants or filters leaves exactly one row
// written with it, a refused change leaves none, `quv-server audit` filters
// and exports the rows, and a database made before the trail gets its table
// when the server starts on it.

#include "db/dialect.h"
#include "db/schema.h"
#include "servedemo.h"
#include "server/audit.h"
#include "tests/support/programrun.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlRecord>
#include <QThread>

#include <atomic>
#include <future>
#include <thread>

using namespace quv;
using namespace quv::test;
namespace code = quv::wire::code;

namespace {

QJsonValue json(const char *text)
{
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray("[") + QByteArray(text) + QByteArray("]"));
    return document.array().first();
}

QJsonValue jsonOf(const QString &text)
{
    return json(text.toUtf8().constData());
}

using Run = ProgramRun;

Run audit(const QStringList &arguments)
{
    return runProgram(QStringLiteral("quv-server"),
                      QStringList{QStringLiteral("audit")} + arguments);
}

// Minimal RFC 4180 reader, to check that the export reads back as written.
QList<QStringList> parseCsv(const QString &text)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == u'"' && i + 1 < text.size() && text[i + 1] == u'"')
                field += u'"', ++i;
            else if (c == u'"')
                quoted = false;
            else
                field += c;
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            row.append(field), field.clear();
        } else if (c == u'\r') {
            continue;
        } else if (c == u'\n') {
            row.append(field), field.clear();
            rows.append(row), row.clear();
        } else {
            field += c;
        }
    }
    return rows;
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

qint64 auditIndexes(const QSqlDatabase &db)
{
    return count(db, db::Dialect::of(db).isSqlite()
                         ? QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = "
                                          "'index' AND upper(name) = 'AUDITORIA_DT'")
                         : QStringLiteral("SELECT COUNT(*) FROM pg_indexes WHERE indexname = "
                                          "'auditoria_dt'"));
}

/// Logs in on a started server and makes one change; its audit row is the
/// only one expected afterwards.
bool changeOneFact(const ServerProcess &server, QString *error)
{
    RpcClient client;
    if (!client.connectTo(server.host(), server.port())) {
        *error = QStringLiteral("cannot connect");
        return false;
    }
    const wire::Response login = ServedDemo::callOn(
        client, QString(rdm::LoginMethod), {QString(rdm::ServerName), ServerProcess::Token});
    const wire::Response change = ServedDemo::callOn(client, QStringLiteral("setCkFatoOpGrup"),
                                                     {"FATOVENDA", "VLMARGEM", "06", true, {}});
    if (!login.ok || !change.ok) {
        *error = login.errorMessage + change.errorMessage;
        return false;
    }
    return true;
}

const QList<QStringList> OneFactRow = {
    {"tester", "setCkFatoOpGrup", "G", "06", "[[\"FATOVENDA\",\"VLMARGEM\"]]"}};
const QString AuditRowsSql = QStringLiteral(
    "SELECT NMADMINISTRADOR, NMMETODO, TPPRINCIPAL, CDPRINCIPAL, DSITENS FROM AUDITORIA");

} // namespace

class ServerAudit : public QObject
{
    Q_OBJECT

    /// A fresh demo warehouse without its audit table, as databases made
    /// before the trail are; `own` is the test's connection to it.
    bool oldDatabase(const QString &driver, QString *database, QSqlDatabase *own, QString *skip)
    {
        *database = freshDemoDatabase(driver, skip);
        if (database->isEmpty())
            return false;
        *own = openConnection(*database, QStringLiteral("audit-old-%1").arg(++m_connections));
        db::execDirect(*own, QStringLiteral("DROP TABLE AUDITORIA"));
        return true;
    }
    int m_connections = 0;

private slots:
    void cleanup()
    {
        for (const QString &name : QSqlDatabase::connectionNames())
            if (name.startsWith(QLatin1StringView("audit-")))
                db::closeDatabase(name);
    }

    void drivers_data() { addDriverColumn(); }

    void oldDatabaseGainsTheTable_data() { drivers_data(); }
    void oldDatabaseGainsTheTable()
    {
        QFETCH(QString, driver);
        QString database, skip;
        QSqlDatabase own;
        if (!oldDatabase(driver, &database, &own, &skip))
            QSKIP(qPrintable(skip));
        QCOMPARE(db::missingTables(own), QStringList{server::AuditTable});

        // Listing the trail must not change the database.
        const Run listing = audit({QStringLiteral("--db"), database});
        QCOMPARE(listing.status, 1);
        QVERIFY2(listing.err.contains(QStringLiteral("no audit table")), qPrintable(listing.err));
        QCOMPARE(db::missingTables(own), QStringList{server::AuditTable});

        ServerProcess server;
        QVERIFY2(server.start(database), qPrintable(server.errorString()));
        QTRY_VERIFY2_WITH_TIMEOUT(
            server.standardError().contains(QStringLiteral("created the table AUDITORIA")),
            qPrintable(server.standardError()), 5000);
        QVERIFY(db::missingTables(own).isEmpty());
        QCOMPARE(auditIndexes(own), 1);
        QString error;
        QVERIFY2(changeOneFact(server, &error), qPrintable(error));
        QCOMPARE(rows(own, AuditRowsSql), OneFactRow);

        // The table is the schema's, constraints included (SQLite's length
        // checks come from the dialect).
        const QString insert = QStringLiteral(
            "INSERT INTO AUDITORIA (DTAUDITORIA, NMADMINISTRADOR, NMMETODO, TPPRINCIPAL, "
            "CDPRINCIPAL, DSITENS, DSANTES, DSDEPOIS) VALUES ('2024-01-01T00:00:00.000Z', 'a', "
            "'m', '%1', '%2', '[]', '{}', '{}')");
        QVERIFY(refused(own, insert.arg(QStringLiteral("X"), QStringLiteral("01"))));
        QVERIFY(refused(own, insert.arg(QStringLiteral("G"), QString(13, u'9'))));

        // The next start finds the table and leaves it and its rows alone.
        QCOMPARE(server.stop(), 0);
        ServerProcess again;
        QVERIFY2(again.start(database), qPrintable(again.errorString()));
        QCOMPARE(again.stop(), 0);
        QVERIFY2(!again.standardError().contains(QStringLiteral("created the table")),
                 qPrintable(again.standardError()));
        QCOMPARE(rows(own, AuditRowsSql), OneFactRow);
        QCOMPARE(auditIndexes(own), 1);
    }

    // A trail made before the history has neither the undo column nor the
    // history's indexes: the server adds them, the export reads the table
    // either way.
    void previousTrailIsBroughtUpToDate_data() { drivers_data(); }
    void previousTrailIsBroughtUpToDate()
    {
        QFETCH(QString, driver);
        QString database, skip;
        QSqlDatabase own;
        if (!oldDatabase(driver, &database, &own, &skip))
            QSKIP(qPrintable(skip));
        const db::Dialect dialect = db::Dialect::of(own);
        db::execDirect(own, dialect.adaptDdl(QStringLiteral(
                                "CREATE TABLE AUDITORIA (IDAUDITORIA INTEGER GENERATED BY DEFAULT "
                                "AS IDENTITY PRIMARY KEY, DTAUDITORIA VARCHAR(24) NOT NULL, "
                                "NMADMINISTRADOR TEXT NOT NULL, NMMETODO VARCHAR(30) NOT NULL, "
                                "TPPRINCIPAL VARCHAR(1) NOT NULL, CDPRINCIPAL VARCHAR(12) NOT "
                                "NULL, DSITENS TEXT NOT NULL, DSANTES TEXT NOT NULL, DSDEPOIS "
                                "TEXT NOT NULL)")));
        db::execDirect(own, QStringLiteral("CREATE INDEX AUDITORIA_DT ON AUDITORIA (DTAUDITORIA)"));
        db::execDirect(
            own, QStringLiteral("INSERT INTO AUDITORIA (DTAUDITORIA, NMADMINISTRADOR, NMMETODO, "
                                "TPPRINCIPAL, CDPRINCIPAL, DSITENS, DSANTES, DSDEPOIS) VALUES "
                                "('2024-01-01T00:00:00.000Z', 'a', 'setCkFatoOpGrup', 'G', '06', "
                                "'[[\"FATOVENDA\",\"VLMARGEM\"]]', '{\"granted\":[]}', "
                                "'{\"granted\":[[\"FATOVENDA\",\"VLMARGEM\"]]}')"));
        db::execDirect(own, QStringLiteral("INSERT INTO ITEMDWGRUPOP VALUES ('06', 'FATOVENDA', "
                                           "'VLMARGEM')"));
        const Run before = audit({QStringLiteral("--db"), database});
        QCOMPARE(before.status, 0);
        QVERIFY2(
            before.out.endsWith(u"G06 (Tecnologia da Informação): concedeu o fato Margem Bruta\n"),
            qPrintable(before.out + before.err));

        ServerProcess server;
        QVERIFY2(server.start(database), qPrintable(server.errorString()));
        QTRY_VERIFY2_WITH_TIMEOUT(server.standardError().contains(
                                      QStringLiteral("created the index AUDITORIA_ADMINISTRADOR")),
                                  qPrintable(server.standardError()), 5000);
        QVERIFY(db::run(own, QStringLiteral("SELECT * FROM AUDITORIA WHERE 1 = 0"))
                    .record()
                    .contains(QStringLiteral("IDAUDITORIADESFEITA")));
        RpcClient client;
        QVERIFY(client.connectTo(server.host(), server.port()));
        QUV_EXPECT_OK(client.login(ServerProcess::Token));
        QUV_EXPECT_OK(ServedDemo::callOn(client, QStringLiteral("desfazAlteracao"), {"1"}));
        QCOMPARE(count(own, QStringLiteral("SELECT COUNT(*) FROM AUDITORIA WHERE "
                                           "IDAUDITORIADESFEITA = 1")),
                 1);
        QCOMPARE(server.stop(), 0);
    }

    // Only the audit table is the server's to add: a database lacking any
    // other is refused, and left as it was.
    void incompleteDatabaseRefused_data() { drivers_data(); }
    void incompleteDatabaseRefused()
    {
        QFETCH(QString, driver);
        QString database, skip;
        QSqlDatabase own;
        if (!oldDatabase(driver, &database, &own, &skip))
            QSKIP(qPrintable(skip));
        db::execDirect(own, QStringLiteral("DROP TABLE FILDIMEOPER"));
        ServerProcess server;
        QVERIFY(!server.start(database));
        QCOMPARE(server.waitForExit(), 1);
        const QString message = server.standardError();
        QVERIFY2(message.contains(QStringLiteral("lacks the tables FILDIMEOPER, AUDITORIA")),
                 qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("quv-db create")), qPrintable(message));
        QCOMPARE(db::missingTables(own),
                 (QStringList{QStringLiteral("FILDIMEOPER"), server::AuditTable}));
    }

    // Another server creates the table at the moment this one starts: its
    // transaction is still open when this one finds the table missing and
    // tries to create it too. This one must wait, see the table, and serve.
    void concurrentUpgrade_data() { drivers_data(); }
    void concurrentUpgrade()
    {
        QFETCH(QString, driver);
        QString database, skip;
        QSqlDatabase own;
        if (!oldDatabase(driver, &database, &own, &skip))
            QSKIP(qPrintable(skip));
        const bool postgres = driver == QLatin1StringView("postgres");

        // Connections belong to the thread that opened them: the other
        // "server" lives in a thread of its own, so that this one can block
        // in start() meanwhile.
        std::promise<void> opened;
        std::atomic<bool> serverStarted = false;
        std::atomic<bool> sawWaiter = false;
        QString rivalFailure; // read after join
        std::thread rival([&] {
            bool holding = false;
            try {
                QSqlDatabase holder = openConnection(database, QStringLiteral("audit-rival"));
                QSqlDatabase watcher =
                    openConnection(database, QStringLiteral("audit-rival-watch"));
                db::Transaction transaction(holder);
                const QStringList statements = db::schemaStatements(db::Dialect::of(holder));
                for (const QString &statement : statements)
                    if (statement.contains(QStringLiteral(" AUDITORIA")))
                        db::execDirect(holder, statement);
                holding = true;
                opened.set_value();
                // Hold it until the server's own CREATE waits on it
                // (PostgreSQL shows that; SQLite does not, so give it time).
                for (int i = 0; i < 400 && !serverStarted; ++i) {
                    if (postgres &&
                        count(watcher, QStringLiteral("SELECT COUNT(*) FROM pg_stat_activity "
                                                      "WHERE datname = current_database() AND "
                                                      "wait_event_type = 'Lock'")) > 0) {
                        sawWaiter = true;
                        break;
                    }
                    if (!postgres && i == 20)
                        break;
                    QThread::msleep(50);
                }
                QThread::msleep(200);
                transaction.commit();
            } catch (const std::exception &e) {
                rivalFailure = QString::fromUtf8(e.what());
                if (!holding)
                    opened.set_value();
            }
            db::closeDatabase(QStringLiteral("audit-rival-watch"));
            db::closeDatabase(QStringLiteral("audit-rival"));
        });
        opened.get_future().wait();
        ServerProcess server;
        const bool started = server.start(database);
        serverStarted = true;
        rival.join();
        QVERIFY2(rivalFailure.isEmpty(), qPrintable(rivalFailure));
        QVERIFY2(started, qPrintable(server.errorString()));
        if (postgres)
            QVERIFY2(sawWaiter, "the server never waited on the other creation");
        QString error;
        QVERIFY2(changeOneFact(server, &error), qPrintable(error));
        QCOMPARE(rows(own, AuditRowsSql), OneFactRow);
        QCOMPARE(auditIndexes(own), 1);
    }

    void eachChangeWritesOneRow_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("params");
        QTest::addColumn<QString>("principal");
        QTest::addColumn<QString>("items");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        const QVariant out;
        for (const QString &driver : Drivers) {
            newRow(driver, "grant one fact")
                << driver << "setCkFatoOpGrup"
                << QVariantList{"FATOVENDA", "VLMARGEM", "06", true, out} << "G06"
                << "[[\"FATOVENDA\",\"VLMARGEM\"]]"
                << "{\"granted\":[]}"
                << "{\"granted\":[[\"FATOVENDA\",\"VLMARGEM\"]]}";
            newRow(driver, "revoke one fact")
                << driver << "setCkFatoOpOper"
                << QVariantList{"FATOVENDA", "VLVENDA", "JSILVA", false, out} << "OJSILVA"
                << "[[\"FATOVENDA\",\"VLVENDA\"]]"
                << "{\"granted\":[[\"FATOVENDA\",\"VLVENDA\"]]}"
                << "{\"granted\":[]}";
            newRow(driver, "revoke a filtered dimension")
                << driver << "setCkDimeOpGrup" << QVariantList{"4", "02", false, out} << "G02"
                << "[4]"
                << "{\"granted\":[4],\"filters\":{\"4\":[\"S\",\"SE\"]}}"
                << "{\"granted\":[],\"filters\":{}}";
            newRow(driver, "grant a held dimension")
                << driver << "setCkDimeOpOper" << QVariantList{"4", "JSILVA", true, out}
                << "OJSILVA"
                << "[4]"
                << "{\"granted\":[4],\"filters\":{\"4\":[\"SE\"]}}"
                << "{\"granted\":[4],\"filters\":{\"4\":[\"SE\"]}}";
            newRow(driver, "grant many facts")
                << driver << "setTChkFatoOpGrup"
                << QVariantList{"06",
                                QVariant::fromValue(packetOf({{"CDTABELADW", 30}, {"CDITEMDW", 30}},
                                                             {{"FATOVENDA", "VLVENDA"},
                                                              {"FATOMETA", "VLMETA"},
                                                              {"FATOVENDA", "VLVENDA"}})),
                                out, true}
                << "G06"
                << "[[\"FATOVENDA\",\"VLVENDA\"],[\"FATOMETA\",\"VLMETA\"]]"
                << "{\"granted\":[]}"
                << "{\"granted\":[[\"FATOVENDA\",\"VLVENDA\"],[\"FATOMETA\",\"VLMETA\"]]}";
            newRow(driver, "revoke many dimensions")
                << driver << "setTChkDimeOpOper"
                << QVariantList{"JSILVA",
                                QVariant::fromValue(packetOf({{"NRSEQUEDIME", 5}}, {{"1"}, {"3"}})),
                                false, out}
                << "OJSILVA"
                << "[1,3]"
                << "{\"granted\":[1],\"filters\":{\"1\":[\"C0000003\",\"C0000007\",\"C0000011\"]}}"
                << "{\"granted\":[],\"filters\":{}}";
            newRow(driver, "replace a filter")
                << driver << "setDelFilDime"
                << QVariantList{QVariant::fromValue(packetOf(
                                    {{"ITENS", 50}, {"CDCODIGOPAI", 20}, {"NRSEQUEDIME", 20}},
                                    {{"NE", "02", "4"}, {"N", "02", "4"}, {"N", "02", "4"}})),
                                true}
                << "G02"
                << "[4]"
                << "{\"values\":[\"S\",\"SE\"]}"
                << "{\"values\":[\"N\",\"NE\"]}";
        }
    }
    void eachChangeWritesOneRow()
    {
        QFETCH(QString, driver);
        QFETCH(QString, method);
        QFETCH(QVariantList, params);
        QFETCH(QString, principal);
        QFETCH(QString, items);
        QFETCH(QString, before);
        QFETCH(QString, after);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        QCOMPARE(demo.count(QStringLiteral("SELECT COUNT(*) FROM AUDITORIA")), 0);
        const QString started = server::normalisedTime(
            QDateTime::currentDateTimeUtc().addSecs(-1).toString(Qt::ISODate));
        QUV_EXPECT_OK(demo.call(method, params));

        const QList<QStringList> rows = quv::test::rows(
            demo.db(), QStringLiteral("SELECT DTAUDITORIA, NMADMINISTRADOR, NMMETODO, "
                                      "TPPRINCIPAL, CDPRINCIPAL, DSITENS, DSANTES, DSDEPOIS "
                                      "FROM AUDITORIA"));
        QCOMPARE(rows.size(), 1);
        const QStringList &row = rows.first();
        QVERIFY2(row[0] >= started && row[0].endsWith(u'Z'), qPrintable(row[0]));
        QCOMPARE(row[1], ServerProcess::Administrator);
        QCOMPARE(row[2], method);
        QCOMPARE(row[3] + row[4], principal);
        QCOMPARE(jsonOf(row[5]), jsonOf(items));
        QCOMPARE(jsonOf(row[6]), jsonOf(before));
        QCOMPARE(jsonOf(row[7]), jsonOf(after));

        // Reads leave no trace.
        QUV_EXPECT_OK(demo.call(QStringLiteral("getOperGrup"), {"02", {}, {}}));
        QUV_EXPECT_OK(demo.call(QStringLiteral("getListaFiltro"), {"G02", "4"}));
        QCOMPARE(demo.count(QStringLiteral("SELECT COUNT(*) FROM AUDITORIA")), 1);
    }

    // The log has one line per event, stamped like the audit rows; a
    // category switched off by QT_LOGGING_RULES writes nothing.
    void logMatchesAudit_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::newRow("every category") << QString();
        QTest::newRow("changes off") << QStringLiteral("quv.server.change=false");
    }
    void logMatchesAudit()
    {
        QFETCH(QString, rules);
        ServedDemo demo;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
        demo.server.setEnvironment(environment);
        QUV_SERVE(demo, QStringLiteral("sqlite"));
        QUV_EXPECT_OK(demo.call(QStringLiteral("setCkFatoOpGrup"),
                                {"FATOVENDA", "VLMARGEM", "06", true, {}}));
        // A change made by another unit than the grant toggles is logged too.
        QUV_EXPECT_OK(demo.call(QStringLiteral("copiaAcessos"), {"G02", "OJSILVA", "acrescentar"}));
        // Logged last: once it is read, every line before it is.
        QUV_EXPECT_ERROR(demo.call(QStringLiteral("getOperGrup"), {"99", {}, {}}),
                         code::UnknownKey);
        const QString audited =
            rows(demo.db(), QStringLiteral("SELECT DTAUDITORIA FROM AUDITORIA")).value(0).value(0);
        QTRY_VERIFY_WITH_TIMEOUT(
            demo.server.standardError().contains(QStringLiteral("UnknownKey (1003)")), 5000);

        static const QRegularExpression shape(QStringLiteral(
            R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (debug|info|warning|critical) ([\w.]+): (.+)$)"));
        QMap<QString, QString> lines; // category: its lines, the time before each message
        const QStringList log =
            demo.server.standardError().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : log) {
            const QRegularExpressionMatch match = shape.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            lines[match.captured(3)] += match.captured(1) + u' ' + match.captured(4) + u'\n';
        }
        const QString peer = QStringLiteral("127.0.0.1:");
        QVERIFY(
            lines.value(QStringLiteral("quv.server"))
                .contains(QStringLiteral("listening on %1%2").arg(peer).arg(demo.server.port())));
        QVERIFY(
            lines.value(QStringLiteral("quv.server.login"))
                .contains(QStringLiteral(" logged in as %1").arg(ServerProcess::Administrator)));
        QVERIFY(lines.value(QStringLiteral("quv.server.refused"))
                    .contains(QStringLiteral("getOperGrup by %1 refused: UnknownKey (1003)")
                                  .arg(ServerProcess::Administrator)));
        QVERIFY(lines.value(QStringLiteral("quv.server.login")).contains(peer));
        const QString change = lines.value(QStringLiteral("quv.server.change"));
        if (!rules.isEmpty()) {
            QVERIFY2(change.isEmpty(), qPrintable(change));
            return;
        }
        static const QRegularExpression changeLine(
            QStringLiteral(R"(\A(\S+) setCkFatoOpGrup G06 by (\S+) in \d+\.\d ms\n)"
                           R"(\S+ copiaAcessos OJSILVA by \S+ in \d+\.\d ms\n\z)"));
        const QRegularExpressionMatch match = changeLine.match(change);
        QVERIFY2(match.hasMatch(), qPrintable(change));
        QCOMPARE(match.captured(2), ServerProcess::Administrator);
        // The same clock: the line follows its row's commit by moments.
        const QDateTime rowTime = QDateTime::fromString(audited, Qt::ISODateWithMs);
        const QDateTime lineTime = QDateTime::fromString(match.captured(1), Qt::ISODateWithMs);
        QVERIFY2(rowTime.isValid() && lineTime >= rowTime && rowTime.msecsTo(lineTime) < 5000,
                 qPrintable(audited + u' ' + match.captured(1)));
    }

    void refusedChangeWritesNothing_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("params");
        QTest::addColumn<int>("error");
        const QVariant out;
        const QString tooLong(51, u'x');
        for (const QString &driver : Drivers) {
            newRow(driver, "unknown fact")
                << driver << "setCkFatoOpGrup" << QVariantList{"FATOVENDA", "NADA", "02", true, out}
                << code::UnknownKey;
            newRow(driver, "unknown principal")
                << driver << "setCkDimeOpOper" << QVariantList{"1", "NINGUEM", true, out}
                << code::UnknownKey;
            newRow(driver, "one unknown row among many")
                << driver << "setTChkFatoOpGrup"
                << QVariantList{"06",
                                QVariant::fromValue(
                                    packetOf({{"CDTABELADW", 30}, {"CDITEMDW", 30}},
                                             {{"FATOVENDA", "VLVENDA"}, {"FATOVENDA", "NADA"}})),
                                out, true}
                << code::UnknownKey;
            newRow(driver, "filter value too long")
                << driver << "setDelFilDime"
                << QVariantList{QVariant::fromValue(packetOf(
                                    {{"ITENS", 60}, {"CDCODIGOPAI", 20}, {"NRSEQUEDIME", 20}},
                                    {{"N", "02", "4"}, {tooLong, "02", "4"}})),
                                true}
                << code::InvalidValue;
            newRow(driver, "filter on a dimension not granted")
                << driver << "setDelFilDime"
                << QVariantList{QVariant::fromValue(packetOf(
                                    {{"ITENS", 50}, {"CDCODIGOPAI", 20}, {"NRSEQUEDIME", 20}},
                                    {{"N", "06", "4"}})),
                                true}
                << code::InvalidValue;
        }
    }
    void refusedChangeWritesNothing()
    {
        QFETCH(QString, driver);
        QFETCH(QString, method);
        QFETCH(QVariantList, params);
        QFETCH(int, error);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString before = fingerprint(demo.db());
        QUV_EXPECT_ERROR(demo.call(method, params), error);
        QCOMPARE(demo.count(QStringLiteral("SELECT COUNT(*) FROM AUDITORIA")), 0);
        QCOMPARE(fingerprint(demo.db()), before);
    }

    void exportFiltersAndFormats_data() { addDriverColumn(); }
    void exportFiltersAndFormats()
    {
        QFETCH(QString, driver);
        const QString otherToken = QStringLiteral("other-token-5521ab");
        ServedDemo demo;
        RpcClient other;
        QUV_SERVE_WITH_SECOND_ADMIN(demo, driver, other, otherToken);
        const QVariant out;
        QUV_EXPECT_OK(demo.call(QStringLiteral("setCkFatoOpGrup"),
                                {"FATOVENDA", "VLMARGEM", "06", true, out}));
        QUV_EXPECT_OK(ServedDemo::callOn(other, QStringLiteral("setCkDimeOpOper"),
                                         {"2", "JSILVA", true, out}));
        QUV_EXPECT_OK(demo.call(QStringLiteral("setCkDimeOpGrup"), {"1", "06", true, out}));
        const QString db = QStringLiteral("--db=") + demo.connectionString;

        Run all = audit({db, "--format", "json"});
        QCOMPARE(all.status, 0);
        QJsonParseError parseError;
        const QJsonArray entries = QJsonDocument::fromJson(all.out.toUtf8(), &parseError).array();
        QCOMPARE(parseError.error, QJsonParseError::NoError);
        QCOMPARE(entries.size(), 3);
        const QJsonObject first = entries.first().toObject();
        QCOMPARE(first.value("administrator").toString(), ServerProcess::Administrator);
        QCOMPARE(first.value("method").toString(), QStringLiteral("setCkFatoOpGrup"));
        QCOMPARE(first.value("principal").toString(), QStringLiteral("G06"));
        QCOMPARE(first.value("items"), json("[[\"FATOVENDA\",\"VLMARGEM\"]]"));
        QCOMPARE(first.value("after"), json("{\"granted\":[[\"FATOVENDA\",\"VLMARGEM\"]]}"));
        QCOMPARE(
            first.value("added"),
            json("{\"facts\":[[\"FATOVENDA\",\"VLMARGEM\"]],\"dimensions\":[],\"filters\":{}}"));
        QCOMPARE(first.value("removed"), json("{\"facts\":[],\"dimensions\":[],\"filters\":{}}"));
        QVERIFY(first.value("id").toInteger() < entries.last().toObject().value("id").toInteger());

        const auto methodsOf = [](const Run &run) {
            QStringList methods;
            const QJsonArray list = QJsonDocument::fromJson(run.out.toUtf8()).array();
            for (const QJsonValue &entry : list)
                methods.append(entry.toObject().value("method").toString());
            return methods;
        };
        QCOMPARE(methodsOf(audit({db, "--format=json", "--principal", "G06"})),
                 (QStringList{"setCkFatoOpGrup", "setCkDimeOpGrup"}));
        QCOMPARE(methodsOf(audit({db, "--format=json", "--principal", "OJSILVA"})),
                 QStringList{"setCkDimeOpOper"});
        QCOMPARE(methodsOf(audit({db, "--format=json", "--administrator", "outra"})),
                 QStringList{"setCkDimeOpOper"});
        const Run none = audit({db, "--format=json", "--since", "2999-01-01"});
        QCOMPARE(none.status, 0);
        QCOMPARE(methodsOf(none), QStringList());
        QVERIFY2(none.err.contains(QStringLiteral("no change matches")), qPrintable(none.err));
        QCOMPARE(methodsOf(audit({db, "--format=json", "--until", "2000-01-01T00:00:00Z"})),
                 QStringList());
        const QString today = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);
        QCOMPARE(methodsOf(audit({db, "--format=json", "--since", today, "--until", today})).size(),
                 3);

        // CSV: the JSON columns hold commas and quotes and must read back whole.
        const Run csv = audit({db, "--format", "csv", "--principal", "G06"});
        QCOMPARE(csv.status, 0);
        QVERIFY(csv.out.contains(QStringLiteral("\"[[\"\"FATOVENDA\"\",\"\"VLMARGEM\"\"]]\"")));
        const QList<QStringList> table = parseCsv(csv.out);
        QCOMPARE(table.size(), 3);
        QCOMPARE(table[0],
                 (QStringList{"id", "time", "administrator", "method", "principal", "items",
                              "before", "after", "added", "removed", "summary"}));
        QCOMPARE(table[1][5], QStringLiteral("[[\"FATOVENDA\",\"VLMARGEM\"]]"));
        QCOMPARE(jsonOf(table[2][8]), json("{\"facts\":[],\"dimensions\":[1],\"filters\":{}}"));
        QCOMPARE(table[2][10], QStringLiteral("Concedeu a dimensão Cliente"));
        QCOMPARE(table[2][3], QStringLiteral("setCkDimeOpGrup"));

        const Run text = audit({db, "--administrator", "outra"});
        QCOMPARE(text.status, 0);
        QCOMPARE(text.out.count(u'\n'), 1);
        QVERIFY2(text.out.endsWith(QStringLiteral(
                     " outra setCkDimeOpOper OJSILVA (João da Silva): concedeu a dimensão "
                     "Produto\n")),
                 qPrintable(text.out));
        // A call that changed nothing says so.
        QUV_EXPECT_OK(demo.call(QStringLiteral("setCkDimeOpGrup"), {"1", "06", true, out}));
        QVERIFY(audit({db, "--principal", "G06"}).out.endsWith(u": sem alteração\n"));
    }

    void csvAndTimes()
    {
        QCOMPARE(server::csvField(QStringLiteral("plain")), QStringLiteral("plain"));
        QCOMPARE(server::csvField(QStringLiteral("a,b")), QStringLiteral("\"a,b\""));
        QCOMPARE(server::csvField(QStringLiteral("say \"hi\", bye")),
                 QStringLiteral("\"say \"\"hi\"\", bye\""));
        QCOMPARE(server::csvField(QStringLiteral("two\nlines")), QStringLiteral("\"two\nlines\""));
        // What a spreadsheet would run as a formula stays text.
        for (const char *formula : {"=1+2", "+SUM(A1)", "-2+3", "@cmd", "\tx"})
            QCOMPARE(server::csvField(QString::fromLatin1(formula)),
                     QLatin1Char('\'') + QString::fromLatin1(formula));
        QCOMPARE(server::csvField(QStringLiteral("=A1,B1")), QStringLiteral("\"'=A1,B1\""));
        QCOMPARE(server::normalisedTime(QStringLiteral("2024-05-31T10:00:00-03:00")),
                 QStringLiteral("2024-05-31T13:00:00.000Z"));
        QCOMPARE(server::normalisedTime(QStringLiteral("2024-05-31T10:00:00")),
                 QStringLiteral("2024-05-31T10:00:00.000Z"));
        QCOMPARE(server::normalisedTime(QStringLiteral("2024-05-31")),
                 QStringLiteral("2024-05-31T00:00:00.000Z"));
        QVERIFY(server::normalisedTime(QStringLiteral("31/05/2024")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(ServerAudit)
#include "tst_serveraudit.moc"
