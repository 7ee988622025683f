#pragma once

// Datasets of the framework: a current record over rows of string fields,
// events bound as handler properties, and the sources that bind widgets.
//
// Event handlers are plain callables: an exception thrown by a handler goes
// straight back to the code that caused the event (an Open, a Locate, a
// Next...). Only the widgets catch, at the edge where a Qt event entered the
// framework, and hand the exception to TApplication::HandleException.

#include "contracts/datapacket.h"
#include "framework/exceptions.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

class TDataSet;
class TDataSource;
class TRowFeed;

enum class TFieldKind
{
    Data,
    Calculated
};

/// A string field of a dataset. Reads and writes go to the dataset's current
/// record, or, while the dataset calculates a record, to that record.
class TField : public QObject
{
    Q_OBJECT
public:
    TField(TDataSet *dataSet, const QString &fieldName, int size,
           TFieldKind kind = TFieldKind::Data);

    QString FieldName() const { return m_fieldName; }
    int Size() const { return m_size; }
    TFieldKind FieldKind() const { return m_kind; }
    bool Visible() const { return m_visible; }
    void setVisible(bool visible) { m_visible = visible; }
    /// The caption grids and dialogs show; the field name when not set.
    QString DisplayLabel() const;
    void setDisplayLabel(const QString &label) { m_displayLabel = label; }
    TDataSet *DataSet() const { return m_dataSet; }
    int Index() const;

    /// The value of the current record; empty on an empty or closed dataset.
    QString AsString() const;
    /// Raises EDatabaseError when the value is longer than Size() or the
    /// dataset is not in a state that lets the field be written (calculating
    /// a record for a calculated field; inserting or editing for a data
    /// field).
    void setAsString(const QString &value);
    QVariant Value() const { return AsString(); }

private:
    TDataSet *m_dataSet;
    QString m_fieldName;
    int m_size;
    TFieldKind m_kind;
    bool m_visible = true;
    QString m_displayLabel;
};

/// The string field of the framework's queries.
using TADOIBStringField = TField;

enum class TLocateOption
{
    CaseInsensitive = 1,
    PartialKey = 2
};
using TLocateOptions = QFlags<TLocateOption>;

enum class TDataSetState
{
    Inactive,
    Browse,
    Insert,
    Edit,
    CalcFields
};

/// Rows of string fields with a current record.
///
/// Fields are either declared before the dataset opens (persistent fields:
/// the layout's record) or taken from the first packet loaded (then every
/// packet column becomes a data field). Calculated fields are computed by
/// OnCalcFields for every record whenever rows are loaded or posted.
///
/// Every change of the current stored record (Open, First, Next, Prior, Last,
/// MoveBy, RecNo, Locate, SetData, the Post of an inserted record, Delete)
/// fires AfterScroll, and nothing else does: a move that stays on the same
/// record, Insert, Edit and Cancel do not.
///
/// Rows may come from a background load (TRowFeed, see rowfeed.h): the
/// dataset opens with the first batch and the rest is added at the end as it
/// arrives, each addition announced by rowsAppended. Whatever needs rows that
/// have not arrived waits for them: RecordCount, Last, Locate and Data wait
/// as far as they need (all rows, or until the record is found), a move past
/// the last row here waits for the next ones, and editing waits for every
/// row first. Widgets use FetchedCount, which never waits. A load that failed
/// or was stopped keeps the rows it brought; whatever needs the missing ones
/// raises EDatabaseError rather than working on part of the rows. All of this
/// happens on the thread that owns the dataset (the GUI thread).
class TDataSet : public QObject
{
    Q_OBJECT
public:
    explicit TDataSet(QObject *owner = nullptr);
    ~TDataSet() override;

    // --- fields
    /// Declares a persistent field; the dataset owns it.
    TField *AddField(const QString &name, int size, TFieldKind kind = TFieldKind::Data);
    const QList<TField *> &Fields() const { return m_fields; }
    /// The field of that name, or nullptr. An exact match wins; otherwise the
    /// name is matched ignoring case (databases may fold unquoted names).
    TField *FindField(const QString &name) const;
    TField *FieldByName(const QString &name) const; // raises EDatabaseError if absent
    int FieldCount() const { return int(m_fields.size()); }

    // --- state and navigation
    bool Active() const { return m_state != TDataSetState::Inactive; }
    void setActive(bool active);
    void Open() { setActive(true); }
    void Close() { setActive(false); }
    TDataSetState State() const { return m_state; }

    /// Every row: waits for a background load to end.
    qsizetype RecordCount() const;
    bool IsEmpty() const { return FetchedCount() == 0; }
    /// 1-based number of the current record; 0 when there is none.
    qsizetype RecNo() const;
    void setRecNo(qsizetype recNo);
    bool Eof() const { return m_eof; }
    bool Bof() const { return m_bof; }
    void First();
    void Last();
    void Next();
    void Prior();
    void MoveBy(qsizetype distance);

    /// Finds the first record whose key fields ("A;B") equal the values, moves
    /// there and returns true; else stays and returns false. Compares whole
    /// strings, case-sensitively unless CaseInsensitive.
    bool Locate(const QString &keyFields, const QVariant &keyValues, TLocateOptions options);

    // --- editing (client datasets)
    void Insert();
    void Append();
    void Edit();
    void Post();
    void Cancel();
    void Delete();

    /// Rows as a packet of the data fields (calculated fields are not sent);
    /// waits for every row.
    quv::DataPacket Data() const;

    // --- background loading
    /// The rows here now; never waits.
    qsizetype FetchedCount() const;
    /// The rows here now as a packet of the data fields, by reference: valid
    /// until rows are added or changed. Never waits.
    const quv::DataPacket &FetchedData() const;
    /// True while a background load is still bringing rows.
    bool Fetching() const;
    /// Waits for every row; raises when the load failed or was stopped.
    void FetchAll();
    /// Ends a background load now. The rows here stay; whatever needs the
    /// others raises until the dataset is opened again.
    void StopFetching();
    /// The load the rows come from, or null: what a provider hands on, so
    /// that a client dataset follows the same load.
    std::shared_ptr<TRowFeed> Feed() const;

    /// Row storage: data fields first (in field order), calculated fields
    /// after. Widgets read cells through these to avoid moving the cursor.
    QString CellText(qsizetype row, const TField *field) const;

    // --- events
    std::function<void(TDataSet *)> AfterScroll;
    std::function<void(TDataSet *)> AfterOpen;
    std::function<void(TDataSet *)> AfterClose;
    std::function<void(TDataSet *)> OnCalcFields;

signals:
    /// For data sources and widgets: the rows changed wholesale (open, close,
    /// load), one row changed, or the current record moved.
    void dataSetChanged();
    void recordChanged(qsizetype row);
    void currentChanged(qsizetype row);
    void stateChanged();
    /// A background load added `count` rows at the end, from 0-based `first`.
    void rowsAppended(qsizetype first, qsizetype count);
    /// A background load ended: every row is here, or it failed or stopped.
    void fetchEnded();

protected:
    /// Subclasses fill the rows when the dataset opens (a query runs its SQL;
    /// a client dataset creates its table). The packet's columns are matched
    /// to persistent fields by name; a missing one raises EDatabaseError.
    virtual quv::DataPacket OpenRows() = 0;
    /// Subclasses that read in the background return the load here; the
    /// default (null) opens with OpenRows.
    virtual std::shared_ptr<TRowFeed> OpenFeed() { return {}; }
    virtual void ClosingRows() {}

    /// The declared data fields as a layout; empty when the fields are taken
    /// from the rows.
    QList<quv::FieldDef> DeclaredLayout() const;

    /// Replaces every row and lands on the first record; the dataset must be
    /// inactive or this replaces its content. Runs calculations and events.
    void LoadRows(quv::DataPacket rows);
    /// The same for rows that keep arriving from `feed`.
    void LoadFeed(const std::shared_ptr<TRowFeed> &feed);

private:
    friend class TField;
    friend class TDataSource;
    void announceLoad(bool wasActive);
    // Implementation detail left to the implementer of dataset.cpp.
    struct Private;
    std::unique_ptr<Private> p;
    QList<TField *> m_fields;
    TDataSetState m_state = TDataSetState::Inactive;
    bool m_eof = true;
    bool m_bof = true;
};

/// An in-memory dataset whose content comes whole from data packets.
class TClientDataSet : public TDataSet
{
    Q_OBJECT
public:
    using TDataSet::TDataSet;

    /// Replaces the whole content with the packet (a QVariant holding a
    /// quv::DataPacket, or a TRowFeedRef from a provider whose dataset is
    /// still loading: the rows so far, then the rest as it arrives), opening
    /// the dataset if needed, calculating every record and landing on the
    /// first. Raises EDatabaseError when the value is not a packet or lacks a
    /// persistent data field.
    void SetData(const QVariant &packet);
    void SetData(const quv::DataPacket &packet);
    /// Creates an empty table from the persistent fields and opens it.
    void CreateDataSet();

protected:
    quv::DataPacket OpenRows() override;
};

/// Turns an open dataset into a data packet (all rows, data fields). For a
/// dataset still loading in the background it gives the load itself
/// (TRowFeedRef) instead of waiting: TClientDataSet::SetData follows it.
class TDataSetProvider : public QObject
{
    Q_OBJECT
public:
    explicit TDataSetProvider(QObject *owner = nullptr) : QObject(owner) {}
    TDataSet *DataSet = nullptr;
    bool Constraints = true;
    /// The packet of every row of the (open) dataset, as a QVariant.
    QVariant Data() const;
};

/// Binds widgets to a dataset and follows its current record both ways.
class TDataSource : public QObject
{
    Q_OBJECT
public:
    explicit TDataSource(QObject *owner = nullptr) : QObject(owner) {}
    TDataSet *DataSet() const { return m_dataSet; }
    void setDataSet(TDataSet *dataSet);

    std::function<void(QObject *Sender, TField *Field)> OnDataChange;
    std::function<void(QObject *Sender)> OnStateChange;

signals:
    /// The bound dataset changed (another dataset, or none).
    void dataSetChanged();

private:
    QPointer<TDataSet> m_dataSet;
};
