// The framework's own server connection over TLS, against the real server
// started with a certificate: it verifies the server before it says
// anything, and each way of getting that wrong ends in a message that tells
// the user which it was.

#include "framework/app/halvern.h"
#include "framework/data/netconnection.h"

#include "contracts/controleacesso.h"
#include "contracts/datapacket.h"
#include "contracts/hostservices.h"
#include "tests/server/certificates.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testdatabase.h"

#include <QSslSocket>
#include <QTest>

#include <memory>

using quv::test::ServerProcess;

namespace {

class Host : public quv::IHostServices
{
public:
    QString webUrl() const override { return QStringLiteral("127.0.0.1"); }
    int webPort() const override { return 0; }
    QString serverToken() const override { return ServerProcess::Token; }
    bool serverTls() const override { return tls; }
    QString serverCaFile() const override { return caFile; }
    void atualizaLocalCache(const QStringList &) override {}
    QWidget *mainForm() const override { return nullptr; }
    QMdiArea *mdiArea() const override { return nullptr; }
    void showException(const QString &, const QString &) override {}

    bool tls = true;
    QString caFile;
};

} // namespace

class TestLiveTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void callsWhenTheCertificateIsTrusted_data();
    void callsWhenTheCertificateIsTrusted();
    void untrustedServerGetsNoRequest_data();
    void untrustedServerGetsNoRequest();
    void plaintextToTheTlsPortFails();

private:
    ServerProcess &server(const QString &which) { return which == u"self" ? m_self : m_signed; }
    /// A connection to `which` server, taking the host's TLS settings.
    void aim(TNetConnection &net, const QString &which)
    {
        net.ServerName = QString(quv::rdm::ServerName);
        net.Host = server(which).host();
        net.Port = server(which).port();
    }
    static int occurrences(const QString &text, const QString &part) { return text.count(part); }

    quv::test::Certificates m_certs;
    Host m_host;
    ServerProcess m_signed; // certificate signed by the test authority
    ServerProcess m_self;   // self-signed certificate
};

void TestLiveTls::initTestCase()
{
    const QString why = quv::test::Certificates::unavailable();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    if (!QSslSocket::supportsSsl())
        QSKIP("this Qt has no TLS backend");
    QVERIFY(m_certs.dir.isValid());
    QVERIFY2(m_certs.make() && m_certs.makeSelfSigned(), qPrintable(m_certs.error));

    // TLS lives in the network layer: one SQLite demo serves every case.
    QString skip;
    const QString database = quv::test::freshDemoDatabase(QStringLiteral("sqlite"), &skip);
    QVERIFY2(!database.isEmpty(), qPrintable(skip));
    QVERIFY2(m_signed.start(database, {QStringLiteral("--tls-cert"), m_certs.path("server.crt"),
                                       QStringLiteral("--tls-key"), m_certs.path("server.key")}),
             qPrintable(m_signed.errorString()));
    QVERIFY2(m_self.start(database, {QStringLiteral("--tls-cert"), m_certs.path("self.crt"),
                                     QStringLiteral("--tls-key"), m_certs.path("self.key")}),
             qPrintable(m_self.errorString()));
    Halvern::setHost(&m_host);
}

void TestLiveTls::cleanupTestCase()
{
    Halvern::setHost(nullptr);
}

void TestLiveTls::init()
{
    m_host.tls = true;
    m_host.caFile.clear();
}

void TestLiveTls::callsWhenTheCertificateIsTrusted_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QString>("caFile");
    QTest::newRow("self-signed: its own certificate as CA file") << "self"
                                                                 << "self.crt";
    QTest::newRow("signed: the authority's certificate as CA file") << "signed"
                                                                    << "ca.crt";
}

void TestLiveTls::callsWhenTheCertificateIsTrusted()
{
    QFETCH(QString, which);
    QFETCH(QString, caFile);
    m_host.caFile = m_certs.path(qPrintable(caFile));
    const int loginsBefore =
        occurrences(server(which).standardError(), QStringLiteral("logged in as"));

    TNetConnection net;
    aim(net, which);
    QVariantList args{QStringLiteral("02"), QVariant(), QVariant()};
    const TServerStatus status =
        net.AppServer().Call(QStringLiteral("getOperGrup"), args).value<TServerStatus>();
    QVERIFY2(status.ok, qPrintable(status.message));
    QVERIFY(net.Connected());
    QCOMPARE(net.Administrator(), ServerProcess::Administrator);
    const quv::DataPacket facts = args[1].value<quv::DataPacket>();
    QVERIFY(facts.rowCount() > 0);
    QVERIFY(facts.indexOf(QStringLiteral("CDGRUPOPERCTAC")) >= 0);

    // The same encrypted link carries the next call: no second login.
    QVariantList filter{QStringLiteral("G02"), QStringLiteral("4")};
    const TServerStatus second =
        net.AppServer().Call(QStringLiteral("getListaFiltro"), filter).value<TServerStatus>();
    QVERIFY2(second.ok, qPrintable(second.message));
    QCOMPARE(second.payload.toString(), QStringLiteral("_S_SE_"));
    QTRY_COMPARE_WITH_TIMEOUT(
        occurrences(server(which).standardError(), QStringLiteral("logged in as")),
        loginsBefore + 1, 5000);
}

void TestLiveTls::untrustedServerGetsNoRequest_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QString>("caFile");
    QTest::addColumn<QString>("named");
    QTest::newRow("another authority") << "signed"
                                       << "other.crt"
                                       << "other.crt";
    QTest::newRow("no CA file: the system's") << "signed"
                                              << ""
                                              << "autoridade certificadora: as do sistema";
    QTest::newRow("self-signed, no CA file") << "self"
                                             << ""
                                             << "autoridade certificadora: as do sistema";
    QTest::newRow("self-signed, the authority's certificate") << "self"
                                                              << "ca.crt"
                                                              << "ca.crt";
}

void TestLiveTls::untrustedServerGetsNoRequest()
{
    QFETCH(QString, which);
    QFETCH(QString, caFile);
    QFETCH(QString, named);
    if (!caFile.isEmpty())
        m_host.caFile = m_certs.path(qPrintable(caFile));
    const QString logBefore = server(which).standardError();
    const int handshakesFailed = occurrences(logBefore, QStringLiteral("TLS handshake failed"));

    for (const bool raise : {true, false}) {
        TNetConnection net;
        aim(net, which);
        net.ThrowException = raise;
        QVariantList args{QStringLiteral("02"), QVariant(), QVariant()};
        QString message;
        QString details;
        try {
            const TServerStatus status =
                net.AppServer().Call(QStringLiteral("getOperGrup"), args).value<TServerStatus>();
            QVERIFY2(!raise, "an untrusted server was accepted");
            QVERIFY(!status.ok);
            QCOMPARE(status.code, ConnectionFailedCode);
            message = status.message;
            details = status.details;
        } catch (const EConnectionError &e) {
            QVERIFY(raise);
            message = e.Message();
            details = e.Details();
        }
        QVERIFY2(message.startsWith(QStringLiteral(
                     "O certificado do servidor de aplicação não foi aceito. Verifique o arquivo "
                     "da autoridade certificadora")),
                 qPrintable(message));
        QVERIFY2(details.contains(QStringLiteral("%1:%2").arg(net.Host).arg(net.Port)) &&
                     details.contains(named),
                 qPrintable(details));
        QVERIFY(!net.Connected());
        QVERIFY(args[1].isNull()); // nothing came back into the arguments
    }

    // The server saw both handshakes fail and never a request: no login,
    // nothing run.
    QTRY_COMPARE_WITH_TIMEOUT(
        occurrences(server(which).standardError(), QStringLiteral("TLS handshake failed")),
        handshakesFailed + 2, 5000);
    const QString logAfter = server(which).standardError().mid(logBefore.size());
    QVERIFY2(!logAfter.contains(QStringLiteral("logged in")), qPrintable(logAfter));
    QVERIFY2(!logAfter.contains(QStringLiteral("login")), qPrintable(logAfter));
    QVERIFY(server(which).isRunning());
}

void TestLiveTls::plaintextToTheTlsPortFails()
{
    m_host.tls = false;
    const QString logBefore = m_signed.standardError();
    TNetConnection net;
    aim(net, QStringLiteral("signed"));
    try {
        net.setConnected(true);
        QFAIL("a plaintext login reached a TLS server");
    } catch (const EConnectionError &e) {
        // Refused at once, not left to time out.
        QVERIFY2(e.Message().startsWith(QStringLiteral(
                     "O servidor de aplicação encerrou a conexão. Verifique se ele está em "
                     "execução e se o host usa TLS")),
                 qPrintable(e.Message()));
        QVERIFY2(
            e.Details().contains(QStringLiteral("%1:%2: a conexão foi encerrada pelo servidor.")
                                     .arg(net.Host)
                                     .arg(net.Port)),
            qPrintable(e.Details()));
    }
    QVERIFY(!net.Connected());

    // The same connection object, told to use TLS, then gets through; the
    // plaintext attempt never logged in.
    m_host.tls = true;
    m_host.caFile = m_certs.path("ca.crt");
    net.setConnected(true);
    QVERIFY(net.Connected());
    QCOMPARE(net.Administrator(), ServerProcess::Administrator);
    QTRY_COMPARE_WITH_TIMEOUT(
        occurrences(m_signed.standardError().mid(logBefore.size()), QStringLiteral("logged in as")),
        1, 5000);
}

QTEST_GUILESS_MAIN(TestLiveTls)
#include "tst_livetls.moc"
