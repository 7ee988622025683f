#include "screen/Cli_quv01000.h"

#include "framework/app/application.h"
#include "framework/app/halvern.h"
#include "framework/widgets/busy.h"
#include "framework/widgets/controls.h"
#include "framework/widgets/padrao.h"

namespace Cli_quv01000 {

TfrmControleAcesso *frmControleAcesso = nullptr;
bool boIdCriado = false;
quint8 byNrGrid = 0;
QString stLocatePk1;
QString stLocatePk2;
bool boTChkFatoOpGrup = true;
bool boTChkFatoOpOper = true;
bool boTChkDimeOpGrup = true;
bool boTChkDimeOpOper = true;

namespace {
// Initialization and finalization may be asked for more than once (nested
// package loads); only the outermost pair does the work.
int initializationCount = 0;
} // namespace

void initialization()
{
    if (initializationCount++ != 0)
        return;
    boIdCriado = false;
    boTChkFatoOpGrup = true;
    boTChkFatoOpOper = true;
    boTChkDimeOpGrup = true;
    boTChkDimeOpOper = true;
}

void finalization()
{
    if (initializationCount == 0 || --initializationCount != 0)
        return;
    stLocatePk2.clear();
    stLocatePk1.clear();
}

void criaControleAcesso()
{
    ActiveShowAvi(Application->MainForm(), 1);
    Screen->setCursor(crHourGlass);
    try {
        if (!boIdCriado) {
            Application->CreateForm(frmControleAcesso);
            boIdCriado = true;
        }
        frmControleAcesso->setWindowState(wsNormal);
        frmControleAcesso->Show();
    } catch (...) {
        Screen->setCursor(crDefault);
        DeactiveShowAvi();
        throw;
    }
    Screen->setCursor(crDefault);
    DeactiveShowAvi();
}

TfrmControleAcesso::~TfrmControleAcesso()
{
    // The framework disposes of a closed screen, and the host of any screen
    // still open when it quits, without a close: never leave the unit
    // pointing at a deleted instance, nor believing it still exists.
    if (frmControleAcesso == this) {
        frmControleAcesso = nullptr;
        boIdCriado = false;
    }
}

void TfrmControleAcesso::FormCreate(QObject *Sender)
{
    TfrmPadrao::FormCreate(Sender);
    netControleAcesso->setConnected(true);
    qryOperGrup->Open();
    qryOperOper->Open();
    pgcPadrao->SetActivePage(tshFolhaDados);
}

void TfrmControleAcesso::netControleAcessoBeforeConnect(QObject *)
{
    netControleAcesso->Host = Halvern::WebURL();
    netControleAcesso->Port = Halvern::WebPort();
}

void TfrmControleAcesso::FormClose(QObject *Sender, TCloseAction &Action)
{
    TfrmPadrao::FormClose(Sender, Action);
    boIdCriado = false;
}

void TfrmControleAcesso::FormDestroy(QObject *Sender)
{
    TfrmPadrao::FormDestroy(Sender);
    netControleAcesso->setConnected(false);
}

} // namespace Cli_quv01000
