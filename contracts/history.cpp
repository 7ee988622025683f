#include "contracts/history.h"

#include <QLocale>

namespace quv::history {

namespace {

const QString Ellipsis = QStringLiteral("…");
const QString Minus = QStringLiteral("−");

QString count(qint64 n)
{
    static const QLocale brazil(QLocale::Portuguese, QLocale::Brazil);
    return brazil.toString(n);
}

QString values(qint64 n)
{
    return count(n) + (n == 1 ? QStringLiteral(" valor") : QStringLiteral(" valores"));
}

// Two names tell the reader what kind of keys changed; the details pane
// has the rest. Only ever called with more labels when there are more keys.
QString shortList(const QStringList &labels)
{
    if (labels.size() <= 2)
        return labels.join(QStringLiteral(", "));
    return labels.mid(0, 2).join(QStringLiteral(", ")) + QStringLiteral(", ") + Ellipsis;
}

QString lowerFirst(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

template <typename T> QStringList labelsOf(const QList<T> &list)
{
    QStringList labels;
    labels.reserve(list.size());
    for (const T &value : list)
        labels.append(value.label());
    return labels;
}

QString factsPhrase(const QString &verb, const QList<Fact> &facts, qint64 total)
{
    if (total == 1)
        return QStringLiteral("%1 o fato %2").arg(verb, facts.first().label());
    return QStringLiteral("%1 %2 fatos: %3").arg(verb, count(total), shortList(labelsOf(facts)));
}

// A filter that came or went whole with its dimension is told with the
// dimension ("e seu filtro"), not as a filter change of its own.
QString dimensionsPhrase(const QString &verb, const QList<Dimension> &dimensions,
                         const QList<const FilterChange *> &filters, bool adding)
{
    QString phrase =
        dimensions.size() == 1
            ? QStringLiteral("%1 a dimensão %2").arg(verb, dimensions.first().label())
            : QStringLiteral("%1 %2 dimensões: %3")
                  .arg(verb, count(dimensions.size()), shortList(labelsOf(dimensions)));
    if (filters.isEmpty())
        return phrase;
    qint64 total = 0;
    for (const FilterChange *f : filters)
        total += adding ? f->addedCount : f->removedCount;
    if (dimensions.size() == 1)
        return phrase + QStringLiteral(" e seu filtro (%1)").arg(values(total));
    return phrase + QStringLiteral(" e %1 (%2)")
                        .arg(filters.size() == 1
                                 ? QStringLiteral("1 filtro")
                                 : QStringLiteral("%1 filtros").arg(count(filters.size())),
                             values(total));
}

QString filterPhrase(const FilterChange &filter)
{
    QStringList parts;
    if (filter.addedCount > 0)
        parts.append(QStringLiteral("+") + count(filter.addedCount));
    if (filter.removedCount > 0)
        parts.append(Minus + count(filter.removedCount));
    const bool one = parts.size() == 1 && filter.addedCount + filter.removedCount == 1;
    return QStringLiteral("Filtro de %1: %2 %3")
        .arg(filter.dimension.label(), parts.join(QStringLiteral(", ")),
             one ? QStringLiteral("valor") : QStringLiteral("valores"));
}

bool containsNumber(const QList<Dimension> &list, int number)
{
    for (const Dimension &d : list)
        if (d.number == number)
            return true;
    return false;
}

QString principalKindLabel(QChar kind)
{
    return kind == QLatin1Char('G') ? QStringLiteral("Grupo de operadores")
                                    : QStringLiteral("Operador");
}

QString valueLine(const QString &label, qint64 total, const QStringList &shown)
{
    QString line = QStringLiteral("    %1 (%2): %3")
                       .arg(label, count(total), shown.join(QStringLiteral(", ")));
    if (total > shown.size())
        line += QStringLiteral(" e mais %1").arg(count(total - shown.size()));
    return line;
}

// ------------------------------------------------------------ variants

QVariantList factsVariant(const QList<Fact> &facts)
{
    QVariantList list;
    list.reserve(facts.size());
    for (const Fact &f : facts)
        list.append(QVariant(QVariantList{f.table, f.item, f.name}));
    return list;
}

QVariantList dimensionsVariant(const QList<Dimension> &dimensions)
{
    QVariantList list;
    list.reserve(dimensions.size());
    for (const Dimension &d : dimensions)
        list.append(QVariant(QVariantList{d.number, d.name}));
    return list;
}

bool isList(const QVariant &value)
{
    return value.metaType().id() == QMetaType::QVariantList;
}

bool isMap(const QVariant &value)
{
    return value.metaType().id() == QMetaType::QVariantMap;
}

bool isText(const QVariant &value)
{
    return value.metaType().id() == QMetaType::QString;
}

bool isInteger(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return true;
    default:
        return false;
    }
}

// Readers below return false on anything off the documented shape: a row
// that cannot be read whole is shown as unreadable, never half.
bool readFacts(const QVariant &value, QList<Fact> *facts)
{
    if (!isList(value))
        return false;
    const QVariantList list = value.toList();
    for (const QVariant &entry : list) {
        const QVariantList fields = entry.toList();
        if (!isList(entry) || fields.size() != 3 || !isText(fields[0]) || !isText(fields[1]) ||
            !isText(fields[2]))
            return false;
        facts->append({fields[0].toString(), fields[1].toString(), fields[2].toString()});
    }
    return true;
}

bool readDimension(const QVariant &value, Dimension *dimension)
{
    const QVariantList fields = value.toList();
    if (!isList(value) || fields.size() != 2 || !isInteger(fields[0]) || !isText(fields[1]))
        return false;
    *dimension = {fields[0].toInt(), fields[1].toString()};
    return true;
}

bool readDimensions(const QVariant &value, QList<Dimension> *dimensions)
{
    if (!isList(value))
        return false;
    const QVariantList list = value.toList();
    for (const QVariant &entry : list) {
        Dimension d;
        if (!readDimension(entry, &d))
            return false;
        dimensions->append(d);
    }
    return true;
}

bool readTexts(const QVariant &value, QStringList *texts)
{
    if (!isList(value))
        return false;
    const QVariantList list = value.toList();
    for (const QVariant &entry : list) {
        if (!isText(entry))
            return false;
        texts->append(entry.toString());
    }
    return true;
}

// A side's count, when given, holds at least what the side lists (and
// something whenever it lists nothing more).
bool readUnlisted(const QVariant &value, qsizetype listed, qint64 *unlisted)
{
    if (!value.isValid())
        return true;
    if (!isInteger(value) || value.toLongLong() < listed ||
        (listed == 0 && value.toLongLong() != 0))
        return false;
    *unlisted = value.toLongLong() - listed;
    return true;
}

bool readChange(const QVariantMap &map, Change *change)
{
    const QVariantMap facts = map.value(QStringLiteral("facts")).toMap();
    const QVariantMap dimensions = map.value(QStringLiteral("dimensions")).toMap();
    if (!readFacts(facts.value(QStringLiteral("added")), &change->factsAdded) ||
        !readFacts(facts.value(QStringLiteral("removed")), &change->factsRemoved) ||
        !readUnlisted(facts.value(QStringLiteral("addedCount")), change->factsAdded.size(),
                      &change->factsAddedUnlisted) ||
        !readUnlisted(facts.value(QStringLiteral("removedCount")), change->factsRemoved.size(),
                      &change->factsRemovedUnlisted) ||
        !readDimensions(dimensions.value(QStringLiteral("added")), &change->dimensionsAdded) ||
        !readDimensions(dimensions.value(QStringLiteral("removed")), &change->dimensionsRemoved))
        return false;
    const QVariant filters = map.value(QStringLiteral("filters"));
    if (!isList(filters))
        return false;
    const QVariantList list = filters.toList();
    for (const QVariant &entry : list) {
        const QVariantMap f = entry.toMap();
        FilterChange filter;
        if (!isMap(entry) ||
            !readDimension(f.value(QStringLiteral("dimension")), &filter.dimension) ||
            !isInteger(f.value(QStringLiteral("addedCount"))) ||
            !isInteger(f.value(QStringLiteral("removedCount"))) ||
            !readTexts(f.value(QStringLiteral("added")), &filter.added) ||
            !readTexts(f.value(QStringLiteral("removed")), &filter.removed))
            return false;
        filter.addedCount = f.value(QStringLiteral("addedCount")).toLongLong();
        filter.removedCount = f.value(QStringLiteral("removedCount")).toLongLong();
        change->filters.append(filter);
    }
    return true;
}

} // namespace

QString Fact::label() const
{
    return name.isEmpty() ? table + QLatin1Char('/') + item : name;
}

QString Dimension::label() const
{
    return name.isEmpty() ? QString::number(number) : name;
}

QString Entry::principalLabel() const
{
    return principalName.isEmpty() ? code : QStringLiteral("%1 (%2)").arg(principalName, code);
}

QStringList phrases(const Change &change, Voice voice)
{
    const QString grant =
        voice == Voice::Done ? QStringLiteral("Concedeu") : QStringLiteral("Conceder");
    const QString revoke =
        voice == Voice::Done ? QStringLiteral("Revogou") : QStringLiteral("Revogar");
    QStringList result;
    if (!change.factsAdded.isEmpty())
        result.append(factsPhrase(grant, change.factsAdded, change.factsAddedCount()));
    if (!change.factsRemoved.isEmpty())
        result.append(factsPhrase(revoke, change.factsRemoved, change.factsRemovedCount()));

    QList<const FilterChange *> withGranted, withRevoked, own;
    for (const FilterChange &f : change.filters) {
        if (f.removedCount == 0 && containsNumber(change.dimensionsAdded, f.dimension.number))
            withGranted.append(&f);
        else if (f.addedCount == 0 && containsNumber(change.dimensionsRemoved, f.dimension.number))
            withRevoked.append(&f);
        else
            own.append(&f);
    }
    if (!change.dimensionsAdded.isEmpty())
        result.append(dimensionsPhrase(grant, change.dimensionsAdded, withGranted, true));
    if (!change.dimensionsRemoved.isEmpty())
        result.append(dimensionsPhrase(revoke, change.dimensionsRemoved, withRevoked, false));
    for (const FilterChange *f : std::as_const(own))
        result.append(filterPhrase(*f));
    return result;
}

QString summary(const Entry &entry)
{
    QString text;
    if (!entry.change.readable) {
        text = QStringLiteral("Registro ilegível");
    } else {
        const QStringList parts = phrases(entry.change, Voice::Done);
        if (parts.isEmpty()) {
            text = QStringLiteral("Sem alteração");
        } else {
            text = parts.first();
            for (qsizetype i = 1; i < parts.size(); ++i)
                text += QStringLiteral("; ") + lowerFirst(parts[i]);
        }
    }
    if (entry.undoes > 0)
        return QStringLiteral("Desfez a alteração %1: %2").arg(entry.undoes).arg(lowerFirst(text));
    return text;
}

QString details(const Entry &entry, const QString &shownTime)
{
    QStringList lines;
    lines.append(QStringLiteral("Alteração %1, em %2, por %3 (%4)")
                     .arg(QString::number(entry.id), shownTime, entry.administrator, entry.method));
    lines.append(
        QStringLiteral("%1: %2").arg(principalKindLabel(entry.kind), entry.principalLabel()));
    if (entry.undoes > 0)
        lines.append(QStringLiteral("Desfaz a alteração %1.").arg(entry.undoes));
    lines.append(QString());
    const Change &c = entry.change;
    if (!c.readable) {
        lines.append(QStringLiteral("O registro desta alteração não pôde ser lido."));
        return lines.join(QLatin1Char('\n'));
    }
    if (c.isEmpty()) {
        lines.append(QStringLiteral("Sem alteração: a chamada não mudou nenhum acesso."));
        return lines.join(QLatin1Char('\n'));
    }
    const auto factLines = [&lines](const QString &title, const QList<Fact> &facts,
                                    qint64 unlisted) {
        if (facts.isEmpty())
            return;
        lines.append(QStringLiteral("%1 (%2):").arg(title, count(facts.size() + unlisted)));
        for (const Fact &f : facts)
            lines.append(f.name.isEmpty()
                             ? QStringLiteral("    %1/%2 (fora do catálogo)").arg(f.table, f.item)
                             : QStringLiteral("    %1 (%2/%3)").arg(f.name, f.table, f.item));
        if (unlisted > 0)
            lines.append(QStringLiteral("    e mais %1").arg(count(unlisted)));
    };
    const auto dimensionLines = [&lines](const QString &title, const QList<Dimension> &list) {
        if (list.isEmpty())
            return;
        lines.append(QStringLiteral("%1 (%2):").arg(title, count(list.size())));
        for (const Dimension &d : list)
            lines.append(d.name.isEmpty()
                             ? QStringLiteral("    %1 (fora do catálogo)").arg(d.number)
                             : QStringLiteral("    %1 (%2)").arg(d.name).arg(d.number));
    };
    factLines(QStringLiteral("Fatos concedidos"), c.factsAdded, c.factsAddedUnlisted);
    factLines(QStringLiteral("Fatos revogados"), c.factsRemoved, c.factsRemovedUnlisted);
    dimensionLines(QStringLiteral("Dimensões concedidas"), c.dimensionsAdded);
    dimensionLines(QStringLiteral("Dimensões revogadas"), c.dimensionsRemoved);
    for (const FilterChange &f : c.filters) {
        lines.append(filterPhrase(f) + QLatin1Char(':'));
        if (f.addedCount > 0)
            lines.append(valueLine(QStringLiteral("Incluídos"), f.addedCount, f.added));
        if (f.removedCount > 0)
            lines.append(valueLine(QStringLiteral("Excluídos"), f.removedCount, f.removed));
    }
    return lines.join(QLatin1Char('\n'));
}

Change inverse(const Change &change)
{
    Change back;
    back.readable = change.readable;
    back.factsAdded = change.factsRemoved;
    back.factsRemoved = change.factsAdded;
    back.factsAddedUnlisted = change.factsRemovedUnlisted;
    back.factsRemovedUnlisted = change.factsAddedUnlisted;
    back.dimensionsAdded = change.dimensionsRemoved;
    back.dimensionsRemoved = change.dimensionsAdded;
    for (const FilterChange &f : change.filters)
        back.filters.append({f.dimension, f.removedCount, f.addedCount, f.removed, f.added});
    return back;
}

namespace {

QVariantList textsVariant(const QStringList &texts)
{
    QVariantList list;
    list.reserve(texts.size());
    for (const QString &t : texts)
        list.append(t);
    return list;
}

} // namespace

QVariantMap changeToVariant(const Change &change)
{
    QVariantList filters;
    for (const FilterChange &f : change.filters)
        filters.append(QVariantMap{
            {QStringLiteral("dimension"), QVariantList{f.dimension.number, f.dimension.name}},
            {QStringLiteral("addedCount"), f.addedCount},
            {QStringLiteral("removedCount"), f.removedCount},
            {QStringLiteral("added"), textsVariant(f.added)},
            {QStringLiteral("removed"), textsVariant(f.removed)}});
    return {
        {QStringLiteral("facts"),
         QVariantMap{{QStringLiteral("added"), factsVariant(change.factsAdded)},
                     {QStringLiteral("removed"), factsVariant(change.factsRemoved)},
                     {QStringLiteral("addedCount"), change.factsAddedCount()},
                     {QStringLiteral("removedCount"), change.factsRemovedCount()}}},
        {QStringLiteral("dimensions"),
         QVariantMap{{QStringLiteral("added"), dimensionsVariant(change.dimensionsAdded)},
                     {QStringLiteral("removed"), dimensionsVariant(change.dimensionsRemoved)}}},
        {QStringLiteral("filters"), filters},
    };
}

bool changeFromVariant(const QVariantMap &map, Change *change)
{
    Change read;
    if (!readChange(map, &read))
        return false;
    *change = read;
    return true;
}

QVariantMap toVariant(const Entry &entry)
{
    QVariantMap map = changeToVariant(entry.change);
    map.insert({
        {QStringLiteral("id"), entry.id},
        {QStringLiteral("time"), entry.time},
        {QStringLiteral("administrator"), entry.administrator},
        {QStringLiteral("method"), entry.method},
        {QStringLiteral("principal"), QVariantMap{{QStringLiteral("kind"), QString(entry.kind)},
                                                  {QStringLiteral("code"), entry.code},
                                                  {QStringLiteral("name"), entry.principalName}}},
        {QStringLiteral("readable"), entry.change.readable},
        {QStringLiteral("changed"), entry.changed()},
    });
    if (entry.undoes > 0)
        map.insert(QStringLiteral("undoes"), entry.undoes);
    return map;
}

Entry entryFromVariant(const QVariant &value)
{
    Entry entry;
    entry.change.readable = false;
    if (!isMap(value))
        return entry;
    const QVariantMap map = value.toMap();
    const QVariantMap principal = map.value(QStringLiteral("principal")).toMap();
    const QString kind = principal.value(QStringLiteral("kind")).toString();
    if (!isInteger(map.value(QStringLiteral("id"))) || kind.size() != 1)
        return entry;
    entry.id = map.value(QStringLiteral("id")).toLongLong();
    entry.time = map.value(QStringLiteral("time")).toString();
    entry.administrator = map.value(QStringLiteral("administrator")).toString();
    entry.method = map.value(QStringLiteral("method")).toString();
    entry.kind = kind.front();
    entry.code = principal.value(QStringLiteral("code")).toString();
    entry.principalName = principal.value(QStringLiteral("name")).toString();
    entry.undoes = map.value(QStringLiteral("undoes")).toLongLong();
    Change change;
    if (map.value(QStringLiteral("readable")).toBool() && readChange(map, &change))
        entry.change = change;
    return entry;
}

} // namespace quv::history
