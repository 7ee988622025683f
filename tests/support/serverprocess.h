#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace quv::test {

/// The real bin/quv-server as a child process, on a free port, stopped with
/// SIGTERM when the object goes away.
class ServerProcess
{
public:
    static inline const QString Administrator = QStringLiteral("tester");
    static inline const QString Token = QStringLiteral("test-token-7f3a9c21e5");

    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    static QString binary();

    /// For the next start: caps the server's address space (bytes; 0: no
    /// cap), so a server that cannot bound its memory fails instead of
    /// taking the machine with it.
    void setAddressSpaceLimit(qint64 bytes) { m_addressSpaceLimit = bytes; }
    /// For the next start: the server's stderr goes to this file instead of
    /// a pipe, so a server that logs a lot never waits for the test to read.
    void setStandardErrorFile(const QString &path) { m_stderrFile = path; }

    /// Starts the server on `database` with the test token and `extra`
    /// arguments, and waits for its "listening on" line. False when it did
    /// not come up; errorString() then holds what it printed.
    bool start(const QString &database, const QStringList &extra = {});
    /// Starts it with exactly these arguments (no --db, --port or --token
    /// added) and waits until it listens or exits.
    bool startRaw(const QStringList &arguments);
    /// The environment of the next start (QT_LOGGING_RULES, ...).
    void setEnvironment(const QProcessEnvironment &environment)
    {
        m_process.setProcessEnvironment(environment);
    }

    quint16 port() const { return m_port; }
    QString host() const { return m_host; }
    QString errorString() const { return m_error; }
    /// Everything written to stderr so far.
    QString standardError();

    /// SIGTERM and wait; returns the exit code (-1 when it crashed or hung).
    int stop();
    /// Waits for the process to end by itself; returns its exit code or -1.
    int waitForExit(int milliseconds = 10000);
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    qint64 processId() const { return m_process.processId(); }

private:
    QProcess m_process;
    QString m_host;
    quint16 m_port = 0;
    QString m_error;
    QByteArray m_stderr;
    qint64 m_addressSpaceLimit = 0;
    QString m_stderrFile;
};

} // namespace quv::test
