#include "framework/exceptions.h"

Exception::Exception(const QString &message, const QString &details)
    : std::runtime_error(message.toStdString()), m_details(details)
{
}

QString Exception::Message() const
{
    return QString::fromUtf8(what());
}
