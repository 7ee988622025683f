#pragma once

// The base screen every data screen derives from: a tool bar, a main menu, a
// page control with a data-sheet page (a grid) and a form page, and a
// navigator bar. Behaviour hangs on handler properties (OnCreate, OnClose...)
// that the constructor binds to the base handlers; a derived screen binds
// them again to its own handlers of the same names, which call the base
// handler first. There are no virtual handlers.

#include "framework/app/application.h"

#include <QRect>
#include <QString>
#include <QWidget>

#include <functional>

class QAction;
class QHBoxLayout;
class QLabel;
class QMdiSubWindow;
class QMenu;
class QMenuBar;
class QVBoxLayout;
class TDataSource;
class TDBGrid;
class TDBNavigator;
class TDBText;
class TMessages;
class TPageControl;
class TPanel;
class TScrollBox;
class TSpeedButton;
class TTabSheet;

class TfrmPadrao : public QWidget
{
    Q_OBJECT
public:
    explicit TfrmPadrao(QWidget *parent = nullptr);
    /// Frees the components; runs no handler.
    ~TfrmPadrao() override;

    // --- components (objectName = member name)
    QMenuBar *mnuMenu;
    QMenu *mnuOperacao;
    QAction *mnuFolhaDados;
    QAction *mnuFormulario;
    QAction *mnuListagem;
    QAction *mnuConfigImpressora;
    QMenu *mnuManutencao;
    QAction *mnuIncluir;
    QAction *mnuAlterar;
    QAction *mnuExcluir;
    QAction *mnuCancelar;
    QAction *mnuConfirmar;

    TPanel *panMenu;
    TSpeedButton *sbtProcurar;
    TSpeedButton *sbtVerificar;
    TSpeedButton *sbtImprimir;
    QLabel *lblCodTela;

    TPageControl *pgcPadrao;
    TTabSheet *tshFolhaDados;
    TPanel *panDbgPadrao;
    TScrollBox *scbFolhaDados;
    TDBGrid *dbgPadrao;
    TTabSheet *tshFormulario;
    TPanel *panFormulario;
    TScrollBox *scbFormulario;

    TPanel *panNavigator;
    TDBNavigator *dbnPadrao;
    TDBText *dbtRegistro;

    TDataSource *dtsPadrao;
    TMessages *msgPadrao;
    TMessages *msgMensagensPadroes;
    QMenu *pmnNavegar;
    QObject *prdImprimir;
    QObject *psdConfigurar;

    /// Layouts a derived screen inserts into: the data-sheet page (holding
    /// panDbgPadrao), the content of scbFormulario (empty), and the tool bar
    /// (buttons, a stretch, then lblCodTela).
    QVBoxLayout *folhaDadosLayout() const { return m_folhaDadosLayout; }
    QVBoxLayout *formularioLayout() const { return m_formularioLayout; }
    QHBoxLayout *toolBarLayout() const { return m_toolBarLayout; }

    // --- handler properties
    std::function<void(QObject *Sender)> OnCreate;
    std::function<void(QObject *Sender)> OnDestroy;
    std::function<void(QObject *Sender)> OnShow;
    std::function<void(QObject *Sender, TCloseAction &Action)> OnClose;

    // --- base handlers
    /// Shows the screen code and checks the menu item of the active page.
    void FormCreate(QObject *Sender);
    /// Action = caFree: a closed screen is disposed of.
    void FormClose(QObject *Sender, TCloseAction &Action);
    void FormDestroy(QObject *Sender);
    /// Keeps mnuFolhaDados / mnuFormulario checked as the active page.
    void pgcPadraoChange(QObject *Sender);
    /// The base refresh only repaints the data sheet; screens reload data.
    void sbtVerificarClick(QObject *Sender);
    /// F5 clicks sbtVerificar, Ctrl+F clicks sbtProcurar, when enabled.
    void dbgPadraoKeyDown(QObject *Sender, quint16 &Key, TShiftState Shift);

    // --- lifecycle
    /// Runs OnCreate; its exceptions reach the caller.
    void DoCreate();
    /// Closes as the user would: OnClose decides (caNone keeps the screen).
    void Close();
    /// Disposes of the screen: OnDestroy (once), then deletion later.
    void Release();
    bool Destroying() const { return m_destroyed; }

    /// Shows the screen. The first time, before anything is on screen, every
    /// control is laid out at the screen's bounds: its design. A larger
    /// screen then goes to each grid's Stretch column, and is shared among
    /// the sides of each splitter in the proportion of their designed sizes.
    void Show();
    void setWindowState(TWindowState state);
    TWindowState WindowState() const;
    QString Caption() const;
    void setCaption(const QString &caption);
    /// Outer geometry inside the MDI area (of the window itself without one).
    /// Bounds set before the screen is placed in the MDI area are kept and
    /// given to its sub-window when the screen is first shown there.
    void setBounds(int left, int top, int width, int height);
    QString CodTela() const { return m_codTela; }
    void setCodTela(const QString &code);

    /// The MDI sub-window holding the screen, or nullptr.
    QMdiSubWindow *subWindow() const;

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    QWidget *frameWindow();
    void fixDesign();
    void dispose();
    void syncPageMenu();

    QVBoxLayout *m_folhaDadosLayout = nullptr;
    QVBoxLayout *m_formularioLayout = nullptr;
    QHBoxLayout *m_toolBarLayout = nullptr;
    QString m_codTela;
    QRect m_pendingBounds;
    bool m_destroyed = false;
    bool m_closing = false;
    bool m_designFixed = false;
};
