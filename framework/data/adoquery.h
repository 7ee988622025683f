#pragma once

#include "framework/data/dataset.h"
#include "framework/data/rowfeed.h"

#include <QStringList>
#include <QVariant>

#include <map>
#include <memory>

/// A named parameter of a query's statement (":NAME" in the SQL text). Its
/// value is bound to the statement when the query opens, never written into
/// the SQL text. An unset parameter binds NULL.
class TParam
{
public:
    explicit TParam(const QString &name) : m_name(name) {}

    QString Name() const { return m_name; }
    QString AsString() const { return m_value.toString(); }
    void setAsString(const QString &value) { m_value = value; }
    QVariant Value() const { return m_value; }
    void setValue(const QVariant &value) { m_value = value; }
    bool IsNull() const { return m_value.isNull(); }
    void Clear() { m_value = QVariant(); }

private:
    QString m_name;
    QVariant m_value;
};

/// A read-only query on the host's shared database (dtmDBGeral, connection
/// "adcGeral"). Opening runs the statement forward-only on a loader of its
/// own (rowfeed.h), waits for the first FirstRows rows and lands on the first
/// one; the rest arrives in the background while the GUI thread goes on, and
/// the dataset waits for rows only where it needs them (see TDataSet). Every
/// row is kept. The loader sees what other connections have committed.
///
/// With persistent fields (AddField) the result's columns are matched to them
/// by name, ignoring case; a value longer than its field raises. Without
/// them, the result's columns become the fields.
class TADOIBQuery : public TDataSet
{
    Q_OBJECT
public:
    explicit TADOIBQuery(QObject *owner = nullptr);
    ~TADOIBQuery() override;

    /// The statement, one line per entry; joined with "\n" when run.
    QStringList SQL;

    /// The parameter of that name (case-insensitive) in the current SQL;
    /// raises EDatabaseError when the statement has no such parameter.
    /// The same name always gives the same object.
    TParam *ParamByName(const QString &name);
    /// Names of the statement's parameters, in order of first appearance.
    QStringList ParamNames() const;

    /// The dataset that data sources and providers bind to: the query itself.
    TDataSet *Query() { return this; }

    /// Rows that Open waits for before it returns: a screenful and more.
    int FirstRows = 256;

    // Kept for the layouts that set them; every query here reads all rows
    // once, forward-only, and never writes.
    bool ReadOnly = true;
    int CacheSize = 1;
    int MaxRecords = 0;
    bool CachedUpdates = false;
    bool ParamCheck = true;
    enum class TCursorLocation
    {
        Client,
        Server
    };
    enum class TCursorType
    {
        Keyset,
        Static,
        Dynamic,
        ForwardOnly
    };
    TCursorLocation CursorLocation = TCursorLocation::Client;
    TCursorType CursorType = TCursorType::Keyset;

protected:
    /// Every row, waited for (the background load's rows otherwise).
    quv::DataPacket OpenRows() override;
    std::shared_ptr<TRowFeed> OpenFeed() override;

private:
    std::map<QString, std::unique_ptr<TParam>> m_params; // by upper-case name
};
