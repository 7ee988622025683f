#include "tests/faults/loaddriver.h"

#include "contracts/datapacket.h"
#include "contracts/wire.h"
#include "db/sql.h"
#include "tests/support/rpcclient.h"
#include "tests/support/testdatabase.h"

#include <QThread>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

namespace quv::test {

namespace code = wire::code;

double LoadReport::percentile(double p) const
{
    if (latenciesMs.empty())
        return 0;
    const size_t index = std::min(latenciesMs.size() - 1,
                                  size_t(std::ceil(p / 100.0 * double(latenciesMs.size())) - 1));
    return latenciesMs[index];
}

struct LoadRun::Catalog
{
    QList<QPair<QString, QString>> facts; // (CDTABELADW, CDITEMDW)
    QList<int> dimensions;
    QList<int> filterable; // dimensions with a value table
};

// What one client's principal must hold, and what it saw on the way.
struct LoadRun::Client
{
    int index = 0;
    bool group = false;
    QString code;
    QSet<QString> facts; // "TABLE|ITEM"
    QSet<int> dimensions;
    QMap<int, QSet<QString>> filters; // only granted dimensions, never empty sets
    QStringList changes;              // methods of the successful changes, in order
    std::vector<double> latenciesMs;
    QMap<int, qint64> refused;
    QStringList faults;
    qint64 calls = 0;

    QString method(const char *stem) const
    {
        return QString::fromLatin1(stem) +
               (group ? QStringLiteral("Grup") : QStringLiteral("Oper"));
    }
    QString kindLetter() const { return group ? QStringLiteral("G") : QStringLiteral("O"); }
};

namespace {

QString factKey(const QString &table, const QString &item)
{
    return table + QLatin1Char('|') + item;
}

struct Tables
{
    QString facts, dimensions, filters, codeColumn, filterColumn;
};

Tables tablesOf(bool group)
{
    if (group)
        return {QStringLiteral("ITEMDWGRUPOP"), QStringLiteral("DIMEDWGRUPOP"),
                QStringLiteral("FILDIMEGRUPOP"), QStringLiteral("CDGRUPOPER"),
                QStringLiteral("CDFILDIMEGRUPOP")};
    return {QStringLiteral("ITEMDWOPER"), QStringLiteral("DIMEODWOPER"),
            QStringLiteral("FILDIMEOPER"), QStringLiteral("CDOPERADOR"),
            QStringLiteral("CDFILDIMEOPER")};
}

QString sorted(QStringList list)
{
    list.sort();
    return list.join(QLatin1Char(' '));
}

template <typename T> QString sorted(const QSet<T> &set)
{
    QStringList list;
    for (const T &value : set)
        list.append(QVariant(value).toString());
    return sorted(list);
}

// The grants a facts or dimensions packet shows, as sorted text.
QString grantedIn(const DataPacket &packet, const QString &grantField, const QStringList &keyFields)
{
    const int grant = packet.indexOf(grantField);
    if (grant < 0)
        return QStringLiteral("<no field %1>").arg(grantField);
    QStringList keys;
    for (qsizetype r = 0; r < packet.rowCount(); ++r) {
        if (packet.value(r, grant).isEmpty())
            continue;
        QStringList parts;
        for (const QString &field : keyFields)
            parts.append(packet.value(r, packet.indexOf(field)));
        keys.append(parts.join(QLatin1Char('|')));
    }
    return sorted(keys);
}

class Driver
{
public:
    Driver(LoadRun::Client &client, const QList<QPair<QString, QString>> &facts,
           const QList<int> &dimensions, const QList<int> &filterable, quint32 seed,
           std::atomic<qint64> &answered)
        : c(client), m_facts(facts), m_dimensions(dimensions), m_filterable(filterable),
          m_random(seed + quint32(client.index) * 7919u), m_answered(answered)
    {
    }

    /// Makes up to `calls` calls, stopping early at `until` when it is set.
    void run(const Endpoint &endpoint, const QString &token, int calls,
             std::optional<std::chrono::steady_clock::time_point> until)
    {
        if (!m_rpc.connectTo(endpoint.host, endpoint.port)) {
            c.faults.append(QStringLiteral("client %1: cannot connect").arg(c.index));
            return;
        }
        const wire::Response login = m_rpc.login(token);
        if (!login.ok) {
            c.faults.append(
                QStringLiteral("client %1: login: %2").arg(c.index).arg(login.errorMessage));
            return;
        }
        for (int i = 0; i < calls && c.faults.size() < 10; ++i) {
            if (until && std::chrono::steady_clock::now() >= *until)
                break;
            step();
        }
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }
    bool coin() { return pick(2) == 0; }

    // One call, retried while the server says it is over its rate. A
    // transport failure or an error nobody intended is a fault.
    std::optional<wire::Response> call(const QString &method, const QVariantList &params)
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            wire::Response response;
            const auto start = std::chrono::steady_clock::now();
            try {
                response = m_rpc.call(method, params);
            } catch (const std::exception &e) {
                fault(method, QStringLiteral("transport: ") + QString::fromUtf8(e.what()));
                return std::nullopt;
            }
            c.latenciesMs.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            ++c.calls;
            m_answered.fetch_add(1, std::memory_order_relaxed);
            if (!response.ok && response.errorCode == code::TooManyRequests) {
                ++c.refused[response.errorCode];
                QThread::msleep(5);
                continue;
            }
            return response;
        }
        fault(method, QStringLiteral("still over the rate after 100 attempts"));
        return std::nullopt;
    }

    void fault(const QString &method, const QString &what)
    {
        c.faults.append(QStringLiteral("client %1 (%2 %3) %4: %5")
                            .arg(c.index)
                            .arg(c.kindLetter(), c.code, method, what));
    }

    bool expectOk(const QString &method, const std::optional<wire::Response> &response)
    {
        if (!response)
            return false;
        if (!response->ok) {
            fault(method, QStringLiteral("error %1: %2")
                              .arg(response->errorCode)
                              .arg(response->errorMessage));
            return false;
        }
        return true;
    }

    DataPacket outPacket(const wire::Response &response, int index)
    {
        return response.result.toMap()
            .value(QStringLiteral("out"))
            .toList()
            .value(index)
            .value<DataPacket>();
    }

    void checkFacts(const QString &method, const DataPacket &packet)
    {
        QStringList expected;
        for (const QString &key : std::as_const(c.facts))
            expected.append(key);
        const QString shown = grantedIn(packet, QStringLiteral("CDITEMDWCTAC"),
                                        {QStringLiteral("CDTABELADW"), QStringLiteral("CDITEMDW")});
        if (shown != sorted(expected))
            fault(method,
                  QStringLiteral("facts shown [%1], expected [%2]").arg(shown, sorted(expected)));
    }

    void checkDimensions(const QString &method, const DataPacket &packet)
    {
        const QString shown =
            grantedIn(packet, QStringLiteral("NRSEQUEDIMECTAC"), {QStringLiteral("NRSEQUEDIME")});
        if (shown != sorted(c.dimensions))
            fault(method, QStringLiteral("dimensions shown [%1], expected [%2]")
                              .arg(shown, sorted(c.dimensions)));
        QSet<int> filtered;
        for (auto it = c.filters.cbegin(); it != c.filters.cend(); ++it)
            filtered.insert(it.key());
        const QString shownFiltered =
            grantedIn(packet, QStringLiteral("NRSEQUEDIMEFIL"), {QStringLiteral("NRSEQUEDIME")});
        if (shownFiltered != sorted(filtered))
            fault(method, QStringLiteral("filtered dimensions shown [%1], expected [%2]")
                              .arg(shownFiltered, sorted(filtered)));
    }

    void changed(const QString &method) { c.changes.append(method); }

    void step()
    {
        const int roll = pick(100);
        if (roll < 20)
            read();
        else if (roll < 40)
            toggleFact();
        else if (roll < 52)
            toggleDimension();
        else if (roll < 64)
            toggleAllFacts();
        else if (roll < 72)
            toggleAllDimensions();
        else if (roll < 90)
            storeFilter();
        else
            readFilter();
    }

    void read()
    {
        const QString method = c.method("getOper");
        const auto r = call(method, {c.code, QVariant(), QVariant()});
        if (!expectOk(method, r))
            return;
        checkFacts(method, outPacket(*r, 1));
        checkDimensions(method, outPacket(*r, 2));
    }

    void toggleFact()
    {
        const auto &[table, item] = m_facts[pick(int(m_facts.size()))];
        const bool grant = coin();
        const QString method = c.method("setCkFatoOp");
        const auto r = call(method, {table, item, c.code, grant, QVariant()});
        if (!expectOk(method, r))
            return;
        if (grant)
            c.facts.insert(factKey(table, item));
        else
            c.facts.remove(factKey(table, item));
        changed(method);
        checkFacts(method, outPacket(*r, 4));
    }

    void revokeDimension(int number)
    {
        c.dimensions.remove(number);
        c.filters.remove(number);
    }

    void toggleDimension()
    {
        const int number = m_dimensions[pick(int(m_dimensions.size()))];
        const bool grant = coin();
        const QString method = c.method("setCkDimeOp");
        const auto r = call(method, {QString::number(number), c.code, grant, QVariant()});
        if (!expectOk(method, r))
            return;
        if (grant)
            c.dimensions.insert(number);
        else
            revokeDimension(number);
        changed(method);
        checkDimensions(method, outPacket(*r, 3));
    }

    void toggleAllFacts()
    {
        const bool all = pick(4) == 0;
        const bool grant = coin();
        DataPacket rows({{QStringLiteral("CDTABELADW"), 30}, {QStringLiteral("CDITEMDW"), 30}});
        QList<QString> keys;
        for (const auto &[table, item] : m_facts)
            if (all || coin()) {
                rows.appendRow({table, item});
                keys.append(factKey(table, item));
            }
        const QString method = c.method("setTChkFatoOp");
        const auto r = call(method, {c.code, QVariant::fromValue(rows), QVariant(), grant});
        if (!expectOk(method, r))
            return;
        for (const QString &key : keys)
            grant ? void(c.facts.insert(key)) : void(c.facts.remove(key));
        changed(method);
        checkFacts(method, outPacket(*r, 2));
    }

    void toggleAllDimensions()
    {
        const bool grant = coin();
        DataPacket rows({{QStringLiteral("NRSEQUEDIME"), 5}});
        QList<int> numbers;
        for (const int number : m_dimensions)
            if (coin()) {
                rows.appendRow({QString::number(number)});
                numbers.append(number);
            }
        const QString method = c.method("setTChkDimeOp");
        const auto r = call(method, {c.code, QVariant::fromValue(rows), grant, QVariant()});
        if (!expectOk(method, r))
            return;
        for (const int number : numbers)
            grant ? void(c.dimensions.insert(number)) : revokeDimension(number);
        changed(method);
        checkDimensions(method, outPacket(*r, 3));
    }

    void storeFilter()
    {
        const int number = m_filterable[pick(int(m_filterable.size()))];
        QSet<QString> values;
        const int wanted = pick(6); // none removes the filter
        for (int i = 0; i < wanted; ++i)
            values.insert(QStringLiteral("F%1").arg(pick(20)));
        DataPacket rows({{QStringLiteral("ITENS"), 50},
                         {QStringLiteral("CDCODIGOPAI"), 20},
                         {QStringLiteral("NRSEQUEDIME"), 20}});
        for (const QString &value : values)
            rows.appendRow({value, c.code, QString::number(number)});
        if (values.isEmpty())
            rows.appendRow({QString(), c.code, QString::number(number)});
        const QString method = QStringLiteral("setDelFilDime");
        const auto r = call(method, {QVariant::fromValue(rows), c.group});
        if (!r)
            return;
        if (!c.dimensions.contains(number)) {
            // Filtering a dimension that is not granted is refused, unchanged.
            if (r->ok || r->errorCode != code::InvalidValue)
                fault(method, QStringLiteral("on an ungranted dimension: expected InvalidValue, "
                                             "got %1 %2")
                                  .arg(r->ok ? 0 : r->errorCode)
                                  .arg(r->errorMessage));
            else
                ++c.refused[r->errorCode];
            return;
        }
        if (!expectOk(method, r))
            return;
        if (values.isEmpty())
            c.filters.remove(number);
        else
            c.filters[number] = values;
        changed(method);
    }

    void readFilter()
    {
        const int number = m_filterable[pick(int(m_filterable.size()))];
        const QString method = QStringLiteral("getListaFiltro");
        const auto r = call(method, {QString(c.kindLetter() + c.code), QString::number(number)});
        if (!expectOk(method, r))
            return;
        const QSet<QString> stored = c.filters.value(number);
        QStringList values(stored.cbegin(), stored.cend());
        values.sort();
        const QString expected =
            values.isEmpty() ? QString()
                             : QStringLiteral("_") + values.join(u'_') + QStringLiteral("_");
        const QString got = r->result.toMap().value(QStringLiteral("payload")).toString();
        if (got != expected)
            fault(
                method,
                QStringLiteral("dimension %1: '%2', expected '%3'").arg(number).arg(got, expected));
    }

    LoadRun::Client &c;
    const QList<QPair<QString, QString>> &m_facts;
    const QList<int> &m_dimensions;
    const QList<int> &m_filterable;
    std::mt19937 m_random;
    std::atomic<qint64> &m_answered;
    RpcClient m_rpc;
};

} // namespace

LoadRun::LoadRun(QSqlDatabase db, LoadOptions options)
    : m_db(std::move(db)), m_options(options), m_catalog(new Catalog)
{
    if (options.clients < 1 || options.clients > 200)
        throw std::invalid_argument("the load runs 1 to 200 clients");
    if (options.callsPerClient < 1)
        throw std::invalid_argument("each client makes at least one call");
}

LoadRun::~LoadRun()
{
    for (Client *client : m_clients)
        delete client;
    delete m_catalog;
}

void LoadRun::prepare()
{
    for (const QStringList &row :
         rows(m_db, QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM ITEMDW ORDER BY 1, 2")))
        m_catalog->facts.append({row[0], row[1]});
    for (const QStringList &row :
         rows(m_db, QStringLiteral("SELECT NRSEQUEDIME, CDTABELADIME FROM DIMEDW ORDER BY 1"))) {
        m_catalog->dimensions.append(row[0].toInt());
        if (!row[1].isEmpty())
            m_catalog->filterable.append(row[0].toInt());
    }
    if (m_catalog->facts.isEmpty() || m_catalog->filterable.isEmpty())
        throw std::runtime_error("the database has no fact items or no filterable dimension");

    const QString letters = QStringLiteral("QRSTUVWXYZ");
    db::Transaction transaction(m_db);
    for (int i = 0; i < m_options.clients; ++i) {
        auto *client = new Client;
        m_clients.push_back(client);
        client->index = i;
        client->group = i % 2 == 0;
        if (client->group) {
            client->code = QString(letters[(i / 2) / 10]) + QString::number((i / 2) % 10);
            db::run(m_db,
                    QStringLiteral("INSERT INTO GRUPOPER (CDGRUPOPER, DSGRUPOPER) VALUES (?, ?)"),
                    {client->code, QStringLiteral("Carga %1").arg(i)});
        } else {
            client->code = QStringLiteral("CARGA%1").arg(i, 4, 10, QLatin1Char('0'));
            db::run(m_db,
                    QStringLiteral("INSERT INTO OPERADOR (CDOPERADOR, NMOPERADOR) VALUES (?, ?)"),
                    {client->code, QStringLiteral("Operador de carga %1").arg(i)});
        }
    }
    transaction.commit();
}

LoadReport LoadRun::run(const QList<Endpoint> &endpoints, const QString &token)
{
    if (endpoints.isEmpty())
        throw std::invalid_argument("no server to load");
    const auto start = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> until;
    if (m_options.durationSeconds > 0)
        until = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(m_options.durationSeconds));
    std::vector<std::thread> threads;
    for (Client *client : m_clients)
        threads.emplace_back([this, client, &endpoints, &token, until] {
            Driver driver(*client, m_catalog->facts, m_catalog->dimensions, m_catalog->filterable,
                          m_options.seed, m_callsSoFar);
            driver.run(endpoints[client->index % endpoints.size()], token, m_options.callsPerClient,
                       until);
        });
    for (std::thread &thread : threads)
        thread.join();

    LoadReport report;
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const Client *client : m_clients) {
        report.calls += client->calls;
        report.latenciesMs.insert(report.latenciesMs.end(), client->latenciesMs.begin(),
                                  client->latenciesMs.end());
        for (auto it = client->refused.cbegin(); it != client->refused.cend(); ++it)
            report.refusedByCode[it.key()] += it.value();
        report.faults += client->faults;
    }
    std::sort(report.latenciesMs.begin(), report.latenciesMs.end());
    return report;
}

QStringList LoadRun::verify() const
{
    QStringList differences;
    for (const Client *client : m_clients) {
        const Tables t = tablesOf(client->group);
        const QString who = QStringLiteral("client %1 (%2 %3)")
                                .arg(client->index)
                                .arg(client->kindLetter(), client->code);
        QStringList facts;
        for (const QStringList &row :
             rows(m_db,
                  QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM %1 WHERE %2 = ?")
                      .arg(t.facts, t.codeColumn),
                  {client->code}))
            facts.append(factKey(row[0], row[1]));
        if (sorted(facts) != sorted(client->facts))
            differences.append(QStringLiteral("%1: stored facts [%2], expected [%3]")
                                   .arg(who, sorted(facts), sorted(client->facts)));

        QStringList dimensions;
        for (const QStringList &row : rows(m_db,
                                           QStringLiteral("SELECT NRSEQUEDIME FROM %1 WHERE %2 = ?")
                                               .arg(t.dimensions, t.codeColumn),
                                           {client->code}))
            dimensions.append(row[0]);
        if (sorted(dimensions) != sorted(client->dimensions))
            differences.append(QStringLiteral("%1: stored dimensions [%2], expected [%3]")
                                   .arg(who, sorted(dimensions), sorted(client->dimensions)));

        QStringList filters, expectedFilters;
        for (const QStringList &row :
             rows(m_db,
                  QStringLiteral("SELECT NRSEQUEDIME, %1 FROM %2 WHERE %3 = ?")
                      .arg(t.filterColumn, t.filters, t.codeColumn),
                  {client->code}))
            filters.append(row.join(u':'));
        for (auto it = client->filters.cbegin(); it != client->filters.cend(); ++it)
            for (const QString &value : it.value())
                expectedFilters.append(QString::number(it.key()) + u':' + value);
        if (sorted(filters) != sorted(expectedFilters))
            differences.append(QStringLiteral("%1: stored filters [%2], expected [%3]")
                                   .arg(who, sorted(filters), sorted(expectedFilters)));

        // The trail holds this principal's successful changes, each once, in
        // the order the client made them (it waits for each answer).
        QStringList trail;
        for (const QStringList &row :
             rows(m_db,
                  QStringLiteral("SELECT NMMETODO FROM AUDITORIA WHERE TPPRINCIPAL = ? AND "
                                 "CDPRINCIPAL = ? ORDER BY IDAUDITORIA"),
                  {client->kindLetter(), client->code}))
            trail.append(row[0]);
        if (trail != client->changes)
            differences.append(QStringLiteral("%1: audit trail has %2 rows, the client made %3 "
                                              "changes (or in another order)")
                                   .arg(who)
                                   .arg(trail.size())
                                   .arg(client->changes.size()));
    }
    return differences;
}

} // namespace quv::test
