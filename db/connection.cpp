#include "db/connection.h"

#include "db/dialect.h"
#include "db/sqlitesettings.h"

#include "contracts/connectionstring.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

namespace quv::db {

namespace {

const QString SqlitePrefix = QStringLiteral("sqlite:");

} // namespace

QString ConnectionInfo::display() const
{
    ConnectionString shown;
    shown.driver = driver == Driver::Sqlite ? ConnectionString::Driver::Sqlite
                                            : ConnectionString::Driver::Postgres;
    shown.path = path;
    shown.host = host;
    shown.port = port;
    shown.user = user;
    shown.database = database;
    return shown.display();
}

QString ConnectionInfo::toString() const
{
    if (driver == Driver::Sqlite)
        return SqlitePrefix + path;
    const auto escaped = [](const QString &text) {
        return QString::fromLatin1(QUrl::toPercentEncoding(text));
    };
    QString text = QStringLiteral("postgres://");
    if (!user.isEmpty() || !password.isEmpty()) {
        text += escaped(user);
        if (!password.isEmpty())
            text += QLatin1Char(':') + escaped(password);
        text += QLatin1Char('@');
    }
    text += host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    text += QLatin1Char(':') + QString::number(port) + QLatin1Char('/') + escaped(database);
    if (!options.isEmpty())
        text += QLatin1Char('?') + options.join(QLatin1Char('&'));
    return text;
}

ConnectionInfo parseConnectionString(const QString &text)
{
    ConnectionString parsed;
    try {
        parsed = quv::parseConnectionString(text);
    } catch (const ConnectionStringError &e) {
        throw DbError(e.message());
    }
    ConnectionInfo info;
    info.driver =
        parsed.driver == ConnectionString::Driver::Sqlite ? Driver::Sqlite : Driver::Postgres;
    info.path = parsed.path;
    info.host = parsed.host;
    info.port = parsed.port;
    info.user = parsed.user;
    info.password = parsed.password;
    info.database = parsed.database;
    for (const auto &[name, value] : std::as_const(parsed.options))
        info.options.append(name + QLatin1Char('=') + value);
    return info;
}

QSqlDatabase openDatabase(const ConnectionInfo &info, const QString &connectionName, OpenMode mode)
{
    const Dialect dialect(info.driver);
    if (!QSqlDatabase::isDriverAvailable(dialect.qtDriverName()))
        throw DbError(QStringLiteral("the Qt SQL driver %1 is not installed (Debian package %2)")
                          .arg(dialect.qtDriverName(), info.driver == Driver::Sqlite
                                                           ? QStringLiteral("libqt6sql6-sqlite")
                                                           : QStringLiteral("libqt6sql6-psql")));
    const bool memory = info.driver == Driver::Sqlite && info.path == QLatin1StringView(":memory:");
    if (info.driver == Driver::Sqlite && mode != OpenMode::Create && !memory &&
        !QFileInfo::exists(info.path))
        throw DbError(QStringLiteral("the database file %1 does not exist; create it with: "
                                     "quv-db create --db sqlite:%1")
                          .arg(QFileInfo(info.path).absoluteFilePath()));
    closeDatabase(connectionName);
    if (info.driver == Driver::Sqlite)
        applySqliteSettings();
    QSqlDatabase db = QSqlDatabase::addDatabase(dialect.qtDriverName(), connectionName);
    if (info.driver == Driver::Sqlite) {
        // Readers and the writer of one file wait for each other briefly
        // instead of failing at once.
        QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000");
        if (memory || mode == OpenMode::Create) {
            db.setDatabaseName(info.path);
        } else {
            // As a URI whose mode cannot create the file, so that a file
            // removed since the check above is not made again.
            db.setDatabaseName(QUrl::fromLocalFile(QFileInfo(info.path).absoluteFilePath())
                                   .toString(QUrl::FullyEncoded) +
                               (mode == OpenMode::ReadOnly ? QStringLiteral("?mode=ro")
                                                           : QStringLiteral("?mode=rw")));
            options += QStringLiteral(";QSQLITE_OPEN_URI");
            if (mode == OpenMode::ReadOnly)
                options += QStringLiteral(";QSQLITE_OPEN_READONLY");
        }
        db.setConnectOptions(options);
    } else {
        db.setHostName(info.host);
        db.setPort(info.port);
        db.setUserName(info.user);
        db.setPassword(info.password);
        db.setDatabaseName(info.database);
        // The string's own options (sslmode=...) come first; a connect_timeout
        // among them wins over the default.
        QStringList options = info.options;
        if (!options.filter(QRegularExpression(QStringLiteral("^connect_timeout="))).isEmpty())
            db.setConnectOptions(options.join(QLatin1Char(';')));
        else
            db.setConnectOptions(
                (options << QStringLiteral("connect_timeout=10")).join(QLatin1Char(';')));
    }
    if (!db.open()) {
        const QString reason = db.lastError().text();
        db = QSqlDatabase();
        closeDatabase(connectionName);
        throw DbError(QStringLiteral("cannot open %1: %2").arg(info.display(), reason));
    }
    QStringList setup = dialect.sessionSetup();
    if (mode == OpenMode::ReadOnly && info.driver == Driver::Postgres)
        setup << QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY");
    for (const QString &statement : std::as_const(setup)) {
        QSqlQuery query(db);
        if (!query.exec(statement)) {
            const QString reason = query.lastError().text();
            query = QSqlQuery();
            db = QSqlDatabase();
            closeDatabase(connectionName);
            throw DbError(QStringLiteral("cannot prepare the session on %1 (%2): %3")
                              .arg(info.display(), statement, reason));
        }
    }
    return db;
}

QSqlDatabase openDatabase(const QString &connectionString, const QString &connectionName,
                          OpenMode mode)
{
    return openDatabase(parseConnectionString(connectionString), connectionName, mode);
}

bool recoverConnection(QSqlDatabase db)
{
    {
        QSqlQuery probe(db);
        if (db.isOpen() && probe.exec(QStringLiteral("SELECT 1")))
            return true;
    }
    db.close();
    if (!db.open())
        return false;
    const QStringList setup = Dialect::of(db).sessionSetup();
    for (const QString &statement : setup) {
        QSqlQuery query(db);
        if (!query.exec(statement))
            return false;
    }
    return true;
}

void closeDatabase(const QString &connectionName)
{
    if (!QSqlDatabase::contains(connectionName))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(connectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
}

} // namespace quv::db
