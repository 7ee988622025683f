// The host executable end to end: command line, the display check, and the
// batch runs (--quit-after-open, --render-png) against stand-in packages.

#include "hostconfig.h"

#include "tests/support/programrun.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testdatabase.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString HostExe = QStringLiteral(QUV_BIN_DIR "/quv-host");
const QString WindowDir = QStringLiteral(QUV_TEST_PACKAGE_DIR "/window");
const QString CountingDir = QStringLiteral(QUV_TEST_PACKAGE_DIR "/counting");

using Run = quv::test::ProgramRun;

QProcessEnvironment offscreen()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

Run runHost(const QStringList &args, const QProcessEnvironment &env = offscreen())
{
    return quv::test::runProgram(HostExe, args, env, 60000);
}

} // namespace

class TestHostProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(QFileInfo(HostExe).isExecutable(), qPrintable(HostExe)); }

    void withoutDisplaySuggestsOffscreen()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        const Run r = runHost({}, env);
        QCOMPARE(r.status, 1);
        for (const char *hint : {"--render-png", "QT_QPA_PLATFORM=offscreen", "xvfb-run"})
            QVERIFY2(r.err.contains(QLatin1StringView(hint)), qPrintable(r.err));
    }

    void quitAfterOpen()
    {
        const Run ok =
            runHost({"--package-dir", WindowDir, "--open", "QUV01000", "--quit-after-open"});
        QVERIFY2(ok.status == 0, qPrintable(ok.err));
        const Run counting =
            runHost({"--package-dir", CountingDir, "--open", "QUV01000", "--quit-after-open"});
        QVERIFY2(counting.status == 0, qPrintable(counting.err));

        QProcessEnvironment failing = offscreen();
        failing.insert(QStringLiteral("QUV_TEST_PACKAGE_FAIL"), QStringLiteral("1"));
        const Run fail = runHost(
            {"--package-dir", WindowDir, "--open", "QUV01000", "--quit-after-open"}, failing);
        QCOMPARE(fail.status, 1);
        QVERIFY2(fail.err.contains(QStringLiteral("Servidor de aplicação indisponível (teste).")),
                 qPrintable(fail.err));

        const Run noDb =
            runHost({"--package-dir", WindowDir, "--db", "sqlite:/nonexistent-dir/x.db", "--open",
                     "QUV01000", "--quit-after-open"});
        QCOMPARE(noDb.status, 1);
        QVERIFY2(noDb.err.contains(QStringLiteral("banco de dados compartilhado")),
                 qPrintable(noDb.err));
    }

    void renderPngWritesScreenAndPages()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("tela.png"));
        const Run r = runHost({"--package-dir", WindowDir, "--render-png", file});
        QVERIFY2(r.status == 0, qPrintable(r.err));

        const QImage whole(file);
        const QImage page1(quv::host::pageImagePath(file, 1));
        const QImage page2(quv::host::pageImagePath(file, 2));
        QVERIFY(!whole.isNull());
        QVERIFY(!page1.isNull());
        QVERIFY(!page2.isNull());
        QCOMPARE(page1.size(), whole.size());
        QCOMPARE(page2.size(), whole.size());
        // The stand-in screen paints its first page yellow and its second
        // cyan once its tab is clicked: each page file must show its own
        // page, reached the way a user reaches it.
        const auto countColor = [](const QImage &image, QColor color) {
            int n = 0;
            for (int y = 0; y < image.height(); y += 4)
                for (int x = 0; x < image.width(); x += 4)
                    n += image.pixelColor(x, y) == color;
            return n;
        };
        QVERIFY(countColor(page1, Qt::yellow) > 100);
        QCOMPARE(countColor(page1, Qt::cyan), 0);
        QVERIFY(countColor(page2, Qt::cyan) > 100);
        QCOMPARE(countColor(page2, Qt::yellow), 0);

        // Maximised: the whole host window, the screen filling most of it.
        const QString big = dir.filePath(QStringLiteral("maximizada.png"));
        const Run m = runHost(
            {"--package-dir", WindowDir, "--render-png", big, "--render-maximized", "1000x700"});
        QVERIFY2(m.status == 0, qPrintable(m.err));
        const QImage host(quv::host::pageImagePath(big, 1));
        QCOMPARE(host.size(), QSize(1000, 700));
        QVERIFY(countColor(host, Qt::yellow) > (1000 / 4) * (700 / 4) / 2);
    }

    // The real package, screen and server on the demo warehouse: the screen
    // opens through the host's services, loads, renders and shuts down.
    void realScreenAgainstDemoServer()
    {
        QString database;
        QUV_FRESH_DEMO(QStringLiteral("sqlite"), database);
        quv::test::ServerProcess server;
        QVERIFY2(server.start(database), qPrintable(server.errorString()));
        const QStringList common{"--db",          database,
                                 "--server-host", server.host(),
                                 "--server-port", QString::number(server.port()),
                                 "--token",       quv::test::ServerProcess::Token};

        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("quv01000.png"));
        const Run render = runHost(common + QStringList{"--render-png", file});
        QVERIFY2(render.status == 0, qPrintable(render.err));
        for (int page = 1; page <= 2; ++page)
            QVERIFY(!QImage(quv::host::pageImagePath(file, page)).isNull());
        QVERIFY(QImage(file).width() > 200);

        // A wrong token: the screen cannot log in, and the run says so.
        QStringList wrong = common;
        wrong[wrong.indexOf(quv::test::ServerProcess::Token)] = QStringLiteral("wrong-token-123");
        const Run refused = runHost(wrong + QStringList{"--open", "QUV01000", "--quit-after-open"});
        QCOMPARE(refused.status, 1);
        QVERIFY2(refused.err.contains(QString::number(server.port())), qPrintable(refused.err));
        QCOMPARE(server.stop(), 0);
    }

    void renderPngFailuresWriteNothing()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("tela.png"));
        const Run missing = runHost({"--package-dir", dir.path(), "--render-png", file});
        QCOMPARE(missing.status, 1);
        QVERIFY2(missing.err.contains(dir.filePath(QStringLiteral("libPKG_QUV01000.so"))),
                 qPrintable(missing.err));

        // A package that opens no window at all: nothing to render.
        const Run windowless = runHost({"--package-dir", CountingDir, "--render-png", file});
        QCOMPARE(windowless.status, 1);
        QVERIFY2(windowless.err.contains(QStringLiteral("não apareceu")),
                 qPrintable(windowless.err));

        QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("*.png")}), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestHostProcess)
#include "tst_hostprocess.moc"
