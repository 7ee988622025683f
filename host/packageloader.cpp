#include "packageloader.h"

#include "exceptiondisplay.h"

#include "framework/app/application.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QMdiArea>
#include <QMdiSubWindow>

namespace quv::host {

namespace {

QString libraryFileName(const QString &baseName)
{
#if defined(Q_OS_WIN)
    return baseName + u".dll";
#elif defined(Q_OS_MACOS)
    return u"lib" + baseName + u".dylib";
#else
    return u"lib" + baseName + u".so";
#endif
}

} // namespace

PackageLoader::PackageLoader(const QString &baseName, const QString &folder, Report report,
                             QObject *parent)
    : QObject(parent), m_baseName(baseName), m_report(std::move(report))
{
    const QString dir = folder.isEmpty() ? QCoreApplication::applicationDirPath() : folder;
    m_filePath = QDir(dir).absoluteFilePath(libraryFileName(baseName));
}

PackageLoader::~PackageLoader()
{
    // Whoever owns the loader is expected to call shutdown() with the MDI area
    // first; this only makes sure Finalize is not skipped.
    if (m_initialized)
        shutdown(nullptr);
}

bool PackageLoader::fail(const QString &message, const QString &details)
{
    m_lastError = message;
    if (m_report)
        m_report(message, details);
    return false;
}

QString PackageLoader::broken(const QString &what) const
{
    return QStringLiteral("Não foi possível abrir a tela: o módulo %1 %2 Reinstale o QUV ou "
                          "verifique a pasta de pacotes na configuração do host.")
        .arg(m_baseName, what);
}

void PackageLoader::unloadLibrary()
{
    m_initialize = nullptr;
    m_finalize = nullptr;
    m_iniProc = nullptr;
    m_info = nullptr;
    if (m_library.isLoaded())
        m_library.unload();
}

bool PackageLoader::load()
{
    if (m_initialized)
        return true;

    const QFileInfo file(m_filePath);
    if (!file.exists())
        return fail(broken(QStringLiteral("não foi encontrado.")),
                    QStringLiteral("%1: o arquivo não existe").arg(m_filePath));

    m_library.setFileName(m_filePath);
    // Resolve every symbol now: a package built against another framework
    // must fail here with a message, not later in the middle of a screen.
    m_library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!m_library.load())
        return fail(broken(QStringLiteral("não pôde ser carregado.")),
                    QStringLiteral("%1: %2").arg(m_filePath, m_library.errorString()));

    const auto resolve = [this](const char *name) -> QFunctionPointer {
        QFunctionPointer f = m_library.resolve(name);
        if (!f)
            fail(broken(QStringLiteral("está incompleto.")),
                 QStringLiteral("%1 não exporta a função %2: %3")
                     .arg(m_filePath, QLatin1StringView(name), m_library.errorString()));
        return f;
    };
    const auto initialize = reinterpret_cast<QuvInitializeProc>(resolve("Initialize"));
    const auto finalize =
        initialize ? reinterpret_cast<QuvFinalizeProc>(resolve("Finalize")) : nullptr;
    const auto getInfo =
        finalize ? reinterpret_cast<QuvGetPackageInfoTableProc>(resolve("GetPackageInfoTable"))
                 : nullptr;
    const auto iniProc = getInfo ? reinterpret_cast<QuvIniProc>(resolve("IniProc")) : nullptr;
    if (!iniProc) {
        unloadLibrary();
        return false;
    }

    const QuvPackageInfoTable *info = nullptr;
    try {
        info = getInfo();
    } catch (...) {
        const QString reason = describeCurrentException();
        unloadLibrary();
        return fail(broken(QStringLiteral("falhou ao iniciar.")),
                    QStringLiteral("%1: GetPackageInfoTable falhou: %2").arg(m_filePath, reason));
    }
    if (!info) {
        unloadLibrary();
        return fail(
            broken(QStringLiteral("está incompleto.")),
            QStringLiteral("%1: GetPackageInfoTable sem tabela de unidades").arg(m_filePath));
    }
    if (info->version != QuvPackageAbiVersion) {
        const int version = info->version;
        unloadLibrary();
        return fail(broken(QStringLiteral("é de outra versão do QUV.")),
                    QStringLiteral("%1 tem a versão %2; esta aplicação espera a versão %3.")
                        .arg(m_filePath)
                        .arg(version)
                        .arg(QuvPackageAbiVersion));
    }
    if (info->unitCount < 0 || (info->unitCount > 0 && !info->units)) {
        unloadLibrary();
        return fail(broken(QStringLiteral("está danificado.")),
                    QStringLiteral("%1: tabela de unidades inválida").arg(m_filePath));
    }

    try {
        initialize();
    } catch (...) {
        const QString reason = describeCurrentException();
        // Initialize and Finalize are counted: undoing the call keeps the
        // units' state balanced before the file goes away.
        try {
            finalize();
        } catch (...) {
        }
        unloadLibrary();
        return fail(broken(QStringLiteral("falhou ao iniciar.")),
                    QStringLiteral("%1: Initialize falhou: %2").arg(m_filePath, reason));
    }

    m_initialize = initialize;
    m_finalize = finalize;
    m_iniProc = iniProc;
    m_info = info;
    m_initialized = true;
    m_lastError.clear();
    emit loaded(m_filePath);
    return true;
}

bool PackageLoader::open()
{
    if (!load())
        return false;
    try {
        m_iniProc();
    } catch (...) {
        // The screen's own message, as it raised it.
        return fail(describeCurrentException(),
                    TApplication::ExceptionDetails(std::current_exception()));
    }
    emit opened();
    return true;
}

bool PackageLoader::openEntry(const QString &entry)
{
    if (!load())
        return false;
    // Optional entries are looked up when asked for: a package may have
    // been built before they existed.
    const auto proc = reinterpret_cast<QuvIniProc>(m_library.resolve(entry.toLatin1().constData()));
    if (!proc)
        return fail(QStringLiteral("Não foi possível abrir esta opção: o módulo %1 não a oferece; "
                                   "ele pode ser de uma versão anterior do QUV.")
                        .arg(m_baseName),
                    QStringLiteral("%1 não exporta a função %2").arg(m_filePath, entry));
    try {
        proc();
    } catch (...) {
        return fail(describeCurrentException(),
                    TApplication::ExceptionDetails(std::current_exception()));
    }
    emit opened();
    return true;
}

void PackageLoader::closeWindows(QMdiArea *area)
{
    if (area) {
        area->closeAllSubWindows();
        // Screens dispose of themselves with deleteLater; run those deletions
        // now, while their code is still loaded.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        // A window that refused to close cannot outlive the package whose
        // code it runs.
        const QList<QMdiSubWindow *> left = area->subWindowList();
        for (QMdiSubWindow *w : left)
            delete w;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

void PackageLoader::shutdown(QMdiArea *area)
{
    closeWindows(area);
    if (!m_initialized)
        return;
    m_initialized = false;
    try {
        m_finalize();
    } catch (...) {
        fail(QStringLiteral("O módulo %1 falhou ao encerrar.").arg(m_baseName),
             QStringLiteral("%1: Finalize falhou: %2").arg(m_filePath, describeCurrentException()));
    }
    unloadLibrary();
}

} // namespace quv::host
