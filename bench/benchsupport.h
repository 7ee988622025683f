#pragma once

// What the screen benchmarks share: timing with percentiles, a full read of
// a query as the baseline, and the package opened as the host opens it.

#include "contracts/package.h"
#include "framework/dbgeral.h"
#include "screen/Cli_quv01000.h"
#include "tests/screen/screenfixture.h"
#include "tests/support/serverprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLibrary>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextStream>

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace quv::bench {

inline QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

/// Samples in milliseconds; `at(0.5)` is the median, interpolated.
struct Timing
{
    QList<double> ms;

    void add(double value) { ms.append(value); }
    double at(double fraction) const
    {
        if (ms.isEmpty())
            return 0;
        QList<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        const double pos = fraction * double(sorted.size() - 1);
        const auto lo = qsizetype(pos);
        const qsizetype hi = std::min(lo + 1, sorted.size() - 1);
        return sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - double(lo));
    }
};

inline double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

/// One untimed warm-up, then `runs` timed runs.
inline Timing measure(int runs, const std::function<void()> &body)
{
    body();
    Timing timing;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        body();
        timing.add(msSince(timer));
    }
    return timing;
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
        auto iniProc = reinterpret_cast<QuvIniProc>(m_package.resolve("IniProc"));
        if (!initialize || !m_finalize || !iniProc)
            throw std::runtime_error("the package lacks its entries");
        initialize();
        iniProc();
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
    QStringList errors() const { return m_host.exceptions; }

private:
    test::TestHost m_host;
    TdtmDBGeral m_db;
    QLibrary m_package;
    QuvFinalizeProc m_finalize = nullptr;
};

} // namespace quv::bench
