#include "contracts/cli.h"

#include <QTextStream>

namespace quv::cli {

namespace {

QString longName(const QCommandLineOption &option)
{
    QString name;
    for (const QString &candidate : option.names())
        if (candidate.size() > name.size())
            name = candidate;
    return name;
}

} // namespace

QString projectVersion()
{
    return QStringLiteral(QUV_PROJECT_VERSION);
}

int usageError(const QString &program, const QString &message)
{
    // One line, whatever the message holds, so that scripts can show it.
    QString line = message.trimmed();
    line.replace(QLatin1Char('\n'), QStringLiteral("; "));
    if (line.endsWith(QLatin1Char('.')))
        line.chop(1);
    QTextStream(stderr) << program << ": " << line << " (see --help)" << Qt::endl;
    return ExitUsage;
}

int failure(const QString &program, const QString &message)
{
    QTextStream(stderr) << program << ": " << message.trimmed() << Qt::endl;
    return ExitFailure;
}

CommandLine::CommandLine(QString program, const QString &description)
    : m_program(std::move(program)), m_help({QStringLiteral("h"), QStringLiteral("help")},
                                            QStringLiteral("Show this help and exit.")),
      m_version(QStringLiteral("version"), QStringLiteral("Show the version and exit."))
{
    m_parser.setApplicationDescription(description);
    m_parser.addOption(m_help);
    m_parser.addOption(m_version);
}

void CommandLine::addOption(const QCommandLineOption &option)
{
    m_parser.addOption(option);
}

void CommandLine::addOptions(const QList<QCommandLineOption> &options)
{
    m_parser.addOptions(options);
}

void CommandLine::addPositional(const QString &name, const QString &description,
                                const QString &syntax)
{
    m_parser.addPositionalArgument(name, description, syntax);
    m_hasPositional = true;
}

void CommandLine::addCommand(const QString &name, const QString &description)
{
    m_commands.append({name, description});
}

CommandLine::Outcome CommandLine::read(const QStringList &arguments)
{
    using Action = Outcome::Action;
    if (!m_parser.parse(arguments))
        return {Action::Usage, m_parser.errorText()};
    if (m_parser.isSet(m_help))
        return {Action::Help, helpText()};
    if (m_parser.isSet(m_version))
        return {Action::Version, versionText()};
    // Never quoted: a stray argument is often a password or a token that
    // lost its option.
    if (!m_hasPositional && !m_parser.positionalArguments().isEmpty())
        return {Action::Usage,
                QStringLiteral("unexpected argument: %1 takes only options").arg(m_program)};
    return {};
}

std::optional<int> CommandLine::parse(const QStringList &arguments)
{
    const Outcome outcome = read(arguments);
    switch (outcome.action) {
    case Outcome::Action::Run:
        return std::nullopt;
    case Outcome::Action::Help:
    case Outcome::Action::Version:
        QTextStream(stdout) << outcome.text;
        return ExitSuccess;
    case Outcome::Action::Usage:
        return usageError(outcome.text);
    }
    return ExitUsage;
}

qint64 CommandLine::number(const QCommandLineOption &option, qint64 minimum, qint64 maximum) const
{
    const QString text = m_parser.value(option);
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok);
    if (!ok || value < minimum || value > maximum)
        throw UsageError(QStringLiteral("--%1 '%2' is not a whole number from %3 to %4")
                             .arg(longName(option), text)
                             .arg(minimum)
                             .arg(maximum));
    return value;
}

QString CommandLine::choice(const QCommandLineOption &option, const QStringList &choices) const
{
    const QString text = m_parser.value(option);
    if (!choices.contains(text))
        throw UsageError(QStringLiteral("--%1 '%2' is not one of %3")
                             .arg(longName(option), text, choices.join(QStringLiteral(", "))));
    return text;
}

void CommandLine::requireSingle(const QList<const QCommandLineOption *> &options) const
{
    for (const QCommandLineOption *option : options)
        if (m_parser.values(*option).size() > 1)
            throw UsageError(
                QStringLiteral("option --%1 given more than once").arg(longName(*option)));
}

QString CommandLine::helpText() const
{
    // Qt starts the usage with argv[0], often a full path; the convention
    // names the program.
    QString text = m_parser.helpText();
    const qsizetype firstLineEnd = text.indexOf(QLatin1Char('\n'));
    QString usage = QStringLiteral("Usage: %1 [options]").arg(m_program);
    const qsizetype positional = text.indexOf(QStringLiteral("[options]"));
    if (positional >= 0 && positional < firstLineEnd)
        usage += text.mid(positional + 9, firstLineEnd - positional - 9);
    text.replace(0, firstLineEnd, usage);
    if (!m_commands.isEmpty()) {
        qsizetype width = 0;
        for (const auto &command : m_commands)
            width = qMax(width, command.first.size());
        text += QStringLiteral("\nCommands:\n");
        for (const auto &[name, description] : m_commands)
            text += QStringLiteral("  %1  %2\n").arg(name.leftJustified(width), description);
    }
    if (!m_epilogue.isEmpty())
        text += QLatin1Char('\n') + m_epilogue;
    if (!text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    return text;
}

QString CommandLine::versionText() const
{
    return QStringLiteral("%1 %2\n").arg(m_program, projectVersion());
}

std::optional<int> parsePort(const QString &text)
{
    bool ok = false;
    const int port = text.trimmed().toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

std::optional<bool> parseBool(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == u"true" || t == u"1" || t == u"yes" || t == u"on")
        return true;
    if (t == u"false" || t == u"0" || t == u"no" || t == u"off")
        return false;
    return std::nullopt;
}

} // namespace quv::cli
