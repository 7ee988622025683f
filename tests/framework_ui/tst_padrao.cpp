#include "fakehost.h"
#include "framework/app/application.h"
#include "framework/widgets/controls.h"
#include "framework/widgets/dbgrid.h"
#include "framework/widgets/padrao.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTabBar>
#include <QTest>
#include <QVBoxLayout>

namespace {

/// A screen built the way real screens are: its handlers of the base names
/// run the base handler first, then record what happened.
class TfrmTeste : public TfrmPadrao
{
public:
    explicit TfrmTeste(QWidget *parent = nullptr) : TfrmPadrao(parent)
    {
        OnCreate = [this](QObject *s) { FormCreate(s); };
        OnClose = [this](QObject *s, TCloseAction &a) { FormClose(s, a); };
        OnDestroy = [this](QObject *s) { FormDestroy(s); };
        pgcPadrao->OnChange = [this](QObject *s) { pgcPadraoChange(s); };
        sbtVerificar->OnClick = [this](QObject *s) { sbtVerificarClick(s); };
        sbtProcurar->OnClick = [this](QObject *) { ++searches; };
    }

    void FormCreate(QObject *sender)
    {
        TfrmPadrao::FormCreate(sender);
        ++creates;
        selfWhenCreated = *slot;
        if (failCreate)
            throw Exception(QStringLiteral("criação falhou"));
    }
    void FormClose(QObject *sender, TCloseAction &action)
    {
        actionOnEntry = action;
        TfrmPadrao::FormClose(sender, action);
        ++closes;
        if (closeAs)
            action = *closeAs;
    }
    void FormDestroy(QObject *sender)
    {
        TfrmPadrao::FormDestroy(sender);
        ++*destroys;
    }
    void pgcPadraoChange(QObject *sender)
    {
        TfrmPadrao::pgcPadraoChange(sender);
        ++pageChanges;
    }
    void sbtVerificarClick(QObject *sender)
    {
        TfrmPadrao::sbtVerificarClick(sender);
        ++refreshes;
    }

    static inline bool failCreate = false;
    static inline TfrmTeste **slot = nullptr;
    static inline int *destroys = nullptr;
    TfrmTeste *selfWhenCreated = nullptr;
    std::optional<TCloseAction> closeAs;
    TCloseAction actionOnEntry = caNone;
    int creates = 0, closes = 0, pageChanges = 0, refreshes = 0, searches = 0;
};

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

} // namespace

class TestPadrao : public QObject
{
    Q_OBJECT
    QStringList m_errors;
    int m_destroys = 0;
    TfrmTeste *m_form = nullptr;

private slots:
    void init()
    {
        m_errors.clear();
        m_destroys = 0;
        m_form = nullptr;
        TfrmTeste::failCreate = false;
        TfrmTeste::slot = &m_form;
        TfrmTeste::destroys = &m_destroys;
        Application->setExceptionHook([this](const QString &m) { m_errors << m; });
    }
    void cleanup()
    {
        Application->setExceptionHook({});
        flushDeletes();
    }

    void createFormPlacesTheScreenInTheMdiArea()
    {
        FakeHost host;
        host.window.show();
        Application->CreateForm(m_form);
        QVERIFY(m_form);
        QCOMPARE(m_form->selfWhenCreated, m_form); // stored before OnCreate ran
        QCOMPARE(m_form->creates, 1);
        QMdiSubWindow *sub = m_form->subWindow();
        QVERIFY(sub);
        QCOMPARE(host.area->subWindowList(), QList<QMdiSubWindow *>{sub});
        QVERIFY(!sub->testAttribute(Qt::WA_DeleteOnClose));

        m_form->setCaption(QStringLiteral("Controle"));
        QCOMPARE(sub->windowTitle(), QStringLiteral("Controle"));
        m_form->setBounds(30, 20, 500, 350);
        QCOMPARE(sub->geometry(), QRect(30, 20, 500, 350));
        m_form->Show();
        QVERIFY(m_form->isVisible());
        QCOMPARE(host.area->activeSubWindow(), sub);

        m_form->setWindowState(wsMinimized);
        QCOMPARE(m_form->WindowState(), wsMinimized);
        m_form->setWindowState(wsNormal);
        QCOMPARE(m_form->WindowState(), wsNormal);
        m_form->setWindowState(wsMaximized);
        QCOMPARE(m_form->WindowState(), wsMaximized);
        m_form->setWindowState(wsNormal);
        QCOMPARE(m_form->WindowState(), wsNormal);
        QVERIFY_THROWS_EXCEPTION(Exception, m_form->setBounds(0, 0, -1, 10));

        m_form->setCodTela(QStringLiteral("QUV01000"));
        m_form->lblCodTela->clear();
        m_form->DoCreate();
        QCOMPARE(m_form->lblCodTela->text(), QStringLiteral("QUV01000"));
        delete sub;
    }

    void createFormRollsBackWhenOnCreateFails()
    {
        FakeHost host;
        TfrmTeste::failCreate = true;
        try {
            Application->CreateForm(m_form);
            QFAIL("CreateForm swallowed the exception");
        } catch (const Exception &e) {
            QCOMPARE(e.Message(), QStringLiteral("criação falhou"));
        }
        QVERIFY(m_form == nullptr);
        QVERIFY(host.area->subWindowList().isEmpty());
        QCOMPARE(m_destroys, 0);

        // Without a host the screen is a top-level window; none is left over.
        Halvern::setHost(nullptr);
        QVERIFY_THROWS_EXCEPTION(Exception, Application->CreateForm(m_form));
        QVERIFY(m_form == nullptr);
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<TfrmPadrao *>(w));
        Halvern::setHost(&host);
    }

    void closingRunsOnCloseThenOnDestroyOnce()
    {
        FakeHost host;
        host.window.show();
        Application->CreateForm(m_form);
        m_form->Show();
        QPointer<TfrmTeste> form = m_form;
        QPointer<QMdiSubWindow> sub = m_form->subWindow();

        // The user closes the child window: caHide comes in, the base handler
        // makes it caFree, the screen is disposed of.
        QVERIFY(sub->close());
        QCOMPARE(form->closes, 1);
        QCOMPARE(form->actionOnEntry, caHide);
        QCOMPARE(m_destroys, 1);
        QVERIFY(form->Destroying());
        form->Close(); // a second close of a disposed screen does nothing
        form->Release();
        QCOMPARE(m_destroys, 1);
        flushDeletes();
        QVERIFY(form.isNull());
        QVERIFY(sub.isNull());
        QVERIFY(host.area->subWindowList().isEmpty());
        QCOMPARE(m_destroys, 1);
    }

    void closeActionsOtherThanFree()
    {
        FakeHost host;
        host.window.show();
        Application->CreateForm(m_form);
        m_form->Show();
        QPointer<TfrmTeste> form = m_form;

        form->closeAs = caNone;
        form->Close();
        flushDeletes();
        QVERIFY(form);
        QVERIFY(form->isVisible());
        QVERIFY(form->subWindow()->isVisible());
        QCOMPARE(m_destroys, 0);

        form->closeAs = caHide;
        form->Close();
        flushDeletes();
        QVERIFY(form);
        QVERIFY(!form->subWindow()->isVisible());
        form->Show();
        QVERIFY(form->isVisible());
        QVERIFY(form->subWindow()->isVisible());

        // A failing close handler keeps the screen and reports the failure.
        form->OnClose = [](QObject *, TCloseAction &) {
            throw Exception(QStringLiteral("não fecha"));
        };
        form->Close();
        QCOMPARE(m_errors, QStringList{QStringLiteral("não fecha")});
        QVERIFY(form->isVisible());

        form->closeAs.reset();
        form->OnClose = [f = form.data()](QObject *s, TCloseAction &a) { f->FormClose(s, a); };
        form->Close();
        QCOMPARE(m_destroys, 1);
        flushDeletes();
        QVERIFY(form.isNull());
    }

    void topLevelScreenWithoutHost()
    {
        Application->CreateForm(m_form);
        QPointer<TfrmTeste> form = m_form;
        QVERIFY(form->subWindow() == nullptr);
        form->Show();
        QVERIFY(QTest::qWaitForWindowExposed(form));
        form->setBounds(10, 10, 640, 400);
        QCOMPARE(form->size(), QSize(640, 400));
        form->Close();
        QCOMPARE(m_destroys, 1);
        flushDeletes();
        QVERIFY(form.isNull());
    }

    void pagesKeysAndMenus()
    {
        TfrmTeste form;
        form.DoCreate();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.pgcPadrao->ActivePage(), form.tshFolhaDados);
        QVERIFY(form.mnuFolhaDados->isChecked());
        QVERIFY(!form.mnuFormulario->isChecked());

        form.pgcPadrao->SetActivePage(form.tshFormulario);
        QCOMPARE(form.pageChanges, 0);
        form.pgcPadrao->SetActivePage(form.tshFolhaDados);

        QTabBar *bar = form.pgcPadrao->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
        QCOMPARE(form.pageChanges, 1);
        QVERIFY(form.mnuFormulario->isChecked());
        QVERIFY(!form.mnuFolhaDados->isChecked());
        form.mnuFolhaDados->trigger();
        QCOMPARE(form.pgcPadrao->ActivePage(), form.tshFolhaDados);
        QCOMPARE(form.pageChanges, 2);
        QVERIFY(form.mnuFolhaDados->isChecked());
        form.mnuFolhaDados->trigger(); // already there: stays checked, no change
        QVERIFY(form.mnuFolhaDados->isChecked());
        QCOMPARE(form.pageChanges, 2);

        // F5 and Ctrl+F on the grid press the tool bar's buttons when enabled.
        form.dbgPadrao->setFocus();
        QTest::keyClick(form.dbgPadrao, Qt::Key_F5);
        QCOMPARE(form.refreshes, 1);
        QTest::keyClick(form.dbgPadrao, Qt::Key_F, Qt::ControlModifier);
        QCOMPARE(form.searches, 1);
        QTest::keyClick(form.dbgPadrao, Qt::Key_F);
        QCOMPARE(form.searches, 1);
        form.sbtVerificar->setEnabled(false);
        form.sbtProcurar->setEnabled(false);
        QTest::keyClick(form.dbgPadrao, Qt::Key_F5);
        QTest::keyClick(form.dbgPadrao, Qt::Key_F, Qt::ControlModifier);
        QCOMPARE(form.refreshes, 1);
        QCOMPARE(form.searches, 1);

        // A failing refresh reached through the key is reported.
        form.sbtVerificar->setEnabled(true);
        form.sbtVerificar->OnClick = [](QObject *) {
            throw Exception(QStringLiteral("atualização falhou"));
        };
        QTest::keyClick(form.dbgPadrao, Qt::Key_F5);
        QCOMPARE(m_errors, QStringList{QStringLiteral("atualização falhou")});

        // Derived screens insert into the pages' layouts.
        auto *extra = new QLabel(QStringLiteral("extra"));
        form.formularioLayout()->addWidget(extra);
        QVERIFY(form.scbFormulario->Content()->isAncestorOf(extra));
        QVERIFY(form.tshFolhaDados->isAncestorOf(form.dbgPadrao));
        QVERIFY(form.panDbgPadrao->isAncestorOf(form.dbgPadrao));
    }
};

QTEST_MAIN(TestPadrao)
#include "tst_padrao.moc"
