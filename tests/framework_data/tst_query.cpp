#include "framework/data/adoquery.h"
#include "framework/data/dbgeral.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#ifdef QUV_HAVE_TEST_SUPPORT
#include "tests/support/testdatabase.h"
#endif

namespace {

template <typename F> QString raised(F &&f)
{
    try {
        f();
    } catch (const EDatabaseError &e) {
        return e.Details().isEmpty() ? e.Message() : e.Message() + u'\n' + e.Details();
    }
    return {};
}

QStringList walk(TDataSet &ds, const QString &field)
{
    QStringList values;
    for (ds.First(); !ds.Eof(); ds.Next())
        values.append(ds.FieldByName(field)->AsString());
    return values;
}

} // namespace

class TestQuery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void init();
    void cleanup();

    void openLandsOnTheFirstRowInStatementOrder();
    void emptyResultFiresNoScroll();
    void parametersAreBoundNeverPasted();
    void placeholdersSkipQuotesAndComments();
    void adoptedColumnsThroughAProvider();
    void failedStatementRaisesTheDriversMessage();
    void resultMustFitTheDeclaredFields();
    void openNeedsAConnectedDatabase();
    void connectionStrings();

private:
    void exec(const QString &sql, const QVariantList &values = {});

    QString m_driver;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TdtmDBGeral> m_db;
};

void TestQuery::initTestCase_data()
{
    QTest::addColumn<QString>("driver");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    QTest::newRow("postgres") << QStringLiteral("postgres");
}

void TestQuery::init()
{
    QFETCH_GLOBAL(QString, driver);
    m_driver = driver;
    QString connection;
#ifdef QUV_HAVE_TEST_SUPPORT
    QString skipReason;
    connection = quv::test::freshEmptyDatabase(driver, &skipReason);
    if (connection.isEmpty())
        QSKIP(qPrintable(skipReason));
#else
    if (driver != QLatin1String("sqlite"))
        QSKIP("PostgreSQL cases need the shared test support library (quv_test_support)");
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    connection = QStringLiteral("sqlite:") + m_dir->filePath(QStringLiteral("geral.db"));
#endif
    m_db = std::make_unique<TdtmDBGeral>();
    m_db->Open(connection);
    QVERIFY(m_db->Connected());
    dtmDBGeral = m_db.get();

    exec(QStringLiteral("CREATE TABLE GRUPOPER (CDGRUPOPER VARCHAR(2) NOT NULL PRIMARY KEY, "
                        "DSGRUPOPER VARCHAR(30) NOT NULL)"));
    exec(QStringLiteral("CREATE TABLE FILDIMEGRUPOP (CDGRUPOPER VARCHAR(2) NOT NULL, "
                        "NRSEQUEDIME VARCHAR(5) NOT NULL, CDFILDIMEGRUPOP VARCHAR(50) NOT NULL, "
                        "QTITENS INTEGER)"));
    exec(QStringLiteral("CREATE TABLE UF (CDUF VARCHAR(2) NOT NULL, NMUF VARCHAR(40))"));
    const QList<QStringList> groups = {{QStringLiteral("01"), QStringLiteral("Vendas")},
                                       {QStringLiteral("02"), QStringLiteral("Auditoria")},
                                       {QStringLiteral("a'"), QStringLiteral("Marketing")},
                                       {QStringLiteral("10"), QStringLiteral("Diretoria")}};
    for (const QStringList &g : groups)
        exec(QStringLiteral("INSERT INTO GRUPOPER VALUES (?, ?)"), {g[0], g[1]});
    exec(QStringLiteral("INSERT INTO FILDIMEGRUPOP VALUES (?, ?, ?, ?)"),
         {QStringLiteral("01"), QStringLiteral("7"), QStringLiteral("SP"), 3});
    exec(QStringLiteral("INSERT INTO FILDIMEGRUPOP VALUES (?, ?, ?, ?)"),
         {QStringLiteral("a'"), QStringLiteral("7"), QStringLiteral("O'Neil"), QVariant()});
    exec(QStringLiteral("INSERT INTO UF VALUES ('SP', 'São Paulo'), ('RJ', 'Rio de Janeiro'), "
                        "('SP', 'São Paulo'), ('AC', NULL)"));
}

void TestQuery::cleanup()
{
    dtmDBGeral = nullptr;
    m_db.reset();
    m_dir.reset();
}

void TestQuery::exec(const QString &sql, const QVariantList &values)
{
    QSqlQuery q(m_db->adcGeral());
    if (values.isEmpty()) { // PostgreSQL does not prepare DDL
        QVERIFY2(q.exec(sql), qPrintable(q.lastError().text()));
        return;
    }
    QVERIFY2(q.prepare(sql), qPrintable(q.lastError().text()));
    for (const QVariant &v : values)
        q.addBindValue(v);
    QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
}

void TestQuery::openLandsOnTheFirstRowInStatementOrder()
{
    TADOIBQuery qry;
    qry.setObjectName(QStringLiteral("qryOperGrup"));
    qry.SQL =
        QStringList{QStringLiteral("SELECT "),  QStringLiteral("      CDGRUPOPER,  DSGRUPOPER"),
                    QStringLiteral("FROM"),     QStringLiteral("      GRUPOPER"),
                    QStringLiteral("ORDER BY"), QStringLiteral("      DSGRUPOPER")};
    TField *code = qry.AddField(QStringLiteral("CDGRUPOPER"), 2);
    TField *name = qry.AddField(QStringLiteral("DSGRUPOPER"), 30);
    QStringList scrolledTo;
    qry.AfterScroll = [&](TDataSet *) { scrolledTo.append(code->AsString()); };
    QCOMPARE(qry.Query(), &qry);

    qry.Open();
    QCOMPARE(scrolledTo, QStringList{QStringLiteral("02")}); // Auditoria comes first
    QCOMPARE(qry.RecordCount(), 4);
    QCOMPARE(name->AsString(), QStringLiteral("Auditoria"));
    QCOMPARE(qry.FieldCount(), 2);
    QCOMPARE(qry.Fields()[0], code); // the declared fields, whatever case the database uses
    QCOMPARE(walk(qry, QStringLiteral("DSGRUPOPER")),
             QStringList({QStringLiteral("Auditoria"), QStringLiteral("Diretoria"),
                          QStringLiteral("Marketing"), QStringLiteral("Vendas")}));

    // Refresh: remember, close, reopen, return to the row ignoring case.
    QVERIFY(qry.Locate(QStringLiteral("CDGRUPOPER"), QStringLiteral("a'"), {}));
    const QString remembered = code->AsString();
    exec(QStringLiteral("INSERT INTO GRUPOPER VALUES ('00', 'Administração')"));
    scrolledTo.clear();
    qry.Close();
    QVERIFY(!qry.Active());
    QCOMPARE(code->AsString(), QString());
    qry.Open();
    QVERIFY(qry.Locate(QStringLiteral("CDGRUPOPER"), QVariant(remembered.toUpper()),
                       TLocateOption::CaseInsensitive));
    QCOMPARE(scrolledTo, QStringList({QStringLiteral("00"), QStringLiteral("a'")}));
    QCOMPARE(qry.RecordCount(), 5);
}

void TestQuery::emptyResultFiresNoScroll()
{
    TADOIBQuery qry;
    qry.SQL =
        QStringList{QStringLiteral("SELECT CDGRUPOPER FROM GRUPOPER WHERE CDGRUPOPER = 'none'")};
    int scrolls = 0, opens = 0;
    qry.AfterScroll = [&](TDataSet *) { ++scrolls; };
    qry.AfterOpen = [&](TDataSet *) { ++opens; };
    qry.Open();
    QVERIFY(qry.Active());
    QVERIFY(qry.IsEmpty());
    QVERIFY(qry.Eof());
    QCOMPARE(opens, 1);
    QCOMPARE(scrolls, 0);
    QCOMPARE(qry.FieldCount(), 1);
}

void TestQuery::parametersAreBoundNeverPasted()
{
    TADOIBQuery qry;
    qry.setObjectName(QStringLiteral("qryListaFiltroGrup"));
    qry.SQL = QStringList{QStringLiteral("SELECT "),
                          QStringLiteral("       CDFILDIMEGRUPOP"),
                          QStringLiteral("FROM   "),
                          QStringLiteral("       FILDIMEGRUPOP"),
                          QStringLiteral("WHERE "),
                          QStringLiteral("       (CDGRUPOPER       = :P_CDGRUPOPER) AND"),
                          QStringLiteral("       (NRSEQUEDIME      = :P_NRSEQUEDIME)")};
    qry.AddField(QStringLiteral("CDFILDIMEGRUPOP"), 50);
    QCOMPARE(qry.ParamNames(),
             QStringList({QStringLiteral("P_CDGRUPOPER"), QStringLiteral("P_NRSEQUEDIME")}));
    TParam *group = qry.ParamByName(QStringLiteral("P_CDGRUPOPER"));
    QCOMPARE(qry.ParamByName(QStringLiteral("p_cdgrupoper")), group);
    qry.ParamByName(QStringLiteral("P_NRSEQUEDIME"))->setAsString(QStringLiteral("7"));

    const auto values = [&](const QString &code) {
        qry.Close();
        group->setAsString(code);
        qry.Open();
        return walk(qry, QStringLiteral("CDFILDIMEGRUPOP"));
    };
    QCOMPARE(values(QStringLiteral("01")), QStringList{QStringLiteral("SP")});
    QCOMPARE(values(QStringLiteral("a'")),
             QStringList{QStringLiteral("O'Neil")}); // a quote is data
    QCOMPARE(values(QStringLiteral("x' OR '1'='1")), QStringList());
    QCOMPARE(values(QStringLiteral("02")), QStringList());

    // An unset parameter is NULL, which matches nothing.
    group->Clear();
    qry.Close();
    qry.Open();
    QVERIFY(qry.IsEmpty());

    const QString message = raised([&] { qry.ParamByName(QStringLiteral("P_CDOPERADOR")); });
    QVERIFY2(message.contains(QStringLiteral("P_CDOPERADOR")) &&
                 message.contains(QStringLiteral("qryListaFiltroGrup")),
             qPrintable(message));
}

void TestQuery::placeholdersSkipQuotesAndComments()
{
    TADOIBQuery qry;
    qry.SQL = QStringList{
        QStringLiteral("SELECT ':NOT_A' AS LIT, CDGRUPOPER AS \"C:X\", 'it''s :NOT_B' AS Q"),
        QStringLiteral("FROM GRUPOPER -- :NOT_C"),
        QStringLiteral("WHERE CDGRUPOPER = :CODE /* :NOT_D */ OR DSGRUPOPER = :code")};
    QCOMPARE(qry.ParamNames(), QStringList{QStringLiteral("CODE")});
    qry.ParamByName(QStringLiteral("CODE"))->setAsString(QStringLiteral("10"));
    qry.Open();
    QCOMPARE(qry.RecordCount(), 1);
    QCOMPARE(qry.Fields()[0]->AsString(), QStringLiteral(":NOT_A"));
    QCOMPARE(qry.Fields()[1]->AsString(), QStringLiteral("10"));
    QCOMPARE(qry.Fields()[1]->FieldName(), QStringLiteral("C:X"));
    QCOMPARE(qry.Fields()[2]->AsString(), QStringLiteral("it's :NOT_B"));

    if (m_driver == QLatin1String("postgres")) {
        qry.Close();
        qry.SQL = QStringList{QStringLiteral("SELECT QTITENS::text AS N FROM FILDIMEGRUPOP "
                                             "WHERE CDGRUPOPER = :G")};
        QCOMPARE(qry.ParamNames(), QStringList{QStringLiteral("G")});
        qry.ParamByName(QStringLiteral("G"))->setAsString(QStringLiteral("01"));
        qry.Open();
        QCOMPARE(qry.Fields()[0]->AsString(), QStringLiteral("3"));
    }
}

void TestQuery::adoptedColumnsThroughAProvider()
{
    TADOIBQuery qry;
    qry.setObjectName(QStringLiteral("qryPesqFiltro"));
    TDataSetProvider provider;
    provider.DataSet = qry.Query();
    TClientDataSet cds;

    qry.SQL.clear();
    qry.SQL.append(
        QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, CDUF , NMUF FROM UF ORDER BY NMUF"));
    qry.Open();
    QCOMPARE(qry.FieldCount(), 3);
    const QStringList names = {qry.Fields()[0]->FieldName(), qry.Fields()[1]->FieldName(),
                               qry.Fields()[2]->FieldName()};
    QCOMPARE(names.join(QLatin1Char(',')).toUpper(), QStringLiteral("IDMARCADO,CDUF,NMUF"));

    cds.SetData(provider.Data());
    QCOMPARE(cds.FieldCount(), 3);
    QCOMPARE(cds.RecordCount(), 3); // DISTINCT folded the repeated state
    // NULL sorts first on one database and last on the other: compare as a set.
    QStringList codes;
    for (cds.First(); !cds.Eof(); cds.Next())
        codes.append(cds.FieldByName(QStringLiteral("CDUF"))->AsString() + QLatin1Char('=') +
                     cds.FieldByName(QStringLiteral("NMUF"))->AsString());
    codes.sort();
    QCOMPARE(codes, QStringList({QStringLiteral("AC="), QStringLiteral("RJ=Rio de Janeiro"),
                                 QStringLiteral("SP=São Paulo")}));
    QVERIFY(cds.Locate(QStringLiteral("NMUF"), QStringLiteral("são paulo"),
                       TLocateOption::CaseInsensitive));
    QCOMPARE(cds.FieldByName(QStringLiteral("IDMARCADO"))->AsString(), QStringLiteral(" "));

    // Another statement on the same query: its columns replace the old ones.
    qry.Close();
    qry.SQL.clear();
    qry.SQL.append(
        QStringLiteral("SELECT CDGRUPOPER, QTITENS FROM FILDIMEGRUPOP ORDER BY CDGRUPOPER"));
    const QVariant packet = provider.Data(); // opens and closes the query itself
    QVERIFY(!qry.Active());
    cds.SetData(packet);
    QCOMPARE(cds.FieldCount(), 2);
    QCOMPARE(cds.FindField(QStringLiteral("NMUF")), nullptr);
    QCOMPARE(walk(cds, QStringLiteral("QTITENS")), QStringList({QStringLiteral("3"), QString()}));
}

void TestQuery::failedStatementRaisesTheDriversMessage()
{
    TADOIBQuery qry;
    qry.setObjectName(QStringLiteral("qryQuebrada"));
    int scrolls = 0;
    qry.AfterScroll = [&](TDataSet *) { ++scrolls; };
    qry.SQL = QStringList{QStringLiteral("SELECT CDX FROM TABELA_INEXISTENTE")};
    QString message = raised([&] { qry.Open(); });
    QVERIFY2(message.contains(QStringLiteral("qryQuebrada")) &&
                 message.contains(QStringLiteral("tabela_inexistente"), Qt::CaseInsensitive),
             qPrintable(message));
    QVERIFY(!qry.Active());
    QCOMPARE(scrolls, 0);

    // A query only reads: a writing statement is refused by its read-only
    // connection, or, where it got through, for giving no rows.
    qry.SQL = QStringList{QStringLiteral("UPDATE GRUPOPER SET DSGRUPOPER = 'x' WHERE 1 = 1")};
    QVERIFY(raised([&] { qry.Open(); }).contains(QStringLiteral("qryQuebrada")));
    QSqlQuery check(m_db->adcGeral());
    QVERIFY(check.exec(QStringLiteral("SELECT COUNT(*) FROM GRUPOPER WHERE DSGRUPOPER = 'x'")) &&
            check.next());
    QCOMPARE(check.value(0).toInt(), 0);
    qry.SQL = QStringList{QStringLiteral("  "), QString()};
    QVERIFY(raised([&] { qry.Open(); }).contains(QStringLiteral("sem comando SQL")));
    QVERIFY(!qry.Active());
}

void TestQuery::resultMustFitTheDeclaredFields()
{
    TADOIBQuery qry;
    qry.SQL = QStringList{QStringLiteral("SELECT CDGRUPOPER, DSGRUPOPER FROM GRUPOPER")};
    qry.AddField(QStringLiteral("CDGRUPOPER"), 2);
    qry.AddField(QStringLiteral("DSGRUPOPER"), 8); // "Auditoria" has nine characters
    QString message = raised([&] { qry.Open(); });
    QVERIFY2(message.contains(QStringLiteral("DSGRUPOPER")) &&
                 message.contains(QStringLiteral("8")),
             qPrintable(message));
    QVERIFY(!qry.Active());

    TADOIBQuery missing;
    missing.SQL = QStringList{QStringLiteral("SELECT CDGRUPOPER FROM GRUPOPER")};
    missing.AddField(QStringLiteral("CDGRUPOPER"), 2);
    missing.AddField(QStringLiteral("NMOPERADOR"), 50);
    message = raised([&] { missing.Open(); });
    QVERIFY2(message.contains(QStringLiteral("NMOPERADOR")), qPrintable(message));
    QVERIFY(!missing.Active());
}

void TestQuery::openNeedsAConnectedDatabase()
{
    TADOIBQuery qry;
    qry.SQL = QStringList{QStringLiteral("SELECT CDGRUPOPER FROM GRUPOPER")};
    dtmDBGeral = nullptr;
    QVERIFY(raised([&] { qry.Open(); }).contains(QStringLiteral("não está conectado")));
    dtmDBGeral = m_db.get();
    m_db->Close();
    QVERIFY(!m_db->Connected());
    QVERIFY(raised([&] { qry.Open(); }).contains(QStringLiteral("não está conectado")));
    QVERIFY(!qry.Active());
}

void TestQuery::connectionStrings()
{
    TdtmDBGeral other(nullptr, QStringLiteral("tst_query_other"));
    const QStringList bad = {QStringLiteral("mysql://u:p@h/db"), QStringLiteral("sqlite:"),
                             QStringLiteral("postgres://u:segredo@h:5432/"),
                             QStringLiteral("qualquer coisa")};
    for (const QString &text : bad) {
        const QString message = raised([&] { other.Open(text); });
        QVERIFY2(!message.isEmpty(), qPrintable(text));
        QVERIFY2(!message.contains(QStringLiteral("segredo")), qPrintable(message));
        QVERIFY(!other.Connected());
    }
    QTemporaryDir dir;
    const QString unreachable =
        QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("nao/existe/geral.db"));
    QVERIFY(raised([&] { other.Open(unreachable); }).contains(QStringLiteral("quv-db create")));
    QVERIFY(!other.Connected());

    // SQLite enforces the schema's foreign keys.
    QFile empty(dir.filePath(QStringLiteral("fk.db")));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    other.Open(QStringLiteral("sqlite:") + empty.fileName());
    QVERIFY(other.Connected());
    QSqlQuery pragma(other.adcGeral());
    QVERIFY(pragma.exec(QStringLiteral("PRAGMA foreign_keys")) && pragma.next());
    QCOMPARE(pragma.value(0).toInt(), 1);
    pragma = QSqlQuery();
    other.Close();
    QVERIFY(!other.Connected());
}

QTEST_GUILESS_MAIN(TestQuery)
#include "tst_query.moc"
