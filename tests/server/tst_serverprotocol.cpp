// The server's wire behaviour: authentication, framing, both encodings,
// malformed input and argument checks, its configuration file and a clean
// stop. Its command line is in tests/programs.

#include "servedemo.h"
#include "tests/support/pgcluster.h"
#include "tests/support/programrun.h"

#include <QCborStreamWriter>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>

#include <csignal>

using namespace quv;
using namespace quv::test;
namespace code = quv::wire::code;

namespace {

QByteArray jsonRequest(const QByteArray &body)
{
    return body;
}

QByteArray header(quint32 length)
{
    char bytes[4];
    qToBigEndian<quint32>(length, bytes);
    return QByteArray(bytes, 4);
}

wire::Response readResponse(RpcClient &client, wire::Encoding encoding)
{
    return RpcClient::decodeResponse(client.readPayload(), encoding);
}

} // namespace

class ServerProtocol : public QObject
{
    Q_OBJECT

private:
    void drivers()
    {
        QTest::addColumn<QString>("driver");
        for (const QString &driver : Drivers)
            QTest::newRow(qPrintable(driver)) << driver;
    }

    /// A second client on the same server still logs in and reads.
    void verifyServerStillServes(ServedDemo &demo)
    {
        RpcClient other;
        QVERIFY(other.connectTo(demo.server.host(), demo.server.port()));
        QUV_EXPECT_OK(other.login(ServerProcess::Token));
        QUV_EXPECT_OK(ServedDemo::callOn(other, QStringLiteral("getOperGrup"), {"01", {}, {}}));
    }

private slots:
    void bothEncodings_data() { drivers(); }
    void bothEncodings()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE_AS(demo, driver, false);
        const wire::Response login =
            demo.client.login(ServerProcess::Token, {}, wire::Encoding::Json);
        QUV_EXPECT_OK(login);
        QCOMPARE(login.result.toMap(),
                 (QVariantMap{{QStringLiteral("administrator"), ServerProcess::Administrator}}));
        const QVariantList params{QStringLiteral("João"), QVariant(), QVariant()};
        const wire::Response json =
            demo.call(QStringLiteral("getOperOper"), {"JSILVA", {}, {}}, wire::Encoding::Json);
        const wire::Response cbor =
            demo.call(QStringLiteral("getOperOper"), {"JSILVA", {}, {}}, wire::Encoding::Cbor);
        QUV_EXPECT_OK(json);
        QUV_EXPECT_OK(cbor);
        QCOMPARE(packetAt(json, 1), packetAt(cbor, 1));
        QCOMPARE(packetAt(json, 2), packetAt(cbor, 2));
        // Accented text survives both encodings.
        const wire::Response missing =
            demo.call(QStringLiteral("getOperOper"), params, wire::Encoding::Json);
        QUV_EXPECT_ERROR(missing, code::UnknownKey);
        QVERIFY(missing.errorMessage.contains(QStringLiteral("'João'")));
    }

    void refusedLogin_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("params");
        QTest::addColumn<int>("error");
        const QString server = QString(rdm::ServerName);
        const QString token = ServerProcess::Token;
        for (const QString &driver : Drivers) {
            newRow(driver, "wrong token")
                << driver << "login" << QVariantList{server, "wrong-token-123"}
                << code::AuthenticationFailed;
            newRow(driver, "token prefix")
                << driver << "login" << QVariantList{server, token.chopped(1)}
                << code::AuthenticationFailed;
            newRow(driver, "token longer")
                << driver << "login" << QVariantList{server, QString(token + QLatin1Char('x'))}
                << code::AuthenticationFailed;
            newRow(driver, "empty token")
                << driver << "login" << QVariantList{server, ""} << code::AuthenticationFailed;
            newRow(driver, "wrong server")
                << driver << "login" << QVariantList{"QUV01000.rdmOutro", token}
                << code::AuthenticationFailed;
            newRow(driver, "one argument")
                << driver << "login" << QVariantList{server} << code::InvalidParams;
            newRow(driver, "token as number")
                << driver << "login" << QVariantList{server, 12345678} << code::InvalidParams;
            newRow(driver, "call before login")
                << driver << "getOperGrup" << QVariantList{"01", {}, {}} << code::NotAuthenticated;
            newRow(driver, "unknown method before login")
                << driver << "nada" << QVariantList{} << code::NotAuthenticated;
        }
    }
    void refusedLogin()
    {
        QFETCH(QString, driver);
        QFETCH(QString, method);
        QFETCH(QVariantList, params);
        QFETCH(int, error);
        ServedDemo demo;
        QUV_SERVE_AS(demo, driver, false);
        const wire::Response r = demo.call(method, params);
        QUV_EXPECT_ERROR(r, error);
        QVERIFY(!r.errorMessage.isEmpty());
        QVERIFY2(demo.client.waitForClosed(), "the server kept a refused connection open");
        verifyServerStillServes(demo);
    }

    // Requests written back to back are answered one by one, in order.
    void pipelined_data() { drivers(); }
    void pipelined()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        QByteArray bytes;
        const QList<std::pair<qint64, QVariantList>> calls = {
            {7, {"01", {}, {}}}, {8, {"99", {}, {}}}, {9, {"02", {}, {}}}};
        for (const auto &[id, params] : calls) {
            wire::Request request{id, QStringLiteral("getOperGrup"), params};
            bytes +=
                wire::frame(wire::encode(wire::requestToVariant(request), wire::Encoding::Cbor));
        }
        demo.client.sendRaw(bytes);
        for (const auto &[id, params] : calls) {
            const wire::Response r = readResponse(demo.client, wire::Encoding::Cbor);
            QCOMPARE(r.id.toLongLong(), id);
            QCOMPARE(r.ok, id != 8);
        }
    }

    void malformed_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("error");
        QTest::addColumn<QVariant>("id");
        QTest::addColumn<bool>("loggedIn");
        QByteArray cborArray;
        {
            QCborStreamWriter w(&cborArray);
            w.startArray(1);
            w.append(1);
            w.endArray();
        }
        QByteArray cborNoMethod;
        {
            QCborStreamWriter w(&cborNoMethod);
            w.startMap(2);
            w.append(QLatin1StringView("jsonrpc"));
            w.append(QLatin1StringView("2.0"));
            w.append(QLatin1StringView("id"));
            w.append(41);
            w.endMap();
        }
        for (const QString &driver : Drivers) {
            newRow(driver, "bad cbor") << driver << QByteArray("\xff\xfe\x00", 3)
                                       << code::ParseError << QVariant() << true;
            newRow(driver, "truncated cbor")
                << driver << cborNoMethod.left(6) << code::ParseError << QVariant() << true;
            newRow(driver, "empty payload")
                << driver << QByteArray() << code::ParseError << QVariant() << true;
            newRow(driver, "bad json") << driver << jsonRequest("{\"jsonrpc\": \"2.0\", ")
                                       << code::ParseError << QVariant() << true;
            newRow(driver, "cbor array")
                << driver << cborArray << code::InvalidRequest << QVariant() << true;
            newRow(driver, "cbor without method")
                << driver << cborNoMethod << code::InvalidRequest << QVariant(qint64(41)) << true;
            newRow(driver, "json without version")
                << driver << jsonRequest(R"({"id": 5, "method": "getOperGrup", "params": []})")
                << code::InvalidRequest << QVariant(qint64(5)) << true;
            newRow(driver, "json params object")
                << driver
                << jsonRequest(
                       R"({"jsonrpc": "2.0", "id": "a", "method": "getOperGrup", "params": {}})")
                << code::InvalidRequest << QVariant(QStringLiteral("a")) << true;
            newRow(driver, "json bad packet")
                << driver
                << jsonRequest(
                       R"({"jsonrpc": "2.0", "id": 6, "method": "setDelFilDime", "params": )"
                       R"([{"fields": [{"name": "ITENS", "size": 2}], "rows": [["long"]]}, true]})")
                << code::ParseError << QVariant() << true;
            // Before login the true cause is answered too, and the
            // connection is closed: nothing else may be asked yet.
            newRow(driver, "bad json before login") << driver << jsonRequest("{\"jsonrpc\": ")
                                                    << code::ParseError << QVariant() << false;
            newRow(driver, "cbor array before login")
                << driver << cborArray << code::InvalidRequest << QVariant() << false;
        }
    }
    void malformed()
    {
        QFETCH(QString, driver);
        QFETCH(QByteArray, payload);
        QFETCH(int, error);
        QFETCH(QVariant, id);
        QFETCH(bool, loggedIn);
        ServedDemo demo;
        QUV_SERVE_AS(demo, driver, loggedIn);
        const QString before = fingerprint(demo.db());
        demo.client.sendPayload(payload);
        const wire::Encoding encoding = wire::detectEncoding(payload);
        const wire::Response r = readResponse(demo.client, encoding);
        QUV_EXPECT_ERROR(r, error);
        QCOMPARE(r.id, id);
        if (loggedIn) {
            // A logged-in connection survives a bad message.
            QUV_EXPECT_OK(demo.call(QStringLiteral("getOperGrup"), {"01", {}, {}}));
        } else {
            QVERIFY2(demo.client.waitForClosed(), "the server kept the connection open");
            verifyServerStillServes(demo);
        }
        QCOMPARE(fingerprint(demo.db()), before);
    }

    void badArguments_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("params");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("messagePart");
        const QVariant out;
        const QVariant packet = QVariant::fromValue(DataPacket({{QStringLiteral("ITENS"), 5}}));
        for (const QString &driver : Drivers) {
            newRow(driver, "too few") << driver << "getOperGrup" << QVariantList{"01"}
                                      << code::InvalidParams << "espera 3 argumentos";
            newRow(driver, "too many")
                << driver << "setCkDimeOpGrup" << QVariantList{"1", "01", true, out, out}
                << code::InvalidParams << "recebeu 5";
            newRow(driver, "number for bool")
                << driver << "setCkFatoOpGrup" << QVariantList{"FATOVENDA", "VLVENDA", "01", 1, out}
                << code::InvalidParams << "Argumento 4 (concessão)";
            newRow(driver, "null for string")
                << driver << "setCkFatoOpOper" << QVariantList{out, "VLVENDA", "JSILVA", true, out}
                << code::InvalidParams << "Argumento 1 (CDTABELADW)";
            newRow(driver, "string for packet")
                << driver << "setTChkFatoOpGrup" << QVariantList{"01", "rows", out, true}
                << code::InvalidParams << "pacote de dados";
            newRow(driver, "value for out packet")
                << driver << "getOperGrup" << QVariantList{"01", packet, out} << code::InvalidParams
                << "Argumento 2";
            newRow(driver, "bool for string") << driver << "getPesqFiltro" << QVariantList{true}
                                              << code::InvalidParams << "instrução SELECT";
            newRow(driver, "list for packet")
                << driver << "setDelFilDime" << QVariantList{QVariantList{}, true}
                << code::InvalidParams << "recebeu lista";
            newRow(driver, "unknown method") << driver << "dropTables" << QVariantList{}
                                             << code::MethodNotFound << "'dropTables'";
            newRow(driver, "method case") << driver << "getopergrup" << QVariantList{"01", out, out}
                                          << code::MethodNotFound << "'getopergrup'";
        }
    }
    void badArguments()
    {
        QFETCH(QString, driver);
        QFETCH(QString, method);
        QFETCH(QVariantList, params);
        QFETCH(int, error);
        QFETCH(QString, messagePart);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString before = fingerprint(demo.db());
        const wire::Response r = demo.call(method, params);
        QUV_EXPECT_ERROR(r, error);
        QVERIFY2(r.errorMessage.contains(messagePart), qPrintable(r.errorMessage));
        QCOMPARE(fingerprint(demo.db()), before);
    }

    // Over --max-frame once logged in, over 64 KiB before.
    void oversizedFrame_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<bool>("json");
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<int>("announced");
        for (const QString &driver : Drivers) {
            for (const bool json : {false, true})
                QTest::newRow(
                    qPrintable(driver + (json ? QStringLiteral(" json") : QStringLiteral(" cbor"))))
                    << driver << json << true << 3000;
            QTest::newRow(qPrintable(driver + QStringLiteral(" before login")))
                << driver << false << false << 65537;
        }
    }
    void oversizedFrame()
    {
        QFETCH(QString, driver);
        QFETCH(bool, json);
        QFETCH(bool, loggedIn);
        QFETCH(int, announced);
        ServedDemo demo;
        QString skip, error;
        if (!demo.start(driver, &skip, &error, loggedIn, {QStringLiteral("--max-frame"), "2048"})) {
            if (!skip.isEmpty())
                QSKIP(qPrintable(skip));
            QFAIL(qPrintable(error));
        }
        // Refused from the header alone, before the body is sent.
        demo.client.sendRaw(header(quint32(announced)) +
                            (json ? QByteArray("{\"jsonrpc\"") : QByteArray("\xa3")));
        const wire::Response r =
            readResponse(demo.client, json ? wire::Encoding::Json : wire::Encoding::Cbor);
        QUV_EXPECT_ERROR(r, code::FrameTooLarge);
        QVERIFY(r.errorMessage.contains(QString::number(announced)));
        QVERIFY(demo.client.waitForClosed());
        verifyServerStillServes(demo);
    }

    // A client that vanishes in the middle of a frame harms nobody else.
    void truncatedFrame_data() { drivers(); }
    void truncatedFrame()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QByteArray frame = wire::frame(
            wire::encode(wire::requestToVariant({1, QStringLiteral("getOperGrup"), {"01", {}, {}}}),
                         wire::Encoding::Cbor));
        demo.client.sendRaw(frame.left(frame.size() / 2));
        demo.client.socket().disconnectFromHost();
        verifyServerStillServes(demo);
    }

    // A mistyped SQLite path is refused by the server and by the audit
    // listing alike, says how to make a database, and leaves no file behind.
    void mistypedPathCreatesNothing_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::newRow("server") << QStringList{"--token=a=" + ServerProcess::Token};
        QTest::newRow("audit") << QStringList{"audit"};
    }
    void mistypedPathCreatesNothing()
    {
        QFETCH(QStringList, command);
        QTemporaryDir dir;
        const QString typo = dir.filePath(QStringLiteral("demo.bd"));
        ServerProcess server;
        QVERIFY(!server.startRaw(command + QStringList{"--db", QStringLiteral("sqlite:") + typo}));
        QCOMPARE(server.waitForExit(), 1);
        const QString message = server.standardError();
        QVERIFY2(message.contains(QStringLiteral("does not exist")) &&
                     message.contains(QStringLiteral("quv-db create --db sqlite:") + typo),
                 qPrintable(message));
        QVERIFY(!QFileInfo::exists(typo));
    }

    void startupWithoutTables()
    {
        QString skip;
        const QString empty = freshEmptyDatabase(QStringLiteral("sqlite"), &skip);
        ServerProcess server;
        QVERIFY(!server.start(empty));
        QCOMPARE(server.waitForExit(), 1);
        QVERIFY2(server.standardError().contains(QStringLiteral("quv-db create")),
                 qPrintable(server.standardError()));
    }

    // The file gives everything; the command line overrides the host.
    void configFile()
    {
        QString skip;
        const QString database = freshDemoDatabase(QStringLiteral("sqlite"), &skip);
        QTemporaryDir dir;
        QVERIFY(writePrivateFile(dir.filePath(QStringLiteral("tokens")),
                                 "# administrators\n\nana  token-da-ana-123\n"));
        QFile ini(dir.filePath(QStringLiteral("quv.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(QStringLiteral("[server]\nhost=10.1.2.3\nport=0\n[database]\nconnection=%1\n"
                                 "[auth]\ntokens-file=tokens\n")
                      .arg(database)
                      .toUtf8());
        ini.close();
        ServerProcess server;
        QVERIFY2(server.startRaw({QStringLiteral("--config"), ini.fileName(),
                                  QStringLiteral("--host"), QStringLiteral("127.0.0.1")}),
                 qPrintable(server.errorString()));
        RpcClient client;
        QVERIFY(client.connectTo(server.host(), server.port()));
        const wire::Response r = client.login(QStringLiteral("token-da-ana-123"));
        QUV_EXPECT_OK(r);
        QCOMPARE(r.result.toMap().value(QStringLiteral("administrator")).toString(),
                 QStringLiteral("ana"));

        // Without the override the file's remote host is refused.
        ServerProcess refused;
        QVERIFY(!refused.startRaw({QStringLiteral("--config"), ini.fileName()}));
        QCOMPARE(refused.waitForExit(), 2);
    }

    // A database restart costs the call that meets it, not the server.
    void databaseRestart()
    {
        ServedDemo demo;
        QUV_SERVE(demo, QStringLiteral("postgres"));
        QUV_EXPECT_OK(demo.call(QStringLiteral("getOperGrup"), {"01", {}, {}}));
        QString skip;
        PgCluster::instance(&skip)->restart();
        const wire::Response first = demo.call(QStringLiteral("getOperGrup"), {"01", {}, {}});
        if (!first.ok)
            QUV_EXPECT_ERROR(first, code::DatabaseError);
        QUV_EXPECT_OK(demo.call(QStringLiteral("getOperGrup"), {"01", {}, {}}));
        QVERIFY(demo.server.isRunning());
    }

    void cleanStop_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void cleanStop()
    {
        QFETCH(int, signalNumber);
        ServedDemo demo;
        QUV_SERVE(demo, QStringLiteral("sqlite"));
        ::kill(pid_t(demo.server.processId()), signalNumber);
        QCOMPARE(demo.server.waitForExit(), 0);
        QVERIFY(demo.server.standardError().contains(QStringLiteral("stopped")));
        QVERIFY(demo.client.waitForClosed());
    }
};

QTEST_GUILESS_MAIN(ServerProtocol)
#include "tst_serverprotocol.moc"
