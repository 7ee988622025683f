#pragma once

// A principal's grants as plain values, written and read straight in the
// database: for arranging a case and checking its outcome without going
// through the methods under test.

#include <QMap>
#include <QMetaType>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace quv::test {

struct Grants
{
    QStringList facts;                 // "TABLE/ITEM", sorted
    QMap<int, QStringList> dimensions; // granted number -> filter values, sorted (none: no filter)

    friend bool operator==(const Grants &, const Grants &) = default;
};

/// Makes the principal ("G01", "OJSILVA") hold exactly `grants`.
void setGrants(const QSqlDatabase &db, const QString &key, const Grants &grants);
/// What the principal holds.
Grants grantsOf(const QSqlDatabase &db, const QString &key);
/// Every grant and filter value of every principal, one line each in key
/// order: two databases hold the same grants when these are equal.
QStringList allGrants(const QSqlDatabase &db);

/// For QCOMPARE's failure messages.
char *toString(const Grants &grants);

} // namespace quv::test

Q_DECLARE_METATYPE(quv::test::Grants)
