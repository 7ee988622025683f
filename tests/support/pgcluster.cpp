#include "tests/support/pgcluster.h"

#include "db/connection.h"
#include "db/sql.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QStandardPaths>
#include <QTcpServer>

#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

namespace quv::test {

namespace {

std::unique_ptr<PgCluster> &cluster()
{
    static std::unique_ptr<PgCluster> c;
    return c;
}

// The application object's destruction is the last moment QProcess still
// works, so the cluster stops there rather than at static destruction.
void stopCluster()
{
    cluster().reset();
}

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("no free loopback port for PostgreSQL");
    return probe.serverPort();
}

const QString AdminConnection = QStringLiteral("quv-test-pgcluster-admin");

} // namespace

QString PgCluster::binaryFolder()
{
    const QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
    const QString pgctl = QStandardPaths::findExecutable(QStringLiteral("pg_ctl"));
    if (!initdb.isEmpty() && !pgctl.isEmpty() &&
        QFileInfo(initdb).canonicalPath() == QFileInfo(pgctl).canonicalPath())
        return QFileInfo(initdb).canonicalPath();
    // Debian keeps them off PATH, one folder per major version.
    QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QStringList entries = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(entries.begin(), entries.end(),
              [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &version : entries) {
        const QString bin = versions.filePath(version + QStringLiteral("/bin"));
        if (QFileInfo::exists(bin + QStringLiteral("/initdb")) &&
            QFileInfo::exists(bin + QStringLiteral("/pg_ctl")))
            return bin;
    }
    return {};
}

PgCluster *PgCluster::instance(QString *whyNot)
{
    if (!cluster()) {
        const QString binaries = binaryFolder();
        if (binaries.isEmpty()) {
            if (whyNot)
                *whyNot = QStringLiteral("no PostgreSQL programs (initdb, pg_ctl) in PATH or "
                                         "/usr/lib/postgresql/*/bin; install postgresql");
            return nullptr;
        }
        std::unique_ptr<PgCluster> fresh(new PgCluster);
        fresh->start(binaries);
        cluster() = std::move(fresh);
        qAddPostRoutine(stopCluster);
    }
    return cluster().get();
}

QStringList PgCluster::wrap(const QString &program, const QStringList &arguments) const
{
    QStringList command{m_binaries + QLatin1Char('/') + program};
    command += arguments;
    if (m_asPostgresUser) {
        QString runuser = QStandardPaths::findExecutable(QStringLiteral("runuser"));
        if (runuser.isEmpty())
            runuser = QStandardPaths::findExecutable(
                QStringLiteral("runuser"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
        command =
            QStringList{runuser.isEmpty() ? QStringLiteral("runuser") : runuser,
                        QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--")} +
            command;
    }
    return command;
}

int PgCluster::run(const QString &program, const QStringList &arguments, QString *output) const
{
    const QStringList command = wrap(program, arguments);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    // The postgres user cannot enter root's working folder.
    process.setWorkingDirectory(m_dir->path());
    process.start(command.first(), command.mid(1));
    if (!process.waitForStarted(30000)) {
        if (output)
            *output = process.errorString();
        return -1;
    }
    process.waitForFinished(120000);
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void PgCluster::start(const QString &binaries)
{
    m_binaries = binaries;
    m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/quv-pg-XXXXXX"));
    if (!m_dir->isValid())
        throw std::runtime_error("cannot create a temporary folder for PostgreSQL");
    m_dataDir = m_dir->filePath(QStringLiteral("data"));
    if (::geteuid() == 0) {
        const passwd *pw = ::getpwnam("postgres");
        if (!pw)
            throw std::runtime_error("running as root, and there is no 'postgres' user to run "
                                     "the PostgreSQL programs as");
        if (::chown(QFile::encodeName(m_dir->path()).constData(), pw->pw_uid, pw->pw_gid) != 0)
            throw std::runtime_error("cannot give the temporary folder to the postgres user");
        m_asPostgresUser = true;
    }

    QString output;
    if (run(QStringLiteral("initdb"),
            {QStringLiteral("-D"), m_dataDir, QStringLiteral("-U"), QStringLiteral("quv"),
             QStringLiteral("--auth=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
             QStringLiteral("--no-locale"), QStringLiteral("--no-sync")},
            &output) != 0)
        throw std::runtime_error("initdb failed:\n" + output.toStdString());

    // A port can be taken between probing and binding: try a few.
    for (int attempt = 0; attempt < 3 && !m_running; ++attempt) {
        m_port = freePort();
        const QString options =
            QStringLiteral("-p %1 -c listen_addresses=127.0.0.1 -c unix_socket_directories=%2 "
                           "-c fsync=off -c synchronous_commit=off -c full_page_writes=off")
                .arg(m_port)
                .arg(m_dir->path());
        if (run(QStringLiteral("pg_ctl"),
                {QStringLiteral("start"), QStringLiteral("-w"), QStringLiteral("-t"),
                 QStringLiteral("60"), QStringLiteral("-D"), m_dataDir, QStringLiteral("-l"),
                 m_dir->filePath(QStringLiteral("server.log")), QStringLiteral("-o"), options},
                &output) == 0)
            m_running = true;
    }
    if (!m_running) {
        QFile log(m_dir->filePath(QStringLiteral("server.log")));
        log.open(QIODevice::ReadOnly);
        throw std::runtime_error("pg_ctl start failed:\n" + output.toStdString() + "\n" +
                                 log.readAll().toStdString());
    }
    startWatchdog();
    db::openDatabase(connectionString(QStringLiteral("postgres")), AdminConnection);
}

void PgCluster::startWatchdog()
{
    // A test that crashes never reaches stop(): a detached shell waits for
    // this process to end and then stops the cluster and removes its folder,
    // so no server is left running. After a normal stop it finds nothing to do.
    QStringList stop = wrap(QStringLiteral("pg_ctl"),
                            {QStringLiteral("stop"), QStringLiteral("-m"),
                             QStringLiteral("immediate"), QStringLiteral("-D"), m_dataDir});
    for (QString &word : stop)
        word = QLatin1Char('\'') + word + QLatin1Char('\'');
    const QString script = QStringLiteral("while [ -d /proc/%1 ]; do sleep 1; done; "
                                          "[ -d '%2' ] && %3 >/dev/null 2>&1; rm -rf '%4'")
                               .arg(QCoreApplication::applicationPid())
                               .arg(m_dataDir, stop.join(QLatin1Char(' ')), m_dir->path());
    QProcess::startDetached(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script},
                            QStringLiteral("/"));
}

void PgCluster::stop()
{
    db::closeDatabase(AdminConnection);
    if (!m_running)
        return;
    QString output;
    run(QStringLiteral("pg_ctl"),
        {QStringLiteral("stop"), QStringLiteral("-w"), QStringLiteral("-m"), QStringLiteral("fast"),
         QStringLiteral("-D"), m_dataDir},
        &output);
    m_running = false;
}

void PgCluster::restart()
{
    db::closeDatabase(AdminConnection);
    QString output;
    if (run(QStringLiteral("pg_ctl"),
            {QStringLiteral("restart"), QStringLiteral("-w"), QStringLiteral("-m"),
             QStringLiteral("fast"), QStringLiteral("-D"), m_dataDir},
            &output) != 0)
        throw std::runtime_error("pg_ctl restart failed:\n" + output.toStdString());
    db::openDatabase(connectionString(QStringLiteral("postgres")), AdminConnection);
}

PgCluster::~PgCluster()
{
    stop();
}

QString PgCluster::connectionString(const QString &database) const
{
    return QStringLiteral("postgres://quv@127.0.0.1:%1/%2").arg(m_port).arg(database);
}

void PgCluster::adminExec(const QString &sql)
{
    db::execDirect(QSqlDatabase::database(AdminConnection), sql);
}

QString PgCluster::createDatabase(const QString &database, const QString &templateDatabase)
{
    try {
        adminExec(
            templateDatabase.isEmpty()
                ? QStringLiteral("CREATE DATABASE %1").arg(database)
                : QStringLiteral("CREATE DATABASE %1 TEMPLATE %2").arg(database, templateDatabase));
    } catch (const db::DbError &e) {
        throw std::runtime_error("cannot create database " + database.toStdString() + ": " +
                                 e.what());
    }
    return connectionString(database);
}

void PgCluster::dropDatabase(const QString &database)
{
    adminExec(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(database));
}

void PgCluster::disconnectAll(const QString &database)
{
    db::run(
        QSqlDatabase::database(AdminConnection),
        QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = ? "
                       "AND pid <> pg_backend_pid()"),
        {database});
}

QString PgCluster::uniqueName(const QString &prefix)
{
    return QStringLiteral("%1_%2").arg(prefix).arg(++m_counter);
}

} // namespace quv::test
