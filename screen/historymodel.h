#pragma once

// The rows of the history window: pages of the audit trail, newest first,
// fetched as the view scrolls towards the end of what it has.

#include "contracts/history.h"

#include <QAbstractTableModel>
#include <QList>
#include <QString>

#include <functional>

namespace Cli_quv01000 {

class HistoryModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryModel)

public:
    enum Column
    {
        Time,
        Administrator,
        Principal,
        Summary,
        ColumnCount
    };
    enum Role
    {
        IdRole = Qt::UserRole + 1, // the change's id (qint64)
    };

    struct Page
    {
        QList<quv::history::Entry> entries;
        QString next; // the cursor of the following page; empty: none
    };
    /// Fetches the page after `cursor` (empty: the newest); raises on failure.
    using Fetcher = std::function<Page(const QString &cursor)>;

    explicit HistoryModel(QObject *parent = nullptr);

    /// Forgets every row and starts over with this fetcher, fetching the
    /// first page now. A failure is kept (error()) and reported by failed().
    void restart(Fetcher fetcher);
    /// The entry of a row, or nullptr.
    const quv::history::Entry *entry(int row) const;
    /// Puts the whole change in place of a page's row that counts facts it
    /// does not list, so that it is read once however often it is shown.
    /// Ignored unless `whole` is that row's change.
    void setWhole(int row, const quv::history::Entry &whole);
    /// Why the last fetch failed; empty after a success.
    QString error() const { return m_error; }
    /// Holds fetching off while the connection serves another call: a call
    /// waits with the event loop running, and the view may ask for rows
    /// from a timer then.
    void setPaused(bool paused) { m_paused = paused; }
    /// Local time as the list and details show it.
    static QString shownTime(const QString &utc);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;

signals:
    void failed(const QString &message);

private:
    Fetcher m_fetch;
    QList<quv::history::Entry> m_rows;
    QStringList m_summaries; // worded once per row, not at every paint
    QString m_cursor;
    bool m_atEnd = true;
    bool m_fetching = false;
    bool m_paused = false;
    QString m_error;
};

} // namespace Cli_quv01000
