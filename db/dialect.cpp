#include "db/dialect.h"

#include <QRegularExpression>

namespace quv::db {

Dialect Dialect::of(const QSqlDatabase &db)
{
    return Dialect(db.driverName() == QLatin1StringView("QPSQL") ? Driver::Postgres
                                                                 : Driver::Sqlite);
}

QString Dialect::name() const
{
    return isSqlite() ? QStringLiteral("SQLite") : QStringLiteral("PostgreSQL");
}

QString Dialect::qtDriverName() const
{
    return isSqlite() ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
}

QStringList Dialect::sessionSetup() const
{
    if (isSqlite())
        return {QStringLiteral("PRAGMA foreign_keys = ON")};
    return {QStringLiteral("SET client_encoding TO 'UTF8'")};
}

QString Dialect::adaptDdl(const QString &ddl) const
{
    if (!isSqlite())
        return ddl;
    static const QRegularExpression varchar(QStringLiteral(R"(\b(\w+)\s+VARCHAR\((\d+)\))"));
    QString out = ddl;
    out.replace(varchar, QStringLiteral(R"(\1 VARCHAR(\2) CHECK (length(\1) <= \2))"));
    return out;
}

int Dialect::rowsPerInsert(int columns) const
{
    // SQLite 3.32+ accepts 32766 parameters, PostgreSQL 65535; both gain
    // little beyond a few hundred rows a statement.
    const int parameterLimit = isSqlite() ? 32766 : 65535;
    return qMax(1, qMin(500, parameterLimit / qMax(1, columns)));
}

} // namespace quv::db
