// The methods that change grants and filters, through a real server process,
// on SQLite and PostgreSQL: what they store, what they answer, and that a
// refused change leaves the database exactly as it was.

#include "servedemo.h"

using namespace quv;
using namespace quv::test;
namespace code = quv::wire::code;

namespace {

struct KindNames
{
    QString getMethod, setFact, setDime, setAllFact, setAllDime;
    QString code;     // a principal without any grant
    QString filtered; // a principal with a filter on `filteredDim`
    QString filteredDim;
    QString otherFilteredDim; // another filtered dimension of `filtered`, or empty
    QString factTable, dimTable, filterTable, codeColumn;
    bool group;
};

KindNames kindNames(const QString &kind)
{
    if (kind == QLatin1StringView("group"))
        return {"getOperGrup",
                "setCkFatoOpGrup",
                "setCkDimeOpGrup",
                "setTChkFatoOpGrup",
                "setTChkDimeOpGrup",
                "06",
                "02",
                "4",
                "3",
                "ITEMDWGRUPOP",
                "DIMEDWGRUPOP",
                "FILDIMEGRUPOP",
                "CDGRUPOPER",
                true};
    return {"getOperOper",
            "setCkFatoOpOper",
            "setCkDimeOpOper",
            "setTChkFatoOpOper",
            "setTChkDimeOpOper",
            "LPEREIRA",
            "JSILVA",
            "1",
            "4",
            "ITEMDWOPER",
            "DIMEODWOPER",
            "FILDIMEOPER",
            "CDOPERADOR",
            false};
}

DataPacket filterPacket(const QStringList &values, const QString &principal, const QString &number,
                        int itemsWidth = 50)
{
    // The client declares ITENS wider than the old 20 so that values of up
    // to 50 characters travel whole.
    DataPacket packet({{QStringLiteral("ITENS"), itemsWidth},
                       {QStringLiteral("CDCODIGOPAI"), 20},
                       {QStringLiteral("NRSEQUEDIME"), 20}});
    for (const QString &value : values)
        packet.appendRow({value, principal, number});
    return packet;
}

} // namespace

class ServerChanges : public QObject
{
    Q_OBJECT

private:
    void kinds_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("kind");
        for (const QString &driver : Drivers)
            for (const char *kind : {"group", "operator"})
                QTest::newRow(qPrintable(driver + QLatin1Char(' ') + QLatin1String(kind)))
                    << driver << QString::fromLatin1(kind);
    }

    QStringList storedFilter(const ServedDemo &demo, const KindNames &k, const QString &principal,
                             const QString &number)
    {
        QStringList values;
        const QList<QStringList> found = rows(
            demo.db(),
            QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ? AND NRSEQUEDIME = ? ORDER BY 1")
                .arg(k.group ? QStringLiteral("CDFILDIMEGRUPOP") : QStringLiteral("CDFILDIMEOPER"),
                     k.filterTable, k.codeColumn),
            {principal, number.toInt()});
        for (const QStringList &row : found)
            values.append(row.first());
        return values;
    }

private slots:
    void factToggle_data() { kinds_data(); }
    void factToggle()
    {
        QFETCH(QString, driver);
        QFETCH(QString, kind);
        const KindNames k = kindNames(kind);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString grants =
            QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 = ? AND CDTABELADW = "
                           "'FATOVENDA' AND CDITEMDW = 'VLMARGEM'")
                .arg(k.factTable, k.codeColumn);
        const QString ctac =
            k.group ? QStringLiteral("CDGRUPOPERCTAC") : QStringLiteral("CDOPERADORCTAC");
        const QVariantList grant{QStringLiteral("FATOVENDA"), QStringLiteral("VLMARGEM"), k.code,
                                 true, QVariant()};

        wire::Response r = demo.call(k.setFact, grant);
        QUV_EXPECT_OK(r);
        QCOMPARE(demo.count(grants, {k.code}), 1);
        DataPacket facts = packetAt(r, 4);
        QCOMPARE(facts.rowCount(), 14);
        QCOMPARE(rowWhere(facts, QStringLiteral("CDITEMDW"), QStringLiteral("VLMARGEM")).mid(1),
                 (QStringList{"FATOVENDA", "VLMARGEM", "FATOVENDA", "VLMARGEM", k.code}));
        // The answer is the same packet a fresh read gives.
        QCOMPARE(facts, packetAt(demo.call(k.getMethod, {k.code, {}, {}}), 1));

        // Granting twice keeps one grant.
        QUV_EXPECT_OK(demo.call(k.setFact, grant));
        QCOMPARE(demo.count(grants, {k.code}), 1);

        QVariantList revoke = grant;
        revoke[3] = false;
        r = demo.call(k.setFact, revoke);
        QUV_EXPECT_OK(r);
        QCOMPARE(demo.count(grants, {k.code}), 0);
        QCOMPARE(cell(packetAt(r, 4), QStringLiteral("CDITEMDW"), QStringLiteral("VLMARGEM"), ctac),
                 QString());
        // Revoking what is not granted is no error.
        QUV_EXPECT_OK(demo.call(k.setFact, revoke));
    }

    void dimensionToggle_data() { kinds_data(); }
    void dimensionToggle()
    {
        QFETCH(QString, driver);
        QFETCH(QString, kind);
        const KindNames k = kindNames(kind);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString nr = QStringLiteral("NRSEQUEDIME");
        const QString ctacNr = QStringLiteral("NRSEQUEDIMECTAC");
        const QString filNr = QStringLiteral("NRSEQUEDIMEFIL");

        wire::Response r = demo.call(k.setDime, {QStringLiteral("2"), k.code, true, QVariant()});
        QUV_EXPECT_OK(r);
        QCOMPARE(cell(packetAt(r, 3), nr, QStringLiteral("2"), ctacNr), QStringLiteral("2"));
        QCOMPARE(demo.count(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 = ?")
                                .arg(k.dimTable, k.codeColumn),
                            {k.code}),
                 1);

        // Revoking a filtered dimension drops its filter in the same change,
        // and only that dimension's filter.
        const QStringList otherBefore = storedFilter(demo, k, k.filtered, k.otherFilteredDim);
        QVERIFY(!otherBefore.isEmpty());
        QVERIFY(!storedFilter(demo, k, k.filtered, k.filteredDim).isEmpty());
        r = demo.call(k.setDime, {k.filteredDim, k.filtered, false, QVariant()});
        QUV_EXPECT_OK(r);
        QCOMPARE(storedFilter(demo, k, k.filtered, k.filteredDim), QStringList());
        QCOMPARE(storedFilter(demo, k, k.filtered, k.otherFilteredDim), otherBefore);
        QCOMPARE(
            demo.count(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 = ? AND NRSEQUEDIME = ?")
                           .arg(k.dimTable, k.codeColumn),
                       {k.filtered, k.filteredDim.toInt()}),
            0);
        const DataPacket dims = packetAt(r, 3);
        QCOMPARE(cell(dims, nr, k.filteredDim, ctacNr), QString());
        QCOMPARE(cell(dims, nr, k.filteredDim, filNr), QString());
        QCOMPARE(cell(dims, nr, k.otherFilteredDim, filNr), k.otherFilteredDim);
    }

    void toggleRefused_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("params");
        QTest::addColumn<QString>("messagePart");
        const QVariant out;
        for (const QString &driver : Drivers) {
            newRow(driver, "fact unknown group")
                << driver << "setCkFatoOpGrup"
                << QVariantList{"FATOVENDA", "VLVENDA", "99", true, out} << "'99'";
            newRow(driver, "fact empty group")
                << driver << "setCkFatoOpGrup"
                << QVariantList{"FATOVENDA", "VLVENDA", "", true, out} << "código vazio";
            newRow(driver, "fact unknown item")
                << driver << "setCkFatoOpGrup" << QVariantList{"FATOVENDA", "NADA", "06", true, out}
                << "'FATOVENDA/NADA'";
            newRow(driver, "fact empty keys")
                << driver << "setCkFatoOpOper" << QVariantList{"", "", "JSILVA", false, out}
                << "'/'";
            newRow(driver, "fact unknown operator")
                << driver << "setCkFatoOpOper"
                << QVariantList{"FATOVENDA", "VLVENDA", "NINGUEM", true, out} << "'NINGUEM'";
            newRow(driver, "dimension unknown")
                << driver << "setCkDimeOpGrup" << QVariantList{"999", "02", true, out} << "'999'";
            newRow(driver, "dimension not a number")
                << driver << "setCkDimeOpGrup" << QVariantList{"4; DROP", "02", false, out}
                << "'4; DROP'";
            newRow(driver, "dimension empty")
                << driver << "setCkDimeOpOper" << QVariantList{"", "JSILVA", false, out} << "vazio";
            newRow(driver, "dimension unknown operator")
                << driver << "setCkDimeOpOper" << QVariantList{"1", "", false, out} << "vazio";
        }
    }
    void toggleRefused()
    {
        QFETCH(QString, driver);
        QFETCH(QString, method);
        QFETCH(QVariantList, params);
        QFETCH(QString, messagePart);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString before = fingerprint(demo.db());
        const wire::Response r = demo.call(method, params);
        QUV_EXPECT_ERROR(r, code::UnknownKey);
        QVERIFY2(r.errorMessage.contains(messagePart), qPrintable(r.errorMessage));
        QCOMPARE(fingerprint(demo.db()), before);
    }

    void allFacts_data() { kinds_data(); }
    void allFacts()
    {
        QFETCH(QString, driver);
        QFETCH(QString, kind);
        const KindNames k = kindNames(kind);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString granted =
            QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 = ?").arg(k.factTable, k.codeColumn);
        const DataPacket all = packetAt(demo.call(k.getMethod, {k.code, {}, {}}), 1);
        QCOMPARE(all.rowCount(), 14);

        wire::Response r = demo.call(k.setAllFact, {k.code, QVariant::fromValue(all), {}, true});
        QUV_EXPECT_OK(r);
        QCOMPARE(demo.count(granted, {k.code}), 14);
        const DataPacket marked = packetAt(r, 2);
        for (qsizetype row = 0; row < marked.rowCount(); ++row)
            QCOMPARE(marked.value(row, 3), marked.value(row, 1));

        // Only the rows named change: two rows, one repeated.
        DataPacket two(all.fields());
        two.appendRow(all.row(0));
        two.appendRow(all.row(5));
        two.appendRow(all.row(0));
        QUV_EXPECT_OK(demo.call(k.setAllFact, {k.code, QVariant::fromValue(two), {}, false}));
        QCOMPARE(demo.count(granted, {k.code}), 12);

        r = demo.call(k.setAllFact, {k.code, QVariant::fromValue(all), {}, false});
        QUV_EXPECT_OK(r);
        QCOMPARE(demo.count(granted, {k.code}), 0);
        QCOMPARE(packetAt(r, 2), packetAt(demo.call(k.getMethod, {k.code, {}, {}}), 1));

        // An empty grid still gets its (unchanged) packet back.
        r = demo.call(k.setAllFact,
                      {k.code, QVariant::fromValue(DataPacket(all.fields())), {}, true});
        QUV_EXPECT_OK(r);
        QCOMPARE(packetAt(r, 2).rowCount(), 14);
        QCOMPARE(demo.count(granted, {k.code}), 0);
    }

    void allDimensions_data() { kinds_data(); }
    void allDimensions()
    {
        QFETCH(QString, driver);
        QFETCH(QString, kind);
        const KindNames k = kindNames(kind);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString granted =
            QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 = ?").arg(k.dimTable, k.codeColumn);
        const QString filters =
            QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 = ?").arg(k.filterTable, k.codeColumn);
        const DataPacket all = packetAt(demo.call(k.getMethod, {k.code, {}, {}}), 2);
        QCOMPARE(all.rowCount(), 8);
        QUV_EXPECT_OK(demo.call(k.setAllDime, {k.code, QVariant::fromValue(all), true, {}}));
        QCOMPARE(demo.count(granted, {k.code}), 8);

        // Clearing all drops every filter of the principal, and nobody else's.
        const qint64 othersFilters =
            demo.count(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 <> ?")
                           .arg(k.filterTable, k.codeColumn),
                       {k.filtered});
        QVERIFY(demo.count(filters, {k.filtered}) > 0);
        const wire::Response r =
            demo.call(k.setAllDime, {k.filtered, QVariant::fromValue(all), false, {}});
        QUV_EXPECT_OK(r);
        QCOMPARE(demo.count(granted, {k.filtered}), 0);
        QCOMPARE(demo.count(filters, {k.filtered}), 0);
        QCOMPARE(demo.count(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 <> ?")
                                .arg(k.filterTable, k.codeColumn),
                            {k.filtered}),
                 othersFilters);
        QCOMPARE(demo.count(granted, {k.code}), 8);
        QCOMPARE(packetAt(r, 3), packetAt(demo.call(k.getMethod, {k.filtered, {}, {}}), 2));
    }

    void bulkRefused_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("what");
        for (const QString &driver : Drivers)
            for (const char *what :
                 {"unknown fact", "unknown dimension", "fact packet without key",
                  "dimension packet without key", "unknown principal", "too many rows"})
                QTest::newRow(qPrintable(driver + QLatin1Char(' ') + QLatin1String(what)))
                    << driver << QString::fromLatin1(what);
    }
    void bulkRefused()
    {
        QFETCH(QString, driver);
        QFETCH(QString, what);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const DataPacket facts =
            packetAt(demo.call(QStringLiteral("getOperGrup"), {"06", {}, {}}), 1);
        const DataPacket dims =
            packetAt(demo.call(QStringLiteral("getOperGrup"), {"02", {}, {}}), 2);
        const QString before = fingerprint(demo.db());
        wire::Response r;
        int expected = code::UnknownKey;
        if (what == QLatin1StringView("unknown fact")) {
            // Valid rows first: none of them may be granted either.
            DataPacket bad = facts;
            bad.appendRow({"Nada", "FATOVENDA", "NADA", "", "", ""});
            r = demo.call(QStringLiteral("setTChkFatoOpGrup"),
                          {"06", QVariant::fromValue(bad), {}, true});
        } else if (what == QLatin1StringView("unknown dimension")) {
            DataPacket bad = dims;
            bad.appendRow({"", "", "Nada", "77", "", "", "", "", ""});
            r = demo.call(QStringLiteral("setTChkDimeOpGrup"),
                          {"02", QVariant::fromValue(bad), false, {}});
        } else if (what == QLatin1StringView("fact packet without key")) {
            DataPacket bad({{QStringLiteral("CDTABELADW"), 30}});
            bad.appendRow({"FATOVENDA"});
            r = demo.call(QStringLiteral("setTChkFatoOpGrup"),
                          {"06", QVariant::fromValue(bad), {}, true});
            expected = code::InvalidParams;
        } else if (what == QLatin1StringView("too many rows")) {
            DataPacket many({{QStringLiteral("CDTABELADW"), 30}, {QStringLiteral("CDITEMDW"), 30}});
            for (int i = 0; i <= 100000; ++i)
                many.appendRow({QStringLiteral("FATOVENDA"), QStringLiteral("VLVENDA")});
            r = demo.call(QStringLiteral("setTChkFatoOpGrup"),
                          {"06", QVariant::fromValue(many), {}, true});
            expected = code::InvalidParams;
            QVERIFY2(r.errorMessage.contains(QStringLiteral("100001 linhas")),
                     qPrintable(r.errorMessage));
        } else if (what == QLatin1StringView("dimension packet without key")) {
            r = demo.call(QStringLiteral("setTChkDimeOpGrup"),
                          {"02", QVariant::fromValue(facts), false, {}});
            expected = code::InvalidParams;
        } else {
            r = demo.call(QStringLiteral("setTChkFatoOpOper"),
                          {"NINGUEM", QVariant::fromValue(facts), {}, true});
        }
        QUV_EXPECT_ERROR(r, expected);
        QCOMPARE(fingerprint(demo.db()), before);
    }

    void filterReplace_data() { kinds_data(); }
    void filterReplace()
    {
        QFETCH(QString, driver);
        QFETCH(QString, kind);
        const KindNames k = kindNames(kind);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString method = QStringLiteral("setDelFilDime");
        const QString nr = k.filteredDim;
        const QString fifty = QString(49, QLatin1Char('x')) + QStringLiteral("é");

        // Duplicates collapse, empty values are no values, long values stay whole.
        wire::Response r = demo.call(
            method, {QVariant::fromValue(filterPacket({"B", "A", "", "B", fifty}, k.filtered, nr)),
                     k.group});
        QUV_EXPECT_OK(r);
        QCOMPARE(outOf(r), (QVariantList{QVariant(), QVariant()}));
        QCOMPARE(storedFilter(demo, k, k.filtered, nr), (QStringList{"A", "B", fifty}));

        // A new set replaces the old one whole.
        QUV_EXPECT_OK(
            demo.call(method, {QVariant::fromValue(filterPacket({"C"}, k.filtered, nr)), k.group}));
        QCOMPARE(storedFilter(demo, k, k.filtered, nr), QStringList{"C"});
        const QString key = (k.group ? QStringLiteral("G") : QStringLiteral("O")) + k.filtered;
        QCOMPARE(payloadOf(demo.call(QStringLiteral("getListaFiltro"), {key, nr})).toString(),
                 QStringLiteral("_C_"));

        // A single empty value removes the filter; the grant stays.
        QUV_EXPECT_OK(
            demo.call(method, {QVariant::fromValue(filterPacket({""}, k.filtered, nr)), k.group}));
        QCOMPARE(storedFilter(demo, k, k.filtered, nr), QStringList());
        QCOMPARE(
            demo.count(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 = ? AND NRSEQUEDIME = ?")
                           .arg(k.dimTable, k.codeColumn),
                       {k.filtered, nr.toInt()}),
            1);
        QCOMPARE(cell(packetAt(demo.call(k.getMethod, {k.filtered, {}, {}}), 2),
                      QStringLiteral("NRSEQUEDIME"), nr, QStringLiteral("NRSEQUEDIMEFIL")),
                 QString());
    }

    // More values than one statement carries, so the batches meet.
    void filterManyValues_data() { drivers_data(); }
    void filterManyValues()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        QStringList values;
        for (int i = 0; i < 1234; ++i)
            values.append(QStringLiteral("C%1").arg(i, 7, 10, QLatin1Char('0')));
        QUV_EXPECT_OK(demo.call(QStringLiteral("setDelFilDime"),
                                {QVariant::fromValue(filterPacket(values, "02", "1")), true}));
        QCOMPARE(demo.count(QStringLiteral("SELECT COUNT(*) FROM FILDIMEGRUPOP WHERE CDGRUPOPER = "
                                           "'02' AND NRSEQUEDIME = 1")),
                 1234);
        const QString list =
            payloadOf(demo.call(QStringLiteral("getListaFiltro"), {"G02", "1"})).toString();
        QCOMPARE(list, QLatin1Char('_') + values.join(QLatin1Char('_')) + QLatin1Char('_'));
    }

    void filterRefused_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QVariant>("packet");
        QTest::addColumn<bool>("group");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("messagePart");
        DataPacket mixed = filterPacket({"N"}, "02", "4");
        mixed.appendRow({"S", "03", "4"});
        DataPacket noKey({{QStringLiteral("ITENS"), 50}, {QStringLiteral("NRSEQUEDIME"), 20}});
        noKey.appendRow({"N", "4"});
        const QString tooLong(51, QLatin1Char('x'));
        QStringList oneTooMany;
        for (int i = 0; i <= 1000000; ++i)
            oneTooMany.append(QString::number(i));
        const DataPacket manyValues = filterPacket(oneTooMany, "02", "4");
        const auto p = [](const DataPacket &packet) { return QVariant::fromValue(packet); };
        for (const QString &driver : Drivers) {
            newRow(driver, "too long") << driver << p(filterPacket({"N", tooLong}, "02", "4", 100))
                                       << true << code::InvalidValue << "51 caracteres";
            newRow(driver, "mixed rows")
                << driver << p(mixed) << true << code::InvalidParams << "linha 2";
            newRow(driver, "no rows") << driver << p(filterPacket({}, "02", "4")) << true
                                      << code::InvalidParams << "não tem linhas";
            newRow(driver, "missing field")
                << driver << p(noKey) << true << code::InvalidParams << "CDCODIGOPAI";
            newRow(driver, "not granted") << driver << p(filterPacket({"PIX"}, "02", "6")) << true
                                          << code::InvalidValue << "não está concedida";
            newRow(driver, "no value table") << driver << p(filterPacket({"2024"}, "02", "5"))
                                             << true << code::InvalidValue << "tabela de valores";
            newRow(driver, "unknown dimension") << driver << p(filterPacket({"X"}, "02", "99"))
                                                << true << code::UnknownKey << "'99'";
            newRow(driver, "unknown group") << driver << p(filterPacket({"X"}, "98", "4")) << true
                                            << code::UnknownKey << "'98'";
            newRow(driver, "group code as operator")
                << driver << p(filterPacket({"X"}, "02", "4")) << false << code::UnknownKey
                << "Operador '02'";
            newRow(driver, "too many values")
                << driver << p(manyValues) << true << code::InvalidParams << "1000001 linhas";
        }
    }
    void filterRefused()
    {
        QFETCH(QString, driver);
        QFETCH(QVariant, packet);
        QFETCH(bool, group);
        QFETCH(int, error);
        QFETCH(QString, messagePart);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const QString before = fingerprint(demo.db());
        const wire::Response r = demo.call(QStringLiteral("setDelFilDime"), {packet, group});
        QUV_EXPECT_ERROR(r, error);
        QVERIFY2(r.errorMessage.contains(messagePart), qPrintable(r.errorMessage));
        QCOMPARE(fingerprint(demo.db()), before);
    }

private:
    void drivers_data() { addDriverColumn(); }
};

QTEST_GUILESS_MAIN(ServerChanges)
#include "tst_serverchanges.moc"
