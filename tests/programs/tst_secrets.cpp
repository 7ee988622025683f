// No database password and no access token shows in anything the programs
// write: their messages, the server's log, the exceptions the code raises,
// the host's message boxes, the audit trail. Each secret carries a mark at
// both ends, so that a piece of one is caught as well as the whole.

#include "host.h"
#include "hostapplication.h"
#include "hostconfig.h"

#include "contracts/connectionstring.h"
#include "contracts/controleacesso.h"
#include "db/connection.h"
#include "framework/app/application.h"
#include "tests/support/programrun.h"
#include "tests/support/rpcclient.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testdatabase.h"

#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace quv;
using namespace quv::test;

namespace {

const QString Head = QStringLiteral("Qz1h");
const QString Tail = QStringLiteral("Qz2t");

bool shows(const QString &text)
{
    return text.contains(Head) || text.contains(Tail);
}

// Passwords with each character that has a meaning in a connection string.
QStringList passwords()
{
    QStringList list;
    for (const char *middle : {" ", "@", "%", ":", "/", " x@y%z:w/"})
        list.append(Head + QLatin1StringView(middle) + Tail);
    return list;
}

QString unreachable(const QString &password)
{
    return QStringLiteral("postgres://quv:%1@127.0.0.1:1/quv").arg(password);
}

} // namespace

class SecretsTest : public QObject
{
    Q_OBJECT

private slots:
    // The programs refuse or fail on these; what they print holds no secret.
    void programsNeverShowThem_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        const QString token = QStringLiteral("--token=ana=token-of-ana-0001");
        for (const QString &password : passwords()) {
            const QString escaped = QString::fromLatin1(QUrl::toPercentEncoding(password));
            QStringList connections{unreachable(password),
                                    // No database: refused before any connection.
                                    QStringLiteral("postgres://quv:%1@127.0.0.1:1").arg(password)};
            if (password == passwords().last())
                connections.append(unreachable(escaped));
            for (const QString &connection : std::as_const(connections)) {
                const QByteArray name = (password + u' ' + connection.right(12)).toUtf8();
                QTest::addRow("server %s", name.constData())
                    << "quv-server" << QStringList{"--db", connection, token, "--port", "0"};
                QTest::addRow("audit %s", name.constData())
                    << "quv-server" << QStringList{"audit", "--db", connection};
                QTest::addRow("quv-db %s", name.constData())
                    << "quv-db" << QStringList{"create", "--db", connection};
            }
            QTest::addRow("host %s", qPrintable(password))
                << "quv-host"
                << QStringList{"--db", QStringLiteral("postgres://quv:%1@h").arg(password)};
        }
        const QString bare = Head + QStringLiteral("-token-") + Tail;
        QTest::newRow("server token without name")
            << "quv-server" << QStringList{"--db", "sqlite:x.db", "--token", bare};
        QTest::newRow("server short token")
            << "quv-server" << QStringList{"--db", "sqlite:x.db", "--token", "ana=" + Head};
        QTest::newRow("server token as argument")
            << "quv-server" << QStringList{"--db", "sqlite:x.db", token, bare};
        QTest::newRow("host token as argument") << "quv-host" << QStringList{bare};
    }
    void programsNeverShowThem()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        const ProgramRun run = runProgram(program, arguments, environment);
        QVERIFY2(run.status == 1 || run.status == 2, qPrintable(run.err));
        QVERIFY2(!run.err.isEmpty() && !shows(run.out + run.err), qPrintable(run.out + run.err));
    }

    // In the process: the parsers give the password back whole, and neither
    // an exception nor the host's message boxes show it.
    void codeNeverShowsThem_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("connection");
        for (const QString &password : passwords()) {
            QTest::addRow("%s", qPrintable(password)) << password << unreachable(password);
            QTest::addRow("%s escaped", qPrintable(password))
                << password << unreachable(QString::fromLatin1(QUrl::toPercentEncoding(password)));
        }
    }
    void codeNeverShowsThem()
    {
        QFETCH(QString, password);
        QFETCH(QString, connection);
        const db::ConnectionInfo info = db::parseConnectionString(connection);
        QCOMPARE(info.password, password);
        QCOMPARE(info.host, QStringLiteral("127.0.0.1"));
        QCOMPARE(info.database, QStringLiteral("quv"));
        QVERIFY(!shows(info.display()));
        try {
            db::openDatabase(info, QStringLiteral("secrets"));
            QFAIL("a database on port 1 opened");
        } catch (const std::exception &e) {
            QVERIFY2(!shows(QString::fromUtf8(e.what())), e.what());
        }
        // Without its database, and with a fragment: refused, never quoted.
        for (const QString &broken :
             {connection.chopped(4), QString(connection).replace(u'@', u'#')}) {
            try {
                parseConnectionString(broken);
                QFAIL(qPrintable(QStringLiteral("accepted: ") + broken));
            } catch (const ConnectionStringError &e) {
                QVERIFY2(!shows(e.message()), qPrintable(e.message()));
            }
        }

        const host::ConfigParseResult parsed =
            host::parseHostConfig({QStringLiteral("quv-host"), QStringLiteral("--db"), connection});
        QCOMPARE(parsed.action, host::ConfigParseResult::Action::Run);
        QStringList shown;
        host::ExceptionDisplay &display = host::HostApplication::instance()->exceptionDisplay();
        display.setHook([&shown](const QString &message, const QString &details) {
            shown.append(message + u'\n' + details);
        });
        {
            host::Host host(parsed.config, display);
            QVERIFY(!host.openDatabase());
        }
        display.setHook({});
        QCOMPARE(shown.size(), 1);
        QVERIFY2(!shows(shown.first()), qPrintable(shown.first()));
    }

    // A running server with a password in its connection string and tokens
    // used right and wrong: its log and its audit trail hold neither.
    void runningServerNeverShowsThem()
    {
        QString connection;
        QUV_FRESH_DEMO(QStringLiteral("postgres"), connection);
        // The throw-away cluster trusts local connections: the password
        // travels through every layer and is never checked.
        const QString password = passwords().last();
        connection.replace(QStringLiteral("://quv@"), QStringLiteral("://quv:%1@").arg(password));
        QTemporaryDir dir;
        const QString token = Head + QStringLiteral("-admin-token-") + Tail;
        QVERIFY(writePrivateFile(dir.filePath(QStringLiteral("tokens")),
                                 QStringLiteral("ana %1\n").arg(token).toUtf8()));
        ServerProcess server;
        QVERIFY2(server.startRaw({"--db", connection, "--port", "0", "--tokens-file",
                                  dir.filePath(QStringLiteral("tokens"))}),
                 qPrintable(server.errorString()));

        RpcClient client;
        QVERIFY(client.connectTo(server.host(), server.port()));
        QVERIFY(client.login(token).ok);
        QVERIFY(
            client
                .call(QStringLiteral("setCkFatoOpGrup"), {"FATOVENDA", "VLMARGEM", "06", true, {}})
                .ok);
        QVERIFY(!client.call(QStringLiteral("getOperGrup"), {token, {}, {}}).ok);
        for (const QVariantList &wrong :
             {QVariantList{QString(rdm::ServerName), QString(token + u'x')},
              QVariantList{token, QString(rdm::ServerName)}}) {
            RpcClient other;
            QVERIFY(other.connectTo(server.host(), server.port()));
            QVERIFY(!other.call(QString(rdm::LoginMethod), wrong).ok);
        }
        QTRY_VERIFY_WITH_TIMEOUT(server.standardError().count(QStringLiteral("login refused")) == 2,
                                 15000);
        QVERIFY2(!shows(server.standardError()), qPrintable(server.standardError()));

        const ProgramRun audit = runProgram(QStringLiteral("quv-server"),
                                            {"audit", "--db", connection, "--format", "csv"});
        QCOMPARE(audit.status, 0);
        QVERIFY2(audit.out.contains(QStringLiteral("setCkFatoOpGrup")), qPrintable(audit.out));
        QVERIFY2(!shows(audit.out + audit.err), qPrintable(audit.out + audit.err));
    }

    // As ssh does with keys: a tokens file others may read or change is
    // refused with the command that fixes it, unless the operator says so.
    void tokensFileMustBePrivate_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("allowed");
        QTest::addColumn<bool>("starts");
        QTest::newRow("0600") << 0600 << false << true;
        QTest::newRow("0640") << 0640 << false << false;
        QTest::newRow("0604") << 0604 << false << false;
        QTest::newRow("0620") << 0620 << false << false;
        QTest::newRow("0644 allowed") << 0644 << true << true;
    }
    void tokensFileMustBePrivate()
    {
        QFETCH(int, mode);
        QFETCH(bool, allowed);
        QFETCH(bool, starts);
        QString database;
        QUV_FRESH_DEMO(QStringLiteral("sqlite"), database);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("tokens"));
        QVERIFY(writePrivateFile(file, "ana token-of-ana-0001\n"));
        QFile::Permissions permissions;
        for (const auto &[bit, permission] : {std::pair{0400, QFile::ReadOwner},
                                              {0200, QFile::WriteOwner},
                                              {040, QFile::ReadGroup},
                                              {020, QFile::WriteGroup},
                                              {04, QFile::ReadOther},
                                              {02, QFile::WriteOther}})
            if (mode & bit)
                permissions |= permission;
        QVERIFY(QFile::setPermissions(file, permissions));
        QStringList arguments{"--db", database, "--port", "0", "--tokens-file", file};
        if (allowed)
            arguments.append(QStringLiteral("--allow-insecure-tokens-file"));

        ServerProcess server;
        QCOMPARE(server.startRaw(arguments), starts);
        if (starts) {
            QCOMPARE(server.standardError().contains(QStringLiteral("open to other users")),
                     allowed);
            return;
        }
        QCOMPARE(server.waitForExit(), 2);
        QVERIFY2(server.standardError().contains(QStringLiteral("chmod 600 ") + file),
                 qPrintable(server.standardError()));
    }
};

int main(int argc, char **argv)
{
    quv::host::HostApplication app(argc, argv);
    TApplication framework;
    Application = &framework;
    SecretsTest test;
    const int status = QTest::qExec(&test, argc, argv);
    Application = nullptr;
    return status;
}

#include "tst_secrets.moc"
