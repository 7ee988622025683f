#pragma once

// The framework's shared database module (dtmDBGeral) over a fresh, empty
// database of either engine, for the suites that test datasets, queries and
// what shows them; and statements whose rows keep coming for longer than any
// test runs, to catch a background load in the middle.
//
// Header-only: the support library does not link the framework, the suites
// that include this do.

#include "framework/data/dbgeral.h"
#include "tests/support/testdatabase.h"

#include <QSqlError>
#include <QSqlQuery>

#include <memory>
#include <stdexcept>

namespace quv::test {

class FrameworkDatabase
{
public:
    /// Opens a fresh empty database of `driver` as dtmDBGeral. False, with
    /// the reason, when the engine cannot run on this machine.
    bool open(const QString &driver, QString *skipReason)
    {
        m_connection = freshEmptyDatabase(driver, skipReason);
        if (m_connection.isEmpty())
            return false;
        m_module = std::make_unique<TdtmDBGeral>();
        m_module->Open(m_connection);
        dtmDBGeral = m_module.get();
        return true;
    }
    ~FrameworkDatabase()
    {
        if (dtmDBGeral == m_module.get())
            dtmDBGeral = nullptr;
    }

    QString connection() const { return m_connection; }

    /// Runs a statement on the module's own connection; raises on failure.
    void exec(const QString &sql, const QVariantList &values = {}) const
    {
        QSqlQuery q(m_module->adcGeral());
        const bool ok = values.isEmpty() // PostgreSQL does not prepare DDL
                            ? q.exec(sql)
                            : (q.prepare(sql) && [&] {
                                  for (const QVariant &v : values)
                                      q.addBindValue(v);
                                  return q.exec();
                              }());
        if (!ok)
            throw std::runtime_error(q.lastError().text().toStdString());
    }

private:
    QString m_connection;
    std::unique_ptr<TdtmDBGeral> m_module;
};

/// A search result as the screen asks for one (a blank mark, a key, a name)
/// of `rows` generated rows, key "K<n>" and name "nome <n>", made row by row
/// so that it streams on both engines. With `slowAfter` > 0 (PostgreSQL
/// only), every row after that one takes 10 ms.
inline QString generatedRows(qint64 rows, qint64 slowAfter = 0)
{
    const QString slow =
        slowAfter > 0 ? QStringLiteral(" || CASE WHEN i > %1 THEN (SELECT '' FROM pg_sleep(0.01)) "
                                       "ELSE '' END")
                            .arg(slowAfter)
                      : QString();
    return QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                          "WHERE i < %1) SELECT ' ' AS IDMARCADO, 'K' || i AS CDITEM, "
                          "'nome ' || i%2 AS DSITEM FROM n")
        .arg(rows)
        .arg(slow);
}

/// More rows than a test ever waits for.
inline constexpr qint64 EndlessRows = 200'000'000;

} // namespace quv::test

// In a suite's init(): opens a fresh FrameworkDatabase of the row's driver
// into `holder` (a std::unique_ptr), skipping the row when the engine cannot
// run here.
#define QUV_OPEN_FRAMEWORK_DATABASE(holder, driver)                                                \
    do {                                                                                           \
        (holder) = std::make_unique<quv::test::FrameworkDatabase>();                               \
        QString skip_;                                                                             \
        if (!(holder)->open(driver, &skip_))                                                       \
            QSKIP(qPrintable(skip_));                                                              \
    } while (false)
