#pragma once

// The seam between the host application and everything it loads. The host
// implements IHostServices once and registers it with the framework
// (Halvern::setHost); the framework's Halvern functions and the screens reach
// the host only through it.

#include <QString>
#include <QStringList>

class QMdiArea;
class QWidget;

namespace quv {

class IHostServices
{
public:
    virtual ~IHostServices() = default;

    /// Application server address, read at every connect.
    virtual QString webUrl() const = 0;
    virtual int webPort() const = 0;
    /// The administrator's token presented when a connection logs in.
    virtual QString serverToken() const = 0;
    /// Whether the server connection must use TLS, and the CA file that
    /// verifies the server's certificate (empty: the system's).
    virtual bool serverTls() const { return false; }
    virtual QString serverCaFile() const { return {}; }
    /// How long a remote call may wait for the server, in seconds.
    virtual int serverTimeout() const { return DefaultServerTimeout; }
    static constexpr int DefaultServerTimeout = 30;

    /// Refresh the host's local cache of these server tables, in order.
    virtual void atualizaLocalCache(const QStringList &tables) = 0;

    /// The main window (parent of dialogs and of the busy indicator) and the
    /// multi-document area in which screens become child windows.
    virtual QWidget *mainForm() const = 0;
    virtual QMdiArea *mdiArea() const = 0;

    /// Shows an exception that left an event handler: the single place where
    /// errors reach the user. `details` is the technical detail behind the
    /// message (driver text, component, address), empty when there is none.
    virtual void showException(const QString &message, const QString &details) = 0;
};

} // namespace quv
