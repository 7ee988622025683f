#pragma once

#include <QMap>
#include <QSqlDatabase>
#include <QString>

#include <functional>
#include <optional>

namespace quv::db {

/// The warehouses the data tool can generate. Every one is deterministic:
/// the same size gives the same rows on every run and on both databases.
enum class WarehouseSize
{
    Demo,       // small and realistic, for trying the screen and for tests
    Large,      // production-sized, for benchmarks
    LargeTenth, // a tenth of every large count, for growth benchmarks
    Huge,       // the large one with ten times the operators and clients
};

/// "demo", "large", "large-tenth" (also spelt "small-large"), "huge".
std::optional<WarehouseSize> warehouseSizeFromName(QStringView name);
QString warehouseSizeName(WarehouseSize size);

/// Rows written per table, in the order they were written.
struct WarehouseCounts
{
    QList<QPair<QString, qint64>> tables;
    qint64 total() const;
    qint64 of(const QString &table) const;
};

struct WarehouseOptions
{
    WarehouseSize size = WarehouseSize::Demo;
    /// Drop the schema's tables first when the database already has any;
    /// without it such a database is refused untouched.
    bool force = false;
    /// Generated audit rows to add once the grants are in (db/audittrail.h).
    qint64 auditRows = 0;
    /// Called after each table is filled, with a line for a terminal.
    std::function<void(const QString &)> progress;
};

/// Creates the schema and fills it, all in one transaction: on any failure
/// the database is left as it was. Raises DbError.
WarehouseCounts createWarehouse(const QSqlDatabase &db, const WarehouseOptions &options);

/// The dimension number and value table of the large warehouse's biggest
/// dimension, which the benchmarks search.
inline constexpr int LargeDimensionNumber = 1;
inline constexpr const char LargeDimensionTable[] = "DIMCLIENTE";

} // namespace quv::db
