#pragma once

#include "db/connection.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVariantList>

#include <memory>

namespace quv::db {

/// A forward-only prepared statement; raises DbError when it does not
/// prepare. Forward-only lets the PostgreSQL driver stream rows instead of
/// holding the whole result.
QSqlQuery prepare(const QSqlDatabase &db, const QString &sql);
/// Binds `values` positionally and executes; raises DbError on failure.
void exec(QSqlQuery &query, const QVariantList &values = {});
/// Prepares, binds and executes one statement.
QSqlQuery run(const QSqlDatabase &db, const QString &sql, const QVariantList &values = {});
/// Executes a statement without parameters, unprepared (DDL, pragmas).
void execDirect(const QSqlDatabase &db, const QString &sql);

/// Runs `sqlTemplate` once per batch of `rows`, its "%1" replaced by the
/// batch's tuples joined by commas, each tuple written as `tuple` (e.g.
/// "(?,?)" or "?"). `leading` values bind before each batch's row values.
/// Batches stay within the driver's limit on bound parameters.
void execInBatches(const QSqlDatabase &db, const QString &sqlTemplate, const QVariantList &leading,
                   const QString &tuple, const QList<QVariantList> &rows);

/// One transaction: rolled back unless commit() ran. Raises DbError when it
/// cannot begin or commit.
class Transaction
{
public:
    explicit Transaction(QSqlDatabase db);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    void commit();

private:
    QSqlDatabase m_db;
    bool m_open = false;
};

/// Inserts many rows with multi-row VALUES statements, prepared once and
/// reused; rows are buffered until a statement's worth is there. Call
/// finish() at the end: rows still buffered when the object dies are lost
/// (by design: the caller's transaction is failing then anyway).
class BulkInserter
{
public:
    /// `suffix` follows the VALUES list, e.g. "ON CONFLICT DO NOTHING".
    BulkInserter(QSqlDatabase db, const QString &table, const QStringList &columns,
                 const QString &suffix = {});
    void add(const QVariantList &row);
    void finish();
    qint64 count() const { return m_count; }

private:
    QString statement(int rows) const;
    void flush(int rows);

    QSqlDatabase m_db;
    QString m_table;
    QStringList m_columns;
    QString m_suffix;
    int m_rowsPerStatement;
    QSqlQuery m_full;
    bool m_fullPrepared = false;
    QVariantList m_pending;
    qint64 m_count = 0;
};

/// Statements kept prepared on one connection, keyed by their text, for a
/// process that runs the same few statements over and over. On PostgreSQL
/// preparing and releasing a statement are a round trip each, so a one-use
/// statement costs three times what running a kept one does. A statement
/// handed out is reset when its `Statement` goes away; asked for again while
/// still in use, the same text gets a fresh, unkept statement.
class StatementCache
{
    struct Entry
    {
        QSqlQuery query;
        bool busy = false;
    };

public:
    /// One run of a statement: its rows, then the statement reset for the
    /// next run (read locks and cursors released) when this goes away.
    class Statement
    {
    public:
        Statement(Statement &&) = default;
        Statement &operator=(Statement &&) = delete;
        Statement(const Statement &) = delete;
        Statement &operator=(const Statement &) = delete;
        ~Statement();

        bool next() { return query().next(); }
        QVariant value(int column) const { return query().value(column); }
        bool isNull(int column) const { return query().isNull(column); }

    private:
        friend class StatementCache;
        explicit Statement(QSqlQuery unkept) : m_unkept(std::move(unkept)) {}
        explicit Statement(std::shared_ptr<Entry> kept) : m_entry(std::move(kept)) {}
        // A kept run reads the cache's own query rather than a copy of it:
        // copies would share its result set behind the cache's back.
        QSqlQuery &query() { return m_entry ? m_entry->query : m_unkept; }
        const QSqlQuery &query() const { return m_entry ? m_entry->query : m_unkept; }
        QSqlQuery m_unkept;
        std::shared_ptr<Entry> m_entry; // null for an unkept statement
    };

    explicit StatementCache(QSqlDatabase db) : m_db(std::move(db)) {}
    StatementCache(const StatementCache &) = delete;
    StatementCache &operator=(const StatementCache &) = delete;

    /// Binds `values` positionally and executes; raises DbError on failure.
    Statement run(const QString &sql, const QVariantList &values = {});
    /// Forgets every kept statement: after a lost connection was reopened
    /// they name statements the database no longer has.
    void clear() { m_entries.clear(); }
    const QSqlDatabase &database() const { return m_db; }
    qsizetype size() const { return m_entries.size(); }

private:
    QSqlDatabase m_db;
    QHash<QString, std::shared_ptr<Entry>> m_entries;
};

} // namespace quv::db
