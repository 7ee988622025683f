// The marks every grant row calculates: packets built to hit each rule,
// loaded while the list stands on a known principal, and every principal of
// the demo warehouse held against what its tables grant.

#include "grantgrids.h"

#include "framework/widgets/busy.h"
#include "framework/widgets/dbctrls.h"

using namespace quv::test;
using Cli_quv01000::TfrmControleAcesso;
using quv::DataPacket;
using quv::FieldDef;

namespace {

DataPacket packet(const QList<FieldDef> &fields, const QList<QStringList> &rows)
{
    DataPacket p(fields);
    for (const QStringList &row : rows)
        p.appendRow(row);
    return p;
}

QList<FieldDef> factFields(const QString &principalColumn, int principalSize)
{
    return {{QStringLiteral("NMITEMDW"), 30},     {QStringLiteral("CDTABELADW"), 30},
            {QStringLiteral("CDITEMDW"), 30},     {QStringLiteral("CDTABELADWCTAC"), 30},
            {QStringLiteral("CDITEMDWCTAC"), 30}, {principalColumn, principalSize}};
}

/// A dimension row in neutral terms; each layout orders it its own way.
struct DimensionRow
{
    QString name, number, valueTable, numberGrant, principalGrant, numberFilter, principalFilter;
    QString expected; // IDCHECK, IDPESQ, IDFILTRO
};

DataPacket groupDimensions(const QList<DimensionRow> &rows)
{
    DataPacket p({{QStringLiteral("NRSEQUEDIMEFIL"), 5},
                  {QStringLiteral("CDGRUPOPERFIL"), 2},
                  {QStringLiteral("NMITEMDIME"), 30},
                  {QStringLiteral("NRSEQUEDIME"), 5},
                  {QStringLiteral("CDTABELADIME"), 30},
                  {QStringLiteral("DSPKDIME"), 30},
                  {QStringLiteral("NRSEQUEDIMECTAC"), 5},
                  {QStringLiteral("CDGRUPOPERCTAC"), 2},
                  {QStringLiteral("DSITEMDIME"), 30}});
    for (const DimensionRow &r : rows)
        p.appendRow({r.numberFilter, r.principalFilter, r.name, r.number, r.valueTable,
                     r.valueTable.isEmpty() ? QString() : QStringLiteral("CD"), r.numberGrant,
                     r.principalGrant, r.valueTable.isEmpty() ? QString() : QStringLiteral("DS")});
    return p;
}

DataPacket operatorDimensions(const QList<DimensionRow> &rows)
{
    DataPacket p({{QStringLiteral("NMITEMDIME"), 30},
                  {QStringLiteral("NRSEQUEDIME"), 5},
                  {QStringLiteral("CDTABELADIME"), 30},
                  {QStringLiteral("DSPKDIME"), 30},
                  {QStringLiteral("DSITEMDIME"), 30},
                  {QStringLiteral("NRSEQUEDIMECTAC"), 5},
                  {QStringLiteral("CDOPERADORCTAC"), 12},
                  {QStringLiteral("NRSEQUEDIMEFIL"), 5},
                  {QStringLiteral("CDOPERADORFIL"), 12}});
    for (const DimensionRow &r : rows)
        p.appendRow({r.name, r.number, r.valueTable,
                     r.valueTable.isEmpty() ? QString() : QStringLiteral("CD"),
                     r.valueTable.isEmpty() ? QString() : QStringLiteral("DS"), r.numberGrant,
                     r.principalGrant, r.numberFilter, r.principalFilter});
    return p;
}

/// Rows that hit every rule of the dimension marks for principal `me`;
/// `other` is another principal, `meOtherCase` the same code in other case
/// (empty where codes have no letters).
QList<DimensionRow> dimensionCases(const QString &me, const QString &other,
                                   const QString &meOtherCase)
{
    const QString T = QStringLiteral("DIMLOJA");
    QList<DimensionRow> rows = {
        {QStringLiteral("granted filtered"), QStringLiteral("3"), T, QStringLiteral("3"), me,
         QStringLiteral("3"), me, QStringLiteral("SSS")},
        {QStringLiteral("granted unfiltered"), QStringLiteral("4"), T, QStringLiteral("4"), me,
         QString(), QString(), QStringLiteral("SSN")},
        {QStringLiteral("filter of another principal"), QStringLiteral("6"), T, QStringLiteral("6"),
         me, QStringLiteral("6"), other, QStringLiteral("SSN")},
        {QStringLiteral("filter of another dimension"), QStringLiteral("7"), T, QStringLiteral("7"),
         me, QStringLiteral("2"), me, QStringLiteral("SSN")},
        {QStringLiteral("no value table, filter set"), QStringLiteral("5"), QString(),
         QStringLiteral("5"), me, QStringLiteral("5"), me, QStringLiteral("SNN")},
        {QStringLiteral("blank value table"), QStringLiteral("9"), QStringLiteral("  "),
         QStringLiteral("9"), me, QStringLiteral("9"), me, QStringLiteral("SNN")},
        {QStringLiteral("granted to another principal"), QStringLiteral("1"), T,
         QStringLiteral("1"), other, QStringLiteral("1"), me, QStringLiteral("NNN")},
        {QStringLiteral("ungranted with value table"), QStringLiteral("2"), T, QString(), QString(),
         QString(), QString(), QStringLiteral("NNN")},
        {QStringLiteral("ungranted, filter set"), QStringLiteral("8"), T, QString(), QString(),
         QStringLiteral("8"), me, QStringLiteral("NNN")},
        {QStringLiteral("grant number spelt otherwise"), QStringLiteral("10"), T,
         QStringLiteral("010"), me, QStringLiteral("10"), me, QStringLiteral("NNN")},
        {QStringLiteral("filter number spelt otherwise"), QStringLiteral("11"), T,
         QStringLiteral("11"), me, QStringLiteral("11 "), me, QStringLiteral("SSN")},
        {QStringLiteral("everything empty"), QString(), QString(), QString(), QString(), QString(),
         QString(), QStringLiteral("NNN")},
    };
    if (!meOtherCase.isEmpty()) {
        rows.append({QStringLiteral("grant principal in other case"), QStringLiteral("12"), T,
                     QStringLiteral("12"), meOtherCase, QStringLiteral("12"), me,
                     QStringLiteral("NNN")});
        rows.append({QStringLiteral("filter principal other case"), QStringLiteral("13"), T,
                     QStringLiteral("13"), me, QStringLiteral("13"), meOtherCase,
                     QStringLiteral("SSN")});
    }
    return rows;
}

QMap<QString, QString> marksByName(TDataSet *dimensions)
{
    QMap<QString, QString> marks;
    const TField *name = dimensions->FieldByName(QStringLiteral("NMITEMDIME"));
    for (const char *flag : {"IDCHECK", "IDPESQ", "IDFILTRO"}) {
        const TField *f = dimensions->FieldByName(QString::fromLatin1(flag));
        for (qsizetype row = 0; row < dimensions->RecordCount(); ++row)
            marks[dimensions->CellText(row, name)] += dimensions->CellText(row, f);
    }
    return marks;
}

QMap<QString, QString> expectedByName(const QList<DimensionRow> &rows)
{
    QMap<QString, QString> marks;
    for (const DimensionRow &r : rows)
        marks.insert(r.name, r.expected);
    return marks;
}

} // namespace

class TestGrantMarks : public QObject
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
        form = session->open();
        if (!form) {
            QTest::qFail("the screen did not open", __FILE__, __LINE__);
            return false;
        }
        return true;
    }

    static void sqliteOnly()
    {
        QTest::addColumn<QString>("driver");
        QTest::newRow("sqlite") << QStringLiteral("sqlite");
    }

private slots:
    void cleanup()
    {
        form = nullptr;
        session.reset();
    }

    void factMarksCompareTheGrantCodesExactly_data() { sqliteOnly(); }
    void factMarksCompareTheGrantCodesExactly()
    {
        if (!start())
            return;
        struct Case
        {
            QStringList row; // name, table, item, table grant, item grant, principal
            QString expected;
        };
        const QList<Case> cases = {
            {{"granted, grant of another", "FATOVENDA", "VLVENDA", "FATOVENDA", "VLVENDA", "99"},
             "S"},
            {{"granted, grant principal empty", "FATOVENDA", "QTVENDA", "FATOVENDA", "QTVENDA", ""},
             "S"},
            {{"table grant in other case", "FATOVENDA", "VLCUSTO", "fatovenda", "VLCUSTO", "02"},
             "N"},
            {{"item grant in other case", "FATOVENDA", "VLMARGEM", "FATOVENDA", "vlmargem", "02"},
             "N"},
            {{"grant columns empty", "FATOESTOQUE", "QTESTOQUE", "", "", ""}, "N"},
            {{"four codes empty", "", "", "", "", ""}, "S"},
            {{"same item of another table", "FATOMETA", "VLMETA", "FATOVENDA", "VLMETA", "02"},
             "N"},
            {{"same table, other item", "FATOMETA", "PCATINGIDO", "FATOMETA", "VLMETA", "02"}, "N"},
            {{"grant with trailing blank", "FATOESTOQUE", "IDGIRO", "FATOESTOQUE ", "IDGIRO", "02"},
             "N"},
        };
        QList<QStringList> rows;
        QMap<QString, QString> expected;
        for (const Case &c : cases) {
            rows.append(c.row);
            expected.insert(c.row.first(), c.expected);
        }
        for (TClientDataSet *facts : {form->cdsFatoOperGrup, form->cdsFatoOperOper}) {
            const bool group = facts == form->cdsFatoOperGrup;
            QList<QStringList> own = rows;
            if (!group)
                for (QStringList &row : own)
                    row[5] = row[5] == QLatin1String("99") ? QStringLiteral("OUTRO") : row[5];
            facts->SetData(packet(group ? factFields(QStringLiteral("CDGRUPOPERCTAC"), 2)
                                        : factFields(QStringLiteral("CDOPERADORCTAC"), 12),
                                  own));
            QMap<QString, QString> marks;
            const TField *name = facts->FieldByName(QStringLiteral("NMITEMDW"));
            const TField *check = facts->FieldByName(QStringLiteral("IDCHECK"));
            for (qsizetype row = 0; row < facts->RecordCount(); ++row)
                marks.insert(facts->CellText(row, name), facts->CellText(row, check));
            QCOMPARE(marks, expected);
        }
    }

    void groupDimensionMarksFollowEachRule_data() { sqliteOnly(); }
    void groupDimensionMarksFollowEachRule()
    {
        if (!start())
            return;
        QVERIFY(form->qryOperGrup->Locate(QStringLiteral("CDGRUPOPER"), QStringLiteral("02"), {}));
        const QList<DimensionRow> cases =
            dimensionCases(QStringLiteral("02"), QStringLiteral("03"), QString());
        form->cdsDimeOperGrup->SetData(groupDimensions(cases));
        QCOMPARE(marksByName(form->cdsDimeOperGrup), expectedByName(cases));
    }

    void operatorDimensionMarksFollowEachRule_data() { sqliteOnly(); }
    void operatorDimensionMarksFollowEachRule()
    {
        if (!start())
            return;
        QVERIFY(
            form->qryOperOper->Locate(QStringLiteral("CDOPERADOR"), QStringLiteral("JSILVA"), {}));
        const QList<DimensionRow> cases = dimensionCases(
            QStringLiteral("JSILVA"), QStringLiteral("MSOUZA"), QStringLiteral("jsilva"));
        form->cdsDimeOperOper->SetData(operatorDimensions(cases));
        QCOMPARE(marksByName(form->cdsDimeOperOper), expectedByName(cases));
    }

    void dimensionMarksFollowTheListsCurrentRow_data() { sqliteOnly(); }
    void dimensionMarksFollowTheListsCurrentRow()
    {
        if (!start())
            return;
        // Rows written for group 02, calculated while the list stands on 03:
        // nothing of them belongs to the group shown.
        const QList<DimensionRow> for02 =
            dimensionCases(QStringLiteral("02"), QStringLiteral("03"), QString());
        QVERIFY(form->qryOperGrup->Locate(QStringLiteral("CDGRUPOPER"), QStringLiteral("03"), {}));
        form->cdsDimeOperGrup->SetData(groupDimensions(for02));
        QMap<QString, QString> marks = marksByName(form->cdsDimeOperGrup);
        QCOMPARE(marks.value(QStringLiteral("granted filtered")), QStringLiteral("NNN"));
        QCOMPARE(marks.value(QStringLiteral("no value table, filter set")), QStringLiteral("NNN"));
        // ... while the row granted to "another principal" names 03 itself.
        QCOMPARE(marks.value(QStringLiteral("granted to another principal")),
                 QStringLiteral("SSN"));

        QVERIFY(form->qryOperGrup->Locate(QStringLiteral("CDGRUPOPER"), QStringLiteral("02"), {}));
        form->cdsDimeOperGrup->SetData(groupDimensions(for02));
        QCOMPARE(marksByName(form->cdsDimeOperGrup), expectedByName(for02));

        // The operator's marks follow the operator list the same way.
        const QList<DimensionRow> forJSilva = dimensionCases(
            QStringLiteral("JSILVA"), QStringLiteral("MSOUZA"), QStringLiteral("jsilva"));
        QVERIFY(
            form->qryOperOper->Locate(QStringLiteral("CDOPERADOR"), QStringLiteral("MSOUZA"), {}));
        form->cdsDimeOperOper->SetData(operatorDimensions(forJSilva));
        marks = marksByName(form->cdsDimeOperOper);
        QCOMPARE(marks.value(QStringLiteral("granted filtered")), QStringLiteral("NNN"));
        QCOMPARE(marks.value(QStringLiteral("granted unfiltered")), QStringLiteral("NNN"));
    }

    void everyPrincipalShowsWhatItsTablesGrant_data() { addDriverColumn(); }
    void everyPrincipalShowsWhatItsTablesGrant()
    {
        if (!start())
            return;
        const QSqlDatabase db = session->database();
        // Rows the demo lacks: a filter on a granted dimension without value
        // table (it must not show), and a group granted everything.
        rows(db, QStringLiteral("INSERT INTO FILDIMEGRUPOP (CDGRUPOPER, NRSEQUEDIME, "
                                "CDFILDIMEGRUPOP) VALUES ('07', 5, 'X')"));
        form->changeRow(QStringLiteral("G07"));
        QCOMPARE(loadedDimensionMarks(form->cdsDimeOperGrup).value(QStringLiteral("5")),
                 QStringLiteral("SNN"));

        int groups = 0;
        for (form->qryOperGrup->First(); !form->qryOperGrup->Eof(); form->qryOperGrup->Next()) {
            const QString code = form->qryOperGrupCDGRUPOPER->AsString();
            QCOMPARE(loadedFactMarks(form->cdsFatoOperGrup),
                     expectedFactMarks(db, groupTables(), code));
            QCOMPARE(loadedDimensionMarks(form->cdsDimeOperGrup),
                     expectedDimensionMarks(db, groupTables(), code));
            ++groups;
        }
        QCOMPARE(groups, 7);
        int operators = 0;
        for (form->qryOperOper->First(); !form->qryOperOper->Eof(); form->qryOperOper->Next()) {
            const QString code = form->qryOperOperCDOPERADOR->AsString();
            QCOMPARE(loadedFactMarks(form->cdsFatoOperOper),
                     expectedFactMarks(db, operatorTables(), code));
            QCOMPARE(loadedDimensionMarks(form->cdsDimeOperOper),
                     expectedDimensionMarks(db, operatorTables(), code));
            ++operators;
        }
        QCOMPARE(operators, 11);
        QVERIFY(session->host.exceptions.isEmpty());
        QVERIFY(!ShowAviActive());
    }
};

QTEST_MAIN(TestGrantMarks)
#include "tst_grantmarks.moc"
