#include "host.h"

#include "exceptiondisplay.h"
#include "localcache.h"
#include "mainwindow.h"
#include "packageloader.h"

#include "framework/data/dbgeral.h"

#include <QSqlDatabase>

namespace quv::host {

Host::Host(const HostConfig &config, ExceptionDisplay &display, QObject *parent)
    : QObject(parent), m_config(config), m_display(display),
      m_mainWindow(std::make_unique<MainWindow>()),
      m_cache(new LocalCache(QStringLiteral("adcGeral"), this)),
      m_services(m_config, m_mainWindow.get(), m_cache, &m_display)
{
    m_display.setParentWidget(m_mainWindow.get());
    connect(m_cache, &LocalCache::statusMessage, m_mainWindow.get(), &MainWindow::showStatus);
    connect(m_mainWindow.get(), &MainWindow::screenRequested, this,
            [this](const QString &code) { openScreen(code); });
    connect(m_mainWindow.get(), &MainWindow::screenEntryRequested, this,
            [this](const QString &code, const QString &entry) { openScreenEntry(code, entry); });
    m_registration = std::make_unique<HostRegistration>(&m_services);
}

Host::~Host()
{
    shutdown();
}

void Host::report(const QString &message)
{
    m_display.show(message);
}

bool Host::openDatabase()
{
    if (m_config.database.isEmpty()) {
        m_mainWindow->showStatus(QStringLiteral("Banco de dados compartilhado não configurado."));
        return true;
    }
    auto database = std::make_unique<TdtmDBGeral>();
    try {
        database->Open(m_config.database);
    } catch (...) {
        // The module's message already names the shared database and what
        // to do; the driver's words are in its details.
        m_display.show(std::current_exception());
        return false;
    }
    m_database = std::move(database);
    dtmDBGeral = m_database.get();
    // The cache reads through the very connection the screens use.
    m_cache->setConnectionName(m_database->adcGeral().connectionName());
    return true;
}

bool Host::databaseOpen() const
{
    return m_database && m_database->Connected();
}

PackageLoader *Host::loader(const QString &screenCode)
{
    const QString package = packageForScreen(screenCode);
    if (package.isEmpty())
        return nullptr;
    PackageLoader *&loader = m_loaders[package];
    if (!loader)
        loader = new PackageLoader(
            package, m_config.packageDir,
            [this](const QString &message, const QString &details) {
                m_display.show(message, details);
            },
            this);
    return loader;
}

bool Host::openScreen(const QString &screenCode)
{
    PackageLoader *l = loader(screenCode);
    if (!l) {
        report(QStringLiteral("Tela desconhecida: %1").arg(screenCode));
        return false;
    }
    if (m_shutDown)
        return false;
    return l->open();
}

bool Host::openScreenEntry(const QString &screenCode, const QString &entry)
{
    PackageLoader *l = loader(screenCode);
    if (!l) {
        report(QStringLiteral("Tela desconhecida: %1").arg(screenCode));
        return false;
    }
    if (m_shutDown)
        return false;
    return l->openEntry(entry);
}

void Host::shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    // Every screen closes before any package goes: a screen of one package
    // may use a unit of another.
    PackageLoader::closeWindows(m_mainWindow->mdiArea());
    for (PackageLoader *l : std::as_const(m_loaders))
        l->shutdown(nullptr);
    if (dtmDBGeral == m_database.get())
        dtmDBGeral = nullptr;
    m_database.reset();
    m_registration.reset();
}

} // namespace quv::host
