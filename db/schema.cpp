#include "db/schema.h"

#include "db/dialect.h"
#include "db/sql.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>

namespace quv::db {

namespace {

QString schemaText()
{
    QFile file(QStringLiteral(":/quv/db/schema.sql"));
    if (!file.open(QIODevice::ReadOnly))
        throw DbError(QStringLiteral("the schema resource is missing from this build"));
    return QString::fromUtf8(file.readAll());
}

// Comments are whole lines; a statement ends with ';' at the end of a line.
QStringList splitStatements(const QString &text)
{
    QStringList statements;
    QString current;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1StringView("--")))
            continue;
        current += line + QLatin1Char('\n');
        if (trimmed.endsWith(QLatin1Char(';'))) {
            current = current.trimmed();
            current.chop(1);
            statements.append(current);
            current.clear();
        }
    }
    if (!current.trimmed().isEmpty())
        throw DbError(QStringLiteral("the schema text ends inside a statement"));
    return statements;
}

QSet<QString> existingTables(const QSqlDatabase &db)
{
    QSet<QString> names;
    const QStringList tables = db.tables(QSql::Tables);
    for (const QString &table : tables)
        names.insert(table.toUpper());
    return names;
}

} // namespace

QStringList schemaStatements(const Dialect &dialect)
{
    QStringList statements = splitStatements(schemaText());
    for (QString &statement : statements)
        statement = dialect.adaptDdl(statement);
    return statements;
}

QStringList schemaTables()
{
    static const QRegularExpression create(QStringLiteral(R"(^\s*CREATE TABLE (\w+))"));
    QStringList tables;
    const QStringList statements = splitStatements(schemaText());
    for (const QString &statement : statements) {
        const QRegularExpressionMatch match = create.match(statement);
        if (match.hasMatch())
            tables.append(match.captured(1));
    }
    return tables;
}

QStringList missingTables(const QSqlDatabase &db)
{
    const QSet<QString> existing = existingTables(db);
    QStringList missing;
    const QStringList tables = schemaTables();
    for (const QString &table : tables)
        if (!existing.contains(table.toUpper()))
            missing.append(table);
    return missing;
}

bool hasAnySchemaTable(const QSqlDatabase &db)
{
    return missingTables(db).size() < schemaTables().size();
}

namespace {

bool isIndex(const QString &statement)
{
    return statement.startsWith(QLatin1StringView("CREATE INDEX"));
}

} // namespace

void createTables(const QSqlDatabase &db)
{
    const QStringList statements = schemaStatements(Dialect::of(db));
    for (const QString &statement : statements)
        if (!isIndex(statement))
            execDirect(db, statement);
}

void createIndexes(const QSqlDatabase &db)
{
    const QStringList statements = schemaStatements(Dialect::of(db));
    for (const QString &statement : statements)
        if (isIndex(statement))
            execDirect(db, statement);
}

void dropSchema(const QSqlDatabase &db)
{
    const QSet<QString> existing = existingTables(db);
    const QStringList tables = schemaTables();
    for (auto it = tables.crbegin(); it != tables.crend(); ++it)
        if (existing.contains(it->toUpper()))
            execDirect(db, QStringLiteral("DROP TABLE %1").arg(*it));
}

} // namespace quv::db
