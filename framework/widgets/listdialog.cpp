#include "framework/widgets/listdialog.h"

#include "framework/app/application.h"
#include "framework/data/dataset.h"
#include "framework/data/rowfeed.h"
#include "framework/hugepages.h"
#include "framework/widgets/placement.h"
#include "framework/widgets/searchtext.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPushButton>
#include <QScopeGuard>
#include <QStringEncoder>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace {

const QChar kSeparator = QLatin1Char('_');

[[noreturn]] void fail(const QString &message)
{
    throw Exception(QStringLiteral("PesquisaListaMsg: ") + message);
}

QString number(qsizetype n)
{
    static const QLocale locale(QLocale::Portuguese, QLocale::Brazil);
    return locale.toString(qlonglong(n));
}

// Reads one column of a row: straight from the packet's UTF-8 when the field
// is stored there, through the dataset otherwise (calculated fields).
class CellReader
{
public:
    CellReader(const TDataSet *dataSet, const quv::DataPacket &packet, const TField *field)
        : m_dataSet(dataSet), m_packet(packet), m_field(field)
    {
        if (field->FieldKind() != TFieldKind::Data)
            return;
        int column = 0;
        for (const TField *f : dataSet->Fields()) {
            if (f == field)
                break;
            if (f->FieldKind() == TFieldKind::Data)
                ++column;
        }
        if (column < packet.fieldCount() &&
            packet.fields().at(column).name.compare(field->FieldName(), Qt::CaseInsensitive) == 0)
            m_column = column;
    }

    /// True when cells come straight from the packet (and stay valid).
    bool Direct() const { return m_column >= 0; }
    /// The packet column the cells come from; -1 when not Direct().
    int Column() const { return m_column; }

    QByteArrayView operator()(qsizetype row)
    {
        if (m_column >= 0)
            return m_packet.utf8(row, m_column);
        m_scratch = m_dataSet->CellText(row, m_field).toUtf8();
        return m_scratch;
    }

private:
    const TDataSet *m_dataSet;
    const quv::DataPacket &m_packet;
    const TField *m_field;
    int m_column = -1;
    QByteArray m_scratch;
};

} // namespace

// ------------------------------------------------------------------ list form

namespace ListaFiltro {

QStringList parse(QStringView list)
{
    QStringList values;
    qsizetype pos = (!list.isEmpty() && list.front() == kSeparator) ? 1 : 0;
    const qsizetype size = list.size();
    while (pos < size) {
        const qsizetype next = list.indexOf(kSeparator, pos);
        if (next < 0) {
            values.append(list.sliced(pos).toString());
            break;
        }
        values.append(list.sliced(pos, next - pos).toString());
        pos = next + 1;
    }
    return values;
}

QString build(const QStringList &values)
{
    if (values.isEmpty())
        return {};
    qsizetype size = 1;
    for (const QString &value : values) {
        if (value.contains(kSeparator))
            throw Exception(QStringLiteral("o valor \"%1\" contém \"_\" e não pode ser levado na "
                                           "lista do filtro, que o separaria em dois.")
                                .arg(value));
        size += value.size() + 1;
    }
    QString out;
    out.reserve(size);
    out.append(kSeparator);
    for (const QString &value : values) {
        out.append(value);
        out.append(kSeparator);
    }
    return out;
}

} // namespace ListaFiltro

// ------------------------------------------------------------------ model

namespace {

// The first slice of a search runs inside the keystroke; later ones run from
// the event loop, short enough that typing never waits for them.
constexpr qint64 FirstSliceMs = 25;
constexpr qint64 SliceMs = 15;
// Rows scanned between two looks at the clock.
constexpr qsizetype ScanChunkRows = 32768;
// The view is told of new rows at once up to this many; beyond, when they
// add an eighth to what it knows or a second has passed. Each time costs
// the view (its row header) time in proportion to all of its rows.
constexpr qsizetype PublishAtOnce = 100000;
constexpr qint64 PublishMs = 1000;
// The most rows the view is told of at a time. The view keeps a record per
// row and fills it as it is told (47 ms for ten million rows at once, 9 ms a
// million at a time), so the rest follows from the event loop and a
// keystroke waits for one step at most.
constexpr qsizetype PublishStepRows = qsizetype(1) << 18;

quint64 hashOf(QByteArrayView key)
{
    return quint64(qHash(key));
}

// How many values ahead the table is probed: each value's hash is worked out
// and its slot fetched into the cache this many values before the slot is
// read. A million-value table does not fit the cache, so without it every
// value waits for memory once (ten million times on a large load).
constexpr size_t ProbeAhead = 16;

// Hands each value `next` gives to `use(value, hash)`, in order, with its
// hash worked out and its slot of `table` prefetched ProbeAhead values
// earlier. `next(&value)` gives the following value, or false when none is
// left; each value must stay valid while later ones are asked for.
template <class Next, class Use>
void probeAhead(const std::vector<quint64> &table, Next &&next, Use &&use)
{
    struct Ahead
    {
        QByteArrayView value;
        quint64 hash;
    };
    std::array<Ahead, ProbeAhead> ring;
    const size_t mask = table.size() - 1;
    size_t queued = 0;
    const auto fetch = [&] {
        QByteArrayView value;
        if (!next(&value))
            return false;
        const quint64 hash = hashOf(value);
        __builtin_prefetch(&table[size_t(hash) & mask]);
        ring[queued++ % ProbeAhead] = {value, hash};
        return true;
    };
    while (queued < ProbeAhead && fetch()) {
    }
    for (size_t taken = 0; taken < queued; ++taken) {
        const Ahead at = ring[taken % ProbeAhead]; // a copy: fetch() reuses its place
        fetch();
        use(at.value, at.hash);
    }
}

// A slot of the table of incoming values: the value's index + 1 (0: empty)
// in the low half, the high half of its hash in the other, so that most
// rows that are not among the values are told apart without reading the
// value itself (a cache miss per probe, ten million times on a large load).
quint64 slotOf(size_t index, quint64 hash)
{
    return (hash & 0xFFFFFFFF00000000ULL) | quint64(index + 1);
}

} // namespace

TPesquisaListaModel::TPesquisaListaModel(TDataSet *dataSet, TField *keyField,
                                         const QStringList &values, bool singleMark,
                                         QObject *parent)
    : QAbstractTableModel(parent), m_dataSet(dataSet), m_keyField(keyField),
      m_singleMark(singleMark)
{
    checkSource();
    const size_t mask = reserveWanted(size_t(values.size()));
    for (const QString &value : values) {
        if (value.contains(kSeparator))
            fail(QStringLiteral("o valor \"%1\" contém \"_\" e não pode vir na lista do filtro.")
                     .arg(value));
        const QByteArray utf8 = value.toUtf8();
        addWanted(utf8, hashOf(utf8), mask);
    }
    follow();
}

TPesquisaListaModel::TPesquisaListaModel(TDataSet *dataSet, TField *keyField, ValueList values,
                                         bool singleMark, QObject *parent)
    : QAbstractTableModel(parent), m_dataSet(dataSet), m_keyField(keyField),
      m_singleMark(singleMark)
{
    checkSource();
    // A stored filter can hold a million values: they are cut from one
    // UTF-8 copy of the list, as ListaFiltro::parse cuts the text, without a
    // string of their own each ("_" is one byte in UTF-8 and in no other
    // character's encoding). Every buffer here is filled at once, so each
    // asks for huge pages first.
    QByteArray utf8;
    utf8.reserve(values.text.size() * 3);
    adviseHugePagesFor(utf8);
    QStringEncoder encoder(QStringEncoder::Utf8, QStringConverter::Flag::Stateless);
    utf8.resize(encoder.appendToBuffer(utf8.data(), values.text) - utf8.data());
    const char *const data = utf8.constData();
    const qsizetype size = utf8.size();
    qsizetype pos = (size > 0 && data[0] == '_') ? 1 : 0;
    const size_t mask = reserveWanted(size_t(utf8.count('_')) + 1);
    m_wantedBytes.reserve(size);
    adviseHugePagesFor(m_wantedBytes);
    probeAhead(
        m_wantedSlots,
        [&](QByteArrayView *value) {
            if (pos >= size)
                return false;
            const char *next =
                static_cast<const char *>(std::memchr(data + pos, '_', size_t(size - pos)));
            const qsizetype end = next ? qsizetype(next - data) : size;
            *value = QByteArrayView(data + pos, end - pos);
            pos = end + 1;
            return true;
        },
        [&](QByteArrayView value, quint64 hash) { addWanted(value, hash, mask); });
    follow();
}

void TPesquisaListaModel::checkSource()
{
    TDataSet *dataSet = m_dataSet;
    if (!dataSet)
        fail(QStringLiteral("nenhum conjunto de dados informado."));
    if (!dataSet->Active())
        fail(QStringLiteral("o conjunto de dados \"%1\" está fechado.").arg(dataSet->objectName()));
    if (!m_keyField || m_keyField->DataSet() != dataSet)
        fail(QStringLiteral("o campo-chave não pertence ao conjunto de dados \"%1\".")
                 .arg(dataSet->objectName()));
    if (const std::shared_ptr<TRowFeed> feed = dataSet->Feed();
        feed && feed->state() == TRowFeed::State::Failed)
        fail(QStringLiteral("a leitura dos valores falhou: %1").arg(feed->ErrorText()));

    const QList<TField *> &fields = dataSet->Fields();
    for (qsizetype i = 1; i < fields.size(); ++i)
        if (fields[i]->Visible())
            m_columns.append(fields[i]);
    for (const QPointer<TField> &field : std::as_const(m_columns))
        m_searched.append(field);
    if (!m_searched.contains(m_keyField.data()))
        m_searched.prepend(m_keyField.data());
}

size_t TPesquisaListaModel::reserveWanted(size_t values)
{
    size_t capacity = 16;
    while (capacity < values * 2)
        capacity *= 2;
    m_wantedSlots.reserve(capacity);
    adviseHugePagesFor(m_wantedSlots);
    m_wantedSlots.assign(capacity, 0);
    m_wantedEnds.reserve(values);
    adviseHugePagesFor(m_wantedEnds);
    return capacity - 1;
}

// Each incoming value once: one hash, one probe sequence that either finds
// the value already there or ends at the free slot it takes.
void TPesquisaListaModel::addWanted(QByteArrayView value, quint64 hash, size_t mask)
{
    const quint64 tag = hash & 0xFFFFFFFF00000000ULL;
    size_t at = size_t(hash) & mask;
    for (; m_wantedSlots[at] != 0; at = (at + 1) & mask)
        if ((m_wantedSlots[at] & 0xFFFFFFFF00000000ULL) == tag &&
            wanted((m_wantedSlots[at] & 0xFFFFFFFFULL) - 1) == value)
            return;
    m_wantedBytes.append(value.data(), value.size());
    if (m_wantedBytes.size() > qsizetype(std::numeric_limits<std::uint32_t>::max()))
        fail(QStringLiteral("a lista do filtro passa de 4 GiB."));
    m_wantedEnds.push_back(std::uint32_t(m_wantedBytes.size()));
    m_wantedSlots[at] = slotOf(m_wantedEnds.size() - 1, hash);
}

void TPesquisaListaModel::follow()
{
    m_wantedCount = qsizetype(m_wantedEnds.size());
    m_found.assign(m_wantedEnds.size(), false);

    m_publishTimer = new QTimer(this);
    m_publishTimer->setSingleShot(true);
    connect(m_publishTimer, &QTimer::timeout, this, &TPesquisaListaModel::publishStep);
    m_lastPublish.start();
    m_searchTimer = new QTimer(this);
    m_searchTimer->setSingleShot(true);
    m_searchTimer->setInterval(0);
    connect(m_searchTimer, &QTimer::timeout, this, [this] { searchStep(SliceMs, false); });

    TDataSet *dataSet = m_dataSet;
    m_loading = dataSet->Fetching();
    absorb(0, dataSet->FetchedCount());
    connect(dataSet, &TDataSet::rowsAppended, this, &TPesquisaListaModel::absorb);
    // Reloaded, closed or replaced: the marks no longer name its rows.
    connect(dataSet, &TDataSet::dataSetChanged, this, [this] { m_stale = true; });
    connect(dataSet, &TDataSet::fetchEnded, this, &TPesquisaListaModel::loadEnded);
    if (!m_loading)
        loadEnded();
}

TPesquisaListaModel::~TPesquisaListaModel() = default;

QByteArrayView TPesquisaListaModel::wanted(size_t index) const
{
    const std::uint32_t begin = index == 0 ? 0 : m_wantedEnds[index - 1];
    return QByteArrayView(m_wantedBytes.constData() + begin,
                          qsizetype(m_wantedEnds[index] - begin));
}

qsizetype TPesquisaListaModel::wantedIndex(QByteArrayView key, quint64 hash) const
{
    if (m_wantedSlots.empty())
        return -1;
    const size_t mask = m_wantedSlots.size() - 1;
    const quint64 tag = hash & 0xFFFFFFFF00000000ULL;
    for (size_t at = size_t(hash) & mask; m_wantedSlots[at] != 0; at = (at + 1) & mask) {
        if ((m_wantedSlots[at] & 0xFFFFFFFF00000000ULL) != tag)
            continue;
        const size_t index = (m_wantedSlots[at] & 0xFFFFFFFFULL) - 1;
        if (wanted(index) == key)
            return qsizetype(index);
    }
    return -1;
}

qsizetype TPesquisaListaModel::ShownCount() const
{
    return m_filtered ? qsizetype(m_shown.size()) : TotalRows();
}

// Tells the view of the shown rows it does not know of yet: at once while it
// knows few rows, and otherwise in steps (see PublishAtOnce), unless `now`.
// Never more than PublishStepRows at a time: the rest follows step by step
// from the event loop, and while a step is due no caller adds another.
void TPesquisaListaModel::publish(bool now)
{
    const qsizetype shown = ShownCount();
    const bool stepDue = m_publishTimer->isActive() && m_publishTimer->interval() == 0;
    if (shown <= m_viewRows || stepDue)
        return;
    if (!now && m_viewRows >= PublishAtOnce && shown - m_viewRows < m_viewRows / 8 &&
        m_lastPublish.elapsed() < PublishMs) {
        if (!m_publishTimer->isActive())
            m_publishTimer->start(int(PublishMs));
        return;
    }
    publishStep();
}

void TPesquisaListaModel::publishStep()
{
    m_publishTimer->stop();
    const qsizetype shown = ShownCount();
    if (shown <= m_viewRows)
        return;
    const qsizetype last = std::min(shown, m_viewRows + PublishStepRows);
    beginInsertRows(QModelIndex(), int(m_viewRows), int(last - 1));
    m_viewRows = last;
    endInsertRows();
    m_lastPublish.restart();
    if (last < shown)
        m_publishTimer->start(0);
}

// Takes rows [first, first + count) of the dataset: marks, the search, and
// the view.
void TPesquisaListaModel::absorb(qsizetype first, qsizetype count)
{
    if (m_stale || !m_dataSet || first != TotalRows() || count <= 0)
        return; // not the rows that follow ours: the dataset changed under us
    const qsizetype end = first + count;
    if (end > std::numeric_limits<int>::max())
        fail(QStringLiteral("há %1 linhas, mais do que a lista consegue mostrar.").arg(end));

    const quv::DataPacket &packet = m_dataSet->FetchedData();
    CellReader key(m_dataSet, packet, m_keyField);
    m_marked.resize(size_t(end), false);
    m_blocked.resize(size_t(end), false);
    // Takes the key of the next row: rows come in order.
    qsizetype row = first;
    const auto take = [&](QByteArrayView k, quint64 hash) {
        if (k.contains('_')) {
            m_blocked[size_t(row)] = true;
            ++m_blockedCount;
        } else if (m_wantedCount > 0) {
            if (const qsizetype hit = wantedIndex(k, hash); hit >= 0) {
                m_marked[size_t(row)] = true;
                ++m_markedCount;
                if (!m_found[size_t(hit)]) {
                    m_found[size_t(hit)] = true;
                    ++m_foundCount;
                }
            }
        }
        ++row;
    };
    if (key.Direct() && m_wantedCount > 0) {
        qsizetype ahead = first;
        probeAhead(
            m_wantedSlots,
            [&](QByteArrayView *k) {
                if (ahead >= end)
                    return false;
                *k = key(ahead++);
                return true;
            },
            take);
    } else {
        // Cells converted one at a time share a buffer: no looking ahead.
        while (row < end) {
            const QByteArrayView k = key(row);
            take(k, m_wantedCount > 0 ? hashOf(k) : 0);
        }
    }

    if (!m_filtered)
        publish(false);
    else if (m_candidateAt >= m_candidates.size() && m_scanRow == first)
        // The search had covered every row: it goes on over the new ones,
        // from the event loop like its other slices. Searching here, once
        // per batch, put a slice per waiting batch in front of the next
        // keystroke.
        m_searchTimer->start();
    emit loadChanged();
}

void TPesquisaListaModel::loadEnded()
{
    if (m_dataSet && m_dataSet->FetchedCount() > TotalRows())
        absorb(TotalRows(), m_dataSet->FetchedCount() - TotalRows());
    m_loading = false;
    publish(true);
    m_absent.clear();
    for (size_t i = 0; i < m_wantedEnds.size(); ++i)
        if (!m_found[i])
            m_absent.append(QString::fromUtf8(wanted(i)));
    emit loadChanged();
}

int TPesquisaListaModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return int(m_viewRows);
}

int TPesquisaListaModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_columns.size()) + 1;
}

qsizetype TPesquisaListaModel::DataSetRow(int shownRow) const
{
    if (shownRow < 0 || shownRow >= rowCount())
        return -1;
    return m_filtered ? qsizetype(m_shown[size_t(shownRow)]) : shownRow;
}

bool TPesquisaListaModel::ownIndex(const QModelIndex &index) const
{
    return index.isValid() && index.model() == this && !index.parent().isValid() &&
           index.row() < rowCount() && index.column() < columnCount();
}

bool TPesquisaListaModel::IsMarked(qsizetype row) const
{
    return row >= 0 && row < TotalRows() && m_marked[size_t(row)];
}

bool TPesquisaListaModel::IsBlocked(qsizetype row) const
{
    return row >= 0 && row < TotalRows() && m_blocked[size_t(row)];
}

qsizetype TPesquisaListaModel::MarkedShownCount() const
{
    return m_filtered ? m_markedShown : m_markedCount;
}

QVariant TPesquisaListaModel::data(const QModelIndex &index, int role) const
{
    if (!ownIndex(index))
        return {};
    const qsizetype row = DataSetRow(index.row());
    if (index.column() == 0) {
        if (role == Qt::CheckStateRole)
            return m_marked[size_t(row)] ? Qt::Checked : Qt::Unchecked;
        if (role == Qt::ToolTipRole && m_blocked[size_t(row)])
            return tr("Este valor contém \"_\" e não pode ser marcado: a lista do filtro usa "
                      "\"_\" para separar os valores.");
        return {};
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    // The dataset may have been reloaded or freed under the dialog; show
    // nothing rather than another row's value.
    if (m_stale || !m_dataSet || row >= m_dataSet->FetchedCount())
        return {};
    const TField *field = m_columns.at(index.column() - 1);
    return field ? QVariant(m_dataSet->CellText(row, field)) : QVariant();
}

QVariant TPesquisaListaModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (section == 0)
        return QString();
    if (section < 1 || section > m_columns.size() || !m_columns.at(section - 1))
        return {};
    return m_columns.at(section - 1)->DisplayLabel();
}

Qt::ItemFlags TPesquisaListaModel::flags(const QModelIndex &index) const
{
    if (!ownIndex(index))
        return Qt::NoItemFlags;
    // The grid toggles marks itself (a click anywhere in the cell, the space
    // bar), so the cell is not user-checkable: the delegate would toggle a
    // second time.
    if (index.column() == 0 && m_blocked[size_t(DataSetRow(index.row()))])
        return Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

bool TPesquisaListaModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole || !ownIndex(index) || index.column() != 0)
        return false;
    const qsizetype row = DataSetRow(index.row());
    if (m_blocked[size_t(row)])
        return false;
    SetMarks({index.row()}, value.value<Qt::CheckState>() == Qt::Checked);
    return true;
}

bool TPesquisaListaModel::setMark(qsizetype row, bool marked)
{
    if (m_blocked[size_t(row)] || m_marked[size_t(row)] == marked)
        return false;
    m_marked[size_t(row)] = marked;
    m_markedCount += marked ? 1 : -1;
    return true;
}

void TPesquisaListaModel::emitMarkColumnChanged()
{
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
    emit marksChanged();
}

void TPesquisaListaModel::recountMarkedShown()
{
    m_markedShown = 0;
    for (const std::uint32_t row : m_shown)
        m_markedShown += m_marked[row] ? 1 : 0;
}

void TPesquisaListaModel::SetMarks(const QList<int> &shownRows, bool marked)
{
    if (m_singleMark && marked) {
        const auto first = std::find_if(shownRows.begin(), shownRows.end(), [this](int r) {
            const qsizetype row = DataSetRow(r);
            return row >= 0 && !m_blocked[size_t(row)];
        });
        if (first == shownRows.end())
            return;
        const qsizetype keep = DataSetRow(*first);
        if (m_markedCount == 1 && m_marked[size_t(keep)])
            return;
        std::fill(m_marked.begin(), m_marked.end(), false);
        m_marked[size_t(keep)] = true;
        m_markedCount = 1;
        recountMarkedShown();
        emitMarkColumnChanged();
        return;
    }
    int top = std::numeric_limits<int>::max();
    int bottom = -1;
    for (int shown : shownRows) {
        const qsizetype row = DataSetRow(shown);
        if (row >= 0 && setMark(row, marked)) {
            m_markedShown += marked ? 1 : -1;
            top = std::min(top, shown);
            bottom = std::max(bottom, shown);
        }
    }
    if (bottom < 0)
        return;
    emit dataChanged(index(top, 0), index(bottom, 0), {Qt::CheckStateRole});
    emit marksChanged();
}

qsizetype TPesquisaListaModel::SetAllShown(bool marked)
{
    if (marked && m_singleMark)
        return 0;
    FinishSearch();
    publish(true);
    qsizetype changed = 0;
    const int shown = rowCount();
    for (int r = 0; r < shown; ++r)
        changed += setMark(DataSetRow(r), marked) ? 1 : 0;
    m_markedShown += marked ? changed : -changed;
    if (changed > 0)
        emitMarkColumnChanged();
    return changed;
}

template <class F> void TPesquisaListaModel::forEachMarkedKey(F &&f) const
{
    if (m_markedCount == 0)
        return;
    // The marks are by row: a dataset that changed under the dialog would
    // give other rows' keys, so it is refused rather than read.
    if (m_stale || !m_dataSet || !m_keyField || !m_dataSet->Active() ||
        m_dataSet->FetchedCount() != TotalRows() || m_keyField->DataSet() != m_dataSet)
        fail(QStringLiteral("o conjunto de dados mudou enquanto a lista estava aberta; "
                            "as marcas não correspondem mais às linhas."));
    const quv::DataPacket &packet = m_dataSet->FetchedData();
    CellReader key(m_dataSet, packet, m_keyField);
    // Keys read through the dataset (a calculated key) need storage that
    // outlives the next read for the duplicate check.
    std::vector<QByteArray> copies;
    if (!key.Direct())
        copies.reserve(size_t(m_markedCount));
    // Duplicate keys are rare but possible (the same code under two names).
    // An open-addressing table of indexes into `kept` checks them without a
    // node allocation per key, which matters when everything is marked.
    std::vector<QByteArrayView> kept;
    kept.reserve(size_t(m_markedCount));
    size_t capacity = 16;
    while (capacity < size_t(m_markedCount) * 2)
        capacity *= 2;
    const size_t mask = capacity - 1;
    std::vector<std::uint32_t> table(capacity, 0); // 0: empty; else index + 1
    std::vector<size_t> hashes;
    hashes.reserve(size_t(m_markedCount));
    const qsizetype rows = TotalRows();
    for (qsizetype row = 0; row < rows; ++row) {
        if (!m_marked[size_t(row)])
            continue;
        QByteArrayView k = key(row);
        if (!key.Direct()) {
            copies.emplace_back(k.toByteArray());
            k = copies.back();
        }
        const size_t hash = qHash(k);
        size_t at = hash & mask;
        bool duplicate = false;
        while (table[at] != 0) {
            const std::uint32_t other = table[at] - 1;
            if (hashes[other] == hash && kept[other] == k) {
                duplicate = true;
                break;
            }
            at = (at + 1) & mask;
        }
        if (duplicate)
            continue;
        kept.push_back(k);
        hashes.push_back(hash);
        table[at] = std::uint32_t(kept.size());
        f(k);
    }
}

QStringList TPesquisaListaModel::MarkedKeys() const
{
    QStringList keys;
    keys.reserve(m_markedCount);
    forEachMarkedKey([&keys](QByteArrayView k) { keys.append(QString::fromUtf8(k)); });
    return keys;
}

QString TPesquisaListaModel::WrittenList(bool withAbsent) const
{
    // Built in UTF-8 and converted once: a million marks make a list of
    // megabytes, and a QString per key would cost seconds.
    QByteArray out;
    out.reserve(1 + (m_markedCount + PendingCount()) * 12);
    out.append('_');
    forEachMarkedKey([&out](QByteArrayView k) {
        out.append(k);
        out.append('_');
    });
    const bool replaced = m_singleMark && m_markedCount > 0;
    if (!replaced && (m_loading || withAbsent))
        for (size_t i = 0; i < m_wantedEnds.size(); ++i)
            if (!m_found[i]) {
                out.append(wanted(i));
                out.append('_');
            }
    return out.size() == 1 ? QString() : QString::fromUtf8(out);
}

// ------------------------------------------------------------------ searching

void TPesquisaListaModel::SetFilterText(const QString &text)
{
    if (text == m_filterText)
        return;
    const QByteArray needle = SearchText::Folded(text);
    // A text that contains the previous one can only match rows the
    // previous one matched: typing on narrows the last result, when that
    // result was complete and is not most of the rows anyway.
    const bool narrows = m_filtered && !m_onlyMarked && SearchDone() && !m_filterNeedle.isEmpty() &&
                         needle.contains(m_filterNeedle) && m_shown.size() < m_marked.size() / 2;
    m_filterText = text;
    m_filterNeedle = needle;
    if (narrows) {
        m_candidates = m_shown;
        m_candidateAt = 0;
        // m_scanRow stays: rows after it were never searched.
    } else {
        m_candidates.clear();
        m_candidateAt = 0;
        m_scanRow = 0;
    }
    startSearch();
}

void TPesquisaListaModel::SetOnlyMarked(bool onlyMarked)
{
    if (onlyMarked == m_onlyMarked)
        return;
    m_onlyMarked = onlyMarked;
    m_candidates.clear();
    m_candidateAt = 0;
    m_scanRow = 0;
    startSearch();
}

bool TPesquisaListaModel::SearchDone() const
{
    return !m_filtered || (m_candidateAt >= m_candidates.size() && m_scanRow >= TotalRows());
}

void TPesquisaListaModel::FinishSearch()
{
    while (!SearchDone())
        searchStep(std::numeric_limits<qint64>::max(), false);
}

void TPesquisaListaModel::startSearch()
{
    m_searchTimer->stop();
    const bool filtered = !m_filterNeedle.isEmpty() || m_onlyMarked;
    if (!filtered) {
        m_candidates.clear();
        replaceShown(false, {});
        emit shownChanged();
        return;
    }
    searchStep(FirstSliceMs, true);
}

// Searches for at most `budgetMs`; the first step of a search replaces the
// shown rows, later steps add to them. True when the search is done.
bool TPesquisaListaModel::searchStep(qint64 budgetMs, bool first)
{
    QElapsedTimer clock;
    clock.start();
    std::vector<std::uint32_t> found;
    const auto overTime = [&] { return clock.elapsed() >= budgetMs; };
    const qsizetype total = TotalRows();
    // A typed text with a NUL matches nothing: no value holds one. A dataset
    // replaced under the dialog has none of the rows searched for.
    if (m_filterNeedle.contains('\0') || m_stale || !m_dataSet) {
        m_candidates.clear();
        m_candidateAt = 0;
        m_scanRow = total;
    }

    static const quv::DataPacket none;
    const quv::DataPacket &packet =
        m_scanRow < total || m_candidateAt < m_candidates.size() ? m_dataSet->FetchedData() : none;
    std::vector<CellReader> readers;
    bool direct = true;
    if (&packet != &none) {
        readers.reserve(size_t(m_searched.size()));
        for (const TField *field : std::as_const(m_searched)) {
            readers.emplace_back(m_dataSet, packet, field);
            direct = direct && readers.back().Direct();
        }
    }
    const QByteArrayView needle(m_filterNeedle);
    const auto matches = [&](qsizetype row) {
        if (m_onlyMarked && !m_marked[size_t(row)])
            return false;
        if (needle.isEmpty())
            return true;
        for (CellReader &read : readers) {
            const QByteArrayView cell = read(row);
            if (SearchText::Find(cell.data(), size_t(cell.size()), needle))
                return true;
        }
        return false;
    };

    // Rows of the previous result, one by one.
    while (m_candidateAt < m_candidates.size() && !overTime()) {
        const size_t end = std::min(m_candidates.size(), m_candidateAt + size_t(ScanChunkRows));
        for (; m_candidateAt < end; ++m_candidateAt)
            if (matches(m_candidates[m_candidateAt]))
                found.push_back(m_candidates[m_candidateAt]);
    }
    if (m_candidateAt >= m_candidates.size() && !m_candidates.empty()) {
        m_candidates.clear();
        m_candidates.shrink_to_fit();
        m_candidateAt = 0;
    }
    // Then every row from m_scanRow on, a chunk at a time.
    std::vector<char> hits;
    while (m_candidates.empty() && m_scanRow < total && !overTime()) {
        qsizetype end = std::min(total, m_scanRow + ScanChunkRows);
        const bool plain = m_onlyMarked || needle.isEmpty() || !direct;
        if (!plain)
            end = std::min(end, packet.contiguousEnd(m_scanRow));
        if (plain) {
            for (qsizetype row = m_scanRow; row < end; ++row)
                if (matches(row))
                    found.push_back(std::uint32_t(row));
        } else {
            // One pass over each searched column's cells of the chunk, which
            // lie back to back in the packet (the chunk ends where they
            // stop doing so); hits come in order, so the row
            // only ever moves forward. A match that runs into the next cell
            // is no match: the search goes on from its next byte.
            hits.assign(size_t(end - m_scanRow), 0);
            for (const CellReader &read : readers) {
                const int column = read.Column();
                const auto cellEnd = [&](qsizetype row) {
                    const QByteArrayView cell = packet.utf8(row, column);
                    return cell.data() + cell.size();
                };
                const char *at = packet.utf8(m_scanRow, column).data();
                const char *stop = cellEnd(end - 1);
                qsizetype row = m_scanRow;
                while (at < stop) {
                    const SearchText::Match hit = SearchText::Find(at, size_t(stop - at), needle);
                    if (!hit)
                        break;
                    while (cellEnd(row) <= hit.begin)
                        ++row;
                    if (hit.end <= cellEnd(row)) {
                        hits[size_t(row - m_scanRow)] = 1;
                        at = cellEnd(row);
                        ++row;
                    } else {
                        at = hit.begin + 1;
                    }
                }
            }
            for (qsizetype row = m_scanRow; row < end; ++row)
                if (hits[size_t(row - m_scanRow)])
                    found.push_back(std::uint32_t(row));
        }
        m_scanRow = end;
    }

    // Whether this search has reached the last row: SearchDone() would
    // also say so before the first step of a search typed over every row,
    // which is not filtered yet.
    const bool done = m_candidateAt >= m_candidates.size() && m_scanRow >= total;
    if (first)
        replaceShown(true, std::move(found));
    else if (!found.empty())
        appendShown(found);
    if (done)
        publish(true);
    else
        m_searchTimer->start();
    if (first || !found.empty())
        emit shownChanged();
    return done;
}

// The shown rows become `rows` (every row when not `filtered`). A view reset
// over many rows rebuilds them at a cost far above telling it of the same
// rows as an insert (95 ms against 10 ms for 1.4 million rows): it is reset
// over a first part, and told of the rest in steps.
void TPesquisaListaModel::replaceShown(bool filtered, std::vector<std::uint32_t> rows)
{
    beginResetModel();
    m_filtered = filtered;
    m_shown = std::move(rows);
    m_viewRows = std::min(ShownCount(), PublishAtOnce);
    recountMarkedShown();
    endResetModel();
    m_lastPublish.restart();
    publish(true);
}

void TPesquisaListaModel::appendShown(const std::vector<std::uint32_t> &rows)
{
    m_shown.insert(m_shown.end(), rows.begin(), rows.end());
    for (const std::uint32_t row : rows)
        m_markedShown += m_marked[row] ? 1 : 0;
    publish(false);
}

// ------------------------------------------------------------------ grid

TPesquisaListaGrid::TPesquisaListaGrid(QWidget *parent) : QTableView(parent)
{
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setAlternatingRowColors(true);
    // Every row has the same height, so the view never measures rows.
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setSectionsClickable(false);
}

QList<int> TPesquisaListaGrid::selectedRowsOrCurrent(int current) const
{
    const QItemSelectionModel *selection = selectionModel();
    if (!selection || !selection->isRowSelected(current, QModelIndex()))
        return {current};
    QList<int> rows;
    for (const QItemSelectionRange &range : selection->selection())
        for (int r = range.top(); r <= range.bottom(); ++r)
            rows.append(r);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    // The row the user acted on comes first: with a single mark allowed it is
    // the one that gets it.
    rows.removeOne(current);
    rows.prepend(current);
    return rows;
}

void TPesquisaListaGrid::ToggleCurrent()
{
    auto *listModel = qobject_cast<TPesquisaListaModel *>(model());
    const QModelIndex current = currentIndex();
    if (!listModel || !current.isValid())
        return;
    const bool marked = listModel->IsMarked(listModel->DataSetRow(current.row()));
    listModel->SetMarks(selectedRowsOrCurrent(current.row()), !marked);
}

void TPesquisaListaGrid::keyPressEvent(QKeyEvent *event)
{
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if (event->key() == Qt::Key_Space && !(mods & (Qt::ControlModifier | Qt::AltModifier))) {
        ToggleCurrent();
        event->accept();
        return;
    }
    const QString text = event->text();
    if (m_searchBox && !text.isEmpty() && text.front().isPrint() &&
        !(mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        m_searchBox->setFocus(Qt::OtherFocusReason);
        QCoreApplication::sendEvent(m_searchBox, event);
        return;
    }
    QTableView::keyPressEvent(event);
}

void TPesquisaListaGrid::mousePressEvent(QMouseEvent *event)
{
    m_pressToggles = false;
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() != Qt::LeftButton || !index.isValid() || index.column() != 0 ||
        (event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier))) {
        QTableView::mousePressEvent(event);
        return;
    }
    m_pressed = index;
    m_pressToggles = true;
    // A click on a mark inside a selection of several rows acts on all of
    // them, so the selection must survive the press.
    const QItemSelectionModel *selection = selectionModel();
    if (selection && selection->isRowSelected(index.row(), QModelIndex()) &&
        selectedRowsOrCurrent(index.row()).size() > 1) {
        event->accept();
        return;
    }
    QTableView::mousePressEvent(event);
}

void TPesquisaListaGrid::mouseDoubleClickEvent(QMouseEvent *event)
{
    // Platforms differ in whether the second press of a double click comes
    // as a press or only as a double click; either way it is one more click
    // on the mark, as on a check box.
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && index.isValid() && index.column() == 0) {
        mousePressEvent(event);
        return;
    }
    QTableView::mouseDoubleClickEvent(event);
}

void TPesquisaListaGrid::mouseReleaseEvent(QMouseEvent *event)
{
    const bool toggles = m_pressToggles && event->button() == Qt::LeftButton;
    m_pressToggles = false;
    QTableView::mouseReleaseEvent(event);
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!toggles || !index.isValid() || index != QModelIndex(m_pressed))
        return;
    auto *listModel = qobject_cast<TPesquisaListaModel *>(model());
    if (!listModel)
        return;
    // A press on a mark that cannot be marked leaves the current row where it
    // was, so the row is taken from the click, never from the cursor.
    const bool marked = listModel->IsMarked(listModel->DataSetRow(index.row()));
    if (selectionModel())
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    listModel->SetMarks(selectedRowsOrCurrent(index.row()), !marked);
}

void TPesquisaListaGrid::keyboardSearch(const QString &search)
{
    // The item view's own search walks every row through the model; the
    // search box does the same job over the prepared copy.
    if (m_searchBox) {
        m_searchBox->setFocus(Qt::OtherFocusReason);
        m_searchBox->insert(search);
    }
}

// ------------------------------------------------------------------ dialog

namespace {

TDataSet *checkedDataSet(TDataSource *dataSource, const QString &keyField, TField **key)
{
    if (!dataSource)
        fail(QStringLiteral("nenhuma fonte de dados informada."));
    TDataSet *dataSet = dataSource->DataSet();
    if (!dataSet)
        fail(QStringLiteral("a fonte de dados \"%1\" não está ligada a um conjunto de dados.")
                 .arg(dataSource->objectName()));
    if (!dataSet->Active())
        fail(QStringLiteral("o conjunto de dados \"%1\" está fechado.").arg(dataSet->objectName()));
    *key = dataSet->FindField(keyField);
    if (!*key)
        fail(QStringLiteral("o campo \"%1\" não existe no conjunto de dados \"%2\".")
                 .arg(keyField, dataSet->objectName()));
    return dataSet;
}

} // namespace

TPesquisaListaDialog::TPesquisaListaDialog(TDataSource *dataSource, const QString &keyField,
                                           const QString &caption, bool flag, const QString &list,
                                           QWidget *parent)
    : QDialog(parent), m_caption(caption)
{
    TField *key = nullptr;
    TDataSet *dataSet = checkedDataSet(dataSource, keyField, &key);
    m_dataSet = dataSet;
    m_model =
        new TPesquisaListaModel(dataSet, key, TPesquisaListaModel::ValueList(list), flag, this);

    setObjectName(QStringLiteral("dlgPesquisaLista"));
    setWindowTitle(caption);
    setSizeGripEnabled(true);

    auto *prompt = new QLabel(tr("&Procurar:"), this);
    m_searchBox = new QLineEdit(this);
    m_searchBox->setObjectName(QStringLiteral("edtBusca"));
    m_searchBox->setPlaceholderText(tr("Código ou nome"));
    m_searchBox->setClearButtonEnabled(true);
    prompt->setBuddy(m_searchBox);
    m_onlyMarked = new QCheckBox(tr("Somente marcados"), this);
    m_onlyMarked->setObjectName(QStringLiteral("chkSomenteMarcados"));
    m_onlyMarked->setToolTip(tr("Mostra só as linhas marcadas, para revisar a seleção"));
    auto *searchRow = new QHBoxLayout;
    searchRow->addWidget(prompt);
    searchRow->addWidget(m_searchBox, 1);
    searchRow->addWidget(m_onlyMarked);

    m_grid = new TPesquisaListaGrid(this);
    m_grid->setObjectName(QStringLiteral("grdLista"));
    m_grid->setModel(m_model);
    m_grid->setSearchBox(m_searchBox);
    m_searchBox->installEventFilter(this);

    // Widths from the labels and the first rows only: measuring every row
    // would read the whole dataset.
    const QFontMetrics metrics = m_grid->fontMetrics();
    const int indicator = m_grid->style()->pixelMetric(QStyle::PM_IndicatorWidth) + 16;
    m_grid->setColumnWidth(0, indicator);
    const int sample = std::min(m_model->rowCount(), 200);
    for (int column = 1; column + 1 < m_model->columnCount(); ++column) {
        int width =
            metrics.horizontalAdvance(m_model->headerData(column, Qt::Horizontal).toString());
        for (int r = 0; r < sample; ++r)
            width = std::max(
                width, metrics.horizontalAdvance(m_model->index(r, column).data().toString()));
        m_grid->setColumnWidth(column, std::min(width + 16, 300));
    }

    m_blocked = new QLabel(this);
    m_blocked->setObjectName(QStringLiteral("lblBloqueados"));
    m_blocked->setWordWrap(true);
    m_blocked->hide();

    // Values of the incoming filter that the dimension no longer lists are
    // kept unless the user says otherwise: dropping them unseen would change
    // the stored filter behind the user's back, and dropping the last ones
    // would remove the filter altogether. Which ones they are is known only
    // once every row is in.
    m_keepAbsent = new QCheckBox(this);
    m_keepAbsent->setObjectName(QStringLiteral("chkManterAusentes"));
    m_keepAbsent->setChecked(true);
    m_keepAbsent->hide();

    m_markAll = new QPushButton(tr("&Marcar todos"), this);
    m_markAll->setObjectName(QStringLiteral("btnMarcarTodos"));
    m_markAll->setEnabled(!flag);
    m_unmarkAll = new QPushButton(tr("&Desmarcar todos"), this);
    m_unmarkAll->setObjectName(QStringLiteral("btnDesmarcarTodos"));
    m_load = new QLabel(this);
    m_load->setObjectName(QStringLiteral("lblCarga"));
    m_shown = new QLabel(this);
    m_shown->setObjectName(QStringLiteral("lblExibidos"));
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("lblContagem"));
    auto *markRow = new QHBoxLayout;
    markRow->addWidget(m_markAll);
    markRow->addWidget(m_unmarkAll);
    markRow->addSpacing(12);
    markRow->addWidget(m_load);
    markRow->addStretch(1);
    markRow->addWidget(m_shown);
    markRow->addSpacing(12);
    markRow->addWidget(m_count);

    auto *ok = new QPushButton(tr("OK"), this);
    ok->setObjectName(QStringLiteral("btnOk"));
    auto *cancel = new QPushButton(tr("Cancelar"), this);
    cancel->setObjectName(QStringLiteral("btnCancelar"));
    // Enter in the search box must not close the dialog half-way through a
    // search: no button is a default one.
    for (QPushButton *button : {m_markAll, m_unmarkAll, ok, cancel}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    auto *buttonRow = new QHBoxLayout;
    buttonRow->addStretch(1);
    buttonRow->addWidget(ok);
    buttonRow->addWidget(cancel);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(searchRow);
    layout->addWidget(m_grid, 1);
    layout->addWidget(m_blocked);
    layout->addWidget(m_keepAbsent);
    layout->addLayout(markRow);
    layout->addLayout(buttonRow);
    resize(640, 480);
    CentreOnScreen(this);

    connect(m_searchBox, &QLineEdit::textChanged, this, [this](const QString &text) {
        m_model->SetFilterText(text);
        updateCounts();
    });
    connect(m_onlyMarked, &QCheckBox::toggled, this, [this](bool on) {
        m_model->SetOnlyMarked(on);
        updateCounts();
    });
    connect(m_searchBox, &QLineEdit::returnPressed, m_grid,
            [this] { m_grid->setFocus(Qt::OtherFocusReason); });
    connect(m_markAll, &QPushButton::clicked, this, [this] { m_model->SetAllShown(true); });
    connect(m_unmarkAll, &QPushButton::clicked, this, [this] { m_model->SetAllShown(false); });
    connect(m_model, &TPesquisaListaModel::marksChanged, this, [this] {
        // One mark allowed means one value in the result, kept ones included.
        if (m_model->SingleMark() && m_model->MarkedCount() > 0)
            m_keepAbsent->setChecked(false);
        updateCounts();
    });
    connect(m_model, &TPesquisaListaModel::shownChanged, this, &TPesquisaListaDialog::updateCounts);
    connect(m_model, &TPesquisaListaModel::loadChanged, this, &TPesquisaListaDialog::updateLoad);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    // A load still under way: its count, and its failure, which ends the
    // dialog (nothing half-read may be stored).
    if (const std::shared_ptr<TRowFeed> feed = dataSet->Fetching() ? dataSet->Feed() : nullptr) {
        connect(feed.get(), &TRowFeed::totalKnown, this, &TPesquisaListaDialog::updateLoad);
        connect(dataSet, &TDataSet::fetchEnded, this, [this, weak = std::weak_ptr(feed)] {
            const std::shared_ptr<TRowFeed> ended = weak.lock();
            if (!ended || ended->state() != TRowFeed::State::Failed)
                return;
            m_loadError = ended->ErrorText();
            reject();
        });
        feed->RequestTotal();
    }

    updateLoad();
    m_searchBox->setFocus(Qt::OtherFocusReason);
}

TPesquisaListaDialog::~TPesquisaListaDialog() = default;

void TPesquisaListaDialog::updateLoad()
{
    const qsizetype rows = m_model->TotalRows();
    if (m_model->Loading()) {
        const std::shared_ptr<TRowFeed> feed = m_dataSet ? m_dataSet->Feed() : nullptr;
        const qint64 total = feed ? feed->Total() : -1;
        m_load->setText(total >= rows ? tr("carregando %1 de %2").arg(number(rows), number(total))
                                      : tr("carregando %1").arg(number(rows)));
        m_load->show();
    } else {
        m_load->hide();
    }

    const qsizetype blocked = m_model->BlockedCount();
    m_blocked->setVisible(blocked > 0);
    m_blocked->setText(
        blocked == 1
            ? tr("1 valor contém \"_\" e não pode ser marcado: a lista do filtro usa \"_\" para "
                 "separar os valores.")
            : tr("%1 valores contêm \"_\" e não podem ser marcados: a lista do filtro usa \"_\" "
                 "para separar os valores.")
                  .arg(number(blocked)));

    const qsizetype absent = m_model->AbsentValues().size();
    m_keepAbsent->setVisible(absent > 0);
    m_keepAbsent->setText(absent == 1
                              ? tr("Manter 1 valor do filtro que não existe mais na dimensão")
                              : tr("Manter %1 valores do filtro que não existem mais na dimensão")
                                    .arg(number(absent)));
    m_keepAbsent->setToolTip(m_model->AbsentValues().mid(0, 20).join(QStringLiteral(", ")) +
                             (absent > 20 ? QStringLiteral(", …") : QString()));
    updateCounts();
}

void TPesquisaListaDialog::updateCounts()
{
    const qsizetype marked = m_model->MarkedCount();
    m_count->setText(tr("%1 de %2 %3")
                         .arg(number(marked), number(m_model->TotalRows()),
                              marked == 1 ? tr("marcado") : tr("marcados")));
    // What is shown, and how much of it is marked: the count that Marcar
    // todos and Desmarcar todos act on.
    const bool filtered = m_model->Filtered();
    m_shown->setVisible(filtered);
    if (filtered) {
        const qsizetype markedShown = m_model->MarkedShownCount();
        QString text = tr("%1 exibidos, %2 %3")
                           .arg(number(m_model->ShownCount()), number(markedShown),
                                markedShown == 1 ? tr("marcado") : tr("marcados"));
        if (!m_model->SearchDone())
            text += tr(" (procurando…)");
        m_shown->setText(text);
    }
}

QString TPesquisaListaDialog::Lista() const
{
    return m_model->WrittenList(m_keepAbsent->isChecked());
}

bool TPesquisaListaDialog::eventFilter(QObject *watched, QEvent *event)
{
    // Down from the search box goes to the rows, as in any search list.
    if (watched == m_searchBox && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Down || key->key() == Qt::Key_PageDown) {
            m_grid->setFocus(Qt::OtherFocusReason);
            if (!m_grid->currentIndex().isValid() && m_model->rowCount() > 0)
                m_grid->setCurrentIndex(m_model->index(0, 1));
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

// ------------------------------------------------------------------ entry

bool PesquisaListaMsg(TDataSource *dataSource, const QString &keyField, const QString &caption,
                      bool flag, QString &list)
{
    // On the heap and watched: the main window may close under a modal
    // dialog, taking its children with it.
    QPointer<TPesquisaListaDialog> dialog = new TPesquisaListaDialog(
        dataSource, keyField, caption, flag, list, Application->MainForm());
    const auto cleanup = qScopeGuard([&dialog] { delete dialog.data(); });
    QPointer<TDataSet> dataSet = dataSource->DataSet();
    dialog->setWindowModality(Qt::ApplicationModal);
    const int result = dialog->exec();
    // The rows not read yet are not needed any more, and a reader still
    // going would hold up, on a file database, the change that follows.
    if (dataSet)
        dataSet->StopFetching();
    if (!dialog)
        return false;
    if (!dialog->LoadError().isEmpty())
        throw EDatabaseError(
            QStringLiteral("Não foi possível ler todos os valores de \"%1\"; nada foi gravado. "
                           "Motivo: %2")
                .arg(caption, dialog->LoadError()));
    if (result != QDialog::Accepted)
        return false;
    list = dialog->Lista();
    return true;
}
