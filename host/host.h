#pragma once

// The host's parts wired together: main window, shared database, local
// cache, the services registered with the framework, and one loader per
// screen package. Owned by runHost for a normal run and by tests.

#include "hostconfig.h"
#include "hostservices.h"

#include <QHash>
#include <QObject>

#include <memory>

class TdtmDBGeral;

namespace quv::host {

class ExceptionDisplay;
class LocalCache;
class MainWindow;
class PackageLoader;

class Host : public QObject
{
    Q_OBJECT
public:
    /// Registers the services with the framework; `display` must outlive the
    /// host.
    Host(const HostConfig &config, ExceptionDisplay &display, QObject *parent = nullptr);
    /// Shuts down (windows, packages, database) and unregisters.
    ~Host() override;

    const HostConfig &config() const { return m_config; }
    HostConfig &config() { return m_config; }
    MainWindow *mainWindow() const { return m_mainWindow.get(); }
    LocalCache *cache() const { return m_cache; }
    HostServices *services() { return &m_services; }

    /// Opens the configured shared database and installs it as the
    /// framework's dtmDBGeral. A failure is shown and returns false; screens
    /// can still open. Nothing configured: true, with a status line.
    bool openDatabase();
    bool databaseOpen() const;

    /// Opens a screen by code through its package. Failures are shown.
    bool openScreen(const QString &screenCode);
    /// Calls another entry of the screen's package (e.g. IniProcHistorico).
    /// Failures are shown.
    bool openScreenEntry(const QString &screenCode, const QString &entry);
    PackageLoader *loader(const QString &screenCode);

    /// Closes every screen, finalizes and unloads the packages, closes the
    /// database. Idempotent.
    void shutdown();

private:
    void report(const QString &message);

    HostConfig m_config;
    ExceptionDisplay &m_display;
    std::unique_ptr<MainWindow> m_mainWindow;
    LocalCache *m_cache;
    HostServices m_services;
    std::unique_ptr<HostRegistration> m_registration;
    QHash<QString, PackageLoader *> m_loaders;
    std::unique_ptr<TdtmDBGeral> m_database;
    bool m_shutDown = false;
};

} // namespace quv::host
