#include "datapacket.h"

#include "peertext.h"

#include <QSet>

#include <limits>

namespace quv {

namespace {

struct Column
{
    QByteArray chars;
    QList<quint32> ends; // end offset of every cell in `chars`

    QByteArrayView cell(qsizetype row) const
    {
        const quint32 begin = row == 0 ? 0 : ends[row - 1];
        return QByteArrayView(chars.constData() + begin, qsizetype(ends[row] - begin));
    }
};

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
    qsizetype rows = 0;
    int pendingCell = 0; // cells appended to the row being built

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
    return d->columns[column].cell(row);
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
    Column &column = d->columns[d->pendingCell];
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
            Column &column = d->columns[c];
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
    for (int c = 0; c < d->columns.size(); ++c)
        if (d->columns[c].chars.size() + other.d->columns[c].chars.size() >
            qsizetype(std::numeric_limits<quint32>::max()))
            throw PacketError("Pacote de dados grande demais.");
    if (other.d->rows == 0)
        return;
    for (int c = 0; c < d->columns.size(); ++c) {
        Column &column = d->columns[c];
        const Column &from = other.d->columns[c];
        const auto offset = quint32(column.chars.size());
        column.chars.append(from.chars);
        // Appended one by one: QList grows a list of numbers in place
        // (realloc) when appending, where resizing would copy it whole.
        for (const quint32 end : from.ends)
            column.ends.append(end + offset);
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
    for (Column &column : d->columns) {
        column.chars.clear();
        column.ends.clear();
    }
    d->rows = 0;
    d->pendingCell = 0;
}

void DataPacket::reserve(qsizetype rows, qsizetype bytesPerColumn)
{
    for (Column &column : d->columns) {
        column.ends.reserve(rows);
        if (bytesPerColumn > 0)
            column.chars.reserve(bytesPerColumn);
    }
}

void DataPacket::setFieldSize(int column, int size)
{
    if (column < 0 || column >= d->fields.size() || size < 0)
        throw PacketError("Campo inexistente ou tamanho negativo no pacote.");
    const int old = d->fields[column].size;
    d->fields[column].size = size;
    try {
        for (qsizetype r = 0; r < d->rows; ++r)
            d->checkSize(column, d->columns[column].cell(r));
    } catch (const PacketError &) {
        d->fields[column].size = old;
        throw;
    }
}

qsizetype DataPacket::byteSize() const
{
    qsizetype total = 0;
    for (const Column &column : d->columns)
        total += column.chars.size();
    return total;
}

bool operator==(const DataPacket &a, const DataPacket &b)
{
    if (a.d == b.d)
        return true;
    if (a.fields() != b.fields() || a.rowCount() != b.rowCount())
        return false;
    for (int c = 0; c < a.fieldCount(); ++c)
        if (a.d->columns[c].chars != b.d->columns[c].chars ||
            a.d->columns[c].ends != b.d->columns[c].ends)
            return false;
    return true;
}

} // namespace quv
