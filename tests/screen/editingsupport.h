#pragma once

// Shared by the grant editing suites: the screen opened in a shown window so
// that window-system input reaches its grids, the user's mouse and keyboard
// on those grids, dialogs answered from a script, and the grants read back
// from the database.

#include "screenfixture.h"

#include "framework/widgets/busy.h"
#include "framework/widgets/controls.h"
#include "framework/widgets/dbgrid.h"
#include "tests/support/testdatabase.h"

#include <QAbstractButton>
#include <QApplication>
#include <QHeaderView>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPointer>
#include <QSqlDatabase>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <functional>

namespace quv::test::editing {

using Cli_quv01000::TfrmControleAcesso;

enum class Kind
{
    Group,
    Operator
};

inline Kind kindOf(const QString &page)
{
    return page == QLatin1StringView("group") ? Kind::Group : Kind::Operator;
}

// ------------------------------------------------------------ the database

struct GrantTables
{
    QString facts;
    QString dimensions;
    QString filters;
    QString codeColumn;
    QString filterColumn;
};

inline GrantTables tablesOf(Kind kind)
{
    if (kind == Kind::Group)
        return {QStringLiteral("ITEMDWGRUPOP"), QStringLiteral("DIMEDWGRUPOP"),
                QStringLiteral("FILDIMEGRUPOP"), QStringLiteral("CDGRUPOPER"),
                QStringLiteral("CDFILDIMEGRUPOP")};
    return {QStringLiteral("ITEMDWOPER"), QStringLiteral("DIMEODWOPER"),
            QStringLiteral("FILDIMEOPER"), QStringLiteral("CDOPERADOR"),
            QStringLiteral("CDFILDIMEOPER")};
}

inline QStringList firstColumn(const QList<QStringList> &table)
{
    QStringList values;
    for (const QStringList &row : table)
        values.append(row.value(0));
    return values;
}

/// The principal's fact grants as "TABLE/ITEM", sorted.
inline QStringList factGrants(const QSqlDatabase &db, Kind kind, const QString &code)
{
    const GrantTables t = tablesOf(kind);
    QStringList grants;
    for (const QStringList &row :
         rows(db,
              QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM %1 WHERE %2 = ?")
                  .arg(t.facts, t.codeColumn),
              {code}))
        grants.append(row.value(0) + QLatin1Char('/') + row.value(1));
    grants.sort();
    return grants;
}

/// The principal's dimension grants (dimension numbers), in number order.
inline QList<int> dimensionGrants(const QSqlDatabase &db, Kind kind, const QString &code)
{
    const GrantTables t = tablesOf(kind);
    QList<int> numbers;
    for (const QString &value :
         firstColumn(rows(db,
                          QStringLiteral("SELECT NRSEQUEDIME FROM %1 WHERE %2 = ?")
                              .arg(t.dimensions, t.codeColumn),
                          {code})))
        numbers.append(value.toInt());
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

/// The principal's filter values on one dimension, sorted.
inline QStringList filterValues(const QSqlDatabase &db, Kind kind, const QString &code,
                                int dimension)
{
    const GrantTables t = tablesOf(kind);
    QStringList values =
        firstColumn(rows(db,
                         QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ? AND NRSEQUEDIME = ?")
                             .arg(t.filterColumn, t.filters, t.codeColumn),
                         {code, dimension}));
    values.sort();
    return values;
}

inline qint64 filterCount(const QSqlDatabase &db, Kind kind, const QString &code)
{
    const GrantTables t = tablesOf(kind);
    return count(
        db, QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 = ?").arg(t.filters, t.codeColumn),
        {code});
}

/// Every grant and filter row of every other principal of the same kind: a
/// change meant for one principal must leave this as it was.
inline QString othersGrants(const QSqlDatabase &db, Kind kind, const QString &code)
{
    const GrantTables t = tablesOf(kind);
    QString text;
    const QList<std::pair<QString, const char *>> tables = {
        {t.facts, "1, 2, 3"}, {t.dimensions, "1, 2"}, {t.filters, "1, 2, 3"}};
    for (const auto &[table, order] : tables)
        for (const QStringList &row :
             rows(db,
                  QStringLiteral("SELECT * FROM %1 WHERE %2 <> ? ORDER BY %3")
                      .arg(table, t.codeColumn, QLatin1StringView(order)),
                  {code}))
            text += table + QLatin1Char(':') + row.join(QLatin1Char('|')) + QLatin1Char('\n');
    return text;
}

/// The database fingerprint without the audit trail, which records even a
/// request that changed nothing.
inline QString grantsFingerprint(const QSqlDatabase &db)
{
    QString kept;
    bool audit = false;
    const QStringList lines = fingerprint(db).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1StringView("== ")))
            audit = line == QLatin1StringView("== AUDITORIA");
        if (!audit)
            kept += line + QLatin1Char('\n');
    }
    return kept;
}

/// Removes every grant and filter of the principal (arranging a "nothing
/// granted" start without depending on how the demo data is made).
inline void revokeEverything(const QSqlDatabase &db, Kind kind, const QString &code)
{
    const GrantTables t = tablesOf(kind);
    for (const QString &table : {t.filters, t.dimensions, t.facts})
        rows(db, QStringLiteral("DELETE FROM %1 WHERE %2 = ?").arg(table, t.codeColumn), {code});
}

// ------------------------------------------------------------- the screen

/// Opens the screen inside a shown host window, maximized in it unless told
/// otherwise: the grids get their real geometry and events injected through
/// the window system reach the widget under the pointer. Null when the window
/// never became exposed.
inline TfrmControleAcesso *openShown(ScreenSession &session, bool maximized = true)
{
    TfrmControleAcesso *form = session.open();
    if (!form)
        return nullptr;
    QWidget *main = session.host.mainForm();
    main->show();
    if (!QTest::qWaitForWindowExposed(main))
        return nullptr;
    if (QMdiSubWindow *sub = form->subWindow(); sub && maximized)
        sub->showMaximized();
    settle();
    return form;
}

inline TClientDataSet *factsOf(TfrmControleAcesso *form, Kind kind)
{
    return kind == Kind::Group ? form->cdsFatoOperGrup : form->cdsFatoOperOper;
}

inline TClientDataSet *dimensionsOf(TfrmControleAcesso *form, Kind kind)
{
    return kind == Kind::Group ? form->cdsDimeOperGrup : form->cdsDimeOperOper;
}

inline TDBGrid *factGridOf(TfrmControleAcesso *form, Kind kind)
{
    return kind == Kind::Group ? form->dbgFatosGrup : form->dbgFatosOper;
}

inline TDBGrid *dimensionGridOf(TfrmControleAcesso *form, Kind kind)
{
    return kind == Kind::Group ? form->dbgDimeGrup : form->dbgDimeOper;
}

/// Shows the principal's page and puts its list on the principal, which
/// loads the principal's grants as moving the list does. False when the
/// principal is not in the list.
inline bool selectPrincipal(TfrmControleAcesso *form, Kind kind, const QString &code)
{
    const bool group = kind == Kind::Group;
    form->pgcPadrao->SetActivePage(group ? form->tshFolhaDados : form->tshFormulario);
    TADOIBQuery *list = group ? form->qryOperGrup : form->qryOperOper;
    const bool found =
        list->Locate(group ? QStringLiteral("CDGRUPOPER") : QStringLiteral("CDOPERADOR"),
                     QVariant(code), TLocateOptions());
    settle();
    return found;
}

/// The row (0-based) whose key fields hold these values, read without moving
/// the dataset; -1 when there is none.
inline int rowOf(TDataSet *dataSet, const QStringList &fields, const QStringList &values)
{
    QList<const TField *> keys;
    for (const QString &name : fields)
        keys.append(dataSet->FieldByName(name));
    for (qsizetype row = 0; row < dataSet->RecordCount(); ++row) {
        bool all = true;
        for (qsizetype k = 0; k < keys.size() && all; ++k)
            all = dataSet->CellText(row, keys[k]) == values[k];
        if (all)
            return int(row);
    }
    return -1;
}

inline int factRow(TDataSet *facts, const QString &table, const QString &item)
{
    return rowOf(facts, {QStringLiteral("CDTABELADW"), QStringLiteral("CDITEMDW")}, {table, item});
}

inline int dimensionRow(TDataSet *dimensions, int number)
{
    return rowOf(dimensions, {QStringLiteral("NRSEQUEDIME")}, {QString::number(number)});
}

/// The value of a field on a row, read without moving the dataset.
inline QString cell(TDataSet *dataSet, int row, const QString &field)
{
    return dataSet->CellText(row, dataSet->FieldByName(field));
}

/// The value of a field on the current record.
inline QString current(TDataSet *dataSet, const QString &field)
{
    return dataSet->FieldByName(field)->AsString();
}

/// The centre of a data cell in viewport coordinates, scrolled into view.
inline QPoint cellCentre(TDBGrid *grid, int row, int column)
{
    grid->scrollTo(grid->model()->index(row, column));
    return grid->CellRect(row, column).center();
}

/// Makes a cell the grid's current one the way the arrow keys would, without
/// a click (a click is itself an input under test).
inline void placeCursor(TDBGrid *grid, int row, int column)
{
    grid->setFocus(Qt::OtherFocusReason);
    grid->setCurrentIndex(grid->model()->index(row, column));
    settle();
}

inline void clickCell(TDBGrid *grid, int row, int column)
{
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cellCentre(grid, row, column));
    settle();
}

/// A double click as the window system delivers one: press, release, press,
/// release, which Qt turns into a click followed by a double click. False
/// when the grid has no window to inject into.
inline bool doubleClickCell(TDBGrid *grid, int row, int column)
{
    const QPoint at = cellCentre(grid, row, column);
    QWindow *window = grid->window()->windowHandle();
    if (!window)
        return false;
    QTest::mouseDClick(window, Qt::LeftButton, {},
                       window->mapFromGlobal(grid->viewport()->mapToGlobal(at)));
    settle();
    return true;
}

inline void pressKey(TDBGrid *grid, Qt::Key key)
{
    QTest::keyClick(grid, key);
    settle();
}

/// The tooltip of a column's title: what the grid's header shows when the
/// pointer rests on it.
inline QString titleHint(TDBGrid *grid, int column)
{
    return grid->model()->headerData(column, Qt::Horizontal, Qt::ToolTipRole).toString();
}

/// A click on the title of a column.
inline void clickTitle(TDBGrid *grid, int column)
{
    QHeaderView *header = grid->horizontalHeader();
    const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                    header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    settle();
}

/// The toggle keys the screen holds, sorted; empty while the set is closed.
inline QStringList toggleKeys(TfrmControleAcesso *form)
{
    QStringList keys;
    TDataSet *set = form->cdsTestaCheck;
    if (!set->Active())
        return keys;
    const TField *field = set->FieldByName(QStringLiteral("CDCODIGOPAI"));
    for (qsizetype row = 0; row < set->RecordCount(); ++row)
        keys.append(set->CellText(row, field));
    keys.sort();
    return keys;
}

inline QStringList setCalls(const QStringList &calls)
{
    QStringList changes;
    for (const QString &call : calls)
        if (call.startsWith(QLatin1StringView("set")))
            changes.append(call);
    return changes;
}

// ---------------------------------------------------------------- dialogs

/// Answers the modal dialogs that open, in order, from a script. Every dialog
/// is recorded with its text and with whether the busy indicator was showing
/// while it was open. A dialog the script did not expect is closed (which
/// declines it) and recorded, so an unexpected question fails the test
/// instead of hanging it.
class DialogScript : public QObject
{
public:
    struct Seen
    {
        QString objectName;
        QString text;
        bool busyWhileOpen = false;
    };

    DialogScript()
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }

    /// The next dialog is answered with the button of that object name;
    /// `before` runs on the dialog first (to change marks in a list).
    void expect(const QString &button, std::function<void(QWidget *)> before = {})
    {
        m_steps.append({button, std::move(before)});
    }

    QList<Seen> seen;
    int unexpected = 0;

private:
    struct Step
    {
        QString button;
        std::function<void(QWidget *)> before;
    };

    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == m_last)
            return;
        m_last = modal;
        Seen s;
        s.objectName = modal->objectName();
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            s.text = box->text();
        s.busyWhileOpen = ShowAviActive();
        seen.append(s);
        if (m_steps.isEmpty()) {
            ++unexpected;
            modal->close();
            return;
        }
        const Step step = m_steps.takeFirst();
        if (step.before)
            step.before(modal);
        if (auto *button = modal->findChild<QAbstractButton *>(step.button))
            button->click();
        else
            modal->close();
    }

    QTimer m_timer;
    QList<Step> m_steps;
    QPointer<QWidget> m_last;
};

/// The drivers as data rows, crossed with the two pages.
inline void driversAndPages()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("page");
    for (const QString &driver : Drivers)
        for (const char *page : {"group", "operator"})
            QTest::newRow(qPrintable(driver + QLatin1Char('/') + QLatin1StringView(page)))
                << driver << QString::fromLatin1(page);
}

} // namespace quv::test::editing
