// Toggling one grant from a grant grid: what goes to the server, what the
// database holds afterwards, where the grid stands, what the host's cache is
// told, the question before a filtered dimension is revoked, and the paths
// that must send nothing or fail cleanly.

#include "editingsupport.h"

using namespace quv::test;
using namespace quv::test::editing;

namespace {

const QString FactTable = QStringLiteral("FATOESTOQUE");
const QString FactItem = QStringLiteral("QTESTOQUE");
const QString FactKey = FactTable + QLatin1Char('/') + FactItem;

// Principals of the demo warehouse: group 02 and operator JSILVA hold
// filters; neither holds the stock facts nor the seller dimension (7).
QString principalOf(Kind kind)
{
    return kind == Kind::Group ? QStringLiteral("02") : QStringLiteral("JSILVA");
}

constexpr int UngrantedDimension = 7;
constexpr int FilteredDimension = 4;

} // namespace

class TestGrantToggle : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenSession> session;
    TfrmControleAcesso *form = nullptr;

    bool start()
    {
        QFETCH(QString, driver);
        session = std::make_unique<ScreenSession>();
        QString skip;
        if (!session->setUp(driver, &skip)) {
            QTest::qSkip(qPrintable(skip), __FILE__, __LINE__);
            return false;
        }
        form = openShown(*session);
        if (!form) {
            QTest::qFail("the screen did not open in a shown window", __FILE__, __LINE__);
            return false;
        }
        return true;
    }

    void clearRecords()
    {
        session->calls.clear();
        session->host.cacheRequests.clear();
        session->host.exceptions.clear();
    }

private slots:
    void cleanup()
    {
        form = nullptr;
        session.reset();
    }

    void factTogglesBothWaysAndReturnsToTheRow_data() { driversAndPages(); }
    void factTogglesBothWaysAndReturnsToTheRow()
    {
        if (!start())
            return;
        QFETCH(QString, page);
        const Kind kind = kindOf(page);
        const QString code = principalOf(kind);
        const bool group = kind == Kind::Group;
        const QString method =
            group ? QStringLiteral("setCkFatoOpGrup") : QStringLiteral("setCkFatoOpOper");
        const QString cacheTable =
            group ? QStringLiteral("ITEMDWGRUPOP") : QStringLiteral("ITEMDWOPER");
        QVERIFY(selectPrincipal(form, kind, code));
        TClientDataSet *facts = factsOf(form, kind);
        TDBGrid *grid = factGridOf(form, kind);
        const QSqlDatabase db = session->database();
        const QStringList before = factGrants(db, kind, code);
        const QString others = othersGrants(db, kind, code);
        QVERIFY(!before.contains(FactKey));

        const int row = factRow(facts, FactTable, FactItem);
        // Not the first row: after the reload the dataset stands on its first
        // record, so being back on this one shows the row was looked up.
        QVERIFY(row > 0);
        QCOMPARE(cell(facts, row, QStringLiteral("IDCHECK")), QStringLiteral("N"));

        clearRecords();
        clickCell(grid, row, 0);
        QCOMPARE(session->calls, QStringList{method});
        QStringList granted = before;
        granted.append(FactKey);
        granted.sort();
        QCOMPARE(factGrants(db, kind, code), granted);
        QCOMPARE(current(facts, QStringLiteral("CDTABELADW")), FactTable);
        QCOMPARE(current(facts, QStringLiteral("CDITEMDW")), FactItem);
        QCOMPARE(current(facts, QStringLiteral("IDCHECK")), QStringLiteral("S"));
        QCOMPARE(int(facts->RecNo()) - 1, row);
        QCOMPARE(grid->currentIndex().row(), row);
        QCOMPARE(Cli_quv01000::stLocatePk1, FactTable);
        QCOMPARE(Cli_quv01000::stLocatePk2, FactItem);
        QCOMPARE(session->host.cacheRequests, QList<QStringList>{{cacheTable}});
        QVERIFY(!ShowAviActive());
        QVERIFY(session->host.exceptions.isEmpty());

        clearRecords();
        clickCell(grid, row, 0);
        QCOMPARE(session->calls, QStringList{method});
        QCOMPARE(factGrants(db, kind, code), before);
        QCOMPARE(current(facts, QStringLiteral("CDITEMDW")), FactItem);
        QCOMPARE(current(facts, QStringLiteral("IDCHECK")), QStringLiteral("N"));
        QCOMPARE(int(facts->RecNo()) - 1, row);
        QCOMPARE(session->host.cacheRequests, QList<QStringList>{{cacheTable}});
        QVERIFY(!ShowAviActive());
        QVERIFY(session->host.exceptions.isEmpty());
        QCOMPARE(othersGrants(db, kind, code), others);
    }

    void dimensionTogglesBothWaysWithoutAsking_data() { driversAndPages(); }
    void dimensionTogglesBothWaysWithoutAsking()
    {
        if (!start())
            return;
        QFETCH(QString, page);
        const Kind kind = kindOf(page);
        const QString code = principalOf(kind);
        const bool group = kind == Kind::Group;
        const QString method =
            group ? QStringLiteral("setCkDimeOpGrup") : QStringLiteral("setCkDimeOpOper");
        const QString cacheTable =
            group ? QStringLiteral("DIMEDWGRUPOP") : QStringLiteral("DIMEODWOPER");
        QVERIFY(selectPrincipal(form, kind, code));
        TClientDataSet *dimensions = dimensionsOf(form, kind);
        TDBGrid *grid = dimensionGridOf(form, kind);
        const QSqlDatabase db = session->database();
        const QList<int> before = dimensionGrants(db, kind, code);
        const QString others = othersGrants(db, kind, code);
        QVERIFY(!before.contains(UngrantedDimension));
        const int row = dimensionRow(dimensions, UngrantedDimension);
        QVERIFY(row > 0);

        // A dimension toggle keeps the fact key of the last fact toggle.
        Cli_quv01000::stLocatePk2 = QStringLiteral("last fact item");
        DialogScript dialogs;
        clearRecords();
        clickCell(grid, row, 0);
        QCOMPARE(session->calls, QStringList{method});
        QList<int> granted = before;
        granted.append(UngrantedDimension);
        std::sort(granted.begin(), granted.end());
        QCOMPARE(dimensionGrants(db, kind, code), granted);
        QCOMPARE(current(dimensions, QStringLiteral("NRSEQUEDIME")),
                 QString::number(UngrantedDimension));
        QCOMPARE(current(dimensions, QStringLiteral("IDCHECK")), QStringLiteral("S"));
        QCOMPARE(current(dimensions, QStringLiteral("IDPESQ")), QStringLiteral("S"));
        QCOMPARE(current(dimensions, QStringLiteral("IDFILTRO")), QStringLiteral("N"));
        QCOMPARE(int(dimensions->RecNo()) - 1, row);
        QCOMPARE(Cli_quv01000::stLocatePk1, QString::number(UngrantedDimension));
        QCOMPARE(Cli_quv01000::stLocatePk2, QStringLiteral("last fact item"));
        QCOMPARE(session->host.cacheRequests, QList<QStringList>{{cacheTable}});
        QVERIFY(!ShowAviActive());

        clearRecords();
        clickCell(grid, row, 0);
        QCOMPARE(session->calls, QStringList{method});
        QCOMPARE(dimensionGrants(db, kind, code), before);
        QCOMPARE(current(dimensions, QStringLiteral("NRSEQUEDIME")),
                 QString::number(UngrantedDimension));
        QCOMPARE(current(dimensions, QStringLiteral("IDCHECK")), QStringLiteral("N"));
        QCOMPARE(current(dimensions, QStringLiteral("IDPESQ")), QStringLiteral("N"));
        // Revoking an unfiltered dimension names only the grant table.
        QCOMPARE(session->host.cacheRequests, QList<QStringList>{{cacheTable}});
        QCOMPARE(dialogs.seen.size(), 0);
        QVERIFY(!ShowAviActive());
        QVERIFY(session->host.exceptions.isEmpty());
        QCOMPARE(othersGrants(db, kind, code), others);
    }

    void filteredDimensionAsksBeforeRevoking_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("page");
        QTest::addColumn<bool>("confirm");
        for (const QString &driver : Drivers)
            for (const char *page : {"group", "operator"})
                for (bool confirm : {false, true})
                    QTest::newRow(
                        qPrintable(driver + QLatin1Char('/') + QLatin1StringView(page) +
                                   (confirm ? QStringLiteral("/yes") : QStringLiteral("/no"))))
                        << driver << QString::fromLatin1(page) << confirm;
    }
    void filteredDimensionAsksBeforeRevoking()
    {
        if (!start())
            return;
        QFETCH(QString, page);
        QFETCH(bool, confirm);
        const Kind kind = kindOf(page);
        const QString code = principalOf(kind);
        const bool group = kind == Kind::Group;
        QVERIFY(selectPrincipal(form, kind, code));
        TClientDataSet *dimensions = dimensionsOf(form, kind);
        TDBGrid *grid = dimensionGridOf(form, kind);
        const QSqlDatabase db = session->database();
        const int row = dimensionRow(dimensions, FilteredDimension);
        QVERIFY(row >= 0);
        QCOMPARE(cell(dimensions, row, QStringLiteral("IDFILTRO")), QStringLiteral("S"));
        const QList<int> grantsBefore = dimensionGrants(db, kind, code);
        QVERIFY(!filterValues(db, kind, code, FilteredDimension).isEmpty());
        const qint64 filtersElsewhere =
            filterCount(db, kind, code) -
            qint64(filterValues(db, kind, code, FilteredDimension).size());
        QVERIFY(filtersElsewhere > 0);
        const QString everything = fingerprint(db);

        Cli_quv01000::stLocatePk1 = QStringLiteral("previous key");
        DialogScript dialogs;
        dialogs.expect(confirm ? QStringLiteral("btnYes") : QStringLiteral("btnNo"));
        clearRecords();
        clickCell(grid, row, 0);

        QCOMPARE(dialogs.seen.size(), 1);
        QCOMPARE(dialogs.seen[0].text,
                 QStringLiteral("Existe filtro aplicado a esta dimensão.\nDeseja excluí-lo?"));
        QVERIFY2(!dialogs.seen[0].busyWhileOpen, "the busy indicator covered the question");
        QVERIFY(!ShowAviActive());
        QVERIFY(session->host.exceptions.isEmpty());

        if (!confirm) {
            QVERIFY(session->calls.isEmpty());
            QCOMPARE(fingerprint(db), everything);
            QCOMPARE(Cli_quv01000::stLocatePk1, QStringLiteral("previous key"));
            QVERIFY(session->host.cacheRequests.isEmpty());
            QCOMPARE(current(dimensions, QStringLiteral("NRSEQUEDIME")),
                     QString::number(FilteredDimension));
            QCOMPARE(current(dimensions, QStringLiteral("IDCHECK")), QStringLiteral("S"));
            QCOMPARE(current(dimensions, QStringLiteral("IDFILTRO")), QStringLiteral("S"));
            return;
        }

        QCOMPARE(session->calls, QStringList{group ? QStringLiteral("setCkDimeOpGrup")
                                                   : QStringLiteral("setCkDimeOpOper")});
        QList<int> remaining = grantsBefore;
        remaining.removeAll(FilteredDimension);
        QCOMPARE(dimensionGrants(db, kind, code), remaining);
        QVERIFY(filterValues(db, kind, code, FilteredDimension).isEmpty());
        // Only the revoked dimension's filter went with it.
        QCOMPARE(filterCount(db, kind, code), filtersElsewhere);
        QCOMPARE(session->host.cacheRequests,
                 (QList<QStringList>{group ? QStringList{QStringLiteral("DIMEDWGRUPOP"),
                                                         QStringLiteral("FILDIMEGRUPOP")}
                                           : QStringList{QStringLiteral("DIMEODWOPER"),
                                                         QStringLiteral("FILDIMEOPER")}}));
        QCOMPARE(Cli_quv01000::stLocatePk1, QString::number(FilteredDimension));
        QCOMPARE(current(dimensions, QStringLiteral("NRSEQUEDIME")),
                 QString::number(FilteredDimension));
        QCOMPARE(current(dimensions, QStringLiteral("IDCHECK")), QStringLiteral("N"));
        QCOMPARE(current(dimensions, QStringLiteral("IDFILTRO")), QStringLiteral("N"));
    }

    void gridWithoutACurrentRowSendsNothing_data() { driversAndPages(); }
    void gridWithoutACurrentRowSendsNothing()
    {
        if (!start())
            return;
        QFETCH(QString, page);
        const Kind kind = kindOf(page);
        QVERIFY(selectPrincipal(form, kind, principalOf(kind)));
        const QSqlDatabase db = session->database();
        const QString everything = fingerprint(db);

        // An empty packet: the grid is open but has no row to toggle.
        for (TClientDataSet *dataSet : {factsOf(form, kind), dimensionsOf(form, kind)})
            dataSet->SetData(quv::DataPacket(dataSet->Data().fields()));
        clearRecords();
        for (TDBGrid *grid : {factGridOf(form, kind), dimensionGridOf(form, kind)}) {
            grid->setFocus(Qt::OtherFocusReason);
            pressKey(grid, Qt::Key_Space);
        }
        // The toggle itself, not only the routing, refuses to guess a row.
        for (quint8 number :
             kind == Kind::Group
                 ? QList<quint8>{Cli_quv01000::GridFatosGrup, Cli_quv01000::GridDimeGrup}
                 : QList<quint8>{Cli_quv01000::GridFatosOper, Cli_quv01000::GridDimeOper})
            form->alteraCheck(number);
        QVERIFY(session->calls.isEmpty());
        QVERIFY(session->host.exceptions.isEmpty());
        QVERIFY(session->host.cacheRequests.isEmpty());
        QVERIFY(!ShowAviActive());

        // Closed grids: a failed load leaves the page's grids closed.
        QVERIFY(session->server.stop() == 0);
        TDBGrid *list = kind == Kind::Group ? form->dbgPadrao : form->dbgOperador;
        list->setFocus(Qt::OtherFocusReason);
        pressKey(list, Qt::Key_Down);
        QCOMPARE(session->host.exceptions.size(), 1);
        QVERIFY(!factsOf(form, kind)->Active());
        QVERIFY(!dimensionsOf(form, kind)->Active());
        clearRecords();
        for (TDBGrid *grid : {factGridOf(form, kind), dimensionGridOf(form, kind)}) {
            grid->setFocus(Qt::OtherFocusReason);
            pressKey(grid, Qt::Key_Space);
            clickCell(grid, 0, 0); // no row: the click lands on nothing
        }
        QVERIFY(session->calls.isEmpty());
        QVERIFY(session->host.exceptions.isEmpty());
        QVERIFY(!ShowAviActive());
        QCOMPARE(fingerprint(db), everything);

        // Grid numbers that name no grant grid toggle nothing.
        for (quint8 number : {quint8(Cli_quv01000::GridPadrao), quint8(Cli_quv01000::GridOperador),
                              quint8(6), quint8(255)})
            form->alteraCheck(number);
        QVERIFY(session->calls.isEmpty());
        QVERIFY(!ShowAviActive());
    }

    void failedToggleLeavesTheRowAndReportsOnce_data() { driversAndPages(); }
    void failedToggleLeavesTheRowAndReportsOnce()
    {
        if (!start())
            return;
        QFETCH(QString, page);
        const Kind kind = kindOf(page);
        const QString code = principalOf(kind);
        QVERIFY(selectPrincipal(form, kind, code));
        TClientDataSet *facts = factsOf(form, kind);
        TDBGrid *grid = factGridOf(form, kind);
        const QSqlDatabase db = session->database();
        const QString everything = fingerprint(db);
        const int row = factRow(facts, FactTable, FactItem);
        QVERIFY(row > 0);
        const quv::DataPacket packetBefore = facts->Data();

        QVERIFY(session->server.stop() == 0);
        clearRecords();
        clickCell(grid, row, 0);
        QCOMPARE(session->calls.size(), 1);
        QCOMPARE(session->host.exceptions.size(), 1);
        QVERIFY(!ShowAviActive());
        QVERIFY(session->host.cacheRequests.isEmpty());
        QCOMPARE(facts->Data(), packetBefore);
        QCOMPARE(cell(facts, row, QStringLiteral("IDCHECK")), QStringLiteral("N"));
        QCOMPARE(int(facts->RecNo()) - 1, row);
        QCOMPARE(fingerprint(db), everything);

        // The server back on the same database: the next click goes through
        // without reopening the screen.
        QVERIFY(session->server.start(session->connectionString()));
        session->host.serverPort = session->server.port();
        clearRecords();
        clickCell(grid, row, 0);
        QVERIFY(session->host.exceptions.isEmpty());
        QVERIFY(factGrants(db, kind, code).contains(FactKey));
        QCOMPARE(current(facts, QStringLiteral("IDCHECK")), QStringLiteral("S"));
        QVERIFY(!ShowAviActive());
    }
};

QTEST_MAIN(TestGrantToggle)
#include "tst_granttoggle.moc"
