#include "contracts/connectionstring.h"

#include <QRegularExpression>

namespace quv {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Qt's own decoders turn any '%' and the two characters after it into a
// byte, escape or not; a password such as "50%off" must survive.
QString decoded(QStringView text)
{
    const QByteArray bytes = text.toUtf8();
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '%' && i + 2 < bytes.size()) {
            const int high = hexValue(bytes[i + 1]);
            const int low = hexValue(bytes[i + 2]);
            if (high >= 0 && low >= 0) {
                out.append(char(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.append(bytes[i]);
    }
    return QString::fromUtf8(out);
}

bool hasScheme(const QString &text, QLatin1StringView scheme)
{
    return text.startsWith(scheme, Qt::CaseInsensitive);
}

[[noreturn]] void refuse(const QString &what)
{
    throw ConnectionStringError(
        QStringLiteral("%1; expected %2").arg(what, QLatin1StringView(ConnectionStringForms)));
}

ConnectionString parsePostgres(const QString &rest)
{
    ConnectionString info;
    info.driver = ConnectionString::Driver::Postgres;
    const qsizetype at = rest.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QStringView userInfo = QStringView(rest).left(at);
        const qsizetype colon = userInfo.indexOf(QLatin1Char(':'));
        info.user = decoded(colon < 0 ? userInfo : userInfo.left(colon));
        if (colon >= 0)
            info.password = decoded(userInfo.mid(colon + 1));
    }
    QString location = rest.mid(at + 1);
    if (location.contains(QLatin1Char('#')))
        refuse(QStringLiteral("a PostgreSQL connection string cannot end in a fragment ('#')"));
    const qsizetype question = location.indexOf(QLatin1Char('?'));
    if (question >= 0) {
        const QStringList pairs =
            location.mid(question + 1).split(QLatin1Char('&'), Qt::SkipEmptyParts);
        for (const QString &pair : pairs) {
            const qsizetype equals = pair.indexOf(QLatin1Char('='));
            if (equals <= 0)
                refuse(QStringLiteral("a PostgreSQL connection option must be written name=value"));
            info.options.append({decoded(QStringView(pair).left(equals)),
                                 decoded(QStringView(pair).mid(equals + 1))});
        }
        location.truncate(question);
    }

    const qsizetype slash = location.indexOf(QLatin1Char('/'));
    const QString database = slash < 0 ? QString() : location.mid(slash + 1);
    if (database.isEmpty() || database.contains(QLatin1Char('/')))
        refuse(QStringLiteral("a PostgreSQL connection string must name one database after the "
                              "host"));
    info.database = decoded(database);

    QString authority = location.left(slash);
    QString portText;
    if (authority.startsWith(QLatin1Char('['))) {
        const qsizetype close = authority.indexOf(QLatin1Char(']'));
        if (close < 0)
            refuse(QStringLiteral("the IPv6 address of the PostgreSQL host lacks its ']'"));
        const QString after = authority.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':')))
            refuse(QStringLiteral("only a port may follow the PostgreSQL host"));
        portText = after.mid(1);
        info.host = authority.mid(1, close - 1);
    } else {
        const qsizetype colon = authority.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            portText = authority.mid(colon + 1);
            authority.truncate(colon);
        }
        info.host = authority;
    }
    if (info.host.isEmpty())
        refuse(QStringLiteral("a PostgreSQL connection string needs a host"));
    static const QRegularExpression hostName(QStringLiteral(R"(\A[A-Za-z0-9._:-]+\z)"));
    if (!hostName.match(info.host).hasMatch())
        refuse(QStringLiteral("the PostgreSQL host holds characters no host name or address "
                              "has (is a '@' missing after the password?)"));
    if (!portText.isEmpty()) {
        bool ok = false;
        info.port = portText.toInt(&ok);
        if (!ok || !portText.front().isDigit() || info.port < 1 || info.port > 65535)
            refuse(QStringLiteral("the PostgreSQL port is not a number from 1 to 65535"));
    }
    return info;
}

} // namespace

QString ConnectionString::display() const
{
    if (driver == Driver::Sqlite)
        return QStringLiteral("sqlite:") + path;
    QString text = QStringLiteral("postgres://");
    if (!user.isEmpty())
        text += user + QLatin1Char('@');
    text += host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return text + QLatin1Char(':') + QString::number(port) + QLatin1Char('/') + database;
}

ConnectionString parseConnectionString(const QString &connection)
{
    const QString text = connection.trimmed();
    if (hasScheme(text, QLatin1StringView("sqlite:"))) {
        ConnectionString info;
        info.path = text.mid(7);
        // sqlite:///abs/file.db is the URL spelling of sqlite:/abs/file.db.
        if (info.path.startsWith(QLatin1StringView("//")))
            info.path.remove(0, 2);
        if (info.path.isEmpty())
            refuse(QStringLiteral("an SQLite connection string needs a file path"));
        return info;
    }
    for (const QLatin1StringView scheme :
         {QLatin1StringView("postgres://"), QLatin1StringView("postgresql://")})
        if (hasScheme(text, scheme))
            return parsePostgres(text.mid(scheme.size()));
    refuse(QStringLiteral("unknown database connection string"));
}

} // namespace quv
