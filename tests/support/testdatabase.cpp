#include "tests/support/testdatabase.h"

#include "db/connection.h"
#include "db/schema.h"
#include "db/sql.h"
#include "db/warehouse.h"
#include "tests/support/pgcluster.h"

#include <QFile>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>

#include <memory>
#include <stdexcept>

namespace quv::test {

namespace {

QTemporaryDir &sqliteFolder()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/quv-test-XXXXXX"));
    if (!dir.isValid())
        throw std::runtime_error("cannot create a temporary folder for SQLite databases");
    return dir;
}

int &sqliteCounter()
{
    static int n = 0;
    return n;
}

void fillDemo(const QString &connectionString, bool replace = false)
{
    const QString name = QStringLiteral("quv-test-fill");
    {
        QSqlDatabase db = db::openDatabase(connectionString, name, db::OpenMode::Create);
        db::WarehouseOptions options;
        options.size = db::WarehouseSize::Demo;
        options.force = replace;
        db::createWarehouse(db, options);
    }
    db::closeDatabase(name);
}

// Creating a PostgreSQL database costs about a second, refilling one a tenth
// of that: fresh demo databases come from a small ring that is refilled.
constexpr int PostgresRing = 4;

QString sqliteDemoTemplate()
{
    static QString path;
    if (path.isEmpty()) {
        const QString file = sqliteFolder().filePath(QStringLiteral("demo-template.db"));
        fillDemo(QStringLiteral("sqlite:") + file);
        path = file;
    }
    return path;
}

QString postgresDemo(PgCluster &cluster)
{
    static int next = 0;
    static QStringList created;
    const int slot = next++ % PostgresRing;
    if (slot < created.size()) {
        const QString connection = cluster.connectionString(created[slot]);
        // A session an earlier test forgot (a query never read to its end)
        // would hold locks that the refill's DROP TABLE waits for forever.
        cluster.disconnectAll(created[slot]);
        fillDemo(connection, true);
        return connection;
    }
    const QString name = QStringLiteral("quv_demo_%1").arg(slot);
    const QString connection = cluster.createDatabase(name);
    fillDemo(connection);
    created.append(name);
    return connection;
}

} // namespace

QString freshDemoDatabase(const QString &driver, QString *skipReason)
{
    try {
        if (driver == QLatin1StringView("sqlite")) {
            const QString file =
                sqliteFolder().filePath(QStringLiteral("demo-%1.db").arg(++sqliteCounter()));
            if (!QFile::copy(sqliteDemoTemplate(), file))
                throw std::runtime_error("cannot copy the demo SQLite database");
            return QStringLiteral("sqlite:") + file;
        }
        if (driver == QLatin1StringView("postgres")) {
            PgCluster *cluster = PgCluster::instance(skipReason);
            if (!cluster)
                return {};
            return postgresDemo(*cluster);
        }
    } catch (const db::DbError &e) {
        throw std::runtime_error(std::string("cannot prepare the demo database: ") + e.what());
    }
    throw std::runtime_error("unknown test driver " + driver.toStdString());
}

QString freshEmptyDatabase(const QString &driver, QString *skipReason)
{
    if (driver == QLatin1StringView("sqlite")) {
        // An empty file is an empty SQLite database; the programs refuse to
        // make one where none exists.
        const QString file =
            sqliteFolder().filePath(QStringLiteral("empty-%1.db").arg(++sqliteCounter()));
        if (!QFile(file).open(QIODevice::WriteOnly))
            throw std::runtime_error("cannot create " + file.toStdString());
        return QStringLiteral("sqlite:") + file;
    }
    if (driver == QLatin1StringView("postgres")) {
        PgCluster *cluster = PgCluster::instance(skipReason);
        if (!cluster)
            return {};
        return cluster->createDatabase(cluster->uniqueName(QStringLiteral("quv_empty")));
    }
    throw std::runtime_error("unknown test driver " + driver.toStdString());
}

QSqlDatabase openConnection(const QString &connectionString, const QString &name)
{
    try {
        return db::openDatabase(connectionString, name);
    } catch (const db::DbError &e) {
        throw std::runtime_error(e.what());
    }
}

QList<QStringList> rows(const QSqlDatabase &db, const QString &sql, const QVariantList &values)
{
    QList<QStringList> result;
    try {
        QSqlQuery query = db::run(db, sql, values);
        while (query.next()) {
            QStringList row;
            for (int c = 0; c < query.record().count(); ++c)
                row.append(query.isNull(c) ? QString() : query.value(c).toString());
            result.append(row);
        }
    } catch (const db::DbError &e) {
        throw std::runtime_error(e.what());
    }
    return result;
}

qint64 count(const QSqlDatabase &db, const QString &sql, const QVariantList &values)
{
    const QList<QStringList> result = rows(db, sql, values);
    if (result.isEmpty() || result.first().isEmpty())
        throw std::runtime_error("count query returned nothing: " + sql.toStdString());
    return result.first().first().toLongLong();
}

QString fingerprint(const QSqlDatabase &db)
{
    QString text;
    const QStringList tables = db::schemaTables();
    for (const QString &table : tables) {
        text += QStringLiteral("== %1\n").arg(table);
        // Ordering by every column gives one order on both databases.
        QSqlQuery probe = db::run(db, QStringLiteral("SELECT * FROM %1 WHERE 1 = 0").arg(table));
        QStringList columns;
        for (int c = 0; c < probe.record().count(); ++c)
            columns.append(QString::number(c + 1));
        probe = QSqlQuery();
        const QList<QStringList> all =
            rows(db, QStringLiteral("SELECT * FROM %1 ORDER BY %2").arg(table, columns.join(u',')));
        for (const QStringList &row : all)
            text += row.join(QLatin1Char('|')) + QLatin1Char('\n');
    }
    return text;
}

} // namespace quv::test
