#pragma once

// The host's local copy of the server tables that screens change through the
// application server. A screen names the tables it changed; the host re-reads
// them from the shared database so that every other screen sees the change.

#include "contracts/datapacket.h"
#include "framework/exceptions.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QStringList>

#include <optional>

namespace quv::host {

/// A refresh that could not be done; the message says what in the user's
/// words, the details name the table and the driver's reason.
class CacheError : public Exception
{
public:
    using Exception::Exception;
};

class LocalCache : public QObject
{
    Q_OBJECT
public:
    struct Table
    {
        quv::DataPacket rows;
        QDateTime refreshedAt;
        qsizetype rowCount() const { return rows.rowCount(); }
    };

    /// `connectionName` names the Qt SQL connection of the shared database.
    explicit LocalCache(const QString &connectionName, QObject *parent = nullptr);

    /// The only tables the cache holds; nothing else is ever read.
    static QStringList cacheTables();
    /// What the user calls the content of these tables ("filtros dos
    /// operadores"), joined as a sentence lists them.
    static QString inWords(const QStringList &tables);

    /// Re-reads each named table, in the order given. Every name is checked
    /// before anything is read: an unknown one raises CacheError and nothing
    /// is refreshed. A table that cannot be read raises CacheError naming it;
    /// the tables before it stay refreshed and it keeps its old content.
    void refresh(const QStringList &tables);

    std::optional<Table> table(const QString &name) const;
    QString connectionName() const { return m_connectionName; }
    void setConnectionName(const QString &name) { m_connectionName = name; }

signals:
    void refreshRequested(const QStringList &tables);
    void refreshed(const QString &table);
    /// The status line that tells the user what was refreshed.
    void statusMessage(const QString &text);

private:
    quv::DataPacket read(const QString &table) const;

    QString m_connectionName;
    QHash<QString, Table> m_tables;
};

} // namespace quv::host
