#include "hostconfig.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using quv::host::ConfigParseResult;
using quv::host::HostConfig;
using quv::host::parseHostConfig;
using Action = ConfigParseResult::Action;

class TestHostConfig : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString writeIni(const QString &name, const QByteArray &content)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write %s", qPrintable(path));
        f.write(content);
        return path;
    }

    static ConfigParseResult parse(QStringList args)
    {
        args.prepend(QStringLiteral("quv-host"));
        return parseHostConfig(args);
    }

private slots:
    void defaults()
    {
        const ConfigParseResult r = parse({});
        QCOMPARE(r.action, Action::Run);
        QCOMPARE(r.config.serverHost, QStringLiteral("127.0.0.1"));
        QCOMPARE(r.config.serverPort, 5211);
        QVERIFY(r.config.database.isEmpty());
        QVERIFY(r.config.token.isEmpty());
        QVERIFY(!r.config.tls);
        QVERIFY(r.config.openScreens.isEmpty());
        QVERIFY(r.config.renderPng.isEmpty());
        QVERIFY(!r.config.quitAfterOpen);
    }

    void commandLineValues()
    {
        const ConfigParseResult r =
            parse({"--db", "postgres://quv:pw@db.local:5433/dw", "--server-host", "srv.local",
                   "--server-port", "6000", "--token", "abc,def", "--tls", "--open", "QUV01000",
                   "--quit-after-open", "--package-dir", m_dir.path()});
        QCOMPARE(r.action, Action::Run);
        QCOMPARE(r.config.database, QStringLiteral("postgres://quv:pw@db.local:5433/dw"));
        QCOMPARE(r.config.serverHost, QStringLiteral("srv.local"));
        QCOMPARE(r.config.serverPort, 6000);
        QCOMPARE(r.config.token, QStringLiteral("abc,def"));
        QVERIFY(r.config.tls);
        QCOMPARE(r.config.openScreens, QStringList{"QUV01000"});
        QVERIFY(r.config.quitAfterOpen);
        QCOMPARE(r.config.packageDir, m_dir.path());
        // Both secrets are in the process list for every local user to read.
        QCOMPARE(r.warnings.size(), 2);
        QVERIFY(r.warnings[0].contains(QStringLiteral("--token")));
        QVERIFY(r.warnings[1].contains(QStringLiteral("password in --db")));
        QVERIFY(parse({"--db", "postgres://quv@db.local/dw"}).warnings.isEmpty());
    }

    void iniValuesAndCommandLineWins()
    {
        const QString ini =
            writeIni(QStringLiteral("host.ini"), "[database]\nconnection=sqlite:/data/quv.db\n"
                                                 "[server]\nhost=10.0.0.5\nport=7000\n"
                                                 "token=\"t,ok\"\ntls=true\ntimeout=5\n");
        const ConfigParseResult fromFile = parse({"--config", ini});
        QCOMPARE(fromFile.action, Action::Run);
        QCOMPARE(fromFile.config.database, QStringLiteral("sqlite:/data/quv.db"));
        QCOMPARE(fromFile.config.serverHost, QStringLiteral("10.0.0.5"));
        QCOMPARE(fromFile.config.serverPort, 7000);
        QCOMPARE(fromFile.config.token, QStringLiteral("t,ok"));
        QVERIFY(fromFile.config.tls);
        QCOMPARE(fromFile.config.serverTimeout, 5);
        QCOMPARE(fromFile.config.configFile, ini);

        // The command line wins key by key; keys it does not give stay.
        const ConfigParseResult both =
            parse({"--server-port", "7100", "--config", ini, "--db", "sqlite:/tmp/other.db"});
        QCOMPARE(both.action, Action::Run);
        QCOMPARE(both.config.serverPort, 7100);
        QCOMPARE(both.config.database, QStringLiteral("sqlite:/tmp/other.db"));
        QCOMPARE(both.config.serverHost, QStringLiteral("10.0.0.5"));
        QCOMPARE(both.config.token, QStringLiteral("t,ok"));
        QCOMPARE(parse({"--config", ini, "--server-timeout", "90"}).config.serverTimeout, 90);
    }

    void badInput_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("inMessage");
        QTest::newRow("port zero")
            << QStringList{"--server-port", "0"} << "invalid server port '0'";
        QTest::newRow("port too big")
            << QStringList{"--server-port", "65536"} << "invalid server port '65536'";
        QTest::newRow("port text") << QStringList{"--server-port", "abc"} << "invalid server port";
        QTest::newRow("port negative")
            << QStringList{"--server-port", "-1"} << "invalid server port";
        QTest::newRow("port missing value") << QStringList{"--server-port"} << "server-port";
        QTest::newRow("database scheme")
            << QStringList{"--db", "mysql://x"} << "--db: unknown database connection string";
        QTest::newRow("unknown screen")
            << QStringList{"--open", "XYZ01000"} << "unknown screen 'XYZ01000'";
        QTest::newRow("unknown option") << QStringList{"--colour"} << "colour";
        QTest::newRow("positional") << QStringList{"stray"} << "unexpected argument";
        QTest::newRow("repeated value")
            << QStringList{"--token", "a", "--token", "b"} << "--token given more than once";
        QTest::newRow("quit without screen") << QStringList{"--quit-after-open"} << "--open";
        QTest::newRow("missing config")
            << QStringList{"--config", "/nonexistent/quv.ini"} << "/nonexistent/quv.ini";
        QTest::newRow("missing ca file")
            << QStringList{"--tls", "--ca-file", "/nonexistent/ca.pem"} << "/nonexistent/ca.pem";
        QTest::newRow("render folder")
            << QStringList{"--render-png", "/nonexistent/dir/x.png"} << "/nonexistent/dir";
        QTest::newRow("empty host") << QStringList{"--server-host", " "} << "server host is empty";
        QTest::newRow("maximized render without a file")
            << QStringList{"--render-maximized", "1280x800"} << "needs --render-png";
        QTest::newRow("maximized render size")
            << QStringList{"--render-png", "/tmp/x.png", "--render-maximized", "1280"}
            << "'1280' is not a size";
    }

    void badInput()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, inMessage);
        const ConfigParseResult r = parse(args);
        QCOMPARE(r.action, Action::Error);
        QVERIFY2(r.text.contains(inMessage), qPrintable(r.text));
    }

    // The token goes unencrypted only to this machine, unless the user says
    // otherwise; a name other than localhost could be anywhere.
    void plaintextTokenStaysOnThisMachine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("remote address") << QStringList{"--server-host", "10.0.0.5"} << false;
        QTest::newRow("remote name") << QStringList{"--server-host", "srv.local"} << false;
        QTest::newRow("remote, consented")
            << QStringList{"--server-host", "10.0.0.5", "--allow-plaintext"} << true;
        QTest::newRow("remote over tls")
            << QStringList{"--server-host", "10.0.0.5", "--tls"} << true;
        QTest::newRow("localhost") << QStringList{"--server-host", "localhost"} << true;
        QTest::newRow("ipv6 loopback") << QStringList{"--server-host", "::1"} << true;
    }
    void plaintextTokenStaysOnThisMachine()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, accepted);
        const ConfigParseResult r = parse(args);
        QCOMPARE(r.action, accepted ? Action::Run : Action::Error);
        if (!accepted)
            QVERIFY2(r.text.contains(QStringLiteral("--allow-plaintext")), qPrintable(r.text));
    }

    void badIni_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("inMessage");
        QTest::newRow("unknown key")
            << QByteArray("[server]\nhots=x\n") << "unknown key 'server/hots'";
        QTest::newRow("bad port") << QByteArray("[server]\nport=99999\n") << "[server/port]";
        QTest::newRow("bad timeout")
            << QByteArray("[server]\ntimeout=100000\n") << "invalid server timeout '100000'";
        QTest::newRow("bad bool") << QByteArray("[server]\ntls=maybe\n")
                                  << "invalid boolean 'maybe'";
        QTest::newRow("unquoted comma")
            << QByteArray("[server]\ntoken=a, b\n") << "contains a comma";
        QTest::newRow("unknown screen")
            << QByteArray("[host]\nopen=NOPE\n") << "unknown screen 'NOPE'";
    }

    void badIni()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, inMessage);
        const QString ini = writeIni(QStringLiteral("bad.ini"), content);
        const ConfigParseResult r = parse({"--config", ini});
        QCOMPARE(r.action, Action::Error);
        QVERIFY2(r.text.contains(inMessage), qPrintable(r.text));
        QVERIFY2(r.text.contains(ini), qPrintable(r.text));
    }

    void openFromIniReplacedByCommandLine()
    {
        const QString ini = writeIni(QStringLiteral("open.ini"), "[host]\nopen=QUV01000\n");
        QCOMPARE(parse({"--config", ini}).config.openScreens, QStringList{"QUV01000"});
        // A render run always opens the screen it renders.
        const QString png = m_dir.filePath(QStringLiteral("shot.png"));
        const ConfigParseResult r = parse({"--render-png", png});
        QCOMPARE(r.action, Action::Run);
        QCOMPARE(r.config.renderPng, png);
        QCOMPARE(r.config.openScreens, QStringList{"QUV01000"});
        QCOMPARE(r.config.renderMaximized, QSize());
        QCOMPARE(
            parse({"--render-png", png, "--render-maximized", "1280x800"}).config.renderMaximized,
            QSize(1280, 800));
    }

    void help()
    {
        const ConfigParseResult r = parse({"--help"});
        QCOMPARE(r.action, Action::ShowHelp);
        for (const char *option : {"--db", "--server-host", "--server-port", "--token", "--tls",
                                   "--ca-file", "--open", "--render-png", "--render-maximized",
                                   "--quit-after-open", "--config", "QT_QPA_PLATFORM=offscreen"})
            QVERIFY2(r.text.contains(QLatin1StringView(option)), option);
    }

    void pageImagePaths()
    {
        QCOMPARE(quv::host::pageImagePath("/tmp/shot.png", 1),
                 QStringLiteral("/tmp/shot-page1.png"));
        QCOMPARE(quv::host::pageImagePath("/tmp/shot.PNG", 2),
                 QStringLiteral("/tmp/shot-page2.png"));
        QCOMPARE(quv::host::pageImagePath("/tmp/shot", 2), QStringLiteral("/tmp/shot-page2.png"));
        QCOMPARE(quv::host::packageForScreen("QUV01000"), QStringLiteral("PKG_QUV01000"));
        QVERIFY(quv::host::packageForScreen("quv01000").isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestHostConfig)
#include "tst_hostconfig.moc"
