// Calculated marks of the grant datasets and their pictures in the grids.

#include "screen/Cli_quv01000.h"

#include "framework/app/utils.h"
#include "framework/widgets/controls.h"

namespace Cli_quv01000 {

namespace {

const QString Yes = QStringLiteral("S");
const QString No = QStringLiteral("N");

// Every comparison of the marks is exact: whole values, case-sensitive.
bool same(const TField *a, const TField *b)
{
    return a->AsString() == b->AsString();
}

void factMarks(TField *table, TField *item, TField *tableGrant, TField *itemGrant, TField *check)
{
    check->setAsString(same(tableGrant, table) && same(itemGrant, item) ? Yes : No);
}

void dimensionMarks(TField *number, TField *valueTable, TField *numberGrant, TField *principalGrant,
                    TField *numberFilter, TField *principalFilter, TField *principal, TField *check,
                    TField *search, TField *filter)
{
    check->setAsString(same(numberGrant, number) && same(principalGrant, principal) ? Yes : No);
    if (EmptyString(valueTable->AsString()))
        search->setAsString(No);
    else
        search->setAsString(check->AsString() == Yes ? Yes : No);
    if (check->AsString() == No || search->AsString() == No)
        filter->setAsString(No);
    else
        filter->setAsString(same(numberFilter, number) && same(principalFilter, principal) ? Yes
                                                                                           : No);
}

} // namespace

void TfrmControleAcesso::cdsFatoOperGrupCalcFields(TDataSet *)
{
    factMarks(cdsFatoOperGrupCDTABELADW, cdsFatoOperGrupCDITEMDW, cdsFatoOperGrupCDTABELADWCTAC,
              cdsFatoOperGrupCDITEMDWCTAC, cdsFatoOperGrupIDCHECK);
}

void TfrmControleAcesso::cdsFatoOperOperCalcFields(TDataSet *)
{
    factMarks(cdsFatoOperOperCDTABELADW, cdsFatoOperOperCDITEMDW, cdsFatoOperOperCDTABELADWCTAC,
              cdsFatoOperOperCDITEMDWCTAC, cdsFatoOperOperIDCHECK);
}

void TfrmControleAcesso::cdsDimeOperGrupCalcFields(TDataSet *)
{
    dimensionMarks(cdsDimeOperGrupNRSEQUEDIME, cdsDimeOperGrupCDTABELADIME,
                   cdsDimeOperGrupNRSEQUEDIMECTAC, cdsDimeOperGrupCDGRUPOPERCTAC,
                   cdsDimeOperGrupNRSEQUEDIMEFIL, cdsDimeOperGrupCDGRUPOPERFIL,
                   qryOperGrupCDGRUPOPER, cdsDimeOperGrupIDCHECK, cdsDimeOperGrupIDPESQ,
                   cdsDimeOperGrupIDFILTRO);
}

void TfrmControleAcesso::cdsDimeOperOperCalcFields(TDataSet *)
{
    dimensionMarks(cdsDimeOperOperNRSEQUEDIME, cdsDimeOperOperCDTABELADIME,
                   cdsDimeOperOperNRSEQUEDIMECTAC, cdsDimeOperOperCDOPERADORCTAC,
                   cdsDimeOperOperNRSEQUEDIMEFIL, cdsDimeOperOperCDOPERADORFIL,
                   qryOperOperCDOPERADOR, cdsDimeOperOperIDCHECK, cdsDimeOperOperIDPESQ,
                   cdsDimeOperOperIDFILTRO);
}

void TfrmControleAcesso::drawColumn(QObject *Sender, const QRect &Rect, int, TColumn *Column,
                                    TGridDrawState)
{
    const TImage *forYes = nullptr;
    const TImage *forNo = nullptr;
    if (Column->FieldName == QLatin1StringView("IDCHECK")) {
        forYes = imgCheck;
        forNo = imgUncheck;
    } else if (Column->FieldName == QLatin1StringView("IDFILTRO")) {
        forYes = imgFiltro;
        forNo = imgEmpty;
    } else if (Column->FieldName == QLatin1StringView("IDPESQ")) {
        forYes = imgPesqTrue;
        forNo = imgPesqFalse;
    } else {
        return;
    }

    auto *grid = qobject_cast<TDBGrid *>(Sender);
    if (!grid || !grid->Canvas())
        return;
    // The value of the row being painted, which need not be the current one.
    QString value;
    const QModelIndex index = grid->indexAt(Rect.center());
    if (TField *field = Column->Field(); field && index.isValid() && grid->DataSet())
        value = grid->DataSet()->CellText(index.row(), field);

    QImage bitmap;
    if (value == QLatin1StringView(" ") || value == No)
        bitmap = forNo->Picture();
    else if (value == Yes)
        bitmap = forYes->Picture();

    TCanvas *canvas = grid->Canvas();
    canvas->FillRect(Rect);
    if (bitmap.isNull())
        return;
    // Unscaled, one pixel in from the left and flush with the top; a cell
    // lower than the picture shows its upper part only.
    const int height = std::min(Rect.height(), bitmap.height());
    canvas->BrushCopy(QRect(Rect.left() + 1, Rect.top(), bitmap.width(), height), bitmap,
                      QRect(0, 0, bitmap.width(), height), QColor(128, 128, 0));
}

void TfrmControleAcesso::dbgPadraoDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol,
                                                 TColumn *Column, TGridDrawState State)
{
    drawColumn(Sender, Rect, DataCol, Column, State);
}

void TfrmControleAcesso::dbgFatosGrupDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol,
                                                    TColumn *Column, TGridDrawState State)
{
    drawColumn(Sender, Rect, DataCol, Column, State);
}

void TfrmControleAcesso::dbgDimeGrupDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol,
                                                   TColumn *Column, TGridDrawState State)
{
    drawColumn(Sender, Rect, DataCol, Column, State);
}

void TfrmControleAcesso::dbgOperadorDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol,
                                                   TColumn *Column, TGridDrawState State)
{
    drawColumn(Sender, Rect, DataCol, Column, State);
}

void TfrmControleAcesso::dbgFatosOperDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol,
                                                    TColumn *Column, TGridDrawState State)
{
    drawColumn(Sender, Rect, DataCol, Column, State);
}

void TfrmControleAcesso::dbgDimeOperDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol,
                                                   TColumn *Column, TGridDrawState State)
{
    drawColumn(Sender, Rect, DataCol, Column, State);
}

} // namespace Cli_quv01000
