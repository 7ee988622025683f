#pragma once

// What the framework and the screens may ask of this host.

#include "contracts/hostservices.h"
#include "hostconfig.h"

#include <QPointer>

namespace quv::host {

class ExceptionDisplay;
class LocalCache;
class MainWindow;

class HostServices : public quv::IHostServices
{
public:
    /// The configuration is read at every call (not copied), so a changed
    /// value applies to the next connect. None of the objects is owned.
    HostServices(const HostConfig &config, MainWindow *mainWindow, LocalCache *cache,
                 ExceptionDisplay *display);

    QString webUrl() const override;
    int webPort() const override;
    int serverTimeout() const override;
    QString serverToken() const override;
    bool serverTls() const override;
    QString serverCaFile() const override;
    void atualizaLocalCache(const QStringList &tables) override;
    QWidget *mainForm() const override;
    QMdiArea *mdiArea() const override;
    void showException(const QString &message, const QString &details) override;

private:
    const HostConfig &m_config;
    QPointer<MainWindow> m_mainWindow;
    LocalCache *m_cache;
    ExceptionDisplay *m_display;
};

/// Registers the services with the framework for its lifetime.
class HostRegistration
{
public:
    explicit HostRegistration(quv::IHostServices *services);
    ~HostRegistration();
    HostRegistration(const HostRegistration &) = delete;
    HostRegistration &operator=(const HostRegistration &) = delete;

private:
    quv::IHostServices *m_services;
};

} // namespace quv::host
