#include "fakehost.h"
#include "framework/app/application.h"
#include "framework/widgets/controls.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QTabBar>
#include <QTest>

class TestControls : public QObject
{
    Q_OBJECT
    QStringList m_errors;

private slots:
    void init()
    {
        m_errors.clear();
        Application->setExceptionHook([this](const QString &m) { m_errors << m; });
    }
    void cleanup() { Application->setExceptionHook({}); }

    void pageControlFiresOnlyForUserChanges()
    {
        TPageControl pc;
        auto *p1 = new TTabSheet(&pc);
        auto *p2 = new TTabSheet(&pc);
        p1->setCaption(QStringLiteral("Um"));
        p2->setCaption(QStringLiteral("Dois"));
        QList<QObject *> changes;
        pc.OnChange = [&](QObject *sender) { changes << sender; };
        auto *p3 = new TTabSheet(&pc); // adding a page is no user change
        p3->setCaption(QStringLiteral("Três"));
        QCOMPARE(pc.tabText(2), QStringLiteral("Três"));
        QCOMPARE(p3->PageIndex(), 2);
        pc.resize(400, 200);
        pc.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pc));
        QVERIFY(changes.isEmpty());

        pc.SetActivePage(p2);
        QCOMPARE(pc.ActivePage(), p2);
        QVERIFY(changes.isEmpty());

        QTabBar *bar = pc.tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(2).center());
        QCOMPARE(pc.ActivePage(), p3);
        QCOMPARE(changes, QList<QObject *>{&pc});

        QTest::keyClick(&pc, Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(pc.ActivePage(), p1);
        QCOMPARE(changes.size(), 2);

        pc.SelectPage(p2);
        QCOMPARE(changes.size(), 3);
        pc.SelectPage(p2); // already there: no change
        QCOMPARE(changes.size(), 3);

        // A failing handler is reported; the page still changed.
        pc.OnChange = [](QObject *) { throw Exception(QStringLiteral("página falhou")); };
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(0).center());
        QCOMPARE(pc.ActivePage(), p1);
        QCOMPARE(m_errors, QStringList{QStringLiteral("página falhou")});

        // A dying page control removes its pages without running the handler.
        auto *doomed = new TPageControl;
        new TTabSheet(doomed);
        new TTabSheet(doomed);
        int calls = 0;
        doomed->OnChange = [&calls](QObject *) { ++calls; };
        delete doomed;
        QCOMPARE(calls, 0);
    }

    void brushCopyReplacesTheTransparentColour()
    {
        const QColor olive(128, 128, 0);
        QImage bitmap(3, 2, QImage::Format_RGB32);
        bitmap.fill(olive);
        bitmap.setPixelColor(2, 0, Qt::blue);
        bitmap.setPixelColor(0, 1, QColor(128, 128, 1)); // near olive: kept

        QImage target(10, 6, QImage::Format_RGB32);
        target.fill(Qt::white);
        {
            QPainter painter(&target);
            TCanvas canvas(&painter);
            canvas.Brush = QBrush(QColor(10, 20, 30));
            canvas.FillRect(QRect(0, 0, 1, 6));
            // Source taller than the bitmap: the missing rows show the brush.
            canvas.BrushCopy(QRect(1, 0, 3, 4), bitmap, QRect(0, 0, 3, 4), olive);
            // An empty bitmap copies nothing at all.
            canvas.BrushCopy(QRect(5, 0, 0, 4), QImage(), QRect(0, 0, 0, 4), olive);
        }
        const QColor brush(10, 20, 30);
        QCOMPARE(target.pixelColor(0, 5), brush);
        QCOMPARE(target.pixelColor(1, 0), brush);
        QCOMPARE(target.pixelColor(3, 0), QColor(Qt::blue));
        QCOMPARE(target.pixelColor(1, 1), QColor(128, 128, 1));
        QCOMPARE(target.pixelColor(2, 1), brush);
        QCOMPARE(target.pixelColor(2, 3), brush);
        QCOMPARE(target.pixelColor(2, 4), QColor(Qt::white));
        QCOMPARE(target.pixelColor(5, 0), QColor(Qt::white));
    }

    void speedButtonClicks()
    {
        TSpeedButton button;
        QList<QObject *> senders;
        button.OnClick = [&](QObject *sender) { senders << sender; };
        button.show();
        QVERIFY(QTest::qWaitForWindowExposed(&button));
        QTest::mouseClick(&button, Qt::LeftButton);
        button.Click();
        QCOMPARE(senders, (QList<QObject *>{&button, &button}));

        button.OnClick = [](QObject *) { throw Exception(QStringLiteral("botão falhou")); };
        QTest::mouseClick(&button, Qt::LeftButton);
        QCOMPARE(m_errors, QStringList{QStringLiteral("botão falhou")});
        // Called from code, the exception is the caller's.
        QVERIFY_THROWS_EXCEPTION(Exception, button.Click());

        button.setEnabled(false);
        button.OnClick = [&](QObject *sender) { senders << sender; };
        QTest::mouseClick(&button, Qt::LeftButton);
        QCOMPARE(senders.size(), 2);
    }

    void panelCaptionAndBorder()
    {
        TPanel panel;
        panel.setBevelOuter(bvNone);
        panel.setBorderWidth(3);
        panel.setCaption(QStringLiteral(" Fatos"));
        QFont bold = panel.captionFont();
        bold.setBold(true);
        panel.setCaptionFont(bold);
        // The caption does not occupy the panel's layout slot.
        auto *layout = new QHBoxLayout(&panel);
        auto *child = new QLabel(QStringLiteral("filho"));
        layout->addWidget(child);
        QCOMPARE(panel.layout(), layout);
        panel.resize(200, 40);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QCOMPARE(panel.contentsMargins(), QMargins(3, 3, 3, 3));
        QCOMPARE(panel.frameWidth(), 0);
        QCOMPARE(panel.captionLabel()->geometry(), panel.contentsRect());
        QVERIFY(panel.captionLabel()->font().bold());
        QCOMPARE(panel.Caption(), QStringLiteral(" Fatos"));
        panel.setBevelInner(bvLowered);
        QCOMPARE(panel.frameWidth(), 1);
        QCOMPARE(panel.captionLabel()->geometry(), panel.contentsRect());
        panel.setBevelOuter(bvRaised);
        QCOMPARE(panel.frameWidth(), 2);
        panel.setCaption(QString());
        QVERIFY(!panel.captionLabel()->isVisible());
    }

    void imageIsAHiddenPictureHolder()
    {
        QWidget parent;
        auto *image = new TImage(&parent);
        QImage picture(16, 16, QImage::Format_RGB32);
        picture.fill(QColor(128, 128, 0));
        image->setPicture(picture);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        QVERIFY(!image->isVisible());
        QCOMPARE(image->Picture(), picture);
        QCOMPARE(image->sizeHint(), QSize(16, 16));
    }

    void virtualKeyCodes_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("code");
        QTest::newRow("A") << int(Qt::Key_A) << 0 << 65;
        QTest::newRow("ctrl+F") << int(Qt::Key_F) << int(Qt::ControlModifier) << 70;
        QTest::newRow("7") << int(Qt::Key_7) << 0 << 55;
        QTest::newRow("keypad 7") << int(Qt::Key_7) << int(Qt::KeypadModifier) << 103;
        QTest::newRow("F1") << int(Qt::Key_F1) << 0 << 112;
        QTest::newRow("F5") << int(Qt::Key_F5) << 0 << 116;
        QTest::newRow("F9") << int(Qt::Key_F9) << 0 << 120;
        QTest::newRow("F12") << int(Qt::Key_F12) << 0 << 123;
        QTest::newRow("left") << int(Qt::Key_Left) << 0 << 37;
        QTest::newRow("up") << int(Qt::Key_Up) << 0 << 38;
        QTest::newRow("right") << int(Qt::Key_Right) << 0 << 39;
        QTest::newRow("down") << int(Qt::Key_Down) << 0 << 40;
        QTest::newRow("space") << int(Qt::Key_Space) << 0 << 32;
        QTest::newRow("return") << int(Qt::Key_Return) << 0 << 13;
        QTest::newRow("enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << 13;
        QTest::newRow("escape") << int(Qt::Key_Escape) << 0 << 27;
        QTest::newRow("delete") << int(Qt::Key_Delete) << 0 << 46;
        QTest::newRow("shift+1") << int(Qt::Key_Exclam) << int(Qt::ShiftModifier) << 49;
        QTest::newRow("unknown") << int(Qt::Key_VolumeUp) << 0 << 0;
    }
    void virtualKeyCodes()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, code);
        const QKeyEvent event(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(int(VirtualKeyCode(event)), code);
    }

    void shiftStates()
    {
        QCOMPARE(ShiftStateOf(Qt::NoModifier), TShiftState());
        QCOMPARE(ShiftStateOf(Qt::ShiftModifier | Qt::ControlModifier), ssShift | ssCtrl);
        QCOMPARE(ShiftStateOf(Qt::AltModifier | Qt::KeypadModifier), TShiftState(ssAlt));
    }

    void screenCursorOverride()
    {
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        // An override of somebody else's survives ours being removed.
        QGuiApplication::setOverrideCursor(Qt::CrossCursor);
        Screen->setCursor(crHourGlass);
        Screen->setCursor(crHourGlass);
        QCOMPARE(Screen->Cursor(), crHourGlass);
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        Screen->setCursor(crDefault);
        QCOMPARE(Screen->Cursor(), crDefault);
        QVERIFY(QGuiApplication::overrideCursor());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);
        Screen->setCursor(crDefault); // nothing of ours left: no change
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);
        QGuiApplication::restoreOverrideCursor();
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        QVERIFY_THROWS_EXCEPTION(Exception, Screen->setCursor(TCursor(5)));
        QCOMPARE(Screen->Cursor(), crDefault);
    }

    void halvernNeedsAHost()
    {
        QCOMPARE(Halvern::host(), nullptr);
        try {
            Halvern::WebURL();
            QFAIL("no exception without a host");
        } catch (const Exception &e) {
            QCOMPARE(e.Message(), QStringLiteral("Aplicação hospedeira não registrada"));
        }
        QVERIFY_THROWS_EXCEPTION(Exception, Halvern::WebPort());
        QVERIFY_THROWS_EXCEPTION(Exception,
                                 Halvern::AtualizaLocalCache(QStringList{QStringLiteral("T")}));
        // Without a host the framework still has a main window to parent on.
        QVERIFY(Application->MainForm() != nullptr);
        QVERIFY(!Application->MainForm()->isVisible());
    }

    void halvernForwardsToTheHost()
    {
        FakeHost host;
        QCOMPARE(Halvern::WebURL(), QStringLiteral("servidor.local"));
        QCOMPARE(Halvern::WebPort(), 4711);
        QCOMPARE(Halvern::ServerToken(), QStringLiteral("segredo"));
        QCOMPARE(Halvern::ServerTls(), true);
        QCOMPARE(Halvern::ServerCaFile(), QStringLiteral("/etc/ca.pem"));
        QCOMPARE(Application->MainForm(), &host.window);

        Halvern::AtualizaLocalCache(
            QVariantList{QStringLiteral("DIMEDWGRUPOP"), QStringLiteral("FILDIMEGRUPOP")});
        Halvern::AtualizaLocalCache(QStringList{QStringLiteral("ITEMDWOPER")});
        Halvern::AtualizaLocalCache(QStringLiteral("FILDIMEOPER"));
        QCOMPARE(host.cacheRequests, (QList<QStringList>{{QStringLiteral("DIMEDWGRUPOP"),
                                                          QStringLiteral("FILDIMEGRUPOP")},
                                                         {QStringLiteral("ITEMDWOPER")},
                                                         {QStringLiteral("FILDIMEOPER")}}));

        // A bad list is refused whole: nothing reaches the host.
        for (const QVariant &bad : {QVariant(QVariantList{QStringLiteral("A"), 42}), QVariant(7),
                                    QVariant(QStringList{QStringLiteral("A"), QString()}),
                                    QVariant(QStringList{}), QVariant()}) {
            QVERIFY_THROWS_EXCEPTION(Exception, Halvern::AtualizaLocalCache(bad));
        }
        QCOMPARE(host.cacheRequests.size(), 3);

        // Without a hook, exceptions are shown by the host.
        Application->setExceptionHook({});
        Application->Guard([] { throw Exception(QStringLiteral("para o usuário")); });
        Application->Guard([] { throw 42; });
        QCOMPARE(host.shown, (QStringList{QStringLiteral("para o usuário"),
                                          QStringLiteral("Erro desconhecido")}));
    }
};

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
