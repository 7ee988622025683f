#pragma once

// A read-only data grid over a dataset: one row per record, the grid's own
// explicit columns, cells read on demand from the dataset (no widget and no
// copy per row), and the grid's current row tied to the dataset's current
// record in both directions.

#include "framework/app/application.h"

#include <QColor>
#include <QFlags>
#include <QFont>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QTableView>

#include <functional>

class TCanvas;
class TDataLink;
class TDataSet;
class TDataSource;
class TDBGrid;
class TDBGridModel;
class TField;

enum TFontCharset
{
    DEFAULT_CHARSET = 1,
    SYMBOL_CHARSET = 2
};

struct TColumnTitle
{
    QString Caption;
    QFont Font;
    /// Colour of the caption text; invalid: the palette's button text.
    QColor Color;
    Qt::Alignment Alignment = Qt::AlignLeft | Qt::AlignVCenter;
    /// SYMBOL_CHARSET: the caption's characters name pictograms of a symbol
    /// font ("8" check mark, "I" pointing hand, "4" funnel), drawn as such.
    TFontCharset Charset = DEFAULT_CHARSET;
};

/// A grid column bound to a field by name. Changes to its members show at the
/// grid's next repaint; a new Width applies after TDBGrid::RefreshColumns().
class TColumn : public QObject
{
    Q_OBJECT
public:
    explicit TColumn(TDBGrid *grid);

    QString FieldName;
    int Width = 64;
    TColumnTitle Title;
    Qt::Alignment Alignment = Qt::AlignLeft | Qt::AlignVCenter;
    /// The column takes the width the grid gains beyond its design width
    /// (TDBGrid::setDesignWidth) and gives it back as the grid narrows; the
    /// other columns keep theirs. It grows twice as fast as the grid until
    /// the columns reach the viewport's edge, then with the viewport, so a
    /// larger grid shows no empty band beside its columns. Only the grid's
    /// first such column stretches.
    bool Stretch = false;

    /// The field of that name in the grid's dataset, or nullptr.
    TField *Field() const;
    int Index() const;
    TDBGrid *Grid() const { return m_grid; }

private:
    TDBGrid *m_grid;
};

enum TDBGridOption
{
    dgEditing = 0x001,
    dgTitles = 0x002,
    dgIndicator = 0x004,
    dgColumnResize = 0x008,
    dgColLines = 0x010,
    dgRowLines = 0x020,
    dgTabs = 0x040,
    dgRowSelect = 0x080,
    dgAlwaysShowSelection = 0x100,
    dgConfirmDelete = 0x200,
};
Q_DECLARE_FLAGS(TDBGridOptions, TDBGridOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TDBGridOptions)

enum TGridDrawStateFlag
{
    gdSelected = 0x1,
    gdFocused = 0x2,
    gdFixed = 0x4
};
Q_DECLARE_FLAGS(TGridDrawState, TGridDrawStateFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TGridDrawState)

/// The info-tip background colour (the palette's ToolTipBase).
QColor clInfoBk();
/// The normal background of data cells (the palette's Base).
QColor clWindow();

class TDBGrid : public QTableView
{
    Q_OBJECT
public:
    explicit TDBGrid(QWidget *parent = nullptr);
    ~TDBGrid() override;

    TDataSource *DataSource() const;
    void setDataSource(TDataSource *dataSource);
    TDataSet *DataSet() const;

    TColumn *AddColumn(const QString &fieldName, int width, const QString &title);
    QList<TColumn *> Columns() const { return m_columns; }
    /// The column at index, or nullptr when out of range.
    TColumn *Column(int index) const;
    /// Applies every column's Width and title again.
    void RefreshColumns();

    /// The field of the current column, or nullptr.
    TField *SelectedField() const;
    int SelectedIndex() const;
    void setSelectedIndex(int index);

    /// Background of data cells; invalid: clWindow(). Read at every paint.
    QColor Color;
    TDBGridOptions Options() const { return m_options; }
    void setOptions(TDBGridOptions options);
    /// When true the grid draws each cell itself before OnDrawColumnCell.
    bool DefaultDrawing = true;

    /// Valid only while OnDrawColumnCell runs; nullptr otherwise.
    TCanvas *Canvas() const { return m_canvas; }

    // Events; each runs under Application->Guard.
    std::function<void(QObject *Sender)> OnEnter;
    std::function<void(QObject *Sender, const QRect &Rect, int DataCol, TColumn *Column,
                       TGridDrawState State)>
        OnDrawColumnCell;
    /// Mouse release on a data cell, after that cell became the current one.
    std::function<void(TColumn *Column)> OnCellClick;
    std::function<void(QObject *Sender)> OnDblClick;
    /// Key is a virtual key code; setting it to 0 consumes the key.
    std::function<void(QObject *Sender, quint16 &Key, TShiftState Shift)> OnKeyDown;
    /// The typed character (Enter as '\r'); setting it to QChar() consumes it.
    std::function<void(QObject *Sender, QChar &Key)> OnKeyPress;
    std::function<void(TColumn *Column)> OnTitleClick;
    /// The tooltip of a column's title, asked each time the pointer rests on
    /// it; an empty text shows none. It must not change what a click does.
    /// A failure shows no tooltip: the hint is advice, and the click it
    /// describes reports the same failure when the user makes it.
    std::function<QString(TColumn *Column)> OnTitleHint;

    /// The grid's width in the layout its screen was designed at; from then
    /// on the Stretch column follows the grid's width. Negative: unknown, and
    /// no column stretches.
    void setDesignWidth(int width);
    int DesignWidth() const { return m_designWidth; }

    /// The rectangle of a data cell in viewport coordinates (for tests and
    /// handlers that need to find a cell); invalid when out of range.
    QRect CellRect(int row, int column) const;

protected:
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;
    void showEvent(QShowEvent *event) override;
    bool viewportEvent(QEvent *event) override;

private:
    friend class TDBGridDelegate;
    friend class TDBGridHeader;
    void paintCell(QPainter *painter, const QRect &rect, int row, int column, bool selected);
    void followDataSet();
    void reportPaintError(std::exception_ptr error);
    bool cellShownSelected(int row, int column) const;
    void stretchColumn();

    TDataLink *m_link;
    TDBGridModel *m_model;
    QList<TColumn *> m_columns;
    TDBGridOptions m_options;
    TCanvas *m_canvas = nullptr;
    bool m_syncing = false;
    QPersistentModelIndex m_pressed;
    bool m_afterDoubleClick = false;
    /// The grid is its window's entered control: focus left only with the
    /// window (or for a popup), so getting it back is no new entry.
    bool m_entered = false;
    QString m_lastPaintError;
    bool m_paintFailed = false;
    int m_designWidth = -1;
    /// The width the Stretch column holds beyond its own.
    int m_stretched = 0;
    bool m_stretching = false;
};

/// Index of the column of grid bound to fieldName (exact name), -1 if none.
int IndiceCol(TDBGrid *grid, const QString &fieldName);
