#include "framework/exceptions.h"

Exception::Exception(const QString &message) : std::runtime_error(message.toStdString()) {}

QString Exception::Message() const
{
    return QString::fromUtf8(what());
}
