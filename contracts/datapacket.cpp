#include "datapacket.h"

#include "peertext.h"

#include <QSet>

#include <algorithm>
#include <limits>

namespace quv {

namespace {

// A run of a column's cells kept back to back.
struct Segment
{
    QByteArray chars;
    QList<quint32> ends; // end offset of every cell in `chars`

    QByteArrayView cell(qsizetype row) const
    {
        const quint32 begin = row == 0 ? 0 : ends[row - 1];
        return QByteArrayView(chars.constData() + begin, qsizetype(ends[row] - begin));
    }
};

// A column's cells in one or more segments; every column of a packet has
// its segments at the same rows (DataPacket::Data::starts).
struct Column
{
    QList<Segment> segments;
};

// Batches at least this large are kept as segments of their own when
// appended, sharing their bytes: copying them into one growing buffer cost
// more than reading them (fresh pages to fault in, the buffer copied again
// at each growth). Smaller ones are copied, so that a packet grown a row
// at a time stays in few segments.
constexpr qsizetype AdoptBytes = 64 * 1024;

// Characters, not bytes, are what a field size limits.
qsizetype characterCount(QByteArrayView utf8)
{
    qsizetype count = 0;
    for (char c : utf8)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++count;
    return count;
}

} // namespace

struct DataPacket::Data : QSharedData
{
    QList<FieldDef> fields;
    QList<Column> columns;
    QList<qsizetype> starts; // the first row of each segment of every column
    qsizetype rows = 0;
    int pendingCell = 0; // cells appended to the row being built

    qsizetype segmentOf(qsizetype row) const
    {
        if (starts.size() <= 1)
            return 0;
        return qsizetype(std::upper_bound(starts.cbegin(), starts.cend(), row) - starts.cbegin()) -
               1;
    }
    QByteArrayView cell(int column, qsizetype row) const
    {
        const qsizetype s = segmentOf(row);
        return columns[column].segments[s].cell(row - starts[s]);
    }
    // The segment new cells go to: the last, made when there is none.
    Segment &tail(int column)
    {
        if (starts.isEmpty()) {
            starts.append(rows);
            for (Column &c : columns)
                c.segments.append(Segment());
        }
        return columns[column].segments.last();
    }

    void checkSize(int column, QByteArrayView utf8) const
    {
        const int size = fields[column].size;
        if (size > 0 && utf8.size() > size && characterCount(utf8) > size)
            throw PacketError(QStringLiteral("O valor '%1' excede o tamanho %2 do campo %3.")
                                  .arg(clipped(QString::fromUtf8(
                                      utf8.first(qMin(utf8.size(), QuotedPeerText * 4)))))
                                  .arg(size)
                                  .arg(clipped(fields[column].name))
                                  .toStdString());
    }
};

DataPacket::DataPacket() : d(new Data) {}

DataPacket::DataPacket(QList<FieldDef> fields) : d(new Data)
{
    if (fields.size() > MaxPacketFields)
        throw PacketError(QStringLiteral("Pacote com %1 campos; o máximo é %2.")
                              .arg(fields.size())
                              .arg(MaxPacketFields)
                              .toStdString());
    QSet<QStringView> names;
    names.reserve(fields.size());
    for (const FieldDef &field : std::as_const(fields)) {
        if (names.contains(field.name))
            throw PacketError(QStringLiteral("Campo %1 repetido no pacote.")
                                  .arg(clipped(field.name))
                                  .toStdString());
        names.insert(field.name);
    }
    d->fields = std::move(fields);
    d->columns.resize(d->fields.size());
}

DataPacket::DataPacket(const DataPacket &) = default;
DataPacket::DataPacket(DataPacket &&) noexcept = default;
DataPacket &DataPacket::operator=(const DataPacket &) = default;
DataPacket &DataPacket::operator=(DataPacket &&) noexcept = default;
DataPacket::~DataPacket() = default;

const QList<FieldDef> &DataPacket::fields() const
{
    return d->fields;
}
int DataPacket::fieldCount() const
{
    return int(d->fields.size());
}

int DataPacket::indexOf(QStringView name) const
{
    for (int i = 0; i < d->fields.size(); ++i)
        if (d->fields[i].name == name)
            return i;
    return -1;
}

qsizetype DataPacket::rowCount() const
{
    return d->rows;
}

QByteArrayView DataPacket::utf8(qsizetype row, int column) const
{
    Q_ASSERT(row >= 0 && row < d->rows && column >= 0 && column < d->columns.size());
    return d->cell(column, row);
}

QString DataPacket::value(qsizetype row, int column) const
{
    return QString::fromUtf8(utf8(row, column));
}

QStringList DataPacket::row(qsizetype row) const
{
    QStringList values;
    values.reserve(d->columns.size());
    for (int c = 0; c < d->columns.size(); ++c)
        values.append(value(row, c));
    return values;
}

void DataPacket::appendCell(QByteArrayView utf8)
{
    if (d->pendingCell >= d->columns.size())
        throw PacketError("Linha com mais valores do que campos no pacote.");
    d->checkSize(d->pendingCell, utf8);
    Segment &column = d->tail(d->pendingCell);
    const qsizetype end = column.chars.size() + utf8.size();
    if (end > qsizetype(std::numeric_limits<quint32>::max()))
        throw PacketError("Pacote de dados grande demais.");
    column.chars.append(utf8.data(), utf8.size());
    column.ends.append(quint32(end));
    ++d->pendingCell;
}

void DataPacket::appendCell(const QString &value)
{
    appendCell(QByteArrayView(value.toUtf8()));
}

void DataPacket::endRow()
{
    if (d->pendingCell != d->columns.size()) {
        const int got = d->pendingCell;
        // Roll the partial row back so the packet stays consistent.
        for (int c = 0; c < got; ++c) {
            Segment &column = d->tail(c);
            column.ends.removeLast();
            column.chars.truncate(column.ends.isEmpty() ? 0 : column.ends.last());
        }
        d->pendingCell = 0;
        throw PacketError(QStringLiteral("Linha com %1 valores; o pacote tem %2 campos.")
                              .arg(got)
                              .arg(d->columns.size())
                              .toStdString());
    }
    d->pendingCell = 0;
    ++d->rows;
}

void DataPacket::appendRow(const QStringList &values)
{
    if (values.size() != d->columns.size())
        throw PacketError(QStringLiteral("Linha com %1 valores; o pacote tem %2 campos.")
                              .arg(values.size())
                              .arg(d->columns.size())
                              .toStdString());
    QList<QByteArray> encoded;
    encoded.reserve(values.size());
    for (int c = 0; c < values.size(); ++c) {
        encoded.append(values[c].toUtf8());
        d->checkSize(c, encoded.last());
    }
    for (const QByteArray &cell : std::as_const(encoded))
        appendCell(QByteArrayView(cell));
    endRow();
}

void DataPacket::appendRows(const DataPacket &other)
{
    if (other.d->fields != d->fields)
        throw PacketError("Pacotes de campos diferentes não podem ser juntados.");
    if (d->pendingCell != 0 || other.d->pendingCell != 0)
        throw PacketError("Linha incompleta no pacote.");
    if (other.d->rows == 0)
        return;
    if (d->columns.isEmpty()) {
        d->rows += other.d->rows;
        return;
    }
    if (d->rows == 0 || other.byteSize() >= AdoptBytes ||
        d->tail(0).chars.size() >= AdoptBytes * 16) {
        // Shared, not copied.
        if (d->rows == 0) {
            d->starts.clear();
            for (Column &column : d->columns)
                column.segments.clear();
        }
        for (const qsizetype start : other.d->starts)
            d->starts.append(d->rows + start);
        for (int c = 0; c < d->columns.size(); ++c)
            d->columns[c].segments.append(other.d->columns[c].segments);
        d->rows += other.d->rows;
        return;
    }
    for (int c = 0; c < d->columns.size(); ++c) {
        qsizetype total = d->tail(c).chars.size();
        for (const Segment &from : other.d->columns[c].segments)
            total += from.chars.size();
        if (total > qsizetype(std::numeric_limits<quint32>::max()))
            throw PacketError("Pacote de dados grande demais.");
    }
    for (int c = 0; c < d->columns.size(); ++c) {
        Segment &column = d->tail(c);
        for (const Segment &from : other.d->columns[c].segments) {
            const auto offset = quint32(column.chars.size());
            column.chars.append(from.chars);
            // Appended one by one: QList grows a list of numbers in place
            // (realloc) when appending, where resizing would copy it whole.
            for (const quint32 end : from.ends)
                column.ends.append(end + offset);
        }
    }
    d->rows += other.d->rows;
}

void DataPacket::setRow(qsizetype row, const QStringList &values)
{
    if (row < 0 || row >= d->rows)
        throw PacketError("Linha inexistente no pacote.");
    DataPacket rebuilt(d->fields);
    rebuilt.reserve(d->rows);
    for (qsizetype r = 0; r < d->rows; ++r)
        rebuilt.appendRow(r == row ? values : this->row(r));
    *this = std::move(rebuilt);
}

void DataPacket::insertRow(qsizetype row, const QStringList &values)
{
    if (row < 0 || row > d->rows)
        throw PacketError("Posição de inserção inexistente no pacote.");
    if (row == d->rows) {
        appendRow(values);
        return;
    }
    DataPacket rebuilt(d->fields);
    rebuilt.reserve(d->rows + 1);
    for (qsizetype r = 0; r < d->rows; ++r) {
        if (r == row)
            rebuilt.appendRow(values);
        rebuilt.appendRow(this->row(r));
    }
    *this = std::move(rebuilt);
}

void DataPacket::removeRow(qsizetype row)
{
    if (row < 0 || row >= d->rows)
        throw PacketError("Linha inexistente no pacote.");
    DataPacket rebuilt(d->fields);
    rebuilt.reserve(d->rows - 1);
    for (qsizetype r = 0; r < d->rows; ++r)
        if (r != row)
            rebuilt.appendRow(this->row(r));
    *this = std::move(rebuilt);
}

void DataPacket::clearRows()
{
    for (Column &column : d->columns)
        column.segments.clear();
    d->starts.clear();
    d->rows = 0;
    d->pendingCell = 0;
}

void DataPacket::reserve(qsizetype rows, qsizetype bytesPerColumn)
{
    for (int c = 0; c < d->columns.size(); ++c) {
        Segment &column = d->tail(c);
        column.ends.reserve(rows);
        if (bytesPerColumn > 0)
            column.chars.reserve(bytesPerColumn);
    }
}

void DataPacket::reserveLike(const DataPacket &sample, qsizetype rows)
{
    if (sample.d->fields != d->fields || sample.d->rows == 0 || rows <= 0)
        return;
    for (int c = 0; c < d->columns.size(); ++c) {
        qsizetype bytes = 0;
        for (const Segment &segment : sample.d->columns[c].segments)
            bytes += segment.chars.size();
        const qsizetype perRow = bytes / sample.d->rows + 1;
        Segment &column = d->tail(c);
        column.ends.reserve(rows);
        column.chars.reserve(std::min(perRow * rows + perRow * rows / 8,
                                      qsizetype(std::numeric_limits<quint32>::max())));
    }
}

void DataPacket::squeeze()
{
    if (d->starts.isEmpty())
        return;
    for (int c = 0; c < d->columns.size(); ++c) {
        Segment &column = d->tail(c);
        column.chars.squeeze();
        column.ends.squeeze();
    }
}

qsizetype DataPacket::contiguousEnd(qsizetype row) const
{
    const qsizetype s = d->segmentOf(row);
    return s + 1 < d->starts.size() ? d->starts[s + 1] : d->rows;
}

void DataPacket::setFieldSize(int column, int size)
{
    if (column < 0 || column >= d->fields.size() || size < 0)
        throw PacketError("Campo inexistente ou tamanho negativo no pacote.");
    const int old = d->fields[column].size;
    d->fields[column].size = size;
    try {
        for (qsizetype r = 0; r < d->rows; ++r)
            d->checkSize(column, d->cell(column, r));
    } catch (const PacketError &) {
        d->fields[column].size = old;
        throw;
    }
}

qsizetype DataPacket::byteSize() const
{
    qsizetype total = 0;
    for (const Column &column : d->columns)
        for (const Segment &segment : column.segments)
            total += segment.chars.size();
    return total;
}

bool operator==(const DataPacket &a, const DataPacket &b)
{
    if (a.d == b.d)
        return true;
    if (a.fields() != b.fields() || a.rowCount() != b.rowCount())
        return false;
    for (int c = 0; c < a.fieldCount(); ++c)
        for (qsizetype r = 0; r < a.rowCount(); ++r)
            if (a.utf8(r, c) != b.utf8(r, c))
                return false;
    return true;
}

} // namespace quv
