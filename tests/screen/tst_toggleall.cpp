// Granting or revoking every row of a grant grid with a click on the title of
// its check column: which way each click goes over the screen's life, the
// question before dimensions are cleared, what the database holds after each
// request, what the host's cache is told, and failed or empty requests. The
// title's tooltip is checked to foretell every click.

#include "editingsupport.h"

using namespace quv::test;
using namespace quv::test::editing;

namespace {

constexpr int CheckColumn = 0;

struct GridKind
{
    Kind kind;
    bool dimensions;
};

GridKind gridKindOf(const QString &name)
{
    return {name.endsWith(QLatin1StringView("Grup")) ? Kind::Group : Kind::Operator,
            name.startsWith(QLatin1StringView("dbgDime"))};
}

QString methodOf(Kind kind, bool dimensions)
{
    if (dimensions)
        return kind == Kind::Group ? QStringLiteral("setTChkDimeOpGrup")
                                   : QStringLiteral("setTChkDimeOpOper");
    return kind == Kind::Group ? QStringLiteral("setTChkFatoOpGrup")
                               : QStringLiteral("setTChkFatoOpOper");
}

QString keyOf(Kind kind, bool dimensions, const QString &code)
{
    return QString(kind == Kind::Group ? u'G' : u'O') + QChar(dimensions ? u'D' : u'I') + code;
}

QStringList cacheTablesOf(Kind kind, bool dimensions, bool mark)
{
    const GrantTables t = tablesOf(kind);
    if (!dimensions)
        return {t.facts};
    return mark ? QStringList{t.dimensions} : QStringList{t.dimensions, t.filters};
}

QString clearQuestionOf(Kind kind)
{
    return kind == Kind::Group
               ? QStringLiteral(
                     "Deseja desmarcar todas as dimensões para o Grupo de Operadores selecionado?")
               : QStringLiteral("Deseja desmarcar todas as dimensões para o Operador selecionado?");
}

// Both hold facts, dimensions and filters in the demo warehouse.
QString principalOf(Kind kind)
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

class TestToggleAll : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenSession> session;
    TfrmControleAcesso *form = nullptr;
    qint64 catalogFacts = 0;
    qint64 catalogDimensions = 0;

    bool start(const std::function<void(const QSqlDatabase &)> &arrange = {})
    {
        QFETCH(QString, driver);
        session = std::make_unique<ScreenSession>();
        QString skip;
        if (!session->setUp(driver, &skip)) {
            QTest::qSkip(qPrintable(skip), __FILE__, __LINE__);
            return false;
        }
        const QSqlDatabase db = session->database();
        if (arrange)
            arrange(db);
        catalogFacts = count(db, QStringLiteral("SELECT COUNT(*) FROM ITEMDW"));
        catalogDimensions = count(db, QStringLiteral("SELECT COUNT(*) FROM DIMEDW"));
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

    TDBGrid *gridOf(Kind kind, bool dimensions)
    {
        return form->findChild<TDBGrid *>(
            dimensions ? (kind == Kind::Group ? QStringLiteral("dbgDimeGrup")
                                              : QStringLiteral("dbgDimeOper"))
                       : (kind == Kind::Group ? QStringLiteral("dbgFatosGrup")
                                              : QStringLiteral("dbgFatosOper")));
    }

    qint64 grantCount(Kind kind, bool dimensions, const QString &code)
    {
        const QSqlDatabase db = session->database();
        return dimensions ? dimensionGrants(db, kind, code).size()
                          : factGrants(db, kind, code).size();
    }

    /// One click on the check column's title of the principal's grid, and
    /// everything that must follow when it marks (grants every row) or
    /// clears (revokes every row). A clear of dimensions is asked first and
    /// answered with `answer`.
    void titleClick(Kind kind, bool dimensions, const QString &code, bool mark,
                    const QString &answer = QStringLiteral("btnYes"))
    {
        QVERIFY(selectPrincipal(form, kind, code));
        TDBGrid *grid = gridOf(kind, dimensions);
        QVERIFY(grid);
        TClientDataSet *dataSet = dimensions ? dimensionsOf(form, kind) : factsOf(form, kind);
        const QSqlDatabase db = session->database();
        const QString others = othersGrants(db, kind, code);
        const QString everything = fingerprint(db);
        const bool asks = dimensions && !mark;

        // The title says beforehand which way the click goes, and saying so
        // changes nothing the click decides by.
        const bool keySetOpen = form->cdsTestaCheck->Active();
        const QStringList keys = toggleKeys(form);
        QCOMPARE(titleHint(grid, CheckColumn),
                 mark ? QStringLiteral("Marcar todos") : QStringLiteral("Desmarcar todos"));
        QCOMPARE(form->cdsTestaCheck->Active(), keySetOpen);
        QCOMPARE(toggleKeys(form), keys);

        DialogScript dialogs;
        if (asks)
            dialogs.expect(answer);
        clearRecords();
        clickTitle(grid, CheckColumn);

        QVERIFY(!ShowAviActive());
        QVERIFY2(session->host.exceptions.isEmpty(),
                 qPrintable(session->host.exceptions.join(u'\n')));
        QVERIFY2(dialogs.seen.size() == (asks ? 1 : 0),
                 qPrintable(session->calls.join(u',') + QStringLiteral(" keys ") +
                            toggleKeys(form).join(u',')));
        if (asks) {
            QCOMPARE(dialogs.seen[0].text, clearQuestionOf(kind));
            QVERIFY2(!dialogs.seen[0].busyWhileOpen, "the busy indicator covered the question");
        }
        if (asks && answer != QLatin1StringView("btnYes")) {
            QVERIFY(session->calls.isEmpty());
            QVERIFY(session->host.cacheRequests.isEmpty());
            QCOMPARE(fingerprint(db), everything);
            return;
        }
        QCOMPARE(session->calls, QStringList{methodOf(kind, dimensions)});
        QCOMPARE(session->host.cacheRequests,
                 QList<QStringList>{cacheTablesOf(kind, dimensions, mark)});
        QCOMPARE(grantCount(kind, dimensions, code),
                 mark ? (dimensions ? catalogDimensions : catalogFacts) : 0);
        if (dimensions && !mark)
            QCOMPARE(filterCount(db, kind, code), 0);
        QCOMPARE(othersGrants(db, kind, code), others);
        // The grid shows the new marks from its first row.
        QCOMPARE(dataSet->RecordCount(), dimensions ? catalogDimensions : catalogFacts);
        for (qsizetype row = 0; row < dataSet->RecordCount(); ++row)
            QCOMPARE(cell(dataSet, int(row), QStringLiteral("IDCHECK")),
                     mark ? QStringLiteral("S") : QStringLiteral("N"));
        QCOMPARE(dataSet->RecNo(), 1);
    }

private slots:
    void cleanup()
    {
        form = nullptr;
        session.reset();
    }

    void firstClickOfTheScreensLifeFollowsTheGrid_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("gridName");
        QTest::addColumn<bool>("holdsGrants");
        for (const QString &driver : Drivers)
            for (const char *grid : {"dbgFatosGrup", "dbgDimeGrup", "dbgFatosOper", "dbgDimeOper"})
                for (bool holds : {false, true})
                    QTest::newRow(qPrintable(
                        driver + QLatin1Char('/') + QLatin1StringView(grid) +
                        (holds ? QStringLiteral("/granted") : QStringLiteral("/nothing"))))
                        << driver << QString::fromLatin1(grid) << holds;
    }
    void firstClickOfTheScreensLifeFollowsTheGrid()
    {
        QFETCH(QString, gridName);
        QFETCH(bool, holdsGrants);
        const GridKind g = gridKindOf(gridName);
        const QString code = principalOf(g.kind);
        if (!start([&](const QSqlDatabase &db) {
                if (!holdsGrants)
                    revokeEverything(db, g.kind, code);
            }))
            return;
        QCOMPARE(grantCount(g.kind, g.dimensions, code) > 0, holdsGrants);
        QVERIFY(!form->cdsTestaCheck->Active());

        // With something granted the first click clears, and the key it
        // leaves makes the next click clear again; only then does it mark.
        const QList<bool> directions =
            holdsGrants ? QList<bool>{false, false, true} : QList<bool>{true, false, true};
        const QString key = keyOf(g.kind, g.dimensions, code);
        // Either way the first click adds the key, the second removes it.
        const QList<QStringList> keysAfter = {{key}, {}, {key}};
        for (int click = 0; click < directions.size(); ++click) {
            titleClick(g.kind, g.dimensions, code, directions[click]);
            if (QTest::currentTestFailed()) {
                qWarning("click %d", click + 1);
                return;
            }
            QCOMPARE(toggleKeys(form), keysAfter[click]);
        }
    }

    void keysAreSeparatePerGridKindAndPrincipal_data()
    {
        QTest::addColumn<QString>("driver");
        for (const QString &driver : Drivers)
            QTest::newRow(qPrintable(driver)) << driver;
    }
    void keysAreSeparatePerGridKindAndPrincipal()
    {
        // An operator whose code is also a group's: GI01 and OI01 must not
        // meet.
        if (!start([](const QSqlDatabase &db) {
                rows(db, QStringLiteral("INSERT INTO OPERADOR (CDOPERADOR, NMOPERADOR) "
                                        "VALUES ('01', 'Operador de Código Um')"));
            }))
            return;
        const QString g01 = QStringLiteral("01");
        QVERIFY(grantCount(Kind::Group, false, g01) > 0);
        struct Step
        {
            Kind kind;
            bool dimensions;
            QString code;
            bool mark;
            QStringList keys;
        };
        const QList<Step> steps = {
            // The first click of the screen's life: group 01 holds facts.
            {Kind::Group, false, g01, false, {"GI01"}},
            // Any later first click marks, whatever the grid shows.
            {Kind::Group, true, g01, true, {"GD01", "GI01"}},
            {Kind::Group, false, g01, false, {"GD01"}},
            {Kind::Group, false, g01, true, {"GD01", "GI01"}},
            {Kind::Operator, false, g01, true, {"GD01", "GI01", "OI01"}},
            {Kind::Group, true, g01, false, {"GI01", "OI01"}},
            {Kind::Operator, false, g01, false, {"GI01"}},
            {Kind::Operator, true, g01, true, {"GI01", "OD01"}},
            {Kind::Group, false, QStringLiteral("02"), true, {"GI01", "GI02", "OD01"}},
            {Kind::Group, true, g01, true, {"GD01", "GI01", "GI02", "OD01"}},
        };
        for (int i = 0; i < steps.size(); ++i) {
            const Step &s = steps[i];
            titleClick(s.kind, s.dimensions, s.code, s.mark);
            if (QTest::currentTestFailed()) {
                qWarning("step %d", i + 1);
                return;
            }
            QCOMPARE(toggleKeys(form), s.keys);
        }
    }

    void declinedClearKeepsTheKeyAndAsksAgain_data() { driversAndPages(); }
    void declinedClearKeepsTheKeyAndAsksAgain()
    {
        if (!start())
            return;
        QFETCH(QString, page);
        const Kind kind = kindOf(page);
        const QString code = principalOf(kind);
        const QString key = keyOf(kind, true, code);
        const QSqlDatabase db = session->database();
        QVERIFY(filterCount(db, kind, code) > 0);
        const QList<int> held = dimensionGrants(db, kind, code);

        for (int attempt = 0; attempt < 2; ++attempt) {
            titleClick(kind, true, code, false, QStringLiteral("btnNo"));
            if (QTest::currentTestFailed())
                return;
            QCOMPARE(toggleKeys(form), QStringList{key});
            QCOMPARE(dimensionGrants(db, kind, code), held);
        }
        titleClick(kind, true, code, false, QStringLiteral("btnYes"));
        if (QTest::currentTestFailed())
            return;
        QVERIFY(toggleKeys(form).isEmpty());
        titleClick(kind, true, code, true);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(toggleKeys(form), QStringList{key});
    }

    void emptyGridStillSendsItsRequest_data() { driversAndGrids(); }
    void emptyGridStillSendsItsRequest()
    {
        if (!start())
            return;
        QFETCH(QString, gridName);
        const GridKind g = gridKindOf(gridName);
        const QString code = principalOf(g.kind);
        QVERIFY(selectPrincipal(form, g.kind, code));
        TClientDataSet *dataSet = g.dimensions ? dimensionsOf(form, g.kind) : factsOf(form, g.kind);
        const QSqlDatabase db = session->database();
        const QString everything = grantsFingerprint(db);
        const qint64 held = grantCount(g.kind, g.dimensions, code);
        QVERIFY(held > 0);
        dataSet->SetData(quv::DataPacket(dataSet->Data().fields()));

        DialogScript dialogs;
        clearRecords();
        clickTitle(gridOf(g.kind, g.dimensions), CheckColumn);

        // Nothing on screen is granted, so the first click marks all: the
        // request names no rows, so the server changes none, and the grid
        // gets the whole fresh packet back.
        QCOMPARE(dialogs.seen.size(), 0);
        QCOMPARE(session->calls, QStringList{methodOf(g.kind, g.dimensions)});
        QCOMPARE(session->host.cacheRequests,
                 QList<QStringList>{cacheTablesOf(g.kind, g.dimensions, true)});
        QCOMPARE(grantCount(g.kind, g.dimensions, code), held);
        QCOMPARE(dataSet->RecordCount(), g.dimensions ? catalogDimensions : catalogFacts);
        QCOMPARE(toggleKeys(form), QStringList{keyOf(g.kind, g.dimensions, code)});
        QVERIFY(session->host.exceptions.isEmpty());
        QVERIFY(!ShowAviActive());
        QCOMPARE(grantsFingerprint(db), everything);
    }

    void failedRequestStillTogglesTheKey_data() { driversAndGrids(); }
    void failedRequestStillTogglesTheKey()
    {
        if (!start())
            return;
        QFETCH(QString, gridName);
        const GridKind g = gridKindOf(gridName);
        const QString code = principalOf(g.kind);
        QVERIFY(selectPrincipal(form, g.kind, code));
        TClientDataSet *dataSet = g.dimensions ? dimensionsOf(form, g.kind) : factsOf(form, g.kind);
        const QSqlDatabase db = session->database();
        const QString everything = fingerprint(db);
        const quv::DataPacket shown = dataSet->Data();
        QVERIFY(grantCount(g.kind, g.dimensions, code) > 0);

        // The first click of the screen's life on a grid holding grants
        // clears; the server is gone.
        QVERIFY(session->server.stop() == 0);
        {
            DialogScript dialogs;
            if (g.dimensions)
                dialogs.expect(QStringLiteral("btnYes"));
            clearRecords();
            clickTitle(gridOf(g.kind, g.dimensions), CheckColumn);
            QCOMPARE(dialogs.seen.size(), g.dimensions ? 1 : 0);
        }
        QCOMPARE(session->calls, QStringList{methodOf(g.kind, g.dimensions)});
        QCOMPARE(session->host.exceptions.size(), 1);
        QVERIFY(!ShowAviActive());
        QVERIFY(session->host.cacheRequests.isEmpty());
        QCOMPARE(dataSet->Data(), shown);
        QCOMPARE(fingerprint(db), everything);
        QCOMPARE(toggleKeys(form), QStringList{keyOf(g.kind, g.dimensions, code)});

        // Back on the same database, the key left by the failed click makes
        // the next one clear: the grants really go this time.
        QVERIFY(session->server.start(session->connectionString()));
        session->host.serverPort = session->server.port();
        titleClick(g.kind, g.dimensions, code, false);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(toggleKeys(form).isEmpty());
    }

    void otherTitlesDoNothing_data()
    {
        QTest::addColumn<QString>("driver");
        for (const QString &driver : Drivers)
            QTest::newRow(qPrintable(driver)) << driver;
    }
    void otherTitlesDoNothing()
    {
        if (!start())
            return;
        const QSqlDatabase db = session->database();
        const QString everything = fingerprint(db);
        DialogScript dialogs;
        clearRecords();
        for (Kind kind : {Kind::Group, Kind::Operator}) {
            QVERIFY(selectPrincipal(form, kind, principalOf(kind)));
            session->calls.clear(); // the selection loads grants
            for (bool dimensions : {false, true}) {
                TDBGrid *grid = gridOf(kind, dimensions);
                QVERIFY(grid);
                for (int column = 1; column < grid->Columns().size(); ++column) {
                    QCOMPARE(titleHint(grid, column), QString());
                    clickTitle(grid, column);
                }
            }
            QVERIFY(session->calls.isEmpty());
        }
        // Nor do the titles of the principal lists.
        for (TDBGrid *list : {form->dbgPadrao, form->dbgOperador})
            for (int column = 0; column < list->Columns().size(); ++column) {
                QCOMPARE(titleHint(list, column), QString());
                clickTitle(list, column);
            }
        QVERIFY(setCalls(session->calls).isEmpty());
        QVERIFY(!form->cdsTestaCheck->Active());
        QCOMPARE(dialogs.seen.size(), 0);
        QVERIFY(session->host.cacheRequests.isEmpty());
        QVERIFY(session->host.exceptions.isEmpty());
        QCOMPARE(fingerprint(db), everything);
        QVERIFY(!ShowAviActive());
    }

    void keysIgnoreLetterCase_data()
    {
        QTest::addColumn<QString>("driver");
        for (const QString &driver : Drivers)
            QTest::newRow(qPrintable(driver)) << driver;
    }
    void keysIgnoreLetterCase()
    {
        // Two operators whose codes differ only in letter case share a key;
        // the one in lower case holds nothing.
        if (!start([](const QSqlDatabase &db) {
                rows(db, QStringLiteral("INSERT INTO OPERADOR (CDOPERADOR, NMOPERADOR) "
                                        "VALUES ('jsilva', 'João Silva (homônimo)')"));
            }))
            return;
        const QString upper = QStringLiteral("JSILVA");
        const QString lower = QStringLiteral("jsilva");
        titleClick(Kind::Operator, false, upper, false);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(toggleKeys(form), QStringList{QStringLiteral("OIJSILVA")});
        // The key is found, so this click clears (nothing to clear) instead
        // of marking.
        titleClick(Kind::Operator, false, lower, false);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(toggleKeys(form).isEmpty());
        titleClick(Kind::Operator, false, upper, true);
    }
};

QTEST_MAIN(TestToggleAll)
#include "tst_toggleall.moc"
