#include "server/history.h"

#include "contracts/controleacesso.h"
#include "contracts/wire.h"
#include "db/dialect.h"
#include "server/rpcerror.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlQuery>

#include <algorithm>

namespace quv::server {

namespace code = wire::code;

const PrincipalTables &PrincipalTables::of(QChar kind)
{
    static const PrincipalTables group{QStringLiteral("GRUPOPER"),
                                       QStringLiteral("CDGRUPOPER"),
                                       QStringLiteral("DSGRUPOPER"),
                                       QString(rdm::table::FactGrantGroup),
                                       QString(rdm::table::DimensionGrantGroup),
                                       QString(rdm::table::FilterGroup),
                                       QStringLiteral("CDFILDIMEGRUPOP"),
                                       QStringLiteral("Grupo de operadores")};
    static const PrincipalTables oper{QStringLiteral("OPERADOR"),
                                      QStringLiteral("CDOPERADOR"),
                                      QStringLiteral("NMOPERADOR"),
                                      QString(rdm::table::FactGrantOperator),
                                      QString(rdm::table::DimensionGrantOperator),
                                      QString(rdm::table::FilterOperator),
                                      QStringLiteral("CDFILDIMEOPER"),
                                      QStringLiteral("Operador")};
    return kind == QLatin1Char('G') ? group : oper;
}

namespace {

// ------------------------------------------------------- reading a row

bool readFacts(const QJsonValue &value, QSet<FactKey> *facts)
{
    if (value.isUndefined())
        return true;
    if (!value.isArray())
        return false;
    // A toggle-all names every fact of the warehouse, and a page of the
    // history reads fifty such rows: each value is taken once.
    const QJsonArray list = value.toArray();
    facts->reserve(facts->size() + list.size());
    for (const QJsonValueConstRef entry : list) {
        if (!entry.isArray())
            return false;
        const QJsonArray pair = entry.toArray();
        if (pair.size() != 2)
            return false;
        const QJsonValue table = pair.at(0), item = pair.at(1);
        if (!table.isString() || !item.isString())
            return false;
        facts->insert({table.toString(), item.toString()});
    }
    return true;
}

bool readNumber(const QJsonValue &value, int *number)
{
    const double d = value.toDouble(-1);
    if (!value.isDouble() || d < 0 || d > 99999 || d != double(int(d)))
        return false;
    *number = int(d);
    return true;
}

bool readNumbers(const QJsonValue &value, QSet<int> *numbers)
{
    if (value.isUndefined())
        return true;
    if (!value.isArray())
        return false;
    const QJsonArray list = value.toArray();
    for (const QJsonValue &entry : list) {
        int n = 0;
        if (!readNumber(entry, &n))
            return false;
        numbers->insert(n);
    }
    return true;
}

bool readValues(const QJsonValue &value, QSet<QString> *values)
{
    if (!value.isArray())
        return false;
    const QJsonArray list = value.toArray();
    for (const QJsonValue &entry : list) {
        if (!entry.isString())
            return false;
        values->insert(entry.toString());
    }
    return true;
}

bool readFilters(const QJsonValue &value, QHash<int, QSet<QString>> *filters)
{
    if (value.isUndefined())
        return true;
    if (!value.isObject())
        return false;
    const QJsonObject map = value.toObject();
    for (auto it = map.begin(); it != map.end(); ++it) {
        bool ok = false;
        const int number = it.key().toInt(&ok);
        QSet<QString> values;
        if (!ok || number < 0 || !readValues(it.value(), &values))
            return false;
        if (!values.isEmpty())
            (*filters)[number] = values;
    }
    return true;
}

void restrictTo(GrantState *state, const RecordedChange &keys)
{
    state->facts.intersect(keys.factKeys);
    state->dimensions.intersect(keys.dimensionKeys);
    for (auto it = state->filters.begin(); it != state->filters.end();)
        it = keys.filterKeys.contains(it.key()) ? std::next(it) : state->filters.erase(it);
}

bool readShape(const AuditEntry &entry, RecordedChange *r)
{
    const QJsonObject before = entry.before.toObject();
    const QJsonObject after = entry.after.toObject();
    if (!entry.before.isObject() || !entry.after.isObject())
        return false;
    const QString facts = QStringLiteral("facts");
    const QString dimensions = QStringLiteral("dimensions");
    const QString filters = QStringLiteral("filters");
    const QString granted = QStringLiteral("granted");
    const QString values = QStringLiteral("values");

    if (entry.items.isObject()) {
        // Combined: facts and dimensions, with the filters of those
        // dimensions.
        const QJsonObject items = entry.items.toObject();
        if (!readFacts(items.value(facts), &r->factKeys) ||
            !readNumbers(items.value(dimensions), &r->dimensionKeys))
            return false;
        r->filterKeys = r->dimensionKeys;
        for (const auto &[json, state] : {std::pair{&before, &r->before}, {&after, &r->after}})
            if (!readFacts(json->value(facts), &state->facts) ||
                !readNumbers(json->value(dimensions), &state->dimensions) ||
                !readFilters(json->value(filters), &state->filters))
                return false;
        return true;
    }
    if (before.contains(values)) {
        // One dimension's filter.
        QSet<int> items;
        if (!readNumbers(entry.items, &items) || items.size() != 1)
            return false;
        const int number = *items.cbegin();
        r->filterKeys = items;
        for (const auto &[json, state] : {std::pair{&before, &r->before}, {&after, &r->after}}) {
            QSet<QString> set;
            if (!readValues(json->value(values), &set))
                return false;
            if (!set.isEmpty())
                state->filters[number] = set;
        }
        return true;
    }
    if (before.contains(filters) || after.contains(filters)) {
        // Dimension grants; a revoke takes the filter with it.
        if (!readNumbers(entry.items, &r->dimensionKeys) || !entry.items.isArray())
            return false;
        r->filterKeys = r->dimensionKeys;
        for (const auto &[json, state] : {std::pair{&before, &r->before}, {&after, &r->after}})
            if (!readNumbers(json->value(granted), &state->dimensions) ||
                !readFilters(json->value(filters), &state->filters))
                return false;
        return true;
    }
    if (before.contains(granted)) {
        if (!readFacts(entry.items, &r->factKeys) || !entry.items.isArray())
            return false;
        for (const auto &[json, state] : {std::pair{&before, &r->before}, {&after, &r->after}})
            if (!readFacts(json->value(granted), &state->facts))
                return false;
        return true;
    }
    return false;
}

// ------------------------------------------------------------- names

// Keys go to the database in slices of a fixed size, the last one padded
// with a key no row has: one statement text per lookup, prepared once and
// kept, where a list of each length would be prepared afresh at every page
// (three round trips each on PostgreSQL).
constexpr int LookupSlice = 64;

using Row = db::StatementCache::Statement;

void lookUp(db::StatementCache &sql, const QString &sqlTemplate, const QString &tuple,
            const QVariantList &padding, const QList<QVariantList> &keys,
            const std::function<void(Row &)> &row)
{
    const QString statement =
        sqlTemplate.arg(QStringList(LookupSlice, tuple).join(QLatin1Char(',')));
    for (qsizetype start = 0; start < keys.size(); start += LookupSlice) {
        QVariantList values;
        for (qsizetype i = start; i < start + LookupSlice; ++i)
            values += i < keys.size() ? keys[i] : padding;
        auto query = sql.run(statement, values);
        while (query.next())
            row(query);
    }
}

const QString FactNames = QStringLiteral("SELECT CDTABELADW, CDITEMDW, NMITEMDW FROM ITEMDW WHERE "
                                         "(CDTABELADW, CDITEMDW) IN (VALUES %1)");
const QString DimensionNames =
    QStringLiteral("SELECT NRSEQUEDIME, NMITEMDIME FROM DIMEDW WHERE NRSEQUEDIME IN (%1)");
const QVariantList NoFact{QString(), QString()};
const QVariantList NoDimension{-1};

/// The names the catalog gives the keys of some entries now.
struct NameBook
{
    QHash<FactKey, QString> facts;
    QHash<int, QString> dimensions;
    QHash<QString, QString> principals; // by "G01"

    void load(db::StatementCache &sql, const QList<history::Entry> &entries)
    {
        QSet<FactKey> wantedFacts;
        QSet<int> wantedDimensions;
        QHash<QChar, QSet<QString>> wantedPrincipals;
        for (const history::Entry &e : entries) {
            wantedPrincipals[e.kind].insert(e.code);
            for (const QList<history::Fact> *side : {&e.change.factsAdded, &e.change.factsRemoved})
                for (const history::Fact &f : *side)
                    wantedFacts.insert({f.table, f.item});
            for (const QList<history::Dimension> *side :
                 {&e.change.dimensionsAdded, &e.change.dimensionsRemoved})
                for (const history::Dimension &d : *side)
                    wantedDimensions.insert(d.number);
            for (const history::FilterChange &f : e.change.filters)
                wantedDimensions.insert(f.dimension.number);
        }
        QList<QVariantList> keys;
        for (const FactKey &k : std::as_const(wantedFacts))
            keys.append({k.first, k.second});
        lookUp(sql, FactNames, QStringLiteral("(?,?)"), NoFact, keys, [this](Row &q) {
            facts.insert({q.value(0).toString(), q.value(1).toString()}, q.value(2).toString());
        });
        keys.clear();
        for (int n : std::as_const(wantedDimensions))
            keys.append(QVariantList{n});
        lookUp(sql, DimensionNames, QStringLiteral("?"), NoDimension, keys,
               [this](Row &q) { dimensions.insert(q.value(0).toInt(), q.value(1).toString()); });
        for (auto it = wantedPrincipals.cbegin(); it != wantedPrincipals.cend(); ++it) {
            if (it.key() != QLatin1Char('G') && it.key() != QLatin1Char('O'))
                continue;
            const PrincipalTables &t = PrincipalTables::of(it.key());
            keys.clear();
            for (const QString &c : it.value())
                keys.append(QVariantList{c});
            const QChar kind = it.key();
            lookUp(sql,
                   QStringLiteral("SELECT %1, %2 FROM %3 WHERE %1 IN (%4)")
                       .arg(t.codeColumn, t.nameColumn, t.principals, QStringLiteral("%1")),
                   QStringLiteral("?"), {QString()}, keys, [this, kind](Row &q) {
                       principals.insert(kind + q.value(0).toString(), q.value(1).toString());
                   });
        }
    }

    void name(history::Entry *e) const
    {
        e->principalName = principals.value(e->principalKey());
        for (QList<history::Fact> *side : {&e->change.factsAdded, &e->change.factsRemoved})
            for (history::Fact &f : *side)
                f.name = facts.value({f.table, f.item});
        for (QList<history::Dimension> *side :
             {&e->change.dimensionsAdded, &e->change.dimensionsRemoved})
            for (history::Dimension &d : *side)
                d.name = dimensions.value(d.number);
        for (history::FilterChange &f : e->change.filters)
            f.dimension.name = dimensions.value(f.dimension.number);
    }

    /// Names every entry with a few lookups per kind of key.
    static void nameAll(db::StatementCache &sql, QList<history::Entry> *entries)
    {
        NameBook book;
        book.load(sql, *entries);
        for (history::Entry &e : *entries)
            book.name(&e);
    }
};

/// A row's own fields, as an entry with no change yet.
history::Entry headerOf(const AuditEntry &row)
{
    history::Entry e;
    e.id = row.id;
    e.time = row.time;
    e.administrator = row.administrator;
    e.method = row.method;
    e.kind = row.kind;
    e.code = row.code;
    e.undoes = row.undoes;
    return e;
}

/// What a row changed, unnamed, listing up to `listedFacts` facts of each
/// side (every one when negative) and counting the rest.
history::Change changeOf(const RecordedChange &recorded, const Delta &d, int listedFacts)
{
    history::Change c;
    c.readable = recorded.readable;
    if (!c.readable)
        return c;
    const auto listed = [listedFacts](const QList<FactKey> &side) {
        return listedFacts < 0 ? side : side.mid(0, listedFacts);
    };
    for (const FactKey &k : listed(d.factsAdded))
        c.factsAdded.append({k.first, k.second, {}});
    for (const FactKey &k : listed(d.factsRemoved))
        c.factsRemoved.append({k.first, k.second, {}});
    c.factsAddedUnlisted = d.factsAdded.size() - c.factsAdded.size();
    c.factsRemovedUnlisted = d.factsRemoved.size() - c.factsRemoved.size();
    for (int n : d.dimensionsAdded)
        c.dimensionsAdded.append(history::Dimension{n, {}});
    for (int n : d.dimensionsRemoved)
        c.dimensionsRemoved.append(history::Dimension{n, {}});
    for (const Delta::Filter &f : d.filters)
        c.filters.append({{f.dimension, {}},
                          f.added.size(),
                          f.removed.size(),
                          f.added.mid(0, history::ShownValues),
                          f.removed.mid(0, history::ShownValues)});
    return c;
}

// -------------------------------------------------------- text search

QString folded(const QString &text)
{
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString out;
    out.reserve(decomposed.size());
    for (QChar c : decomposed)
        if (c.category() != QChar::Mark_NonSpacing)
            out.append(c);
    return out.toCaseFolded();
}

constexpr int MaxTextLength = 100;
constexpr int MaxTextPrincipals = 1000;
constexpr int MaxTextKeys = 200;

/// The rows whose principal, or one of whose keys, bears `text` in its
/// name: a condition on AUDITORIA with its values, or nothing at all when no
/// name bears it. The trail keeps codes, so names are matched here first,
/// accents and case aside.
std::optional<std::pair<QString, QVariantList>> textCondition(const QSqlDatabase &db,
                                                              const QString &text)
{
    const QString wanted = folded(text);
    QStringList conditions;
    QVariantList values;
    qsizetype principalsFound = 0;
    for (QChar kind : {QLatin1Char('G'), QLatin1Char('O')}) {
        const PrincipalTables &t = PrincipalTables::of(kind);
        QSqlQuery q = db::run(
            db,
            QStringLiteral("SELECT %1, %2 FROM %3").arg(t.codeColumn, t.nameColumn, t.principals));
        QVariantList codes;
        while (q.next()) {
            const QString c = q.value(0).toString();
            if (folded(q.value(1).toString()).contains(wanted) || folded(c).contains(wanted))
                codes.append(c);
        }
        principalsFound += codes.size();
        if (codes.isEmpty() || principalsFound > MaxTextPrincipals)
            continue;
        conditions.append(QStringLiteral("(TPPRINCIPAL = '%1' AND CDPRINCIPAL IN (%2))")
                              .arg(kind)
                              .arg(QStringList(codes.size(), QStringLiteral("?")).join(u',')));
        values += codes;
    }

    // Where the items of a row hold a key: facts as ["TABLE","ITEM"],
    // dimensions as bare numbers in a list.
    const QString contains = db::Dialect::of(db).isSqlite()
                                 ? QStringLiteral("instr(DSITENS, ?) > 0")
                                 : QStringLiteral("strpos(DSITENS, ?) > 0");
    qsizetype keysFound = 0;
    QSqlQuery items =
        db::run(db, QStringLiteral("SELECT CDTABELADW, CDITEMDW, NMITEMDW FROM ITEMDW"));
    while (items.next())
        if (folded(items.value(2).toString()).contains(wanted) && ++keysFound <= MaxTextKeys) {
            conditions.append(contains);
            values.append(
                compactJson(QJsonArray{items.value(0).toString(), items.value(1).toString()}));
        }
    QSqlQuery dimensions =
        db::run(db, QStringLiteral("SELECT NRSEQUEDIME, NMITEMDIME FROM DIMEDW"));
    while (dimensions.next())
        if (folded(dimensions.value(1).toString()).contains(wanted) && ++keysFound <= MaxTextKeys) {
            const QString n = dimensions.value(0).toString();
            for (const QString &pattern : {QStringLiteral("[%1,"), QStringLiteral(",%1,"),
                                           QStringLiteral(",%1]"), QStringLiteral("[%1]")}) {
                conditions.append(contains);
                values.append(pattern.arg(n));
            }
        }
    if (principalsFound > MaxTextPrincipals || keysFound > MaxTextKeys)
        throw RpcError(code::InvalidParams,
                       QStringLiteral("O texto '%1' aparece no nome de %2 grupos ou operadores e "
                                      "de %3 fatos ou dimensões; a busca aceita até %4 e %5. Use "
                                      "um texto mais específico.")
                           .arg(text)
                           .arg(principalsFound)
                           .arg(keysFound)
                           .arg(MaxTextPrincipals)
                           .arg(MaxTextKeys));
    if (conditions.isEmpty())
        return std::nullopt;
    return std::pair{QLatin1Char('(') + conditions.join(QStringLiteral(" OR ")) + QLatin1Char(')'),
                     values};
}

// ---------------------------------------------------------- arguments

[[noreturn]] void badArgument(int index, const QString &name, const QString &expected,
                              const QString &received)
{
    throw RpcError(code::InvalidParams,
                   QStringLiteral("Argumento %1 (%2) de 'getHistorico' deve ser %3; recebeu '%4'.")
                       .arg(index)
                       .arg(name, expected, received.left(60)));
}

qint64 positiveNumber(const QString &text, qint64 max)
{
    if (text.isEmpty() || text.size() > 18)
        return -1;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
    const qint64 n = text.toLongLong();
    return n >= 1 && n <= max ? n : -1;
}

} // namespace

RecordedChange recordedChange(const AuditEntry &entry)
{
    RecordedChange r;
    if (!readShape(entry, &r))
        return RecordedChange();
    restrictTo(&r.before, r);
    restrictTo(&r.after, r);
    r.readable = true;
    return r;
}

QSet<FactKey> Delta::facts() const
{
    QSet<FactKey> set(factsAdded.cbegin(), factsAdded.cend());
    for (const FactKey &k : factsRemoved)
        set.insert(k);
    return set;
}

QSet<int> Delta::dimensions() const
{
    QSet<int> set(dimensionsAdded.cbegin(), dimensionsAdded.cend());
    for (int n : dimensionsRemoved)
        set.insert(n);
    for (const Filter &f : filters)
        set.insert(f.dimension);
    return set;
}

QJsonObject Delta::side(bool added) const
{
    QJsonArray factList;
    for (const FactKey &k : added ? factsAdded : factsRemoved)
        factList.append(QJsonArray{k.first, k.second});
    QJsonArray dimensionList;
    for (int n : added ? dimensionsAdded : dimensionsRemoved)
        dimensionList.append(n);
    QJsonObject filterMap;
    for (const Filter &f : filters)
        if (!(added ? f.added : f.removed).isEmpty())
            filterMap.insert(QString::number(f.dimension),
                             QJsonArray::fromStringList(added ? f.added : f.removed));
    return {{QStringLiteral("facts"), factList},
            {QStringLiteral("dimensions"), dimensionList},
            {QStringLiteral("filters"), filterMap}};
}

namespace {

/// What `from` holds and `other` does not, the first `sortedPrefix` (all
/// when negative) sorted; without copying `from`, which for a toggle-all is
/// every fact of the warehouse.
template <typename T>
QList<T> sortedMinus(const QSet<T> &from, const QSet<T> &other, int sortedPrefix = AllFacts)
{
    QList<T> list;
    for (const T &key : from)
        if (!other.contains(key))
            list.append(key);
    if (sortedPrefix >= 0 && sortedPrefix < list.size())
        std::partial_sort(list.begin(), list.begin() + sortedPrefix, list.end());
    else
        std::sort(list.begin(), list.end());
    return list;
}

} // namespace

Delta deltaOf(const RecordedChange &change, int sortedFacts)
{
    Delta d;
    d.factsAdded = sortedMinus(change.after.facts, change.before.facts, sortedFacts);
    d.factsRemoved = sortedMinus(change.before.facts, change.after.facts, sortedFacts);
    d.dimensionsAdded = sortedMinus(change.after.dimensions, change.before.dimensions);
    d.dimensionsRemoved = sortedMinus(change.before.dimensions, change.after.dimensions);
    for (int n : sorted(change.filterKeys)) {
        const QSet<QString> before = change.before.filters.value(n);
        const QSet<QString> after = change.after.filters.value(n);
        Delta::Filter f{n, sortedMinus(after, before), sortedMinus(before, after)};
        if (!f.added.isEmpty() || !f.removed.isEmpty())
            d.filters.append(f);
    }
    return d;
}

QSet<FactKey> factsInCatalog(db::StatementCache &sql, const QSet<FactKey> &keys)
{
    QList<QVariantList> list;
    for (const FactKey &k : keys)
        list.append({k.first, k.second});
    QSet<FactKey> found;
    lookUp(sql, FactNames, QStringLiteral("(?,?)"), NoFact, list, [&found](Row &q) {
        found.insert({q.value(0).toString(), q.value(1).toString()});
    });
    return found;
}

QSet<int> dimensionsInCatalog(db::StatementCache &sql, const QSet<int> &numbers)
{
    QList<QVariantList> list;
    for (int n : numbers)
        list.append(QVariantList{n});
    QSet<int> found;
    lookUp(sql, DimensionNames, QStringLiteral("?"), NoDimension, list,
           [&found](Row &q) { found.insert(q.value(0).toInt()); });
    return found;
}

QList<DescribedEntry> describeAudit(const QSqlDatabase &db, const QList<AuditEntry> &rows)
{
    db::StatementCache statements(db);
    return describeAudit(statements, rows);
}

QList<DescribedEntry> describeAudit(db::StatementCache &sql, const QList<AuditEntry> &rows,
                                    int listedFacts)
{
    QList<history::Entry> entries;
    QList<DescribedEntry> described;
    entries.reserve(rows.size());
    described.reserve(rows.size());
    for (const AuditEntry &row : rows) {
        const RecordedChange change = recordedChange(row);
        DescribedEntry d{row, deltaOf(change, listedFacts), headerOf(row)};
        d.entry.change = changeOf(change, d.delta, listedFacts);
        entries.append(d.entry);
        described.append(d);
    }
    NameBook::nameAll(sql, &entries);
    for (qsizetype i = 0; i < described.size(); ++i)
        described[i].entry = entries[i];
    return described;
}

namespace {

QString summaryText(const history::Change &change)
{
    return compactJson(QJsonObject::fromVariantMap(history::changeToVariant(change)));
}

} // namespace

QString filterStoredSummary(int dimension, const QStringList &before, const QStringList &after)
{
    // The two lists walked together: hashing a million values of each side
    // would cost a tenth of the store.
    history::FilterChange f{{dimension, {}}, 0, 0, {}, {}};
    const auto note = [](const QString &value, qint64 *count, QStringList *shown) {
        if (++*count <= history::ShownValues)
            shown->append(value);
    };
    qsizetype i = 0, j = 0;
    while (i < before.size() || j < after.size()) {
        if (j == after.size() || (i < before.size() && before[i] < after[j]))
            note(before[i++], &f.removedCount, &f.removed);
        else if (i == before.size() || after[j] < before[i])
            note(after[j++], &f.addedCount, &f.added);
        else
            ++i, ++j;
    }
    history::Change change;
    if (f.addedCount > 0 || f.removedCount > 0)
        change.filters.append(f);
    return summaryText(change);
}

QString storedSummary(const AuditEntry &entry)
{
    const RecordedChange change = recordedChange(entry);
    if (!change.readable)
        return {};
    return summaryText(changeOf(change, deltaOf(change, history::ShownFacts), history::ShownFacts));
}

namespace {

// A row written by this server carries its change as a page shows it
// (DSRESUMO). Its items and states, which for a toggle-all name every fact
// of the warehouse, are read only for a row without one.
const QString PageColumns = QStringLiteral(
    "IDAUDITORIA, DTAUDITORIA, NMADMINISTRADOR, NMMETODO, TPPRINCIPAL, CDPRINCIPAL, "
    "CASE WHEN DSRESUMO IS NULL THEN DSITENS END, CASE WHEN DSRESUMO IS NULL THEN DSANTES END, "
    "CASE WHEN DSRESUMO IS NULL THEN DSDEPOIS END, IDAUDITORIADESFEITA, DSRESUMO");
constexpr int PageColumnSummary = 10;

bool readSummary(const QString &json, history::Change *change)
{
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    return document.isObject() &&
           history::changeFromVariant(document.object().toVariantMap(), change);
}

std::optional<AuditEntry> auditRowById(db::StatementCache &sql, qint64 id)
{
    auto q = sql.run(QStringLiteral("SELECT ") + AuditRowColumns +
                         QStringLiteral(" FROM AUDITORIA WHERE IDAUDITORIA = ?"),
                     {id});
    if (!q.next())
        return std::nullopt;
    return auditEntryAt(q);
}

} // namespace

AuditEntry auditRow(db::StatementCache &sql, qint64 id)
{
    std::optional<AuditEntry> row = auditRowById(sql, id);
    if (!row)
        throw RpcError(code::UnknownKey,
                       QStringLiteral("A alteração %1 não existe no histórico.").arg(id));
    return *std::move(row);
}

HistoryPage readHistory(db::StatementCache &sql, const HistoryQuery &query)
{
    const QSqlDatabase &db = sql.database();
    QStringList conditions;
    QVariantList values;
    if (query.before > 0) {
        conditions.append(QStringLiteral("IDAUDITORIA < ?"));
        values << query.before;
    }
    if (!query.principal.isEmpty()) {
        conditions.append(QStringLiteral("TPPRINCIPAL = ? AND CDPRINCIPAL = ?"));
        values << query.principal.left(1) << query.principal.mid(1);
    }
    if (!query.administrator.isEmpty()) {
        conditions.append(QStringLiteral("NMADMINISTRADOR = ?"));
        values << query.administrator;
    }
    if (!query.since.isEmpty()) {
        conditions.append(QStringLiteral("DTAUDITORIA >= ?"));
        values << query.since;
    }
    if (!query.until.isEmpty()) {
        conditions.append(QStringLiteral("DTAUDITORIA <= ?"));
        values << query.until;
    }
    const QString text = query.text.trimmed();
    if (!text.isEmpty()) {
        const auto condition = textCondition(db, text);
        if (!condition)
            return {};
        conditions.append(condition->first);
        values += condition->second;
    }
    QString statement = QStringLiteral("SELECT ") + PageColumns + QStringLiteral(" FROM AUDITORIA");
    if (!conditions.isEmpty())
        statement += QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));
    statement += QStringLiteral(" ORDER BY IDAUDITORIA DESC LIMIT ?");
    values << query.limit + 1;

    QList<std::pair<AuditEntry, QString>> rows; // with the stored summary
    const auto take = [&rows](const auto &q) {
        rows.append({auditEntryAt(q), q.value(PageColumnSummary).toString()});
    };
    if (text.isEmpty()) {
        // A few fixed statements: worth keeping prepared.
        auto q = sql.run(statement, values);
        while (q.next())
            take(q);
    } else {
        QSqlQuery q = db::run(db, statement, values);
        while (q.next())
            take(q);
    }
    HistoryPage page;
    if (rows.size() > query.limit) {
        rows.removeLast();
        page.next = rows.last().first.id;
    }
    page.entries.reserve(rows.size());
    for (auto &[row, summary] : rows) {
        history::Entry entry = headerOf(row);
        if (summary.isEmpty() || !readSummary(summary, &entry.change)) {
            // Written before summaries were kept (or by an older server), or
            // a summary this server cannot read: worked out from the row.
            if (!summary.isEmpty())
                row = auditRowById(sql, row.id).value_or(row);
            const RecordedChange change = recordedChange(row);
            entry.change =
                changeOf(change, deltaOf(change, history::ShownFacts), history::ShownFacts);
        }
        page.entries.append(entry);
    }
    NameBook::nameAll(sql, &page.entries);
    return page;
}

QVariant historyPayload(db::StatementCache &sql, const QVariantList &params)
{
    const auto text = [&params](int i) { return params.value(i).toString(); };
    HistoryQuery query;
    query.principal = text(0);
    if (!query.principal.isEmpty() && (query.principal.size() < 2 || query.principal.size() > 13 ||
                                       (query.principal.front() != QLatin1Char('G') &&
                                        query.principal.front() != QLatin1Char('O'))))
        badArgument(1, QStringLiteral("chave do principal"),
                    QStringLiteral("vazio, G seguido do código do grupo ou O seguido do código do "
                                   "operador"),
                    query.principal);
    query.administrator = text(1);
    for (int i : {2, 3}) {
        const QString given = text(i);
        if (given.isEmpty())
            continue;
        QString time = normalisedTime(given);
        if (time.isEmpty())
            badArgument(i + 1, i == 2 ? QStringLiteral("desde") : QStringLiteral("até"),
                        QStringLiteral("vazio ou uma data ISO-8601 (2024-05-31 ou "
                                       "2024-05-31T13:45:00Z)"),
                        given);
        // A bare closing date takes in that whole day.
        if (i == 3 && QDate::fromString(given, Qt::ISODate).isValid())
            time.replace(QStringLiteral("00:00:00.000"), QStringLiteral("23:59:59.999"));
        (i == 2 ? query.since : query.until) = time;
    }
    query.text = text(4);
    if (query.text.size() > MaxTextLength)
        badArgument(5, QStringLiteral("texto"),
                    QStringLiteral("um texto de até %1 caracteres").arg(MaxTextLength), query.text);
    if (!text(5).isEmpty()) {
        query.before = positiveNumber(text(5), std::numeric_limits<qint64>::max());
        if (query.before < 0)
            badArgument(6, QStringLiteral("cursor"),
                        QStringLiteral("vazio ou o número da última alteração lida"), text(5));
    }
    query.limit = DefaultHistoryPage;
    if (!text(6).isEmpty()) {
        query.limit = int(positiveNumber(text(6), MaxHistoryPage));
        if (query.limit < 0)
            badArgument(7, QStringLiteral("quantidade"),
                        QStringLiteral("vazio ou um número de 1 a %1").arg(MaxHistoryPage),
                        text(6));
    }

    const HistoryPage page = readHistory(sql, query);
    QVariantList rows;
    rows.reserve(page.entries.size());
    for (const history::Entry &e : page.entries)
        rows.append(history::toVariant(e));
    return QVariantMap{
        {QStringLiteral("rows"), rows},
        {QStringLiteral("next"), page.next > 0 ? QString::number(page.next) : QString()}};
}

QVariant changePayload(db::StatementCache &sql, const QString &idText)
{
    const qint64 id = positiveNumber(idText, std::numeric_limits<qint64>::max());
    if (id < 0)
        throw RpcError(code::InvalidParams,
                       QStringLiteral("Argumento 1 (alteração) de 'getAlteracao' deve ser o número "
                                      "de uma alteração do histórico; recebeu '%1'.")
                           .arg(idText.left(60)));
    const QList<AuditEntry> rows{auditRow(sql, id)};
    return history::toVariant(describeAudit(sql, rows).constFirst().entry);
}

} // namespace quv::server
