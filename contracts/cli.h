#pragma once

// The command-line convention every program of the project follows:
//   --help     the full usage on stdout, exit status 0
//   --version  the program's name and the project's version, exit status 0
//   a usage error (an unknown option, a missing or bad value, a setting or a
//   file it names that cannot be used): one line on stderr that names the
//   problem and says "see --help", exit status 2
//   a failure while the program does its work: a message on stderr, exit 1
//
// A program declares its options on a CommandLine and lets it read the
// arguments; checks of its own throw UsageError. `run` puts the two
// together for programs without more ceremony:
//
//   quv::cli::CommandLine command(QStringLiteral("quv-tool"), QStringLiteral("Does things."));
//   const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("How many."),
//                                  QStringLiteral("n"), QStringLiteral("1"));
//   command.addOption(count);
//   return command.run(app.arguments(), [&] {
//       const qint64 n = command.number(count, 1, 100); // UsageError when not
//       ...                                             // any std::exception: exit 1
//       return 0;
//   });

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <exception>
#include <optional>
#include <stdexcept>

namespace quv::cli {

inline constexpr int ExitSuccess = 0;
inline constexpr int ExitFailure = 1;
inline constexpr int ExitUsage = 2;

/// The project's version, as CMake's project(VERSION) says.
QString projectVersion();

/// A command line or configuration that cannot be used; the message names
/// the problem (and never holds a secret).
class UsageError : public std::runtime_error
{
public:
    explicit UsageError(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

/// Prints "program: message (see --help)" as one line on stderr and returns
/// ExitUsage.
int usageError(const QString &program, const QString &message);
/// Prints "program: message" on stderr and returns ExitFailure.
int failure(const QString &program, const QString &message);

class CommandLine
{
public:
    /// What the program is called in its usage and messages, e.g.
    /// "quv-server audit"; never a path.
    CommandLine(QString program, const QString &description);

    void addOption(const QCommandLineOption &option);
    void addOptions(const QList<QCommandLineOption> &options);
    void addPositional(const QString &name, const QString &description, const QString &syntax = {});
    /// A subcommand, listed in --help ("audit" of quv-server).
    void addCommand(const QString &name, const QString &description);
    /// Text after the options in --help: configuration keys, examples.
    void setEpilogue(const QString &text) { m_epilogue = text; }
    /// For parser settings beyond the options (single-dash long options).
    QCommandLineParser &parser() { return m_parser; }

    struct Outcome
    {
        enum class Action
        {
            Run,     // go on with the parsed options
            Help,    // text: the usage
            Version, // text: the version line
            Usage    // text: the problem
        };
        Action action = Action::Run;
        QString text;
    };
    /// Reads `arguments` (the first is the program) without printing:
    /// unknown options, missing values and stray positional arguments
    /// (when none are declared) are usage errors.
    Outcome read(const QStringList &arguments);
    /// read() and act on it: prints help or version on stdout, a usage
    /// error on stderr. Returns the exit status when the program is done,
    /// nothing when it should run.
    std::optional<int> parse(const QStringList &arguments);
    /// parse(), then `body` (returning the exit status): a UsageError it
    /// throws is a usage error, any other exception a failure.
    template <typename Body> int run(const QStringList &arguments, Body &&body)
    {
        if (const std::optional<int> done = parse(arguments))
            return *done;
        try {
            return body();
        } catch (const UsageError &e) {
            return usageError(e.message());
        } catch (const std::exception &e) {
            return failure(QString::fromUtf8(e.what()));
        }
    }

    bool isSet(const QCommandLineOption &option) const { return m_parser.isSet(option); }
    QString value(const QCommandLineOption &option) const { return m_parser.value(option); }
    QStringList values(const QCommandLineOption &option) const { return m_parser.values(option); }
    QStringList positionalArguments() const { return m_parser.positionalArguments(); }

    /// The option's value (its default when not given) as a whole number
    /// from `minimum` to `maximum`; raises UsageError naming the option.
    qint64 number(const QCommandLineOption &option, qint64 minimum, qint64 maximum) const;
    /// The option's value (its default when not given), one of `choices`;
    /// raises UsageError naming the option and the choices.
    QString choice(const QCommandLineOption &option, const QStringList &choices) const;
    /// Raises UsageError when a value option was given more than once.
    void requireSingle(const QList<const QCommandLineOption *> &options) const;

    QString helpText() const;
    QString versionText() const;
    const QString &program() const { return m_program; }

    int usageError(const QString &message) const { return cli::usageError(m_program, message); }
    int failure(const QString &message) const { return cli::failure(m_program, message); }

private:
    QString m_program;
    QCommandLineParser m_parser;
    QCommandLineOption m_help;
    QCommandLineOption m_version;
    QList<QPair<QString, QString>> m_commands;
    QString m_epilogue;
    bool m_hasPositional = false;
};

/// A TCP port from 1 to 65535, as a setting or option spells it; nothing
/// otherwise.
std::optional<int> parsePort(const QString &text);
/// true/1/yes/on or false/0/no/off, any case; nothing otherwise.
std::optional<bool> parseBool(const QString &text);

} // namespace quv::cli
