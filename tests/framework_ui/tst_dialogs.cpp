#include "fakehost.h"
#include "framework/app/application.h"
#include "framework/widgets/busy.h"
#include "framework/widgets/dialogs.h"
#include "framework/widgets/search.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

namespace {

/// Runs `answer` on the next modal dialog once it is up.
void whenModal(std::function<void(QWidget *)> answer)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, answer] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            answer(modal);
        }
    });
    timer->start();
}

void clickButton(QWidget *dialog, const char *name)
{
    auto *button = dialog->findChild<QPushButton *>(QLatin1StringView(name));
    QVERIFY2(button, name);
    QTest::mouseClick(button, Qt::LeftButton);
}

} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT

private slots:
    void messageDlgAnswers_data()
    {
        QTest::addColumn<int>("buttons");
        QTest::addColumn<QString>("press");
        QTest::addColumn<int>("result");
        QTest::newRow("yes") << int(mbYes | mbNo) << "btnYes" << mrYes;
        QTest::newRow("no") << int(mbYes | mbNo) << "btnNo" << mrNo;
        QTest::newRow("ok") << int(mbOK) << "btnOk" << mrOk;
        QTest::newRow("cancel") << int(mbOK | mbCancel) << "btnCancel" << mrCancel;
        QTest::newRow("escape on yes/no") << int(mbYes | mbNo) << "" << mrNo;
        QTest::newRow("escape on ok/cancel") << int(mbOK | mbCancel) << "" << mrCancel;
    }
    void messageDlgAnswers()
    {
        QFETCH(int, buttons);
        QFETCH(QString, press);
        QFETCH(int, result);
        QString shownText;
        QStringList offered;
        QWidget *parent = nullptr;
        whenModal([&](QWidget *dialog) {
            auto *box = qobject_cast<QMessageBox *>(dialog);
            QVERIFY(box);
            shownText = box->text();
            parent = box->parentWidget();
            for (QAbstractButton *b : box->buttons())
                offered << b->objectName();
            if (press.isEmpty())
                QTest::keyClick(box, Qt::Key_Escape);
            else
                clickButton(box, press.toLatin1().constData());
        });
        const int answer = MessageDlg(QStringLiteral("Existe filtro.\r\nDeseja excluí-lo?"),
                                      mtConfirmation, TMsgDlgButtons(buttons), 0);
        QCOMPARE(answer, result);
        QCOMPARE(shownText, QStringLiteral("Existe filtro.\nDeseja excluí-lo?"));
        QCOMPARE(parent, Application->MainForm());
        offered.sort();
        QStringList expected;
        if (buttons & mbYes)
            expected << QStringLiteral("btnYes");
        if (buttons & mbNo)
            expected << QStringLiteral("btnNo");
        if (buttons & mbOK)
            expected << QStringLiteral("btnOk");
        if (buttons & mbCancel)
            expected << QStringLiteral("btnCancel");
        expected.sort();
        QCOMPARE(offered, expected);
    }

    // The box appears in the middle of the screen its window is on, wherever
    // that window stands; a failure box answers whether to try again.
    void boxesAreCentredOnTheirScreen_data()
    {
        QTest::addColumn<bool>("retryBox");
        QTest::addColumn<QString>("press");
        QTest::addColumn<bool>("retry");
        QTest::newRow("MessageDlg") << false << "btnOk" << false;
        QTest::newRow("RetryDlg, Tentar novamente") << true << "btnRetry" << true;
        QTest::newRow("RetryDlg, Cancelar") << true << "btnCancel" << false;
        QTest::newRow("RetryDlg, Esc") << true << "" << false;
    }
    void boxesAreCentredOnTheirScreen()
    {
        QFETCH(bool, retryBox);
        QFETCH(QString, press);
        QFETCH(bool, retry);
        QWidget *main = Application->MainForm();
        main->setGeometry(0, 0, 320, 200);
        main->show();
        QPoint centre;
        QPoint screenCentre;
        QString details;
        whenModal([&](QWidget *dialog) {
            centre = dialog->frameGeometry().center();
            screenCentre = dialog->screen()->availableGeometry().center();
            if (auto *box = qobject_cast<QMessageBox *>(dialog))
                details = box->detailedText();
            if (press.isEmpty())
                QTest::keyClick(dialog, Qt::Key_Escape);
            else
                clickButton(dialog, press.toLatin1().constData());
        });
        if (retryBox)
            QCOMPARE(RetryDlg(QStringLiteral("O servidor não respondeu em 30 s."),
                              QStringLiteral("servidor de aplicação 127.0.0.1:5211")),
                     retry);
        else
            MessageDlg(QStringLiteral("Registro gravado."), mtInformation, mbOK, 0);
        main->hide();
        QVERIFY2((centre - screenCentre).manhattanLength() <= 2,
                 qPrintable(QStringLiteral("%1,%2 / %3,%4")
                                .arg(centre.x())
                                .arg(centre.y())
                                .arg(screenCentre.x())
                                .arg(screenCentre.y())));
        if (retryBox)
            QCOMPARE(details, QStringLiteral("servidor de aplicação 127.0.0.1:5211"));
    }

    void messageDlgWithoutButtonsIsAnError()
    {
        QVERIFY_THROWS_EXCEPTION(Exception,
                                 MessageDlg(QStringLiteral("?"), mtWarning, TMsgDlgButtons(), 0));
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }

    void busyIndicatorIsPlainOnOff()
    {
        FakeHost host;
        host.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host.window));
        QVERIFY(!ShowAviActive());
        DeactiveShowAvi(); // hiding what was never shown does nothing
        QVERIFY(!ShowAviActive());

        ActiveShowAvi(Application->MainForm(), 1);
        QVERIFY(ShowAviActive());
        QWidget *overlay = ShowAviWidget();
        QVERIFY(overlay);
        QCOMPARE(overlay->parentWidget(), &host.window);
        QVERIFY(overlay->isVisible());
        const auto centred = [&] {
            return (overlay->geometry().center() - host.window.rect().center()).manhattanLength() <=
                   2;
        };
        QVERIFY(centred());
        QVERIFY(host.window.rect().contains(overlay->geometry()));
        ActiveShowAvi(Application->MainForm(), 1);
        QCOMPARE(ShowAviWidget(), overlay);
        QCOMPARE(host.window.findChildren<QWidget *>(overlay->objectName()).size(), 1);
        // It stays centred when the window is resized while shown.
        host.window.resize(700, 500);
        QVERIFY(centred());
        // The spinner and text are painted, not a blank cover.
        const QImage shot = overlay->grab().toImage();
        QVERIFY(shot.pixel(shot.width() / 2, shot.height() / 2) != shot.pixel(2, 2));

        DeactiveShowAvi();
        QVERIFY(!ShowAviActive());
        QVERIFY(ShowAviWidget() == nullptr);
        QVERIFY(host.window.findChildren<QWidget *>(QStringLiteral("aviAguarde")).isEmpty());
        DeactiveShowAvi();
        QVERIFY(!ShowAviActive());

        // A null form means the main window; a form of its own is covered too.
        ActiveShowAvi(nullptr, 1);
        QCOMPARE(ShowAviWidget()->parentWidget(), &host.window);
        QWidget form;
        form.resize(300, 200);
        ActiveShowAvi(&form, 1);
        QCOMPARE(ShowAviWidget()->parentWidget(), &form);
        QVERIFY(host.window.findChildren<QWidget *>(QStringLiteral("aviAguarde")).isEmpty());
        DeactiveShowAvi();
        QVERIFY(!ShowAviActive());
    }

    void procuraFindsAndWraps()
    {
        TClientDataSet ds;
        fillDataSet(ds, {QStringLiteral("01|Alfa|S"), QStringLiteral("02|Beta|N"),
                         QStringLiteral("03|Gama|S"), QStringLiteral("04|Alfabeto|N")});
        ds.FieldByName(QStringLiteral("MARCA"))->setVisible(false);

        QCOMPARE(ProcuraLinha(&ds, QStringLiteral("BET")), 1);
        ds.setRecNo(3);
        QCOMPARE(ProcuraLinha(&ds, QStringLiteral("alfa")), 3); // at or after the current one
        ds.setRecNo(4);
        QCOMPARE(ProcuraLinha(&ds, QStringLiteral("BET")), 3); // "Alfabeto" is current
        QCOMPARE(ProcuraLinha(&ds, QStringLiteral("gam")), 2); // wraps round
        QCOMPARE(ProcuraLinha(&ds, QStringLiteral("03")), 2);
        QCOMPARE(ProcuraLinha(&ds, QStringLiteral("S")), -1); // hidden field
        QCOMPARE(ProcuraLinha(&ds, QString()), -1);

        ds.setRecNo(1);
        whenModal([](QWidget *dialog) {
            QCOMPARE(dialog->objectName(), QStringLiteral("dlgProcura"));
            auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("edtProcura"));
            QVERIFY(edit);
            QTest::keyClicks(edit, QStringLiteral("gAMa"));
            clickButton(dialog, "btnOk");
        });
        Procura(&ds);
        QCOMPARE(ds.RecNo(), 3);
    }

    void procuraSaysWhenNothingMatches()
    {
        TClientDataSet ds;
        fillDataSet(ds, {QStringLiteral("01|Alfa|S"), QStringLiteral("02|Beta|N")});
        ds.setRecNo(2);
        int scrolls = 0;
        ds.AfterScroll = [&scrolls](TDataSet *) { ++scrolls; };
        QString message;
        bool stillOpen = false;
        whenModal([&](QWidget *dialog) {
            auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("edtProcura"));
            QTest::keyClicks(edit, QStringLiteral("zeta"));
            clickButton(dialog, "btnOk");
            message = dialog->findChild<QLabel *>(QStringLiteral("lblMensagem"))->text();
            stillOpen = dialog->isVisible();
            clickButton(dialog, "btnCancel");
        });
        Procura(&ds);
        QCOMPARE(message, QStringLiteral("Registro não encontrado."));
        QVERIFY(stillOpen);
        QCOMPARE(ds.RecNo(), 2);
        QCOMPARE(scrolls, 0);

        TClientDataSet closed;
        closed.AddField(QStringLiteral("A"), 1);
        QVERIFY_THROWS_EXCEPTION(Exception, Procura(&closed));
        QVERIFY_THROWS_EXCEPTION(Exception, Procura(nullptr));
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
