// Copying one principal's grants onto another through the real server, on
// SQLite and PostgreSQL: what each mode leaves, what the preview says, the
// audit row, and the refusals that change nothing.

#include "servedemo.h"
#include "tests/support/grants.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace quv;
using namespace quv::test;
namespace code = quv::wire::code;

namespace {

// Filters on dimensions 1-4 (each has a value table); the source and the
// target share 1, 2 and 3, each filtered on one side, both or neither.
const Grants Source{{QStringLiteral("FATOVENDA/VLVENDA"), QStringLiteral("FATOVENDA/VLCUSTO")},
                    {{1, {QStringLiteral("C1"), QStringLiteral("C2")}},
                     {2, {}},
                     {3, {QStringLiteral("L1")}},
                     {4, {QStringLiteral("N")}}}};
const Grants Target{{QStringLiteral("FATOVENDA/VLCUSTO"), QStringLiteral("FATOMETA/VLMETA")},
                    {{1, {QStringLiteral("C2"), QStringLiteral("C9")}},
                     {2, {QStringLiteral("P1")}},
                     {3, {}},
                     {6, {QStringLiteral("DIN")}}}};

Grants sorted(Grants g)
{
    g.facts.sort();
    return g;
}

QVariantMap counts(qint64 fa, qint64 fr, qint64 da, qint64 dr, qint64 va, qint64 vr)
{
    return {{QStringLiteral("factsAdded"), fa},      {QStringLiteral("factsRemoved"), fr},
            {QStringLiteral("dimensionsAdded"), da}, {QStringLiteral("dimensionsRemoved"), dr},
            {QStringLiteral("valuesAdded"), va},     {QStringLiteral("valuesRemoved"), vr}};
}

QJsonObject json(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

class ServerTransfer : public QObject
{
    Q_OBJECT

private slots:
    void copyModes_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<Grants>("expected");
        QTest::addColumn<QVariantMap>("expectedCounts");
        for (const QString &driver : Drivers) {
            // Exactly the source, whatever the target held.
            newRow(driver, "replace, group onto operator")
                << driver << "G06"
                << "OLPEREIRA"
                << "substituir" << sorted(Source) << counts(1, 1, 1, 1, 3, 3);
            // The target keeps its grants; a filter survives only where both
            // sides filter (1: union), and a dimension only the source holds
            // comes with its filter (4).
            newRow(driver, "merge, operator onto group")
                << driver << "OLPEREIRA"
                << "G06"
                << "acrescentar"
                << sorted(Grants{
                       {QStringLiteral("FATOVENDA/VLVENDA"), QStringLiteral("FATOVENDA/VLCUSTO"),
                        QStringLiteral("FATOMETA/VLMETA")},
                       {{1, {QStringLiteral("C1"), QStringLiteral("C2"), QStringLiteral("C9")}},
                        {2, {}},
                        {3, {}},
                        {4, {QStringLiteral("N")}},
                        {6, {QStringLiteral("DIN")}}}})
                << counts(1, 0, 1, 0, 2, 1);
        }
    }
    void copyModes()
    {
        QFETCH(QString, driver);
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(QString, mode);
        QFETCH(Grants, expected);
        QFETCH(QVariantMap, expectedCounts);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        setGrants(demo.db(), source, sorted(Source));
        setGrants(demo.db(), target, sorted(Target));
        const qint64 auditBefore = demo.count(QStringLiteral("SELECT COUNT(*) FROM AUDITORIA"));

        // The preview counts what the copy then does, and changes nothing.
        const wire::Response preview =
            demo.call(QStringLiteral("getPreviaCopia"), {source, target, mode});
        QUV_EXPECT_OK(preview);
        QCOMPARE(payloadOf(preview).toMap(), expectedCounts);
        QCOMPARE(grantsOf(demo.db(), target), sorted(Target));

        const wire::Response copy =
            demo.call(QStringLiteral("copiaAcessos"), {source, target, mode});
        QUV_EXPECT_OK(copy);
        QCOMPARE(payloadOf(copy).toMap(), expectedCounts);
        QCOMPARE(grantsOf(demo.db(), target), expected);
        QCOMPARE(grantsOf(demo.db(), source), sorted(Source));

        // One audit row, in the combined shape, naming exactly what changed.
        const QList<QStringList> audit =
            rows(demo.db(),
                 QStringLiteral("SELECT NMMETODO, TPPRINCIPAL, CDPRINCIPAL, DSITENS, "
                                "DSDEPOIS FROM AUDITORIA WHERE IDAUDITORIA > ?"),
                 {auditBefore});
        QCOMPARE(audit.size(), 1);
        QCOMPARE(audit[0][0], QStringLiteral("copiaAcessos"));
        QCOMPARE(audit[0][1] + audit[0][2], target);
        const QJsonObject items = json(audit[0][3]);
        const QJsonObject after = json(audit[0][4]);
        QCOMPARE(items.value(QStringLiteral("facts")).toArray().size(),
                 expectedCounts[QStringLiteral("factsAdded")].toLongLong() +
                     expectedCounts[QStringLiteral("factsRemoved")].toLongLong());
        const QJsonObject filters = after.value(QStringLiteral("filters")).toObject();
        for (const QJsonValue &number : items.value(QStringLiteral("dimensions")).toArray()) {
            const QStringList values = expected.dimensions.value(number.toInt());
            QCOMPARE(filters.value(QString::number(number.toInt())).toVariant().toStringList(),
                     values);
        }

        // Copying again changes nothing and leaves no row.
        const wire::Response again =
            demo.call(QStringLiteral("copiaAcessos"), {source, target, mode});
        QUV_EXPECT_OK(again);
        QCOMPARE(payloadOf(again).toMap(), counts(0, 0, 0, 0, 0, 0));
        QCOMPARE(demo.count(QStringLiteral("SELECT COUNT(*) FROM AUDITORIA")), auditBefore + 1);
    }

    void refusedCopyChangesNothing_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QVariantList>("params");
        QTest::addColumn<int>("error");
        for (const QString &driver : Drivers) {
            newRow(driver, "onto itself")
                << driver << QVariantList{"G02", "G02", "substituir"} << code::InvalidParams;
            newRow(driver, "unknown source")
                << driver << QVariantList{"ONINGUEM", "G02", "substituir"} << code::UnknownKey;
            newRow(driver, "unknown target")
                << driver << QVariantList{"G02", "G99", "acrescentar"} << code::UnknownKey;
            newRow(driver, "malformed key")
                << driver << QVariantList{"02", "G01", "substituir"} << code::InvalidParams;
            newRow(driver, "unknown mode")
                << driver << QVariantList{"G02", "G01", "trocar"} << code::InvalidParams;
        }
    }
    void refusedCopyChangesNothing()
    {
        QFETCH(QString, driver);
        QFETCH(QVariantList, params);
        QFETCH(int, error);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString before = fingerprint(demo.db());
        QUV_EXPECT_ERROR(demo.call(QStringLiteral("copiaAcessos"), params), error);
        QCOMPARE(fingerprint(demo.db()), before);
    }
};

QTEST_GUILESS_MAIN(ServerTransfer)
#include "tst_servertransfer.moc"
