#pragma once

#include "db/connection.h"

#include <QSqlDatabase>
#include <QStringList>

namespace quv::db {

/// Everything that differs between SQLite and PostgreSQL, kept in one place
/// so that the schema, the generator and the server share one SQL text.
class Dialect
{
public:
    explicit Dialect(Driver driver) : m_driver(driver) {}
    /// The dialect of an open connection (from its Qt driver name).
    static Dialect of(const QSqlDatabase &db);

    Driver driver() const { return m_driver; }
    bool isSqlite() const { return m_driver == Driver::Sqlite; }
    QString name() const;

    /// Qt's SQL driver for the dialect ("QSQLITE", "QPSQL").
    QString qtDriverName() const;
    /// Statements run once on every new connection.
    QStringList sessionSetup() const;
    /// The schema's DDL made fit for the dialect. SQLite does not enforce
    /// VARCHAR lengths, so each one becomes a CHECK: a too long value is then
    /// refused by both databases instead of being stored whole by one.
    QString adaptDdl(const QString &ddl) const;
    /// How many rows one multi-row INSERT may carry for that many columns,
    /// within the driver's limit on bound parameters.
    int rowsPerInsert(int columns) const;

private:
    Driver m_driver;
};

} // namespace quv::db
