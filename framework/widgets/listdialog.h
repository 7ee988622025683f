#pragma once

// The framework's list-selection dialog: the user marks rows of a dataset
// and the marked key values travel in and out as a filter value list.
//
// The filter value list is one text: "_" followed by each value with a "_"
// after every value ("_v_w_"), and the empty text for no values. There is no
// escape, so a value that contains "_" cannot travel in it: such a row is
// shown but cannot be marked.
//
// The dialog stays responsive over ten million rows: it shows the rows as they
// arrive from a dataset still loading in the background, the model reads
// cells from the dataset only when the view asks, marks are one bit per row,
// and the search scans the dataset's own cells, folding case and accents as
// it compares (searchtext.h), so the rows are held once.

#include "framework/data/dataset.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QTableView>
#include <QTimer>

#include <cstdint>
#include <vector>

class QCheckBox;
class QLabel;
class QPushButton;

/// Modal dialog in which the user marks rows of dataSource's dataset. The rows
/// whose value of keyField is in `list` come pre-marked; on OK the marked key
/// values are written back into `list`. Returns true when confirmed.
///
/// The dataset may still be loading: the dialog shows the rows as they come.
/// When the dialog closes, a load still under way is stopped (the rows not
/// read yet are not needed, and a reader would hold up the change that
/// follows on a file database). A load that fails while the dialog is open
/// closes it and raises EDatabaseError saying so; `list` is then untouched
/// and nothing is stored.
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
/// rows that match the search text (and, with OnlyMarked, are marked) are
/// shown, in dataset order.
///
/// The dataset may still be loading in the background (see TDataSet): the
/// model shows the rows it has, pre-marks and folds each arriving row once,
/// searches whatever has arrived and adds the matches of later rows as they
/// come. Incoming values that have not been seen yet are pending: they are
/// written back untouched, since the user could not have unmarked them.
/// Everything runs on the GUI thread.
class TPesquisaListaModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    /// Reads the rows the dataset has to pre-mark the rows whose key is in
    /// `values`, and follows the rows still to come. Raises Exception for a
    /// null or closed dataset, a key field that does not belong to it, or a
    /// dataset whose load already failed.
    TPesquisaListaModel(TDataSet *dataSet, TField *keyField, const QStringList &values,
                        bool singleMark, QObject *parent = nullptr);
    /// The values in the filter value list form ("_v_w_", read as
    /// ListaFiltro::parse reads it), handed over as they are.
    struct ValueList
    {
        explicit ValueList(QStringView list) : text(list) {}
        QStringView text;
    };
    /// The same, with the values as a list: a stored filter of a million
    /// values is not made into a million strings first.
    TPesquisaListaModel(TDataSet *dataSet, TField *keyField, ValueList values, bool singleMark,
                        QObject *parent = nullptr);
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
    /// The rows that have arrived.
    qsizetype TotalRows() const { return qsizetype(m_marked.size()); }
    /// The rows shown: every row, or those the search found so far. The view
    /// may learn of the last ones a moment later (rowCount()): telling it of
    /// every batch of a long load would cost more than the load.
    qsizetype ShownCount() const;
    /// True while the dataset is still bringing rows.
    bool Loading() const { return m_loading; }
    qsizetype MarkedCount() const { return m_markedCount; }
    /// Marked rows among the shown ones.
    qsizetype MarkedShownCount() const;
    /// Rows whose key contains "_" and so cannot be marked.
    qsizetype BlockedCount() const { return m_blockedCount; }
    bool IsMarked(qsizetype dataSetRow) const;
    bool IsBlocked(qsizetype dataSetRow) const;
    bool SingleMark() const { return m_singleMark; }

    /// The incoming values that are no key of the dataset, in their order;
    /// known once every row has arrived (empty before).
    const QStringList &AbsentValues() const { return m_absent; }
    /// Incoming values not seen among the rows so far.
    qsizetype PendingCount() const { return m_wantedCount - m_foundCount; }
    /// Distinct keys of the marked rows, in dataset order. Raises Exception
    /// when the dataset no longer has the rows the marks were made on.
    QStringList MarkedKeys() const;
    /// The same keys in the written list form, followed by the incoming
    /// values not seen yet (while loading) or, when asked, the absent ones;
    /// the empty text when there is nothing to write. With a single mark
    /// allowed and a row marked, no incoming value is added.
    QString WrittenList(bool withAbsent) const;

    /// Shows only the rows whose searched columns (the key and the shown
    /// columns) contain the text, ignoring case and accents. An empty text
    /// shows every row. Marks are kept.
    ///
    /// A search over many rows runs in slices from the event loop, each
    /// keystroke starting over: the first slice's matches show at once and
    /// later ones are added as found (SearchDone() tells when it is over).
    void SetFilterText(const QString &text);
    QString FilterText() const { return m_filterText; }
    /// Shows only the rows marked when it is set (with the search text, the
    /// marked rows that match). Rows unmarked afterwards stay shown until the
    /// filter is set again, so that a mark taken off by mistake can be put
    /// back; rows that arrive marked are added.
    void SetOnlyMarked(bool onlyMarked);
    bool OnlyMarked() const { return m_onlyMarked; }
    bool Filtered() const { return m_filtered; }
    /// True when every arrived row has been searched.
    bool SearchDone() const;
    /// Runs the search to its end now.
    void FinishSearch();

    /// Sets the mark of the given shown rows; rows that cannot be marked are
    /// skipped. With a single mark allowed, marking takes the first row only
    /// and unmarks every other row.
    void SetMarks(const QList<int> &shownRows, bool marked);
    /// Marks or unmarks every shown row that can be marked (the search is
    /// finished first). Marking all is refused when a single mark is allowed.
    /// Returns the rows changed.
    qsizetype SetAllShown(bool marked);

signals:
    void marksChanged();
    /// The shown rows changed (search, rows arrived).
    void shownChanged();
    /// Rows arrived or the load ended.
    void loadChanged();

private:
    void checkSource();
    size_t reserveWanted(size_t values);
    void addWanted(QByteArrayView value, quint64 hash, size_t mask);
    void follow();
    bool ownIndex(const QModelIndex &index) const;
    template <class F> void forEachMarkedKey(F &&f) const;
    bool setMark(qsizetype row, bool marked);
    void emitMarkColumnChanged();
    void absorb(qsizetype first, qsizetype count);
    void loadEnded();
    void startSearch();
    bool searchStep(qint64 budgetMs, bool first);
    void replaceShown(bool filtered, std::vector<std::uint32_t> rows);
    void appendShown(const std::vector<std::uint32_t> &rows);
    void recountMarkedShown();
    void publish(bool now);
    void publishStep();
    qsizetype wantedIndex(QByteArrayView key, quint64 hash) const;
    QByteArrayView wanted(size_t index) const;

    // Watched: a packet of another layout replaces the dataset's fields.
    QPointer<TDataSet> m_dataSet;
    QPointer<TField> m_keyField;
    QList<QPointer<TField>> m_columns;
    QList<TField *> m_searched;
    bool m_singleMark;
    bool m_loading = false;
    bool m_stale = false; // the dataset was replaced under the marks

    // The incoming values, each once, back to back with their end offsets,
    // found through an open-addressing table of indexes (0: empty; else
    // index + 1, with the high half of the value's hash): a million stored
    // values cost a few bytes each rather than an allocation or two.
    QByteArray m_wantedBytes;
    std::vector<std::uint32_t> m_wantedEnds;
    std::vector<quint64> m_wantedSlots;
    std::vector<bool> m_found;
    qsizetype m_wantedCount = 0;
    qsizetype m_foundCount = 0;

    std::vector<bool> m_marked;
    std::vector<bool> m_blocked;
    // Rows the view knows of: every shown row, but while many arrive it is
    // told in steps (publish()).
    qsizetype m_viewRows = 0;
    QTimer *m_publishTimer = nullptr;
    QElapsedTimer m_lastPublish;
    qsizetype m_markedCount = 0;
    qsizetype m_blockedCount = 0;
    QStringList m_absent;

    QString m_filterText;
    QByteArray m_filterNeedle;
    bool m_onlyMarked = false;
    bool m_filtered = false;
    std::vector<std::uint32_t> m_shown; // used only while m_filtered
    qsizetype m_markedShown = 0;        // kept only while m_filtered

    // The search under way: first the rows of the previous result that the
    // new text can still match (when it narrows it), then every row from
    // m_scanRow on.
    std::vector<std::uint32_t> m_candidates;
    size_t m_candidateAt = 0;
    qsizetype m_scanRow = 0;
    QTimer *m_searchTimer = nullptr;
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
/// Its parts are found by objectName: edtBusca, grdLista, chkSomenteMarcados,
/// btnMarcarTodos, btnDesmarcarTodos, lblContagem, lblExibidos, lblCarga,
/// lblBloqueados, chkManterAusentes, btnOk, btnCancelar.
///
/// While the dataset is still loading, lblCarga says how far it is
/// ("carregando 1.200.000 de 10.000.000"). Confirming before the load ends
/// takes the marks as they are. A load that fails closes the dialog as
/// cancelled; LoadError() then says why.
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
    /// Why the rows stopped coming; empty unless the load failed.
    QString LoadError() const { return m_loadError; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateCounts();
    void updateLoad();

    QPointer<TDataSet> m_dataSet;
    QString m_caption;
    QString m_loadError;
    TPesquisaListaModel *m_model = nullptr;
    TPesquisaListaGrid *m_grid = nullptr;
    QLineEdit *m_searchBox = nullptr;
    QLabel *m_count = nullptr;
    QLabel *m_shown = nullptr;
    QLabel *m_blocked = nullptr;
    QLabel *m_load = nullptr;
    QCheckBox *m_keepAbsent = nullptr;
    QCheckBox *m_onlyMarked = nullptr;
    QPushButton *m_markAll = nullptr;
    QPushButton *m_unmarkAll = nullptr;
};
