#pragma once

// The framework's exceptions, shared by its data, widget and application
// parts and by every screen. The message is the text the user sees: what
// failed and what to do, in the user's words. The details carry what only a
// technician needs (driver text, component name, address); the host shows
// them behind the message box's details and writes them to stderr.

#include <QString>

#include <stdexcept>

/// Base of the framework's exceptions; the message is what the user sees.
class Exception : public std::runtime_error
{
public:
    explicit Exception(const QString &message, const QString &details = {});
    QString Message() const;
    /// The technical detail behind the message; empty when there is none.
    QString Details() const { return m_details; }

private:
    QString m_details;
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
    EServerError(int code, const QString &message, const QString &details = {})
        : Exception(message, details), m_code(code)
    {
    }
    int Code() const { return m_code; }

private:
    int m_code;
};
