#include "tests/support/serverprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>

#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace quv::test {

ServerProcess::~ServerProcess()
{
    if (isRunning())
        stop();
}

QString ServerProcess::binary()
{
    return QStringLiteral(QUV_BIN_DIR "/quv-server");
}

bool ServerProcess::start(const QString &database, const QStringList &extra)
{
    return startRaw(QStringList{QStringLiteral("--db"), database, QStringLiteral("--port"),
                                QStringLiteral("0"), QStringLiteral("--token"),
                                Administrator + QLatin1Char('=') + Token} +
                    extra);
}

bool ServerProcess::startRaw(const QStringList &arguments)
{
    m_error.clear();
    m_stderr.clear();
    m_port = 0;
    const qint64 limit = m_addressSpaceLimit;
    // A test that crashes takes its server with it.
    m_process.setChildProcessModifier([limit] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (limit > 0) {
            const rlimit cap{rlim_t(limit), rlim_t(limit)};
            ::setrlimit(RLIMIT_AS, &cap);
        }
    });
    if (!m_stderrFile.isEmpty())
        m_process.setStandardErrorFile(m_stderrFile);
    m_process.start(binary(), arguments);
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(binary(), m_process.errorString());
        return false;
    }
    static const QRegularExpression listening(QStringLiteral(R"(^listening on (.+):(\d+)$)"));
    QDeadlineTimer deadline(30000);
    QByteArray pending;
    while (!deadline.hasExpired()) {
        while (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            const QRegularExpressionMatch match = listening.match(line);
            if (match.hasMatch()) {
                m_host = match.captured(1);
                m_port = quint16(match.captured(2).toUInt());
                return true;
            }
        }
        if (m_process.state() == QProcess::NotRunning)
            break;
        m_process.waitForReadyRead(100);
    }
    m_process.waitForFinished(1000);
    m_error =
        QStringLiteral("the server did not report its port; stderr:\n%1").arg(standardError());
    return false;
}

QString ServerProcess::standardError()
{
    if (!m_stderrFile.isEmpty()) {
        QFile file(m_stderrFile);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    m_stderr += m_process.readAllStandardError();
    return QString::fromUtf8(m_stderr);
}

int ServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    return waitForExit();
}

int ServerProcess::waitForExit(int milliseconds)
{
    if (!m_process.waitForFinished(milliseconds) && m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
        return -1;
    }
    standardError();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

} // namespace quv::test
