#pragma once

#include <QSqlDatabase>
#include <QStringList>

namespace quv::db {

class Dialect;

/// The schema's statements, adapted to the dialect, in creation order.
QStringList schemaStatements(const Dialect &dialect);
/// The tables the schema creates, in creation order.
QStringList schemaTables();
/// The tables of the schema that the database lacks (compared without
/// regard to case: PostgreSQL folds unquoted names to lower case).
QStringList missingTables(const QSqlDatabase &db);
/// True when any table of the schema is present.
bool hasAnySchemaTable(const QSqlDatabase &db);

/// Creates every table; raises DbError. Runs inside the caller's transaction
/// when there is one.
void createTables(const QSqlDatabase &db);
/// Creates the secondary indexes. A bulk load runs between the two calls:
/// building an index once is far cheaper than keeping it through a million
/// inserts in random order.
void createIndexes(const QSqlDatabase &db);
/// Drops the schema's tables that exist, dependants first.
void dropSchema(const QSqlDatabase &db);

} // namespace quv::db
