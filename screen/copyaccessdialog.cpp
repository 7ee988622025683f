#include "screen/copyaccessdialog.h"

#include "framework/app/application.h"

#include <QAbstractTableModel>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QVBoxLayout>

namespace Cli_quv01000 {

namespace {

const QString Replace = QStringLiteral("substituir");
const QString Merge = QStringLiteral("acrescentar");

QString number(qint64 value)
{
    return QLocale(QLocale::Portuguese, QLocale::Brazil).toString(value);
}

template <typename T> T *named(T *object, const char *name)
{
    object->setObjectName(QLatin1StringView(name));
    return object;
}

} // namespace

QString PrincipalChoice::key() const
{
    return (group ? QStringLiteral("G") : QStringLiteral("O")) + code;
}

QString PrincipalChoice::caption() const
{
    return QStringLiteral("%1 %2 - %3")
        .arg(group ? QStringLiteral("Grupo de operadores") : QStringLiteral("Operador"), code,
             name);
}

CopyCounts CopyCounts::fromPayload(const QVariant &payload)
{
    const QVariantMap map = payload.toMap();
    const auto at = [&map](const char *key) {
        return map.value(QLatin1StringView(key)).toLongLong();
    };
    return {at("factsAdded"),        at("factsRemoved"), at("dimensionsAdded"),
            at("dimensionsRemoved"), at("valuesAdded"),  at("valuesRemoved")};
}

bool CopyCounts::isEmpty() const
{
    return factsAdded == 0 && factsRemoved == 0 && dimensionsAdded == 0 && dimensionsRemoved == 0 &&
           valuesAdded == 0 && valuesRemoved == 0;
}

QString foldForSearch(const QString &text)
{
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString bare;
    bare.reserve(decomposed.size());
    for (QChar c : decomposed)
        if (!c.isMark())
            bare.append(c);
    return bare.toCaseFolded();
}

// ---------------------------------------------------------------- the list

/// Every principal the copy may take grants from, narrowed by what the user
/// types. Each row's text is folded once, so a keystroke only compares.
class TdlgCopiaAcessos::Model final : public QAbstractTableModel
{
public:
    enum Column
    {
        KindColumn,
        CodeColumn,
        NameColumn,
        ColumnCount
    };

    Model(const QList<PrincipalChoice> &principals, QObject *parent)
        : QAbstractTableModel(parent), m_all(principals)
    {
        m_folded.reserve(m_all.size());
        for (const PrincipalChoice &p : std::as_const(m_all))
            m_folded.append(foldForSearch(p.code + QLatin1Char(' ') + p.name));
        m_visible.resize(m_all.size());
        for (qsizetype i = 0; i < m_all.size(); ++i)
            m_visible[i] = i;
    }

    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_visible.size());
    }
    int columnCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : ColumnCount;
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || role != Qt::DisplayRole)
            return {};
        const PrincipalChoice &p = at(index.row());
        switch (index.column()) {
        case KindColumn:
            return p.group ? QStringLiteral("Grupo") : QStringLiteral("Operador");
        case CodeColumn:
            return p.code;
        case NameColumn:
            return p.name;
        default:
            return {};
        }
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        switch (section) {
        case KindColumn:
            return QStringLiteral("Tipo");
        case CodeColumn:
            return QStringLiteral("Código");
        case NameColumn:
            return QStringLiteral("Nome");
        default:
            return {};
        }
    }

    const PrincipalChoice &at(int row) const { return m_all[m_visible[row]]; }
    qsizetype total() const { return m_all.size(); }

    void setFilter(const QString &text)
    {
        const QString folded = foldForSearch(text.trimmed());
        if (folded == m_filter)
            return;
        beginResetModel();
        // A longer text only narrows what is shown: search within it.
        QList<qsizetype> from;
        if (!m_filter.isEmpty() && folded.startsWith(m_filter)) {
            from.swap(m_visible);
        } else {
            from.resize(m_all.size());
            for (qsizetype i = 0; i < m_all.size(); ++i)
                from[i] = i;
            m_visible.clear();
        }
        if (folded.isEmpty()) {
            m_visible = from;
        } else {
            m_visible.clear();
            for (qsizetype i : std::as_const(from))
                if (m_folded[i].contains(folded))
                    m_visible.append(i);
        }
        m_filter = folded;
        endResetModel();
    }

private:
    QList<PrincipalChoice> m_all;
    QStringList m_folded;
    QList<qsizetype> m_visible;
    QString m_filter;
};

// ---------------------------------------------------------------- dialog

TdlgCopiaAcessos::TdlgCopiaAcessos(QWidget *parent, const PrincipalChoice &target,
                                   const QList<PrincipalChoice> &principals, Previewer previewer)
    : QDialog(parent), m_previewer(std::move(previewer)), m_target(target)
{
    setObjectName(QStringLiteral("dlgCopiaAcessos"));
    setWindowTitle(QStringLiteral("Copiar acessos de…"));
    QList<PrincipalChoice> sources;
    sources.reserve(principals.size());
    for (const PrincipalChoice &p : principals)
        if (p.key() != target.key())
            sources.append(p);
    m_model = new Model(sources, this);

    lblDestino =
        named(new QLabel(QStringLiteral("Destino: <b>%1</b>").arg(target.caption().toHtmlEscaped()),
                         this),
              "lblDestino");
    auto *lblOrigem = named(new QLabel(QStringLiteral("Copiar os acessos de:"), this), "lblOrigem");
    edtPesquisa = named(new QLineEdit(this), "edtPesquisa");
    edtPesquisa->setPlaceholderText(QStringLiteral("Pesquisar por código ou nome"));
    edtPesquisa->setClearButtonEnabled(true);
    edtPesquisa->installEventFilter(this);
    lblOrigem->setBuddy(edtPesquisa);

    grdOrigens = named(new QTableView(this), "grdOrigens");
    grdOrigens->setModel(m_model);
    grdOrigens->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdOrigens->setSelectionMode(QAbstractItemView::SingleSelection);
    grdOrigens->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdOrigens->setWordWrap(false);
    grdOrigens->verticalHeader()->hide();
    // Fixed row heights keep ten thousand rows from being measured.
    grdOrigens->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grdOrigens->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    grdOrigens->horizontalHeader()->setStretchLastSection(true);
    grdOrigens->setColumnWidth(Model::KindColumn, 90);
    grdOrigens->setColumnWidth(Model::CodeColumn, 110);
    lblEncontrados = named(new QLabel(this), "lblEncontrados");

    auto *grpModo = named(new QGroupBox(QStringLiteral("Modo"), this), "grpModo");
    rbSubstituir = named(new QRadioButton(QStringLiteral("Substituir"), grpModo), "rbSubstituir");
    rbAcrescentar =
        named(new QRadioButton(QStringLiteral("Acrescentar"), grpModo), "rbAcrescentar");
    rbSubstituir->setChecked(true);
    auto *lblSubstituir = named(new QLabel(QStringLiteral("O destino fica exatamente com os fatos, "
                                                          "as dimensões e os filtros da origem."),
                                           grpModo),
                                "lblSubstituir");
    auto *lblAcrescentar = named(
        new QLabel(QStringLiteral("O destino mantém o que tem e ganha os acessos da origem. Numa "
                                  "dimensão filtrada dos dois lados, os valores se somam; sem "
                                  "filtro de um dos lados, fica sem filtro."),
                   grpModo),
        "lblAcrescentar");
    for (QLabel *label : {lblSubstituir, lblAcrescentar}) {
        label->setWordWrap(true);
        label->setContentsMargins(22, 0, 0, 4);
    }
    auto *modeLayout = new QVBoxLayout(grpModo);
    modeLayout->addWidget(rbSubstituir);
    modeLayout->addWidget(lblSubstituir);
    modeLayout->addWidget(rbAcrescentar);
    modeLayout->addWidget(lblAcrescentar);

    auto *grpPrevia = named(new QGroupBox(QStringLiteral("Prévia"), this), "grpPrevia");
    auto *previewLayout = new QGridLayout(grpPrevia);
    const auto previewRow = [&](int row, const QString &caption, const char *name) {
        previewLayout->addWidget(new QLabel(caption, grpPrevia), row, 0);
        auto *value = named(new QLabel(grpPrevia), name);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        previewLayout->addWidget(value, row, 1);
        return value;
    };
    lblPreviaFatos = previewRow(0, QStringLiteral("Fatos:"), "lblPreviaFatos");
    lblPreviaDimensoes = previewRow(1, QStringLiteral("Dimensões:"), "lblPreviaDimensoes");
    lblPreviaValores = previewRow(2, QStringLiteral("Valores de filtro:"), "lblPreviaValores");
    previewLayout->setColumnStretch(1, 1);
    lblPreviaSituacao = named(new QLabel(grpPrevia), "lblPreviaSituacao");
    lblPreviaSituacao->setWordWrap(true);
    previewLayout->addWidget(lblPreviaSituacao, 3, 0, 1, 2);

    btnPrevia = named(new QPushButton(QStringLiteral("Prévia"), this), "btnPrevia");
    btnCopiar = named(new QPushButton(QStringLiteral("Copiar"), this), "btnCopiar");
    btnCancelar = named(new QPushButton(QStringLiteral("Cancelar"), this), "btnCancelar");
    // Enter asks for the preview; copying takes a click on Copiar.
    btnPrevia->setDefault(true);
    btnCopiar->setAutoDefault(false);
    btnCancelar->setAutoDefault(false);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btnPrevia);
    buttons->addWidget(btnCopiar);
    buttons->addWidget(btnCancelar);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblDestino);
    layout->addSpacing(4);
    layout->addWidget(lblOrigem);
    layout->addWidget(edtPesquisa);
    layout->addWidget(grdOrigens, 1);
    layout->addWidget(lblEncontrados);
    layout->addWidget(grpModo);
    layout->addWidget(grpPrevia);
    layout->addLayout(buttons);
    resize(640, 640);

    connect(edtPesquisa, &QLineEdit::textChanged, this, &TdlgCopiaAcessos::search);
    connect(grdOrigens->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &TdlgCopiaAcessos::choiceChanged);
    connect(rbSubstituir, &QRadioButton::toggled, this, &TdlgCopiaAcessos::choiceChanged);
    connect(grdOrigens, &QTableView::doubleClicked, this, &TdlgCopiaAcessos::preview);
    connect(btnPrevia, &QPushButton::clicked, this, &TdlgCopiaAcessos::preview);
    connect(btnCopiar, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancelar, &QPushButton::clicked, this, &QDialog::reject);

    search(QString());
    edtPesquisa->setFocus();
}

TdlgCopiaAcessos::~TdlgCopiaAcessos() = default;

PrincipalChoice TdlgCopiaAcessos::source() const
{
    const QModelIndex current = grdOrigens->currentIndex();
    return current.isValid() ? m_model->at(current.row()) : PrincipalChoice{};
}

QString TdlgCopiaAcessos::mode() const
{
    return rbAcrescentar->isChecked() ? Merge : Replace;
}

void TdlgCopiaAcessos::search(const QString &text)
{
    m_model->setFilter(text);
    lblEncontrados->setText(
        m_model->rowCount() == m_model->total()
            ? QStringLiteral("%1 grupos e operadores").arg(number(m_model->total()))
            : QStringLiteral("%1 de %2 grupos e operadores")
                  .arg(number(m_model->rowCount()), number(m_model->total())));
    if (m_model->rowCount() > 0)
        grdOrigens->setCurrentIndex(m_model->index(0, Model::CodeColumn));
    choiceChanged();
}

void TdlgCopiaAcessos::choiceChanged()
{
    const bool chosen = grdOrigens->currentIndex().isValid();
    const bool current = chosen && source().key() == m_previewedKey && mode() == m_previewedMode;
    btnPrevia->setEnabled(chosen);
    if (current)
        return;
    m_previewedKey.clear();
    showCounts(nullptr);
    lblPreviaSituacao->setText(chosen ? QStringLiteral("Clique em Prévia para ver o que muda em "
                                                       "%1.")
                                            .arg(m_target.caption())
                                      : QStringLiteral("Nenhum grupo ou operador encontrado."));
    btnCopiar->setEnabled(false);
}

void TdlgCopiaAcessos::preview()
{
    if (!grdOrigens->currentIndex().isValid())
        return;
    Application->Guard([this] {
        const PrincipalChoice from = source();
        const CopyCounts counts = m_previewer(from.key(), mode());
        m_previewedKey = from.key();
        m_previewedMode = mode();
        showCounts(&counts);
        if (counts.isEmpty()) {
            lblPreviaSituacao->setText(
                QStringLiteral("Nada muda: %1 já tem esses acessos.").arg(m_target.caption()));
            btnCopiar->setEnabled(false);
        } else {
            lblPreviaSituacao->setText(
                QStringLiteral("Copiar de %1 (%2). Confira e clique em "
                               "Copiar.")
                    .arg(from.caption(), mode() == Merge ? QStringLiteral("Acrescentar")
                                                         : QStringLiteral("Substituir")));
            btnCopiar->setEnabled(true);
        }
    });
}

void TdlgCopiaAcessos::showCounts(const CopyCounts *counts)
{
    const auto pair = [counts](qint64 added, qint64 removed) {
        if (!counts)
            return QStringLiteral("—");
        return QStringLiteral("+%1 / −%2").arg(number(added), number(removed));
    };
    const CopyCounts none;
    const CopyCounts &c = counts ? *counts : none;
    lblPreviaFatos->setText(pair(c.factsAdded, c.factsRemoved));
    lblPreviaDimensoes->setText(pair(c.dimensionsAdded, c.dimensionsRemoved));
    lblPreviaValores->setText(pair(c.valuesAdded, c.valuesRemoved));
}

bool TdlgCopiaAcessos::eventFilter(QObject *watched, QEvent *event)
{
    // Up and Down in the search field walk the list, so that the keyboard
    // never has to leave the field.
    if (watched == edtPesquisa && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp ||
            key == Qt::Key_PageDown) {
            QCoreApplication::sendEvent(grdOrigens, event);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace Cli_quv01000
