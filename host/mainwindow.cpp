#include "mainwindow.h"

#include "windowplacement.h"

#include <QAction>
#include <QCloseEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QStatusBar>

#include <algorithm>

namespace quv::host {

namespace {
constexpr int StatusTimeoutMs = 10000;
}

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), m_mdiArea(new QMdiArea(this))
{
    setObjectName(QStringLiteral("frmPrincipal"));
    setWindowTitle(QStringLiteral("QUV - Data Warehouse"));
    m_mdiArea->setObjectName(QStringLiteral("mdiArea"));
    m_mdiArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_mdiArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(m_mdiArea);
    new SubWindowPlacement(m_mdiArea);

    QMenu *modules = menuBar()->addMenu(QStringLiteral("&Módulos"));
    modules->setObjectName(QStringLiteral("mnuModulos"));
    QAction *quv = modules->addAction(QStringLiteral("Controle de Acesso do QUV"));
    quv->setObjectName(QStringLiteral("actQUV01000"));
    quv->setData(QStringLiteral("QUV01000"));
    connect(quv, &QAction::triggered, this,
            [this] { emit screenRequested(QStringLiteral("QUV01000")); });
    QAction *history = modules->addAction(QStringLiteral("&Histórico de alterações de acesso…"));
    history->setObjectName(QStringLiteral("actQUV01000Historico"));
    connect(history, &QAction::triggered, this, [this] {
        emit screenEntryRequested(QStringLiteral("QUV01000"), QStringLiteral("IniProcHistorico"));
    });
    modules->addSeparator();
    QAction *quit = modules->addAction(QStringLiteral("&Sair"));
    quit->setObjectName(QStringLiteral("actSair"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, this, &QWidget::close);

    m_windowMenu = menuBar()->addMenu(QStringLiteral("&Janela"));
    m_windowMenu->setObjectName(QStringLiteral("mnuJanela"));
    QAction *cascade = m_windowMenu->addAction(QStringLiteral("&Cascata"));
    cascade->setObjectName(QStringLiteral("actCascata"));
    connect(cascade, &QAction::triggered, m_mdiArea, &QMdiArea::cascadeSubWindows);
    QAction *tile = m_windowMenu->addAction(QStringLiteral("&Lado a lado"));
    tile->setObjectName(QStringLiteral("actLadoALado"));
    connect(tile, &QAction::triggered, m_mdiArea, &QMdiArea::tileSubWindows);
    QAction *closeAll = m_windowMenu->addAction(QStringLiteral("&Fechar todas"));
    closeAll->setObjectName(QStringLiteral("actFecharTodas"));
    connect(closeAll, &QAction::triggered, m_mdiArea, &QMdiArea::closeAllSubWindows);

    statusBar()->setObjectName(QStringLiteral("stbPrincipal"));
    statusBar()->showMessage(QStringLiteral("Pronto"));
    resize(1100, 760);
}

QAction *MainWindow::openAction(const QString &screenCode) const
{
    return findChild<QAction *>(QStringLiteral("act") + screenCode);
}

void MainWindow::showStatus(const QString &text)
{
    statusBar()->showMessage(text, StatusTimeoutMs);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    m_mdiArea->closeAllSubWindows();
    // Closed screens stay in the list, hidden, until their deferred deletion.
    const QList<QMdiSubWindow *> windows = m_mdiArea->subWindowList();
    if (std::any_of(windows.cbegin(), windows.cend(),
                    [](const QMdiSubWindow *w) { return w->isVisible(); })) {
        event->ignore();
        return;
    }
    event->accept();
}

} // namespace quv::host
