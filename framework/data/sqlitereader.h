#pragma once

// Rows of a SQLite statement read through SQLite's own interface, on the
// handle of a connection the Qt driver opened.
//
// The loaders read whole dimensions: ten million rows through the Qt driver
// take about twice what SQLite itself needs, each cell going through a
// QVariant and UTF-16 and back to the UTF-8 the database already holds.
// Cells come out as the driver would have given them as text (see Utf8()),
// and statements run with the driver's connection settings (busy timeout,
// read-only open), since the handle is the driver's own.

#include <QByteArray>
#include <QByteArrayView>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

struct sqlite3;
struct sqlite3_stmt;

class TSqliteReader
{
public:
    /// The handle of `db` when rows can be read through it here: an open
    /// SQLite connection whose driver uses the very SQLite library this
    /// program links (a driver built with a copy of its own cannot share a
    /// handle). Null otherwise; the caller reads through the driver then.
    static sqlite3 *Handle(const QSqlDatabase &db);
    /// True when every value can be bound the way the driver binds it.
    static bool Binds(const QVariantList &values);

    explicit TSqliteReader(sqlite3 *handle) : m_db(handle) {}
    ~TSqliteReader();
    TSqliteReader(const TSqliteReader &) = delete;
    TSqliteReader &operator=(const TSqliteReader &) = delete;

    /// Prepares one statement with positional "?" placeholders and binds
    /// the values; false with Error() set when it cannot run.
    bool Exec(const QString &sql, const QVariantList &binds);
    /// True when the statement gives rows (has columns).
    bool IsSelect() const { return ColumnCount() > 0; }
    int ColumnCount() const;
    QString ColumnName(int column) const;
    /// The next row; false at the end or on an error (Error() set then).
    bool Next();
    bool IsNull(int column) const;
    /// The cell as the driver's QVariant would give it as text, in UTF-8:
    /// text and blobs as stored (invalid UTF-8 replaced as the driver
    /// replaces it), numbers in the form QVariant::toString() writes.
    /// Valid until the next call.
    QByteArrayView Utf8(int column);
    QString Error() const { return m_error; }
    bool Failed() const { return !m_error.isEmpty(); }
    /// Releases the statement now: a read given up half-way.
    void Finish();

private:
    void fail(const char *what);

    sqlite3 *m_db;
    sqlite3_stmt *m_stmt = nullptr;
    QString m_error;
    QByteArray m_scratch;
};
