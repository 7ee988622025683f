#pragma once

#include "contracts/datapacket.h"
#include "db/sql.h"

#include <QJsonValue>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <memory>

namespace quv::server {

/// A database value as a cell: a NULL is the empty string, whatever its
/// column's type (a NULL integer would otherwise read as "0").
QString cellText(const QVariant &value);
/// Characters as a user counts them (a surrogate pair is one), for the
/// 50-character limit of a filter value.
qsizetype characterCount(const QString &text);

enum class Principal
{
    Group,
    Operator
};

/// The grants and filters of the warehouse, read and changed on one database
/// connection. It keeps nothing between calls: every answer comes from the
/// database, and every change is one transaction that either happens whole
/// or not at all. Failures raise RpcError with the code and message the
/// client gets.
class AccessControl
{
public:
    explicit AccessControl(QSqlDatabase db)
        : m_db(std::move(db)), m_ownStatements(std::make_unique<db::StatementCache>(m_db)),
          m_sql(*m_ownStatements)
    {
    }
    /// Every change is written to the audit trail as made by `administrator`
    /// through `method`, in the change's own transaction.
    AccessControl(QSqlDatabase db, QString administrator, QString method)
        : m_db(std::move(db)), m_ownStatements(std::make_unique<db::StatementCache>(m_db)),
          m_sql(*m_ownStatements), m_administrator(std::move(administrator)),
          m_method(std::move(method))
    {
    }
    /// On statements kept prepared across calls (a server's connection).
    AccessControl(db::StatementCache &statements, QString administrator, QString method)
        : m_db(statements.database()), m_sql(statements), m_administrator(std::move(administrator)),
          m_method(std::move(method))
    {
    }

    /// Every fact item with the principal's grant columns, by item name.
    DataPacket facts(Principal kind, const QString &code) const;
    /// Every dimension with the principal's grant and filter columns, by name.
    DataPacket dimensions(Principal kind, const QString &code) const;

    /// Grants or revokes one fact item; returns the fresh facts packet.
    DataPacket setFactGrant(Principal kind, const QString &table, const QString &item,
                            const QString &code, bool grant);
    /// Grants or revokes one dimension (a revoke drops its filter too);
    /// returns the fresh dimensions packet.
    DataPacket setDimensionGrant(Principal kind, const QString &number, const QString &code,
                                 bool grant);
    /// Grants or revokes every fact item the packet names.
    DataPacket setFactGrants(Principal kind, const QString &code, const DataPacket &rows,
                             bool grant);
    /// Grants or revokes every dimension the packet names; revoking drops
    /// their filters.
    DataPacket setDimensionGrants(Principal kind, const QString &code, const DataPacket &rows,
                                  bool grant);

    /// The rows of a dimension's value search. Only the exact search text of
    /// a catalogued dimension is accepted; anything else is refused unrun.
    DataPacket searchValues(const QString &statement) const;
    /// The stored filter of a principal ("G<code>" or "O<code>") on a
    /// dimension as "_v_w_" ("" when none).
    QString filterList(const QString &principalKey, const QString &number) const;
    /// Makes the stored filter exactly the set of non-empty ITENS of the
    /// packet (no value removes it).
    void replaceFilter(const DataPacket &rows, Principal kind);

    /// The statements behind the reads, for measuring them bare beside the
    /// methods. Each takes the principal's code as its bound values ("?").
    static QString factsSql(Principal principal);
    static QString dimensionsSql(Principal principal);
    /// The value search of a dimension, in the one form a client may send.
    static QString searchSql(const QString &table, const QString &key, const QString &description);

private:
    /// Writes one audit row; every change goes through here.
    /// `summary`: the history's summary when the caller knows it (see
    /// AuditEntry::summary); null: worked out from the row.
    void audit(Principal kind, const QString &code, const QJsonValue &items,
               const QJsonValue &before, const QJsonValue &after,
               const QString &summary = {}) const;

    QSqlDatabase m_db;
    std::unique_ptr<db::StatementCache> m_ownStatements;
    db::StatementCache &m_sql;
    QString m_administrator;
    QString m_method;
};

} // namespace quv::server
