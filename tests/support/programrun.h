#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace quv::test {

/// How a program ended and what it printed.
struct ProgramRun
{
    int status = -1; // the exit status; -1 when it crashed or did not end in time
    QString out;
    QString err;
};

/// A program of the build's bin/ folder.
QString programPath(const QString &name);

/// Runs `program` (a name in bin/ or a path) to its end.
ProgramRun
runProgram(const QString &program, const QStringList &arguments,
           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
           int timeoutMs = 120000);

/// Writes a file that only its owner may read or change, as the server
/// wants its tokens file. False when it cannot.
bool writePrivateFile(const QString &path, const QByteArray &content);

} // namespace quv::test
