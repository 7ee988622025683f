#include "server/transfer.h"

#include "contracts/wire.h"
#include "server/accesscontrol.h"
#include "server/audit.h"
#include "server/rpcerror.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <map>
#include <vector>

namespace quv::server {

namespace code = wire::code;

namespace {

constexpr int FilterValueSize = 50;
// Principal codes bound in one IN list: far below both drivers' limits on
// parameters, and large enough that the whole warehouse takes few statements.
constexpr int KeysPerStatement = 500;

struct KindInfo
{
    QChar letter;
    QString table;
    QString codeColumn;
    QString nameColumn;
    QString facts;
    QString dimensions;
    QString filters;
    QString filterValue;
    QString label; // as in "Grupo de operadores '01' não cadastrado."
};

const KindInfo &info(Principal principal)
{
    static const KindInfo group{QLatin1Char('G'),
                                QStringLiteral("GRUPOPER"),
                                QStringLiteral("CDGRUPOPER"),
                                QStringLiteral("DSGRUPOPER"),
                                QStringLiteral("ITEMDWGRUPOP"),
                                QStringLiteral("DIMEDWGRUPOP"),
                                QStringLiteral("FILDIMEGRUPOP"),
                                QStringLiteral("CDFILDIMEGRUPOP"),
                                QStringLiteral("Grupo de operadores")};
    static const KindInfo oper{QLatin1Char('O'),
                               QStringLiteral("OPERADOR"),
                               QStringLiteral("CDOPERADOR"),
                               QStringLiteral("NMOPERADOR"),
                               QStringLiteral("ITEMDWOPER"),
                               QStringLiteral("DIMEODWOPER"),
                               QStringLiteral("FILDIMEOPER"),
                               QStringLiteral("CDFILDIMEOPER"),
                               QStringLiteral("Operador")};
    return principal == Principal::Group ? group : oper;
}

constexpr Principal Kinds[] = {Principal::Group, Principal::Operator};

// ------------------------------------------------------------------ keys

struct PrincipalKey
{
    Principal kind = Principal::Group;
    QString code;

    QString text() const { return info(kind).letter + code; }
    friend bool operator==(const PrincipalKey &, const PrincipalKey &) = default;
};

std::optional<PrincipalKey> parseKey(const QString &text)
{
    if (text.size() < 2)
        return std::nullopt;
    if (text.front() == QLatin1Char('G'))
        return PrincipalKey{Principal::Group, text.mid(1)};
    if (text.front() == QLatin1Char('O'))
        return PrincipalKey{Principal::Operator, text.mid(1)};
    return std::nullopt;
}

QString badKeyMessage(const QString &text)
{
    return QStringLiteral("Chave de principal '%1' inválida: deve ser G seguido do código do "
                          "grupo de operadores ou O seguido do código do operador.")
        .arg(text);
}

QString unknownPrincipalMessage(const PrincipalKey &key)
{
    return QStringLiteral("%1 '%2' não cadastrado.").arg(info(key.kind).label, key.code);
}

// A principal with its name, as the lists of the export carry it.
struct PrincipalEntry
{
    QString key;
    QString name;
};

// Every principal of the warehouse in key order: the groups, then the
// operators, each by code.
std::vector<PrincipalEntry> readPrincipals(db::StatementCache &sql)
{
    std::vector<PrincipalEntry> all;
    for (Principal kind : Kinds) {
        const KindInfo &k = info(kind);
        auto query = sql.run(
            QStringLiteral("SELECT %1, %2 FROM %3").arg(k.codeColumn, k.nameColumn, k.table));
        while (query.next())
            all.push_back({k.letter + cellText(query.value(0)), cellText(query.value(1))});
    }
    std::sort(all.begin(), all.end(),
              [](const PrincipalEntry &a, const PrincipalEntry &b) { return a.key < b.key; });
    return all;
}

// ------------------------------------------------------------------ catalogue

using FactKey = std::pair<QString, QString>;

struct DimensionInfo
{
    QString name;
    bool hasValueTable = false;
};

/// The fact items and dimensions grants may name. Facts are numbered in key
/// order, so a sorted list of numbers is a sorted list of keys.
struct Catalogue
{
    std::vector<FactKey> facts;
    QStringList factNames;
    QHash<FactKey, int> factIndex;
    std::map<int, DimensionInfo> dimensions;

    int fact(const FactKey &key) const { return factIndex.value(key, -1); }
    /// The same items and dimensions, each dimension with or without a value
    /// table as before; names may differ.
    bool sameKeys(const Catalogue &other) const
    {
        return facts == other.facts &&
               std::equal(dimensions.cbegin(), dimensions.cend(), other.dimensions.cbegin(),
                          other.dimensions.cend(), [](const auto &a, const auto &b) {
                              return a.first == b.first &&
                                     a.second.hasValueTable == b.second.hasValueTable;
                          });
    }
};

Catalogue readCatalogue(db::StatementCache &sql)
{
    std::vector<std::pair<FactKey, QString>> items;
    {
        auto query = sql.run(QStringLiteral("SELECT CDTABELADW, CDITEMDW, NMITEMDW FROM ITEMDW"));
        while (query.next())
            items.push_back(
                {{cellText(query.value(0)), cellText(query.value(1))}, cellText(query.value(2))});
    }
    std::sort(items.begin(), items.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    Catalogue catalogue;
    catalogue.facts.reserve(items.size());
    catalogue.factIndex.reserve(qsizetype(items.size()));
    for (auto &[key, name] : items) {
        catalogue.factIndex.insert(key, int(catalogue.facts.size()));
        catalogue.facts.push_back(std::move(key));
        catalogue.factNames.append(std::move(name));
    }
    auto query =
        sql.run(QStringLiteral("SELECT NRSEQUEDIME, NMITEMDIME, CDTABELADIME FROM DIMEDW"));
    while (query.next())
        catalogue.dimensions[query.value(0).toInt()] = {cellText(query.value(1)),
                                                        !cellText(query.value(2)).isEmpty()};
    return catalogue;
}

QString factText(const FactKey &key)
{
    return key.first + QLatin1Char('/') + key.second;
}

// ------------------------------------------------------------------ grants

/// What one principal holds: its facts (catalogue numbers, sorted), and each
/// granted dimension with its filter values (sorted; none: no filter).
struct GrantState
{
    std::vector<int> facts;
    std::map<int, QStringList> dimensions;
};

template <typename Query, typename Row> void forEachRow(Query &query, Row row)
{
    while (query.next())
        row(query);
}

// Runs `sqlTemplate` with its "%1" replaced by one placeholder per code, in
// batches, and hands every row to `row`. The full-batch and single-code
// statements are kept prepared; the last, shorter batch is not.
template <typename Row>
void selectByCodes(db::StatementCache &sql, const QString &sqlTemplate, const QStringList &codes,
                   Row row)
{
    for (qsizetype start = 0; start < codes.size(); start += KeysPerStatement) {
        const qsizetype count = qMin<qsizetype>(KeysPerStatement, codes.size() - start);
        QString marks;
        marks.reserve(count * 2);
        QVariantList values;
        values.reserve(count);
        for (qsizetype i = 0; i < count; ++i) {
            marks += i == 0 ? QStringLiteral("?") : QStringLiteral(",?");
            values.append(codes[start + i]);
        }
        const QString statement = sqlTemplate.arg(marks);
        if (count == KeysPerStatement || count == 1) {
            auto query = sql.run(statement, values);
            forEachRow(query, row);
        } else {
            QSqlQuery query = db::run(sql.database(), statement, values);
            forEachRow(query, row);
        }
    }
}

void sortUnique(QStringList &values)
{
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
}

void sortUnique(std::vector<int> &numbers)
{
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
}

/// The grants of the given principals of one kind, by code.
QHash<QString, GrantState> readStates(db::StatementCache &sql, const Catalogue &catalogue,
                                      Principal kind, const QStringList &codes)
{
    const KindInfo &k = info(kind);
    QHash<QString, GrantState> states;
    states.reserve(codes.size());
    for (const QString &c : codes)
        states[c];
    selectByCodes(
        sql,
        QStringLiteral("SELECT %1, CDTABELADW, CDITEMDW FROM %2 WHERE %1 IN (%3)")
            .arg(k.codeColumn, k.facts, QStringLiteral("%1")),
        codes, [&](auto &query) {
            const int index = catalogue.fact({cellText(query.value(1)), cellText(query.value(2))});
            if (index >= 0)
                states[cellText(query.value(0))].facts.push_back(index);
        });
    selectByCodes(sql,
                  QStringLiteral("SELECT %1, NRSEQUEDIME FROM %2 WHERE %1 IN (%3)")
                      .arg(k.codeColumn, k.dimensions, QStringLiteral("%1")),
                  codes, [&](auto &query) {
                      states[cellText(query.value(0))].dimensions[query.value(1).toInt()];
                  });
    selectByCodes(sql,
                  QStringLiteral("SELECT %1, NRSEQUEDIME, %2 FROM %3 WHERE %1 IN (%4)")
                      .arg(k.codeColumn, k.filterValue, k.filters, QStringLiteral("%1")),
                  codes, [&](auto &query) {
                      states[cellText(query.value(0))].dimensions[query.value(1).toInt()].append(
                          cellText(query.value(2)));
                  });
    for (GrantState &state : states) {
        sortUnique(state.facts);
        for (auto &[number, values] : state.dimensions)
            sortUnique(values);
    }
    return states;
}

QStringList sortedUnion(const QStringList &a, const QStringList &b)
{
    QStringList result;
    result.reserve(a.size() + b.size());
    std::set_union(a.cbegin(), a.cend(), b.cbegin(), b.cend(), std::back_inserter(result));
    return result;
}

QStringList sortedDifference(const QStringList &a, const QStringList &b)
{
    QStringList result;
    std::set_difference(a.cbegin(), a.cend(), b.cbegin(), b.cend(), std::back_inserter(result));
    return result;
}

std::vector<int> sortedDifference(const std::vector<int> &a, const std::vector<int> &b)
{
    std::vector<int> result;
    std::set_difference(a.cbegin(), a.cend(), b.cbegin(), b.cend(), std::back_inserter(result));
    return result;
}

/// The grants a principal ends up with when `incoming` meets `current`.
GrantState merged(const GrantState &current, const GrantState &incoming, TransferMode mode)
{
    if (mode == TransferMode::Replace)
        return incoming;
    GrantState result;
    std::set_union(current.facts.cbegin(), current.facts.cend(), incoming.facts.cbegin(),
                   incoming.facts.cend(), std::back_inserter(result.facts));
    result.dimensions = current.dimensions;
    for (const auto &[number, values] : incoming.dimensions) {
        auto held = result.dimensions.find(number);
        if (held == result.dimensions.end())
            result.dimensions.emplace(number, values);
        else if (held->second.isEmpty() || values.isEmpty())
            held->second.clear();
        else
            held->second = sortedUnion(held->second, values);
    }
    return result;
}

/// What turns one principal's grants `from` into `to`.
struct PrincipalChange
{
    std::vector<int> factsAdded;
    std::vector<int> factsRemoved;
    std::vector<int> dimensionsAdded;
    std::vector<int> dimensionsRemoved;
    /// Every dimension whose grant or filter changes, sorted.
    std::vector<int> dimensionsTouched;
    /// Filter values gained and lost, by dimension; a revoked dimension
    /// loses all of its values.
    std::map<int, QStringList> valuesAdded;
    std::map<int, QStringList> valuesRemoved;

    bool isEmpty() const
    {
        return factsAdded.empty() && factsRemoved.empty() && dimensionsTouched.empty();
    }

    ChangeCounts counts() const
    {
        ChangeCounts c;
        c.factsAdded = qint64(factsAdded.size());
        c.factsRemoved = qint64(factsRemoved.size());
        c.dimensionsAdded = qint64(dimensionsAdded.size());
        c.dimensionsRemoved = qint64(dimensionsRemoved.size());
        for (const auto &[number, values] : valuesAdded)
            c.valuesAdded += values.size();
        for (const auto &[number, values] : valuesRemoved)
            c.valuesRemoved += values.size();
        return c;
    }
};

PrincipalChange diff(const GrantState &from, const GrantState &to)
{
    PrincipalChange change;
    change.factsAdded = sortedDifference(to.facts, from.facts);
    change.factsRemoved = sortedDifference(from.facts, to.facts);
    static const QStringList none;
    auto a = from.dimensions.cbegin();
    auto b = to.dimensions.cbegin();
    // Both maps are in number order: one walk over the two.
    while (a != from.dimensions.cend() || b != to.dimensions.cend()) {
        const bool takeA =
            b == to.dimensions.cend() || (a != from.dimensions.cend() && a->first <= b->first);
        const bool takeB =
            a == from.dimensions.cend() || (b != to.dimensions.cend() && b->first <= a->first);
        const int number = takeA ? a->first : b->first;
        const QStringList &before = takeA ? a->second : none;
        const QStringList &after = takeB ? b->second : none;
        if (!takeA)
            change.dimensionsAdded.push_back(number);
        if (!takeB)
            change.dimensionsRemoved.push_back(number);
        QStringList gained = sortedDifference(after, before);
        QStringList lost = sortedDifference(before, after);
        if (!takeA || !takeB || !gained.isEmpty() || !lost.isEmpty())
            change.dimensionsTouched.push_back(number);
        if (!gained.isEmpty())
            change.valuesAdded.emplace(number, std::move(gained));
        if (!lost.isEmpty())
            change.valuesRemoved.emplace(number, std::move(lost));
        if (takeA)
            ++a;
        if (takeB)
            ++b;
    }
    return change;
}

// ------------------------------------------------------------------ audit

QJsonArray factsJson(const Catalogue &catalogue, const std::vector<int> &facts)
{
    QJsonArray list;
    for (int index : facts)
        list.append(QJsonArray{catalogue.facts[size_t(index)].first,
                               catalogue.facts[size_t(index)].second});
    return list;
}

// The state of the changed keys on one side of the change, in the combined
// shape the history understands.
QJsonObject stateJson(const Catalogue &catalogue, const GrantState &state,
                      const std::vector<int> &facts, const std::vector<int> &dimensions)
{
    std::vector<int> held;
    std::set_intersection(facts.cbegin(), facts.cend(), state.facts.cbegin(), state.facts.cend(),
                          std::back_inserter(held));
    QJsonArray granted;
    QJsonObject filters;
    for (int number : dimensions) {
        const auto found = state.dimensions.find(number);
        if (found == state.dimensions.end())
            continue;
        granted.append(number);
        if (!found->second.isEmpty())
            filters.insert(QString::number(number), QJsonArray::fromStringList(found->second));
    }
    return QJsonObject{{QStringLiteral("facts"), factsJson(catalogue, held)},
                       {QStringLiteral("dimensions"), granted},
                       {QStringLiteral("filters"), filters}};
}

AuditEntry auditEntry(const Catalogue &catalogue, const PrincipalKey &key, const GrantState &from,
                      const GrantState &to, const PrincipalChange &change)
{
    std::vector<int> facts;
    std::set_union(change.factsAdded.cbegin(), change.factsAdded.cend(),
                   change.factsRemoved.cbegin(), change.factsRemoved.cend(),
                   std::back_inserter(facts));
    QJsonArray dimensions;
    for (int number : change.dimensionsTouched)
        dimensions.append(number);
    AuditEntry entry;
    entry.kind = info(key.kind).letter;
    entry.code = key.code;
    entry.items = QJsonObject{{QStringLiteral("facts"), factsJson(catalogue, facts)},
                              {QStringLiteral("dimensions"), dimensions}};
    entry.before = stateJson(catalogue, from, facts, change.dimensionsTouched);
    entry.after = stateJson(catalogue, to, facts, change.dimensionsTouched);
    return entry;
}

// ------------------------------------------------------------------ applying

/// The statements that make many principals' changes, gathered so that each
/// kind of statement runs in a few multi-row batches.
class ChangeBatch
{
public:
    void add(Principal kind, const QString &principal, const Catalogue &catalogue,
             const GrantState &from, const PrincipalChange &change)
    {
        Rows &r = m_rows[kind == Principal::Group ? 0 : 1];
        for (const auto &[number, lost] : change.valuesRemoved) {
            const auto held = from.dimensions.find(number);
            // A filter that loses every value goes in one statement.
            if (held != from.dimensions.end() && lost.size() == held->second.size()) {
                r.filterDeletes.append({principal, number});
                continue;
            }
            for (const QString &value : lost)
                r.valueDeletes.append({principal, number, value});
        }
        for (int number : change.dimensionsRemoved)
            r.dimensionDeletes.append({principal, number});
        for (int index : change.factsRemoved)
            r.factDeletes.append({principal, catalogue.facts[size_t(index)].first,
                                  catalogue.facts[size_t(index)].second});
        for (int index : change.factsAdded)
            r.factInserts.append({principal, catalogue.facts[size_t(index)].first,
                                  catalogue.facts[size_t(index)].second});
        for (int number : change.dimensionsAdded)
            r.dimensionInserts.append({principal, number});
        for (const auto &[number, gained] : change.valuesAdded)
            for (const QString &value : gained)
                r.valueInserts.append({principal, number, value});
    }

    /// Filters go before the grants they narrow are revoked, and after the
    /// grants are made: the database checks both.
    void apply(const QSqlDatabase &db) const
    {
        for (Principal kind : Kinds) {
            const KindInfo &k = info(kind);
            const Rows &r = m_rows[kind == Principal::Group ? 0 : 1];
            const auto run = [&db](const QString &sql, const QString &tuple,
                                   const QList<QVariantList> &rows) {
                db::execInBatches(db, sql, {}, tuple, rows);
            };
            const QString triple = QStringLiteral("(?,?,?)");
            const QString pair = QStringLiteral("(?,?)");
            // PostgreSQL types the parameters of a VALUES list as text, and
            // text does not compare with the integer column.
            const QString numbered = QStringLiteral("(?,CAST(? AS INTEGER))");
            const QString numberedTriple = QStringLiteral("(?,CAST(? AS INTEGER),?)");
            run(QStringLiteral("DELETE FROM %1 WHERE (%2, NRSEQUEDIME, %3) IN (VALUES %4)")
                    .arg(k.filters, k.codeColumn, k.filterValue, QStringLiteral("%1")),
                numberedTriple, r.valueDeletes);
            run(QStringLiteral("DELETE FROM %1 WHERE (%2, NRSEQUEDIME) IN (VALUES %3)")
                    .arg(k.filters, k.codeColumn, QStringLiteral("%1")),
                numbered, r.filterDeletes);
            run(QStringLiteral("DELETE FROM %1 WHERE (%2, NRSEQUEDIME) IN (VALUES %3)")
                    .arg(k.dimensions, k.codeColumn, QStringLiteral("%1")),
                numbered, r.dimensionDeletes);
            run(QStringLiteral("DELETE FROM %1 WHERE (%2, CDTABELADW, CDITEMDW) IN (VALUES %3)")
                    .arg(k.facts, k.codeColumn, QStringLiteral("%1")),
                triple, r.factDeletes);
            run(QStringLiteral("INSERT INTO %1 (%2, CDTABELADW, CDITEMDW) VALUES %3")
                    .arg(k.facts, k.codeColumn, QStringLiteral("%1")),
                triple, r.factInserts);
            run(QStringLiteral("INSERT INTO %1 (%2, NRSEQUEDIME) VALUES %3")
                    .arg(k.dimensions, k.codeColumn, QStringLiteral("%1")),
                pair, r.dimensionInserts);
            run(QStringLiteral("INSERT INTO %1 (%2, NRSEQUEDIME, %3) VALUES %4")
                    .arg(k.filters, k.codeColumn, k.filterValue, QStringLiteral("%1")),
                triple, r.valueInserts);
        }
    }

private:
    struct Rows
    {
        QList<QVariantList> valueDeletes, filterDeletes, dimensionDeletes, factDeletes;
        QList<QVariantList> factInserts, dimensionInserts, valueInserts;
    };
    Rows m_rows[2];
};

// ------------------------------------------------------------------ checks

PrincipalKey requireKey(const QString &text)
{
    const std::optional<PrincipalKey> key = parseKey(text);
    if (!key)
        throw RpcError(code::InvalidParams, badKeyMessage(text));
    return *key;
}

void requireExists(db::StatementCache &sql, const PrincipalKey &key)
{
    const KindInfo &k = info(key.kind);
    auto query = sql.run(QStringLiteral("SELECT 1 FROM %1 WHERE %2 = ?").arg(k.table, k.codeColumn),
                         {key.code});
    if (!query.next())
        throw RpcError(code::UnknownKey, unknownPrincipalMessage(key));
}

qint64 auditCount(db::StatementCache &sql)
{
    auto query = sql.run(QStringLiteral("SELECT COUNT(*) FROM %1").arg(AuditTable));
    return query.next() ? query.value(0).toLongLong() : 0;
}

} // namespace

// ------------------------------------------------------------------ staging

struct StagedDimension
{
    qint64 position = 0;
    QStringList values;
};

struct StagedPrincipal
{
    PrincipalKey key;
    qint64 position = 0;
    std::vector<int> facts;
    std::map<int, StagedDimension> dimensions;

    GrantState state() const
    {
        GrantState s;
        s.facts = facts;
        sortUnique(s.facts);
        for (const auto &[number, dimension] : dimensions) {
            QStringList values = dimension.values;
            sortUnique(values);
            s.dimensions.emplace(number, std::move(values));
        }
        return s;
    }
};

/// An import being received: its rows checked against the catalogue as they
/// come and kept, compactly, until the import is previewed or applied.
class StagedImport
{
public:
    Catalogue catalogue;
    QSet<QString> knownPrincipals;
    std::vector<StagedPrincipal> principals;
    QHash<QString, qsizetype> byKey;
    qint64 rows = 0;
    // Where item rows go: the latest principal row and its latest dimension.
    qsizetype current = -1;
    int currentDimension = -1;
};

ConnectionState::ConnectionState() = default;
ConnectionState::~ConnectionState() = default;

std::optional<TransferMode> transferModeFromName(const QString &name)
{
    if (name == QLatin1StringView("substituir"))
        return TransferMode::Replace;
    if (name == QLatin1StringView("acrescentar"))
        return TransferMode::Merge;
    return std::nullopt;
}

bool ChangeCounts::isEmpty() const
{
    return factsAdded == 0 && factsRemoved == 0 && dimensionsAdded == 0 && dimensionsRemoved == 0 &&
           valuesAdded == 0 && valuesRemoved == 0;
}

ChangeCounts &ChangeCounts::operator+=(const ChangeCounts &other)
{
    factsAdded += other.factsAdded;
    factsRemoved += other.factsRemoved;
    dimensionsAdded += other.dimensionsAdded;
    dimensionsRemoved += other.dimensionsRemoved;
    valuesAdded += other.valuesAdded;
    valuesRemoved += other.valuesRemoved;
    return *this;
}

QVariantMap ChangeCounts::toVariant() const
{
    return {{QStringLiteral("factsAdded"), factsAdded},
            {QStringLiteral("factsRemoved"), factsRemoved},
            {QStringLiteral("dimensionsAdded"), dimensionsAdded},
            {QStringLiteral("dimensionsRemoved"), dimensionsRemoved},
            {QStringLiteral("valuesAdded"), valuesAdded},
            {QStringLiteral("valuesRemoved"), valuesRemoved}};
}

Transfer::Transfer(db::StatementCache &statements, QString administrator, QString method)
    : m_sql(statements), m_db(statements.database()), m_administrator(std::move(administrator)),
      m_method(std::move(method))
{
}

// ------------------------------------------------------------------ copy

ChangeCounts Transfer::copy(const QString &source, const QString &target, TransferMode mode,
                            bool apply)
{
    const PrincipalKey from = requireKey(source);
    const PrincipalKey to = requireKey(target);
    if (from == to)
        throw RpcError(code::InvalidParams,
                       QStringLiteral("A origem e o destino são o mesmo principal (%1): não se "
                                      "copiam os acessos de um principal para ele mesmo.")
                           .arg(to.text()));
    db::Transaction transaction(m_db);
    requireExists(m_sql, from);
    requireExists(m_sql, to);
    const Catalogue catalogue = readCatalogue(m_sql);
    const GrantState incoming =
        readStates(m_sql, catalogue, from.kind, {from.code}).value(from.code);
    const GrantState current = readStates(m_sql, catalogue, to.kind, {to.code}).value(to.code);
    const GrantState result = merged(current, incoming, mode);
    const PrincipalChange change = diff(current, result);
    if (apply && !change.isEmpty()) {
        ChangeBatch batch;
        batch.add(to.kind, to.code, catalogue, current, change);
        batch.apply(m_db);
        AuditEntry entry = auditEntry(catalogue, to, current, result, change);
        entry.administrator = m_administrator;
        entry.method = m_method;
        writeAudit(m_db, entry);
        transaction.commit();
    }
    return change.counts();
}

// ------------------------------------------------------------------ export

QVariantMap Transfer::exportPage(const DataPacket &selection, const QString &after)
{
    const qint64 auditBefore = auditCount(m_sql);
    std::vector<PrincipalEntry> principals = readPrincipals(m_sql);
    if (!selection.isEmpty()) {
        const int keyColumn = selection.indexOf(QStringLiteral("CHAVE"));
        if (keyColumn < 0)
            throw RpcError(code::InvalidParams,
                           QStringLiteral("A seleção de principais não tem o campo CHAVE."));
        QSet<QString> wanted;
        for (qsizetype r = 0; r < selection.rowCount(); ++r)
            wanted.insert(selection.value(r, keyColumn));
        QSet<QString> found;
        std::erase_if(principals, [&](const PrincipalEntry &p) {
            if (!wanted.contains(p.key))
                return true;
            found.insert(p.key);
            return false;
        });
        if (found.size() != wanted.size()) {
            QStringList missing;
            for (const QString &key : std::as_const(wanted))
                if (!found.contains(key))
                    missing.append(key);
            std::sort(missing.begin(), missing.end());
            const std::optional<PrincipalKey> key = parseKey(missing.first());
            throw RpcError(key ? code::UnknownKey : code::InvalidParams,
                           key ? unknownPrincipalMessage(*key) : badKeyMessage(missing.first()));
        }
    }
    auto next =
        std::upper_bound(principals.begin(), principals.end(), after,
                         [](const QString &key, const PrincipalEntry &p) { return key < p.key; });

    // Whole principals, as many as fit the page; one alone may exceed it.
    std::vector<PrincipalEntry> page;
    qint64 rows = 0;
    while (next != principals.end() && (page.empty() || rows < PageRows)) {
        const auto batchEnd =
            next + std::min<std::ptrdiff_t>(KeysPerStatement, principals.end() - next);
        QHash<QString, qint64> sizes;
        for (Principal kind : Kinds) {
            const KindInfo &k = info(kind);
            QStringList codes;
            for (auto p = next; p != batchEnd; ++p)
                if (p->key.front() == k.letter)
                    codes.append(p->key.mid(1));
            if (codes.isEmpty())
                continue;
            for (const QString &table : {k.facts, k.dimensions, k.filters})
                selectByCodes(m_sql,
                              QStringLiteral("SELECT %1, COUNT(*) FROM %2 WHERE %1 IN (%3) "
                                             "GROUP BY %1")
                                  .arg(k.codeColumn, table, QStringLiteral("%1")),
                              codes, [&](auto &query) {
                                  sizes[k.letter + cellText(query.value(0))] +=
                                      query.value(1).toLongLong();
                              });
        }
        for (; next != batchEnd; ++next) {
            const qint64 size = 1 + sizes.value(next->key);
            if (!page.empty() && rows + size > PageRows)
                break;
            page.push_back(*next);
            rows += size;
        }
        if (next != batchEnd)
            break;
    }

    const Catalogue catalogue = readCatalogue(m_sql);
    QHash<QString, GrantState> states;
    for (Principal kind : Kinds) {
        const KindInfo &k = info(kind);
        QStringList codes;
        for (const PrincipalEntry &p : page)
            if (p.key.front() == k.letter)
                codes.append(p.key.mid(1));
        if (codes.isEmpty())
            continue;
        const QHash<QString, GrantState> read = readStates(m_sql, catalogue, kind, codes);
        for (auto it = read.cbegin(); it != read.cend(); ++it)
            states.insert(k.letter + it.key(), it.value());
    }

    DataPacket packet({{QStringLiteral("CHAVE"), 13},
                       {QStringLiteral("TIPO"), 1},
                       {QStringLiteral("CODIGO"), 30},
                       {QStringLiteral("ITEM"), FilterValueSize},
                       {QStringLiteral("NOME"), 50}});
    packet.reserve(rows);
    const QString principalRow = QStringLiteral("P");
    const QString factRow = QStringLiteral("F");
    const QString dimensionRow = QStringLiteral("D");
    const QString valueRow = QStringLiteral("V");
    for (const PrincipalEntry &p : page) {
        packet.appendRow({p.key, principalRow, QString(), QString(), p.name});
        const GrantState &state = states[p.key];
        for (int index : state.facts)
            packet.appendRow({p.key, factRow, catalogue.facts[size_t(index)].first,
                              catalogue.facts[size_t(index)].second, catalogue.factNames[index]});
        for (const auto &[number, values] : state.dimensions) {
            const QString text = QString::number(number);
            const auto dimension = catalogue.dimensions.find(number);
            packet.appendRow(
                {p.key, dimensionRow, text, QString(),
                 dimension == catalogue.dimensions.end() ? QString() : dimension->second.name});
            for (const QString &value : values)
                packet.appendRow({p.key, valueRow, text, value, QString()});
        }
    }
    const qint64 auditAfter = auditCount(m_sql);
    return {{QStringLiteral("rows"), QVariant::fromValue(packet)},
            {QStringLiteral("next"),
             next == principals.end() || page.empty() ? QVariant() : QVariant(page.back().key)},
            {QStringLiteral("audit"), QVariantList{auditBefore, auditAfter}}};
}

// ------------------------------------------------------------------ import

namespace {

[[noreturn]] void refuseRow(int errorCode, qint64 position, const QString &message)
{
    throw RpcError(errorCode, QStringLiteral("Posição %1: %2").arg(position).arg(message));
}

} // namespace

void Transfer::beginImport(ConnectionState &state)
{
    state.import.reset();
    auto staged = std::make_unique<StagedImport>();
    staged->catalogue = readCatalogue(m_sql);
    for (const PrincipalEntry &p : readPrincipals(m_sql))
        staged->knownPrincipals.insert(p.key);
    state.import = std::move(staged);
}

qint64 Transfer::stageImport(ConnectionState &state, const DataPacket &rows)
{
    if (!state.import)
        throw RpcError(code::InvalidParams,
                       QStringLiteral("Nenhuma importação em andamento nesta conexão: chame "
                                      "importaAcessosInicio antes de enviar as linhas."));
    int columns[5];
    const char *names[5] = {"POSICAO", "CHAVE", "TIPO", "CODIGO", "ITEM"};
    for (int i = 0; i < 5; ++i) {
        columns[i] = rows.indexOf(QString::fromLatin1(names[i]));
        if (columns[i] < 0) {
            state.import.reset();
            throw RpcError(code::InvalidParams,
                           QStringLiteral("O pacote da importação não tem o campo %1.")
                               .arg(QLatin1StringView(names[i])));
        }
    }
    // Any refusal drops the whole staging: the import is all or nothing.
    StagedImport &s = *state.import;
    try {
        if (s.rows + rows.rowCount() > MaxStagedRows)
            throw RpcError(code::InvalidValue,
                           QStringLiteral("A importação passa de %1 linhas, o máximo que uma "
                                          "conexão pode enviar; nada foi alterado.")
                               .arg(MaxStagedRows));
        for (qsizetype r = 0; r < rows.rowCount(); ++r) {
            const QString positionText = rows.value(r, columns[0]);
            bool numeric = !positionText.isEmpty() && positionText.size() <= 18;
            for (QChar c : positionText)
                numeric = numeric && c >= QLatin1Char('0') && c <= QLatin1Char('9');
            if (!numeric)
                throw RpcError(code::InvalidParams,
                               QStringLiteral("Linha %1 do pacote: POSICAO '%2' não é um número.")
                                   .arg(r + 1)
                                   .arg(positionText));
            const qint64 position = positionText.toLongLong();
            const QString key = rows.value(r, columns[1]);
            const QString type = rows.value(r, columns[2]);
            const QString code = rows.value(r, columns[3]);
            const QString item = rows.value(r, columns[4]);

            if (type == QLatin1StringView("P")) {
                const std::optional<PrincipalKey> parsed = parseKey(key);
                if (!parsed)
                    refuseRow(code::InvalidParams, position, badKeyMessage(key));
                if (!s.knownPrincipals.contains(key))
                    refuseRow(code::UnknownKey, position, unknownPrincipalMessage(*parsed));
                if (const auto seen = s.byKey.constFind(key); seen != s.byKey.cend())
                    refuseRow(code::InvalidParams, position,
                              QStringLiteral("o principal %1 já apareceu na posição %2.")
                                  .arg(key)
                                  .arg(s.principals[size_t(*seen)].position));
                s.byKey.insert(key, qsizetype(s.principals.size()));
                s.principals.push_back({*parsed, position, {}, {}});
                s.current = qsizetype(s.principals.size()) - 1;
                s.currentDimension = -1;
                continue;
            }
            if (s.current < 0 || s.principals[size_t(s.current)].key.text() != key)
                refuseRow(code::InvalidParams, position,
                          QStringLiteral("a linha de %1 não segue a linha do seu principal (%2).")
                              .arg(type, key));
            StagedPrincipal &principal = s.principals[size_t(s.current)];
            if (type == QLatin1StringView("F")) {
                const int index = s.catalogue.fact({code, item});
                if (index < 0)
                    refuseRow(code::UnknownKey, position,
                              QStringLiteral("Item de fato '%1' não cadastrado.")
                                  .arg(factText({code, item})));
                principal.facts.push_back(index);
            } else if (type == QLatin1StringView("D")) {
                bool ok = code.size() <= 5 && !code.isEmpty();
                for (QChar c : code)
                    ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
                const int number = ok ? code.toInt() : -1;
                if (!ok || !s.catalogue.dimensions.contains(number))
                    refuseRow(code::UnknownKey, position,
                              QStringLiteral("Dimensão '%1' não cadastrada.").arg(code));
                if (const auto seen = principal.dimensions.find(number);
                    seen != principal.dimensions.end())
                    refuseRow(code::InvalidParams, position,
                              QStringLiteral("a dimensão %1 de %2 já apareceu na posição %3.")
                                  .arg(number)
                                  .arg(key)
                                  .arg(seen->second.position));
                principal.dimensions[number].position = position;
                s.currentDimension = number;
            } else if (type == QLatin1StringView("V")) {
                if (s.currentDimension < 0 || QString::number(s.currentDimension) != code)
                    refuseRow(code::InvalidParams, position,
                              QStringLiteral("o valor de filtro não segue a linha da sua "
                                             "dimensão (%1).")
                                  .arg(code));
                const DimensionInfo &dimension = s.catalogue.dimensions[s.currentDimension];
                if (!dimension.hasValueTable)
                    refuseRow(code::InvalidValue, position,
                              QStringLiteral("A dimensão '%1' (%2) não tem tabela de valores e "
                                             "não aceita filtro.")
                                  .arg(dimension.name)
                                  .arg(s.currentDimension));
                if (item.isEmpty())
                    refuseRow(code::InvalidValue, position,
                              QStringLiteral("valor de filtro vazio."));
                const qsizetype length = characterCount(item);
                if (length > FilterValueSize)
                    refuseRow(code::InvalidValue, position,
                              QStringLiteral("O valor de filtro '%1' tem %2 caracteres; o máximo "
                                             "é %3.")
                                  .arg(item)
                                  .arg(length)
                                  .arg(FilterValueSize));
                principal.dimensions[s.currentDimension].values.append(item);
            } else {
                refuseRow(code::InvalidParams, position,
                          QStringLiteral("tipo de linha '%1' desconhecido (esperava P, F, D ou V).")
                              .arg(type));
            }
        }
    } catch (...) {
        state.import.reset();
        throw;
    }
    s.rows += rows.rowCount();
    return s.rows;
}

QVariantMap Transfer::finishImport(ConnectionState &state, TransferMode mode, bool apply)
{
    if (!state.import)
        throw RpcError(code::InvalidParams,
                       QStringLiteral("Nenhuma importação em andamento nesta conexão: chame "
                                      "importaAcessosInicio e envie as linhas antes."));
    // Applying ends the import whatever happens; a preview leaves it staged.
    std::unique_ptr<StagedImport> owned;
    if (apply)
        owned = std::move(state.import);
    const StagedImport &staged = apply ? *owned : *state.import;

    db::Transaction transaction(m_db);
    const Catalogue catalogue = readCatalogue(m_sql);
    if (!catalogue.sameKeys(staged.catalogue))
        throw RpcError(code::InvalidValue,
                       QStringLiteral("O catálogo de fatos e dimensões mudou durante a "
                                      "importação; nada foi alterado. Importe de novo."));
    QSet<QString> known;
    for (const PrincipalEntry &p : readPrincipals(m_sql))
        known.insert(p.key);
    for (const StagedPrincipal &p : staged.principals)
        if (!known.contains(p.key.text()))
            refuseRow(code::UnknownKey, p.position, unknownPrincipalMessage(p.key));

    // Principals in key order, so the answer and the audit rows are too.
    std::vector<const StagedPrincipal *> order;
    order.reserve(staged.principals.size());
    for (const StagedPrincipal &p : staged.principals)
        order.push_back(&p);
    std::sort(order.begin(), order.end(), [](const StagedPrincipal *a, const StagedPrincipal *b) {
        return a->key.text() < b->key.text();
    });
    QHash<QString, GrantState> current[2];
    for (Principal kind : Kinds) {
        QStringList codes;
        for (const StagedPrincipal *p : order)
            if (p->key.kind == kind)
                codes.append(p->key.code);
        current[kind == Principal::Group ? 0 : 1] = readStates(m_sql, catalogue, kind, codes);
    }

    DataPacket changes({{QStringLiteral("CHAVE"), 13},
                        {QStringLiteral("FATOSINCL"), 0},
                        {QStringLiteral("FATOSEXCL"), 0},
                        {QStringLiteral("DIMEINCL"), 0},
                        {QStringLiteral("DIMEEXCL"), 0},
                        {QStringLiteral("VALORESINCL"), 0},
                        {QStringLiteral("VALORESEXCL"), 0}});
    ChangeCounts totals;
    ChangeBatch batch;
    QList<AuditEntry> entries;
    for (const StagedPrincipal *p : order) {
        const GrantState &from = current[p->key.kind == Principal::Group ? 0 : 1][p->key.code];
        const GrantState to = merged(from, p->state(), mode);
        const PrincipalChange change = diff(from, to);
        if (change.isEmpty())
            continue;
        const ChangeCounts counts = change.counts();
        totals += counts;
        changes.appendRow(
            {p->key.text(), QString::number(counts.factsAdded),
             QString::number(counts.factsRemoved), QString::number(counts.dimensionsAdded),
             QString::number(counts.dimensionsRemoved), QString::number(counts.valuesAdded),
             QString::number(counts.valuesRemoved)});
        if (!apply)
            continue;
        batch.add(p->key.kind, p->key.code, catalogue, from, change);
        entries.append(auditEntry(catalogue, p->key, from, to, change));
    }
    if (apply && !entries.isEmpty()) {
        batch.apply(m_db);
        for (AuditEntry &entry : entries) {
            entry.administrator = m_administrator;
            entry.method = m_method;
            writeAudit(m_db, entry);
        }
        transaction.commit();
    }
    return {{QStringLiteral("principals"), qint64(staged.principals.size())},
            {QStringLiteral("changed"), changes.rowCount()},
            {QStringLiteral("changes"), QVariant::fromValue(changes)},
            {QStringLiteral("totals"), totals.toVariant()}};
}

} // namespace quv::server
