#pragma once

// Rows of one statement read in the background: the first batch at once, the
// rest while the user already works with them.
//
// Threading contract
// ------------------
// A TRowFeed belongs to the GUI thread and is used only there. Start() hands
// the statement to a loader: a worker thread with a database connection of
// its own, cloned from the caller's connection by name
// (QSqlDatabase::cloneDatabase), because a Qt SQL connection belongs to the
// thread that opened it. Loader connections only read (SQLite read-only,
// PostgreSQL read-only transactions). The loader reads forward-only and posts the rows back
// in batches by queued calls, as plain values (DataPackets, each owned by one
// side at a time). The only other state the two threads share is a small
// block under a mutex: how many batches are in flight (the loader waits when
// the GUI thread falls behind, so unread rows never pile up) and a stop flag,
// set when the feed is stopped or dropped, which the loader checks between
// rows. Each feed is its own generation: batches of a dropped or stopped feed
// are never applied to anything.
//
// Rows become visible only when the GUI thread takes a batch, either from its
// event loop or inside a blocking fetch (FetchMore, FetchTo, FetchAll), which
// takes this feed's batches and runs no other event.

#include "contracts/datapacket.h"

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

#include <memory>

struct TRowFeedShared;

class TRowFeed : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        Loading, ///< batches are still coming
        Done,    ///< every row is here
        Failed,  ///< the read failed; ErrorText() says why, the rows so far stay
        Stopped  ///< Stop() ended the read early; the rows so far stay
    };

    struct Request
    {
        /// The statement with positional "?" placeholders, and their values.
        QString sql;
        QVariantList binds;
        /// The columns wanted, matched by name ignoring case, each value
        /// checked against the field's size; empty: the result's own columns.
        QList<quv::FieldDef> layout;
        /// Rows of the first batch, which Start() waits for.
        int firstRows = 256;
    };

    /// Runs the statement on a loader cloned from `database` and returns once
    /// the first batch has arrived or the read has ended (failed included:
    /// the caller raises). Never raises. A database that no second connection
    /// can share (SQLite in memory) is read whole here, on the caller's own
    /// connection.
    static std::shared_ptr<TRowFeed> Start(const QSqlDatabase &database, const Request &request);
    /// A feed that is already complete, for rows that did not come from a
    /// statement.
    static std::shared_ptr<TRowFeed> FromRows(const quv::DataPacket &rows);

    ~TRowFeed() override;

    /// The rows so far. A reference: copying the packet of a feed that is
    /// still loading would copy every row again at the next batch.
    const quv::DataPacket &Rows() const { return m_rows; }
    State state() const { return m_state; }
    bool Loading() const { return m_state == State::Loading; }
    QString ErrorText() const { return m_error; }

    /// Waits for the next batch; false when the read has ended (nothing more
    /// will come).
    bool FetchMore();
    /// Waits until at least `rows` rows are here or the read has ended.
    void FetchTo(qsizetype rows);
    void FetchAll();
    /// Ends the read now; the rows so far stay, later batches are dropped.
    void Stop();

    /// How many rows the statement gives in all: counted by a second loader
    /// of the lowest priority once RequestTotal() was called, known at once
    /// when every row is here; -1 until then.
    qint64 Total() const { return m_state == State::Done ? m_rows.rowCount() : m_total; }
    void RequestTotal();

    /// Closes every loader connection cloned from `connectionName`, stopping
    /// their reads first; returns when they are closed. Called before the
    /// connection itself is closed or reopened elsewhere.
    static void ReleaseConnections(const QString &connectionName);

signals:
    void rowsArrived(qsizetype first, qsizetype count);
    /// The state left Loading.
    void ended();
    void totalKnown(qint64 total);

private:
    friend struct TRowFeedAccess;
    TRowFeed();
    void take(const quv::DataPacket &batch, int status, const QString &error);
    void takeQueued(const quv::DataPacket &batch, int status, const QString &error);
    void takeTotal(qint64 total);
    void end(State state, const QString &error);

    std::shared_ptr<TRowFeedShared> m_shared;
    quv::DataPacket m_rows;
    State m_state = State::Loading;
    QString m_error;
    qint64 m_total = -1;
    bool m_totalAsked = false;
    QString m_source;
    TRowFeed::Request m_request;
    quint64 m_taken = 0; // batches taken, to know when a wait saw a new one
};

/// A feed in a QVariant: what a provider gives for a dataset still loading,
/// so that the client dataset that takes it follows the same load instead of
/// waiting for it. Converts to a quv::DataPacket by waiting for every row.
struct TRowFeedRef
{
    std::shared_ptr<TRowFeed> feed;
};
Q_DECLARE_METATYPE(TRowFeedRef)
