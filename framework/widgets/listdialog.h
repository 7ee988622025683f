#pragma once

// The framework's list-selection dialog: the user marks rows of a dataset
// and the marked key values travel in and out as a filter value list.
//
// The filter value list is one text: "_" followed by each value with a "_"
// after every value ("_v_w_"), and the empty text for no values. There is no
// escape, so a value that contains "_" cannot travel in it: such a row is
// shown but cannot be marked.
//
// The dialog stays responsive over a million rows: the model reads cells from
// the dataset only when the view asks, marks are one bit per row, and the
// search runs over a case-folded UTF-8 copy of the searched columns kept in a
// single buffer.

#include "framework/data/dataset.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QDialog>
#include <QLineEdit>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QTableView>

#include <cstdint>
#include <vector>

class QCheckBox;
class QLabel;
class QPushButton;

/// Modal dialog in which the user marks rows of dataSource's dataset. The rows
/// whose value of keyField is in `list` come pre-marked; on OK the marked key
/// values are written back into `list`. Returns true when confirmed.
///
/// `flag` true allows only one mark (marking a row unmarks every other one);
/// false, the usual case, allows any number. Values of `list` that are no key
/// of the dataset are kept in the result unless the user unticks the box that
/// names how many there are. Raises Exception for a null data source, a data
/// source without a dataset, a closed dataset, or a keyField that is not a
/// field of the dataset; `list` is then left as it was.
bool PesquisaListaMsg(TDataSource *dataSource, const QString &keyField, const QString &caption,
                      bool flag, QString &list);

namespace ListaFiltro {

/// The values of a filter value list. The leading "_" may be present or
/// absent; two "_" in a row give an empty value; a last value without its
/// closing "_" is still a value. The empty text and "_" alone give no values.
QStringList parse(QStringView list);

/// The written form of the values: "_v_w_", or the empty text for none.
/// Raises Exception when a value contains "_" (it would come back as two).
QString build(const QStringList &values);

} // namespace ListaFiltro

/// The rows of the dialog: column 0 is the mark (Qt::CheckStateRole), then
/// one column per visible field of the dataset other than its first. Only the
/// rows that match the search text are shown, in dataset order.
class TPesquisaListaModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    /// Reads the dataset once to pre-mark the rows whose key is in `values`
    /// and to build the search copy. Raises Exception for a null or closed
    /// dataset, or a key field that does not belong to it.
    TPesquisaListaModel(TDataSet *dataSet, TField *keyField, const QStringList &values,
                        bool singleMark, QObject *parent = nullptr);
    ~TPesquisaListaModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    /// Column 0, Qt::CheckStateRole: marks or unmarks one shown row; refused
    /// (false) for a row whose key cannot travel in the list.
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;

    /// The dataset row behind a shown row.
    qsizetype DataSetRow(int shownRow) const;
    qsizetype TotalRows() const { return qsizetype(m_marked.size()); }
    qsizetype MarkedCount() const { return m_markedCount; }
    /// Rows whose key contains "_" and so cannot be marked.
    qsizetype BlockedCount() const { return m_blockedCount; }
    bool IsMarked(qsizetype dataSetRow) const;
    bool IsBlocked(qsizetype dataSetRow) const;
    bool SingleMark() const { return m_singleMark; }

    /// The incoming values that are no key of the dataset, in their order.
    const QStringList &AbsentValues() const { return m_absent; }
    /// Distinct keys of the marked rows, in dataset order. Raises Exception
    /// when the dataset no longer has the rows the marks were made on.
    QStringList MarkedKeys() const;
    /// The same keys in the written list form, followed by the absent values
    /// when asked; the empty text when there is nothing to write.
    QString WrittenList(bool withAbsent) const;

    /// Shows only the rows whose searched columns (the key and the shown
    /// columns) contain the text, ignoring case but not accents. An empty text
    /// shows every row. Marks are kept.
    void SetFilterText(const QString &text);
    QString FilterText() const { return m_filterText; }

    /// Sets the mark of the given shown rows; rows that cannot be marked are
    /// skipped. With a single mark allowed, marking takes the first row only
    /// and unmarks every other row.
    void SetMarks(const QList<int> &shownRows, bool marked);
    /// Marks or unmarks every shown row that can be marked. Marking all is
    /// refused when a single mark is allowed. Returns the rows changed.
    qsizetype SetAllShown(bool marked);

signals:
    void marksChanged();

private:
    bool ownIndex(const QModelIndex &index) const;
    template <class F> void forEachMarkedKey(F &&f) const;
    bool setMark(qsizetype row, bool marked);
    void emitMarkColumnChanged();

    // Watched: a packet of another layout replaces the dataset's fields.
    QPointer<TDataSet> m_dataSet;
    QPointer<TField> m_keyField;
    QList<QPointer<TField>> m_columns;
    bool m_singleMark;

    std::vector<bool> m_marked;
    std::vector<bool> m_blocked;
    qsizetype m_markedCount = 0;
    qsizetype m_blockedCount = 0;
    QStringList m_absent;

    // Case-folded UTF-8 of each row's searched cells, each cell followed by a
    // NUL so that a match never spans two cells; row r is the bytes from
    // m_rowStart[r] to m_rowStart[r + 1].
    QByteArray m_search;
    std::vector<std::uint32_t> m_rowStart;

    QString m_filterText;
    QByteArray m_filterNeedle;
    bool m_filtered = false;
    std::vector<std::uint32_t> m_shown; // used only while m_filtered
};

/// The table of the dialog: a click on the mark cell, or the space bar,
/// toggles the marks; other printable keys go to the search box.
class TPesquisaListaGrid : public QTableView
{
    Q_OBJECT
public:
    explicit TPesquisaListaGrid(QWidget *parent = nullptr);
    /// Where typed text goes; null leaves keys to the table.
    void setSearchBox(QLineEdit *searchBox) { m_searchBox = searchBox; }
    /// Toggles the current row, or every selected row when the current row is
    /// one of several selected: they all take the opposite of its mark.
    void ToggleCurrent();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyboardSearch(const QString &search) override;

private:
    QList<int> selectedRowsOrCurrent(int current) const;
    QPointer<QLineEdit> m_searchBox;
    QPersistentModelIndex m_pressed;
    bool m_pressToggles = false;
};

/// The dialog itself ("dlgPesquisaLista"); PesquisaListaMsg runs it modally.
/// Its parts are found by objectName: edtBusca, grdLista, btnMarcarTodos,
/// btnDesmarcarTodos, lblContagem, lblExibidos, lblBloqueados,
/// chkManterAusentes, btnOk, btnCancelar.
class TPesquisaListaDialog : public QDialog
{
    Q_OBJECT
public:
    /// Raises Exception as PesquisaListaMsg does.
    TPesquisaListaDialog(TDataSource *dataSource, const QString &keyField, const QString &caption,
                         bool flag, const QString &list, QWidget *parent = nullptr);
    ~TPesquisaListaDialog() override;

    /// The current marks in the written list form: the marked keys in dataset
    /// order, then the kept values that are no key of the dataset. Raises
    /// Exception when the dataset changed under the dialog.
    QString Lista() const;

    TPesquisaListaModel *Model() const { return m_model; }
    TPesquisaListaGrid *Grid() const { return m_grid; }
    QLineEdit *SearchBox() const { return m_searchBox; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateCounts();

    TPesquisaListaModel *m_model = nullptr;
    TPesquisaListaGrid *m_grid = nullptr;
    QLineEdit *m_searchBox = nullptr;
    QLabel *m_count = nullptr;
    QLabel *m_shown = nullptr;
    QLabel *m_blocked = nullptr;
    QCheckBox *m_keepAbsent = nullptr;
    QPushButton *m_markAll = nullptr;
    QPushButton *m_unmarkAll = nullptr;
};
