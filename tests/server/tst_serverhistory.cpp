// The history through the real server: pages that stay put while changes
// are written, the filters, and the undo: exactly the keys of its row,
// refused (changing nothing) when anything changed them since, and written
// with its audit row or not at all.

#include "servedemo.h"

#include "contracts/history.h"

#include <QDateTime>

using namespace quv;
using namespace quv::test;
namespace code = quv::wire::code;

namespace {

const QVariant Out;

struct Query
{
    QString principal = {}, administrator = {}, since = {}, until = {}, text = {}, cursor = {},
            limit = {};
};

wire::Response readPage(ServedDemo &demo, const Query &q)
{
    return demo.call(QStringLiteral("getHistorico"),
                     {q.principal, q.administrator, q.since, q.until, q.text, q.cursor, q.limit});
}

/// The ids of a page and its cursor; a failed call gives the error text as
/// the cursor and no ids, so that comparisons show it.
std::pair<QList<qint64>, QString> idsOf(const wire::Response &response)
{
    if (!response.ok)
        return {{}, QStringLiteral("error: ") + response.errorMessage};
    const QVariantMap page = payloadOf(response).toMap();
    QList<qint64> ids;
    const QVariantList rows = page.value(QStringLiteral("rows")).toList();
    for (const QVariant &row : rows)
        ids.append(row.toMap().value(QStringLiteral("id")).toLongLong());
    return {ids, page.value(QStringLiteral("next")).toString()};
}

qint64 lastId(ServedDemo &demo)
{
    return demo.count(QStringLiteral("SELECT MAX(IDAUDITORIA) FROM AUDITORIA"));
}

wire::Response undo(ServedDemo &demo, const QString &id)
{
    return demo.call(QStringLiteral("desfazAlteracao"), {id});
}

wire::Response undo(ServedDemo &demo, qint64 id)
{
    return undo(demo, QString::number(id));
}

QVariant facts(const QList<QStringList> &rows)
{
    return QVariant::fromValue(packetOf({{"CDTABELADW", 30}, {"CDITEMDW", 30}}, rows));
}

QVariant dimensions(const QStringList &numbers)
{
    QList<QStringList> rows;
    for (const QString &n : numbers)
        rows.append({n});
    return QVariant::fromValue(packetOf({{"NRSEQUEDIME", 5}}, rows));
}

QVariant filter(const QString &code, const QString &number, const QStringList &values)
{
    QList<QStringList> rows;
    for (const QString &v : values)
        rows.append({v, code, number});
    return QVariant::fromValue(
        packetOf({{"ITENS", 50}, {"CDCODIGOPAI", 20}, {"NRSEQUEDIME", 20}}, rows));
}

struct Call
{
    QString method;
    QVariantList params;
};

} // namespace

Q_DECLARE_METATYPE(Call)

namespace {

/// A principal's grants as "F|table|item", "D|number" and "V|number|value".
QSet<QString> grantsOf(const QSqlDatabase &db, const QString &key)
{
    const bool group = key.front() == u'G';
    const QString code = key.mid(1);
    QSet<QString> state;
    const auto add = [&](const QString &prefix, const QString &sql) {
        for (const QStringList &row : rows(db, sql, {code}))
            state.insert(prefix + row.join(u'|'));
    };
    add(QStringLiteral("F|"), group ? QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM "
                                                     "ITEMDWGRUPOP WHERE CDGRUPOPER = ?")
                                    : QStringLiteral("SELECT CDTABELADW, CDITEMDW FROM "
                                                     "ITEMDWOPER WHERE CDOPERADOR = ?"));
    add(QStringLiteral("D|"),
        group ? QStringLiteral("SELECT NRSEQUEDIME FROM DIMEDWGRUPOP WHERE CDGRUPOPER = ?")
              : QStringLiteral("SELECT NRSEQUEDIME FROM DIMEODWOPER WHERE CDOPERADOR = ?"));
    add(QStringLiteral("V|"), group ? QStringLiteral("SELECT NRSEQUEDIME, CDFILDIMEGRUPOP FROM "
                                                     "FILDIMEGRUPOP WHERE CDGRUPOPER = ?")
                                    : QStringLiteral("SELECT NRSEQUEDIME, CDFILDIMEOPER FROM "
                                                     "FILDIMEOPER WHERE CDOPERADOR = ?"));
    return state;
}

/// The key a grant string belongs to: a fact, or a dimension with its filter.
QString keyOf(const QString &grant)
{
    return grant.startsWith(u'F') ? grant : QStringLiteral("DIM|") + grant.section(u'|', 1, 1);
}

} // namespace

class ServerHistory : public QObject
{
    Q_OBJECT

private slots:
    void drivers_data() { addDriverColumn(); }

    // A cursor is an id, not a position: rows written between two pages
    // neither repeat nor hide a row of the next page.
    void pagesStayPutWhileRowsAreAdded_data() { drivers_data(); }
    void pagesStayPutWhileRowsAreAdded()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const auto toggle = [&demo](bool grant) {
            return demo.call(QStringLiteral("setCkFatoOpGrup"),
                             {"FATOVENDA", "VLMARGEM", "06", grant, Out});
        };
        for (int i = 0; i < 5; ++i)
            QUV_EXPECT_OK(toggle(i % 2 == 0));
        const qint64 last = lastId(demo);
        const auto first = idsOf(readPage(demo, {.limit = QStringLiteral("2")}));
        QCOMPARE(first.first, (QList<qint64>{last, last - 1}));
        QUV_EXPECT_OK(toggle(true));
        QUV_EXPECT_OK(toggle(false));
        const auto second = idsOf(readPage(demo, {.cursor = first.second, .limit = "2"}));
        QCOMPARE(second.first, (QList<qint64>{last - 2, last - 3}));
        const auto third = idsOf(readPage(demo, {.cursor = second.second, .limit = "2"}));
        QCOMPARE(third, (std::pair<QList<qint64>, QString>{{last - 4}, QString()}));
        QCOMPARE(idsOf(readPage(demo, {.limit = "2"})).first, (QList<qint64>{last + 2, last + 1}));
    }

    void filtersNarrowTheRows_data() { drivers_data(); }
    void filtersNarrowTheRows()
    {
        QFETCH(QString, driver);
        const QString otherToken = QStringLiteral("other-token-9d02ce");
        ServedDemo demo;
        RpcClient other;
        QUV_SERVE_WITH_SECOND_ADMIN(demo, driver, other, otherToken);
        QUV_EXPECT_OK(demo.call(QStringLiteral("setCkFatoOpGrup"),
                                {"FATOVENDA", "VLMARGEM", "06", true, Out}));
        const qint64 margin = lastId(demo);
        QUV_EXPECT_OK(ServedDemo::callOn(other, QStringLiteral("setCkDimeOpOper"),
                                         {"2", "JSILVA", true, Out}));
        const qint64 silva = lastId(demo);
        QUV_EXPECT_OK(demo.call(QStringLiteral("setDelFilDime"), {filter("02", "4", {"N"}), true}));
        const qint64 region = lastId(demo);
        const QString today = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);

        const struct
        {
            const char *what;
            Query query;
            QList<qint64> ids;
        } cases[] = {
            {"principal", {.principal = "G06"}, {margin}},
            {"administrator", {.administrator = "outra"}, {silva}},
            {"future", {.since = "2999-01-01"}, {}},
            {"until a bare date: that whole day", {.until = today}, {region, silva, margin}},
            {"fact name, case and accents aside", {.text = "MARGEM bruta"}, {margin}},
            {"principal name", {.text = "joao da"}, {silva}},
            {"dimension name", {.text = "regiao"}, {region}},
            {"no name bears it", {.text = "nada disso"}, {}},
        };
        for (const auto &c : cases)
            QVERIFY2(idsOf(readPage(demo, c.query)).first == c.ids, c.what);

        const wire::Response row = readPage(demo, {.principal = "G02"});
        const QVariantMap entry =
            payloadOf(row).toMap().value(QStringLiteral("rows")).toList().value(0).toMap();
        QCOMPARE(entry.value("principal").toMap().value("name").toString(),
                 QStringLiteral("Gerência Comercial"));
        QCOMPARE(entry.value("filters").toList().value(0).toMap().value("removed").toList(),
                 (QVariantList{"S", "SE"}));

        const Query bad[] = {{.principal = "X01"},
                             {.since = "ontem"},
                             {.cursor = "-3"},
                             {.limit = "501"},
                             {.text = QString(101, u'a')}};
        for (const Query &q : bad)
            QUV_EXPECT_ERROR(readPage(demo, q), code::InvalidParams);
    }

    // A page lists the first facts of a row and counts the rest; the row
    // read alone lists them all. A row the server summarised as it wrote it
    // reads the same as one from before summaries were kept.
    void pageRowsAgreeWithTheWholeChange_data() { drivers_data(); }
    void pageRowsAgreeWithTheWholeChange()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        QList<QStringList> many;
        for (int i = 1; i <= 25; ++i) {
            const QString item = QStringLiteral("IT%1").arg(i, 2, 10, QLatin1Char('0'));
            db::execDirect(
                demo.db(),
                QStringLiteral("INSERT INTO ITEMDW VALUES ('FATOVENDA', '%1', 'Item %2')")
                    .arg(item, item.mid(2)));
            many.append({QStringLiteral("FATOVENDA"), item});
        }
        QUV_EXPECT_OK(
            demo.call(QStringLiteral("setTChkFatoOpGrup"), {"06", facts(many), Out, true}));
        const qint64 toggle = lastId(demo);
        QUV_EXPECT_OK(
            demo.call(QStringLiteral("setDelFilDime"), {filter("02", "4", {"N", "NE"}), true}));
        QUV_EXPECT_OK(demo.call(QStringLiteral("setCkDimeOpGrup"), {"4", "02", false, Out}));

        const auto page = [&demo] {
            return payloadOf(readPage(demo, {.limit = "3"})).toMap().value("rows").toList();
        };
        const QVariantList summarised = page();
        QCOMPARE(summarised.size(), 3);
        const QVariantMap listed = summarised.last().toMap().value("facts").toMap();
        QCOMPARE(listed.value("added").toList().size(), quv::history::ShownFacts);
        QCOMPARE(listed.value("addedCount").toInt(), 25);
        QCOMPARE(listed.value("added").toList().first().toList().value(2).toString(),
                 QStringLiteral("Item 01"));

        const wire::Response alone =
            demo.call(QStringLiteral("getAlteracao"), {QString::number(toggle)});
        QUV_EXPECT_OK(alone);
        const QVariantMap whole = payloadOf(alone).toMap();
        const QVariantList all = whole.value("facts").toMap().value("added").toList();
        QCOMPARE(all.size(), 25);
        QCOMPARE(all.mid(0, quv::history::ShownFacts), listed.value("added").toList());
        QVariantMap asListed = whole;
        asListed.insert("facts", listed);
        QCOMPARE(asListed, summarised.last().toMap());

        db::execDirect(demo.db(), QStringLiteral("UPDATE AUDITORIA SET DSRESUMO = NULL"));
        QCOMPARE(page(), summarised);

        QUV_EXPECT_ERROR(demo.call(QStringLiteral("getAlteracao"), {"12a"}), code::InvalidParams);
        QUV_EXPECT_ERROR(demo.call(QStringLiteral("getAlteracao"), {QString::number(toggle + 9)}),
                         code::UnknownKey);
    }

    void undoRestoresExactlyThoseKeys_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("principal");
        QTest::addColumn<QVariant>("change");
        QTest::addColumn<QVariant>("later"); // another key of the same principal, changed after
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QStringList>("tables");
        const auto call = [](const char *method, const QVariantList &params) {
            return QVariant::fromValue(Call{QString::fromLatin1(method), params});
        };
        for (const QString &driver : Drivers) {
            newRow(driver, "facts granted together")
                << driver << "G06"
                << call(
                       "setTChkFatoOpGrup",
                       {"06", facts({{"FATOVENDA", "VLVENDA"}, {"FATOMETA", "VLMETA"}}), Out, true})
                << call("setCkFatoOpGrup", {"FATOESTOQUE", "QTESTOQUE", "06", true, Out})
                << QStringList{"F|FATOVENDA|VLVENDA", "F|FATOMETA|VLMETA"}
                << QStringList{"ITEMDWGRUPOP"};
            newRow(driver, "dimension revoked with its filter")
                << driver << "G02" << call("setCkDimeOpGrup", {"4", "02", false, Out})
                << call("setCkFatoOpGrup", {"FATOESTOQUE", "QTESTOQUE", "02", true, Out})
                << QStringList{"DIM|4"} << QStringList{"DIMEDWGRUPOP", "FILDIMEGRUPOP"};
            newRow(driver, "filter replaced")
                << driver << "G02" << call("setDelFilDime", {filter("02", "4", {"N", "NE"}), true})
                << call("setCkDimeOpGrup", {"6", "02", true, Out}) << QStringList{"DIM|4"}
                << QStringList{"FILDIMEGRUPOP"};
            newRow(driver, "operator's dimensions revoked together")
                << driver << "OJSILVA"
                << call("setTChkDimeOpOper", {"JSILVA", dimensions({"1", "3"}), false, Out})
                << call("setDelFilDime", {filter("JSILVA", "4", {"N"}), false})
                << QStringList{"DIM|1", "DIM|3"} << QStringList{"DIMEODWOPER", "FILDIMEOPER"};
        }
    }
    void undoRestoresExactlyThoseKeys()
    {
        QFETCH(QString, driver);
        QFETCH(QString, principal);
        QFETCH(QVariant, change);
        QFETCH(QVariant, later);
        QFETCH(QStringList, keys);
        QFETCH(QStringList, tables);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QSet<QString> original = grantsOf(demo.db(), principal);
        const Call c = change.value<Call>();
        QUV_EXPECT_OK(demo.call(c.method, c.params));
        const qint64 changeId = lastId(demo);
        const Call l = later.value<Call>();
        QUV_EXPECT_OK(demo.call(l.method, l.params));
        const QSet<QString> changed = grantsOf(demo.db(), principal);

        QSet<QString> expected;
        for (const QString &g : changed)
            if (!keys.contains(keyOf(g)))
                expected.insert(g);
        // Both the change and the later one really moved a grant.
        const QSet<QString> moved =
            QSet<QString>(changed).subtract(original) + QSet<QString>(original).subtract(changed);
        QVERIFY(std::any_of(moved.cbegin(), moved.cend(),
                            [&keys](const QString &g) { return keys.contains(keyOf(g)); }));
        QVERIFY(std::any_of(moved.cbegin(), moved.cend(),
                            [&keys](const QString &g) { return !keys.contains(keyOf(g)); }));
        for (const QString &g : original)
            if (keys.contains(keyOf(g)))
                expected.insert(g);
        const wire::Response undone = undo(demo, changeId);
        QUV_EXPECT_OK(undone);
        QCOMPARE(grantsOf(demo.db(), principal), expected);
        const QVariantMap result = payloadOf(undone).toMap();
        QCOMPARE(result.value("principal").toString(), principal);
        QCOMPARE(result.value("tables").toStringList(), tables);
        const qint64 undoId = lastId(demo);
        QCOMPARE(result.value("id").toLongLong(), undoId);
        QCOMPARE(rows(demo.db(),
                      QStringLiteral("SELECT NMMETODO, IDAUDITORIADESFEITA, TPPRINCIPAL || "
                                     "CDPRINCIPAL FROM AUDITORIA WHERE IDAUDITORIA = ?"),
                      {undoId}),
                 (QList<QStringList>{{"desfazAlteracao", QString::number(changeId), principal}}));

        // The undo is a change like any other: taking it back puts the
        // change back.
        QUV_EXPECT_OK(undo(demo, undoId));
        QCOMPARE(grantsOf(demo.db(), principal), changed);
    }

    void refusedUndoChangesNothing_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("message"); // %1: the id the message must name
        for (const QString &driver : Drivers) {
            newRow(driver, "a later change")
                << driver << "later" << code::InvalidValue << "a alteração %1 (";
            newRow(driver, "already undone")
                << driver << "undone" << code::InvalidValue << "já foi desfeita pela alteração %1";
            newRow(driver, "an undo undone in turn")
                << driver << "undone undo" << code::InvalidValue
                << "já foi desfeita pela alteração %1";
            newRow(driver, "a call that changed nothing")
                << driver << "no change" << code::InvalidValue << "não mudou nenhum acesso";
            newRow(driver, "unknown id")
                << driver << "unknown" << code::UnknownKey << "não existe no histórico";
            newRow(driver, "not a number")
                << driver << "text" << code::InvalidParams << "deve ser o número";
        }
    }
    void refusedUndoChangesNothing()
    {
        QFETCH(QString, driver);
        QFETCH(QString, scenario);
        QFETCH(int, error);
        QFETCH(QString, message);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const auto margin = [&demo](bool grant) {
            return demo.call(QStringLiteral("setCkFatoOpGrup"),
                             {"FATOVENDA", "VLMARGEM", "06", grant, Out});
        };
        QUV_EXPECT_OK(margin(true));
        QString target = QString::number(lastId(demo));
        if (scenario == u"later") {
            QUV_EXPECT_OK(margin(false));
        } else if (scenario == u"undone") {
            QUV_EXPECT_OK(undo(demo, target));
        } else if (scenario == u"undone undo") {
            QUV_EXPECT_OK(undo(demo, target));
            target = QString::number(lastId(demo));
            QUV_EXPECT_OK(undo(demo, target));
        } else if (scenario == u"no change") {
            QUV_EXPECT_OK(margin(true));
            target = QString::number(lastId(demo));
        } else if (scenario == u"unknown") {
            target = QStringLiteral("999999");
        } else if (scenario == u"text") {
            target = QStringLiteral("12a");
        }
        const QString named = QString::number(lastId(demo));
        const QString before = fingerprint(demo.db());
        const wire::Response refused = undo(demo, target);
        QUV_EXPECT_ERROR(refused, error);
        QVERIFY2(
            refused.errorMessage.contains(message.contains(u'%') ? message.arg(named) : message),
            qPrintable(refused.errorMessage));
        QCOMPARE(fingerprint(demo.db()), before);
    }

    // A copy writes the combined row: taking it back gives the target its
    // grants again, in either mode.
    void copyIsUndone_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("mode");
        for (const QString &driver : Drivers)
            for (const char *mode : {"substituir", "acrescentar"})
                newRow(driver, mode) << driver << QString::fromLatin1(mode);
    }
    void copyIsUndone()
    {
        QFETCH(QString, driver);
        QFETCH(QString, mode);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString target = QStringLiteral("OJSILVA");
        const QSet<QString> original = grantsOf(demo.db(), target);
        QUV_EXPECT_OK(
            demo.call(QStringLiteral("copiaAcessos"), {QStringLiteral("G02"), target, mode}));
        QVERIFY(grantsOf(demo.db(), target) != original);
        QUV_EXPECT_OK(undo(demo, lastId(demo)));
        QCOMPARE(grantsOf(demo.db(), target), original);
    }

    // An undo whose audit row cannot be written leaves the grants as they
    // were: the two are one transaction.
    void undoAndItsRowCommitTogether_data() { drivers_data(); }
    void undoAndItsRowCommitTogether()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        QUV_EXPECT_OK(demo.call(
            QStringLiteral("setTChkFatoOpGrup"),
            {"06", facts({{"FATOVENDA", "VLVENDA"}, {"FATOMETA", "VLMETA"}}), Out, true}));
        const qint64 change = lastId(demo);
        if (driver == u"sqlite") {
            db::execDirect(demo.db(),
                           QStringLiteral("CREATE TRIGGER NO_UNDO BEFORE INSERT ON AUDITORIA WHEN "
                                          "NEW.NMMETODO = 'desfazAlteracao' BEGIN SELECT "
                                          "RAISE(ABORT, 'audit refused'); END"));
        } else {
            db::execDirect(demo.db(),
                           QStringLiteral("CREATE FUNCTION NO_UNDO() RETURNS trigger LANGUAGE "
                                          "plpgsql AS $$ BEGIN IF NEW.NMMETODO = "
                                          "'desfazAlteracao' THEN RAISE EXCEPTION 'audit "
                                          "refused'; END IF; RETURN NEW; END $$"));
            db::execDirect(demo.db(), QStringLiteral("CREATE TRIGGER NO_UNDO BEFORE INSERT ON "
                                                     "AUDITORIA FOR EACH ROW EXECUTE FUNCTION "
                                                     "NO_UNDO()"));
        }
        const QString before = fingerprint(demo.db());
        QUV_EXPECT_ERROR(undo(demo, change), code::DatabaseError);
        QCOMPARE(fingerprint(demo.db()), before);
    }
};

QTEST_GUILESS_MAIN(ServerHistory)
#include "tst_serverhistory.moc"
