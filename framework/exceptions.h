#pragma once

// The framework's exceptions, shared by its data, widget and application
// parts and by every screen. The message is the text the user sees.

#include <QString>

#include <stdexcept>

/// Base of the framework's exceptions; the message is what the user sees.
class Exception : public std::runtime_error
{
public:
    explicit Exception(const QString &message);
    QString Message() const;
};

/// A dataset, query or shared-database operation failed.
class EDatabaseError : public Exception
{
public:
    using Exception::Exception;
};

/// The server could not be reached, refused the login, or the connection
/// failed during a call.
class EConnectionError : public Exception
{
public:
    using Exception::Exception;
};

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
