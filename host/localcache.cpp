#include "localcache.h"

#include "contracts/controleacesso.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

namespace quv::host {

namespace {
QString unreadable(const QString &table)
{
    return QStringLiteral("A alteração foi gravada, mas o cache local de %1 não pôde ser "
                          "atualizado a partir do banco de dados compartilhado. As outras telas "
                          "podem mostrar dados antigos até a próxima atualização.")
        .arg(LocalCache::inWords({table}));
}
} // namespace

LocalCache::LocalCache(const QString &connectionName, QObject *parent)
    : QObject(parent), m_connectionName(connectionName)
{
}

QStringList LocalCache::cacheTables()
{
    namespace t = quv::rdm::table;
    return {t::FactGrantGroup,         t::FactGrantOperator, t::DimensionGrantGroup,
            t::DimensionGrantOperator, t::FilterGroup,       t::FilterOperator};
}

QString LocalCache::inWords(const QStringList &tables)
{
    namespace t = quv::rdm::table;
    static const QHash<QString, QString> words = {
        {t::FactGrantGroup, QStringLiteral("fatos dos grupos")},
        {t::FactGrantOperator, QStringLiteral("fatos dos operadores")},
        {t::DimensionGrantGroup, QStringLiteral("dimensões dos grupos")},
        {t::DimensionGrantOperator, QStringLiteral("dimensões dos operadores")},
        {t::FilterGroup, QStringLiteral("filtros dos grupos")},
        {t::FilterOperator, QStringLiteral("filtros dos operadores")},
    };
    QStringList said;
    for (const QString &table : tables) {
        const QString word = words.value(table, table);
        if (!said.contains(word))
            said << word;
    }
    if (said.size() < 2)
        return said.join(QString());
    const QString last = said.takeLast();
    return said.join(QStringLiteral(", ")) + QStringLiteral(" e ") + last;
}

void LocalCache::refresh(const QStringList &tables)
{
    // The statement is built from our own list, never from the caller's text:
    // the name given only selects one of the known entries.
    const QStringList known = cacheTables();
    QStringList canonical;
    canonical.reserve(tables.size());
    for (const QString &name : tables) {
        const qsizetype index = known.indexOf(name);
        if (index < 0)
            throw CacheError(QStringLiteral("Erro interno: a tela pediu para atualizar no cache "
                                            "local uma tabela que não faz parte dele."),
                             QStringLiteral("tabela '%1' fora do cache local (conhecidas: %2)")
                                 .arg(name, known.join(u", ")));
        canonical << known.at(index);
    }

    emit refreshRequested(canonical);
    for (const QString &name : std::as_const(canonical)) {
        Table entry;
        entry.rows = read(name);
        entry.refreshedAt = QDateTime::currentDateTimeUtc();
        m_tables.insert(name, std::move(entry));
        emit refreshed(name);
    }
    if (!canonical.isEmpty())
        emit statusMessage(QStringLiteral("Cache local atualizado: %1").arg(inWords(canonical)));
}

std::optional<LocalCache::Table> LocalCache::table(const QString &name) const
{
    const auto it = m_tables.constFind(name);
    if (it == m_tables.constEnd())
        return std::nullopt;
    return *it;
}

quv::DataPacket LocalCache::read(const QString &table) const
{
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    if (!db.isValid() || !db.isOpen())
        throw CacheError(QStringLiteral("A alteração foi gravada, mas o cache local de %1 não foi "
                                        "atualizado: o banco de dados compartilhado não está "
                                        "aberto. Verifique a configuração do banco de dados e "
                                        "reinicie o QUV.")
                             .arg(inWords({table})),
                         QStringLiteral("cache local, tabela %1: conexão '%2' fechada")
                             .arg(table, m_connectionName));

    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT * FROM ") + table))
        throw CacheError(
            unreadable(table),
            QStringLiteral("cache local, tabela %1: %2").arg(table, query.lastError().text()));

    const QSqlRecord record = query.record();
    QList<quv::FieldDef> fields;
    fields.reserve(record.count());
    for (int i = 0; i < record.count(); ++i)
        fields.append({record.fieldName(i).toUpper(), 0});
    quv::DataPacket rows(fields);
    while (query.next()) {
        for (int i = 0; i < record.count(); ++i)
            rows.appendCell(query.isNull(i) ? QString() : query.value(i).toString());
        rows.endRow();
    }
    if (query.lastError().isValid())
        throw CacheError(
            unreadable(table),
            QStringLiteral("cache local, tabela %1: %2").arg(table, query.lastError().text()));
    return rows;
}

} // namespace quv::host
