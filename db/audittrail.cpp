#include "db/audittrail.h"

#include "db/dialect.h"
#include "db/sql.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlQuery>

#include <array>
#include <map>
#include <set>
#include <vector>

namespace quv::db {

namespace {

constexpr quint32 TrailSeed = 20140321;
// The newest generated change; older ones step back from it.
const QDateTime TrailEnd(QDate(2024, 6, 28), QTime(18, 0), Qt::UTC);

using Fact = std::pair<QString, QString>;

// Ordered containers throughout: QSet's order changes from run to run, and
// the trail must not.
struct Principal
{
    QChar kind;
    QString code;
    std::set<Fact> facts;
    std::set<int> dimensions;
    std::map<int, std::set<QString>> filters;
};

struct Catalog
{
    std::vector<Fact> facts;
    std::vector<int> dimensions;
    std::map<int, int> poolOf; // dimension -> pool, for those with a value table
    std::vector<QStringList> pools;
};

const std::array Administrators = {"admin",    "admin", "mcarvalho", "rsouza",
                                   "fpereira", "tlima", "auditoria"};

QString compact(const QJsonValue &value)
{
    const QJsonDocument document =
        value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    return QString::fromUtf8(document.toJson(QJsonDocument::Compact));
}

QJsonArray factList(const std::set<Fact> &facts)
{
    QJsonArray list;
    for (const Fact &f : facts)
        list.append(QJsonArray{f.first, f.second});
    return list;
}

QJsonArray numberList(const std::set<int> &numbers)
{
    QJsonArray list;
    for (int n : numbers)
        list.append(n);
    return list;
}

QJsonArray valueList(const std::set<QString> &values)
{
    QJsonArray list;
    for (const QString &v : values)
        list.append(v);
    return list;
}

QJsonObject filterMap(const std::map<int, std::set<QString>> &filters)
{
    QJsonObject map;
    for (const auto &[n, values] : filters)
        if (!values.empty())
            map.insert(QString::number(n), valueList(values));
    return map;
}

QJsonObject factState(const std::set<Fact> &granted)
{
    return {{QStringLiteral("granted"), factList(granted)}};
}

QJsonObject dimensionState(const std::set<int> &granted,
                           const std::map<int, std::set<QString>> &filters)
{
    return {{QStringLiteral("granted"), numberList(granted)},
            {QStringLiteral("filters"), filterMap(filters)}};
}

template <typename Set> typename Set::value_type nth(const Set &set, quint32 index)
{
    auto it = set.begin();
    std::advance(it, index);
    return *it;
}

bool isIdentifier(const QString &name)
{
    static const QRegularExpression identifier(QStringLiteral(R"(\A[A-Za-z_][A-Za-z0-9_]*\z)"));
    return identifier.match(name).hasMatch();
}

/// Walks back from the present, one change at a time, writing each as the
/// server would have written it.
class Trail
{
public:
    Trail(const QSqlDatabase &db, const AuditTrailOptions &options)
        : m_inserter(db, QStringLiteral("AUDITORIA"),
                     {QStringLiteral("IDAUDITORIA"), QStringLiteral("DTAUDITORIA"),
                      QStringLiteral("NMADMINISTRADOR"), QStringLiteral("NMMETODO"),
                      QStringLiteral("TPPRINCIPAL"), QStringLiteral("CDPRINCIPAL"),
                      QStringLiteral("DSITENS"), QStringLiteral("DSANTES"),
                      QStringLiteral("DSDEPOIS")}),
          m_options(options), m_next(options.rows), m_time(TrailEnd)
    {
    }

    QRandomGenerator rng{TrailSeed};
    qint64 left() const { return m_next; }

    /// `method` without its kind: "setCkFato" is written as setCkFatoOpGrup
    /// for a group; setDelFilDime has one name for both.
    void write(const Principal &p, const char *method, const QJsonValue &items,
               const QJsonObject &before, const QJsonObject &after)
    {
        QString name = QString::fromLatin1(method);
        if (name != QLatin1StringView("setDelFilDime"))
            name +=
                p.kind == QLatin1Char('G') ? QStringLiteral("OpGrup") : QStringLiteral("OpOper");
        const char *administrator = Administrators[rng.bounded(quint32(Administrators.size()))];
        m_inserter.add({m_next, m_time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ")),
                        QString::fromLatin1(administrator), name, QString(p.kind), p.code,
                        compact(items), compact(before), compact(after)});
        --m_next;
        // Office hours have gaps; a few minutes between changes on average.
        m_time = m_time.addMSecs(-qint64(20'000 + rng.bounded(300'000)));
        if (m_options.progress && m_next % 100'000 == 0 && m_next > 0)
            m_options.progress(QStringLiteral("%1: %2 rows to go")
                                   .arg(QStringLiteral("AUDITORIA"), -14)
                                   .arg(m_next));
    }

    void finish() { m_inserter.finish(); }

private:
    BulkInserter m_inserter;
    const AuditTrailOptions &m_options;
    qint64 m_next;
    QDateTime m_time;
};

// -------------------------------------------------------------- changes
// Each writes the change as the newest row still to write, with the
// principal's present state as its after-state, and then puts the principal
// back into the state before it.

void factToggle(Trail &t, const Catalog &c, Principal &p)
{
    const bool own = p.kind == QLatin1Char('O') && !p.facts.empty() && t.rng.bounded(2) == 0;
    const Fact f = own ? nth(p.facts, t.rng.bounded(quint32(p.facts.size())))
                       : c.facts[t.rng.bounded(quint32(c.facts.size()))];
    const bool after = p.facts.count(f) > 0;
    // One call in twenty asked for what was already so.
    const bool before = t.rng.bounded(20) == 0 ? after : !after;
    const std::set<Fact> key{f};
    t.write(p, "setCkFato", factList(key), factState(before ? key : std::set<Fact>()),
            factState(after ? key : std::set<Fact>()));
    if (before)
        p.facts.insert(f);
    else
        p.facts.erase(f);
}

void filterEdit(Trail &t, const Catalog &c, Principal &p, int d)
{
    const QStringList &pool = c.pools[size_t(c.poolOf.at(d))];
    const std::set<QString> after = p.filters[d];
    std::set<QString> before = after;
    const quint32 k = 1 + t.rng.bounded(3);
    const quint32 how = after.empty() ? 1 : t.rng.bounded(5);
    if (how == 0) {
        before.clear(); // the filter was new
    } else if (how <= 2) {
        for (quint32 i = 0; i < k; ++i) // values were taken out
            before.insert(pool[qsizetype(t.rng.bounded(quint32(pool.size())))]);
    } else {
        for (quint32 i = 0; i < k && !before.empty(); ++i) // values were put in
            before.erase(nth(before, t.rng.bounded(quint32(before.size()))));
    }
    if (before == after)
        before.insert(pool[qsizetype(t.rng.bounded(quint32(pool.size())))]);
    if (before == after)
        before.clear();
    const QString values = QStringLiteral("values");
    t.write(p, "setDelFilDime", numberList({d}), {{values, valueList(before)}},
            {{values, valueList(after)}});
    if (before.empty())
        p.filters.erase(d);
    else
        p.filters[d] = before;
}

void dimensionToggle(Trail &t, const Catalog &c, Principal &p)
{
    const bool own = !p.dimensions.empty() && t.rng.bounded(2) == 0;
    const int d = own ? nth(p.dimensions, t.rng.bounded(quint32(p.dimensions.size())))
                      : c.dimensions[t.rng.bounded(quint32(c.dimensions.size()))];
    if (p.dimensions.count(d) && !p.filters[d].empty()) {
        filterEdit(t, c, p, d); // granting cannot have brought a filter
        return;
    }
    p.filters.erase(d);
    const std::set<int> key{d};
    if (p.dimensions.count(d)) {
        const bool noop = t.rng.bounded(20) == 0;
        t.write(p, "setCkDime", numberList(key), dimensionState(noop ? key : std::set<int>(), {}),
                dimensionState(key, {}));
        if (!noop)
            p.dimensions.erase(d);
        return;
    }
    // A revoke; the dimension may have carried a filter, which went with it.
    std::map<int, std::set<QString>> filters;
    if (c.poolOf.count(d) && t.rng.bounded(3) == 0) {
        const QStringList &pool = c.pools[size_t(c.poolOf.at(d))];
        for (quint32 i = 0, k = 1 + t.rng.bounded(5); i < k; ++i)
            filters[d].insert(pool[qsizetype(t.rng.bounded(quint32(pool.size())))]);
    }
    t.write(p, "setCkDime", numberList(key), dimensionState(key, filters), dimensionState({}, {}));
    p.dimensions.insert(d);
    if (!filters.empty())
        p.filters[d] = filters[d];
}

// The whole grid cleared from its title, then the few wanted ticked back
// one by one (those single grants are the newer rows).
bool clearFacts(Trail &t, const Catalog &c, Principal &p)
{
    if (t.left() < qint64(p.facts.size()) + 1)
        return false;
    while (!p.facts.empty()) {
        const std::set<Fact> key{*p.facts.begin()};
        t.write(p, "setCkFato", factList(key), factState({}), factState(key));
        p.facts.erase(p.facts.begin());
    }
    std::set<Fact> before;
    for (quint32 i = 0, k = 3 + t.rng.bounded(12); i < k; ++i)
        before.insert(c.facts[t.rng.bounded(quint32(c.facts.size()))]);
    const std::set<Fact> all(c.facts.cbegin(), c.facts.cend());
    t.write(p, "setTChkFato", factList(all), factState(before), factState({}));
    p.facts = before;
    return true;
}

bool clearDimensions(Trail &t, const Catalog &c, Principal &p)
{
    qint64 needed = qint64(p.dimensions.size()) + 1;
    for (const auto &[d, values] : p.filters)
        needed += values.empty() ? 0 : 1;
    if (t.left() < needed)
        return false;
    while (!p.dimensions.empty()) {
        const int d = *p.dimensions.begin();
        if (!p.filters[d].empty()) {
            const QString values = QStringLiteral("values");
            t.write(p, "setDelFilDime", numberList({d}), {{values, QJsonArray()}},
                    {{values, valueList(p.filters[d])}});
        }
        p.filters.erase(d);
        const std::set<int> key{d};
        t.write(p, "setCkDime", numberList(key), dimensionState({}, {}), dimensionState(key, {}));
        p.dimensions.erase(d);
    }
    std::set<int> before;
    std::map<int, std::set<QString>> filters;
    for (quint32 i = 0, k = 1 + t.rng.bounded(4); i < k; ++i) {
        const int d = c.dimensions[t.rng.bounded(quint32(c.dimensions.size()))];
        before.insert(d);
        if (c.poolOf.count(d) && t.rng.bounded(4) == 0)
            filters[d].insert(c.pools[size_t(c.poolOf.at(d))].first());
    }
    const std::set<int> all(c.dimensions.cbegin(), c.dimensions.cend());
    t.write(p, "setTChkDime", numberList(all), dimensionState(before, filters),
            dimensionState({}, {}));
    p.dimensions = before;
    p.filters = filters;
    return true;
}

// ---------------------------------------------------------- the present

Catalog readCatalog(const QSqlDatabase &db)
{
    Catalog c;
    QSqlQuery facts = run(db, QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM ITEMDW ORDER BY "
                                             "CDTABELADW, CDITEMDW"));
    while (facts.next())
        c.facts.push_back({facts.value(0).toString(), facts.value(1).toString()});
    std::map<QString, int> poolOfTable;
    QSqlQuery dims = run(db, QStringLiteral("SELECT NRSEQUEDIME, CDTABELADIME, DSPKDIME FROM "
                                            "DIMEDW ORDER BY NRSEQUEDIME"));
    QList<std::tuple<int, QString, QString>> withTable;
    while (dims.next()) {
        c.dimensions.push_back(dims.value(0).toInt());
        if (!dims.value(1).isNull())
            withTable.append(
                {dims.value(0).toInt(), dims.value(1).toString(), dims.value(2).toString()});
    }
    for (const auto &[d, table, key] : std::as_const(withTable)) {
        if (!isIdentifier(table) || !isIdentifier(key))
            continue;
        auto found = poolOfTable.find(table);
        if (found == poolOfTable.end()) {
            QStringList pool;
            QSqlQuery values =
                run(db, QStringLiteral("SELECT %1 FROM %2 ORDER BY %1 LIMIT 400").arg(key, table));
            while (values.next())
                pool.append(values.value(0).toString());
            if (pool.isEmpty())
                continue;
            c.pools.push_back(pool);
            found = poolOfTable.insert({table, int(c.pools.size()) - 1}).first;
        }
        c.poolOf[d] = found->second;
    }
    if (c.facts.empty() || c.dimensions.empty())
        throw DbError(QStringLiteral("the catalog has no facts or no dimensions to make a "
                                     "history of"));
    return c;
}

std::vector<Principal> readPrincipals(const QSqlDatabase &db, QChar kind)
{
    const bool group = kind == QLatin1Char('G');
    const QString table = group ? QStringLiteral("GRUPOPER") : QStringLiteral("OPERADOR");
    const QString column = group ? QStringLiteral("CDGRUPOPER") : QStringLiteral("CDOPERADOR");
    std::vector<Principal> list;
    std::map<QString, size_t> index;
    QSqlQuery codes = run(db, QStringLiteral("SELECT %1 FROM %2 ORDER BY %1").arg(column, table));
    while (codes.next()) {
        index[codes.value(0).toString()] = list.size();
        list.push_back({kind, codes.value(0).toString(), {}, {}, {}});
    }
    const auto each = [&](const QString &sql,
                          const std::function<void(Principal &, QSqlQuery &)> &f) {
        QSqlQuery q = run(db, sql.arg(column));
        while (q.next())
            if (auto it = index.find(q.value(0).toString()); it != index.end())
                f(list[it->second], q);
    };
    each(QStringLiteral("SELECT %1, CDTABELADW, CDITEMDW FROM ") +
             (group ? QStringLiteral("ITEMDWGRUPOP") : QStringLiteral("ITEMDWOPER")),
         [](Principal &p, QSqlQuery &q) {
             p.facts.insert({q.value(1).toString(), q.value(2).toString()});
         });
    each(QStringLiteral("SELECT %1, NRSEQUEDIME FROM ") +
             (group ? QStringLiteral("DIMEDWGRUPOP") : QStringLiteral("DIMEODWOPER")),
         [](Principal &p, QSqlQuery &q) { p.dimensions.insert(q.value(1).toInt()); });
    each(group ? QStringLiteral("SELECT %1, NRSEQUEDIME, CDFILDIMEGRUPOP FROM FILDIMEGRUPOP")
               : QStringLiteral("SELECT %1, NRSEQUEDIME, CDFILDIMEOPER FROM FILDIMEOPER"),
         [](Principal &p, QSqlQuery &q) {
             p.filters[q.value(1).toInt()].insert(q.value(2).toString());
         });
    return list;
}

} // namespace

qint64 fillAuditTrail(const QSqlDatabase &db, const AuditTrailOptions &options)
{
    if (options.rows <= 0)
        return 0;
    {
        QSqlQuery existing = run(db, QStringLiteral("SELECT COUNT(*) FROM AUDITORIA"));
        if (existing.next() && existing.value(0).toLongLong() > 0)
            throw DbError(QStringLiteral("the audit trail already holds %1 rows; a generated "
                                         "history goes only into an empty one")
                              .arg(existing.value(0).toLongLong()));
    }
    const Catalog catalog = readCatalog(db);
    std::vector<Principal> groups = readPrincipals(db, QLatin1Char('G'));
    std::vector<Principal> operators = readPrincipals(db, QLatin1Char('O'));
    if (groups.empty() && operators.empty())
        throw DbError(QStringLiteral("the warehouse has no principals to make a history of"));

    Trail trail(db, options);
    while (trail.left() > 0) {
        // A few busy principals make most changes; groups are changed far
        // more often than any one operator.
        const bool group = operators.empty() || (!groups.empty() && trail.rng.bounded(10) < 3);
        std::vector<Principal> &list = group ? groups : operators;
        const double u = trail.rng.generateDouble();
        Principal &p = list[size_t(double(list.size()) * u * u)];
        const quint32 roll = trail.rng.bounded(1000);
        if (roll < 500) {
            factToggle(trail, catalog, p);
        } else if (roll < 720) {
            dimensionToggle(trail, catalog, p);
        } else if (roll < 985) {
            std::vector<int> filterable;
            for (int d : p.dimensions)
                if (catalog.poolOf.count(d))
                    filterable.push_back(d);
            if (filterable.empty())
                factToggle(trail, catalog, p);
            else
                filterEdit(trail, catalog, p,
                           filterable[trail.rng.bounded(quint32(filterable.size()))]);
        } else if (group || !(roll < 997 ? clearDimensions(trail, catalog, p)
                                         : clearFacts(trail, catalog, p))) {
            factToggle(trail, catalog, p);
        }
    }
    trail.finish();
    if (!Dialect::of(db).isSqlite())
        run(db,
            QStringLiteral("SELECT setval(pg_get_serial_sequence('auditoria', 'idauditoria'), ?)"),
            {options.rows});
    return options.rows;
}

} // namespace quv::db
