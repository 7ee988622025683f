// Where the host's windows open: the main window holds a screen at its
// stated bounds or is maximised, comes back where the user left it, and a
// child window shown partly outside the MDI area is moved inside.

#include "mainwindow.h"
#include "windowplacement.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace quv::host;

class TestWindowPlacement : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString settingsFile() const { return m_dir.filePath(QStringLiteral("host.conf")); }

private slots:
    void init() { QFile::remove(settingsFile()); }

    void mainWindowHoldsAScreenAtItsBoundsOrIsMaximised_data()
    {
        QTest::addColumn<QRect>("display");
        QTest::addColumn<bool>("maximised");
        QTest::newRow("1920x1080") << QRect(0, 0, 1920, 1080) << false;
        QTest::newRow("1280x800") << QRect(0, 0, 1280, 800) << false;
        QTest::newRow("1024x768") << QRect(0, 0, 1024, 768) << true;
        QTest::newRow("1280x800 under a 100 px panel") << QRect(0, 100, 1280, 700) << true;
    }
    void mainWindowHoldsAScreenAtItsBoundsOrIsMaximised()
    {
        QFETCH(QRect, display);
        QFETCH(bool, maximised);
        MainWindow window;
        showMainWindow(&window, window.mdiArea(), nullptr, display);
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.isMaximized(), maximised);
        // Restored, it fits the display.
        QVERIFY(display.contains(window.normalGeometry()));
        if (maximised)
            return;
        QVERIFY2(window.mdiArea()->viewport()->rect().contains(StatedScreenBounds),
                 qPrintable(QStringLiteral("viewport %1x%2")
                                .arg(window.mdiArea()->viewport()->width())
                                .arg(window.mdiArea()->viewport()->height())));
    }

    void mainWindowComesBackWhereItWasLeft_data()
    {
        QTest::addColumn<bool>("maximised");
        QTest::newRow("normal") << false;
        QTest::newRow("maximised") << true;
    }
    void mainWindowComesBackWhereItWasLeft()
    {
        QFETCH(bool, maximised);
        const QRect display(0, 0, 1920, 1080);
        // Within the test display, which restoring would otherwise fit it to.
        const QRect left(40, 30, 700, 500);
        {
            QSettings settings(settingsFile(), QSettings::IniFormat);
            MainWindow window;
            showMainWindow(&window, window.mdiArea(), &settings, display);
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            window.setGeometry(left);
            if (maximised)
                window.showMaximized();
            QTRY_COMPARE(window.isMaximized(), maximised);
            rememberMainWindow(&window, settings);
        }
        QSettings settings(settingsFile(), QSettings::IniFormat);
        MainWindow window;
        showMainWindow(&window, window.mdiArea(), &settings, display);
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.isMaximized(), maximised);
        QCOMPARE(window.normalGeometry(), left);
    }

    void childShownPartlyOutsideMovesInsideKeepingItsSize()
    {
        MainWindow window;
        window.setGeometry(0, 0, 1000, 700);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize area = window.mdiArea()->viewport()->size();
        const int w = area.width();
        const int h = area.height();
        const struct
        {
            const char *name;
            QRect stated;
            QPoint placed;
        } cases[] = {
            {"inside", QRect(10, 20, 300, 200), QPoint(10, 20)},
            {"past the right and bottom edges", QRect(w - 100, h - 50, 300, 200),
             QPoint(w - 300, h - 200)},
            {"above and left of the area", QRect(-40, -30, 300, 200), QPoint(0, 0)},
            {"the screen's stated bounds", StatedScreenBounds,
             QPoint(qMin(352, w - 799), qMin(197, h - 472))},
            {"larger than the area", QRect(100, 100, w + 50, h + 50), QPoint(0, 0)},
        };
        for (const auto &c : cases) {
            // As a screen shows itself: its bounds first, then shown.
            QMdiSubWindow *child = window.mdiArea()->addSubWindow(new QWidget);
            child->setGeometry(c.stated);
            child->show();
            QVERIFY2(child->geometry() == QRect(c.placed, c.stated.size()), c.name);
            // Only the first showing is placed; later moves are the user's.
            child->move(-20, -20);
            child->hide();
            child->show();
            QVERIFY2(child->pos() == QPoint(-20, -20), c.name);
            delete child;
        }
    }
};

QTEST_MAIN(TestWindowPlacement)
#include "tst_windowplacement.moc"
