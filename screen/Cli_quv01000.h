#pragma once

// The access-control screen "QUV01000": which facts and dimensions of the
// warehouse each operator group and each operator may use, and which values
// of a granted dimension they may see.
//
// The screen is one class by design; its behaviour is spread over one source
// file per concern:
//   Cli_quv01000.cpp          entry point, single instance, lifecycle
//   Cli_quv01000_layout.cpp   components, layout, pictures, event wiring
//   Cli_quv01000_grants.cpp   loading a principal's grants, focus, navigation
//   Cli_quv01000_marks.cpp    calculated marks and their pictures in the grids
//   Cli_quv01000_editing.cpp  toggling one grant or a whole grid
//   Cli_quv01000_filters.cpp  dimension value filters
//   Cli_quv01000_recovery.cpp   after a failed change: retrying a filter
//                               store, forgetting grants that may be stale
//   Cli_quv01000_titlehint.cpp  what a click on a check column's title will do
//   principalmenu.cpp           the context menu of the two principal lists

#include "framework/app/messages.h"
#include "framework/data/adoquery.h"
#include "framework/data/dataset.h"
#include "framework/data/netconnection.h"
#include "framework/widgets/dbgrid.h"
#include "framework/widgets/padrao.h"

#include <QString>
#include <QVariant>

class QSplitter;
class TImage;
class TPanel;
class TScrollBox;

namespace Cli_quv01000 {

class TfrmControleAcesso;

// Module variables of the unit: one copy per loaded package.
extern TfrmControleAcesso *frmControleAcesso;
extern bool boIdCriado;
extern quint8 byNrGrid;
extern QString stLocatePk1;
extern QString stLocatePk2;
extern bool boTChkFatoOpGrup;
extern bool boTChkFatoOpOper;
extern bool boTChkDimeOpGrup;
extern bool boTChkDimeOpOper;

/// Opens the screen: creates the single instance on first use, otherwise
/// restores and shows the existing one.
void criaControleAcesso();

/// Unit initialization and finalization, run by the package entries.
void initialization();
void finalization();

/// Grid numbers kept in byNrGrid and taken by alteraCheck.
enum GridNumber : quint8
{
    GridPadrao = 0,
    GridFatosGrup = 1,
    GridDimeGrup = 2,
    GridOperador = 3,
    GridFatosOper = 4,
    GridDimeOper = 5,
};

class TfrmControleAcesso : public TfrmPadrao
{
    Q_OBJECT

public:
    explicit TfrmControleAcesso(QWidget *owner = nullptr);
    ~TfrmControleAcesso() override;

    // ---- lifecycle
    void FormCreate(QObject *Sender);
    void FormClose(QObject *Sender, TCloseAction &Action);
    void FormDestroy(QObject *Sender);
    void netControleAcessoBeforeConnect(QObject *Sender);

    // ---- grant loading and navigation
    void changeRow(const QString &key);
    void qryOperGrupAfterScroll(TDataSet *DataSet);
    void qryOperOperAfterScroll(TDataSet *DataSet);
    void dbgPadraoEnter(QObject *Sender);
    void dbgFatosGrupEnter(QObject *Sender);
    void dbgDimeGrupEnter(QObject *Sender);
    void dbgOperadorEnter(QObject *Sender);
    void dbgFatosOperEnter(QObject *Sender);
    void dbgDimeOperEnter(QObject *Sender);
    void navigator();
    void sbtProcurarClick(QObject *Sender);
    void sbtVerificarClick(QObject *Sender);
    void pgcPadraoChange(QObject *Sender);
    void dtsPadraoDataChange(QObject *Sender, TField *Field);
    void dtsOperGrupStateChange(QObject *Sender);

    // ---- calculated marks
    void cdsFatoOperGrupCalcFields(TDataSet *DataSet);
    void cdsFatoOperOperCalcFields(TDataSet *DataSet);
    void cdsDimeOperGrupCalcFields(TDataSet *DataSet);
    void cdsDimeOperOperCalcFields(TDataSet *DataSet);

    // ---- drawing
    void drawColumn(QObject *Sender, const QRect &Rect, int DataCol, TColumn *Column,
                    TGridDrawState State);
    void dbgPadraoDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol, TColumn *Column,
                                 TGridDrawState State);
    void dbgFatosGrupDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol,
                                    TColumn *Column, TGridDrawState State);
    void dbgDimeGrupDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol, TColumn *Column,
                                   TGridDrawState State);
    void dbgOperadorDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol, TColumn *Column,
                                   TGridDrawState State);
    void dbgFatosOperDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol,
                                    TColumn *Column, TGridDrawState State);
    void dbgDimeOperDrawColumnCell(QObject *Sender, const QRect &Rect, int DataCol, TColumn *Column,
                                   TGridDrawState State);

    // ---- grant editing
    void alteraCheck(quint8 nrGrid);
    void dbgFatosGrupKeyPress(QObject *Sender, QChar &Key);
    void dbgDimeGrupKeyPress(QObject *Sender, QChar &Key);
    void dbgFatosOperKeyPress(QObject *Sender, QChar &Key);
    void dbgDimeOperKeyPress(QObject *Sender, QChar &Key);
    void dbgFatosGrupCellClick(TColumn *Column);
    void dbgDimeGrupCellClick(TColumn *Column);
    void dbgFatosOperCellClick(TColumn *Column);
    void dbgDimeOperCellClick(TColumn *Column);
    void dbgFatosGrupDblClick(QObject *Sender);
    void dbgDimeGrupDblClick(QObject *Sender);
    void dbgFatosOperDblClick(QObject *Sender);
    void dbgDimeOperDblClick(QObject *Sender);
    void dbgFatosGrupTitleClick(TColumn *Column);
    void dbgFatosOperTitleClick(TColumn *Column);
    void dbgDimeGrupTitleClick(TColumn *Column);
    void dbgDimeOperTitleClick(TColumn *Column);
    bool vd_check(const QVariant &Data, QString Key);

    // ---- dimension value filters
    void dbgDimeGrupKeyDown(QObject *Sender, quint16 &Key, TShiftState Shift);
    void dbgDimeOperKeyDown(QObject *Sender, quint16 &Key, TShiftState Shift);
    void pesqFiltro(QString key);
    QString listaFiltro(QString key, QString nrSequeDime);
    void FiltraDimensao(QString lista, QString key, QString nrSequeDime);

    // ---- components (named as their objectName)
    TImage *imgCheck, *imgUncheck, *imgPesqTrue, *imgPesqFalse, *imgFiltro, *imgEmpty;

    TPanel *panOperGrup;
    QSplitter *splSepOperGrup;
    QSplitter *splSepFatoDimeGrup;
    TPanel *Panel1, *panNomeFatoGrup, *Panel3;
    TScrollBox *ScrollBox1;
    TDBGrid *dbgFatosGrup;
    TPanel *Panel2, *panNomeDimeGrup, *Panel5;
    TScrollBox *ScrollBox2;
    TDBGrid *dbgDimeGrup;

    TPanel *panOperOper, *Panel4;
    TScrollBox *ScrollBox3;
    TDBGrid *dbgOperador;
    QSplitter *splSepOperOper;
    QSplitter *splSepFatoDimeOper;
    TPanel *Panel6, *panNomeFatoOper, *Panel8;
    TScrollBox *ScrollBox4;
    TDBGrid *dbgFatosOper;
    TPanel *Panel9, *panNomeDimeOper, *Panel11;
    TScrollBox *ScrollBox5;
    TDBGrid *dbgDimeOper;

    TNetConnection *netControleAcesso;

    TADOIBQuery *qryOperGrup;
    TField *qryOperGrupCDGRUPOPER, *qryOperGrupDSGRUPOPER;
    TADOIBQuery *qryOperOper;
    TField *qryOperOperCDOPERADOR, *qryOperOperNMOPERADOR;
    TADOIBQuery *qryListaFiltroGrup;
    TField *qryListaFiltroGrupCDFILDIMEGRUPOP;
    TADOIBQuery *qryListaFiltroOper;
    TField *qryListaFiltroOperCDFILDIMEOPER;
    TADOIBQuery *qryPesqFiltro;
    TDataSetProvider *dspPesqFiltro;

    TClientDataSet *cdsFatoOperGrup;
    TField *cdsFatoOperGrupNMITEMDW, *cdsFatoOperGrupCDTABELADW, *cdsFatoOperGrupCDITEMDW,
        *cdsFatoOperGrupCDTABELADWCTAC, *cdsFatoOperGrupCDITEMDWCTAC,
        *cdsFatoOperGrupCDGRUPOPERCTAC, *cdsFatoOperGrupIDCHECK;
    TClientDataSet *cdsFatoOperOper;
    TField *cdsFatoOperOperNMITEMDW, *cdsFatoOperOperCDTABELADW, *cdsFatoOperOperCDITEMDW,
        *cdsFatoOperOperCDTABELADWCTAC, *cdsFatoOperOperCDITEMDWCTAC,
        *cdsFatoOperOperCDOPERADORCTAC, *cdsFatoOperOperIDCHECK;
    TClientDataSet *cdsDimeOperGrup;
    TField *cdsDimeOperGrupNRSEQUEDIMEFIL, *cdsDimeOperGrupCDGRUPOPERFIL,
        *cdsDimeOperGrupNMITEMDIME, *cdsDimeOperGrupNRSEQUEDIME, *cdsDimeOperGrupCDTABELADIME,
        *cdsDimeOperGrupDSPKDIME, *cdsDimeOperGrupNRSEQUEDIMECTAC, *cdsDimeOperGrupCDGRUPOPERCTAC,
        *cdsDimeOperGrupIDCHECK, *cdsDimeOperGrupIDPESQ, *cdsDimeOperGrupDSITEMDIME,
        *cdsDimeOperGrupIDFILTRO;
    TClientDataSet *cdsDimeOperOper;
    TField *cdsDimeOperOperNMITEMDIME, *cdsDimeOperOperNRSEQUEDIME, *cdsDimeOperOperCDTABELADIME,
        *cdsDimeOperOperDSPKDIME, *cdsDimeOperOperDSITEMDIME, *cdsDimeOperOperNRSEQUEDIMECTAC,
        *cdsDimeOperOperCDOPERADORCTAC, *cdsDimeOperOperNRSEQUEDIMEFIL,
        *cdsDimeOperOperCDOPERADORFIL, *cdsDimeOperOperIDCHECK, *cdsDimeOperOperIDPESQ,
        *cdsDimeOperOperIDFILTRO;
    TClientDataSet *cdsPesqFiltro;
    TClientDataSet *cdsTestaCheck;
    TField *cdsTestaCheckCDCODIGOPAI;

    TDataSource *dtsOperGrup, *dtsOperOper, *dtsFatoOperGrup, *dtsDimeOperGrup, *dtsFatoOperOper,
        *dtsDimeOperOper, *dtsPesqFiltro;

private:
    QVariant executaPesqFiltro(const QString &statement);

    // ---- after a failed change
    /// FiltraDimensao, offering "Tentar novamente" with the same values when
    /// the server call fails; false when the user gave up.
    bool storeFilter(const QString &lista, const QString &key, const QString &nrSequeDime);
    /// When the last call was a change that may have been applied without
    /// an answer, empties the page's grant grids: they may show a state the
    /// server no longer has, until the user presses Atualizar.
    void forgetGrantsInDoubt(bool group);

    void buildLayout();
    void buildDataModule();
    void buildPictures();
    void wireEvents();
    TDBGrid *makeGrantGrid(const QString &name, TDataSource *source);

    // One grant grid's part in toggling all from its check column's title.
    struct TitleToggle
    {
        TDBGrid *grid;
        TClientDataSet *dataSet;
        TField *principal;
        QLatin1StringView prefix;
        bool *flag;
        QLatin1StringView method;
        bool dimensions;
        QLatin1StringView confirmation; // message asked before clearing dimensions
        QLatin1StringView grantTable;
        QLatin1StringView filterTable; // also refreshed after clearing dimensions
    };
    /// The part of one of the four grant grids.
    TitleToggle titleToggle(TDBGrid *grid) const;
    /// A click on this title toggles all: it is the check column's, and a
    /// principal is selected.
    bool titleClickApplies(const TitleToggle &toggle, TColumn *Column) const;
    QString toggleKey(const TitleToggle &toggle) const;
    bool findToggleKey(const QString &key);
    void titleClick(const TitleToggle &toggle, TColumn *Column);

    // What the next title click will do, as the title's tooltip
    // (Cli_quv01000_titlehint.cpp).
    void wireTitleHints();
    QString titleHint(TDBGrid *grid, TColumn *Column);
};

} // namespace Cli_quv01000
