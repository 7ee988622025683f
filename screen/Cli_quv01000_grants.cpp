// Loading the grants of the selected principal, focus and navigation.

#include "screen/Cli_quv01000.h"

#include "framework/app/application.h"
#include "framework/app/utils.h"
#include "framework/data/servercheck.h"
#include "framework/widgets/busy.h"
#include "framework/widgets/controls.h"
#include "framework/widgets/dbctrls.h"
#include "framework/widgets/search.h"

#include <QApplication>

namespace Cli_quv01000 {

namespace {

struct GridBinding
{
    TDataSource *source;
    const char *captionField;
};

// What each grid number binds the navigator and the record caption to.
GridBinding bindingOf(TfrmControleAcesso *form, quint8 nrGrid)
{
    switch (nrGrid) {
    case GridPadrao:
        return {form->dtsOperGrup, "DSGRUPOPER"};
    case GridFatosGrup:
        return {form->dtsFatoOperGrup, "NMITEMDW"};
    case GridDimeGrup:
        return {form->dtsDimeOperGrup, "NMITEMDIME"};
    case GridOperador:
        return {form->dtsOperOper, "NMOPERADOR"};
    case GridFatosOper:
        return {form->dtsFatoOperOper, "NMITEMDW"};
    case GridDimeOper:
        return {form->dtsDimeOperOper, "NMITEMDIME"};
    default:
        return {nullptr, nullptr};
    }
}

// Focusing a grid must run its enter handler even while the window is not
// active (Qt then only records the focus and delivers no focus-in event).
void focusGrid(TDBGrid *grid)
{
    grid->setFocus(Qt::OtherFocusReason);
    if (QApplication::focusWidget() != grid && grid->OnEnter)
        grid->OnEnter(grid);
}

} // namespace

void TfrmControleAcesso::qryOperGrupAfterScroll(TDataSet *)
{
    changeRow(QStringLiteral("G") + qryOperGrupCDGRUPOPER->AsString());
}

void TfrmControleAcesso::qryOperOperAfterScroll(TDataSet *)
{
    changeRow(QStringLiteral("O") + qryOperOperCDOPERADOR->AsString());
}

void TfrmControleAcesso::changeRow(const QString &key)
{
    if (EmptyString(key))
        return;
    QString method;
    TClientDataSet *facts = nullptr;
    TClientDataSet *dimensions = nullptr;
    if (key.front() == QLatin1Char('G')) {
        method = QStringLiteral("getOperGrup");
        facts = cdsFatoOperGrup;
        dimensions = cdsDimeOperGrup;
    } else if (key.front() == QLatin1Char('O')) {
        method = QStringLiteral("getOperOper");
        facts = cdsFatoOperOper;
        dimensions = cdsDimeOperOper;
    } else {
        return;
    }
    const QString code = key.mid(1);

    ActiveShowAvi(Application->MainForm(), 1);
    try {
        QVariantList args{code, QVariant(), QVariant()};
        const QVariant status = netControleAcesso->AppServer().Call(method, args);
        CheckResultServ(status, true, 0);
        facts->SetData(args[1]);
        dimensions->SetData(args[2]);
    } catch (...) {
        // The list already stands on the new principal: grants left from the
        // previous one would read, and could be edited, as this one's.
        facts->Close();
        dimensions->Close();
        DeactiveShowAvi();
        throw;
    }
    DeactiveShowAvi();
}

void TfrmControleAcesso::dbgPadraoEnter(QObject *)
{
    byNrGrid = GridPadrao;
    navigator();
}

void TfrmControleAcesso::dbgFatosGrupEnter(QObject *)
{
    byNrGrid = GridFatosGrup;
    navigator();
}

void TfrmControleAcesso::dbgDimeGrupEnter(QObject *)
{
    byNrGrid = GridDimeGrup;
    navigator();
}

void TfrmControleAcesso::dbgOperadorEnter(QObject *)
{
    byNrGrid = GridOperador;
    navigator();
}

void TfrmControleAcesso::dbgFatosOperEnter(QObject *)
{
    byNrGrid = GridFatosOper;
    navigator();
}

void TfrmControleAcesso::dbgDimeOperEnter(QObject *)
{
    byNrGrid = GridDimeOper;
    navigator();
}

void TfrmControleAcesso::navigator()
{
    dbtRegistro->setDataField(QString());
    dbtRegistro->setDataSource(nullptr);
    dbnPadrao->setDataSource(nullptr);
    const GridBinding binding = bindingOf(this, byNrGrid);
    if (!binding.source)
        return;
    dbnPadrao->setDataSource(binding.source);
    dbtRegistro->setDataSource(binding.source);
    dbtRegistro->setDataField(QString::fromLatin1(binding.captionField));
}

void TfrmControleAcesso::sbtProcurarClick(QObject *)
{
    const GridBinding binding = bindingOf(this, byNrGrid);
    if (!binding.source)
        return;
    TDataSet *dataSet = binding.source->DataSet();
    if (dataSet && dataSet->Active())
        Procura(dataSet);
}

void TfrmControleAcesso::sbtVerificarClick(QObject *Sender)
{
    TfrmPadrao::sbtVerificarClick(Sender);
    if (byNrGrid < GridOperador) {
        stLocatePk1 = qryOperGrupCDGRUPOPER->AsString();
        qryOperGrup->Close();
        qryOperGrup->Open();
        qryOperGrup->Locate(QStringLiteral("CDGRUPOPER"), QVariant(stLocatePk1),
                            TLocateOption::CaseInsensitive);
    } else if (byNrGrid <= GridDimeOper) {
        stLocatePk1 = qryOperOperCDOPERADOR->AsString();
        qryOperOper->Close();
        qryOperOper->Open();
        qryOperOper->Locate(QStringLiteral("CDOPERADOR"), QVariant(stLocatePk1),
                            TLocateOption::CaseInsensitive);
    }
}

void TfrmControleAcesso::pgcPadraoChange(QObject *Sender)
{
    TfrmPadrao::pgcPadraoChange(Sender);
    if (pgcPadrao->ActivePage() == tshFolhaDados)
        focusGrid(dbgPadrao);
    else
        focusGrid(dbgOperador);
    if (sbtVerificar->isEnabled())
        sbtVerificarClick(sbtVerificar);
}

void TfrmControleAcesso::dtsPadraoDataChange(QObject *, TField *) {}

void TfrmControleAcesso::dtsOperGrupStateChange(QObject *) {}

} // namespace Cli_quv01000
