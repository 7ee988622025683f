#pragma once

#include "framework/netconnection.h"

#include <QVariant>

/// A remote method that failed on the server; the message is the server's
/// and is shown to the user as it is.
class EServerError : public Exception
{
public:
    EServerError(int code, const QString &message) : Exception(message), m_code(code) {}
    int Code() const { return m_code; }

private:
    int m_code;
};

/// Checks a remote method's status. A failed status, or a value that is not
/// a status at all, raises EServerError when `raise` is true (and gives an
/// empty value when it is false); a successful one gives its payload. The
/// last argument is accepted for the callers' sake and has no effect.
QVariant CheckResultServ(const QVariant &status, bool raise, int context);
