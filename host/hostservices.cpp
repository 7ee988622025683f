#include "hostservices.h"

#include "exceptiondisplay.h"
#include "localcache.h"
#include "mainwindow.h"

#include "framework/app/halvern.h"

namespace quv::host {

HostServices::HostServices(const HostConfig &config, MainWindow *mainWindow, LocalCache *cache,
                           ExceptionDisplay *display)
    : m_config(config), m_mainWindow(mainWindow), m_cache(cache), m_display(display)
{
}

QString HostServices::webUrl() const
{
    return m_config.serverHost;
}

int HostServices::webPort() const
{
    return m_config.serverPort;
}

int HostServices::serverTimeout() const
{
    return m_config.serverTimeout;
}

QString HostServices::serverToken() const
{
    return m_config.token;
}

bool HostServices::serverTls() const
{
    return m_config.tls;
}

QString HostServices::serverCaFile() const
{
    return m_config.caFile;
}

void HostServices::atualizaLocalCache(const QStringList &tables)
{
    // A refusal or a failed read raises: the screen step that asked fails and
    // its exception reaches the user like any other.
    m_cache->refresh(tables);
}

QWidget *HostServices::mainForm() const
{
    return m_mainWindow;
}

QMdiArea *HostServices::mdiArea() const
{
    return m_mainWindow ? m_mainWindow->mdiArea() : nullptr;
}

void HostServices::showException(const QString &message, const QString &details)
{
    m_display->show(message, details);
}

HostRegistration::HostRegistration(quv::IHostServices *services) : m_services(services)
{
    Halvern::setHost(services);
}

HostRegistration::~HostRegistration()
{
    if (Halvern::host() == m_services)
        Halvern::setHost(nullptr);
}

} // namespace quv::host
