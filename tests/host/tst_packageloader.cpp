#include "packageloader.h"
#include "packageprobe.h"

#include <QLibrary>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTest>

using quv::host::PackageLoader;

namespace {

const QString LoaderDir = QStringLiteral(QUV_TEST_PACKAGE_DIR "/loader");

PackageProbe *g_probe = nullptr;
QMdiArea *g_area = nullptr;
QPointer<QWidget> g_screen;

// A child window that tells the package log when it is closed and when it
// is destroyed, like a screen running its close and destroy handlers.
class RecordingScreen : public QWidget
{
public:
    ~RecordingScreen() override { g_probe->record("destroyed"); }

protected:
    void closeEvent(QCloseEvent *event) override
    {
        g_probe->record("close");
        QWidget::closeEvent(event);
    }
};

void openScreenWindow()
{
    auto *screen = new RecordingScreen;
    QMdiSubWindow *window = g_area->addSubWindow(screen);
    // Disposed of with deleteLater, as the framework does.
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    g_screen = screen;
}

} // namespace

class TestPackageLoader : public QObject
{
    Q_OBJECT

    PackageProbe m_probe{LoaderDir + QStringLiteral("/libPKG_TESTGOOD.so")};
    QStringList m_reports;
    QStringList m_details;

    PackageLoader::Report collect()
    {
        return [this](const QString &message, const QString &details) {
            m_reports << message;
            m_details << details;
        };
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_probe.ok(), qPrintable(m_probe.error()));
        g_probe = &m_probe;
    }

    void init()
    {
        m_probe.reset();
        m_reports.clear();
        m_details.clear();
    }

    void loadsOnceOpensEachTimeFinalizesAtShutdown()
    {
        PackageLoader loader(QStringLiteral("PKG_TESTGOOD"), LoaderDir, collect());
        QCOMPARE(loader.filePath(), LoaderDir + QStringLiteral("/libPKG_TESTGOOD.so"));
        QVERIFY(!loader.isLoaded());
        QVERIFY(loader.open());
        QVERIFY(loader.isLoaded());
        QVERIFY(loader.open());
        QVERIFY(loader.open());
        QVERIFY(loader.packageInfo());
        QCOMPARE(loader.packageInfo()->unitCount, 1);
        QCOMPARE(QString::fromLatin1(loader.packageInfo()->units[0].name),
                 QStringLiteral("TestUnit"));
        QCOMPARE(m_probe.calls(), QStringLiteral("Initialize;unit-init;IniProc;IniProc;IniProc;"));

        loader.shutdown(nullptr);
        QVERIFY(!loader.isLoaded());
        QCOMPARE(m_probe.calls(), QStringLiteral("Initialize;unit-init;IniProc;IniProc;IniProc;"
                                                 "Finalize;unit-fini;"));
        // A second shutdown has nothing left to finalize.
        loader.shutdown(nullptr);
        QVERIFY(m_probe.calls().endsWith(QStringLiteral("Finalize;unit-fini;")));
        QCOMPARE(m_probe.calls().count(QStringLiteral("Finalize;")), 1);
        QVERIFY(m_reports.isEmpty());

        // Loading again after an unload initializes again.
        QVERIFY(loader.open());
        QCOMPARE(m_probe.calls().count(QStringLiteral("Initialize;")), 2);
        loader.shutdown(nullptr);
    }

    // Entries beyond IniProc are looked up when asked for: one the package
    // lacks is reported by name and leaves the package loaded.
    void otherEntriesOnDemand()
    {
        PackageLoader loader(QStringLiteral("PKG_TESTGOOD"), LoaderDir, collect());
        QVERIFY(loader.openEntry(QStringLiteral("IniProcHistorico")));
        QVERIFY(!loader.openEntry(QStringLiteral("IniProcNenhum")));
        QCOMPARE(m_reports.size(), 1);
        QVERIFY2(m_reports.first().contains(QStringLiteral("PKG_TESTGOOD não a oferece")),
                 qPrintable(m_reports.first()));
        QVERIFY2(m_details.first().contains(QStringLiteral("não exporta a função IniProcNenhum")),
                 qPrintable(m_details.first()));
        QVERIFY(loader.isLoaded());
        QCOMPARE(m_probe.calls(), QStringLiteral("Initialize;unit-init;IniProcHistorico;"));
        loader.shutdown(nullptr);
    }

    void windowsCloseAndDieBeforeFinalize()
    {
        QMdiArea area;
        area.resize(400, 300);
        area.show();
        g_area = &area;
        m_probe.setOpenHook(openScreenWindow);

        PackageLoader loader(QStringLiteral("PKG_TESTGOOD"), LoaderDir, collect());
        QVERIFY(loader.open());
        QVERIFY(g_screen);
        QCOMPARE(area.subWindowList().size(), 1);

        loader.shutdown(&area);
        QVERIFY(g_screen.isNull());
        QVERIFY(area.subWindowList().isEmpty());
        QCOMPARE(
            m_probe.calls(),
            QStringLiteral("Initialize;unit-init;IniProc;close;destroyed;Finalize;unit-fini;"));
        g_area = nullptr;
    }

    void iniProcExceptionIsReportedAsIs()
    {
        PackageLoader loader(QStringLiteral("PKG_TESTGOOD"), LoaderDir, collect());
        m_probe.setThrow(true);
        QVERIFY(!loader.open());
        QCOMPARE(m_reports,
                 QStringList{QStringLiteral("Falha ao criar a tela: \"código\" <inválido>")});
        QCOMPARE(loader.lastError(), m_reports.constFirst());
        // The package stays loaded and initialized; the next open works.
        QVERIFY(loader.isLoaded());
        m_probe.setThrow(false);
        QVERIFY(loader.open());
        QCOMPARE(m_reports.size(), 1);
        loader.shutdown(nullptr);
        QCOMPARE(m_probe.calls(),
                 QStringLiteral("Initialize;unit-init;IniProc;IniProc;Finalize;unit-fini;"));
    }

    // The user reads what went wrong and what to do; the file and the
    // loader's own words are in the details.
    void refusals_data()
    {
        QTest::addColumn<QString>("baseName");
        QTest::addColumn<QString>("inMessage");
        QTest::addColumn<QStringList>("inDetails");
        QTest::newRow("missing file")
            << "PKG_NOSUCH"
            << "não foi encontrado" << QStringList{"libPKG_NOSUCH.so", "não existe"};
        QTest::newRow("not a library")
            << "PKG_TESTTEXT"
            << "não pôde ser carregado" << QStringList{"libPKG_TESTTEXT.so"};
        QTest::newRow("missing IniProc")
            << "PKG_TESTNOINI"
            << "incompleto" << QStringList{"libPKG_TESTNOINI.so", "IniProc"};
        QTest::newRow("wrong version")
            << "PKG_TESTBADVER"
            << "outra versão" << QStringList{"libPKG_TESTBADVER.so", "versão 99", "versão 1"};
    }

    void refusals()
    {
        QFETCH(QString, baseName);
        QFETCH(QString, inMessage);
        QFETCH(QStringList, inDetails);
        PackageLoader loader(baseName, LoaderDir, collect());
        QVERIFY(!loader.open());
        QVERIFY(!loader.isLoaded());
        QCOMPARE(m_reports.size(), 1);
        const QString message = m_reports.constFirst();
        QVERIFY2(message.contains(inMessage) && message.contains(baseName) &&
                     !message.contains(LoaderDir),
                 qPrintable(message));
        for (const QString &part : inDetails)
            QVERIFY2(m_details.constFirst().contains(part), qPrintable(m_details.constFirst()));
        // Asking again fails again, the same way, without crashing.
        QVERIFY(!loader.open());
        QCOMPARE(m_reports.size(), 2);
        QCOMPARE(m_reports.at(1), m_reports.at(0));
        loader.shutdown(nullptr);
    }

    void refusalCarriesLibraryError()
    {
        PackageLoader loader(QStringLiteral("PKG_TESTTEXT"), LoaderDir, collect());
        QVERIFY(!loader.open());
        QLibrary same(loader.filePath());
        QVERIFY(!same.load());
        QVERIFY2(m_details.constFirst().contains(same.errorString()),
                 qPrintable(m_details.constFirst()));
    }

    void versionRefusedBeforeInitialize()
    {
        const PackageProbe bad(LoaderDir + QStringLiteral("/libPKG_TESTBADVER.so"));
        QVERIFY2(bad.ok(), qPrintable(bad.error()));
        bad.reset();
        PackageLoader loader(QStringLiteral("PKG_TESTBADVER"), LoaderDir, collect());
        QVERIFY(!loader.open());
        QCOMPARE(bad.calls(), QString());
    }
};

QTEST_MAIN(TestPackageLoader)
#include "tst_packageloader.moc"
