#pragma once

#include <QList>
#include <QMap>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <atomic>
#include <vector>

namespace quv::test {

/// Many clients at once against one or more servers on one database. Each
/// client owns a principal of its own (a group or an operator made for the
/// run), so the state each one must leave follows from its own calls alone,
/// in its own order, whatever the interleaving; the audit trail must list
/// that client's successful changes in that same order. Every call's answer
/// is checked against the client's model as it goes.
struct LoadOptions
{
    int clients = 50;
    int callsPerClient = 1000;
    quint32 seed = 20261207;
    /// When above 0, each client stops at this many seconds from the start
    /// of run() even if it has calls left (a soak sets a large call count
    /// and a duration).
    double durationSeconds = 0;
};

struct Endpoint
{
    QString host;
    quint16 port = 0;
};

struct LoadReport
{
    qint64 calls = 0;
    double seconds = 0;
    std::vector<double> latenciesMs; // sorted
    QMap<int, qint64> refusedByCode; // intended errors, by code
    QStringList faults;              // anything not intended; empty when all is well

    double callsPerSecond() const { return seconds > 0 ? double(calls) / seconds : 0; }
    double percentile(double p) const;
};

class LoadRun
{
public:
    LoadRun(QSqlDatabase db, LoadOptions options);
    ~LoadRun();
    LoadRun(const LoadRun &) = delete;
    LoadRun &operator=(const LoadRun &) = delete;

    /// Creates one principal per client (half groups, half operators) and
    /// reads the catalog the calls pick from. Raises std::runtime_error.
    void prepare();
    /// Runs every client to the end; client i talks to endpoints[i % n].
    /// The servers must have been started with a rate limit above what one
    /// client can send, or TooManyRequests answers count as refusals.
    LoadReport run(const QList<Endpoint> &endpoints, const QString &token);
    /// Compares the stored grants, filters and audit rows of every client's
    /// principal with what its successful calls must have left. Returns the
    /// differences (empty: none).
    QStringList verify() const;
    /// Calls answered so far by all clients, while run() goes on in another
    /// thread.
    qint64 callsSoFar() const { return m_callsSoFar.load(std::memory_order_relaxed); }

    struct Client;

private:
    QSqlDatabase m_db;
    LoadOptions m_options;
    struct Catalog;
    Catalog *m_catalog = nullptr;
    std::vector<Client *> m_clients;
    std::atomic<qint64> m_callsSoFar = 0;
};

} // namespace quv::test
