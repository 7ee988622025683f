// Which mouse and keyboard input on the grids toggles a grant, which opens
// the value search of a dimension, and which does nothing: every cell of the
// routing, driven with real key, click and window-system double-click events
// on the grids found by name.

#include "editingsupport.h"

#include "framework/widgets/listdialog.h"

using namespace quv::test;
using namespace quv::test::editing;

namespace {

const QString FactTable = QStringLiteral("FATOESTOQUE");
const QString FactItem = QStringLiteral("QTESTOQUE");
constexpr int PlainDimension = 7;     // has a value table, no filter for either principal
constexpr int TablelessDimension = 8; // no value table: never searchable
constexpr int FilteredDimension = 4;

// Column positions of the grant grids.
constexpr int CheckColumn = 0;
constexpr int NameColumn = 1;
constexpr int SearchColumn = 2;
constexpr int FilterColumn = 3;

struct GridCase
{
    QString name;
    Kind kind;
    bool dimensions;
    QString method;
};

GridCase gridCase(const QString &name)
{
    if (name == QLatin1StringView("dbgFatosGrup"))
        return {name, Kind::Group, false, QStringLiteral("setCkFatoOpGrup")};
    if (name == QLatin1StringView("dbgDimeGrup"))
        return {name, Kind::Group, true, QStringLiteral("setCkDimeOpGrup")};
    if (name == QLatin1StringView("dbgFatosOper"))
        return {name, Kind::Operator, false, QStringLiteral("setCkFatoOpOper")};
    return {name, Kind::Operator, true, QStringLiteral("setCkDimeOpOper")};
}

// Group 02 and operator PGONCALVES: neither holds dimension 7 nor a filter
// on it; the operator holds the stock fact, the group does not.
QString principalOf(Kind kind)
{
    return kind == Kind::Group ? QStringLiteral("02") : QStringLiteral("PGONCALVES");
}

// Group 02 and operator JSILVA hold a filter on dimension 4.
QString filteredPrincipalOf(Kind kind)
{
    return kind == Kind::Group ? QStringLiteral("02") : QStringLiteral("JSILVA");
}

void driversAndGrids()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("gridName");
    for (const QString &driver : Drivers)
        for (const char *grid : {"dbgFatosGrup", "dbgDimeGrup", "dbgFatosOper", "dbgDimeOper"})
            QTest::newRow(qPrintable(driver + QLatin1Char('/') + QLatin1StringView(grid)))
                << driver << QString::fromLatin1(grid);
}

} // namespace

class TestInputRouting : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenSession> session;
    TfrmControleAcesso *form = nullptr;

    // The grid under test, its principal and the row that gets toggled.
    GridCase gc;
    TDBGrid *grid = nullptr;
    TClientDataSet *dataSet = nullptr;
    QString code;

    bool start(const std::function<void(const QSqlDatabase &)> &arrange = {})
    {
        QFETCH(QString, driver);
        session = std::make_unique<ScreenSession>();
        QString skip;
        if (!session->setUp(driver, &skip)) {
            QTest::qSkip(qPrintable(skip), __FILE__, __LINE__);
            return false;
        }
        if (arrange)
            arrange(session->database());
        form = openShown(*session);
        if (!form) {
            QTest::qFail("the screen did not open in a shown window", __FILE__, __LINE__);
            return false;
        }
        return true;
    }

    /// Opens the screen on the principal of the grid named in the data row.
    bool startOnGrid(const std::function<void(const QSqlDatabase &)> &arrange = {})
    {
        if (!start(arrange))
            return false;
        QFETCH(QString, gridName);
        gc = gridCase(gridName);
        code = principalOf(gc.kind);
        if (!selectPrincipal(form, gc.kind, code)) {
            QTest::qFail("principal not in the list", __FILE__, __LINE__);
            return false;
        }
        this->grid = form->findChild<TDBGrid *>(gc.name);
        dataSet = gc.dimensions ? dimensionsOf(form, gc.kind) : factsOf(form, gc.kind);
        return this->grid != nullptr;
    }

    int toggledRow() const
    {
        return gc.dimensions ? dimensionRow(dataSet, PlainDimension)
                             : factRow(dataSet, FactTable, FactItem);
    }

    /// Whether the database holds the grant of the toggled row.
    bool granted() const
    {
        const QSqlDatabase db = session->database();
        if (gc.dimensions)
            return dimensionGrants(db, gc.kind, code).contains(PlainDimension);
        return factGrants(db, gc.kind, code).contains(FactTable + QLatin1Char('/') + FactItem);
    }

    bool onToggledRow() const
    {
        return gc.dimensions ? current(dataSet, QStringLiteral("NRSEQUEDIME")) ==
                                   QString::number(PlainDimension)
                             : current(dataSet, QStringLiteral("CDITEMDW")) == FactItem;
    }

    void clearRecords()
    {
        session->calls.clear();
        session->host.cacheRequests.clear();
        session->host.exceptions.clear();
    }

    QString grantTables()
    {
        const QSqlDatabase db = session->database();
        return othersGrants(db, Kind::Group, QString()) +
               othersGrants(db, Kind::Operator, QString());
    }

private slots:
    void cleanup()
    {
        form = nullptr;
        grid = nullptr;
        dataSet = nullptr;
        session.reset();
    }

    void spaceTogglesFromEveryColumn_data() { driversAndGrids(); }
    void spaceTogglesFromEveryColumn()
    {
        if (!startOnGrid())
            return;
        const int row = toggledRow();
        QVERIFY(row >= 0);
        DialogScript dialogs;
        bool state = granted();
        // On a dimension the search column is pressed while the row is
        // granted and searchable: the space still toggles, it never searches.
        const QList<int> columns =
            gc.dimensions ? QList<int>{CheckColumn, SearchColumn, NameColumn, FilterColumn}
                          : QList<int>{CheckColumn, NameColumn};
        for (int column : columns) {
            if (gc.dimensions && column == SearchColumn)
                QCOMPARE(cell(dataSet, row, QStringLiteral("IDPESQ")), QStringLiteral("S"));
            placeCursor(grid, row, column);
            clearRecords();
            pressKey(grid, Qt::Key_Space);
            QVERIFY2(
                session->calls == QStringList{gc.method},
                qPrintable(
                    QStringLiteral("column %1: %2").arg(column).arg(session->calls.join(u','))));
            state = !state;
            QCOMPARE(granted(), state);
            QVERIFY(onToggledRow());
            QVERIFY(!ShowAviActive());
            QVERIFY(session->host.exceptions.isEmpty());
        }
        QCOMPARE(dialogs.seen.size(), 0);
    }

    void otherCharactersDoNothing_data() { driversAndGrids(); }
    void otherCharactersDoNothing()
    {
        if (!startOnGrid())
            return;
        const int row = toggledRow();
        QVERIFY(row >= 0);
        const QString everything = fingerprint(session->database());
        DialogScript dialogs;
        clearRecords();
        for (int column = 0; column < grid->Columns().size(); ++column)
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_A, Qt::Key_S, Qt::Key_N,
                                Qt::Key_X, Qt::Key_1, Qt::Key_Plus}) {
                placeCursor(grid, row, column);
                pressKey(grid, key);
            }
        QVERIFY(session->calls.isEmpty());
        QVERIFY(session->host.cacheRequests.isEmpty());
        QVERIFY(session->host.exceptions.isEmpty());
        QCOMPARE(dialogs.seen.size(), 0);
        QCOMPARE(fingerprint(session->database()), everything);
        QVERIFY(!ShowAviActive());
    }

    void singleClickTogglesOnlyOnTheCheckColumn_data() { driversAndGrids(); }
    void singleClickTogglesOnlyOnTheCheckColumn()
    {
        // A granted dimension without a value table: its search mark is "N".
        if (!startOnGrid([](const QSqlDatabase &db) {
                rows(db, QStringLiteral("INSERT INTO DIMEDWGRUPOP VALUES ('02', 8)"));
                rows(db, QStringLiteral("INSERT INTO DIMEODWOPER VALUES ('PGONCALVES', 8)"));
            }))
            return;
        const int row = toggledRow();
        QVERIFY(row >= 0);
        DialogScript dialogs;
        const QSqlDatabase db = session->database();
        const QString everything = fingerprint(db);

        // Clicks that must do nothing at all; on a dimension the search
        // column of an ungranted row and of a row without a value table.
        QList<std::pair<int, int>> idle; // row, column
        idle.append({row, NameColumn});
        if (gc.dimensions) {
            QCOMPARE(cell(dataSet, row, QStringLiteral("IDPESQ")), QStringLiteral("N"));
            const int tableless = dimensionRow(dataSet, TablelessDimension);
            QVERIFY(tableless >= 0);
            QCOMPARE(cell(dataSet, tableless, QStringLiteral("IDCHECK")), QStringLiteral("S"));
            QCOMPARE(cell(dataSet, tableless, QStringLiteral("IDPESQ")), QStringLiteral("N"));
            idle.append({row, SearchColumn});
            idle.append({row, FilterColumn});
            idle.append({tableless, SearchColumn});
            idle.append({tableless, NameColumn});
        }
        clearRecords();
        for (const auto &[r, c] : idle)
            clickCell(grid, r, c);
        QVERIFY(session->calls.isEmpty());
        QVERIFY(session->host.cacheRequests.isEmpty());
        QCOMPARE(dialogs.seen.size(), 0);
        QCOMPARE(fingerprint(db), everything);

        // The check column toggles, each click once.
        const bool before = granted();
        for (int click = 1; click <= 2; ++click) {
            clearRecords();
            clickCell(grid, row, CheckColumn);
            QCOMPARE(session->calls, QStringList{gc.method});
            QCOMPARE(granted(), click == 1 ? !before : before);
            QVERIFY(onToggledRow());
        }
        if (gc.dimensions) {
            // Granted once more, the filter column still does nothing.
            clickCell(grid, row, CheckColumn);
            QCOMPARE(cell(dataSet, row, QStringLiteral("IDPESQ")), QStringLiteral("S"));
            clearRecords();
            clickCell(grid, row, FilterColumn);
            QVERIFY(session->calls.isEmpty());
        }
        QCOMPARE(dialogs.seen.size(), 0);
        QVERIFY(session->host.exceptions.isEmpty());
        QVERIFY(!ShowAviActive());
    }

    void searchColumnOpensTheValueListOfThePrincipal_data() { driversAndPages(); }
    void searchColumnOpensTheValueListOfThePrincipal()
    {
        if (!start())
            return;
        QFETCH(QString, page);
        const Kind kind = kindOf(page);
        const QString principal = filteredPrincipalOf(kind);
        QVERIFY(selectPrincipal(form, kind, principal));
        TDBGrid *dimensionGrid = form->findChild<TDBGrid *>(
            kind == Kind::Group ? QStringLiteral("dbgDimeGrup") : QStringLiteral("dbgDimeOper"));
        QVERIFY(dimensionGrid);
        TClientDataSet *dimensions = dimensionsOf(form, kind);
        const int row = dimensionRow(dimensions, FilteredDimension);
        QVERIFY(row >= 0);
        QCOMPARE(cell(dimensions, row, QStringLiteral("IDPESQ")), QStringLiteral("S"));
        const QSqlDatabase db = session->database();
        const QString everything = fingerprint(db);

        QString marked;
        DialogScript dialogs;
        dialogs.expect(QStringLiteral("btnCancelar"), [&marked](QWidget *dialog) {
            if (auto *list = qobject_cast<TPesquisaListaDialog *>(dialog))
                marked = list->Lista();
        });
        clearRecords();
        clickCell(dimensionGrid, row, SearchColumn);

        QCOMPARE(dialogs.seen.size(), 1);
        QCOMPARE(dialogs.seen[0].objectName, QStringLiteral("dlgPesquisaLista"));
        // The list comes pre-marked with this principal's stored values,
        // which is how the principal key reached the search.
        QStringList shown = ListaFiltro::parse(marked);
        shown.sort();
        QCOMPARE(shown, filterValues(db, kind, principal, FilteredDimension));
        QVERIFY(setCalls(session->calls).isEmpty());
        QVERIFY(session->host.cacheRequests.isEmpty());
        QVERIFY(session->host.exceptions.isEmpty());
        QCOMPARE(fingerprint(db), everything);
        QCOMPARE(current(dimensions, QStringLiteral("NRSEQUEDIME")),
                 QString::number(FilteredDimension));
        QVERIFY(!ShowAviActive());
    }

    void storingAFilterFromTheSearchColumnKeepsTheGrant_data() { driversAndPages(); }
    void storingAFilterFromTheSearchColumnKeepsTheGrant()
    {
        if (!start())
            return;
        QFETCH(QString, page);
        const Kind kind = kindOf(page);
        const QString principal = filteredPrincipalOf(kind);
        QVERIFY(selectPrincipal(form, kind, principal));
        TDBGrid *dimensionGrid = dimensionGridOf(form, kind);
        TClientDataSet *dimensions = dimensionsOf(form, kind);
        const int row = dimensionRow(dimensions, FilteredDimension);
        QVERIFY(row >= 0);
        const QSqlDatabase db = session->database();
        const QList<int> grantsBefore = dimensionGrants(db, kind, principal);

        DialogScript dialogs;
        dialogs.expect(QStringLiteral("btnOk"), [](QWidget *dialog) {
            if (auto *all = dialog->findChild<QAbstractButton *>(QStringLiteral("btnMarcarTodos")))
                all->click();
        });
        clearRecords();
        clickCell(dimensionGrid, row, SearchColumn);

        // Storing the filter reloads the grid; the click that opened the
        // search must not then be taken for a click on the check column.
        QCOMPARE(dialogs.seen.size(), 1);
        QCOMPARE(setCalls(session->calls), QStringList{QStringLiteral("setDelFilDime")});
        QCOMPARE(dimensionGrants(db, kind, principal), grantsBefore);
        QCOMPARE(filterValues(db, kind, principal, FilteredDimension),
                 firstColumn(rows(db, QStringLiteral("SELECT CDREGIAO FROM DIMREGIAO "
                                                     "ORDER BY CDREGIAO"))));
        QCOMPARE(current(dimensions, QStringLiteral("NRSEQUEDIME")),
                 QString::number(FilteredDimension));
        QCOMPARE(current(dimensions, QStringLiteral("IDCHECK")), QStringLiteral("S"));
        QCOMPARE(current(dimensions, QStringLiteral("IDFILTRO")), QStringLiteral("S"));
        QVERIFY(session->host.exceptions.isEmpty());
        QVERIFY(!ShowAviActive());
    }

    void doubleClickTogglesOnceAnywhereButTheSearchColumn_data() { driversAndGrids(); }
    void doubleClickTogglesOnceAnywhereButTheSearchColumn()
    {
        if (!startOnGrid())
            return;
        const int row = toggledRow();
        QVERIFY(row >= 0);
        // What the grid delivers for one window-system double click.
        int cellClicks = 0;
        int doubleClicks = 0;
        auto cellClick = grid->OnCellClick;
        auto doubleClick = grid->OnDblClick;
        grid->OnCellClick = [&cellClicks, cellClick](TColumn *column) {
            ++cellClicks;
            cellClick(column);
        };
        grid->OnDblClick = [&doubleClicks, doubleClick](QObject *sender) {
            ++doubleClicks;
            doubleClick(sender);
        };

        DialogScript dialogs;
        bool state = granted();
        // On a dimension: the name column grants, so that the search column
        // is later double-clicked on a searchable row.
        const QList<int> columns =
            gc.dimensions
                ? QList<int>{NameColumn, CheckColumn, FilterColumn, SearchColumn, CheckColumn}
                : QList<int>{NameColumn, CheckColumn, NameColumn, CheckColumn};
        for (int column : columns) {
            const bool searchable =
                gc.dimensions && cell(dataSet, row, QStringLiteral("IDPESQ")) == QLatin1String("S");
            if (column == SearchColumn) {
                QVERIFY(searchable);
                dialogs.expect(QStringLiteral("btnCancelar"));
            }
            const int dialogsBefore = int(dialogs.seen.size());
            cellClicks = doubleClicks = 0;
            clearRecords();
            QVERIFY(doubleClickCell(grid, row, column));
            QCOMPARE(cellClicks, 1);
            QCOMPARE(doubleClicks, 1);
            const QString context =
                QStringLiteral("column %1: %2").arg(column).arg(session->calls.join(u','));
            if (column == SearchColumn) {
                // The click opened the search; the double click toggles nothing.
                QVERIFY2(setCalls(session->calls).isEmpty(), qPrintable(context));
                QCOMPARE(int(dialogs.seen.size()), dialogsBefore + 1);
                QCOMPARE(dialogs.seen.last().objectName, QStringLiteral("dlgPesquisaLista"));
            } else {
                QVERIFY2(session->calls == QStringList{gc.method}, qPrintable(context));
                state = !state;
                QCOMPARE(int(dialogs.seen.size()), dialogsBefore);
            }
            QCOMPARE(granted(), state);
            QVERIFY(onToggledRow());
            QVERIFY(!ShowAviActive());
            QVERIFY(session->host.exceptions.isEmpty());
        }
        QCOMPARE(dialogs.unexpected, 0);
    }

    void doubleClickOnAFilteredCheckRevokesOnce_data() { driversAndPages(); }
    void doubleClickOnAFilteredCheckRevokesOnce()
    {
        if (!start())
            return;
        QFETCH(QString, page);
        const Kind kind = kindOf(page);
        const QString principal = filteredPrincipalOf(kind);
        QVERIFY(selectPrincipal(form, kind, principal));
        TDBGrid *dimensionGrid = dimensionGridOf(form, kind);
        TClientDataSet *dimensions = dimensionsOf(form, kind);
        const int row = dimensionRow(dimensions, FilteredDimension);
        QVERIFY(row >= 0);
        const QSqlDatabase db = session->database();
        QList<int> expected = dimensionGrants(db, kind, principal);
        expected.removeAll(FilteredDimension);

        DialogScript dialogs;
        dialogs.expect(QStringLiteral("btnYes"));
        clearRecords();
        QVERIFY(doubleClickCell(dimensionGrid, row, CheckColumn));

        // One question, one revoke: the dimension and its filter are gone
        // and stay gone.
        QCOMPARE(dialogs.seen.size(), 1);
        QCOMPARE(session->calls,
                 QStringList{kind == Kind::Group ? QStringLiteral("setCkDimeOpGrup")
                                                 : QStringLiteral("setCkDimeOpOper")});
        QCOMPARE(dimensionGrants(db, kind, principal), expected);
        QVERIFY(filterValues(db, kind, principal, FilteredDimension).isEmpty());
        QCOMPARE(current(dimensions, QStringLiteral("IDCHECK")), QStringLiteral("N"));
        QVERIFY(!ShowAviActive());
    }

    void principalListsNeverToggle_data() { driversAndPages(); }
    void principalListsNeverToggle()
    {
        if (!start())
            return;
        QFETCH(QString, page);
        const Kind kind = kindOf(page);
        QVERIFY(selectPrincipal(form, kind, principalOf(kind)));
        TDBGrid *list = form->findChild<TDBGrid *>(
            kind == Kind::Group ? QStringLiteral("dbgPadrao") : QStringLiteral("dbgOperador"));
        QVERIFY(list);
        const QString grants = grantTables();
        DialogScript dialogs;
        clearRecords();
        for (int row = 0; row < 3; ++row)
            for (int column = 0; column < list->Columns().size(); ++column) {
                clickCell(list, row, column);
                QVERIFY(doubleClickCell(list, row, column));
                placeCursor(list, row, column);
                pressKey(list, Qt::Key_Space);
                pressKey(list, Qt::Key_Return);
            }
        // Moving along the list loads grants; nothing is ever changed.
        QVERIFY(!session->calls.isEmpty());
        QVERIFY2(setCalls(session->calls).isEmpty(), qPrintable(session->calls.join(u',')));
        QCOMPARE(grantTables(), grants);
        QVERIFY(session->host.cacheRequests.isEmpty());
        QCOMPARE(dialogs.seen.size(), 0);
        QVERIFY(session->host.exceptions.isEmpty());
        QVERIFY(!ShowAviActive());
    }
};

QTEST_MAIN(TestInputRouting)
#include "tst_inputrouting.moc"
