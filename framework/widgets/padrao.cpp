#include "framework/widgets/padrao.h"

#include "framework/app/messages.h"
#include "framework/data/dataset.h"
#include "framework/widgets/controls.h"
#include "framework/widgets/dbctrls.h"
#include "framework/widgets/dbgrid.h"
#include "framework/widgets/dialogs.h"
#include "framework/widgets/search.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QResizeEvent>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QVBoxLayout>

namespace {

template <class T> T *named(T *object, const char *name)
{
    object->setObjectName(QLatin1StringView(name));
    return object;
}

QAction *menuAction(QMenu *menu, const char *name, const QString &caption)
{
    QAction *action = menu->addAction(caption);
    action->setObjectName(QLatin1StringView(name));
    return action;
}

// Lays a widget tree out at its current size the way showing it would, hidden
// parts included (pages not on top among them): what is not shown gets no
// resize events of its own until it is.
void layOutHidden(QWidget *widget)
{
    if (QLayout *layout = widget->layout()) {
        layout->invalidate();
        layout->activate();
    }
    QResizeEvent resize(widget->size(), widget->size());
    QCoreApplication::sendEvent(widget, &resize);
    if (auto *pages = qobject_cast<TPageControl *>(widget))
        pages->LayOutHidden();
    // A stack sizes only its current page.
    if (auto *stack = qobject_cast<QStackedWidget *>(widget))
        for (int i = 0; i < stack->count(); ++i)
            stack->widget(i)->setGeometry(stack->contentsRect());
    for (QObject *child : widget->children())
        if (auto *w = qobject_cast<QWidget *>(child); w && !w->isWindow())
            layOutHidden(w);
}

} // namespace

TfrmPadrao::TfrmPadrao(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmPadrao"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    resize(800, 480);

    auto *main = new QVBoxLayout(this);
    main->setContentsMargins(0, 0, 0, 0);
    main->setSpacing(0);

    // --- main menu
    mnuMenu = named(new QMenuBar(this), "mnuMenu");
    main->setMenuBar(mnuMenu);
    mnuOperacao = named(mnuMenu->addMenu(QStringLiteral("&Operação")), "mnuOperacao");
    mnuFolhaDados = menuAction(mnuOperacao, "mnuFolhaDados", QStringLiteral("&Folha de Dados"));
    mnuFormulario = menuAction(mnuOperacao, "mnuFormulario", QStringLiteral("F&ormulário"));
    mnuFolhaDados->setCheckable(true);
    mnuFormulario->setCheckable(true);
    mnuOperacao->addSeparator();
    mnuListagem = menuAction(mnuOperacao, "mnuListagem", QStringLiteral("&Listagem"));
    mnuConfigImpressora =
        menuAction(mnuOperacao, "mnuConfigImpressora", QStringLiteral("&Configurar Impressora"));
    mnuManutencao = named(mnuMenu->addMenu(QStringLiteral("&Manutenção")), "mnuManutencao");
    mnuIncluir = menuAction(mnuManutencao, "mnuIncluir", QStringLiteral("&Incluir"));
    mnuAlterar = menuAction(mnuManutencao, "mnuAlterar", QStringLiteral("&Alterar"));
    mnuExcluir = menuAction(mnuManutencao, "mnuExcluir", QStringLiteral("&Excluir"));
    mnuManutencao->addSeparator();
    mnuCancelar = menuAction(mnuManutencao, "mnuCancelar", QStringLiteral("&Cancelar"));
    mnuConfirmar = menuAction(mnuManutencao, "mnuConfirmar", QStringLiteral("C&onfirmar"));

    // --- tool bar
    panMenu = named(new TPanel(this), "panMenu");
    panMenu->setBevelOuter(bvNone);
    m_toolBarLayout = new QHBoxLayout(panMenu);
    m_toolBarLayout->setContentsMargins(2, 2, 4, 2);
    m_toolBarLayout->setSpacing(2);
    auto speedButton = [this](const char *name, QStyle::StandardPixmap icon, const char *hint) {
        auto *button = named(new TSpeedButton(panMenu), name);
        button->setIcon(style()->standardIcon(icon));
        button->setToolTip(QString::fromUtf8(hint));
        m_toolBarLayout->addWidget(button);
        return button;
    };
    sbtProcurar = speedButton("sbtProcurar", QStyle::SP_FileDialogContentsView, "Procurar");
    sbtVerificar = speedButton("sbtVerificar", QStyle::SP_BrowserReload, "Atualizar");
    sbtImprimir = speedButton("sbtImprimir", QStyle::SP_FileIcon, "Imprimir");
    m_toolBarLayout->addStretch(1);
    lblCodTela = named(new QLabel(panMenu), "lblCodTela");
    lblCodTela->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont codeFont = lblCodTela->font();
    codeFont.setBold(true);
    lblCodTela->setFont(codeFont);
    m_toolBarLayout->addWidget(lblCodTela);
    main->addWidget(panMenu);

    // --- pages
    pgcPadrao = named(new TPageControl(this), "pgcPadrao");
    tshFolhaDados = named(new TTabSheet(pgcPadrao), "tshFolhaDados");
    tshFolhaDados->setCaption(QStringLiteral("Folha de Dados"));
    m_folhaDadosLayout = new QVBoxLayout(tshFolhaDados);
    m_folhaDadosLayout->setContentsMargins(0, 0, 0, 0);
    m_folhaDadosLayout->setSpacing(0);
    panDbgPadrao = named(new TPanel(tshFolhaDados), "panDbgPadrao");
    panDbgPadrao->setBevelOuter(bvNone);
    auto *dbgLayout = new QVBoxLayout(panDbgPadrao);
    dbgLayout->setContentsMargins(0, 0, 0, 0);
    scbFolhaDados = named(new TScrollBox(panDbgPadrao), "scbFolhaDados");
    dbgPadrao = named(new TDBGrid, "dbgPadrao");
    dbgPadrao->setOptions(dgTitles | dgColumnResize | dgColLines | dgRowLines | dgTabs |
                          dgRowSelect | dgAlwaysShowSelection | dgConfirmDelete);
    scbFolhaDados->setContent(dbgPadrao);
    dbgLayout->addWidget(scbFolhaDados);
    m_folhaDadosLayout->addWidget(panDbgPadrao, 1);

    tshFormulario = named(new TTabSheet(pgcPadrao), "tshFormulario");
    tshFormulario->setCaption(QStringLiteral("Formulário"));
    auto *formLayout = new QVBoxLayout(tshFormulario);
    formLayout->setContentsMargins(0, 0, 0, 0);
    panFormulario = named(new TPanel(tshFormulario), "panFormulario");
    panFormulario->setBevelOuter(bvNone);
    auto *panFormLayout = new QVBoxLayout(panFormulario);
    panFormLayout->setContentsMargins(0, 0, 0, 0);
    scbFormulario = named(new TScrollBox(panFormulario), "scbFormulario");
    auto *formContent = new QWidget;
    formContent->setObjectName(QStringLiteral("scbFormularioContent"));
    m_formularioLayout = new QVBoxLayout(formContent);
    m_formularioLayout->setContentsMargins(0, 0, 0, 0);
    m_formularioLayout->setSpacing(0);
    scbFormulario->setContent(formContent);
    panFormLayout->addWidget(scbFormulario);
    formLayout->addWidget(panFormulario);
    pgcPadrao->SetActivePage(tshFolhaDados);
    main->addWidget(pgcPadrao, 1);

    // --- navigator bar
    panNavigator = named(new TPanel(this), "panNavigator");
    auto *navLayout = new QHBoxLayout(panNavigator);
    navLayout->setContentsMargins(2, 2, 2, 2);
    dbnPadrao = named(new TDBNavigator(panNavigator), "dbnPadrao");
    dbtRegistro = named(new TDBText(panNavigator), "dbtRegistro");
    navLayout->addWidget(dbnPadrao);
    navLayout->addSpacing(8);
    navLayout->addWidget(dbtRegistro, 1);
    main->addWidget(panNavigator);

    // --- non-visual components
    dtsPadrao = named(new TDataSource(this), "dtsPadrao");
    msgPadrao = named(new TMessages(this), "msgPadrao");
    msgMensagensPadroes = named(new TMessages(this), "msgMensagensPadroes");
    msgMensagensPadroes->Lines = {
        QStringLiteral("CONFIRMA_EXCLUSAO|Confirma a exclusão do registro?"),
        QStringLiteral("REGISTRO_NAO_ENCONTRADO|Registro não encontrado."),
        QStringLiteral("AGUARDE|Aguarde..."),
    };
    prdImprimir = named(new QObject(this), "prdImprimir");
    psdConfigurar = named(new QObject(this), "psdConfigurar");

    pmnNavegar = named(new QMenu(this), "pmnNavegar");
    const std::pair<TNavigateBtn, const char *> moves[] = {
        {nbFirst, "Primeiro"}, {nbPrior, "Anterior"}, {nbNext, "Próximo"}, {nbLast, "Último"}};
    for (const auto &[which, caption] : moves) {
        QAction *action = pmnNavegar->addAction(QString::fromUtf8(caption));
        connect(action, &QAction::triggered, this, [this, which = which] {
            Application->Guard([this, which] { dbnPadrao->BtnClick(which); });
        });
    }
    dbnPadrao->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(dbnPadrao, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &at) { pmnNavegar->popup(dbnPadrao->mapToGlobal(at)); });

    // --- menu commands
    connect(mnuFolhaDados, &QAction::triggered, this, [this] {
        pgcPadrao->SelectPage(tshFolhaDados);
        syncPageMenu();
    });
    connect(mnuFormulario, &QAction::triggered, this, [this] {
        pgcPadrao->SelectPage(tshFormulario);
        syncPageMenu();
    });
    auto onDataSet = [this](QAction *action, void (*step)(TDataSet *)) {
        connect(action, &QAction::triggered, this, [this, step] {
            Application->Guard([this, step] {
                if (TDataSet *ds = dtsPadrao->DataSet())
                    step(ds);
            });
        });
    };
    onDataSet(mnuIncluir, [](TDataSet *ds) { ds->Insert(); });
    onDataSet(mnuAlterar, [](TDataSet *ds) { ds->Edit(); });
    onDataSet(mnuCancelar, [](TDataSet *ds) { ds->Cancel(); });
    onDataSet(mnuConfirmar, [](TDataSet *ds) { ds->Post(); });
    connect(mnuExcluir, &QAction::triggered, this, [this] {
        Application->Guard([this] {
            TDataSet *ds = dtsPadrao->DataSet();
            if (!ds || !ds->Active() || ds->IsEmpty())
                return;
            if (MessageDlg(msgMensagensPadroes->Msg(QStringLiteral("CONFIRMA_EXCLUSAO")),
                           mtConfirmation, mbYes | mbNo, 0) == mrYes)
                ds->Delete();
        });
    });

    // --- handler properties bound to the base handlers
    OnCreate = [this](QObject *sender) { FormCreate(sender); };
    OnClose = [this](QObject *sender, TCloseAction &action) { FormClose(sender, action); };
    OnDestroy = [this](QObject *sender) { FormDestroy(sender); };
    pgcPadrao->OnChange = [this](QObject *sender) { pgcPadraoChange(sender); };
    sbtVerificar->OnClick = [this](QObject *sender) { sbtVerificarClick(sender); };
    sbtProcurar->OnClick = [this](QObject *) {
        TDataSet *ds = dtsPadrao->DataSet();
        if (ds && ds->Active())
            Procura(ds);
    };
    dbgPadrao->OnKeyDown = [this](QObject *sender, quint16 &key, TShiftState shift) {
        dbgPadraoKeyDown(sender, key, shift);
    };
    syncPageMenu();
}

TfrmPadrao::~TfrmPadrao()
{
    // The children are destroyed after this body; none of their events may
    // reach a handler of this half-destroyed screen.
    OnCreate = nullptr;
    OnClose = nullptr;
    OnDestroy = nullptr;
    OnShow = nullptr;
    pgcPadrao->OnChange = nullptr;
}

// --- base handlers

void TfrmPadrao::FormCreate(QObject *)
{
    lblCodTela->setText(m_codTela);
    syncPageMenu();
}

void TfrmPadrao::FormClose(QObject *, TCloseAction &Action)
{
    Action = caFree;
}

void TfrmPadrao::FormDestroy(QObject *)
{
    // Nothing of the base screen outlives it: its components are children.
    dtsPadrao->setDataSet(nullptr);
}

void TfrmPadrao::pgcPadraoChange(QObject *)
{
    syncPageMenu();
}

void TfrmPadrao::sbtVerificarClick(QObject *)
{
    dbgPadrao->viewport()->update();
}

void TfrmPadrao::dbgPadraoKeyDown(QObject *, quint16 &Key, TShiftState Shift)
{
    if (Key == VK_F5 && sbtVerificar->isEnabled()) {
        Key = 0;
        sbtVerificar->Click();
    } else if (Key == 'F' && Shift.testFlag(ssCtrl) && sbtProcurar->isEnabled()) {
        Key = 0;
        sbtProcurar->Click();
    }
}

void TfrmPadrao::syncPageMenu()
{
    TTabSheet *page = pgcPadrao->ActivePage();
    mnuFolhaDados->setChecked(page == tshFolhaDados);
    mnuFormulario->setChecked(page == tshFormulario);
}

// --- lifecycle

void TfrmPadrao::DoCreate()
{
    if (OnCreate)
        OnCreate(this);
}

QMdiSubWindow *TfrmPadrao::subWindow() const
{
    return qobject_cast<QMdiSubWindow *>(parentWidget());
}

QWidget *TfrmPadrao::frameWindow()
{
    if (QMdiSubWindow *sub = subWindow())
        return sub;
    return this;
}

void TfrmPadrao::Close()
{
    if (m_destroyed)
        return;
    frameWindow()->close();
}

void TfrmPadrao::Release()
{
    dispose();
}

void TfrmPadrao::dispose()
{
    if (m_destroyed)
        return;
    m_destroyed = true;
    try {
        if (OnDestroy)
            OnDestroy(this);
    } catch (...) {
        Application->HandleException(std::current_exception());
    }
    // Deleted once control is back in the event loop: the close or the
    // handler that led here is still running on this object.
    frameWindow()->deleteLater();
}

void TfrmPadrao::closeEvent(QCloseEvent *event)
{
    if (m_destroyed || m_closing) {
        event->accept();
        return;
    }
    TCloseAction action = caHide;
    bool failed = false;
    m_closing = true;
    try {
        if (OnClose)
            OnClose(this, action);
    } catch (...) {
        failed = true;
        Application->HandleException(std::current_exception());
    }
    m_closing = false;
    // A close handler that failed keeps the screen open, as caNone does.
    if (failed || action == caNone) {
        event->ignore();
        return;
    }
    if (action == caMinimize) {
        event->ignore();
        setWindowState(wsMinimized);
        return;
    }
    event->accept();
    if (action == caFree)
        dispose();
}

void TfrmPadrao::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    Application->Guard([this] {
        if (OnShow)
            OnShow(this);
    });
}

void TfrmPadrao::fixDesign()
{
    if (m_designFixed)
        return;
    m_designFixed = true;
    QWidget *frame = frameWindow();
    if (!frame->isVisible()) {
        frame->ensurePolished();
        layOutHidden(frame);
    }
    for (TDBGrid *grid : findChildren<TDBGrid *>())
        grid->setDesignWidth(grid->width());
    // Laid out as designed, a splitter's sides share whatever the screen
    // gains beyond its design in the proportion they have now.
    for (QSplitter *splitter : findChildren<QSplitter *>()) {
        splitter->setSizes(splitter->sizes());
        for (int i = 0; i < splitter->count(); ++i)
            splitter->setStretchFactor(i, 1);
    }
}

void TfrmPadrao::Show()
{
    if (QMdiSubWindow *sub = subWindow()) {
        // The MDI area sizes a new sub-window to its content's size hint;
        // the screen's own bounds, set while it had no sub-window, win.
        if (m_pendingBounds.isValid()) {
            sub->setGeometry(m_pendingBounds);
            m_pendingBounds = QRect();
        }
        fixDesign();
        QWidget::show();
        sub->show();
        sub->raise();
        if (QMdiArea *area = sub->mdiArea())
            area->setActiveSubWindow(sub);
        return;
    }
    fixDesign();
    show();
    raise();
    activateWindow();
}

void TfrmPadrao::setWindowState(TWindowState state)
{
    QWidget *target = frameWindow();
    switch (state) {
    case wsNormal:
        if (target->isMinimized() || target->isMaximized())
            target->showNormal();
        break;
    case wsMinimized:
        target->showMinimized();
        break;
    case wsMaximized:
        target->showMaximized();
        break;
    }
}

TWindowState TfrmPadrao::WindowState() const
{
    const QWidget *target = subWindow() ? static_cast<const QWidget *>(subWindow()) : this;
    if (target->isMinimized())
        return wsMinimized;
    if (target->isMaximized())
        return wsMaximized;
    return wsNormal;
}

QString TfrmPadrao::Caption() const
{
    return windowTitle();
}

void TfrmPadrao::setCaption(const QString &caption)
{
    setWindowTitle(caption);
    if (QMdiSubWindow *sub = subWindow())
        sub->setWindowTitle(caption);
}

void TfrmPadrao::setBounds(int left, int top, int width, int height)
{
    if (width < 0 || height < 0)
        throw Exception(
            QStringLiteral("Dimensões inválidas para a tela: %1 x %2").arg(width).arg(height));
    m_pendingBounds = subWindow() ? QRect() : QRect(left, top, width, height);
    frameWindow()->setGeometry(left, top, width, height);
}

void TfrmPadrao::setCodTela(const QString &code)
{
    m_codTela = code;
    lblCodTela->setText(code);
}
