#pragma once

// Thin named wrappers over Qt widgets so that a screen is assembled from the
// same component kinds as its layout describes. Each sets only what its
// comment says; the screen sets object names and everything else.

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QFrame>
#include <QImage>
#include <QPointer>
#include <QScrollArea>
#include <QTabWidget>
#include <QToolButton>
#include <QWidget>

#include <functional>

class QLabel;
class QPainter;
class TPageControl;

enum TBevelCut
{
    bvNone,
    bvLowered,
    bvRaised,
    bvSpace
};

/// A frame with an optional one-line caption. The caption label fills the
/// panel's contents rectangle and is not part of any layout, so the screen can
/// give the panel a layout of its own for child widgets.
class TPanel : public QFrame
{
    Q_OBJECT
public:
    explicit TPanel(QWidget *parent = nullptr);

    QString Caption() const;
    /// Left-aligned, vertically centred text; an empty caption hides it.
    void setCaption(const QString &caption);
    QFont captionFont() const;
    void setCaptionFont(const QFont &font);
    QLabel *captionLabel() const { return m_caption; }

    TBevelCut BevelInner() const { return m_inner; }
    TBevelCut BevelOuter() const { return m_outer; }
    void setBevelInner(TBevelCut cut);
    void setBevelOuter(TBevelCut cut);
    /// Space between the bevel and the contents (the contents margins).
    int BorderWidth() const { return m_borderWidth; }
    void setBorderWidth(int width);

    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void applyBevel();
    void placeCaption();

    QLabel *m_caption = nullptr;
    TBevelCut m_inner = bvNone;
    TBevelCut m_outer = bvRaised;
    int m_borderWidth = 0;
};

/// A frameless scroll area whose content follows its size.
class TScrollBox : public QScrollArea
{
    Q_OBJECT
public:
    explicit TScrollBox(QWidget *parent = nullptr);
    void setContent(QWidget *content);
    QWidget *Content() const { return widget(); }
};

/// A flat tool button whose click runs OnClick.
class TSpeedButton : public QToolButton
{
    Q_OBJECT
public:
    explicit TSpeedButton(QWidget *parent = nullptr);

    /// Run under Application->Guard when the user clicks.
    std::function<void(QObject *Sender)> OnClick;
    /// Runs OnClick directly: its exceptions reach the caller.
    void Click();
};

/// A holder of a picture; hidden unless the screen shows it.
class TImage : public QWidget
{
    Q_OBJECT
public:
    explicit TImage(QWidget *parent = nullptr);
    QImage Picture() const { return m_picture; }
    void setPicture(const QImage &picture);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage m_picture;
};

/// One page of a TPageControl.
class TTabSheet : public QWidget
{
    Q_OBJECT
public:
    /// Adds itself as the last page of pageControl when given.
    explicit TTabSheet(TPageControl *pageControl = nullptr);

    QString Caption() const { return m_caption; }
    void setCaption(const QString &caption);
    TPageControl *PageControl() const { return m_pageControl; }
    void setPageControl(TPageControl *pageControl);
    int PageIndex() const;

private:
    QString m_caption;
    QPointer<TPageControl> m_pageControl;
};

/// Tabbed pages. OnChange runs when the user changes the page (tab click,
/// Ctrl+Tab, SelectPage), never for SetActivePage or while pages are added.
class TPageControl : public QTabWidget
{
    Q_OBJECT
public:
    explicit TPageControl(QWidget *parent = nullptr);
    ~TPageControl() override;

    TTabSheet *ActivePage() const;
    /// Shows the page without running OnChange.
    void SetActivePage(TTabSheet *page);
    /// Shows the page as the user would: OnChange runs when the page changes.
    void SelectPage(TTabSheet *page);
    int PageCount() const { return count(); }
    TTabSheet *Pages(int index) const;
    /// Places the tabs and the page area as showing the control would; Qt
    /// lays a hidden tab widget out only once it is shown.
    void LayOutHidden();

    std::function<void(QObject *Sender)> OnChange;

private:
    friend class TTabSheet;
    void attach(TTabSheet *page);
    void detach(TTabSheet *page);
    bool m_quiet = false;
    QMetaObject::Connection m_changed;
};

/// The painting surface handed to a grid's cell-drawing handler.
class TCanvas
{
public:
    explicit TCanvas(QPainter *painter) : m_painter(painter) {}

    /// The background prepared for the cell being drawn.
    QBrush Brush;
    QPainter *Painter() const { return m_painter; }

    void FillRect(const QRect &rect);
    /// Copies the source part of bitmap to dest (scaled only when the sizes
    /// differ); every pixel of exactly the transparent colour, and any part of
    /// source outside the bitmap, shows the Brush colour instead.
    void BrushCopy(const QRect &dest, const QImage &bitmap, const QRect &source,
                   const QColor &transparent);

private:
    QPainter *m_painter;
};
