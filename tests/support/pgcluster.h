#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace quv::test {

/// A throw-away PostgreSQL server for one test executable: initdb into a
/// temporary folder, started on a free loopback port on first use and
/// stopped when the application object goes away. As root the PostgreSQL
/// programs run as the `postgres` user (they refuse to run as root).
class PgCluster
{
public:
    /// The executable's cluster, started on first call. Returns nullptr and
    /// sets `whyNot` only when this machine has no PostgreSQL programs; any
    /// other failure to start raises std::runtime_error with the log.
    static PgCluster *instance(QString *whyNot);

    ~PgCluster();
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;

    quint16 port() const { return m_port; }
    /// "postgres://quv@127.0.0.1:<port>/<database>"
    QString connectionString(const QString &database) const;
    /// Creates an empty database (or a copy of `templateDatabase`) and
    /// returns its connection string. Raises std::runtime_error.
    QString createDatabase(const QString &database, const QString &templateDatabase = {});
    void dropDatabase(const QString &database);
    /// Ends every session on the database but the cluster's own, so that
    /// nothing an earlier test left open can block a schema change.
    void disconnectAll(const QString &database);
    /// Stops and starts the server on the same port, dropping every
    /// connection, as a database restart in production would.
    void restart();
    /// A database name not used before in this cluster.
    QString uniqueName(const QString &prefix);

    /// Where initdb and pg_ctl are, or empty.
    static QString binaryFolder();

private:
    PgCluster() = default;
    void start(const QString &binaries);
    void stop();
    void startWatchdog();
    void adminExec(const QString &sql);
    QStringList wrap(const QString &program, const QStringList &arguments) const;
    int run(const QString &program, const QStringList &arguments, QString *output) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_binaries;
    QString m_dataDir;
    quint16 m_port = 0;
    bool m_asPostgresUser = false;
    bool m_running = false;
    int m_counter = 0;
};

} // namespace quv::test
