#include "server/logging.h"

#include "contracts/wire.h"

#include <QDateTime>

#include <cstdio>

namespace quv::server {

Q_LOGGING_CATEGORY(lcServer, "quv.server")
Q_LOGGING_CATEGORY(lcLogin, "quv.server.login")
Q_LOGGING_CATEGORY(lcChange, "quv.server.change")
Q_LOGGING_CATEGORY(lcRefused, "quv.server.refused")
Q_LOGGING_CATEGORY(lcTls, "quv.server.tls")

namespace {

void writeLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray line =
        (now() + QLatin1Char(' ') + qFormatLogMessage(type, context, message) + QLatin1Char('\n'))
            .toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

QString timestamp(const QDateTime &time)
{
    return time.toUTC().toString(QLatin1StringView(TimestampFormat));
}

QString now()
{
    return timestamp(QDateTime::currentDateTimeUtc());
}

void installLogHandler()
{
    // Qt's own %{time} is local time; the handler puts the UTC time first.
    qSetMessagePattern(QStringLiteral("%{type} %{category}: %{message}"));
    qInstallMessageHandler(writeLine);
}

QString codeName(int code)
{
    namespace c = wire::code;
    static const QHash<int, QString> names{
        {c::ParseError, QStringLiteral("ParseError")},
        {c::InvalidRequest, QStringLiteral("InvalidRequest")},
        {c::MethodNotFound, QStringLiteral("MethodNotFound")},
        {c::InvalidParams, QStringLiteral("InvalidParams")},
        {c::InternalError, QStringLiteral("InternalError")},
        {c::NotAuthenticated, QStringLiteral("NotAuthenticated")},
        {c::AuthenticationFailed, QStringLiteral("AuthenticationFailed")},
        {c::UnknownKey, QStringLiteral("UnknownKey")},
        {c::StatementRefused, QStringLiteral("StatementRefused")},
        {c::DatabaseError, QStringLiteral("DatabaseError")},
        {c::FrameTooLarge, QStringLiteral("FrameTooLarge")},
        {c::TooManyRequests, QStringLiteral("TooManyRequests")},
        {c::InvalidValue, QStringLiteral("InvalidValue")},
    };
    return QStringLiteral("%1 (%2)").arg(names.value(code, QStringLiteral("error"))).arg(code);
}

} // namespace quv::server
