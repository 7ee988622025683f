#include "framework/widgets/dbgrid.h"

#include "framework/data/datalink.h"
#include "framework/data/dataset.h"
#include "framework/data/rowfeed.h"
#include "framework/widgets/controls.h"

#include <QAbstractTableModel>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyledItemDelegate>
#include <QTimer>

#include <algorithm>

QColor clInfoBk()
{
    return QGuiApplication::palette().color(QPalette::ToolTipBase);
}

QColor clWindow()
{
    return QGuiApplication::palette().color(QPalette::Base);
}

// --- TColumn

TColumn::TColumn(TDBGrid *grid) : QObject(grid), m_grid(grid) {}

TField *TColumn::Field() const
{
    TDataSet *ds = m_grid ? m_grid->DataSet() : nullptr;
    return ds ? ds->FindField(FieldName) : nullptr;
}

int TColumn::Index() const
{
    return m_grid ? int(m_grid->Columns().indexOf(const_cast<TColumn *>(this))) : -1;
}

// --- the model: reads cells from the dataset when the view asks

class TDBGridModel : public QAbstractTableModel
{
public:
    explicit TDBGridModel(TDBGrid *grid) : QAbstractTableModel(grid), m_grid(grid) {}

    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : m_rows;
    }
    int columnCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_grid->Columns().size());
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!checkIndex(index, CheckIndexOption::IndexIsValid))
            return {};
        TColumn *column = m_grid->Column(index.column());
        switch (role) {
        case Qt::DisplayRole: {
            TDataSet *ds = m_grid->DataSet();
            TField *field = column ? column->Field() : nullptr;
            if (!ds || !field || !ds->Active() || index.row() >= ds->FetchedCount())
                return QString();
            return ds->CellText(index.row(), field);
        }
        case Qt::TextAlignmentRole:
            return column ? QVariant(int(column->Alignment)) : QVariant();
        default:
            return {};
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Vertical) {
            if (role == Qt::DisplayRole && section == currentRow())
                return QStringLiteral("\u25B8");
            return {};
        }
        TColumn *column = m_grid->Column(section);
        if (!column)
            return {};
        switch (role) {
        case Qt::DisplayRole:
            return column->Title.Charset == SYMBOL_CHARSET ? QString() : titleText(column);
        case Qt::FontRole:
            return column->Title.Font;
        case Qt::ForegroundRole:
            return column->Title.Color.isValid() ? QVariant(column->Title.Color) : QVariant();
        case Qt::TextAlignmentRole:
            return int(column->Title.Alignment);
        case Qt::ToolTipRole:
            return titleHint(column);
        default:
            return {};
        }
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        if (!index.isValid())
            return Qt::NoItemFlags;
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    }

    void reload()
    {
        beginResetModel();
        TDataSet *ds = m_grid->DataSet();
        m_rows = (ds && ds->Active()) ? int(ds->FetchedCount()) : 0;
        m_indicatorRow = -1;
        endResetModel();
    }

    void rowChanged(qsizetype row)
    {
        TDataSet *ds = m_grid->DataSet();
        const int rows = (ds && ds->Active()) ? int(ds->FetchedCount()) : 0;
        if (rows != m_rows) {
            reload();
            return;
        }
        if (row >= 0 && row < m_rows && columnCount() > 0)
            emit dataChanged(index(int(row), 0), index(int(row), columnCount() - 1));
    }

    // Rows a background load added at the end.
    void rowsAppended()
    {
        TDataSet *ds = m_grid->DataSet();
        const int rows = (ds && ds->Active()) ? int(ds->FetchedCount()) : 0;
        if (rows <= m_rows) {
            if (rows < m_rows)
                reload();
            return;
        }
        beginInsertRows({}, m_rows, rows - 1);
        m_rows = rows;
        endInsertRows();
    }

    void insertColumn(int at) { beginInsertColumns({}, at, at); }
    void insertedColumn() { endInsertColumns(); }

    void moveIndicator(int row)
    {
        const int old = m_indicatorRow;
        m_indicatorRow = row;
        if (old >= 0 && old < m_rows)
            emit headerDataChanged(Qt::Vertical, old, old);
        if (row >= 0 && row < m_rows)
            emit headerDataChanged(Qt::Vertical, row, row);
    }

    QVariant titleHint(TColumn *column) const
    {
        if (!m_grid->OnTitleHint)
            return {};
        try {
            const QString hint = m_grid->OnTitleHint(column);
            return hint.isEmpty() ? QVariant() : QVariant(hint);
        } catch (...) {
            return {};
        }
    }

    static QString titleText(const TColumn *column)
    {
        if (!column->Title.Caption.isEmpty())
            return column->Title.Caption;
        if (TField *field = column->Field())
            return field->DisplayLabel();
        return column->FieldName;
    }

private:
    int currentRow() const { return m_indicatorRow; }

    TDBGrid *m_grid;
    int m_rows = 0;
    int m_indicatorRow = -1;
};

// --- delegate: all cell painting goes through the grid

class TDBGridDelegate : public QStyledItemDelegate
{
public:
    explicit TDBGridDelegate(TDBGrid *grid) : QStyledItemDelegate(grid), m_grid(grid) {}

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        m_grid->paintCell(painter, option.rect, index.row(), index.column(),
                          option.state & QStyle::State_Selected);
    }

    QWidget *createEditor(QWidget *, const QStyleOptionViewItem &,
                          const QModelIndex &) const override
    {
        return nullptr; // cells are never edited in place
    }

private:
    TDBGrid *m_grid;
};

// --- header: titles with their own font and colour, symbol titles as pictograms

namespace {

void drawPictogram(QPainter *painter, const QRect &area, QChar symbol, const QColor &fill,
                   const QColor &outline)
{
    const int side = qMin(qMin(area.width(), area.height()) - 2, 14);
    if (side < 4)
        return;
    const QRectF box(area.center().x() - side / 2.0 + 0.5, area.center().y() - side / 2.0 + 0.5,
                     side, side);
    auto at = [&box](qreal x, qreal y) {
        return QPointF(box.left() + x * box.width(), box.top() + y * box.height());
    };
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    bool stroked = false;
    switch (symbol.unicode()) {
    case '8': // check mark
        path.moveTo(at(0.12, 0.55));
        path.lineTo(at(0.40, 0.82));
        path.lineTo(at(0.88, 0.18));
        stroked = true;
        break;
    case 'I': // hand pointing right: palm, index finger, folded fingers
        path.addRoundedRect(QRectF(at(0.08, 0.38), at(0.52, 0.88)), 2, 2);
        path.addRoundedRect(QRectF(at(0.45, 0.38), at(0.95, 0.54)), 1.5, 1.5);
        path.addRoundedRect(QRectF(at(0.40, 0.54), at(0.66, 0.68)), 1.5, 1.5);
        path.addRoundedRect(QRectF(at(0.40, 0.68), at(0.62, 0.82)), 1.5, 1.5);
        path.addRoundedRect(QRectF(at(0.22, 0.18), at(0.38, 0.42)), 1.5, 1.5);
        path = path.simplified();
        break;
    case '4': // funnel
        path.moveTo(at(0.08, 0.12));
        path.lineTo(at(0.92, 0.12));
        path.lineTo(at(0.58, 0.52));
        path.lineTo(at(0.58, 0.90));
        path.lineTo(at(0.42, 0.78));
        path.lineTo(at(0.42, 0.52));
        path.closeSubpath();
        break;
    default: {
        QFont font = painter->font();
        font.setPixelSize(side);
        path.addText(0, 0, font, QString(symbol));
        const QRectF bounds = path.boundingRect();
        path.translate(box.center() - bounds.center());
        break;
    }
    }
    if (stroked) {
        painter->setPen(QPen(outline, 3.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter->drawPath(path);
        painter->setPen(QPen(fill, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter->drawPath(path);
    } else {
        painter->setPen(QPen(outline, 1.0));
        painter->setBrush(fill);
        painter->drawPath(path);
    }
    painter->restore();
}

} // namespace

class TDBGridHeader : public QHeaderView
{
public:
    explicit TDBGridHeader(TDBGrid *grid) : QHeaderView(Qt::Horizontal, grid), m_grid(grid) {}

protected:
    void paintSection(QPainter *painter, const QRect &rect, int logicalIndex) const override
    {
        QHeaderView::paintSection(painter, rect, logicalIndex);
        TColumn *column = m_grid->Column(logicalIndex);
        if (!column || column->Title.Charset != SYMBOL_CHARSET || column->Title.Caption.isEmpty())
            return;
        // The symbol font these titles were designed for is not available
        // everywhere; the pictograms carry the same meaning. A dark outline
        // keeps a light title colour readable on the header's face.
        const QColor fill = column->Title.Color.isValid() ? column->Title.Color
                                                          : palette().color(QPalette::ButtonText);
        QColor outline = palette().color(QPalette::ButtonText);
        if (qGray(fill.rgb()) < 128)
            outline = palette().color(QPalette::Button);
        const QString caption = column->Title.Caption;
        const int n = int(caption.size());
        const int w = rect.width() / n;
        // The base painting leaves an emptied clip behind.
        painter->save();
        painter->setClipRect(rect);
        for (int i = 0; i < n; ++i)
            drawPictogram(painter, QRect(rect.left() + i * w, rect.top(), w, rect.height()),
                          caption[i], fill, outline);
        painter->restore();
    }

private:
    TDBGrid *m_grid;
};

// --- TDBGrid

TDBGrid::TDBGrid(QWidget *parent)
    : QTableView(parent), m_link(new TDataLink(this)), m_model(new TDBGridModel(this))
{
    setHorizontalHeader(new TDBGridHeader(this));
    setModel(m_model);
    setItemDelegate(new TDBGridDelegate(this));
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setWordWrap(false);
    setShowGrid(false);
    setCornerButtonEnabled(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setMinimumSectionSize(8);
    verticalHeader()->setHighlightSections(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    verticalHeader()->setMinimumSectionSize(fontMetrics().height() + 2);
    verticalHeader()->setFixedWidth(14);
    verticalHeader()->setDefaultAlignment(Qt::AlignCenter);

    connect(m_link, &TDataLink::layoutChanged, this, [this] {
        m_model->reload();
        followDataSet();
    });
    connect(m_link, &TDataLink::recordChanged, this, [this](qsizetype row) {
        m_model->rowChanged(row);
        followDataSet();
    });
    connect(m_link, &TDataLink::currentChanged, this, &TDBGrid::followDataSet);
    connect(m_link, &TDataLink::rowsAppended, this, [this] { m_model->rowsAppended(); });
    // A load that failed in the background is reported once, by the grid
    // that shows it; a load stopped on purpose is not.
    connect(m_link, &TDataLink::fetchEnded, this, [this] {
        TDataSet *ds = DataSet();
        const std::shared_ptr<TRowFeed> feed = ds ? ds->Feed() : nullptr;
        if (feed && feed->state() == TRowFeed::State::Failed)
            Application->Guard([ds] { ds->FetchAll(); });
    });
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int logical) {
        TColumn *column = Column(logical);
        if (!column)
            return;
        Application->Guard([this, column] {
            if (OnTitleClick)
                OnTitleClick(column);
        });
    });
    connect(horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int logical, int, int size) {
                TColumn *column = Column(logical);
                if (!column)
                    return;
                column->Width = size;
                // Narrowed by hand below what it holds beyond its own width,
                // the stretching column keeps the user's width as its own.
                if (!m_stretching && column->Stretch)
                    m_stretched = qMin(m_stretched, size);
            });

    setOptions(dgEditing | dgTitles | dgIndicator | dgColumnResize | dgColLines | dgRowLines |
               dgTabs | dgConfirmDelete);
}

TDBGrid::~TDBGrid()
{
    // Widgets below are torn down after this body; nothing may reach the
    // handlers or the dataset from there.
    m_link->disconnect(this);
    horizontalHeader()->disconnect(this);
    m_syncing = true;
}

TDataSource *TDBGrid::DataSource() const
{
    return m_link->DataSource();
}

void TDBGrid::setDataSource(TDataSource *dataSource)
{
    m_link->setDataSource(dataSource);
}

TDataSet *TDBGrid::DataSet() const
{
    return m_link->DataSet();
}

TColumn *TDBGrid::AddColumn(const QString &fieldName, int width, const QString &title)
{
    if (width < 0)
        throw Exception(
            QStringLiteral("Largura inválida (%1) para a coluna %2").arg(width).arg(fieldName));
    auto *column = new TColumn(this);
    column->FieldName = fieldName;
    column->Width = width;
    column->Title.Caption = title;
    column->Title.Font = horizontalHeader()->font();
    const int at = int(m_columns.size());
    m_model->insertColumn(at);
    m_columns.append(column);
    m_model->insertedColumn();
    setColumnWidth(at, width);
    return column;
}

TColumn *TDBGrid::Column(int index) const
{
    return index >= 0 && index < m_columns.size() ? m_columns[index] : nullptr;
}

void TDBGrid::RefreshColumns()
{
    for (int i = 0; i < m_columns.size(); ++i)
        if (columnWidth(i) != m_columns[i]->Width)
            setColumnWidth(i, m_columns[i]->Width);
    horizontalHeader()->viewport()->update();
    viewport()->update();
}

TField *TDBGrid::SelectedField() const
{
    TColumn *column = Column(SelectedIndex());
    return column ? column->Field() : nullptr;
}

int TDBGrid::SelectedIndex() const
{
    const QModelIndex current = currentIndex();
    if (current.isValid())
        return current.column();
    return m_columns.isEmpty() ? -1 : 0;
}

void TDBGrid::setSelectedIndex(int index)
{
    if (index < 0 || index >= m_columns.size())
        return;
    const QModelIndex current = currentIndex();
    const int row = current.isValid() ? current.row() : 0;
    if (row < m_model->rowCount())
        setCurrentIndex(m_model->index(row, index));
}

void TDBGrid::setOptions(TDBGridOptions options)
{
    m_options = options;
    horizontalHeader()->setVisible(options.testFlag(dgTitles));
    verticalHeader()->setVisible(options.testFlag(dgIndicator));
    horizontalHeader()->setSectionResizeMode(
        options.testFlag(dgColumnResize) ? QHeaderView::Interactive : QHeaderView::Fixed);
    setTabKeyNavigation(options.testFlag(dgTabs));
    setSelectionBehavior(options.testFlag(dgRowSelect) ? QAbstractItemView::SelectRows
                                                       : QAbstractItemView::SelectItems);
    // Re-select the current cell in the new behaviour.
    const QModelIndex current = currentIndex();
    if (current.isValid())
        selectionModel()->setCurrentIndex(current, QItemSelectionModel::ClearAndSelect |
                                                       (options.testFlag(dgRowSelect)
                                                            ? QItemSelectionModel::Rows
                                                            : QItemSelectionModel::NoUpdate));
    viewport()->update();
}

QRect TDBGrid::CellRect(int row, int column) const
{
    if (row < 0 || row >= m_model->rowCount() || column < 0 || column >= m_columns.size())
        return {};
    return visualRect(m_model->index(row, column));
}

bool TDBGrid::cellShownSelected(int, int) const
{
    return hasFocus() || m_options.testFlag(dgAlwaysShowSelection);
}

void TDBGrid::paintCell(QPainter *painter, const QRect &rect, int row, int column, bool selected)
{
    TColumn *col = Column(column);
    const bool shownSelected = selected && cellShownSelected(row, column);
    const QModelIndex current = currentIndex();
    const bool focused =
        hasFocus() && current.isValid() && current.row() == row && current.column() == column;

    // Grid lines take the last pixel column and row of the cell, outside the
    // rectangle handed to the drawing handler.
    QRect cell = rect;
    if (m_options.testFlag(dgColLines))
        cell.setRight(cell.right() - 1);
    if (m_options.testFlag(dgRowLines))
        cell.setBottom(cell.bottom() - 1);

    const QColor background = shownSelected ? palette().color(QPalette::Active, QPalette::Highlight)
                              : Color.isValid() ? Color
                                                : clWindow();
    painter->save();
    painter->fillRect(rect, background);
    QPen linePen(palette().color(QPalette::Mid));
    painter->setPen(linePen);
    if (m_options.testFlag(dgColLines))
        painter->drawLine(rect.topRight(), rect.bottomRight());
    if (m_options.testFlag(dgRowLines))
        painter->drawLine(rect.bottomLeft(), rect.bottomRight());

    if (DefaultDrawing && col) {
        const QString text = m_model->data(m_model->index(row, column), Qt::DisplayRole).toString();
        painter->setPen(palette().color(QPalette::Active, shownSelected ? QPalette::HighlightedText
                                                                        : QPalette::Text));
        painter->setClipRect(cell);
        painter->drawText(cell.adjusted(2, 0, -2, 0), int(col->Alignment | Qt::TextSingleLine),
                          text);
        painter->setClipping(false);
    }
    painter->restore();

    if (OnDrawColumnCell && col) {
        TGridDrawState state;
        if (shownSelected)
            state |= gdSelected;
        if (focused)
            state |= gdFocused;
        painter->save();
        painter->setClipRect(cell);
        TCanvas canvas(painter);
        canvas.Brush = QBrush(background);
        m_canvas = &canvas;
        try {
            OnDrawColumnCell(this, cell, column, col, state);
        } catch (...) {
            reportPaintError(std::current_exception());
        }
        m_canvas = nullptr;
        painter->restore();
    }
}

void TDBGrid::reportPaintError(std::exception_ptr error)
{
    m_paintFailed = true;
    const QString message = TApplication::ExceptionMessage(error);
    // A failing handler fails again on every repaint; report it once, and
    // never from inside the paint event (a dialog there would repaint).
    if (message == m_lastPaintError)
        return;
    m_lastPaintError = message;
    QTimer::singleShot(0, this, [error] { Application->HandleException(error); });
}

void TDBGrid::paintEvent(QPaintEvent *event)
{
    m_paintFailed = false;
    QTableView::paintEvent(event);
    if (!m_paintFailed)
        m_lastPaintError.clear();
}

void TDBGrid::followDataSet()
{
    if (m_syncing)
        return;
    TDataSet *ds = DataSet();
    const int row = (ds && ds->Active()) ? int(ds->RecNo()) - 1 : -1;
    m_model->moveIndicator(row);
    if (row < 0 || row >= m_model->rowCount())
        return;
    const QModelIndex current = currentIndex();
    if (current.isValid() && current.row() == row)
        return;
    const int column = current.isValid() ? current.column() : 0;
    if (column >= m_model->columnCount())
        return;
    m_syncing = true;
    const QModelIndex target = m_model->index(row, column);
    selectionModel()->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect |
                                                  (m_options.testFlag(dgRowSelect)
                                                       ? QItemSelectionModel::Rows
                                                       : QItemSelectionModel::NoUpdate));
    scrollTo(target);
    m_syncing = false;
}

void TDBGrid::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    QTableView::currentChanged(current, previous);
    if (m_syncing || !current.isValid())
        return;
    TDataSet *ds = DataSet();
    if (!ds || !ds->Active() || current.row() + 1 == ds->RecNo())
        return;
    m_syncing = true;
    Application->Guard([ds, row = current.row()] { ds->setRecNo(row + 1); });
    m_syncing = false;
    // The move may have failed or landed elsewhere; the view shows where the
    // dataset really is.
    followDataSet();
    m_model->moveIndicator(int(ds->RecNo()) - 1);
}

void TDBGrid::focusInEvent(QFocusEvent *event)
{
    QTableView::focusInEvent(event);
    viewport()->update();
    // Only focus moving between controls enters the grid; the window being
    // activated again does not. The window's first activation does: the grid
    // it focuses first is entered then.
    const Qt::FocusReason reason = event->reason();
    const bool backToWindow =
        reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason;
    if (backToWindow && m_entered)
        return;
    m_entered = true;
    Application->Guard([this] {
        if (OnEnter)
            OnEnter(this);
    });
}

void TDBGrid::focusOutEvent(QFocusEvent *event)
{
    QTableView::focusOutEvent(event);
    viewport()->update();
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason)
        m_entered = false;
}

void TDBGrid::keyPressEvent(QKeyEvent *event)
{
    quint16 key = VirtualKeyCode(*event);
    if (key != 0 && OnKeyDown) {
        const TShiftState shift = ShiftStateOf(event->modifiers());
        Application->Guard([this, &key, shift] { OnKeyDown(this, key, shift); });
        if (key == 0) {
            event->accept();
            return;
        }
    }
    const QString text = event->text();
    if (!text.isEmpty()) {
        QChar ch = text.front();
        if (OnKeyPress) {
            Application->Guard([this, &ch] { OnKeyPress(this, ch); });
            if (ch.isNull()) {
                event->accept();
                return;
            }
        }
        // No in-place editing and no jump-to-typed-text: printable keys end
        // here, so a typed character never moves the current record.
        if (ch.isPrint()) {
            event->accept();
            return;
        }
    }
    QTableView::keyPressEvent(event);
}

void TDBGrid::mousePressEvent(QMouseEvent *event)
{
    m_afterDoubleClick = false;
    m_pressed = indexAt(event->position().toPoint());
    QTableView::mousePressEvent(event);
}

void TDBGrid::mouseReleaseEvent(QMouseEvent *event)
{
    QTableView::mouseReleaseEvent(event);
    const bool afterDouble = m_afterDoubleClick;
    m_afterDoubleClick = false;
    if (event->button() != Qt::LeftButton || afterDouble)
        return;
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid() || index != m_pressed)
        return;
    TColumn *column = Column(index.column());
    Application->Guard([this, column] {
        if (OnCellClick)
            OnCellClick(column);
    });
}

void TDBGrid::mouseDoubleClickEvent(QMouseEvent *event)
{
    QTableView::mouseDoubleClickEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid())
        return;
    // The press that opened this double click already gave a cell click; the
    // release that ends it gives none.
    m_afterDoubleClick = true;
    Application->Guard([this] {
        if (OnDblClick)
            OnDblClick(this);
    });
}

void TDBGrid::showEvent(QShowEvent *event)
{
    QTableView::showEvent(event);
    RefreshColumns();
    followDataSet();
}

bool TDBGrid::viewportEvent(QEvent *event)
{
    const bool handled = QTableView::viewportEvent(event);
    // The viewport changes with the grid and with its scroll bars.
    if (event->type() == QEvent::Resize)
        stretchColumn();
    return handled;
}

void TDBGrid::setDesignWidth(int width)
{
    m_designWidth = width;
    stretchColumn();
}

void TDBGrid::stretchColumn()
{
    const auto found = std::find_if(m_columns.cbegin(), m_columns.cend(),
                                    [](const TColumn *column) { return column->Stretch; });
    if (found == m_columns.cend())
        return;
    TColumn *column = *found;
    const int index = int(found - m_columns.cbegin());
    const int own = column->Width - m_stretched;
    const int gained = m_designWidth < 0 ? 0 : qMax(0, width() - m_designWidth);
    // What the column may take before the columns pass the viewport's edge.
    int room = viewport()->width();
    for (const TColumn *other : std::as_const(m_columns))
        if (other != column)
            room -= other->Width;
    // Twice what the grid gained, so that the empty band a grid may show
    // beside its columns as designed is gone once the grid has grown by as
    // much, and the columns fill it from then on.
    const int target = qMax(own, qMin(room, own + 2 * gained));
    if (target == column->Width)
        return;
    m_stretched = target - own;
    column->Width = target;
    m_stretching = true;
    setColumnWidth(index, target);
    m_stretching = false;
}

int IndiceCol(TDBGrid *grid, const QString &fieldName)
{
    if (!grid)
        return -1;
    const QList<TColumn *> columns = grid->Columns();
    for (int i = 0; i < columns.size(); ++i)
        if (columns[i]->FieldName == fieldName)
            return i;
    return -1;
}
