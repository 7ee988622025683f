#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>
#include <QStringList>

#include <stdexcept>

namespace quv {

/// Raised for a packet that breaks its own layout (wrong cell count, a value
/// longer than its field, an unknown field). The message names what is wrong.
class PacketError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

/// The most fields a packet may have. The widest packet of this system has
/// nine; the cap keeps a peer from declaring millions.
inline constexpr int MaxPacketFields = 256;

/// One column of a data packet. Every field of this system is a string;
/// `size` is the maximum number of characters (0: not declared).
struct FieldDef
{
    QString name;
    int size = 0;

    friend bool operator==(const FieldDef &, const FieldDef &) = default;
};

/// A self-describing table of strings: the unit in which the application
/// server and the client datasets exchange rows.
///
/// Cells are kept column by column as UTF-8 in buffers with an end offset per
/// cell, so a million-row search result costs about its raw size plus four
/// bytes a cell, and no allocation per cell. A column is one buffer, or, in
/// a packet grown from large batches, one per batch: appending a batch
/// shares its buffers instead of copying them. A SQL NULL is
/// carried as the empty string. Copies share their data until one is
/// changed. Appending is amortised O(1); changing or removing a row in the
/// middle rewrites the columns (the datasets that do that are small).
class DataPacket
{
public:
    DataPacket();
    /// Raises PacketError for a repeated field name or more than
    /// MaxPacketFields fields.
    explicit DataPacket(QList<FieldDef> fields);
    DataPacket(const DataPacket &);
    DataPacket(DataPacket &&) noexcept;
    DataPacket &operator=(const DataPacket &);
    DataPacket &operator=(DataPacket &&) noexcept;
    ~DataPacket();

    const QList<FieldDef> &fields() const;
    int fieldCount() const;
    /// Index of the field with exactly this name, or -1.
    int indexOf(QStringView name) const;
    qsizetype rowCount() const;
    bool isEmpty() const { return rowCount() == 0; }

    QString value(qsizetype row, int column) const;
    /// The cell's UTF-8 bytes, valid until the packet is next changed.
    QByteArrayView utf8(qsizetype row, int column) const;
    QStringList row(qsizetype row) const;

    /// Appends one row; `values` must hold one value per field. A value
    /// longer than its field's declared size raises PacketError: nothing is
    /// ever cut short.
    void appendRow(const QStringList &values);
    /// Cell-by-cell appending for bulk producers (SQL results, decoders):
    /// call appendCell once per field, in field order, then endRow.
    void appendCell(QByteArrayView utf8);
    void appendCell(const QString &value);
    void endRow();

    /// Appends every row of `other`, which must have the same fields: the
    /// way a packet read in batches grows. A large `other` lends its buffers
    /// (shared, never copied); a small one is copied. Raises PacketError,
    /// changing nothing, when the fields differ or the packet would outgrow
    /// its limits.
    void appendRows(const DataPacket &other);
    /// Reserves room for `rows` rows whose cells are, column by column, as
    /// long on average as those of `sample` (with an eighth to spare).
    void reserveLike(const DataPacket &sample, qsizetype rows);
    /// Gives back the room reserved for cells not appended, for a packet
    /// that is complete (a batch about to be handed on).
    void squeeze();
    /// The end of the run of rows from `row` on whose cells lie back to back
    /// in each column: utf8() of one row ends where the next row's begins.
    qsizetype contiguousEnd(qsizetype row) const;

    void setRow(qsizetype row, const QStringList &values);
    void insertRow(qsizetype row, const QStringList &values);
    void removeRow(qsizetype row);
    void clearRows();
    void reserve(qsizetype rows, qsizetype bytesPerColumn = 0);
    /// Declares a field's size after its rows are in, for producers that
    /// learn the widest value only at the end (0: not declared). Raises
    /// PacketError, leaving the size as it was, when a stored value is longer.
    void setFieldSize(int column, int size);

    /// Total UTF-8 bytes of all cells: the "raw size" of the data.
    qsizetype byteSize() const;

    friend bool operator==(const DataPacket &a, const DataPacket &b);

private:
    struct Data;
    QSharedDataPointer<Data> d;
};

} // namespace quv

Q_DECLARE_METATYPE(quv::DataPacket)
