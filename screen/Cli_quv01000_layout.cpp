// Components, layout, pictures and event wiring of the screen.

#include "screen/Cli_quv01000.h"
#include "screen/principalmenu.h"

#include "framework/widgets/controls.h"
#include "framework/widgets/dbctrls.h"
#include "screen/principalmenu.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QSplitter>

namespace Cli_quv01000 {

namespace {

// The colour every picture uses as its background; drawing makes it
// transparent.
const QColor Olive(128, 128, 0);

QFont headerFont()
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    font.setBold(true);
    return font;
}

QFont titleFont(const QString &family)
{
    QFont font(family);
    font.setPixelSize(11);
    return font;
}

template <class T> T *named(T *component, const QString &name)
{
    component->setObjectName(name);
    return component;
}

TPanel *headerPanel(const QString &name, const QString &caption, QWidget *parent)
{
    auto *panel = named(new TPanel(parent), name);
    panel->setCaption(caption);
    panel->setCaptionFont(headerFont());
    panel->setBevelInner(bvNone);
    panel->setBevelOuter(bvNone);
    panel->setFixedHeight(15);
    return panel;
}

// A panel whose children fill it, top to bottom. The panel's own bevel and
// border width already keep them off its edges; `gutter` adds to that.
QVBoxLayout *fillLayout(QWidget *panel, int gutter = 0)
{
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(gutter, gutter, gutter, gutter);
    layout->setSpacing(0);
    return layout;
}

QImage blankPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Olive);
    return image;
}

QImage checkBoxPicture(bool ticked)
{
    QImage image = blankPicture(16, 16);
    QPainter p(&image);
    p.fillRect(QRect(3, 3, 12, 12), QColor(128, 128, 128)); // shadow right and below
    p.fillRect(QRect(1, 1, 12, 12), Qt::white);
    p.setPen(Qt::black);
    p.drawRect(QRect(1, 1, 11, 11));
    if (ticked) {
        QPen pen(Qt::black, 2);
        p.setPen(pen);
        p.drawPolyline(QPolygon({QPoint(3, 7), QPoint(5, 10), QPoint(10, 3)}));
    }
    return image;
}

QImage handPicture(bool coloured)
{
    QImage image = blankPicture(16, 16);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    const QColor skin = coloured ? QColor(255, 204, 153) : QColor(192, 192, 192);
    const QColor cuff = coloured ? QColor(0, 0, 192) : QColor(128, 128, 128);
    const QColor outline = coloured ? QColor(128, 64, 0) : QColor(96, 96, 96);
    p.fillRect(QRect(0, 6, 3, 7), cuff); // sleeve
    p.fillRect(QRect(3, 5, 6, 8), skin); // palm with folded fingers
    p.fillRect(QRect(9, 5, 6, 3), skin); // index finger pointing right
    p.setPen(outline);
    p.drawRect(QRect(3, 5, 5, 7));
    p.drawRect(QRect(9, 5, 5, 2));
    p.drawLine(4, 8, 8, 8);
    p.drawLine(4, 10, 8, 10);
    return image;
}

QImage funnelPicture()
{
    QImage image = blankPicture(15, 17);
    QPainter p(&image);
    p.fillRect(QRect(2, 0, 8, 4), QColor(255, 255, 0)); // sheets above the funnel
    p.fillRect(QRect(4, 1, 8, 4), QColor(255, 255, 128));
    p.setPen(QColor(128, 128, 0).darker());
    p.drawRect(QRect(4, 1, 7, 3));
    QPainterPath funnel;
    funnel.moveTo(0, 6);
    funnel.lineTo(14, 6);
    funnel.lineTo(9, 11);
    funnel.lineTo(9, 16);
    funnel.lineTo(5, 14);
    funnel.lineTo(5, 11);
    funnel.closeSubpath();
    p.fillPath(funnel, QColor(224, 0, 0));
    p.setPen(QColor(128, 0, 0));
    p.drawPath(funnel);
    return image;
}

} // namespace

TfrmControleAcesso::TfrmControleAcesso(QWidget *owner) : TfrmPadrao(owner)
{
    setObjectName(QStringLiteral("frmControleAcesso"));
    buildDataModule();
    buildPictures();
    buildLayout();
    wireEvents();
    wireTitleHints();
    installPrincipalMenu(*this);
}

void TfrmControleAcesso::buildDataModule()
{
    const QString Nome = QStringLiteral("Nome");

    msgPadrao->Lines = {
        QStringLiteral("DIME|Dimensão"),
        QStringLiteral("DADOS_DIME|Existe filtro aplicado a esta dimensão.\r\nDeseja excluí-lo?"),
        QStringLiteral("CLEAR_DIME_GRUPO|Deseja desmarcar todas as dimensões para o Grupo de "
                       "Operadores selecionado?"),
        QStringLiteral("CLEAR_DIME_OPER|Deseja desmarcar todas as dimensões para o Operador "
                       "selecionado?"),
        QStringLiteral("CODE|Código"),
        QStringLiteral("NAME|Nome"),
    };

    netControleAcesso = named(new TNetConnection(this), QStringLiteral("netControleAcesso"));
    netControleAcesso->ServerName = QStringLiteral("QUV01000.rdmControleAcesso");
    netControleAcesso->ThrowException = false;

    auto query = [this](const QString &name, const QStringList &sql) {
        auto *q = named(new TADOIBQuery(this), name);
        q->SQL = sql;
        return q;
    };
    auto field = [](TDataSet *dataSet, const QString &name, int size, bool visible,
                    const QString &label = QString()) {
        TField *f = dataSet->AddField(name, size);
        f->setObjectName(dataSet->objectName() + name);
        f->setVisible(visible);
        if (!label.isEmpty())
            f->setDisplayLabel(label);
        return f;
    };
    auto mark = [](TDataSet *dataSet, const QString &name) {
        TField *f = dataSet->AddField(name, 1, TFieldKind::Calculated);
        f->setObjectName(dataSet->objectName() + name);
        f->setVisible(false);
        return f;
    };

    qryOperGrup = query(QStringLiteral("qryOperGrup"),
                        {QStringLiteral("SELECT "), QStringLiteral("      CDGRUPOPER,  DSGRUPOPER"),
                         QStringLiteral("FROM"), QStringLiteral("      GRUPOPER"),
                         QStringLiteral("ORDER BY"), QStringLiteral("      DSGRUPOPER")});
    qryOperGrupCDGRUPOPER =
        field(qryOperGrup, QStringLiteral("CDGRUPOPER"), 2, true, QStringLiteral("Código"));
    qryOperGrupDSGRUPOPER =
        field(qryOperGrup, QStringLiteral("DSGRUPOPER"), 30, true, QStringLiteral("Descrição"));

    qryOperOper = query(QStringLiteral("qryOperOper"),
                        {QStringLiteral("SELECT"), QStringLiteral("      CDOPERADOR,   NMOPERADOR"),
                         QStringLiteral("FROM"), QStringLiteral("      OPERADOR"),
                         QStringLiteral("ORDER BY"), QStringLiteral("      NMOPERADOR")});
    qryOperOperCDOPERADOR =
        field(qryOperOper, QStringLiteral("CDOPERADOR"), 12, true, QStringLiteral("Código"));
    qryOperOperNMOPERADOR = field(qryOperOper, QStringLiteral("NMOPERADOR"), 50, true, Nome);

    qryListaFiltroGrup = query(QStringLiteral("qryListaFiltroGrup"),
                               {QStringLiteral("SELECT "), QStringLiteral("       CDFILDIMEGRUPOP"),
                                QStringLiteral("FROM   "), QStringLiteral("       FILDIMEGRUPOP"),
                                QStringLiteral("WHERE "),
                                QStringLiteral("       (CDGRUPOPER       = :P_CDGRUPOPER) AND"),
                                QStringLiteral("       (NRSEQUEDIME      = :P_NRSEQUEDIME)")});
    qryListaFiltroGrupCDFILDIMEGRUPOP =
        field(qryListaFiltroGrup, QStringLiteral("CDFILDIMEGRUPOP"), 50, true);

    qryListaFiltroOper = query(QStringLiteral("qryListaFiltroOper"),
                               {QStringLiteral("SELECT"), QStringLiteral("       CDFILDIMEOPER"),
                                QStringLiteral("FROM"), QStringLiteral("       FILDIMEOPER"),
                                QStringLiteral("WHERE"),
                                QStringLiteral("       (CDOPERADOR       = :P_CDOPERADOR ) AND"),
                                QStringLiteral("       (NRSEQUEDIME      = :P_NRSEQUEDIME)")});
    qryListaFiltroOperCDFILDIMEOPER =
        field(qryListaFiltroOper, QStringLiteral("CDFILDIMEOPER"), 50, true);

    qryPesqFiltro = query(QStringLiteral("qryPesqFiltro"), {});
    dspPesqFiltro = named(new TDataSetProvider(this), QStringLiteral("dspPesqFiltro"));
    dspPesqFiltro->DataSet = qryPesqFiltro->Query();
    dspPesqFiltro->Constraints = true;

    cdsFatoOperGrup = named(new TClientDataSet(this), QStringLiteral("cdsFatoOperGrup"));
    cdsFatoOperGrupNMITEMDW = field(cdsFatoOperGrup, QStringLiteral("NMITEMDW"), 30, true, Nome);
    cdsFatoOperGrupCDTABELADW = field(cdsFatoOperGrup, QStringLiteral("CDTABELADW"), 30, false);
    cdsFatoOperGrupCDITEMDW = field(cdsFatoOperGrup, QStringLiteral("CDITEMDW"), 30, false);
    cdsFatoOperGrupCDTABELADWCTAC =
        field(cdsFatoOperGrup, QStringLiteral("CDTABELADWCTAC"), 30, false);
    cdsFatoOperGrupCDITEMDWCTAC = field(cdsFatoOperGrup, QStringLiteral("CDITEMDWCTAC"), 30, false);
    cdsFatoOperGrupCDGRUPOPERCTAC =
        field(cdsFatoOperGrup, QStringLiteral("CDGRUPOPERCTAC"), 2, false);
    cdsFatoOperGrupIDCHECK = mark(cdsFatoOperGrup, QStringLiteral("IDCHECK"));

    cdsFatoOperOper = named(new TClientDataSet(this), QStringLiteral("cdsFatoOperOper"));
    cdsFatoOperOperNMITEMDW = field(cdsFatoOperOper, QStringLiteral("NMITEMDW"), 30, true, Nome);
    cdsFatoOperOperCDTABELADW = field(cdsFatoOperOper, QStringLiteral("CDTABELADW"), 30, false);
    cdsFatoOperOperCDITEMDW = field(cdsFatoOperOper, QStringLiteral("CDITEMDW"), 30, false);
    cdsFatoOperOperCDTABELADWCTAC =
        field(cdsFatoOperOper, QStringLiteral("CDTABELADWCTAC"), 30, false);
    cdsFatoOperOperCDITEMDWCTAC = field(cdsFatoOperOper, QStringLiteral("CDITEMDWCTAC"), 30, false);
    cdsFatoOperOperCDOPERADORCTAC =
        field(cdsFatoOperOper, QStringLiteral("CDOPERADORCTAC"), 12, false);
    cdsFatoOperOperIDCHECK = mark(cdsFatoOperOper, QStringLiteral("IDCHECK"));

    cdsDimeOperGrup = named(new TClientDataSet(this), QStringLiteral("cdsDimeOperGrup"));
    cdsDimeOperGrupNRSEQUEDIMEFIL =
        field(cdsDimeOperGrup, QStringLiteral("NRSEQUEDIMEFIL"), 5, false);
    cdsDimeOperGrupCDGRUPOPERFIL =
        field(cdsDimeOperGrup, QStringLiteral("CDGRUPOPERFIL"), 2, false);
    cdsDimeOperGrupNMITEMDIME =
        field(cdsDimeOperGrup, QStringLiteral("NMITEMDIME"), 30, true, Nome);
    cdsDimeOperGrupNRSEQUEDIME = field(cdsDimeOperGrup, QStringLiteral("NRSEQUEDIME"), 5, false);
    cdsDimeOperGrupCDTABELADIME = field(cdsDimeOperGrup, QStringLiteral("CDTABELADIME"), 30, false);
    cdsDimeOperGrupDSPKDIME = field(cdsDimeOperGrup, QStringLiteral("DSPKDIME"), 30, false);
    cdsDimeOperGrupNRSEQUEDIMECTAC =
        field(cdsDimeOperGrup, QStringLiteral("NRSEQUEDIMECTAC"), 5, false);
    cdsDimeOperGrupCDGRUPOPERCTAC =
        field(cdsDimeOperGrup, QStringLiteral("CDGRUPOPERCTAC"), 2, false);
    cdsDimeOperGrupIDCHECK = mark(cdsDimeOperGrup, QStringLiteral("IDCHECK"));
    cdsDimeOperGrupIDPESQ = mark(cdsDimeOperGrup, QStringLiteral("IDPESQ"));
    cdsDimeOperGrupDSITEMDIME = field(cdsDimeOperGrup, QStringLiteral("DSITEMDIME"), 30, false);
    cdsDimeOperGrupIDFILTRO = mark(cdsDimeOperGrup, QStringLiteral("IDFILTRO"));

    cdsDimeOperOper = named(new TClientDataSet(this), QStringLiteral("cdsDimeOperOper"));
    cdsDimeOperOperNMITEMDIME =
        field(cdsDimeOperOper, QStringLiteral("NMITEMDIME"), 30, true, Nome);
    cdsDimeOperOperNRSEQUEDIME = field(cdsDimeOperOper, QStringLiteral("NRSEQUEDIME"), 5, false);
    cdsDimeOperOperCDTABELADIME = field(cdsDimeOperOper, QStringLiteral("CDTABELADIME"), 30, false);
    cdsDimeOperOperDSPKDIME = field(cdsDimeOperOper, QStringLiteral("DSPKDIME"), 30, false);
    cdsDimeOperOperDSITEMDIME = field(cdsDimeOperOper, QStringLiteral("DSITEMDIME"), 30, false);
    cdsDimeOperOperNRSEQUEDIMECTAC =
        field(cdsDimeOperOper, QStringLiteral("NRSEQUEDIMECTAC"), 5, false);
    cdsDimeOperOperCDOPERADORCTAC =
        field(cdsDimeOperOper, QStringLiteral("CDOPERADORCTAC"), 12, false);
    cdsDimeOperOperNRSEQUEDIMEFIL =
        field(cdsDimeOperOper, QStringLiteral("NRSEQUEDIMEFIL"), 5, false);
    cdsDimeOperOperCDOPERADORFIL =
        field(cdsDimeOperOper, QStringLiteral("CDOPERADORFIL"), 12, false);
    cdsDimeOperOperIDCHECK = mark(cdsDimeOperOper, QStringLiteral("IDCHECK"));
    cdsDimeOperOperIDPESQ = mark(cdsDimeOperOper, QStringLiteral("IDPESQ"));
    cdsDimeOperOperIDFILTRO = mark(cdsDimeOperOper, QStringLiteral("IDFILTRO"));

    cdsPesqFiltro = named(new TClientDataSet(this), QStringLiteral("cdsPesqFiltro"));
    cdsTestaCheck = named(new TClientDataSet(this), QStringLiteral("cdsTestaCheck"));
    cdsTestaCheckCDCODIGOPAI = field(cdsTestaCheck, QStringLiteral("CDCODIGOPAI"), 53, true);

    auto source = [this](const QString &name, TDataSet *dataSet) {
        auto *s = named(new TDataSource(this), name);
        s->setDataSet(dataSet);
        return s;
    };
    dtsOperGrup = source(QStringLiteral("dtsOperGrup"), qryOperGrup->Query());
    dtsOperOper = source(QStringLiteral("dtsOperOper"), qryOperOper->Query());
    dtsFatoOperGrup = source(QStringLiteral("dtsFatoOperGrup"), cdsFatoOperGrup);
    dtsDimeOperGrup = source(QStringLiteral("dtsDimeOperGrup"), cdsDimeOperGrup);
    dtsFatoOperOper = source(QStringLiteral("dtsFatoOperOper"), cdsFatoOperOper);
    dtsDimeOperOper = source(QStringLiteral("dtsDimeOperOper"), cdsDimeOperOper);
    dtsPesqFiltro = source(QStringLiteral("dtsPesqFiltro"), cdsPesqFiltro);
}

void TfrmControleAcesso::buildPictures()
{
    auto picture = [this](const QString &name, const QImage &image) {
        auto *img = named(new TImage(panMenu), name);
        img->setPicture(image);
        img->hide();
        return img;
    };
    imgCheck = picture(QStringLiteral("imgCheck"), checkBoxPicture(true));
    imgUncheck = picture(QStringLiteral("imgUncheck"), checkBoxPicture(false));
    imgPesqTrue = picture(QStringLiteral("imgPesqTrue"), handPicture(true));
    imgPesqFalse = picture(QStringLiteral("imgPesqFalse"), handPicture(false));
    imgFiltro = picture(QStringLiteral("imgFiltro"), funnelPicture());
    imgEmpty = picture(QStringLiteral("imgEmpty"), QImage());
}

TDBGrid *TfrmControleAcesso::makeGrantGrid(const QString &name, TDataSource *source)
{
    auto *grid = named(new TDBGrid, name);
    grid->setDataSource(source);
    grid->Color = clInfoBk();
    grid->setOptions(dgTitles | dgColumnResize | dgColLines | dgRowLines | dgTabs |
                     dgAlwaysShowSelection | dgConfirmDelete);
    return grid;
}

void TfrmControleAcesso::buildLayout()
{
    setCaption(QStringLiteral("Controle de Acesso do QUV"));
    setCodTela(QStringLiteral("QUV01000"));
    setBounds(352, 197, 799, 472);

    sbtProcurar->setEnabled(true);
    sbtVerificar->setEnabled(true);
    sbtImprimir->setEnabled(false);
    tshFolhaDados->setCaption(QStringLiteral("Grupo de Operadores"));
    tshFormulario->setCaption(QStringLiteral("Operador"));
    dbnPadrao->Hints.clear();
    mnuFolhaDados->setText(QStringLiteral("&Grupo de Operadores"));
    mnuFormulario->setText(QStringLiteral("&Operador"));
    for (QAction *action : {mnuListagem, mnuConfigImpressora, mnuIncluir, mnuAlterar, mnuExcluir,
                            mnuCancelar, mnuConfirmar})
        action->setEnabled(false);

    const QString Nome = QStringLiteral("Nome");
    auto markColumn = [](TDBGrid *grid, const QString &field, int width, const QString &title,
                         const QString &family) {
        TColumn *column = grid->AddColumn(field, width, title);
        column->Title.Charset = SYMBOL_CHARSET;
        column->Title.Font = titleFont(family);
        column->Title.Color = Qt::white;
        return column;
    };
    auto nameTitles = [](TDBGrid *grid) {
        for (TColumn *column : grid->Columns())
            if (column->Title.Charset != SYMBOL_CHARSET)
                column->Title.Font = titleFont(QStringLiteral("MS Sans Serif"));
    };

    // ---- page "Grupo de Operadores"
    dbgPadrao->setDataSource(dtsOperGrup);
    dbgPadrao->AddColumn(QStringLiteral("CDGRUPOPER"), 120, QStringLiteral("Código"));
    dbgPadrao->AddColumn(QStringLiteral("DSGRUPOPER"), 400, QStringLiteral("Descrição"));

    QVBoxLayout *page1 = folhaDadosLayout();
    page1->removeWidget(panDbgPadrao);
    panOperGrup = headerPanel(QStringLiteral("panOperGrup"), QStringLiteral(" Grupo de Operadores"),
                              tshFolhaDados);
    page1->addWidget(panOperGrup);

    splSepOperGrup =
        named(new QSplitter(Qt::Vertical, tshFolhaDados), QStringLiteral("splSepOperGrup"));
    splSepOperGrup->setHandleWidth(5);
    splSepOperGrup->setChildrenCollapsible(false);
    page1->addWidget(splSepOperGrup, 1);
    splSepOperGrup->addWidget(panDbgPadrao);

    dbgFatosGrup = makeGrantGrid(QStringLiteral("dbgFatosGrup"), dtsFatoOperGrup);
    markColumn(dbgFatosGrup, QStringLiteral("IDCHECK"), 16, QStringLiteral("8"),
               QStringLiteral("Microsoft Sans Serif"));
    dbgFatosGrup->AddColumn(QStringLiteral("NMITEMDW"), 256, Nome);
    nameTitles(dbgFatosGrup);

    dbgDimeGrup = makeGrantGrid(QStringLiteral("dbgDimeGrup"), dtsDimeOperGrup);
    markColumn(dbgDimeGrup, QStringLiteral("IDCHECK"), 16, QStringLiteral("8"),
               QStringLiteral("MS Sans Serif"));
    dbgDimeGrup->AddColumn(QStringLiteral("NMITEMDIME"), 226, Nome);
    markColumn(dbgDimeGrup, QStringLiteral("IDPESQ"), 20, QStringLiteral("I"),
               QStringLiteral("MS Sans Serif"))
        ->Title.Alignment = Qt::AlignCenter;
    markColumn(dbgDimeGrup, QStringLiteral("IDFILTRO"), 17, QStringLiteral("4"),
               QStringLiteral("MS Sans Serif"));
    nameTitles(dbgDimeGrup);

    splSepFatoDimeGrup = named(new QSplitter(Qt::Horizontal), QStringLiteral("splSepFatoDimeGrup"));
    splSepFatoDimeGrup->setHandleWidth(3);
    splSepFatoDimeGrup->setChildrenCollapsible(false);
    splSepOperGrup->addWidget(splSepFatoDimeGrup);

    auto grantSide = [](QSplitter *splitter, TPanel *&outer, const QString &outerName,
                        TPanel *&header, const QString &headerName, const QString &caption,
                        TPanel *&inner, const QString &innerName, TScrollBox *&box,
                        const QString &boxName, TDBGrid *grid) {
        outer = named(new TPanel, outerName);
        outer->setBevelOuter(bvNone);
        outer->setBorderWidth(3);
        QVBoxLayout *outerLayout = fillLayout(outer);
        header = headerPanel(headerName, caption, outer);
        outerLayout->addWidget(header);
        inner = named(new TPanel(outer), innerName);
        inner->setBevelOuter(bvNone);
        inner->setBevelInner(bvLowered);
        outerLayout->addWidget(inner, 1);
        box = named(new TScrollBox(inner), boxName);
        fillLayout(inner)->addWidget(box);
        grid->setFrameShape(QFrame::NoFrame);
        box->setContent(grid);
        splitter->addWidget(outer);
    };
    grantSide(splSepFatoDimeGrup, Panel1, QStringLiteral("Panel1"), panNomeFatoGrup,
              QStringLiteral("panNomeFatoGrup"), QStringLiteral(" Fatos"), Panel3,
              QStringLiteral("Panel3"), ScrollBox1, QStringLiteral("ScrollBox1"), dbgFatosGrup);
    grantSide(splSepFatoDimeGrup, Panel2, QStringLiteral("Panel2"), panNomeDimeGrup,
              QStringLiteral("panNomeDimeGrup"), QStringLiteral(" Dimensões"), Panel5,
              QStringLiteral("Panel5"), ScrollBox2, QStringLiteral("ScrollBox2"), dbgDimeGrup);
    splSepFatoDimeGrup->setSizes({305, 478});
    splSepFatoDimeGrup->setStretchFactor(1, 1);
    splSepOperGrup->setSizes({135, 210});
    splSepOperGrup->setStretchFactor(1, 1);

    // ---- page "Operador"
    panFormulario->setBevelInner(bvNone);
    panFormulario->setBorderWidth(0);
    QVBoxLayout *page2 = formularioLayout();
    page2->setContentsMargins(0, 0, 0, 0);
    page2->setSpacing(0);
    panOperOper =
        headerPanel(QStringLiteral("panOperOper"), QStringLiteral(" Operador"), scbFormulario);
    page2->addWidget(panOperOper);

    splSepOperOper = named(new QSplitter(Qt::Vertical), QStringLiteral("splSepOperOper"));
    splSepOperOper->setHandleWidth(5);
    splSepOperOper->setChildrenCollapsible(false);
    page2->addWidget(splSepOperOper, 1);

    dbgOperador = makeGrantGrid(QStringLiteral("dbgOperador"), dtsOperOper);
    dbgOperador->setOptions(dbgOperador->Options() | dgRowSelect);
    dbgOperador->AddColumn(QStringLiteral("CDOPERADOR"), 120, QStringLiteral("Código"));
    dbgOperador->AddColumn(QStringLiteral("NMOPERADOR"), 400, Nome);
    nameTitles(dbgOperador);
    Panel4 = named(new TPanel, QStringLiteral("Panel4"));
    Panel4->setBevelOuter(bvNone);
    Panel4->setBevelInner(bvLowered);
    Panel4->setBorderWidth(2);
    ScrollBox3 = named(new TScrollBox(Panel4), QStringLiteral("ScrollBox3"));
    fillLayout(Panel4, 2)->addWidget(ScrollBox3);
    ScrollBox3->setContent(dbgOperador);
    splSepOperOper->addWidget(Panel4);

    dbgFatosOper = makeGrantGrid(QStringLiteral("dbgFatosOper"), dtsFatoOperOper);
    markColumn(dbgFatosOper, QStringLiteral("IDCHECK"), 16, QStringLiteral("8"),
               QStringLiteral("Microsoft Sans Serif"));
    dbgFatosOper->AddColumn(QStringLiteral("NMITEMDW"), 256, Nome);
    nameTitles(dbgFatosOper);

    dbgDimeOper = makeGrantGrid(QStringLiteral("dbgDimeOper"), dtsDimeOperOper);
    markColumn(dbgDimeOper, QStringLiteral("IDCHECK"), 16, QStringLiteral("8"),
               QStringLiteral("MS Sans Serif"));
    dbgDimeOper->AddColumn(QStringLiteral("NMITEMDIME"), 226, Nome);
    markColumn(dbgDimeOper, QStringLiteral("IDPESQ"), 20, QStringLiteral("I"),
               QStringLiteral("MS Sans Serif"))
        ->Title.Alignment = Qt::AlignCenter;
    markColumn(dbgDimeOper, QStringLiteral("IDFILTRO"), 17, QStringLiteral("4"),
               QStringLiteral("MS Sans Serif"));
    nameTitles(dbgDimeOper);

    splSepFatoDimeOper = named(new QSplitter(Qt::Horizontal), QStringLiteral("splSepFatoDimeOper"));
    splSepFatoDimeOper->setHandleWidth(3);
    splSepFatoDimeOper->setChildrenCollapsible(false);
    splSepOperOper->addWidget(splSepFatoDimeOper);
    grantSide(splSepFatoDimeOper, Panel6, QStringLiteral("Panel6"), panNomeFatoOper,
              QStringLiteral("panNomeFatoOper"), QStringLiteral(" Fatos"), Panel8,
              QStringLiteral("Panel8"), ScrollBox4, QStringLiteral("ScrollBox4"), dbgFatosOper);
    grantSide(splSepFatoDimeOper, Panel9, QStringLiteral("Panel9"), panNomeDimeOper,
              QStringLiteral("panNomeDimeOper"), QStringLiteral(" Dimensões"), Panel11,
              QStringLiteral("Panel11"), ScrollBox5, QStringLiteral("ScrollBox5"), dbgDimeOper);
    splSepFatoDimeOper->setSizes({305, 478});
    splSepFatoDimeOper->setStretchFactor(1, 1);
    splSepOperOper->setSizes({135, 210});
    splSepOperOper->setStretchFactor(1, 1);

    for (TDBGrid *grid :
         {dbgPadrao, dbgFatosGrup, dbgDimeGrup, dbgOperador, dbgFatosOper, dbgDimeOper}) {
        // The description or name, every grid's second column, takes the
        // width a larger screen gives its grid.
        grid->Column(1)->Stretch = true;
        grid->RefreshColumns();
    }
    dbgPadrao->setFocus(Qt::OtherFocusReason);
}

void TfrmControleAcesso::wireEvents()
{
    // Handlers the base screen binds by name reach this screen's handlers.
    OnCreate = [this](QObject *s) { FormCreate(s); };
    OnClose = [this](QObject *s, TCloseAction &a) { FormClose(s, a); };
    OnDestroy = [this](QObject *s) { FormDestroy(s); };
    pgcPadrao->OnChange = [this](QObject *s) { pgcPadraoChange(s); };
    sbtProcurar->OnClick = [this](QObject *s) { sbtProcurarClick(s); };
    sbtVerificar->OnClick = [this](QObject *s) { sbtVerificarClick(s); };

    netControleAcesso->BeforeConnect = [this](QObject *s) { netControleAcessoBeforeConnect(s); };
    qryOperGrup->AfterScroll = [this](TDataSet *d) { qryOperGrupAfterScroll(d); };
    qryOperOper->AfterScroll = [this](TDataSet *d) { qryOperOperAfterScroll(d); };
    cdsFatoOperGrup->OnCalcFields = [this](TDataSet *d) { cdsFatoOperGrupCalcFields(d); };
    cdsFatoOperOper->OnCalcFields = [this](TDataSet *d) { cdsFatoOperOperCalcFields(d); };
    cdsDimeOperGrup->OnCalcFields = [this](TDataSet *d) { cdsDimeOperGrupCalcFields(d); };
    cdsDimeOperOper->OnCalcFields = [this](TDataSet *d) { cdsDimeOperOperCalcFields(d); };
    dtsPadrao->OnDataChange = [this](QObject *s, TField *f) { dtsPadraoDataChange(s, f); };
    dtsOperGrup->OnStateChange = [this](QObject *s) { dtsOperGrupStateChange(s); };

    using Draw =
        void (TfrmControleAcesso::*)(QObject *, const QRect &, int, TColumn *, TGridDrawState);
    auto draw = [this](TDBGrid *grid, Draw handler) {
        grid->OnDrawColumnCell = [this, handler](QObject *s, const QRect &r, int c, TColumn *col,
                                                 TGridDrawState st) {
            (this->*handler)(s, r, c, col, st);
        };
    };
    draw(dbgPadrao, &TfrmControleAcesso::dbgPadraoDrawColumnCell);
    draw(dbgFatosGrup, &TfrmControleAcesso::dbgFatosGrupDrawColumnCell);
    draw(dbgDimeGrup, &TfrmControleAcesso::dbgDimeGrupDrawColumnCell);
    draw(dbgOperador, &TfrmControleAcesso::dbgOperadorDrawColumnCell);
    draw(dbgFatosOper, &TfrmControleAcesso::dbgFatosOperDrawColumnCell);
    draw(dbgDimeOper, &TfrmControleAcesso::dbgDimeOperDrawColumnCell);

    dbgPadrao->OnEnter = [this](QObject *s) { dbgPadraoEnter(s); };
    dbgFatosGrup->OnEnter = [this](QObject *s) { dbgFatosGrupEnter(s); };
    dbgDimeGrup->OnEnter = [this](QObject *s) { dbgDimeGrupEnter(s); };
    dbgOperador->OnEnter = [this](QObject *s) { dbgOperadorEnter(s); };
    dbgFatosOper->OnEnter = [this](QObject *s) { dbgFatosOperEnter(s); };
    dbgDimeOper->OnEnter = [this](QObject *s) { dbgDimeOperEnter(s); };

    auto baseKeys = [this](QObject *s, quint16 &k, TShiftState sh) { dbgPadraoKeyDown(s, k, sh); };
    dbgFatosGrup->OnKeyDown = baseKeys;
    dbgOperador->OnKeyDown = baseKeys;
    dbgFatosOper->OnKeyDown = baseKeys;
    dbgDimeGrup->OnKeyDown = [this](QObject *s, quint16 &k, TShiftState sh) {
        dbgDimeGrupKeyDown(s, k, sh);
    };
    dbgDimeOper->OnKeyDown = [this](QObject *s, quint16 &k, TShiftState sh) {
        dbgDimeOperKeyDown(s, k, sh);
    };

    dbgFatosGrup->OnKeyPress = [this](QObject *s, QChar &k) { dbgFatosGrupKeyPress(s, k); };
    dbgDimeGrup->OnKeyPress = [this](QObject *s, QChar &k) { dbgDimeGrupKeyPress(s, k); };
    dbgFatosOper->OnKeyPress = [this](QObject *s, QChar &k) { dbgFatosOperKeyPress(s, k); };
    dbgDimeOper->OnKeyPress = [this](QObject *s, QChar &k) { dbgDimeOperKeyPress(s, k); };

    dbgFatosGrup->OnCellClick = [this](TColumn *c) { dbgFatosGrupCellClick(c); };
    dbgDimeGrup->OnCellClick = [this](TColumn *c) { dbgDimeGrupCellClick(c); };
    dbgFatosOper->OnCellClick = [this](TColumn *c) { dbgFatosOperCellClick(c); };
    dbgDimeOper->OnCellClick = [this](TColumn *c) { dbgDimeOperCellClick(c); };

    dbgFatosGrup->OnDblClick = [this](QObject *s) { dbgFatosGrupDblClick(s); };
    dbgDimeGrup->OnDblClick = [this](QObject *s) { dbgDimeGrupDblClick(s); };
    dbgFatosOper->OnDblClick = [this](QObject *s) { dbgFatosOperDblClick(s); };
    dbgDimeOper->OnDblClick = [this](QObject *s) { dbgDimeOperDblClick(s); };

    dbgFatosGrup->OnTitleClick = [this](TColumn *c) { dbgFatosGrupTitleClick(c); };
    dbgFatosOper->OnTitleClick = [this](TColumn *c) { dbgFatosOperTitleClick(c); };
    dbgDimeGrup->OnTitleClick = [this](TColumn *c) { dbgDimeGrupTitleClick(c); };
    dbgDimeOper->OnTitleClick = [this](TColumn *c) { dbgDimeOperTitleClick(c); };
}

} // namespace Cli_quv01000
