#pragma once

// What the screen benchmarks share: a full read of a query as the baseline,
// and the package opened as the host opens it.

#include "bench/benchresults.h"
#include "contracts/package.h"
#include "db/connection.h"
#include "framework/data/dbgeral.h"
#include "screen/Cli_quv01000.h"
#include "tests/screen/screenfixture.h"
#include "tests/support/serverprocess.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextStream>

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace quv::bench {

/// Server arguments for the benchmarks: a benchmark calls back to back,
/// faster than any keyboard repeats, and the per-connection request limit
/// that guards a production server would refuse it.
inline QStringList serverArguments()
{
    return {QStringLiteral("--max-rate"), QStringLiteral("1000000")};
}

/// A line of /proc/self/status in MiB ("VmHWM": peak, "VmRSS": now); -1
/// where there is none.
inline double statusMiB(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(prefix))
            return double(line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong()) /
                   1024.0;
    return -1;
}

/// Lowers the peak to the present, so that the next VmHWM is the peak of the
/// step that follows. False where the kernel does not allow it.
inline bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (!clear.open(QIODevice::WriteOnly))
        return false;
    return clear.write("5") == 1;
}

/// Fetches every row and every value as text: what the baseline pays.
inline qint64 drain(QSqlQuery &query)
{
    qint64 rows = 0;
    const int columns = query.record().count();
    while (query.next()) {
        for (int c = 0; c < columns; ++c)
            (void)query.value(c).toString();
        ++rows;
    }
    return rows;
}

/// The package as the host loads it, with the screen open on the database.
/// `showHost` shows the host window, for steps that paint dialogs.
class OpenScreen
{
public:
    OpenScreen(const QString &connection, test::ServerProcess &server, bool showHost = false)
    {
        m_host.serverHost = server.host();
        m_host.serverPort = server.port();
        m_db.Open(connection);
        dtmDBGeral = &m_db;
        m_package.setFileName(QCoreApplication::applicationDirPath() +
                              QStringLiteral("/libPKG_QUV01000.so"));
        if (!m_package.load())
            throw std::runtime_error(m_package.errorString().toStdString());
        auto initialize = reinterpret_cast<QuvInitializeProc>(m_package.resolve("Initialize"));
        m_finalize = reinterpret_cast<QuvFinalizeProc>(m_package.resolve("Finalize"));
        m_iniProc = reinterpret_cast<QuvIniProc>(m_package.resolve("IniProc"));
        if (!initialize || !m_finalize || !m_iniProc)
            throw std::runtime_error("the package lacks its entries");
        initialize();
        m_iniProc();
        test::settle();
        if (!form())
            throw std::runtime_error("the screen did not open");
        if (showHost) {
            m_host.mainForm()->show();
            test::settle();
        }
    }
    ~OpenScreen()
    {
        if (auto *f = form()) {
            f->Release();
            test::settle();
        }
        Cli_quv01000::boIdCriado = false;
        if (m_finalize)
            m_finalize();
        dtmDBGeral = nullptr;
    }
    OpenScreen(const OpenScreen &) = delete;
    OpenScreen &operator=(const OpenScreen &) = delete;

    Cli_quv01000::TfrmControleAcesso *form() const { return Cli_quv01000::frmControleAcesso; }

    /// Closes the screen and opens it again as the host's menu does; returns
    /// the milliseconds from IniProc until the screen is up with both lists
    /// and their first grants loaded (IniProc returns only then).
    double reopen()
    {
        if (auto *f = form()) {
            // A screen is closed after it has been looked at: its lists are
            // in by then. Closed half-read, its loaders would still be
            // stopping their reads while the next opening is timed.
            f->qryOperGrup->FetchAll();
            f->qryOperOper->FetchAll();
            f->Close();
            test::settle();
        }
        if (form())
            throw std::runtime_error("the screen did not close");
        QElapsedTimer timer;
        timer.start();
        m_iniProc();
        test::settle();
        const double ms = msSince(timer);
        if (!form())
            throw std::runtime_error("the screen did not open again");
        return ms;
    }
    QStringList errors() const { return m_host.exceptions; }

private:
    test::TestHost m_host;
    TdtmDBGeral m_db;
    QLibrary m_package;
    QuvFinalizeProc m_finalize = nullptr;
    QuvIniProc m_iniProc = nullptr;
};

} // namespace quv::bench
