#pragma once

// Helpers shared by the suites on the grant grids: a screen session per test
// function over each driver, the host window shown so that focus, tab clicks
// and painting behave as for a user, and the marks the database implies for a
// principal, to hold the loaded grids against.

#include "screenfixture.h"

#include "framework/data/dataset.h"
#include "framework/widgets/dbgrid.h"
#include "tests/support/testdatabase.h"

#include <QMap>
#include <QTest>

namespace quv::test {

/// The marks of one grant row: IDCHECK, then IDPESQ and IDFILTRO for a
/// dimension, as one string ("S", "SSN"...).
using MarkMap = QMap<QString, QString>;

/// Shows the host's main window with the screen in it and waits until it is
/// exposed, so that grids have their real geometry and can take the focus.
inline bool showHost(ScreenSession &session)
{
    QWidget *window = session.host.mainForm();
    window->show();
    window->activateWindow();
    if (!QTest::qWaitForWindowExposed(window))
        return false;
    settle();
    return true;
}

inline QStringList columnOf(TDataSet *dataSet, const QString &field)
{
    QStringList values;
    const TField *f = dataSet->FieldByName(field);
    for (qsizetype row = 0; row < dataSet->RecordCount(); ++row)
        values.append(dataSet->CellText(row, f));
    return values;
}

/// The marks of every loaded row, keyed by the row's own key: "table.item"
/// for a fact, the dimension number for a dimension.
inline MarkMap loadedFactMarks(TDataSet *facts)
{
    MarkMap marks;
    const TField *table = facts->FieldByName(QStringLiteral("CDTABELADW"));
    const TField *item = facts->FieldByName(QStringLiteral("CDITEMDW"));
    const TField *check = facts->FieldByName(QStringLiteral("IDCHECK"));
    for (qsizetype row = 0; row < facts->RecordCount(); ++row)
        marks.insert(facts->CellText(row, table) + QLatin1Char('.') + facts->CellText(row, item),
                     facts->CellText(row, check));
    return marks;
}

inline MarkMap loadedDimensionMarks(TDataSet *dimensions)
{
    MarkMap marks;
    const TField *number = dimensions->FieldByName(QStringLiteral("NRSEQUEDIME"));
    QList<const TField *> flags;
    for (const char *name : {"IDCHECK", "IDPESQ", "IDFILTRO"})
        flags.append(dimensions->FieldByName(QString::fromLatin1(name)));
    for (qsizetype row = 0; row < dimensions->RecordCount(); ++row) {
        QString value;
        for (const TField *flag : std::as_const(flags))
            value += dimensions->CellText(row, flag);
        marks.insert(dimensions->CellText(row, number), value);
    }
    return marks;
}

struct PrincipalTables
{
    QString codeColumn, facts, dimensions, filters;
};

inline PrincipalTables groupTables()
{
    return {QStringLiteral("CDGRUPOPER"), QStringLiteral("ITEMDWGRUPOP"),
            QStringLiteral("DIMEDWGRUPOP"), QStringLiteral("FILDIMEGRUPOP")};
}

inline PrincipalTables operatorTables()
{
    return {QStringLiteral("CDOPERADOR"), QStringLiteral("ITEMDWOPER"),
            QStringLiteral("DIMEODWOPER"), QStringLiteral("FILDIMEOPER")};
}

/// What the grids must show for a principal, worked out from the tables
/// themselves rather than from the server's packets.
inline MarkMap expectedFactMarks(const QSqlDatabase &db, const PrincipalTables &t,
                                 const QString &code)
{
    MarkMap marks;
    for (const QStringList &row :
         rows(db, QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM ITEMDW")))
        marks.insert(row[0] + QLatin1Char('.') + row[1], QStringLiteral("N"));
    for (const QStringList &row :
         rows(db,
              QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM %1 WHERE %2 = ?")
                  .arg(t.facts, t.codeColumn),
              {code}))
        marks.insert(row[0] + QLatin1Char('.') + row[1], QStringLiteral("S"));
    return marks;
}

inline MarkMap expectedDimensionMarks(const QSqlDatabase &db, const PrincipalTables &t,
                                      const QString &code)
{
    MarkMap marks;
    const QString sql =
        QStringLiteral("SELECT d.NRSEQUEDIME, d.CDTABELADIME, "
                       "(SELECT COUNT(*) FROM %1 g WHERE g.%3 = ? AND g.NRSEQUEDIME = "
                       "d.NRSEQUEDIME), "
                       "(SELECT COUNT(*) FROM %2 f WHERE f.%3 = ? AND f.NRSEQUEDIME = "
                       "d.NRSEQUEDIME) "
                       "FROM DIMEDW d")
            .arg(t.dimensions, t.filters, t.codeColumn);
    for (const QStringList &row : rows(db, sql, {code, code})) {
        const bool granted = row[2] != QLatin1String("0");
        const bool searchable = granted && !row[1].trimmed().isEmpty();
        const bool filtered = searchable && row[3] != QLatin1String("0");
        marks.insert(row[0], QString(QLatin1Char(granted ? 'S' : 'N')) +
                                 QLatin1Char(searchable ? 'S' : 'N') +
                                 QLatin1Char(filtered ? 'S' : 'N'));
    }
    return marks;
}

} // namespace quv::test
