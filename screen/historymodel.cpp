#include "screen/historymodel.h"

#include "framework/exceptions.h"

#include <QDateTime>

namespace Cli_quv01000 {

using quv::history::Entry;

HistoryModel::HistoryModel(QObject *parent) : QAbstractTableModel(parent) {}

void HistoryModel::restart(Fetcher fetcher)
{
    beginResetModel();
    m_fetch = std::move(fetcher);
    m_rows.clear();
    m_summaries.clear();
    m_cursor.clear();
    m_atEnd = !m_fetch;
    m_error.clear();
    endResetModel();
    fetchMore({});
}

const Entry *HistoryModel::entry(int row) const
{
    return row >= 0 && row < m_rows.size() ? &m_rows[row] : nullptr;
}

void HistoryModel::setWhole(int row, const Entry &whole)
{
    if (row >= 0 && row < m_rows.size() && m_rows[row].id == whole.id && whole.change.isWhole())
        m_rows[row] = whole;
}

QString HistoryModel::shownTime(const QString &utc)
{
    const QDateTime time = QDateTime::fromString(utc, Qt::ISODateWithMs);
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"))
                          : utc;
}

int HistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int HistoryModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const
{
    const Entry *e = index.isValid() ? entry(index.row()) : nullptr;
    if (!e)
        return {};
    if (role == IdRole)
        return e->id;
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    switch (index.column()) {
    case Time:
        return shownTime(e->time);
    case Administrator:
        return e->administrator;
    case Principal:
        return QString((e->kind == QLatin1Char('G') ? QStringLiteral("Grupo: ")
                                                    : QStringLiteral("Operador: ")) +
                       e->principalLabel());
    case Summary:
        return m_summaries.value(index.row());
    default:
        return {};
    }
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Time:
        return QStringLiteral("Data e hora");
    case Administrator:
        return QStringLiteral("Administrador");
    case Principal:
        return QStringLiteral("Principal");
    case Summary:
        return QStringLiteral("Alteração");
    default:
        return {};
    }
}

bool HistoryModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && !m_atEnd && !m_fetching && !m_paused;
}

void HistoryModel::fetchMore(const QModelIndex &parent)
{
    if (!canFetchMore(parent))
        return;
    Page page;
    m_fetching = true;
    try {
        page = m_fetch(m_cursor);
    } catch (const Exception &e) {
        m_error = e.Message();
    } catch (const std::exception &e) {
        m_error = QString::fromUtf8(e.what());
    }
    m_fetching = false;
    if (!m_error.isEmpty()) {
        // The view asks again whenever it scrolls to the end: stop until the
        // user starts over, or the same failure would repeat at every wheel
        // turn.
        m_atEnd = true;
        emit failed(m_error);
        return;
    }
    m_cursor = page.next;
    m_atEnd = page.next.isEmpty();
    if (page.entries.isEmpty())
        return;
    beginInsertRows({}, int(m_rows.size()), int(m_rows.size() + page.entries.size()) - 1);
    for (const Entry &e : std::as_const(page.entries)) {
        m_rows.append(e);
        m_summaries.append(quv::history::summary(e));
    }
    endInsertRows();
}

} // namespace Cli_quv01000
