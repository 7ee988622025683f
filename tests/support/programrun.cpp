#include "tests/support/programrun.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace quv::test {

QString programPath(const QString &name)
{
    return QStringLiteral(QUV_BIN_DIR "/") + name;
}

ProgramRun runProgram(const QString &program, const QStringList &arguments,
                      const QProcessEnvironment &environment, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program.contains(QLatin1Char('/')) ? program : programPath(program), arguments);
    ProgramRun run;
    if (!process.waitForStarted(10000)) {
        run.err = process.errorString();
        return run;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        run.err = QStringLiteral("did not end within %1 ms").arg(timeoutMs);
        return run;
    }
    if (process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

bool writePrivateFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    // Private before anything is in it.
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) &&
           file.write(content) == content.size() && file.flush();
}

} // namespace quv::test
