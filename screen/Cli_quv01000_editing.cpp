// Toggling one grant, routing grid input to it, and toggling a whole grid
// from the title of its mark column.

#include "screen/Cli_quv01000.h"

#include "framework/app/application.h"
#include "framework/app/halvern.h"
#include "framework/data/servercheck.h"
#include "framework/widgets/busy.h"
#include "framework/widgets/dialogs.h"

#include <memory>

namespace Cli_quv01000 {

namespace {

const QString Yes = QStringLiteral("S");
const QString No = QStringLiteral("N");

bool selectedIs(const TDBGrid *grid, QLatin1StringView fieldName)
{
    const TField *field = grid->SelectedField();
    return field && field->FieldName() == fieldName;
}

// A toggle needs a row to toggle: on a closed or empty grid every key would
// go out empty and the server would be asked to change nothing in particular.
bool hasCurrentRow(const TDataSet *dataSet)
{
    return dataSet->Active() && !dataSet->IsEmpty() && dataSet->RecNo() > 0;
}

QVariantList tableList(std::initializer_list<QLatin1StringView> names)
{
    QVariantList list;
    for (QLatin1StringView name : names)
        list.append(QString(name));
    return list;
}

} // namespace

// ------------------------------------------------------------ single toggle

void TfrmControleAcesso::alteraCheck(quint8 nrGrid)
{
    ActiveShowAvi(Application->MainForm(), 1);
    try {
        switch (nrGrid) {
        case GridFatosGrup:
        case GridFatosOper: {
            const bool group = nrGrid == GridFatosGrup;
            TClientDataSet *dataSet = group ? cdsFatoOperGrup : cdsFatoOperOper;
            if (!hasCurrentRow(dataSet))
                break;
            stLocatePk1 = dataSet->FieldByName(QStringLiteral("CDTABELADW"))->AsString();
            stLocatePk2 = dataSet->FieldByName(QStringLiteral("CDITEMDW"))->AsString();
            const bool grant = dataSet->FieldByName(QStringLiteral("IDCHECK"))->AsString() == No;
            const QString principal =
                group ? qryOperGrupCDGRUPOPER->AsString() : qryOperOperCDOPERADOR->AsString();
            QVariantList args{stLocatePk1, stLocatePk2, principal, grant, QVariant()};
            const QVariant status = netControleAcesso->AppServer().Call(
                group ? QStringLiteral("setCkFatoOpGrup") : QStringLiteral("setCkFatoOpOper"),
                args);
            CheckResultServ(status, true, 0);
            dataSet->SetData(args[4]);
            dataSet->Locate(QStringLiteral("CDTABELADW;CDITEMDW"),
                            QVariantList{stLocatePk1, stLocatePk2}, TLocateOption::CaseInsensitive);
            Halvern::AtualizaLocalCache(tableList(
                {group ? QLatin1StringView("ITEMDWGRUPOP") : QLatin1StringView("ITEMDWOPER")}));
            break;
        }
        case GridDimeGrup:
        case GridDimeOper: {
            const bool group = nrGrid == GridDimeGrup;
            TClientDataSet *dataSet = group ? cdsDimeOperGrup : cdsDimeOperOper;
            if (!hasCurrentRow(dataSet))
                break;
            bool filterRemoved = false;
            if (dataSet->FieldByName(QStringLiteral("IDFILTRO"))->AsString() == Yes) {
                DeactiveShowAvi();
                if (MessageDlg(msgPadrao->Msg(QStringLiteral("DADOS_DIME")), mtConfirmation,
                               mbYes | mbNo, 0) != mrYes)
                    break;
                ActiveShowAvi(Application->MainForm(), 1);
                filterRemoved = true;
            }
            stLocatePk1 = dataSet->FieldByName(QStringLiteral("NRSEQUEDIME"))->AsString();
            const bool grant = dataSet->FieldByName(QStringLiteral("IDCHECK"))->AsString() == No;
            const QString principal =
                group ? qryOperGrupCDGRUPOPER->AsString() : qryOperOperCDOPERADOR->AsString();
            QVariantList args{stLocatePk1, principal, grant, QVariant()};
            const QVariant status = netControleAcesso->AppServer().Call(
                group ? QStringLiteral("setCkDimeOpGrup") : QStringLiteral("setCkDimeOpOper"),
                args);
            CheckResultServ(status, true, 0);
            dataSet->SetData(args[3]);
            dataSet->Locate(QStringLiteral("NRSEQUEDIME"), QVariantList{stLocatePk1},
                            TLocateOption::CaseInsensitive);
            const QLatin1StringView grants =
                group ? QLatin1StringView("DIMEDWGRUPOP") : QLatin1StringView("DIMEODWOPER");
            const QLatin1StringView filters =
                group ? QLatin1StringView("FILDIMEGRUPOP") : QLatin1StringView("FILDIMEOPER");
            Halvern::AtualizaLocalCache(filterRemoved ? tableList({grants, filters})
                                                      : tableList({grants}));
            break;
        }
        default:
            break;
        }
    } catch (...) {
        DeactiveShowAvi();
        forgetGrantsInDoubt(nrGrid < GridOperador);
        throw;
    }
    DeactiveShowAvi();
}

// ------------------------------------------------------------ input routing

void TfrmControleAcesso::dbgFatosGrupKeyPress(QObject *, QChar &Key)
{
    if (Key == QLatin1Char(' '))
        alteraCheck(GridFatosGrup);
}

void TfrmControleAcesso::dbgDimeGrupKeyPress(QObject *, QChar &Key)
{
    if (Key == QLatin1Char(' '))
        alteraCheck(GridDimeGrup);
}

void TfrmControleAcesso::dbgFatosOperKeyPress(QObject *, QChar &Key)
{
    if (Key == QLatin1Char(' '))
        alteraCheck(GridFatosOper);
}

void TfrmControleAcesso::dbgDimeOperKeyPress(QObject *, QChar &Key)
{
    if (Key == QLatin1Char(' '))
        alteraCheck(GridDimeOper);
}

void TfrmControleAcesso::dbgFatosGrupCellClick(TColumn *)
{
    if (selectedIs(dbgFatosGrup, QLatin1StringView("IDCHECK")))
        alteraCheck(GridFatosGrup);
}

// The clicked column is read before the value search runs: a search that
// stores a filter reloads the grid, which lands on its first column, the
// check column, and the same click would then revoke the dimension it has
// just filtered.
void TfrmControleAcesso::dbgDimeGrupCellClick(TColumn *)
{
    const bool onSearch = selectedIs(dbgDimeGrup, QLatin1StringView("IDPESQ"));
    const bool onCheck = selectedIs(dbgDimeGrup, QLatin1StringView("IDCHECK"));
    if (onSearch && cdsDimeOperGrupIDPESQ->AsString() == Yes)
        pesqFiltro(QStringLiteral("G") + qryOperGrupCDGRUPOPER->AsString());
    if (onCheck)
        alteraCheck(GridDimeGrup);
}

void TfrmControleAcesso::dbgFatosOperCellClick(TColumn *)
{
    if (selectedIs(dbgFatosOper, QLatin1StringView("IDCHECK")))
        alteraCheck(GridFatosOper);
}

void TfrmControleAcesso::dbgDimeOperCellClick(TColumn *)
{
    const bool onSearch = selectedIs(dbgDimeOper, QLatin1StringView("IDPESQ"));
    const bool onCheck = selectedIs(dbgDimeOper, QLatin1StringView("IDCHECK"));
    if (onSearch && cdsDimeOperOperIDPESQ->AsString() == Yes)
        pesqFiltro(QStringLiteral("O") + qryOperOperCDOPERADOR->AsString());
    if (onCheck)
        alteraCheck(GridDimeOper);
}

// A double click arrives as a click and then a double click. On the check
// column the click has already toggled the row; toggling again would undo it
// (and, for a dimension whose filter the user just agreed to drop, give the
// grant back without its filter). Everywhere else the double click is the
// only toggle.
void TfrmControleAcesso::dbgFatosGrupDblClick(QObject *)
{
    if (!selectedIs(dbgFatosGrup, QLatin1StringView("IDCHECK")))
        alteraCheck(GridFatosGrup);
}

void TfrmControleAcesso::dbgDimeGrupDblClick(QObject *)
{
    if (!selectedIs(dbgDimeGrup, QLatin1StringView("IDPESQ")) &&
        !selectedIs(dbgDimeGrup, QLatin1StringView("IDCHECK")))
        alteraCheck(GridDimeGrup);
}

void TfrmControleAcesso::dbgFatosOperDblClick(QObject *)
{
    if (!selectedIs(dbgFatosOper, QLatin1StringView("IDCHECK")))
        alteraCheck(GridFatosOper);
}

void TfrmControleAcesso::dbgDimeOperDblClick(QObject *)
{
    if (!selectedIs(dbgDimeOper, QLatin1StringView("IDPESQ")) &&
        !selectedIs(dbgDimeOper, QLatin1StringView("IDCHECK")))
        alteraCheck(GridDimeOper);
}

// --------------------------------------------------------------- toggle all

TfrmControleAcesso::TitleToggle TfrmControleAcesso::titleToggle(TDBGrid *grid) const
{
    if (grid == dbgFatosGrup)
        return {dbgFatosGrup,
                cdsFatoOperGrup,
                qryOperGrupCDGRUPOPER,
                QLatin1StringView("GI"),
                &boTChkFatoOpGrup,
                QLatin1StringView("setTChkFatoOpGrup"),
                false,
                {},
                QLatin1StringView("ITEMDWGRUPOP"),
                {}};
    if (grid == dbgFatosOper)
        return {dbgFatosOper,
                cdsFatoOperOper,
                qryOperOperCDOPERADOR,
                QLatin1StringView("OI"),
                &boTChkFatoOpOper,
                QLatin1StringView("setTChkFatoOpOper"),
                false,
                {},
                QLatin1StringView("ITEMDWOPER"),
                {}};
    if (grid == dbgDimeGrup)
        return {dbgDimeGrup,
                cdsDimeOperGrup,
                qryOperGrupCDGRUPOPER,
                QLatin1StringView("GD"),
                &boTChkDimeOpGrup,
                QLatin1StringView("setTChkDimeOpGrup"),
                true,
                QLatin1StringView("CLEAR_DIME_GRUPO"),
                QLatin1StringView("DIMEDWGRUPOP"),
                QLatin1StringView("FILDIMEGRUPOP")};
    return {dbgDimeOper,
            cdsDimeOperOper,
            qryOperOperCDOPERADOR,
            QLatin1StringView("OD"),
            &boTChkDimeOpOper,
            QLatin1StringView("setTChkDimeOpOper"),
            true,
            QLatin1StringView("CLEAR_DIME_OPER"),
            QLatin1StringView("DIMEODWOPER"),
            QLatin1StringView("FILDIMEOPER")};
}

bool TfrmControleAcesso::titleClickApplies(const TitleToggle &t, TColumn *Column) const
{
    const int index = IndiceCol(t.grid, QStringLiteral("IDCHECK"));
    if (index < 0 || t.grid->Column(index) != Column)
        return false;
    // Without a selected principal there is nobody to grant to.
    return t.principal->DataSet()->Active() && !t.principal->DataSet()->IsEmpty();
}

QString TfrmControleAcesso::toggleKey(const TitleToggle &t) const
{
    return QString(t.prefix) + t.principal->AsString();
}

bool TfrmControleAcesso::findToggleKey(const QString &key)
{
    return cdsTestaCheck->Locate(QStringLiteral("CDCODIGOPAI"), QVariantList{key},
                                 TLocateOption::CaseInsensitive);
}

void TfrmControleAcesso::titleClick(const TitleToggle &t, TColumn *Column)
{
    std::unique_ptr<TClientDataSet> packet;
    try {
        if (!titleClickApplies(t, Column))
            return;

        const QString key = toggleKey(t);
        auto addKey = [&] {
            cdsTestaCheck->Append();
            cdsTestaCheckCDCODIGOPAI->setAsString(key);
            cdsTestaCheck->Post();
        };

        if (!cdsTestaCheck->Active()) {
            cdsTestaCheck->CreateDataSet();
            *t.flag = vd_check(QVariant::fromValue(t.dataSet->Data()), key);
            if (findToggleKey(key))
                cdsTestaCheck->Delete();
            else
                addKey();
        } else if (findToggleKey(key)) {
            cdsTestaCheck->Delete();
            *t.flag = false;
        } else {
            addKey();
            *t.flag = true;
        }

        if (t.dimensions && !*t.flag &&
            MessageDlg(msgPadrao->Msg(QString(t.confirmation)), mtConfirmation, mbYes | mbNo, 0) !=
                mrYes) {
            if (!findToggleKey(key))
                addKey();
            return;
        }

        ActiveShowAvi(Application->MainForm(), 1);
        packet = std::make_unique<TClientDataSet>(this);
        packet->SetData(t.dataSet->Data());
        const QVariant current = QVariant::fromValue(packet->Data());
        const QString code = t.principal->AsString();
        QVariantList args = t.dimensions ? QVariantList{code, current, *t.flag, QVariant()}
                                         : QVariantList{code, current, QVariant(), *t.flag};
        const QVariant status = netControleAcesso->AppServer().Call(QString(t.method), args);
        CheckResultServ(status, true, 0);
        t.dataSet->SetData(args[t.dimensions ? 3 : 2]);
        DeactiveShowAvi();
        packet.reset();
        Halvern::AtualizaLocalCache(t.dimensions && !*t.flag
                                        ? tableList({t.grantTable, t.filterTable})
                                        : tableList({t.grantTable}));
    } catch (...) {
        DeactiveShowAvi();
        forgetGrantsInDoubt(t.dataSet == cdsFatoOperGrup || t.dataSet == cdsDimeOperGrup);
        throw;
    }
}

void TfrmControleAcesso::dbgFatosGrupTitleClick(TColumn *Column)
{
    titleClick(titleToggle(dbgFatosGrup), Column);
}

void TfrmControleAcesso::dbgFatosOperTitleClick(TColumn *Column)
{
    titleClick(titleToggle(dbgFatosOper), Column);
}

void TfrmControleAcesso::dbgDimeGrupTitleClick(TColumn *Column)
{
    titleClick(titleToggle(dbgDimeGrup), Column);
}

void TfrmControleAcesso::dbgDimeOperTitleClick(TColumn *Column)
{
    titleClick(titleToggle(dbgDimeOper), Column);
}

bool TfrmControleAcesso::vd_check(const QVariant &Data, QString Key)
{
    auto copy = std::make_unique<TClientDataSet>(this);
    copy->SetData(Data);
    copy->First();
    const QString prefix = Key.left(2);
    const QString principal = Key.mid(2, 53);
    auto equal = [&](const char *a, const char *b) {
        return copy->FieldByName(QString::fromLatin1(a))->AsString() ==
               copy->FieldByName(QString::fromLatin1(b))->AsString();
    };
    auto is = [&](const char *field) {
        return copy->FieldByName(QString::fromLatin1(field))->AsString() == principal;
    };
    while (!copy->Eof()) {
        bool matches = false;
        if (prefix == QLatin1StringView("GI"))
            matches = equal("CDTABELADWCTAC", "CDTABELADW") && equal("CDITEMDWCTAC", "CDITEMDW") &&
                      is("CDGRUPOPERCTAC");
        else if (prefix == QLatin1StringView("OI"))
            matches = equal("CDTABELADWCTAC", "CDTABELADW") && equal("CDITEMDWCTAC", "CDITEMDW") &&
                      is("CDOPERADORCTAC");
        else if (prefix == QLatin1StringView("GD"))
            matches = equal("NRSEQUEDIMECTAC", "NRSEQUEDIME") && is("CDGRUPOPERCTAC");
        else if (prefix == QLatin1StringView("OD"))
            matches = equal("NRSEQUEDIMECTAC", "NRSEQUEDIME") && is("CDOPERADORCTAC");
        if (matches)
            return false;
        copy->Next();
    }
    return true;
}

} // namespace Cli_quv01000
