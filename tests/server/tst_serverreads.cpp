// The read methods of the server against the demo warehouse, through a real
// server process, on SQLite and PostgreSQL.

#include "servedemo.h"

using namespace quv;
using namespace quv::test;
namespace code = quv::wire::code;

namespace {

const QString SearchRegions = QStringLiteral(
    " SELECT DISTINCT ' ' AS IDMARCADO, CDREGIAO , DSREGIAO FROM DIMREGIAO ORDER BY DSREGIAO");

// Every row's value of `field` is not less than the one before.
bool sortedBy(const DataPacket &packet, const QString &field)
{
    const int column = packet.indexOf(field);
    for (qsizetype r = 1; r < packet.rowCount(); ++r)
        if (packet.value(r, column) < packet.value(r - 1, column))
            return false;
    return true;
}

} // namespace

class ServerReads : public QObject
{
    Q_OBJECT

private slots:
    void drivers_data() { addDriverColumn(); }

    void groupGrants_data() { drivers_data(); }
    void groupGrants()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const wire::Response r =
            demo.call(QStringLiteral("getOperGrup"), {QStringLiteral("02"), {}, {}});
        QUV_EXPECT_OK(r);
        QCOMPARE(outOf(r).size(), 3);
        QCOMPARE(outOf(r).value(0).toString(), QStringLiteral("02"));
        QVERIFY(!payloadOf(r).isValid());

        const DataPacket facts = packetAt(r, 1);
        QCOMPARE(facts.fields(), fieldsOf({{"NMITEMDW", 30},
                                           {"CDTABELADW", 30},
                                           {"CDITEMDW", 30},
                                           {"CDTABELADWCTAC", 30},
                                           {"CDITEMDWCTAC", 30},
                                           {"CDGRUPOPERCTAC", 2}}));
        QCOMPARE(facts.rowCount(), demo.count(QStringLiteral("SELECT COUNT(*) FROM ITEMDW")));
        QVERIFY(sortedBy(facts, QStringLiteral("NMITEMDW")));
        // Group 02 holds every sales item and every goal item, nothing of stock.
        for (qsizetype row = 0; row < facts.rowCount(); ++row) {
            const QStringList f = facts.row(row);
            const bool granted =
                f[1] == QLatin1StringView("FATOVENDA") || f[1] == QLatin1StringView("FATOMETA");
            const QStringList expected = granted ? QStringList{f[1], f[2], QStringLiteral("02")}
                                                 : QStringList{QString(), QString(), QString()};
            QCOMPARE(f.mid(3), expected);
        }

        const DataPacket dims = packetAt(r, 2);
        QCOMPARE(dims.fields(), fieldsOf({{"NRSEQUEDIMEFIL", 5},
                                          {"CDGRUPOPERFIL", 2},
                                          {"NMITEMDIME", 30},
                                          {"NRSEQUEDIME", 5},
                                          {"CDTABELADIME", 30},
                                          {"DSPKDIME", 30},
                                          {"NRSEQUEDIMECTAC", 5},
                                          {"CDGRUPOPERCTAC", 2},
                                          {"DSITEMDIME", 30}}));
        // One row per dimension although dimension 4 has two filter values.
        QCOMPARE(dims.rowCount(), 8);
        QVERIFY(sortedBy(dims, QStringLiteral("NMITEMDIME")));
        const QString nr = QStringLiteral("NRSEQUEDIME");
        QCOMPARE(rowWhere(dims, nr, QStringLiteral("4")),
                 (QStringList{"4", "02", "Região", "4", "DIMREGIAO", "CDREGIAO", "4", "02",
                              "DSREGIAO"}));
        // Granted without filter, and a granted dimension without value table.
        QCOMPARE(rowWhere(dims, nr, QStringLiteral("1")),
                 (QStringList{"", "", "Cliente", "1", "DIMCLIENTE", "CDCLIENTE", "1", "02",
                              "DSCLIENTE"}));
        QCOMPARE(rowWhere(dims, nr, QStringLiteral("5")),
                 (QStringList{"", "", "Mês de Referência", "5", "", "", "5", "02", ""}));
        // Not granted to 02 (granted to others).
        QCOMPARE(rowWhere(dims, nr, QStringLiteral("6")),
                 (QStringList{"", "", "Forma de Pagamento", "6", "DIMFORMAPAGTO", "CDFORMAPAGTO",
                              "", "", "DSFORMAPAGTO"}));
    }

    void operatorGrants_data() { drivers_data(); }
    void operatorGrants()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const wire::Response r =
            demo.call(QStringLiteral("getOperOper"), {QStringLiteral("JSILVA"), {}, {}});
        QUV_EXPECT_OK(r);
        QCOMPARE(outOf(r).value(0).toString(), QStringLiteral("JSILVA"));
        const DataPacket facts = packetAt(r, 1);
        QCOMPARE(facts.fields().last(), (FieldDef{QStringLiteral("CDOPERADORCTAC"), 12}));
        QCOMPARE(facts.rowCount(), 14);
        const QString item = QStringLiteral("CDITEMDW");
        QCOMPARE(cell(facts, item, QStringLiteral("VLVENDA"), QStringLiteral("CDOPERADORCTAC")),
                 QStringLiteral("JSILVA"));
        QCOMPARE(cell(facts, item, QStringLiteral("VLMARGEM"), QStringLiteral("CDITEMDWCTAC")),
                 QString());

        const DataPacket dims = packetAt(r, 2);
        QCOMPARE(dims.fields(), fieldsOf({{"NMITEMDIME", 30},
                                          {"NRSEQUEDIME", 5},
                                          {"CDTABELADIME", 30},
                                          {"DSPKDIME", 30},
                                          {"DSITEMDIME", 30},
                                          {"NRSEQUEDIMECTAC", 5},
                                          {"CDOPERADORCTAC", 12},
                                          {"NRSEQUEDIMEFIL", 5},
                                          {"CDOPERADORFIL", 12}}));
        const QString nr = QStringLiteral("NRSEQUEDIME");
        QCOMPARE(rowWhere(dims, nr, QStringLiteral("1")),
                 (QStringList{"Cliente", "1", "DIMCLIENTE", "CDCLIENTE", "DSCLIENTE", "1", "JSILVA",
                              "1", "JSILVA"}));
        QCOMPARE(
            rowWhere(dims, nr, QStringLiteral("2")),
            (QStringList{"Produto", "2", "DIMPRODUTO", "CDPRODUTO", "DSPRODUTO", "", "", "", ""}));
    }

    void unknownPrincipal_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("messagePart");
        for (const QString &driver : Drivers) {
            newRow(driver, "group 99") << driver << "getOperGrup"
                                       << "99"
                                       << "'99' não cadastrado";
            newRow(driver, "group empty") << driver << "getOperGrup"
                                          << ""
                                          << "código vazio";
            newRow(driver, "group too long") << driver << "getOperGrup"
                                             << "020"
                                             << "'020'";
            newRow(driver, "operator") << driver << "getOperOper"
                                       << "NINGUEM"
                                       << "Operador 'NINGUEM'";
            newRow(driver, "operator case") << driver << "getOperOper"
                                            << "jsilva"
                                            << "'jsilva'";
            newRow(driver, "operator empty") << driver << "getOperOper"
                                             << ""
                                             << "código vazio";
        }
    }
    void unknownPrincipal()
    {
        QFETCH(QString, driver);
        QFETCH(QString, method);
        QFETCH(QString, code);
        QFETCH(QString, messagePart);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const wire::Response r = demo.call(method, {code, {}, {}});
        QUV_EXPECT_ERROR(r, code::UnknownKey);
        QVERIFY2(r.errorMessage.contains(messagePart), qPrintable(r.errorMessage));
    }

    void searchValues_data() { drivers_data(); }
    void searchValues()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        wire::Response r = demo.call(QStringLiteral("getPesqFiltro"), {SearchRegions});
        QUV_EXPECT_OK(r);
        QCOMPARE(outOf(r), QVariantList{SearchRegions});
        DataPacket packet = payloadOf(r).value<DataPacket>();
        QCOMPARE(packet.fields(), fieldsOf({{"IDMARCADO", 1}, {"CDREGIAO", 2}, {"DSREGIAO", 12}}));
        QCOMPARE(packet.rowCount(), 5);
        QCOMPARE(packet.row(0), (QStringList{" ", "CO", "Centro-Oeste"}));
        QCOMPARE(packet.row(4), (QStringList{" ", "S", "Sul"}));

        // Sizes count characters: the widest client name has accents.
        const QString clients = QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, CDCLIENTE , "
                                               "DSCLIENTE FROM DIMCLIENTE ORDER BY DSCLIENTE");
        r = demo.call(QStringLiteral("getPesqFiltro"), {clients});
        QUV_EXPECT_OK(r);
        packet = payloadOf(r).value<DataPacket>();
        QCOMPARE(packet.rowCount(), 40);
        QVERIFY(sortedBy(packet, QStringLiteral("DSCLIENTE")));
        int widest = 0;
        for (qsizetype row = 0; row < packet.rowCount(); ++row)
            widest = qMax(widest, int(packet.value(row, 2).size()));
        QCOMPARE(packet.fields().value(2).size, widest);
        QCOMPARE(packet.fields().value(1).size, 8);
    }

    void searchRefused_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("statement");
        const QString base = SearchRegions;
        const QList<std::pair<const char *, QString>> cases = {
            {"not a search", QStringLiteral("SELECT * FROM GRUPOPER")},
            {"empty", QString()},
            {"no leading blank", base.mid(1)},
            {"trailing blank", base + QLatin1Char(' ')},
            {"trailing newline", base + QLatin1Char('\n')},
            {"second statement", base + QStringLiteral("; DELETE FROM GRUPOPER")},
            {"lower case", base.toLower()},
            {"other order column", QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, CDREGIAO , "
                                                  "DSREGIAO FROM DIMREGIAO ORDER BY CDREGIAO")},
            {"uncatalogued table", QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, CDGRUPOPER , "
                                                  "DSGRUPOPER FROM GRUPOPER ORDER BY DSGRUPOPER")},
            {"union", QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, CDREGIAO , DSREGIAO FROM "
                                     "DIMREGIAO UNION SELECT ' ', CDGRUPOPER, DSGRUPOPER FROM "
                                     "GRUPOPER ORDER BY DSREGIAO")},
            {"comment",
             QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, CDREGIAO , DSREGIAO FROM "
                            "DIMREGIAO/**/ ORDER BY DSREGIAO")},
            {"quoted name", QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, \"CDREGIAO\" , "
                                           "DSREGIAO FROM DIMREGIAO ORDER BY DSREGIAO")},
            {"key from wrong table", QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, CDLOJA , "
                                                    "DSREGIAO FROM DIMREGIAO ORDER BY DSREGIAO")},
            {"catalogued odd names", QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, CDREGIAO , "
                                                    "DSREGIAO FROM DIMREGIAO WHERE 1=1 ORDER BY "
                                                    "DSREGIAO")},
        };
        for (const QString &driver : Drivers)
            for (const auto &[name, statement] : cases)
                QTest::newRow(qPrintable(driver + QLatin1Char(' ') + QLatin1String(name)))
                    << driver << statement;
    }
    void searchRefused()
    {
        QFETCH(QString, driver);
        QFETCH(QString, statement);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        // A catalogue row whose names are not plain identifiers must not make
        // its text runnable either.
        db::run(
            demo.db(),
            QStringLiteral("INSERT INTO DIMEDW (NRSEQUEDIME, NMITEMDIME, CDTABELADIME, DSPKDIME, "
                           "DSITEMDIME) VALUES (90, 'Estranha', 'DIMREGIAO WHERE 1=1', "
                           "'CDREGIAO', 'DSREGIAO')"));
        const QString before = fingerprint(demo.db());
        const wire::Response r = demo.call(QStringLiteral("getPesqFiltro"), {statement});
        QUV_EXPECT_ERROR(r, code::StatementRefused);
        QVERIFY(r.errorMessage.startsWith(QStringLiteral("Instrução recusada")));
        QCOMPARE(fingerprint(demo.db()), before);
    }

    void filterList_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("list");
        for (const QString &driver : Drivers) {
            newRow(driver, "group two values") << driver << "G02"
                                               << "4"
                                               << "_S_SE_";
            newRow(driver, "group none") << driver << "G02"
                                         << "1"
                                         << "";
            newRow(driver, "ungranted") << driver << "G06"
                                        << "1"
                                        << "";
            newRow(driver, "operator") << driver << "OJSILVA"
                                       << "1"
                                       << "_C0000003_C0000007_C0000011_";
        }
    }
    void filterList()
    {
        QFETCH(QString, driver);
        QFETCH(QString, key);
        QFETCH(QString, number);
        QFETCH(QString, list);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        const wire::Response r = demo.call(QStringLiteral("getListaFiltro"), {key, number});
        QUV_EXPECT_OK(r);
        QCOMPARE(payloadOf(r).toString(), list);
        QCOMPARE(outOf(r), (QVariantList{QVariant(), number}));
    }

    void filterListRefused_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("number");
        QTest::addColumn<int>("error");
        for (const QString &driver : Drivers) {
            newRow(driver, "empty key") << driver << ""
                                        << "4" << code::InvalidParams;
            newRow(driver, "bad letter") << driver << "X02"
                                         << "4" << code::InvalidParams;
            newRow(driver, "lower letter") << driver << "g02"
                                           << "4" << code::InvalidParams;
            newRow(driver, "unknown group") << driver << "G99"
                                            << "4" << code::UnknownKey;
            newRow(driver, "letter only") << driver << "O"
                                          << "4" << code::UnknownKey;
            newRow(driver, "unknown dimension") << driver << "G02"
                                                << "999" << code::UnknownKey;
            newRow(driver, "not a number") << driver << "G02"
                                           << "4a" << code::UnknownKey;
            newRow(driver, "empty dimension") << driver << "G02"
                                              << "" << code::UnknownKey;
        }
    }
    void filterListRefused()
    {
        QFETCH(QString, driver);
        QFETCH(QString, key);
        QFETCH(QString, number);
        QFETCH(int, error);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        QUV_EXPECT_ERROR(demo.call(QStringLiteral("getListaFiltro"), {key, number}), error);
    }

    // A stored value with "_" would split in the list form: refused, not cut.
    void filterListUnderscore_data() { drivers_data(); }
    void filterListUnderscore()
    {
        QFETCH(QString, driver);
        ServedDemo demo;
        QUV_SERVE(demo, driver);
        db::run(
            demo.db(),
            QStringLiteral("INSERT INTO FILDIMEGRUPOP (CDGRUPOPER, NRSEQUEDIME, CDFILDIMEGRUPOP) "
                           "VALUES ('02', 4, 'S_E')"));
        const wire::Response r = demo.call(QStringLiteral("getListaFiltro"),
                                           {QStringLiteral("G02"), QStringLiteral("4")});
        QUV_EXPECT_ERROR(r, code::InvalidValue);
        QVERIFY2(r.errorMessage.contains(QStringLiteral("'S_E'")), qPrintable(r.errorMessage));
    }
};

QTEST_GUILESS_MAIN(ServerReads)
#include "tst_serverreads.moc"
