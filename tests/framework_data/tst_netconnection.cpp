#include "framework/app/halvern.h"
#include "framework/data/netconnection.h"
#include "framework/data/servercheck.h"

#include "contracts/controleacesso.h"
#include "contracts/hostservices.h"
#include "contracts/wire.h"

#include <QDate>
#include <QElapsedTimer>
#include <QMutex>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>

using quv::wire::Request;
using quv::wire::Response;

namespace {

const QString Token = QStringLiteral("token-de-teste");
const QString ServerName = QString(quv::rdm::ServerName);

class FakeHost : public quv::IHostServices
{
public:
    QString webUrl() const override { return QStringLiteral("127.0.0.1"); }
    int webPort() const override { return 0; }
    QString serverToken() const override { return token; }
    void atualizaLocalCache(const QStringList &) override {}
    QWidget *mainForm() const override { return nullptr; }
    QMdiArea *mdiArea() const override { return nullptr; }
    void showException(const QString &, const QString &) override {}
    int serverTimeout() const override { return timeout; }
    QString token = Token;
    int timeout = DefaultServerTimeout;
};

/// What the fake server does with one request.
struct Action
{
    enum Kind
    {
        Reply,
        Silence,
        Raw,
        Close
    } kind = Reply;
    Response response;
    QByteArray raw;
    bool wrongId = false;
    bool noId = false; // as for a request the server could not read
};

Action ok(const QVariant &payload, const QVariantList &out)
{
    Action a;
    a.response.ok = true;
    a.response.result =
        QVariantMap{{QStringLiteral("payload"), payload}, {QStringLiteral("out"), out}};
    return a;
}

Action error(int code, const QString &message)
{
    Action a;
    a.response.errorCode = code;
    a.response.errorMessage = message;
    return a;
}

// Shared between the test thread (which scripts and inspects) and the
// server thread (which answers): the client blocks on its socket, so the
// server must run on a thread of its own.
struct Script
{
    QMutex mutex;
    std::function<Action(const Request &)> handler;
    QList<Request> requests;
    int connections = 0;

    Action answer(const Request &request)
    {
        QMutexLocker lock(&mutex);
        requests.append(request);
        if (request.method == quv::rdm::LoginMethod) {
            if (request.params == QVariantList{ServerName, Token}) {
                Action a;
                a.response.ok = true;
                a.response.result =
                    QVariantMap{{QStringLiteral("administrator"), QStringLiteral("tester")}};
                return a;
            }
            return error(quv::wire::code::AuthenticationFailed,
                         QStringLiteral("Credencial recusada."));
        }
        if (handler)
            return handler(request);
        return ok(QVariant(), QVariantList(request.params.size()));
    }
};

class Worker : public QObject
{
public:
    explicit Worker(Script *script) : m_script(script) {}

    quint16 listen(quint16 port)
    {
        if (!m_server) {
            m_server = new QTcpServer(this);
            connect(m_server, &QTcpServer::newConnection, this, [this] { accept(); });
        }
        return m_server->listen(QHostAddress::LocalHost, port) ? m_server->serverPort() : 0;
    }

    void stop()
    {
        if (m_server)
            m_server->close();
        for (const QPointer<QTcpSocket> &socket : std::as_const(m_sockets))
            if (socket)
                socket->abort();
        m_sockets.clear();
    }

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            m_sockets.append(socket);
            {
                QMutexLocker lock(&m_script->mutex);
                ++m_script->connections;
            }
            auto reader = std::make_shared<quv::wire::FrameReader>();
            connect(socket, &QTcpSocket::readyRead, this,
                    [this, socket, reader] { read(socket, *reader); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void read(QTcpSocket *socket, quv::wire::FrameReader &reader)
    {
        reader.feed(socket->readAll());
        while (const std::optional<QByteArray> payload = reader.next()) {
            const Request request = quv::wire::requestFromVariant(
                quv::wire::decode(*payload, quv::wire::Encoding::Cbor));
            Action action = m_script->answer(request);
            switch (action.kind) {
            case Action::Reply:
                action.response.id = action.noId      ? QVariant()
                                     : action.wrongId ? QVariant(request.id.toLongLong() + 100)
                                                      : request.id;
                socket->write(quv::wire::frame(quv::wire::encode(
                    quv::wire::responseToVariant(action.response), quv::wire::Encoding::Cbor)));
                break;
            case Action::Silence:
                break;
            case Action::Raw:
                socket->write(action.raw);
                break;
            case Action::Close:
                socket->close();
                return;
            }
        }
    }

    Script *m_script;
    QTcpServer *m_server = nullptr;
    QList<QPointer<QTcpSocket>> m_sockets;
};

class FakeServer
{
public:
    FakeServer() : m_worker(new Worker(&script))
    {
        m_worker->moveToThread(&m_thread);
        m_thread.start();
    }
    ~FakeServer()
    {
        stop();
        QMetaObject::invokeMethod(
            m_worker, [w = m_worker] { delete w; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    quint16 start(quint16 port = 0)
    {
        quint16 bound = 0;
        QMetaObject::invokeMethod(
            m_worker, [&] { bound = m_worker->listen(port); }, Qt::BlockingQueuedConnection);
        return bound;
    }
    void stop()
    {
        QMetaObject::invokeMethod(
            m_worker, [this] { m_worker->stop(); }, Qt::BlockingQueuedConnection);
    }
    void handle(std::function<Action(const Request &)> handler)
    {
        QMutexLocker lock(&script.mutex);
        script.handler = std::move(handler);
    }
    QList<Request> requests()
    {
        QMutexLocker lock(&script.mutex);
        return script.requests;
    }
    QStringList methods()
    {
        QStringList names;
        for (const Request &r : requests())
            names.append(r.method);
        return names;
    }
    int connections()
    {
        QMutexLocker lock(&script.mutex);
        return script.connections;
    }

    Script script;

private:
    QThread m_thread;
    Worker *m_worker;
};

quv::DataPacket packet(const QString &field, const QStringList &values)
{
    quv::DataPacket p({{field, 10}});
    for (const QString &v : values)
        p.appendRow({v});
    return p;
}

TServerStatus statusOf(const QVariant &v)
{
    if (v.metaType() != QMetaType::fromType<TServerStatus>())
        return {false, -1, QStringLiteral("not a status"), {}, {}};
    return v.value<TServerStatus>();
}

} // namespace

class TestNetConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void callMapsOutArgumentsAndStatus();
    void serverErrorIsAFailedStatus();
    void transportFailures_data();
    void transportFailures();
    void connectFailureFollowsThrowException();
    void reconnectsAfterTheServerRestarts();
    void abandonedCallsEndAtOnce_data();
    void abandonedCallsEndAtOnce();
    void argumentsThatCannotTravelRaise();

private:
    void bind(TNetConnection &net, quint16 port, int *beforeConnects = nullptr);

    FakeHost m_host;
};

void TestNetConnection::initTestCase()
{
    Halvern::setHost(&m_host);
}

void TestNetConnection::cleanupTestCase()
{
    Halvern::setHost(nullptr);
}

void TestNetConnection::bind(TNetConnection &net, quint16 port, int *beforeConnects)
{
    net.ServerName = ServerName;
    net.BeforeConnect = [&net, port, beforeConnects](QObject *sender) {
        QCOMPARE(sender, &net);
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = port;
        if (beforeConnects)
            ++*beforeConnects;
    };
}

void TestNetConnection::callMapsOutArgumentsAndStatus()
{
    FakeServer server;
    const quint16 port = server.start();
    QVERIFY(port != 0);
    const quv::DataPacket facts = packet(QStringLiteral("NMITEMDW"), {QStringLiteral("Vendas")});
    const quv::DataPacket dims =
        packet(QStringLiteral("NMITEMDIME"), {QStringLiteral("UF"), QStringLiteral("Mês")});
    server.handle([&](const Request &r) {
        if (r.method == QLatin1String("getOperGrup"))
            return ok(QVariant(),
                      {r.params[0], QVariant::fromValue(facts), QVariant::fromValue(dims)});
        if (r.method == QLatin1String("getPesqFiltro"))
            return ok(QVariant::fromValue(dims), {r.params[0]});
        return ok(QVariant(), QVariantList(r.params.size()));
    });

    TNetConnection net;
    int beforeConnects = 0;
    bind(net, port, &beforeConnects);
    net.setConnected(true);
    QVERIFY(net.Connected());
    QCOMPARE(beforeConnects, 1);
    QCOMPARE(net.Administrator(), QStringLiteral("tester"));

    // Outputs go out as null, whatever the caller left in them.
    QVariantList args{QStringLiteral("01"), QVariant::fromValue(packet(QStringLiteral("OLD"), {})),
                      QVariant()};
    const TServerStatus st = statusOf(net.AppServer().Call(QStringLiteral("getOperGrup"), args));
    QVERIFY(st.ok);
    QVERIFY(!CheckResultServ(QVariant::fromValue(st), true, 0).isValid());
    QCOMPARE(args.size(), 3);
    QCOMPARE(args[0], QVariant(QStringLiteral("01")));
    QCOMPARE(args[1].value<quv::DataPacket>(), facts);
    QCOMPARE(args[2].value<quv::DataPacket>(), dims);

    // A payload, a by-reference string, and arguments of every kind.
    QVariantList search{
        QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, A , B FROM T ORDER BY B")};
    const QVariant result = net.AppServer().Call(QStringLiteral("getPesqFiltro"), search);
    QCOMPARE(CheckResultServ(result, true, 0).value<quv::DataPacket>(), dims);
    QVariantList all{QStringLiteral("01"), QVariant::fromValue(facts),
                     QVariant(QStringLiteral("stale")), true};
    QVERIFY(statusOf(net.AppServer().Call(QStringLiteral("setTChkFatoOpGrup"), all)).ok);
    QCOMPARE(all[2], QVariant()); // the server filled nothing there

    const QList<Request> seen = server.requests();
    QCOMPARE(server.methods(),
             QStringList({QStringLiteral("login"), QStringLiteral("getOperGrup"),
                          QStringLiteral("getPesqFiltro"), QStringLiteral("setTChkFatoOpGrup")}));
    QCOMPARE(seen[0].params, QVariantList({ServerName, Token}));
    QCOMPARE(seen[1].params, QVariantList({QStringLiteral("01"), QVariant(), QVariant()}));
    QCOMPARE(seen[3].params[1].value<quv::DataPacket>(), facts);
    QCOMPARE(seen[3].params[2], QVariant());
    QCOMPARE(seen[3].params[3], QVariant(true));
    QCOMPARE(server.connections(), 1); // one connection, one login
    QCOMPARE(beforeConnects, 1);
}

void TestNetConnection::serverErrorIsAFailedStatus()
{
    FakeServer server;
    const quint16 port = server.start();
    server.handle([](const Request &) {
        return error(quv::wire::code::UnknownKey, QStringLiteral("Grupo 99 não cadastrado."));
    });
    TNetConnection net;
    bind(net, port);
    net.ThrowException = true; // a server's answer is never a transport failure
    const QVariant before = QVariant::fromValue(packet(QStringLiteral("A"), {QStringLiteral("x")}));
    QVariantList args{QStringLiteral("99"), before, before};
    const QVariant result = net.AppServer().Call(QStringLiteral("getOperGrup"), args);
    const TServerStatus st = statusOf(result);
    QVERIFY(!st.ok);
    QCOMPARE(st.code, int(quv::wire::code::UnknownKey));
    QCOMPARE(st.message, QStringLiteral("Grupo 99 não cadastrado."));
    QCOMPARE(args[1], before); // nothing written back
    QVERIFY(net.Connected());
    try {
        CheckResultServ(result, true, 0);
        QFAIL("CheckResultServ let a failed status through");
    } catch (const EServerError &e) {
        QCOMPARE(e.Code(), int(quv::wire::code::UnknownKey));
        QCOMPARE(e.Message(), QStringLiteral("Grupo 99 não cadastrado."));
    }

    // An error without an id still answers the one call in flight.
    server.handle([](const Request &) {
        Action a = error(quv::wire::code::InvalidRequest, QStringLiteral("Requisição ilegível."));
        a.noId = true;
        return a;
    });
    const TServerStatus anonymous =
        statusOf(net.AppServer().Call(QStringLiteral("getOperGrup"), args));
    QCOMPARE(anonymous.code, int(quv::wire::code::InvalidRequest));
    QCOMPARE(anonymous.message, QStringLiteral("Requisição ilegível."));
    QVERIFY(net.Connected());
}

void TestNetConnection::transportFailures_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("throws");
    QTest::addColumn<QString>("expected"); // a piece of the message
    const QList<std::pair<const char *, int>> kinds = {
        {"server down", 0},         {"no reply", 1},
        {"garbage reply", 2},       {"closed mid-call", 3},
        {"reply to another id", 4}, {"outputs miscounted", 5},
        {"login refused", 6}};
    // What the user reads, in the user's words; the address and the
    // technical reason are in the details.
    const QStringList expected = {QStringLiteral("recusou a conexão"),
                                  QStringLiteral("O servidor não respondeu em 0,3 s."),
                                  QStringLiteral("resposta inválida"),
                                  QStringLiteral("interrompida"),
                                  QStringLiteral("resposta inválida"),
                                  QStringLiteral("resposta inválida"),
                                  QStringLiteral("Credencial recusada. Verifique o token")};
    for (const auto &[name, kind] : kinds)
        for (bool throws : {true, false})
            QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(
                QLatin1String(name), throws ? QStringLiteral("raises") : QStringLiteral("status"))))
                << kind << throws << expected[kind];
}

void TestNetConnection::transportFailures()
{
    QFETCH(int, kind);
    QFETCH(bool, throws);
    QFETCH(QString, expected);
    FakeServer server;
    quint16 port = server.start();
    if (kind == 0) {
        server.stop(); // nobody listens on that port any more
    }
    if (kind == 6)
        m_host.token = QStringLiteral("outro");
    const auto restoreToken = qScopeGuard([this] { m_host.token = Token; });
    server.handle([kind](const Request &r) {
        Action a = ok(QVariant(), QVariantList(r.params.size()));
        switch (kind) {
        case 1:
            a.kind = Action::Silence;
            break;
        case 2:
            a.kind = Action::Raw;
            a.raw = quv::wire::frame(QByteArray("\xff\xfe not cbor", 12));
            break;
        case 3:
            a.kind = Action::Close;
            break;
        case 4:
            a.wrongId = true;
            break;
        case 5:
            a = ok(QVariant(), {QVariant()});
            break;
        }
        return a;
    });

    TNetConnection net;
    bind(net, port);
    net.ThrowException = throws;
    net.CallTimeout = 300;
    QVariantList args{QStringLiteral("01"), QVariant(), QVariant()};
    const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
    QString message;
    QString details;
    if (throws) {
        try {
            net.AppServer().Call(QStringLiteral("getOperGrup"), args);
            QFAIL("no EConnectionError");
        } catch (const EConnectionError &e) {
            message = e.Message();
            details = e.Details();
        }
    } else {
        const TServerStatus st =
            statusOf(net.AppServer().Call(QStringLiteral("getOperGrup"), args));
        QVERIFY(!st.ok);
        QVERIFY(st.code != 0);
        message = st.message;
        details = st.details;
        QCOMPARE(net.LastError(), message);
    }
    QVERIFY2(message.contains(expected) && !message.contains(address), qPrintable(message));
    QVERIFY2(details.contains(address), qPrintable(details));
    QVERIFY(!net.ChangeInDoubt()); // a read changes nothing
    QVERIFY(!net.Connected());
    QCOMPARE(args, QVariantList({QStringLiteral("01"), QVariant(), QVariant()}));
}

void TestNetConnection::connectFailureFollowsThrowException()
{
    FakeServer server;
    const quint16 port = server.start();
    server.stop();
    TNetConnection net;
    int beforeConnects = 0;
    bind(net, port, &beforeConnects);
    net.ConnectTimeout = 2000;

    net.ThrowException = false;
    net.setConnected(true);
    QVERIFY(!net.Connected());
    QVERIFY2(
        net.LastError().startsWith(QStringLiteral("O servidor de aplicação recusou a conexão.")),
        qPrintable(net.LastError()));

    net.ThrowException = true;
    QVERIFY_THROWS_EXCEPTION(EConnectionError, net.setConnected(true));
    QCOMPARE(beforeConnects, 2);

    // The handler that supplies the address may itself refuse: its own
    // exception reaches the caller.
    net.BeforeConnect = [](QObject *) { throw Exception(QStringLiteral("sem configuração")); };
    try {
        net.setConnected(true);
        QFAIL("BeforeConnect's exception was lost");
    } catch (const EConnectionError &) {
        QFAIL("BeforeConnect's exception was replaced");
    } catch (const Exception &e) {
        QCOMPARE(e.Message(), QStringLiteral("sem configuração"));
    }

    // Without an address there is nothing to connect to.
    net.BeforeConnect = nullptr;
    net.Host.clear();
    QVERIFY_THROWS_EXCEPTION(EConnectionError, net.setConnected(true));
}

void TestNetConnection::reconnectsAfterTheServerRestarts()
{
    FakeServer server;
    const quint16 port = server.start();
    TNetConnection net;
    int beforeConnects = 0;
    bind(net, port, &beforeConnects);
    net.ThrowException = false;
    net.ConnectTimeout = 2000;
    QVariantList args{QStringLiteral("01"), QVariant(), QVariant()};
    QVERIFY(statusOf(net.AppServer().Call(QStringLiteral("getOperGrup"), args)).ok);
    QCOMPARE(beforeConnects, 1);

    // Restarted while the screen was idle: the next call just goes through.
    server.stop();
    QCOMPARE(server.start(port), port);
    QVERIFY(statusOf(net.AppServer().Call(QStringLiteral("getOperGrup"), args)).ok);
    QCOMPARE(beforeConnects, 2);
    QCOMPARE(server.connections(), 2);

    // Down: the call fails (the address is asked for again) and the
    // connection is marked down...
    server.stop();
    const TServerStatus down = statusOf(net.AppServer().Call(QStringLiteral("getOperGrup"), args));
    QVERIFY(!down.ok);
    QVERIFY2(down.message.startsWith(QStringLiteral("O servidor de aplicação recusou a conexão.")),
             qPrintable(down.message));
    QCOMPARE(beforeConnects, 3);
    QVERIFY(!net.Connected());

    // ...and back: the same connection object reaches it again.
    QCOMPARE(server.start(port), port);
    QVERIFY(statusOf(net.AppServer().Call(QStringLiteral("getOperGrup"), args)).ok);
    QVERIFY(net.Connected());
    QCOMPARE(beforeConnects, 4);
    QCOMPARE(server.methods().count(QStringLiteral("login")), 3);

    net.setConnected(false);
    QVERIFY(!net.Connected());
}

// A call the server leaves unanswered ends when the user cancels it or when
// the host's timeout runs out, not a moment later; a change that went out
// may have been applied, and the message says so. The next call reconnects
// without a word.
void TestNetConnection::abandonedCallsEndAtOnce_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("expected");
    const QString doubt = QStringLiteral(" A alteração pode ter sido gravada");
    const QString cancelled = QStringLiteral("Operação cancelada pelo usuário.");
    const QString late = QStringLiteral("O servidor não respondeu em 1 s.");
    QTest::newRow("read cancelled") << "getOperGrup" << true << cancelled;
    QTest::newRow("change cancelled") << "setCkDimeOpGrup" << true << cancelled + doubt;
    QTest::newRow("read timed out") << "getOperGrup" << false << late;
    QTest::newRow("change timed out") << "setCkDimeOpGrup" << false << late + doubt;
}

void TestNetConnection::abandonedCallsEndAtOnce()
{
    QFETCH(QString, method);
    QFETCH(bool, cancel);
    QFETCH(QString, expected);
    FakeServer server;
    const quint16 port = server.start();
    auto silent = std::make_shared<std::atomic<bool>>(true);
    server.handle([silent](const Request &r) {
        Action a = ok(QVariant(), QVariantList(r.params.size()));
        if (*silent)
            a.kind = Action::Silence;
        return a;
    });
    m_host.timeout = 1;
    const auto restore = qScopeGuard([this] { m_host.timeout = FakeHost::DefaultServerTimeout; });
    TNetConnection net;
    bind(net, port);
    net.ThrowException = false;
    const bool change = method != QLatin1StringView("getOperGrup");
    QVariantList args =
        change ? QVariantList{QStringLiteral("4"), QStringLiteral("01"), true, QVariant()}
               : QVariantList{QStringLiteral("01"), QVariant(), QVariant()};
    bool waited = false;
    if (cancel)
        QTimer::singleShot(200, &net, [&] {
            waited = net.Waiting();
            net.Cancel();
        });
    QElapsedTimer clock;
    clock.start();
    const TServerStatus st = statusOf(net.AppServer().Call(method, args));
    const qint64 elapsed = clock.elapsed();
    QVERIFY(!st.ok);
    QVERIFY2(st.message.startsWith(expected), qPrintable(st.message));
    QCOMPARE(net.ChangeInDoubt(), change);
    QVERIFY2(cancel ? waited && elapsed < 1000 : elapsed >= 1000,
             qPrintable(QString::number(elapsed)));
    QVERIFY(!net.Connected());
    QVERIFY(!net.Waiting());

    *silent = false;
    QVERIFY(statusOf(net.AppServer().Call(method, args)).ok);
    QVERIFY(!net.ChangeInDoubt());
    QCOMPARE(server.connections(), 2);
}

void TestNetConnection::argumentsThatCannotTravelRaise()
{
    FakeServer server;
    const quint16 port = server.start();
    TNetConnection net;
    bind(net, port);
    net.ThrowException = false;
    QVariantList args{QDate(2024, 1, 2)};
    try {
        net.AppServer().Call(QStringLiteral("getPesqFiltro"), args);
        QFAIL("an unsendable argument was accepted");
    } catch (const Exception &e) {
        QVERIFY2(e.Details().contains(QStringLiteral("getPesqFiltro")), qPrintable(e.Details()));
    }
    QCOMPARE(server.requests().size(), 0); // nothing was sent, not even the login
}

QTEST_GUILESS_MAIN(TestNetConnection)
#include "tst_netconnection.moc"
