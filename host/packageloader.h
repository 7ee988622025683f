#pragma once

// Loads a screen package (a shared library with the entries of
// contracts/package.h) on first use and keeps it for the rest of the run.
//
// Sequence: load the file, resolve Initialize, Finalize, GetPackageInfoTable
// and IniProc, check the table's version, run Initialize once; then IniProc on
// every open (the package keeps its single screen instance). At shutdown the
// package's windows are closed and deleted while its code is still mapped,
// then Finalize runs and the file is unloaded.

#include "contracts/package.h"

#include <QLibrary>
#include <QObject>
#include <QString>

#include <functional>

class QMdiArea;

namespace quv::host {

class PackageLoader : public QObject
{
    Q_OBJECT
public:
    /// A failure: the user's text, and the technical detail (file, loader).
    using Report = std::function<void(const QString &message, const QString &details)>;

    /// `baseName` without platform prefix or suffix ("PKG_QUV01000"); an
    /// empty `folder` means the executable's folder. Every failure goes to
    /// `report`, never out as an exception.
    PackageLoader(const QString &baseName, const QString &folder, Report report,
                  QObject *parent = nullptr);
    ~PackageLoader() override;

    /// The file this loader loads: <folder>/lib<baseName>.so on Linux.
    QString filePath() const { return m_filePath; }
    bool isLoaded() const { return m_initialized; }
    /// The reason of the last failure (also handed to the report).
    QString lastError() const { return m_lastError; }
    /// The unit table of the loaded package, or null.
    const QuvPackageInfoTable *packageInfo() const { return m_info; }

    /// Loads and initializes the package if that has not happened yet.
    bool load();
    /// Loads if needed and calls IniProc. False when either failed.
    bool open();
    /// Loads if needed and calls another plain entry of the package, one
    /// that takes no argument like IniProc (IniProcHistorico opens the
    /// history of access changes). A package without that entry fails with a
    /// message, the entry named in its details.
    bool openEntry(const QString &entry);
    /// Closes and deletes every child window of `area` (so that screens run
    /// their close and destroy handlers while the package is loaded), then
    /// runs Finalize and unloads. Safe to call when nothing is loaded.
    void shutdown(QMdiArea *area);
    /// Closes every child window of `area` and deletes it, running pending
    /// deferred deletions; a window that refuses to close is deleted too.
    static void closeWindows(QMdiArea *area);

signals:
    void loaded(const QString &filePath);
    void opened();

private:
    bool fail(const QString &message, const QString &details = {});
    QString broken(const QString &what) const;
    void unloadLibrary();

    QString m_baseName;
    QString m_filePath;
    Report m_report;
    QLibrary m_library;
    bool m_initialized = false;
    QuvInitializeProc m_initialize = nullptr;
    QuvFinalizeProc m_finalize = nullptr;
    QuvIniProc m_iniProc = nullptr;
    const QuvPackageInfoTable *m_info = nullptr;
    QString m_lastError;
};

} // namespace quv::host
