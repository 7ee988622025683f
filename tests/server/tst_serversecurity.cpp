// Who may talk to the server, and how much: failed logins hold their address
// back without stalling anyone else, unused connections are cut, the
// connection count (in all and per address) and request rate are capped,
// closing cannot be held open, and TLS is required when configured.

#include "certificates.h"
#include "servedemo.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>

#include <sys/resource.h>

using namespace quv;
using namespace quv::test;
namespace code = quv::wire::code;

namespace {

QByteArray frameHeader(quint32 length)
{
    char header[4];
    qToBigEndian<quint32>(length, header);
    return QByteArray(header, 4);
}

QByteArray frame(const QByteArray &payload)
{
    return frameHeader(quint32(payload.size())) + payload;
}

qint64 vmSizeKiB(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmSize:"))
            return line.mid(7).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

QByteArray requestFrame(qint64 id, const QString &method, const QVariantList &params)
{
    return frame(wire::encode(wire::requestToVariant({id, method, params}), wire::Encoding::Cbor));
}

QByteArray loginFrame(qint64 id, const QString &token)
{
    return requestFrame(id, QString(rdm::LoginMethod), {QString(rdm::ServerName), token});
}

/// Reads one response frame from any socket (the TLS cases cannot use
/// RpcClient's plain socket).
wire::Response readResponse(QAbstractSocket &socket, int milliseconds = 10000)
{
    QDeadlineTimer deadline(milliseconds);
    wire::FrameReader reader(wire::DefaultMaxFrame);
    while (true) {
        if (const std::optional<QByteArray> payload = reader.next())
            return RpcClient::decodeResponse(*payload, wire::Encoding::Cbor);
        if (deadline.hasExpired())
            throw std::runtime_error("no answer in time");
        if (!socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))) &&
            socket.bytesAvailable() == 0 && socket.state() != QAbstractSocket::ConnectedState)
            throw std::runtime_error("closed without an answer");
        reader.feed(socket.readAll());
    }
}

} // namespace

class ServerSecurity : public QObject
{
    Q_OBJECT

    /// A served demo without logging in, on SQLite: these behaviours live
    /// in the network layer and do not depend on the database.
    bool serve(ServedDemo &demo, const QStringList &arguments)
    {
        QString skip, error;
        if (!demo.start(QStringLiteral("sqlite"), &skip, &error, false, arguments)) {
            qWarning("%s", qPrintable(skip + error));
            return false;
        }
        return true;
    }

private slots:
    void failedLoginHoldsItsAddressBack()
    {
        ServedDemo demo;
        QVERIFY(serve(demo, {}));
        RpcClient other;
        QVERIFY(other.connectTo(demo.server.host(), demo.server.port()));
        QUV_EXPECT_OK(other.login(ServerProcess::Token));

        const QString guess = QStringLiteral("guessed-token-000001");
        QElapsedTimer clock;
        clock.start();
        demo.client.sendRaw(loginFrame(1, guess));
        // While the refusal is held back, another connection is served.
        QUV_EXPECT_OK(ServedDemo::callOn(other, QStringLiteral("getOperGrup"), {"01", {}, {}}));
        QCOMPARE(demo.client.socket().bytesAvailable(), 0);
        // Meanwhile the address is under its penalty: a guess given up on
        // before it ends is never compared at all, and even the right token
        // waits for it before it is looked at.
        RpcClient quitter;
        QVERIFY(quitter.connectTo(demo.server.host(), demo.server.port()));
        quitter.sendRaw(loginFrame(1, QStringLiteral("guessed-token-000002")));
        RpcClient right;
        QVERIFY(right.connectTo(demo.server.host(), demo.server.port()));
        right.sendRaw(loginFrame(1, ServerProcess::Token));
        QTest::qWait(200);
        quitter.socket().abort();
        QUV_EXPECT_OK(RpcClient::decodeResponse(right.readPayload(), wire::Encoding::Cbor));
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
        QUV_EXPECT_ERROR(RpcClient::decodeResponse(demo.client.readPayload(), wire::Encoding::Cbor),
                         code::AuthenticationFailed);
        QVERIFY(demo.client.waitForClosed());

        // That success does not clear the address's record: the next failure
        // waits longer.
        RpcClient again;
        QVERIFY(again.connectTo(demo.server.host(), demo.server.port()));
        clock.restart();
        QUV_EXPECT_ERROR(again.login(QStringLiteral("guessed-token-000003")),
                         code::AuthenticationFailed);
        QVERIFY2(clock.elapsed() >= 1900, qPrintable(QString::number(clock.elapsed())));

        // The log names the peer and each compared guess, never a token.
        QCOMPARE(demo.server.stop(), 0);
        const QString log = demo.server.standardError();
        QCOMPARE(log.count(QStringLiteral("login refused")), 2);
        QVERIFY(log.contains(QStringLiteral("127.0.0.1")));
        for (const char *token : {"guessed-token-00000", "test-token-"})
            QVERIFY2(!log.contains(QLatin1String(token)), token);
    }

    void methodsNeedLogin()
    {
        ServedDemo demo;
        QVERIFY(serve(demo, {}));
        for (const char *method : {"getOperGrup", "setCkFatoOpGrup", "setDelFilDime", "nothing"}) {
            RpcClient client;
            QVERIFY(client.connectTo(demo.server.host(), demo.server.port()));
            QUV_EXPECT_ERROR(
                ServedDemo::callOn(client, QString::fromLatin1(method), {"01", {}, {}}),
                code::NotAuthenticated);
            QVERIFY(client.waitForClosed());
        }
    }

    void unusedConnectionIsClosed_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("logIn");
        QTest::addColumn<QString>("messagePart");
        QTest::newRow("no login") << QStringList{"--login-timeout", "1"} << false << "login";
        QTest::newRow("logged in, no request")
            << QStringList{"--idle-timeout", "1"} << true << "sem pedidos";
    }
    void unusedConnectionIsClosed()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, logIn);
        QFETCH(QString, messagePart);
        ServedDemo demo;
        QVERIFY(serve(demo, arguments));
        if (logIn)
            QUV_EXPECT_OK(demo.client.login(ServerProcess::Token));
        QElapsedTimer clock;
        clock.start();
        const wire::Response response =
            RpcClient::decodeResponse(demo.client.readPayload(5000), wire::Encoding::Cbor);
        QUV_EXPECT_ERROR(response, code::NotAuthenticated);
        QVERIFY2(response.errorMessage.contains(messagePart), qPrintable(response.errorMessage));
        QVERIFY(clock.elapsed() >= 900);
        QVERIFY(demo.client.waitForClosed());
        if (logIn)
            return;

        // A connection that logs in in time stays open past the limit.
        RpcClient prompt;
        QVERIFY(prompt.connectTo(demo.server.host(), demo.server.port()));
        QUV_EXPECT_OK(prompt.login(ServerProcess::Token));
        QTest::qWait(1500);
        QUV_EXPECT_OK(ServedDemo::callOn(prompt, QStringLiteral("getOperGrup"), {"01", {}, {}}));
    }

    void connectionCountIsCapped_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("messagePart");
        QTest::newRow("in all") << QStringList{"--max-connections", "2"} << "2 conexões";
        QTest::newRow("from one address")
            << QStringList{"--max-per-address", "2"} << "deste endereço (o limite é 2)";
    }
    void connectionCountIsCapped()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, messagePart);
        ServedDemo demo;
        QVERIFY(serve(demo, arguments));
        QUV_EXPECT_OK(demo.client.login(ServerProcess::Token));
        auto second = std::make_unique<RpcClient>();
        QVERIFY(second->connectTo(demo.server.host(), demo.server.port()));
        QUV_EXPECT_OK(second->login(ServerProcess::Token));

        RpcClient third;
        QVERIFY(third.connectTo(demo.server.host(), demo.server.port()));
        const wire::Response refused =
            RpcClient::decodeResponse(third.readPayload(5000), wire::Encoding::Cbor);
        QUV_EXPECT_ERROR(refused, code::TooManyRequests);
        QVERIFY2(refused.errorMessage.contains(messagePart), qPrintable(refused.errorMessage));
        QVERIFY(third.waitForClosed());
        QTRY_VERIFY_WITH_TIMEOUT(
            demo.server.standardError().contains(QStringLiteral("127.0.0.1")) &&
                demo.server.standardError().contains(QStringLiteral(" refused: ")),
            5000);

        // The ones inside the limit are untouched, and a freed slot is reused.
        QUV_EXPECT_OK(demo.call(QStringLiteral("getOperGrup"), {"01", {}, {}}));
        second->socket().disconnectFromHost();
        second.reset();
        bool admitted = false;
        for (int attempt = 0; attempt < 50 && !admitted; ++attempt) {
            RpcClient next;
            QVERIFY(next.connectTo(demo.server.host(), demo.server.port()));
            admitted = ServedDemo::callOn(next, QString(rdm::LoginMethod),
                                          {QString(rdm::ServerName), ServerProcess::Token})
                           .ok;
            if (!admitted)
                QTest::qWait(100);
        }
        QVERIFY(admitted);
    }

    // When the server is full, a connection that has not logged in gives its
    // slot to a newcomer: connections that never log in cannot lock the
    // administrators out.
    void waitingConnectionMakesRoom()
    {
        ServedDemo demo;
        QVERIFY(serve(demo, {"--max-connections", "2"}));
        QUV_EXPECT_OK(demo.client.login(ServerProcess::Token));
        RpcClient idle;
        QVERIFY(idle.connectTo(demo.server.host(), demo.server.port()));
        QTest::qWait(100);
        RpcClient newcomer;
        QVERIFY(newcomer.connectTo(demo.server.host(), demo.server.port()));
        QUV_EXPECT_OK(newcomer.login(ServerProcess::Token));
        QVERIFY(idle.waitForClosed());
        QUV_EXPECT_OK(demo.call(QStringLiteral("getOperGrup"), {"01", {}, {}}));
    }

    // A peer that sends and never reads cannot keep its connection open by
    // leaving the last answer untaken: closing has a deadline.
    void closingPeerThatNeverReadsIsCutOff()
    {
        ServedDemo demo;
        QVERIFY(serve(demo, {"--idle-timeout", "1", "--max-rate", "1000000"}));
        QUV_EXPECT_OK(demo.client.login(ServerProcess::Token));
        // Nothing is taken off the socket, here or in the kernel.
        demo.client.socket().setReadBufferSize(1);
        demo.client.socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1);
        QByteArray burst;
        for (int i = 0; i < 4000; ++i)
            burst += requestFrame(i, QStringLiteral("getOperGrup"), {"01", {}, {}});
        demo.client.socket().write(burst);
        QTRY_VERIFY_WITH_TIMEOUT(demo.server.standardError().contains(
                                     QStringLiteral("aborted: its last answer was not taken")),
                                 15000);
    }

    // Running out of memory on one connection's account ends that
    // connection, never the server.
    void outOfMemoryEndsOnlyThatSession()
    {
#ifdef QUV_SANITIZED
        QSKIP("a sanitizer reserves more address space than the cap would allow");
#endif
        ServedDemo demo;
        QVERIFY(serve(demo, {}));
        QUV_EXPECT_OK(demo.client.login(ServerProcess::Token));
        // Room for what the server holds now and a little more, not for a
        // frame of 256 MiB.
        const pid_t pid = pid_t(demo.server.processId());
        const rlim_t cap = rlim_t(vmSizeKiB(pid) + 64 * 1024) * 1024;
        const rlimit limit{cap, cap};
        QCOMPARE(::prlimit(pid, RLIMIT_AS, &limit, nullptr), 0);
        demo.client.sendRaw(frameHeader(wire::DefaultMaxFrame) + QByteArray(1 << 20, '\0'));
        QUV_EXPECT_ERROR(RpcClient::decodeResponse(demo.client.readPayload(), wire::Encoding::Cbor),
                         code::InternalError);
        QVERIFY(demo.client.waitForClosed());
        RpcClient other;
        QVERIFY(other.connectTo(demo.server.host(), demo.server.port()));
        QUV_EXPECT_OK(other.login(ServerProcess::Token));
        QUV_EXPECT_OK(ServedDemo::callOn(other, QStringLiteral("getOperGrup"), {"01", {}, {}}));
    }

    // What a peer sends is quoted short in answers, and logged with its
    // control characters escaped and never a token, even one sent as the
    // server's name.
    void peerTextIsQuotedShortAndLoggedPlain_data()
    {
        QTest::addColumn<QVariantList>("params");
        QTest::addColumn<QString>("inLog");
        QTest::addColumn<QString>("notInLog");
        const QString name = QStringLiteral("evil\nname\x1b[2J") + QString(300, u'x');
        QTest::newRow("control characters in the server name")
            << QVariantList{name, ServerProcess::Token} << QStringLiteral("evil\\nname\\x1b[2J")
            << QStringLiteral("evil\nname");
        QTest::newRow("parameters swapped")
            << QVariantList{ServerProcess::Token, QString(rdm::ServerName)}
            << QStringLiteral("swapped") << ServerProcess::Token;
    }
    void peerTextIsQuotedShortAndLoggedPlain()
    {
        QFETCH(QVariantList, params);
        QFETCH(QString, inLog);
        QFETCH(QString, notInLog);
        ServedDemo demo;
        QVERIFY(serve(demo, {}));
        const wire::Response r = demo.call(QString(rdm::LoginMethod), params);
        QUV_EXPECT_ERROR(r, code::AuthenticationFailed);
        QVERIFY2(r.errorMessage.size() < 250, qPrintable(r.errorMessage));
        QTRY_VERIFY_WITH_TIMEOUT(demo.server.standardError().contains(inLog), 5000);
        QVERIFY(!demo.server.standardError().contains(notInLog));
    }

    void requestRateIsCapped()
    {
        ServedDemo demo;
        QVERIFY(serve(demo, {"--max-rate", "5"}));
        QUV_EXPECT_OK(demo.client.login(ServerProcess::Token));
        constexpr int Sent = 30;
        QByteArray burst;
        for (int i = 0; i < Sent; ++i)
            burst += requestFrame(100 + i, QStringLiteral("getOperGrup"), {"01", {}, {}});
        demo.client.sendRaw(burst);
        int ok = 0;
        int limited = 0;
        for (int i = 0; i < Sent; ++i) {
            const wire::Response r =
                RpcClient::decodeResponse(demo.client.readPayload(), wire::Encoding::Cbor);
            QCOMPARE(r.id, QVariant(qint64(100 + i))); // still in order
            if (r.ok)
                ++ok;
            else if (r.errorCode == code::TooManyRequests)
                ++limited;
        }
        QCOMPARE(ok + limited, Sent);
        QVERIFY2(ok >= 4 && ok <= 15, qPrintable(QStringLiteral("%1 answered").arg(ok)));
        // The connection stays usable once the rate allows again.
        QTest::qWait(1200);
        QUV_EXPECT_OK(demo.call(QStringLiteral("getOperGrup"), {"01", {}, {}}));
    }

    void tls()
    {
        Certificates certs;
        QVERIFY(certs.dir.isValid());
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
            QSKIP("the openssl command is not installed (scripts/setup.sh installs it)");
        QVERIFY2(certs.make(), qPrintable(certs.error));
        if (!QSslSocket::supportsSsl())
            QSKIP("this Qt has no TLS backend");

        ServedDemo demo;
        QVERIFY(serve(
            demo, {"--tls-cert", certs.path("server.crt"), "--tls-key", certs.path("server.key")}));

        // The throw-away certificate lives two days: the server warns.
        QVERIFY2(demo.server.standardError().contains(QStringLiteral("expires on")),
                 qPrintable(demo.server.standardError()));

        // A client held to one TLS 1.2 suite, when one is named.
        const auto tlsSocket = [&](const char *authority, const char *cipher = nullptr) {
            auto socket = std::make_unique<QSslSocket>();
            QSslConfiguration config = socket->sslConfiguration();
            config.setCaCertificates(QSslCertificate::fromPath(certs.path(authority)));
            if (cipher) {
                config.setProtocol(QSsl::TlsV1_2);
                config.setCiphers({QSslCipher(QString::fromLatin1(cipher))});
            }
            socket->setSslConfiguration(config);
            socket->connectToHostEncrypted(demo.server.host(), demo.server.port());
            return socket;
        };

        // The right authority: the whole conversation works over TLS.
        auto good = tlsSocket("ca.crt");
        QVERIFY2(good->waitForEncrypted(10000), qPrintable(good->errorString()));
        good->write(loginFrame(1, ServerProcess::Token));
        QUV_EXPECT_OK(readResponse(*good));
        good->write(requestFrame(2, QStringLiteral("getOperGrup"), {"01", {}, {}}));
        QUV_EXPECT_OK(readResponse(*good));

        // Another authority: the handshake fails on the certificate.
        auto wrong = tlsSocket("other.crt");
        QVERIFY(!wrong->waitForEncrypted(10000));
        QVERIFY(!wrong->sslHandshakeErrors().isEmpty());
        QVERIFY2(wrong->errorString().contains(QStringLiteral("certificate"), Qt::CaseInsensitive),
                 qPrintable(wrong->errorString()));

        // Under TLS 1.2 only suites with forward secrecy and authenticated
        // encryption are offered.
        for (const auto &[cipher, accepted] : {std::pair{"ECDHE-ECDSA-AES128-GCM-SHA256", true},
                                               std::pair{"ECDHE-ECDSA-CHACHA20-POLY1305", true},
                                               std::pair{"ECDHE-ECDSA-AES128-SHA256", false}}) {
            QVERIFY2(!QSslCipher(QString::fromLatin1(cipher)).isNull(), cipher);
            auto client = tlsSocket("ca.crt", cipher);
            QVERIFY2(client->waitForEncrypted(10000) == accepted,
                     qPrintable(QString::fromLatin1(cipher) + u' ' + client->errorString()));
        }

        // A client that never starts its handshake holds its slot no longer
        // than one that never logs in.
        RpcClient silent;
        QVERIFY(silent.connectTo(demo.server.host(), demo.server.port()));
        QVERIFY(silent.waitForClosed(6000));
        QTRY_VERIFY_WITH_TIMEOUT(
            demo.server.standardError().contains(QStringLiteral("no TLS handshake within")), 5000);

        // A plaintext client gets no answer, only a closed connection.
        RpcClient plain;
        QVERIFY(plain.connectTo(demo.server.host(), demo.server.port()));
        plain.sendRaw(loginFrame(1, ServerProcess::Token));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, plain.readPayload(10000));
        QVERIFY(demo.server.isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(
            demo.server.standardError().contains(QStringLiteral("quv.server.tls: 127.0.0.1:")) &&
                demo.server.standardError().contains(QStringLiteral("TLS handshake failed")),
            5000);
    }

    void tlsStartupErrors()
    {
        Certificates certs;
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
            QSKIP("the openssl command is not installed");
        QVERIFY2(certs.make(), qPrintable(certs.error));
        const QString token = QStringLiteral("--token=a=") + ServerProcess::Token;
        const struct
        {
            QStringList arguments;
            const char *message;
        } cases[] = {
            {{"--tls-cert", certs.path("server.crt")}, "--tls-key"},
            {{"--tls-cert", certs.path("server.key"), "--tls-key", certs.path("server.key")},
             "no PEM certificate"},
            {{"--tls-cert", certs.path("server.crt"), "--tls-key", certs.path("server.crt")},
             "private key"},
            {{"--tls-cert", certs.path("missing.crt"), "--tls-key", certs.path("server.key")},
             "cannot read"},
            {{"--tls-cert", certs.path("server.crt"), "--tls-key", certs.path("other.key")},
             "does not match"},
        };
        for (const auto &c : cases) {
            ServerProcess server;
            QVERIFY(!server.startRaw(QStringList{"--db", "sqlite:x.db", token} + c.arguments));
            QCOMPARE(server.waitForExit(), 2);
            QVERIFY2(server.standardError().contains(QLatin1String(c.message)),
                     qPrintable(server.standardError()));
        }
    }
};

QTEST_GUILESS_MAIN(ServerSecurity)
#include "tst_serversecurity.moc"
