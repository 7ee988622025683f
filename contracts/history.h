#pragma once

// One change of grants as the history shows it: what a call added and
// removed, with the names the catalog gives those keys when the history is
// read. The server builds it from the audit trail and sends it as data
// (getHistorico); the history window and `quv-server audit` word it the same
// way, in Portuguese, through the functions below.

#include <QChar>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace quv::history {

/// How many values of each side of a filter change a history row carries
/// (the counts are always whole).
inline constexpr int ShownValues = 20;
/// How many facts of each side a row of a history page lists: a toggle-all
/// names every fact of the warehouse, and a page of such rows named whole
/// would cost more than the list needs. The whole change is read one row
/// at a time (getAlteracao).
inline constexpr int ShownFacts = 20;

/// The method an undo is recorded under in the audit trail.
inline constexpr QLatin1StringView UndoMethod{"desfazAlteracao"};

struct Fact
{
    QString table;
    QString item;
    QString name; // empty when the item left the catalog
    /// The name, or "TABLE/ITEM" for an item no longer in the catalog.
    QString label() const;
    bool operator==(const Fact &) const = default;
};

struct Dimension
{
    int number = 0;
    QString name; // empty when the dimension left the catalog
    /// The name, or the number for a dimension no longer in the catalog.
    QString label() const;
    bool operator==(const Dimension &) const = default;
};

struct FilterChange
{
    Dimension dimension;
    qint64 addedCount = 0;
    qint64 removedCount = 0;
    QStringList added; // the first ShownValues added values, in order
    QStringList removed;
    bool operator==(const FilterChange &) const = default;
};

struct Change
{
    QList<Fact> factsAdded, factsRemoved;
    /// Facts of each side beyond those listed (a row of a history page).
    qint64 factsAddedUnlisted = 0, factsRemovedUnlisted = 0;
    QList<Dimension> dimensionsAdded, dimensionsRemoved;
    QList<FilterChange> filters;
    /// False when the audit row could not be read as any known shape.
    bool readable = true;

    bool isEmpty() const
    {
        return factsAdded.isEmpty() && factsRemoved.isEmpty() && dimensionsAdded.isEmpty() &&
               dimensionsRemoved.isEmpty() && filters.isEmpty();
    }
    qint64 factsAddedCount() const { return factsAdded.size() + factsAddedUnlisted; }
    qint64 factsRemovedCount() const { return factsRemoved.size() + factsRemovedUnlisted; }
    /// False when some facts are counted but not listed.
    bool isWhole() const { return factsAddedUnlisted == 0 && factsRemovedUnlisted == 0; }
    bool operator==(const Change &) const = default;
};

/// One row of the history.
struct Entry
{
    qint64 id = 0;
    QString time; // UTC, yyyy-MM-ddTHH:mm:ss.zzzZ
    QString administrator;
    QString method;
    QChar kind; // 'G' group, 'O' operator
    QString code;
    QString principalName; // empty when the principal left the database
    qint64 undoes = 0;     // the id an undo row took back, else 0
    Change change;

    bool changed() const { return change.readable && !change.isEmpty(); }
    /// "G01" or "OJSILVA".
    QString principalKey() const { return kind + code; }
    /// "Diretoria (01)", or the code alone when the name is unknown.
    QString principalLabel() const;
    bool operator==(const Entry &) const = default;
};

/// Whether a phrase says what a change did, or what taking it back will do.
enum class Voice
{
    Done, // "Concedeu o fato Margem Bruta"
    ToDo, // "Conceder o fato Margem Bruta"
};

/// One phrase per part of the change (facts granted, facts revoked,
/// dimensions granted, dimensions revoked, filter changes), in that order;
/// empty for a change that changed nothing.
QStringList phrases(const Change &change, Voice voice);
/// The one-line summary: the phrases joined, "Sem alteração" when nothing
/// changed, and the undone id first on an undo row.
QString summary(const Entry &entry);
/// The whole change, one key per line, for a details pane. `shownTime` is
/// the entry's time as the reader should see it.
QString details(const Entry &entry, const QString &shownTime);
/// The change that takes `change` back: every addition becomes a removal
/// and the reverse.
Change inverse(const Change &change);

/// The entry as it travels in getHistorico's result, and back. A value that
/// is not an entry gives an entry with an unreadable change and id 0.
QVariantMap toVariant(const Entry &entry);
Entry entryFromVariant(const QVariant &value);

/// A readable change alone, as its entry carries it ("facts", "dimensions",
/// "filters"), and back; false (and `change` untouched) for anything else.
QVariantMap changeToVariant(const Change &change);
bool changeFromVariant(const QVariantMap &map, Change *change);

} // namespace quv::history
