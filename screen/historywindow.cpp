#include "screen/historywindow.h"

#include "framework/app/application.h"
#include "framework/app/halvern.h"
#include "framework/data/netconnection.h"
#include "framework/data/servercheck.h"
#include "framework/widgets/busy.h"
#include "framework/widgets/dialogs.h"
#include "screen/Cli_quv01000.h"

#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

namespace Cli_quv01000 {

using quv::history::Entry;

namespace {

QPointer<HistoryWindow> openWindow;

// The date fields read as "no bound" at their minimum, shown blank.
const QDate NoDate(2000, 1, 1);

template <typename T> T *named(T *widget, const char *name)
{
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QDateEdit *dateField(const char *name, QWidget *parent)
{
    auto *edit = named(new QDateEdit(parent), name);
    edit->setCalendarPopup(true);
    edit->setDisplayFormat(QStringLiteral("dd/MM/yyyy"));
    edit->setMinimumDate(NoDate);
    edit->setSpecialValueText(QStringLiteral(" "));
    edit->setDate(NoDate);
    return edit;
}

/// After an undo: the screen shows fresh grants for the principal if that
/// principal is the one it shows.
void reloadShownPrincipal(const QString &key)
{
    TfrmControleAcesso *form = frmControleAcesso;
    if (!form || key.size() < 2)
        return;
    const QString code = key.mid(1);
    if (key.front() == QLatin1Char('G') && form->qryOperGrup->Active() &&
        !form->qryOperGrup->IsEmpty() && form->qryOperGrupCDGRUPOPER->AsString() == code)
        form->qryOperGrupAfterScroll(form->qryOperGrup);
    else if (key.front() == QLatin1Char('O') && form->qryOperOper->Active() &&
             !form->qryOperOper->IsEmpty() && form->qryOperOperCDOPERADOR->AsString() == code)
        form->qryOperOperAfterScroll(form->qryOperOper);
}

/// `busy`: show the busy indicator while waiting. Pages fetched as the list
/// scrolls go without it: an overlay flashing at every few rows scrolled
/// would only get in the way.
QVariantMap callServer(TNetConnection *connection, const QString &method, QVariantList &args,
                       bool busy = true)
{
    if (busy)
        ActiveShowAvi(Application->MainForm(), 1);
    QVariant payload;
    try {
        const QVariant status = connection->AppServer().Call(method, args);
        payload = CheckResultServ(status, true, 0);
    } catch (...) {
        DeactiveShowAvi();
        throw;
    }
    DeactiveShowAvi();
    return payload.toMap();
}

} // namespace

void abreHistorico(const QString &principalKey)
{
    HistoryWindow *window = openWindow;
    QMdiSubWindow *sub = window ? qobject_cast<QMdiSubWindow *>(window->parentWidget()) : nullptr;
    if (!window) {
        window = new HistoryWindow;
        sub = Application->AdoptForm(window);
        if (sub) {
            sub->setAttribute(Qt::WA_DeleteOnClose);
            sub->resize(960, 560);
        } else {
            window->setAttribute(Qt::WA_DeleteOnClose);
            window->resize(960, 560);
        }
    }
    window->setPrincipal(principalKey);
    window->reload();
    window->show();
    if (sub) {
        sub->show();
        sub->raise();
        if (QMdiArea *area = sub->mdiArea())
            area->setActiveSubWindow(sub);
    } else {
        window->raise();
    }
}

HistoryWindow::HistoryWindow(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmHistorico"));
    setWindowTitle(QStringLiteral("Histórico de alterações de acesso"));
    openWindow = this;

    netHistorico = named(new TNetConnection(this), "netHistorico");
    netHistorico->ServerName = QStringLiteral("QUV01000.rdmControleAcesso");
    netHistorico->BeforeConnect = [this](QObject *) {
        netHistorico->Host = Halvern::WebURL();
        netHistorico->Port = Halvern::WebPort();
    };

    cbxTipoPrincipal = named(new QComboBox(this), "cbxTipoPrincipal");
    cbxTipoPrincipal->addItems({QStringLiteral("Todos"), QStringLiteral("Grupo de operadores"),
                                QStringLiteral("Operador")});
    edtPrincipal = named(new QLineEdit(this), "edtPrincipal");
    edtPrincipal->setPlaceholderText(QStringLiteral("código"));
    edtPrincipal->setMaxLength(12);
    edtAdministrador = named(new QLineEdit(this), "edtAdministrador");
    dtpDesde = dateField("dtpDesde", this);
    dtpAte = dateField("dtpAte", this);
    edtTexto = named(new QLineEdit(this), "edtTexto");
    edtTexto->setPlaceholderText(QStringLiteral("nome de grupo, operador, fato ou dimensão"));
    edtTexto->setMaxLength(100);
    btnFiltrar = named(new QPushButton(QStringLiteral("&Filtrar"), this), "btnFiltrar");
    btnLimpar = named(new QPushButton(QStringLiteral("&Limpar"), this), "btnLimpar");

    auto *filters = new QGridLayout;
    const auto label = [this](const QString &text, QWidget *buddy) {
        auto *l = new QLabel(text, this);
        l->setBuddy(buddy);
        return l;
    };
    filters->addWidget(label(QStringLiteral("&Principal:"), cbxTipoPrincipal), 0, 0);
    filters->addWidget(cbxTipoPrincipal, 0, 1);
    filters->addWidget(edtPrincipal, 0, 2);
    filters->addWidget(label(QStringLiteral("&Administrador:"), edtAdministrador), 0, 3);
    filters->addWidget(edtAdministrador, 0, 4);
    filters->addWidget(btnFiltrar, 0, 5);
    filters->addWidget(label(QStringLiteral("P&eríodo:"), dtpDesde), 1, 0);
    auto *period = new QHBoxLayout;
    period->addWidget(dtpDesde);
    period->addWidget(new QLabel(QStringLiteral("até"), this));
    period->addWidget(dtpAte);
    filters->addLayout(period, 1, 1, 1, 2);
    filters->addWidget(label(QStringLiteral("&Texto:"), edtTexto), 1, 3);
    filters->addWidget(edtTexto, 1, 4);
    filters->addWidget(btnLimpar, 1, 5);
    filters->setColumnStretch(4, 1);

    model = new HistoryModel(this);
    grdHistorico = named(new QTableView(this), "grdHistorico");
    grdHistorico->setModel(model);
    grdHistorico->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdHistorico->setSelectionMode(QAbstractItemView::SingleSelection);
    grdHistorico->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdHistorico->setWordWrap(false);
    grdHistorico->verticalHeader()->hide();
    grdHistorico->verticalHeader()->setDefaultSectionSize(grdHistorico->fontMetrics().height() + 6);
    grdHistorico->horizontalHeader()->setStretchLastSection(true);
    grdHistorico->setColumnWidth(HistoryModel::Time, 135);
    grdHistorico->setColumnWidth(HistoryModel::Administrator, 100);
    grdHistorico->setColumnWidth(HistoryModel::Principal, 270);
    memDetalhes = named(new QPlainTextEdit(this), "memDetalhes");
    memDetalhes->setReadOnly(true);
    memDetalhes->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto *split = named(new QSplitter(Qt::Vertical, this), "splHistorico");
    split->addWidget(grdHistorico);
    split->addWidget(memDetalhes);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);

    lblSituacao = named(new QLabel(this), "lblSituacao");
    lblSituacao->setTextFormat(Qt::PlainText);
    btnDesfazer = named(new QPushButton(QStringLiteral("&Desfazer"), this), "btnDesfazer");
    btnDesfazer->setEnabled(false);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(lblSituacao, 1);
    bottom->addWidget(btnDesfazer);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(split, 1);
    layout->addLayout(bottom);

    const auto guarded = [this](void (HistoryWindow::*step)()) {
        return [this, step] { Application->Guard([this, step] { (this->*step)(); }); };
    };
    connect(btnFiltrar, &QPushButton::clicked, this, guarded(&HistoryWindow::reload));
    for (QLineEdit *edit : {edtPrincipal, edtAdministrador, edtTexto})
        connect(edit, &QLineEdit::returnPressed, this, guarded(&HistoryWindow::reload));
    connect(btnLimpar, &QPushButton::clicked, this, [this] {
        clearFields();
        Application->Guard([this] { reload(); });
    });
    connect(cbxTipoPrincipal, &QComboBox::currentIndexChanged, this,
            [this](int index) { edtPrincipal->setEnabled(index != 0); });
    edtPrincipal->setEnabled(false);
    connect(btnDesfazer, &QPushButton::clicked, this, guarded(&HistoryWindow::undoSelected));
    connect(grdHistorico->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { showSelected(); });
    connect(model, &QAbstractItemModel::rowsInserted, this, [this] { showCount(); });
    connect(model, &HistoryModel::failed, this, [this](const QString &message) {
        lblSituacao->setStyleSheet(QStringLiteral("color: #a00000"));
        lblSituacao->setText(QStringLiteral("Não foi possível ler o histórico: ") + message);
    });
}

HistoryWindow::~HistoryWindow()
{
    if (openWindow == this)
        openWindow = nullptr;
}

HistoryWindow *HistoryWindow::instance()
{
    return openWindow;
}

void HistoryWindow::setPrincipal(const QString &key)
{
    clearFields();
    const bool known =
        key.size() >= 2 && (key.front() == QLatin1Char('G') || key.front() == QLatin1Char('O'));
    cbxTipoPrincipal->setCurrentIndex(!known ? 0 : key.front() == QLatin1Char('G') ? 1 : 2);
    edtPrincipal->setText(known ? key.mid(1) : QString());
}

void HistoryWindow::clearFields()
{
    cbxTipoPrincipal->setCurrentIndex(0);
    edtPrincipal->clear();
    edtAdministrador->clear();
    dtpDesde->setDate(NoDate);
    dtpAte->setDate(NoDate);
    edtTexto->clear();
}

HistoryWindow::Filter HistoryWindow::filterFromFields() const
{
    Filter f;
    const QString code = edtPrincipal->text().trimmed();
    if (cbxTipoPrincipal->currentIndex() > 0 && !code.isEmpty())
        f.principal =
            (cbxTipoPrincipal->currentIndex() == 1 ? QStringLiteral("G") : QStringLiteral("O")) +
            code;
    f.administrator = edtAdministrador->text().trimmed();
    // The fields are in the user's days; the trail keeps UTC.
    if (dtpDesde->date() > NoDate)
        f.since = QDateTime(dtpDesde->date(), QTime(0, 0)).toUTC().toString(Qt::ISODateWithMs);
    if (dtpAte->date() > NoDate)
        f.until =
            QDateTime(dtpAte->date(), QTime(23, 59, 59, 999)).toUTC().toString(Qt::ISODateWithMs);
    f.text = edtTexto->text().trimmed();
    return f;
}

HistoryModel::Page HistoryWindow::fetch(const Filter &filter, const QString &cursor)
{
    QVariantList args{filter.principal, filter.administrator, filter.since,
                      filter.until,     filter.text,          cursor,
                      QString()};
    const QVariantMap payload =
        callServer(netHistorico, QStringLiteral("getHistorico"), args, cursor.isEmpty());
    HistoryModel::Page page;
    const QVariantList rows = payload.value(QStringLiteral("rows")).toList();
    page.entries.reserve(rows.size());
    for (const QVariant &row : rows)
        page.entries.append(quv::history::entryFromVariant(row));
    page.next = payload.value(QStringLiteral("next")).toString();
    return page;
}

void HistoryWindow::reload()
{
    lblSituacao->setStyleSheet(QString());
    lblSituacao->clear();
    const Filter filter = filterFromFields();
    model->restart([this, filter](const QString &cursor) { return fetch(filter, cursor); });
    if (model->rowCount() > 0)
        grdHistorico->selectRow(0);
    else
        showSelected();
    if (model->error().isEmpty())
        showCount();
}

void HistoryWindow::showCount()
{
    if (!model->error().isEmpty())
        return;
    const int rows = model->rowCount();
    lblSituacao->setText(rows == 0 ? QStringLiteral("Nenhuma alteração encontrada.")
                         : model->canFetchMore({})
                             ? QStringLiteral("%1 alterações mostradas; role a lista para ver as "
                                              "anteriores.")
                                   .arg(rows)
                         : rows == 1 ? QStringLiteral("1 alteração.")
                                     : QStringLiteral("%1 alterações.").arg(rows));
}

const Entry *HistoryWindow::selectedWhole()
{
    const int row = grdHistorico->currentIndex().row();
    const Entry *e = model->entry(row);
    if (!e || e->change.isWhole())
        return e;
    QVariantList args{QString::number(e->id)};
    try {
        model->setPaused(true);
        const auto resume = qScopeGuard([this] { model->setPaused(false); });
        model->setWhole(row, quv::history::entryFromVariant(callServer(
                                 netHistorico, QStringLiteral("getAlteracao"), args, false)));
    } catch (const Exception &failure) {
        // The page's row still says what changed and how much: show that,
        // and say why the rest is missing.
        lblSituacao->setStyleSheet(QStringLiteral("color: #a00000"));
        lblSituacao->setText(QStringLiteral("Não foi possível ler a alteração inteira: ") +
                             failure.Message());
    }
    return model->entry(row);
}

void HistoryWindow::showSelected()
{
    const Entry *e = selectedWhole();
    memDetalhes->setPlainText(e ? quv::history::details(*e, HistoryModel::shownTime(e->time))
                                : QString());
    btnDesfazer->setEnabled(e && e->changed());
}

void HistoryWindow::undoSelected()
{
    const Entry *selected = model->entry(grdHistorico->currentIndex().row());
    if (!selected || !selected->changed())
        return;
    const Entry entry = *selected;
    QString question =
        QStringLiteral("Desfazer a alteração %1 de %2, feita por %3 em %4?\r\n\r\nIsto vai:")
            .arg(QString::number(entry.id), entry.principalLabel(), entry.administrator,
                 HistoryModel::shownTime(entry.time));
    const QStringList steps =
        quv::history::phrases(quv::history::inverse(entry.change), quv::history::Voice::ToDo);
    for (const QString &step : steps)
        question += QStringLiteral("\r\n• ") + step;
    if (MessageDlg(question, mtConfirmation, TMsgDlgButtons(mbYes) | mbNo, 0) != mrYes)
        return;
    lblSituacao->clear();

    QVariantList args{QString::number(entry.id)};
    QVariantMap result;
    {
        model->setPaused(true);
        const auto resume = qScopeGuard([this] { model->setPaused(false); });
        result = callServer(netHistorico, QStringLiteral("desfazAlteracao"), args);
    }
    QStringList tables;
    const QVariantList list = result.value(QStringLiteral("tables")).toList();
    for (const QVariant &table : list)
        tables.append(table.toString());
    reloadShownPrincipal(result.value(QStringLiteral("principal")).toString());
    if (!tables.isEmpty())
        Halvern::AtualizaLocalCache(tables);
    reload();
    if (model->error().isEmpty())
        lblSituacao->setText(
            QStringLiteral("Alteração %1 desfeita; o desfazer foi registrado "
                           "como a alteração %2.")
                .arg(QString::number(entry.id), result.value(QStringLiteral("id")).toString()));
}

} // namespace Cli_quv01000
