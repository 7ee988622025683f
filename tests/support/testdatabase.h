#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QVariantList>

namespace quv::test {

/// The database kinds the suites run over, as `_data()` row names.
inline const QStringList Drivers = {QStringLiteral("sqlite"), QStringLiteral("postgres")};

/// The `driver` column of a data-driven test, one row per entry of Drivers.
inline void addDriverColumn()
{
    QTest::addColumn<QString>("driver");
    for (const QString &driver : Drivers)
        QTest::newRow(qPrintable(driver)) << driver;
}

/// A database freshly filled with the demo warehouse by the data tool's own
/// code, and its connection string. SQLite: a new copy of a demo file made
/// once per executable. PostgreSQL: one of a ring of four databases of the
/// executable's cluster, refilled (creating a database costs a second);
/// the sessions still open on it are ended first, so a test may use at most
/// three at once. Returns empty and sets `skipReason`
/// only when the driver cannot run on this machine; raises
/// std::runtime_error otherwise.
QString freshDemoDatabase(const QString &driver, QString *skipReason);

/// A new empty database (no tables), same rules.
QString freshEmptyDatabase(const QString &driver, QString *skipReason);

/// Opens a connection of the test's own beside the server's; raises on
/// failure. Close it with quv::db::closeDatabase(name).
QSqlDatabase openConnection(const QString &connectionString, const QString &name);

/// The rows of a query as text (NULL as the empty string), for comparing
/// what the database holds with what was expected.
QList<QStringList> rows(const QSqlDatabase &db, const QString &sql,
                        const QVariantList &values = {});
/// The first column of the first row as a number.
qint64 count(const QSqlDatabase &db, const QString &sql, const QVariantList &values = {});

/// A whole-database fingerprint: every row of every table of the warehouse,
/// in key order. Two equal fingerprints mean nothing changed.
QString fingerprint(const QSqlDatabase &db);

} // namespace quv::test

/// Skips the current test when the driver cannot run here.
#define QUV_FRESH_DEMO(driver, variable)                                                           \
    do {                                                                                           \
        QString skipReason_;                                                                       \
        variable = quv::test::freshDemoDatabase(driver, &skipReason_);                             \
        if (variable.isEmpty())                                                                    \
            QSKIP(qPrintable(skipReason_));                                                        \
    } while (false)
