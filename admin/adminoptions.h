#pragma once

// quv-admin's command line: the command, its options, and how to reach the
// server (the host's options and configuration file, with the token from a
// file or the environment so that it never shows in a process list).

#include "admin/adminclient.h"
#include "admin/commands.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class QTextStream;

namespace quv::admin {

struct AdminOptions
{
    enum class Command
    {
        Export,
        Import
    };
    Command command = Command::Export;
    ServerAddress address;
    QString token;
    ExportOptions exportOptions;
    ImportOptions importOptions;
};

struct ParsedArguments
{
    enum class Action
    {
        Run,
        Help,
        Version,
        UsageError
    };
    Action action = Action::Run;
    AdminOptions options;
    /// The help text, or what is wrong with the arguments.
    QString text;
};

/// `arguments[0]` is the program. Never throws.
ParsedArguments parseArguments(const QStringList &arguments,
                               const QProcessEnvironment &environment);

/// The whole program; returns the exit status: 0 done, 1 failed, 2 usage.
int run(const QStringList &arguments, QTextStream &out, QTextStream &err);

} // namespace quv::admin
