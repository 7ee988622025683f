#pragma once

#include "db/connection.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVariantList>

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

} // namespace quv::db
