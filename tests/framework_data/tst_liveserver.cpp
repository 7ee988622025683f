// The connection and the datasets against the real application server over
// a demo database: what the fake server of tst_netconnection assumes about
// the protocol must hold for the real one too.

#include "framework/app/halvern.h"
#include "framework/data/adoquery.h"
#include "framework/data/dbgeral.h"
#include "framework/data/netconnection.h"
#include "framework/data/servercheck.h"

#include "contracts/controleacesso.h"
#include "contracts/hostservices.h"
#include "contracts/wire.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testdatabase.h"

#include <QTest>

namespace {

class Host : public quv::IHostServices
{
public:
    QString webUrl() const override { return QStringLiteral("127.0.0.1"); }
    int webPort() const override { return 0; }
    QString serverToken() const override { return token; }
    void atualizaLocalCache(const QStringList &) override {}
    QWidget *mainForm() const override { return nullptr; }
    QMdiArea *mdiArea() const override { return nullptr; }
    void showException(const QString &, const QString &) override {}
    QString token = quv::test::ServerProcess::Token;
};

void declareFacts(TClientDataSet &cds, const QString &principalField, int principalSize)
{
    for (const char *name :
         {"NMITEMDW", "CDTABELADW", "CDITEMDW", "CDTABELADWCTAC", "CDITEMDWCTAC"})
        cds.AddField(QString::fromLatin1(name), 30);
    cds.AddField(principalField, principalSize);
    TField *check = cds.AddField(QStringLiteral("IDCHECK"), 1, TFieldKind::Calculated);
    cds.OnCalcFields = [&cds, check](TDataSet *) {
        const bool granted = cds.FieldByName(QStringLiteral("CDTABELADWCTAC"))->AsString() ==
                                 cds.FieldByName(QStringLiteral("CDTABELADW"))->AsString() &&
                             cds.FieldByName(QStringLiteral("CDITEMDWCTAC"))->AsString() ==
                                 cds.FieldByName(QStringLiteral("CDITEMDW"))->AsString();
        check->setAsString(granted ? QStringLiteral("S") : QStringLiteral("N"));
    };
}

void declareGroupDimensions(TClientDataSet &cds)
{
    const QList<std::pair<const char *, int>> fields = {
        {"NRSEQUEDIMEFIL", 5},  {"CDGRUPOPERFIL", 2},  {"NMITEMDIME", 30},
        {"NRSEQUEDIME", 5},     {"CDTABELADIME", 30},  {"DSPKDIME", 30},
        {"NRSEQUEDIMECTAC", 5}, {"CDGRUPOPERCTAC", 2}, {"DSITEMDIME", 30}};
    for (const auto &[name, size] : fields)
        cds.AddField(QString::fromLatin1(name), size);
}

} // namespace

class TestLiveServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void init();
    void cleanup();

    void loadsAPrincipalsGrants();
    void refusalsReachTheCaller();
    void followsTheServerToItsNewAddress();

private:
    Host m_host;
    std::unique_ptr<quv::test::ServerProcess> m_server;
    std::unique_ptr<TdtmDBGeral> m_db;
    QString m_connection;
};

void TestLiveServer::initTestCase_data()
{
    QTest::addColumn<QString>("driver");
    for (const QString &driver : quv::test::Drivers)
        QTest::newRow(qPrintable(driver)) << driver;
}

void TestLiveServer::init()
{
    QFETCH_GLOBAL(QString, driver);
    QString skip;
    m_connection = quv::test::freshDemoDatabase(driver, &skip);
    if (m_connection.isEmpty())
        QSKIP(qPrintable(skip));
    m_server = std::make_unique<quv::test::ServerProcess>();
    QVERIFY2(m_server->start(m_connection), qPrintable(m_server->errorString()));
    m_db = std::make_unique<TdtmDBGeral>();
    m_db->Open(m_connection);
    dtmDBGeral = m_db.get();
    Halvern::setHost(&m_host);
}

void TestLiveServer::cleanup()
{
    Halvern::setHost(nullptr);
    dtmDBGeral = nullptr;
    m_db.reset();
    m_server.reset();
    m_host.token = quv::test::ServerProcess::Token;
}

void TestLiveServer::loadsAPrincipalsGrants()
{
    // The first group as the screen lists it.
    TADOIBQuery groups;
    groups.SQL = QStringList{
        QStringLiteral("SELECT CDGRUPOPER, DSGRUPOPER FROM GRUPOPER ORDER BY DSGRUPOPER")};
    TField *code = groups.AddField(QStringLiteral("CDGRUPOPER"), 2);
    groups.AddField(QStringLiteral("DSGRUPOPER"), 30);
    groups.Open();
    QVERIFY(!groups.IsEmpty());

    TNetConnection net;
    net.ServerName = QString(quv::rdm::ServerName);
    net.ThrowException = false;
    net.BeforeConnect = [&](QObject *) {
        net.Host = m_server->host();
        net.Port = m_server->port();
    };
    QVariantList args{code->AsString(), QVariant(), QVariant()};
    const QVariant status = net.AppServer().Call(QStringLiteral("getOperGrup"), args);
    CheckResultServ(status, true, 0);
    QCOMPARE(net.Administrator(), quv::test::ServerProcess::Administrator);
    QCOMPARE(args[0].toString(), code->AsString());

    TClientDataSet facts, dims;
    declareFacts(facts, QStringLiteral("CDGRUPOPERCTAC"), 2);
    declareGroupDimensions(dims);
    facts.SetData(args[1]);
    dims.SetData(args[2]);
    QVERIFY(facts.RecordCount() > 0);
    QVERIFY(dims.RecordCount() > 0);
    // Every row got its mark, from its own columns.
    for (facts.First(); !facts.Eof(); facts.Next()) {
        const QString mark = facts.FieldByName(QStringLiteral("IDCHECK"))->AsString();
        QVERIFY2(mark == QLatin1String("S") || mark == QLatin1String("N"), qPrintable(mark));
    }
    // The packet goes back to the server as it came.
    QVariantList all{code->AsString(), QVariant::fromValue(facts.Data()), QVariant(), true};
    CheckResultServ(net.AppServer().Call(QStringLiteral("setTChkFatoOpGrup"), all), true, 0);
    facts.SetData(all[2]);
    QStringList marks;
    for (facts.First(); !facts.Eof(); facts.Next())
        marks.append(facts.FieldByName(QStringLiteral("IDCHECK"))->AsString());
    QCOMPARE(marks.count(QStringLiteral("S")), marks.size()); // marked all
}

void TestLiveServer::refusalsReachTheCaller()
{
    TNetConnection net;
    net.ServerName = QString(quv::rdm::ServerName);
    net.Host = m_server->host();
    net.Port = m_server->port();
    net.ThrowException = false;

    QVariantList args{QStringLiteral("#?"), QVariant(), QVariant()};
    try {
        CheckResultServ(net.AppServer().Call(QStringLiteral("getOperGrup"), args), true, 0);
        QFAIL("an unknown group was accepted");
    } catch (const EServerError &e) {
        QCOMPARE(e.Code(), int(quv::wire::code::UnknownKey));
        QVERIFY(!e.Message().isEmpty());
    }
    QVERIFY(net.Connected()); // a refusal is not a broken link

    // A wrong token is refused at login.
    net.setConnected(false);
    m_host.token = QStringLiteral("não é o token");
    net.ThrowException = true;
    try {
        net.setConnected(true);
        QFAIL("a wrong token was accepted");
    } catch (const EConnectionError &e) {
        QVERIFY2(e.Message().contains(QStringLiteral("Verifique o token")),
                 qPrintable(e.Message()));
    }
    QVERIFY(!net.Connected());
}

void TestLiveServer::followsTheServerToItsNewAddress()
{
    TNetConnection net;
    net.ServerName = QString(quv::rdm::ServerName);
    net.ThrowException = false;
    int connects = 0;
    net.BeforeConnect = [&](QObject *) {
        ++connects;
        net.Host = m_server->host();
        net.Port = m_server->port();
    };
    TADOIBQuery groups;
    groups.SQL = QStringList{QStringLiteral("SELECT CDGRUPOPER FROM GRUPOPER")};
    groups.Open();
    QVariantList args{groups.Fields()[0]->AsString(), QVariant(), QVariant()};
    const auto call = [&] { return net.AppServer().Call(QStringLiteral("getOperGrup"), args); };
    QVERIFY(call().value<TServerStatus>().ok);

    // Restarted (on whatever port it gets): the next call asks for the
    // address again and reaches it.
    QCOMPARE(m_server->stop(), 0);
    m_server = std::make_unique<quv::test::ServerProcess>();
    QVERIFY2(m_server->start(m_connection), qPrintable(m_server->errorString()));
    const TServerStatus again = call().value<TServerStatus>();
    QVERIFY2(again.ok, qPrintable(again.message));
    QCOMPARE(connects, 2);
}

QTEST_GUILESS_MAIN(TestLiveServer)
#include "tst_liveserver.moc"
