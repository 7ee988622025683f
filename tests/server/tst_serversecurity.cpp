// Who may talk to the server, and how much: failed logins are slowed
// without stalling anyone else, idle connections are cut, the connection
// count and request rate are capped, and TLS is required when configured.

#include "certificates.h"
#include "servedemo.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>

using namespace quv;
using namespace quv::test;
namespace code = quv::wire::code;

namespace {

QByteArray frame(const QByteArray &payload)
{
    char header[4];
    qToBigEndian<quint32>(quint32(payload.size()), header);
    return QByteArray(header, 4) + payload;
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
    void failedLoginIsSlowedWithoutStallingOthers()
    {
        ServedDemo demo;
        QVERIFY(serve(demo, {}));
        RpcClient other;
        QVERIFY(other.connectTo(demo.server.host(), demo.server.port()));
        QUV_EXPECT_OK(other.login(ServerProcess::Token));

        const QString guess = QStringLiteral("guessed-token-0001");
        QElapsedTimer clock;
        clock.start();
        demo.client.sendRaw(loginFrame(1, guess));
        // While the refusal is held back, another connection is served.
        QUV_EXPECT_OK(ServedDemo::callOn(other, QStringLiteral("getOperGrup"), {"01", {}, {}}));
        QCOMPARE(demo.client.socket().bytesAvailable(), 0);
        const wire::Response refused =
            RpcClient::decodeResponse(demo.client.readPayload(), wire::Encoding::Cbor);
        QUV_EXPECT_ERROR(refused, code::AuthenticationFailed);
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(demo.client.waitForClosed());

        // The second failure from the same address waits longer.
        RpcClient again;
        QVERIFY(again.connectTo(demo.server.host(), demo.server.port()));
        clock.restart();
        QUV_EXPECT_ERROR(again.login(QStringLiteral("guessed-token-0002")),
                         code::AuthenticationFailed);
        QVERIFY2(clock.elapsed() >= 1900, qPrintable(QString::number(clock.elapsed())));

        // The log names the peer, never the token that was tried.
        QTRY_VERIFY_WITH_TIMEOUT(
            demo.server.standardError().count(QStringLiteral("127.0.0.1")) >= 2 &&
                demo.server.standardError().contains(QStringLiteral("login refused")),
            5000);
        const QString log = demo.server.standardError();
        QVERIFY(!log.contains(guess));
        QVERIFY(!log.contains(QStringLiteral("guessed-token-0002")));
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

    void idleConnectionIsClosed()
    {
        ServedDemo demo;
        QVERIFY(serve(demo, {"--login-timeout", "1"}));
        QElapsedTimer clock;
        clock.start();
        const wire::Response response =
            RpcClient::decodeResponse(demo.client.readPayload(5000), wire::Encoding::Cbor);
        QUV_EXPECT_ERROR(response, code::NotAuthenticated);
        QVERIFY2(response.errorMessage.contains(QStringLiteral("login")),
                 qPrintable(response.errorMessage));
        QVERIFY(clock.elapsed() >= 900);
        QVERIFY(demo.client.waitForClosed());

        // A connection that logs in in time stays open past the limit.
        RpcClient prompt;
        QVERIFY(prompt.connectTo(demo.server.host(), demo.server.port()));
        QUV_EXPECT_OK(prompt.login(ServerProcess::Token));
        QTest::qWait(1500);
        QUV_EXPECT_OK(ServedDemo::callOn(prompt, QStringLiteral("getOperGrup"), {"01", {}, {}}));
    }

    void connectionCountIsCapped()
    {
        ServedDemo demo;
        QVERIFY(serve(demo, {"--max-connections", "2"}));
        QUV_EXPECT_OK(demo.client.login(ServerProcess::Token));
        auto second = std::make_unique<RpcClient>();
        QVERIFY(second->connectTo(demo.server.host(), demo.server.port()));
        QUV_EXPECT_OK(second->login(ServerProcess::Token));

        RpcClient third;
        QVERIFY(third.connectTo(demo.server.host(), demo.server.port()));
        const wire::Response refused =
            RpcClient::decodeResponse(third.readPayload(5000), wire::Encoding::Cbor);
        QUV_EXPECT_ERROR(refused, code::TooManyRequests);
        QVERIFY(refused.errorMessage.contains(QStringLiteral("2 conexões")));
        QVERIFY(third.waitForClosed());

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

        const auto tlsSocket = [&](const char *authority) {
            auto socket = std::make_unique<QSslSocket>();
            QSslConfiguration config = socket->sslConfiguration();
            config.setCaCertificates(QSslCertificate::fromPath(certs.path(authority)));
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
