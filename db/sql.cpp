#include "db/sql.h"

#include "db/dialect.h"

#include <QSqlError>

namespace quv::db {

namespace {

QString describe(const QSqlQuery &query, const QString &sql)
{
    const QString simplified = sql.simplified();
    const QString shown =
        simplified.size() > 200 ? simplified.left(200) + QStringLiteral("...") : simplified;
    QString reason = query.lastError().text().trimmed();
    if (reason.isEmpty())
        reason = QStringLiteral("the database gave no reason (connection lost?)");
    return QStringLiteral("%1 [%2]").arg(reason, shown);
}

} // namespace

QSqlQuery prepare(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        throw DbError(describe(query, sql));
    return query;
}

void exec(QSqlQuery &query, const QVariantList &values)
{
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values[i]);
    if (!query.exec())
        throw DbError(describe(query, query.lastQuery()));
}

QSqlQuery run(const QSqlDatabase &db, const QString &sql, const QVariantList &values)
{
    QSqlQuery query = prepare(db, sql);
    exec(query, values);
    return query;
}

StatementCache::Statement::~Statement()
{
    if (m_entry) {
        m_entry->query.finish();
        m_entry->busy = false;
    }
}

StatementCache::Statement StatementCache::run(const QString &sql, const QVariantList &values)
{
    auto found = m_entries.find(sql);
    if (found == m_entries.end()) {
        auto entry = std::make_shared<Entry>();
        entry->query = prepare(m_db, sql); // raises before anything is kept
        found = m_entries.insert(sql, std::move(entry));
    } else if ((*found)->busy) {
        return Statement(db::run(m_db, sql, values));
    }
    const std::shared_ptr<Entry> entry = *found;
    try {
        exec(entry->query, values);
    } catch (...) {
        entry->query.finish();
        throw;
    }
    entry->busy = true;
    return Statement(entry);
}

void execDirect(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    if (!query.exec(sql))
        throw DbError(describe(query, sql));
}

void execInBatches(const QSqlDatabase &db, const QString &sqlTemplate, const QVariantList &leading,
                   const QString &tuple, const QList<QVariantList> &rows)
{
    if (rows.isEmpty())
        return;
    const int width = int(tuple.count(QLatin1Char('?')));
    const int perBatch = qMax(1, Dialect::of(db).rowsPerInsert(width + int(leading.size())) - 1);
    const auto statement = [&](qsizetype count) {
        QString tuples;
        tuples.reserve(count * (tuple.size() + 1));
        for (qsizetype i = 0; i < count; ++i) {
            if (i > 0)
                tuples += QLatin1Char(',');
            tuples += tuple;
        }
        return sqlTemplate.arg(tuples);
    };
    QSqlQuery full;
    bool fullPrepared = false;
    for (qsizetype start = 0; start < rows.size(); start += perBatch) {
        const qsizetype count = qMin<qsizetype>(perBatch, rows.size() - start);
        QVariantList values = leading;
        values.reserve(leading.size() + count * width);
        for (qsizetype r = start; r < start + count; ++r) {
            if (rows[r].size() != width)
                throw DbError(QStringLiteral("row of %1 values for a tuple of %2")
                                  .arg(rows[r].size())
                                  .arg(width));
            values.append(rows[r]);
        }
        if (count == perBatch) {
            if (!fullPrepared) {
                full = prepare(db, statement(count));
                fullPrepared = true;
            }
            exec(full, values);
        } else {
            QSqlQuery tail = prepare(db, statement(count));
            exec(tail, values);
        }
    }
}

Transaction::Transaction(QSqlDatabase db) : m_db(std::move(db))
{
    if (!m_db.transaction())
        throw DbError(
            QStringLiteral("cannot begin a transaction: %1").arg(m_db.lastError().text()));
    m_open = true;
}

Transaction::~Transaction()
{
    if (m_open)
        m_db.rollback();
}

void Transaction::commit()
{
    if (!m_db.commit()) {
        const QString reason = m_db.lastError().text();
        m_db.rollback();
        m_open = false;
        throw DbError(QStringLiteral("cannot commit the transaction: %1").arg(reason));
    }
    m_open = false;
}

BulkInserter::BulkInserter(QSqlDatabase db, const QString &table, const QStringList &columns,
                           const QString &suffix)
    : m_db(std::move(db)), m_table(table), m_columns(columns), m_suffix(suffix),
      m_rowsPerStatement(Dialect::of(m_db).rowsPerInsert(int(columns.size())))
{
    m_pending.reserve(qsizetype(m_rowsPerStatement) * columns.size());
}

QString BulkInserter::statement(int rows) const
{
    QString tuple = QStringLiteral("(");
    for (qsizetype c = 0; c < m_columns.size(); ++c)
        tuple += c == 0 ? QStringLiteral("?") : QStringLiteral(",?");
    tuple += QLatin1Char(')');
    QString sql = QStringLiteral("INSERT INTO %1 (%2) VALUES ").arg(m_table, m_columns.join(u','));
    sql.reserve(sql.size() + rows * (tuple.size() + 1) + m_suffix.size() + 1);
    for (int r = 0; r < rows; ++r) {
        if (r > 0)
            sql += QLatin1Char(',');
        sql += tuple;
    }
    if (!m_suffix.isEmpty())
        sql += QLatin1Char(' ') + m_suffix;
    return sql;
}

void BulkInserter::add(const QVariantList &row)
{
    if (row.size() != m_columns.size())
        throw DbError(QStringLiteral("row of %1 values for the %2 columns of %3")
                          .arg(row.size())
                          .arg(m_columns.size())
                          .arg(m_table));
    m_pending.append(row);
    if (m_pending.size() == qsizetype(m_rowsPerStatement) * m_columns.size())
        flush(m_rowsPerStatement);
}

void BulkInserter::flush(int rows)
{
    if (rows == 0)
        return;
    if (rows == m_rowsPerStatement) {
        if (!m_fullPrepared) {
            m_full = prepare(m_db, statement(rows));
            m_fullPrepared = true;
        }
        exec(m_full, m_pending);
    } else {
        QSqlQuery tail = prepare(m_db, statement(rows));
        exec(tail, m_pending);
    }
    m_count += rows;
    m_pending.clear();
}

void BulkInserter::finish()
{
    flush(int(m_pending.size() / qMax<qsizetype>(1, m_columns.size())));
}

} // namespace quv::db
