#include "framework/widgets/dbctrls.h"

#include "framework/app/application.h"
#include "framework/data/datalink.h"
#include "framework/data/dataset.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QStyle>
#include <QToolButton>
#include <QToolTip>

// --- TDBNavigator

TDBNavigator::TDBNavigator(QWidget *parent) : QWidget(parent), m_link(new TDataLink(this))
{
    Hints = {QStringLiteral("Primeiro"), QStringLiteral("Anterior"), QStringLiteral("Próximo"),
             QStringLiteral("Último")};
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    struct Spec
    {
        TNavigateBtn which;
        const char *name;
        QStyle::StandardPixmap icon;
    };
    const Spec specs[] = {
        {nbFirst, "nbFirst", QStyle::SP_MediaSkipBackward},
        {nbPrior, "nbPrior", QStyle::SP_MediaSeekBackward},
        {nbNext, "nbNext", QStyle::SP_MediaSeekForward},
        {nbLast, "nbLast", QStyle::SP_MediaSkipForward},
    };
    for (const Spec &spec : specs) {
        auto *button = new QToolButton(this);
        button->setObjectName(QLatin1StringView(spec.name));
        button->setIcon(style()->standardIcon(spec.icon));
        button->setAutoRaise(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->installEventFilter(this);
        connect(button, &QToolButton::clicked, this, [this, which = spec.which] {
            Application->Guard([this, which] { BtnClick(which); });
        });
        layout->addWidget(button);
        m_buttons[spec.which] = button;
    }
    connect(m_link, &TDataLink::layoutChanged, this, &TDBNavigator::updateButtons);
    connect(m_link, &TDataLink::recordChanged, this, &TDBNavigator::updateButtons);
    connect(m_link, &TDataLink::currentChanged, this, &TDBNavigator::updateButtons);
    connect(m_link, &TDataLink::stateChanged, this, &TDBNavigator::updateButtons);
    connect(m_link, &TDataLink::rowsAppended, this, &TDBNavigator::updateButtons);
    updateButtons();
}

TDataSource *TDBNavigator::DataSource() const
{
    return m_link->DataSource();
}

void TDBNavigator::setDataSource(TDataSource *dataSource)
{
    m_link->setDataSource(dataSource);
}

QToolButton *TDBNavigator::Button(TNavigateBtn button) const
{
    return m_buttons[button];
}

void TDBNavigator::BtnClick(TNavigateBtn button)
{
    TDataSet *ds = m_link->DataSet();
    if (!ds || !ds->Active())
        return;
    switch (button) {
    case nbFirst:
        ds->First();
        break;
    case nbPrior:
        ds->Prior();
        break;
    case nbNext:
        ds->Next();
        break;
    case nbLast:
        ds->Last();
        break;
    }
}

void TDBNavigator::updateButtons()
{
    TDataSet *ds = m_link->DataSet();
    // Rows still loading count as there to come: Next and Last wait for them.
    const bool active = ds && ds->Active() && ds->FetchedCount() > 0;
    // Judged by the record number rather than by the Bof/Eof flags, which
    // only turn on after a move was attempted past an end.
    const qsizetype recNo = active ? ds->RecNo() : 0;
    const bool up = active && recNo > 1;
    const bool down = active && (recNo < ds->FetchedCount() || ds->Fetching());
    m_buttons[nbFirst]->setEnabled(up);
    m_buttons[nbPrior]->setEnabled(up);
    m_buttons[nbNext]->setEnabled(down);
    m_buttons[nbLast]->setEnabled(down);
}

bool TDBNavigator::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        for (int i = 0; i < 4; ++i) {
            if (watched != m_buttons[i])
                continue;
            const QString hint = i < Hints.size() ? Hints[i] : QString();
            if (hint.isEmpty())
                QToolTip::hideText();
            else
                QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), hint,
                                   m_buttons[i]);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

// --- TDBText

TDBText::TDBText(QWidget *parent) : QLabel(parent), m_link(new TDataLink(this))
{
    setTextFormat(Qt::PlainText);
    connect(m_link, &TDataLink::layoutChanged, this, &TDBText::refresh);
    connect(m_link, &TDataLink::recordChanged, this, &TDBText::refresh);
    connect(m_link, &TDataLink::currentChanged, this, &TDBText::refresh);
    connect(m_link, &TDataLink::stateChanged, this, &TDBText::refresh);
}

TDataSource *TDBText::DataSource() const
{
    return m_link->DataSource();
}

void TDBText::setDataSource(TDataSource *dataSource)
{
    TDataSource *previous = m_link->DataSource();
    m_link->setDataSource(dataSource);
    try {
        checkField();
    } catch (...) {
        m_link->setDataSource(previous);
        throw;
    }
}

void TDBText::setDataField(const QString &fieldName)
{
    const QString previous = m_dataField;
    m_dataField = fieldName;
    try {
        checkField();
    } catch (...) {
        m_dataField = previous;
        throw;
    }
    refresh();
}

void TDBText::checkField() const
{
    TDataSet *ds = m_link->DataSet();
    if (m_dataField.isEmpty() || !ds || !ds->Active() || ds->FindField(m_dataField))
        return;
    throw EDatabaseError(QStringLiteral("%1: campo '%2' não encontrado")
                             .arg(ds->objectName().isEmpty() ? QStringLiteral("Conjunto de dados")
                                                             : ds->objectName(),
                                  m_dataField));
}

void TDBText::refresh()
{
    TDataSet *ds = m_link->DataSet();
    // While a record is being calculated the fields read that record, not
    // the current one.
    if (ds && ds->State() == TDataSetState::CalcFields)
        return;
    TField *field = (ds && !m_dataField.isEmpty()) ? ds->FindField(m_dataField) : nullptr;
    setText(field && ds->Active() && !ds->IsEmpty() ? field->AsString() : QString());
}
