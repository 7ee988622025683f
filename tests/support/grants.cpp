#include "tests/support/grants.h"

#include "db/sql.h"
#include "tests/support/testdatabase.h"

#include <QTest>

namespace quv::test {

namespace {

struct Tables
{
    QString code, facts, dimensions, filters, value;
};

Tables tablesOf(const QString &key)
{
    if (key.startsWith(u'G'))
        return {QStringLiteral("CDGRUPOPER"), QStringLiteral("ITEMDWGRUPOP"),
                QStringLiteral("DIMEDWGRUPOP"), QStringLiteral("FILDIMEGRUPOP"),
                QStringLiteral("CDFILDIMEGRUPOP")};
    return {QStringLiteral("CDOPERADOR"), QStringLiteral("ITEMDWOPER"),
            QStringLiteral("DIMEODWOPER"), QStringLiteral("FILDIMEOPER"),
            QStringLiteral("CDFILDIMEOPER")};
}

} // namespace

void setGrants(const QSqlDatabase &db, const QString &key, const Grants &grants)
{
    const Tables t = tablesOf(key);
    const QString code = key.mid(1);
    db::Transaction transaction(db);
    for (const QString &table : {t.filters, t.dimensions, t.facts})
        db::run(db, QStringLiteral("DELETE FROM %1 WHERE %2 = ?").arg(table, t.code), {code});
    for (const QString &fact : grants.facts)
        db::run(db,
                QStringLiteral("INSERT INTO %1 (%2, CDTABELADW, CDITEMDW) VALUES (?, ?, ?)")
                    .arg(t.facts, t.code),
                {code, fact.section(u'/', 0, 0), fact.section(u'/', 1)});
    for (auto it = grants.dimensions.cbegin(); it != grants.dimensions.cend(); ++it) {
        db::run(db,
                QStringLiteral("INSERT INTO %1 (%2, NRSEQUEDIME) VALUES (?, ?)")
                    .arg(t.dimensions, t.code),
                {code, it.key()});
        for (const QString &value : it.value())
            db::run(db,
                    QStringLiteral("INSERT INTO %1 (%2, NRSEQUEDIME, %3) VALUES (?, ?, ?)")
                        .arg(t.filters, t.code, t.value),
                    {code, it.key(), value});
    }
    transaction.commit();
}

Grants grantsOf(const QSqlDatabase &db, const QString &key)
{
    const Tables t = tablesOf(key);
    const QString code = key.mid(1);
    Grants grants;
    for (const QStringList &row :
         rows(db,
              QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM %1 WHERE %2 = ?")
                  .arg(t.facts, t.code),
              {code}))
        grants.facts.append(row[0] + u'/' + row[1]);
    for (const QStringList &row :
         rows(db,
              QStringLiteral("SELECT NRSEQUEDIME FROM %1 WHERE %2 = ?").arg(t.dimensions, t.code),
              {code}))
        grants.dimensions[row[0].toInt()];
    for (const QStringList &row : rows(db,
                                       QStringLiteral("SELECT NRSEQUEDIME, %1 FROM %2 WHERE %3 = ?")
                                           .arg(t.value, t.filters, t.code),
                                       {code}))
        grants.dimensions[row[0].toInt()].append(row[1]);
    grants.facts.sort();
    for (QStringList &values : grants.dimensions)
        values.sort();
    return grants;
}

QStringList allGrants(const QSqlDatabase &db)
{
    QStringList lines;
    for (const char *kind : {"G", "O"}) {
        const Tables t = tablesOf(QLatin1StringView(kind));
        const QString facts =
            QStringLiteral("SELECT %1, CDTABELADW || '/' || CDITEMDW FROM %2").arg(t.code, t.facts);
        const QString dimensions = QStringLiteral("SELECT %1, CAST(NRSEQUEDIME AS VARCHAR(5)) "
                                                  "FROM %2")
                                       .arg(t.code, t.dimensions);
        const QString values =
            QStringLiteral("SELECT %1, CAST(NRSEQUEDIME AS VARCHAR(5)) || '=' || %2 FROM %3")
                .arg(t.code, t.value, t.filters);
        for (const QString &sql : {facts, dimensions, values})
            for (const QStringList &row : rows(db, sql))
                lines.append(QLatin1StringView(kind) + row[0] + u' ' + row[1]);
    }
    lines.sort();
    return lines;
}

char *toString(const Grants &grants)
{
    QStringList dimensions;
    for (auto it = grants.dimensions.cbegin(); it != grants.dimensions.cend(); ++it)
        dimensions.append(QString::number(it.key()) + u'[' + it.value().join(u',') + u']');
    return QTest::toString(QStringLiteral("facts {%1} dimensions {%2}")
                               .arg(grants.facts.join(u','), dimensions.join(u' ')));
}

} // namespace quv::test
