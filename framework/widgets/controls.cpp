#include "framework/widgets/controls.h"

#include "framework/app/application.h"

#include <QLabel>
#include <QPainter>
#include <QResizeEvent>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>

// --- TPanel

TPanel::TPanel(QWidget *parent) : QFrame(parent)
{
    applyBevel();
}

QString TPanel::Caption() const
{
    return m_caption ? m_caption->text() : QString();
}

void TPanel::setCaption(const QString &caption)
{
    if (!m_caption) {
        if (caption.isEmpty())
            return;
        m_caption = new QLabel(this);
        m_caption->setObjectName(QStringLiteral("caption"));
        m_caption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        m_caption->setTextFormat(Qt::PlainText);
        m_caption->lower();
    }
    m_caption->setText(caption);
    m_caption->setVisible(!caption.isEmpty());
    placeCaption();
    updateGeometry();
}

QFont TPanel::captionFont() const
{
    return m_caption ? m_caption->font() : font();
}

void TPanel::setCaptionFont(const QFont &captionFont)
{
    if (!m_caption) {
        setCaption(QStringLiteral(" "));
        m_caption->clear();
    }
    m_caption->setFont(captionFont);
    updateGeometry();
}

void TPanel::setBevelInner(TBevelCut cut)
{
    m_inner = cut;
    applyBevel();
}

void TPanel::setBevelOuter(TBevelCut cut)
{
    m_outer = cut;
    applyBevel();
}

void TPanel::setBorderWidth(int width)
{
    if (width < 0)
        width = 0;
    m_borderWidth = width;
    setContentsMargins(width, width, width, width);
    placeCaption();
}

void TPanel::applyBevel()
{
    auto shaded = [](TBevelCut cut) { return cut == bvRaised || cut == bvLowered; };
    const int lines = int(shaded(m_outer)) + int(shaded(m_inner));
    if (lines == 0) {
        setFrameStyle(QFrame::NoFrame);
        setLineWidth(0);
    } else {
        const TBevelCut first = shaded(m_outer) ? m_outer : m_inner;
        setFrameStyle(QFrame::Panel | (first == bvRaised ? QFrame::Raised : QFrame::Sunken));
        setLineWidth(lines);
    }
    placeCaption();
}

void TPanel::placeCaption()
{
    if (m_caption)
        m_caption->setGeometry(contentsRect());
}

QSize TPanel::sizeHint() const
{
    QSize hint = QFrame::sizeHint();
    if (m_caption && m_caption->isVisibleTo(this)) {
        const QMargins m = contentsMargins();
        const int frame = 2 * frameWidth();
        const QSize label = m_caption->sizeHint();
        hint = hint.expandedTo(QSize(label.width() + m.left() + m.right() + frame,
                                     label.height() + m.top() + m.bottom() + frame));
    }
    return hint;
}

void TPanel::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    placeCaption();
}

// --- TScrollBox

TScrollBox::TScrollBox(QWidget *parent) : QScrollArea(parent)
{
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
}

void TScrollBox::setContent(QWidget *content)
{
    setWidget(content);
}

// --- TSpeedButton

TSpeedButton::TSpeedButton(QWidget *parent) : QToolButton(parent)
{
    setAutoRaise(true);
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QToolButton::clicked, this, [this] {
        Application->Guard([this] {
            if (OnClick)
                OnClick(this);
        });
    });
}

void TSpeedButton::Click()
{
    if (OnClick)
        OnClick(this);
}

// --- TImage

TImage::TImage(QWidget *parent) : QWidget(parent)
{
    hide();
}

void TImage::setPicture(const QImage &picture)
{
    m_picture = picture;
    updateGeometry();
    update();
}

QSize TImage::sizeHint() const
{
    return m_picture.isNull() ? QSize(0, 0) : m_picture.size();
}

void TImage::paintEvent(QPaintEvent *)
{
    if (m_picture.isNull())
        return;
    QPainter painter(this);
    painter.drawImage(0, 0, m_picture);
}

// --- TTabSheet / TPageControl

TTabSheet::TTabSheet(TPageControl *pageControl) : QWidget(nullptr)
{
    setPageControl(pageControl);
}

void TTabSheet::setCaption(const QString &caption)
{
    m_caption = caption;
    if (m_pageControl) {
        const int index = m_pageControl->indexOf(this);
        if (index >= 0)
            m_pageControl->setTabText(index, caption);
    }
}

void TTabSheet::setPageControl(TPageControl *pageControl)
{
    if (pageControl == m_pageControl)
        return;
    if (m_pageControl)
        m_pageControl->detach(this);
    m_pageControl = pageControl;
    if (pageControl)
        pageControl->attach(this);
}

int TTabSheet::PageIndex() const
{
    return m_pageControl ? m_pageControl->indexOf(const_cast<TTabSheet *>(this)) : -1;
}

TPageControl::TPageControl(QWidget *parent) : QTabWidget(parent)
{
    m_changed = connect(this, &QTabWidget::currentChanged, this, [this](int) {
        if (m_quiet)
            return;
        Application->Guard([this] {
            if (OnChange)
                OnChange(this);
        });
    });
}

TPageControl::~TPageControl()
{
    // Deleting the pages below switches the current page; nothing of this
    // object may run by then.
    disconnect(m_changed);
}

TTabSheet *TPageControl::ActivePage() const
{
    return qobject_cast<TTabSheet *>(currentWidget());
}

void TPageControl::SetActivePage(TTabSheet *page)
{
    if (!page || indexOf(page) < 0)
        return;
    m_quiet = true;
    setCurrentWidget(page);
    m_quiet = false;
}

void TPageControl::SelectPage(TTabSheet *page)
{
    if (page && indexOf(page) >= 0)
        setCurrentWidget(page);
}

TTabSheet *TPageControl::Pages(int index) const
{
    return qobject_cast<TTabSheet *>(widget(index));
}

void TPageControl::LayOutHidden()
{
    QStyleOptionTabWidgetFrame option;
    initStyleOption(&option);
    tabBar()->setGeometry(style()->subElementRect(QStyle::SE_TabWidgetTabBar, &option, this));
    if (auto *stack = findChild<QStackedWidget *>(QString(), Qt::FindDirectChildrenOnly))
        stack->setGeometry(style()->subElementRect(QStyle::SE_TabWidgetTabContents, &option, this));
}

void TPageControl::attach(TTabSheet *page)
{
    m_quiet = true;
    addTab(page, page->Caption());
    m_quiet = false;
}

void TPageControl::detach(TTabSheet *page)
{
    const int index = indexOf(page);
    if (index < 0)
        return;
    m_quiet = true;
    removeTab(index);
    m_quiet = false;
}

// --- TCanvas

void TCanvas::FillRect(const QRect &rect)
{
    m_painter->fillRect(rect, Brush);
}

void TCanvas::BrushCopy(const QRect &dest, const QImage &bitmap, const QRect &source,
                        const QColor &transparent)
{
    if (dest.isEmpty() || source.isEmpty())
        return;
    QImage part(source.size(), QImage::Format_ARGB32_Premultiplied);
    part.fill(Brush.color());
    const QRect inside = source & bitmap.rect();
    if (!inside.isEmpty()) {
        QImage piece = bitmap.copy(inside).convertToFormat(QImage::Format_ARGB32);
        const QRgb key = transparent.rgba();
        for (int y = 0; y < piece.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(piece.scanLine(y));
            for (int x = 0; x < piece.width(); ++x)
                if (line[x] == key)
                    line[x] = 0;
        }
        QPainter p(&part);
        p.drawImage(inside.topLeft() - source.topLeft(), piece);
    }
    m_painter->drawImage(dest, part);
}
