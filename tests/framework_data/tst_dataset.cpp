#include "framework/data/dataset.h"

#include <QPointer>
#include <QTest>

namespace {

quv::DataPacket packet(const QList<quv::FieldDef> &fields, const QList<QStringList> &rows)
{
    quv::DataPacket p(fields);
    for (const QStringList &row : rows)
        p.appendRow(row);
    return p;
}

QStringList column(TDataSet &ds, const QString &field)
{
    QStringList values;
    const TField *f = ds.FieldByName(field);
    for (qsizetype r = 0; r < ds.RecordCount(); ++r)
        values.append(ds.CellText(r, f));
    return values;
}

// A grant-like dataset: codes compared into a calculated mark.
struct Facts
{
    TClientDataSet cds;
    TField *table, *item, *tableCtac, *itemCtac, *check;
    Facts()
    {
        cds.setObjectName(QStringLiteral("cdsFatos"));
        table = cds.AddField(QStringLiteral("CDTABELADW"), 30);
        item = cds.AddField(QStringLiteral("CDITEMDW"), 30);
        tableCtac = cds.AddField(QStringLiteral("CDTABELADWCTAC"), 30);
        itemCtac = cds.AddField(QStringLiteral("CDITEMDWCTAC"), 30);
        check = cds.AddField(QStringLiteral("IDCHECK"), 1, TFieldKind::Calculated);
        cds.OnCalcFields = [this](TDataSet *) {
            check->setAsString(tableCtac->AsString() == table->AsString() &&
                                       itemCtac->AsString() == item->AsString()
                                   ? QStringLiteral("S")
                                   : QStringLiteral("N"));
        };
    }
    static quv::DataPacket rows(const QList<QStringList> &values)
    {
        return packet({{QStringLiteral("CDTABELADW"), 30},
                       {QStringLiteral("CDITEMDW"), 30},
                       {QStringLiteral("CDTABELADWCTAC"), 30},
                       {QStringLiteral("CDITEMDWCTAC"), 30}},
                      values);
    }
};

template <typename F> QString raised(F &&f)
{
    try {
        f();
    } catch (const EDatabaseError &e) {
        return e.Details().isEmpty() ? e.Message() : e.Message() + u'\n' + e.Details();
    }
    return {};
}

} // namespace

class TestDataSet : public QObject
{
    Q_OBJECT

private slots:
    void adoptsThePacketsFields();
    void persistentFieldsAreReadByName();
    void badPacketRaisesAndKeepsTheOldContent_data();
    void badPacketRaisesAndKeepsTheOldContent();
    void calculatedFieldsAreComputedPerRecord();
    void calculationFailureKeepsTheOldContent();
    void calculatedFieldsOnlyWritableWhileCalculating();
    void afterScrollFiresOnEveryMoveAndOnlyThen();
    void emptyDatasetFiresNoScroll();
    void locate_data();
    void locate();
    void locateRejectsBadKeys();
    void insertPostDeleteOnAKeySet();
    void editCancelAndAppend();
    void valuesLongerThanTheFieldRaise();
    void providerGivesThePacketOfTheDataFields();
    void dataSourceFollowsItsDataset();
};

void TestDataSet::adoptsThePacketsFields()
{
    TClientDataSet cds;
    cds.SetData(QVariant::fromValue(
        packet({{QStringLiteral("IDMARCADO"), 1},
                {QStringLiteral("CDUF"), 2},
                {QStringLiteral("NMUF"), 20}},
               {{QStringLiteral(" "), QStringLiteral("SP"), QStringLiteral("São Paulo")},
                {QStringLiteral(" "), QStringLiteral("RJ"), QStringLiteral("Rio")}})));
    QVERIFY(cds.Active());
    QCOMPARE(cds.FieldCount(), 3);
    QCOMPARE(cds.Fields()[1]->FieldName(), QStringLiteral("CDUF"));
    QCOMPARE(cds.Fields()[2]->Size(), 20);
    QCOMPARE(cds.RecordCount(), 2);
    QCOMPARE(cds.FieldByName(QStringLiteral("NMUF"))->AsString(), QStringLiteral("São Paulo"));
    QCOMPARE(cds.FieldByName(QStringLiteral("nmuf")), cds.Fields()[2]); // case folded names

    // Same layout again: the same field objects (labels set on them survive).
    QPointer<TField> kept = cds.Fields()[1];
    kept->setDisplayLabel(QStringLiteral("Código"));
    cds.SetData(packet({{QStringLiteral("IDMARCADO"), 1},
                        {QStringLiteral("CDUF"), 2},
                        {QStringLiteral("NMUF"), 20}},
                       {{QStringLiteral(" "), QStringLiteral("MG"), QStringLiteral("Minas")}}));
    QVERIFY(kept);
    QCOMPARE(kept->DisplayLabel(), QStringLiteral("Código"));
    QCOMPARE(kept->AsString(), QStringLiteral("MG"));

    // Another layout: the fields are replaced.
    cds.SetData(packet({{QStringLiteral("IDMARCADO"), 1}, {QStringLiteral("CDMUN"), 7}},
                       {{QStringLiteral("S"), QStringLiteral("3550308")}}));
    QVERIFY(!kept);
    QCOMPARE(cds.FieldCount(), 2);
    QCOMPARE(cds.FieldByName(QStringLiteral("CDMUN"))->AsString(), QStringLiteral("3550308"));
    QCOMPARE(cds.FindField(QStringLiteral("CDUF")), nullptr);
    QCOMPARE(cds.Data(), packet({{QStringLiteral("IDMARCADO"), 1}, {QStringLiteral("CDMUN"), 7}},
                                {{QStringLiteral("S"), QStringLiteral("3550308")}}));
}

void TestDataSet::persistentFieldsAreReadByName()
{
    Facts f;
    // Columns in another order, plus one the dataset does not declare.
    const quv::DataPacket p = packet(
        {{QStringLiteral("CDITEMDWCTAC"), 30},
         {QStringLiteral("EXTRA"), 5},
         {QStringLiteral("CDITEMDW"), 30},
         {QStringLiteral("CDTABELADWCTAC"), 30},
         {QStringLiteral("CDTABELADW"), 30}},
        {{QStringLiteral("I1"), QStringLiteral("x"), QStringLiteral("I1"), QStringLiteral("T1"),
          QStringLiteral("T1")},
         {QString(), QStringLiteral("y"), QStringLiteral("I2"), QString(), QStringLiteral("T1")}});
    f.cds.SetData(p);
    QCOMPARE(f.cds.FieldCount(), 5);
    QCOMPARE(f.cds.FindField(QStringLiteral("EXTRA")), nullptr);
    QCOMPARE(column(f.cds, QStringLiteral("CDITEMDW")),
             QStringList({QStringLiteral("I1"), QStringLiteral("I2")}));
    QCOMPARE(column(f.cds, QStringLiteral("IDCHECK")),
             QStringList({QStringLiteral("S"), QStringLiteral("N")}));

    // Data() is the declared data fields in declared order, without the mark.
    const quv::DataPacket out = f.cds.Data();
    QCOMPARE(out,
             Facts::rows({{QStringLiteral("T1"), QStringLiteral("I1"), QStringLiteral("T1"),
                           QStringLiteral("I1")},
                          {QStringLiteral("T1"), QStringLiteral("I2"), QString(), QString()}}));

    // A packet whose names differ only in case still fills the fields.
    f.cds.SetData(packet(
        {{QStringLiteral("cdtabeladw"), 0},
         {QStringLiteral("cditemdw"), 0},
         {QStringLiteral("cdtabeladwctac"), 0},
         {QStringLiteral("cditemdwctac"), 0}},
        {{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("A"), QStringLiteral("b")}}));
    QCOMPARE(f.table->AsString(), QStringLiteral("A"));
    QCOMPARE(f.check->AsString(), QStringLiteral("N")); // "b" is not "B"
}

void TestDataSet::badPacketRaisesAndKeepsTheOldContent_data()
{
    QTest::addColumn<QVariant>("bad");
    QTest::addColumn<QString>("named");
    QTest::newRow("missing field")
        << QVariant::fromValue(
               packet({{QStringLiteral("CDTABELADW"), 30},
                       {QStringLiteral("CDITEMDW"), 30},
                       {QStringLiteral("CDTABELADWCTAC"), 30}},
                      {{QStringLiteral("T9"), QStringLiteral("I9"), QStringLiteral("T9")}}))
        << QStringLiteral("CDITEMDWCTAC");
    QTest::newRow("value longer than the field")
        << QVariant::fromValue(
               packet({{QStringLiteral("CDTABELADW"), 0},
                       {QStringLiteral("CDITEMDW"), 0},
                       {QStringLiteral("CDTABELADWCTAC"), 0},
                       {QStringLiteral("CDITEMDWCTAC"), 0}},
                      {{QString(31, QLatin1Char('x')), QStringLiteral("I"), QString(), QString()}}))
        << QStringLiteral("CDTABELADW");
    QTest::newRow("not a packet") << QVariant(QStringLiteral("T1;I1")) << QStringLiteral("pacote");
    QTest::newRow("null") << QVariant() << QStringLiteral("pacote");
}

void TestDataSet::badPacketRaisesAndKeepsTheOldContent()
{
    QFETCH(QVariant, bad);
    QFETCH(QString, named);
    Facts f;
    f.cds.SetData(Facts::rows(
        {{QStringLiteral("T1"), QStringLiteral("I1"), QStringLiteral("T1"), QStringLiteral("I1")},
         {QStringLiteral("T2"), QStringLiteral("I2"), QString(), QString()}}));
    f.cds.Next();
    int scrolls = 0;
    f.cds.AfterScroll = [&](TDataSet *) { ++scrolls; };

    const QString message = raised([&] { f.cds.SetData(bad); });
    QVERIFY2(message.contains(named), qPrintable(message));
    QVERIFY(message.contains(QStringLiteral("cdsFatos")));
    QCOMPARE(f.cds.RecordCount(), 2);
    QCOMPARE(f.cds.RecNo(), 2);
    QCOMPARE(f.table->AsString(), QStringLiteral("T2"));
    QCOMPARE(column(f.cds, QStringLiteral("IDCHECK")),
             QStringList({QStringLiteral("S"), QStringLiteral("N")}));
    QCOMPARE(f.cds.FieldCount(), 5);
    QCOMPARE(scrolls, 0);
}

void TestDataSet::calculatedFieldsAreComputedPerRecord()
{
    // The mark depends on another dataset's current record, as the screen's
    // dimension marks depend on the selected principal.
    TClientDataSet principals;
    principals.SetData(packet({{QStringLiteral("CDGRUPOPER"), 2}},
                              {{QStringLiteral("01")}, {QStringLiteral("02")}}));
    TField *principal = principals.FieldByName(QStringLiteral("CDGRUPOPER"));

    TClientDataSet dims;
    TField *nr = dims.AddField(QStringLiteral("NRSEQUEDIME"), 5);
    TField *nrCtac = dims.AddField(QStringLiteral("NRSEQUEDIMECTAC"), 5);
    TField *grupCtac = dims.AddField(QStringLiteral("CDGRUPOPERCTAC"), 2);
    TField *check = dims.AddField(QStringLiteral("IDCHECK"), 1, TFieldKind::Calculated);
    TField *echo = dims.AddField(QStringLiteral("ECO"), 10, TFieldKind::Calculated);
    QList<TDataSetState> states;
    int calls = 0;
    dims.OnCalcFields = [&](TDataSet *ds) {
        ++calls;
        states.append(ds->State());
        check->setAsString(nrCtac->AsString() == nr->AsString() &&
                                   grupCtac->AsString() == principal->AsString()
                               ? QStringLiteral("S")
                               : QStringLiteral("N"));
        echo->setAsString(nr->AsString() + check->AsString()); // reads back its own mark
    };
    const quv::DataPacket rows =
        packet({{QStringLiteral("NRSEQUEDIME"), 5},
                {QStringLiteral("NRSEQUEDIMECTAC"), 5},
                {QStringLiteral("CDGRUPOPERCTAC"), 2}},
               {{QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("01")},
                {QStringLiteral("2"), QStringLiteral("2"), QStringLiteral("02")},
                {QStringLiteral("3"), QString(), QString()}});
    dims.SetData(rows);
    QCOMPARE(calls, 3);
    QCOMPARE(states, QList<TDataSetState>(3, TDataSetState::CalcFields));
    QCOMPARE(dims.State(), TDataSetState::Browse);
    QCOMPARE(column(dims, QStringLiteral("IDCHECK")),
             QStringList({QStringLiteral("S"), QStringLiteral("N"), QStringLiteral("N")}));
    QCOMPARE(column(dims, QStringLiteral("ECO")),
             QStringList({QStringLiteral("1S"), QStringLiteral("2N"), QStringLiteral("3N")}));
    dims.Last();
    QCOMPARE(check->AsString(), QStringLiteral("N"));
    QCOMPARE(echo->AsString(), QStringLiteral("3N"));

    // Reloading recalculates against the other dataset's new position.
    principals.Next();
    dims.SetData(rows);
    QCOMPARE(column(dims, QStringLiteral("IDCHECK")),
             QStringList({QStringLiteral("N"), QStringLiteral("S"), QStringLiteral("N")}));
    QCOMPARE(check->AsString(), QStringLiteral("N")); // back on the first record
    QCOMPARE(calls, 6);
    // Moving does not recalculate.
    dims.Next();
    dims.Next();
    QCOMPARE(calls, 6);
    // The calculated fields are not part of the packet.
    QCOMPARE(dims.Data(), rows);
}

void TestDataSet::calculationFailureKeepsTheOldContent()
{
    Facts f;
    f.cds.SetData(Facts::rows({{QStringLiteral("T1"), QStringLiteral("I1"), QStringLiteral("T1"),
                                QStringLiteral("I1")}}));
    f.cds.OnCalcFields = [&](TDataSet *) {
        if (f.table->AsString() == QLatin1String("BAD"))
            throw EDatabaseError(QStringLiteral("cálculo recusado"));
        f.check->setAsString(QStringLiteral("S"));
    };
    const QString message = raised([&] {
        f.cds.SetData(Facts::rows({{QStringLiteral("OK"), QString(), QString(), QString()},
                                   {QStringLiteral("BAD"), QString(), QString(), QString()}}));
    });
    QCOMPARE(message, QStringLiteral("cálculo recusado"));
    QCOMPARE(f.cds.State(), TDataSetState::Browse);
    QCOMPARE(f.cds.RecordCount(), 1);
    QCOMPARE(f.table->AsString(), QStringLiteral("T1"));
    QCOMPARE(f.check->AsString(), QStringLiteral("S"));
}

void TestDataSet::calculatedFieldsOnlyWritableWhileCalculating()
{
    Facts f;
    QString duringCalc;
    f.cds.OnCalcFields = [&](TDataSet *) {
        f.check->setAsString(QStringLiteral("N"));
        if (duringCalc.isEmpty())
            duringCalc = raised([&] { f.table->setAsString(QStringLiteral("X")); });
    };
    f.cds.SetData(
        Facts::rows({{QStringLiteral("T1"), QStringLiteral("I1"), QString(), QString()}}));
    QVERIFY2(duringCalc.contains(QStringLiteral("CDTABELADW")), qPrintable(duringCalc));
    QVERIFY(raised([&] {
                f.check->setAsString(QStringLiteral("S"));
            }).contains(QStringLiteral("IDCHECK")));
    f.cds.Edit();
    QVERIFY(!raised([&] { f.check->setAsString(QStringLiteral("S")); }).isEmpty());
    QVERIFY(raised([&] { f.table->setAsString(QStringLiteral("T2")); }).isEmpty());
    f.cds.Post();
    QCOMPARE(f.table->AsString(), QStringLiteral("T2"));
    QCOMPARE(f.check->AsString(), QStringLiteral("N"));
}

void TestDataSet::afterScrollFiresOnEveryMoveAndOnlyThen()
{
    Facts f;
    QList<qsizetype> seen; // RecNo at each AfterScroll
    int opens = 0;
    f.cds.AfterScroll = [&](TDataSet *ds) { seen.append(ds->RecNo()); };
    f.cds.AfterOpen = [&](TDataSet *) { ++opens; };
    QList<QStringList> rows;
    for (int i = 1; i <= 5; ++i)
        rows.append({QStringLiteral("T%1").arg(i), QStringLiteral("I"), QString(), QString()});
    f.cds.SetData(Facts::rows(rows));
    QCOMPARE(seen, QList<qsizetype>({1}));
    QCOMPARE(opens, 1);
    QVERIFY(f.cds.Bof());
    QVERIFY(!f.cds.Eof());

    seen.clear();
    f.cds.First(); // already there
    f.cds.Prior(); // cannot go before the first
    QCOMPARE(seen, QList<qsizetype>());
    QVERIFY(f.cds.Bof());
    f.cds.Next();
    f.cds.Next();
    QVERIFY(!f.cds.Bof() && !f.cds.Eof());
    f.cds.MoveBy(2);
    f.cds.Next(); // at the end: sets Eof, no move
    QCOMPARE(seen, QList<qsizetype>({2, 3, 5}));
    QVERIFY(f.cds.Eof());
    f.cds.Last();
    f.cds.MoveBy(0);
    f.cds.MoveBy(-10);
    QVERIFY(f.cds.Bof());
    f.cds.setRecNo(4);
    f.cds.setRecNo(4);
    QVERIFY(f.cds.Locate(QStringLiteral("CDTABELADW"), QStringLiteral("T4"), {})); // same record
    QVERIFY(!f.cds.Locate(QStringLiteral("CDTABELADW"), QStringLiteral("T9"), {}));
    QVERIFY(f.cds.Locate(QStringLiteral("CDTABELADW"), QStringLiteral("T2"), {}));
    QCOMPARE(seen, QList<qsizetype>({2, 3, 5, 1, 4, 2}));

    // A reload always lands on a new first record; Close fires nothing.
    seen.clear();
    f.cds.SetData(Facts::rows(rows));
    f.cds.Close();
    QCOMPARE(seen, QList<qsizetype>({1}));
    QCOMPARE(opens, 1);
    QVERIFY(raised([&] { f.cds.Next(); }).contains(QStringLiteral("fechado")));

    // The classic walk visits every record once.
    f.cds.SetData(Facts::rows(rows));
    seen.clear();
    QStringList walked;
    for (f.cds.First(); !f.cds.Eof(); f.cds.Next())
        walked.append(f.table->AsString());
    QCOMPARE(walked, QStringList({QStringLiteral("T1"), QStringLiteral("T2"), QStringLiteral("T3"),
                                  QStringLiteral("T4"), QStringLiteral("T5")}));
    QCOMPARE(seen.size(), 4);
}

void TestDataSet::emptyDatasetFiresNoScroll()
{
    Facts f;
    int scrolls = 0, opens = 0;
    f.cds.AfterScroll = [&](TDataSet *) { ++scrolls; };
    f.cds.AfterOpen = [&](TDataSet *) { ++opens; };
    f.cds.SetData(Facts::rows({}));
    QCOMPARE(opens, 1);
    QVERIFY(f.cds.Active() && f.cds.IsEmpty() && f.cds.Eof() && f.cds.Bof());
    QCOMPARE(f.cds.RecNo(), 0);
    QCOMPARE(f.table->AsString(), QString());
    f.cds.First();
    f.cds.Next();
    f.cds.Last();
    QVERIFY(!f.cds.Locate(QStringLiteral("CDTABELADW"), QString(), {}));
    QCOMPARE(scrolls, 0);
    // Reloading a loaded dataset with nothing: no record to scroll to.
    f.cds.SetData(Facts::rows({{QStringLiteral("T"), QString(), QString(), QString()}}));
    QCOMPARE(scrolls, 1);
    f.cds.SetData(Facts::rows({}));
    QCOMPARE(scrolls, 1);
    QCOMPARE(f.table->AsString(), QString());
}

void TestDataSet::locate_data()
{
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QVariant>("values");
    QTest::addColumn<int>("options");
    QTest::addColumn<qsizetype>("recNo"); // 0: not found (stays on record 1)
    const int ci = int(TLocateOption::CaseInsensitive);
    const int partial = int(TLocateOption::PartialKey);
    const QString one = QStringLiteral("CDTABELADW");
    const QString two = QStringLiteral("CDTABELADW;CDITEMDW");
    QTest::newRow("one key, single value")
        << one << QVariant(QStringLiteral("DIM_B")) << 0 << qsizetype(3);
    QTest::newRow("one key, list of one")
        << one << QVariant(QVariantList{QStringLiteral("DIM_B")}) << 0 << qsizetype(3);
    QTest::newRow("case differs, sensitive")
        << one << QVariant(QStringLiteral("dim_b")) << 0 << qsizetype(0);
    QTest::newRow("case differs, insensitive")
        << one << QVariant(QStringLiteral("dim_b")) << ci << qsizetype(3);
    QTest::newRow("accents fold case")
        << one << QVariant(QStringLiteral("ação")) << ci << qsizetype(5);
    QTest::newRow("prefix is not a match")
        << one << QVariant(QStringLiteral("DIM")) << 0 << qsizetype(0);
    QTest::newRow("longer is not a match")
        << one << QVariant(QStringLiteral("DIM_B ")) << 0 << qsizetype(0);
    QTest::newRow("partial key") << one << QVariant(QStringLiteral("DIM_")) << partial
                                 << qsizetype(2);
    QTest::newRow("partial, insensitive")
        << one << QVariant(QStringLiteral("aÇ")) << (partial | ci) << qsizetype(5);
    QTest::newRow("two keys, variant list")
        << two << QVariant(QVariantList{QStringLiteral("DIM_B"), QStringLiteral("2")}) << 0
        << qsizetype(4);
    QTest::newRow("two keys, string list")
        << two << QVariant(QStringList{QStringLiteral("DIM_B"), QStringLiteral("1")}) << 0
        << qsizetype(3);
    QTest::newRow("two keys, insensitive")
        << two << QVariant(QStringList{QStringLiteral("dim_b"), QStringLiteral("2")}) << ci
        << qsizetype(4);
    QTest::newRow("two keys, second differs")
        << two << QVariant(QStringList{QStringLiteral("DIM_B"), QStringLiteral("3")}) << ci
        << qsizetype(0);
    QTest::newRow("spaces around names")
        << QStringLiteral(" CDTABELADW ; CDITEMDW ")
        << QVariant(QStringList{QStringLiteral("DIM_A"), QStringLiteral("9")}) << 0 << qsizetype(2);
    QTest::newRow("empty value finds empty cell")
        << QStringLiteral("CDITEMDW") << QVariant(QString()) << 0 << qsizetype(6);
}

void TestDataSet::locate()
{
    QFETCH(QString, fields);
    QFETCH(QVariant, values);
    QFETCH(int, options);
    QFETCH(qsizetype, recNo);
    Facts f;
    f.cds.SetData(Facts::rows({{QStringLiteral("X"), QStringLiteral("0"), QString(), QString()},
                               {QStringLiteral("DIM_A"), QStringLiteral("9"), QString(), QString()},
                               {QStringLiteral("DIM_B"), QStringLiteral("1"), QString(), QString()},
                               {QStringLiteral("DIM_B"), QStringLiteral("2"), QString(), QString()},
                               {QStringLiteral("AÇÃO"), QStringLiteral("7"), QString(), QString()},
                               {QStringLiteral("Z"), QString(), QString(), QString()}}));
    const bool found = f.cds.Locate(fields, values, TLocateOptions::fromInt(options));
    QCOMPARE(found, recNo > 0);
    QCOMPARE(f.cds.RecNo(), recNo > 0 ? recNo : 1);
}

void TestDataSet::locateRejectsBadKeys()
{
    Facts f;
    f.cds.SetData(Facts::rows({{QStringLiteral("T"), QStringLiteral("I"), QString(), QString()}}));
    QVERIFY(raised([&] {
                f.cds.Locate(QStringLiteral("CDTABELADW;CDITEMDW"), QStringLiteral("T"), {});
            }).contains(QStringLiteral("2 campos")));
    QVERIFY(raised([&] {
                f.cds.Locate(QStringLiteral("NOPE"), QStringLiteral("T"), {});
            }).contains(QStringLiteral("NOPE")));
    QVERIFY(!raised([&] { f.cds.Locate(QString(), QStringLiteral("T"), {}); }).isEmpty());
    TClientDataSet closed;
    closed.AddField(QStringLiteral("A"), 1);
    QVERIFY(
        !raised([&] { closed.Locate(QStringLiteral("A"), QStringLiteral("x"), {}); }).isEmpty());
}

void TestDataSet::insertPostDeleteOnAKeySet()
{
    // The toggle-key set: created empty, keys added and removed by Locate.
    TClientDataSet keys;
    TField *key = keys.AddField(QStringLiteral("CDCODIGOPAI"), 53);
    QVERIFY(!keys.Active());
    keys.CreateDataSet();
    QVERIFY(keys.Active());
    QVERIFY(keys.IsEmpty());
    const auto toggle = [&](const QString &k) {
        if (keys.Locate(QStringLiteral("CDCODIGOPAI"), QVariantList{k},
                        TLocateOption::CaseInsensitive)) {
            keys.Delete();
            return false;
        }
        keys.Insert();
        if (keys.State() != TDataSetState::Insert)
            return false;
        key->setAsString(k);
        keys.Post();
        return true;
    };
    QVERIFY(toggle(QStringLiteral("GI01")));
    QVERIFY(toggle(QStringLiteral("GD01")));
    QVERIFY(toggle(QStringLiteral("OIab")));
    QCOMPARE(keys.State(), TDataSetState::Browse);
    QCOMPARE(keys.RecordCount(), 3);
    QCOMPARE(key->AsString(), QStringLiteral("OIab")); // the posted record is current
    QVERIFY(!toggle(QStringLiteral("oiAB")));          // found ignoring case, removed
    QVERIFY(!toggle(QStringLiteral("GI01")));
    QCOMPARE(column(keys, QStringLiteral("CDCODIGOPAI")), QStringList({QStringLiteral("GD01")}));
    QVERIFY(toggle(QStringLiteral("GI01")));
    QCOMPARE(keys.RecordCount(), 2);

    // Deleting the last record leaves the dataset open and empty.
    keys.Delete();
    keys.Delete();
    QVERIFY(keys.IsEmpty());
    QVERIFY(keys.Active());
    QVERIFY(!raised([&] { keys.Delete(); }).isEmpty());
    QVERIFY(!raised([&] { keys.Post(); }).isEmpty());
    QVERIFY(!raised([&] { key->setAsString(QStringLiteral("x")); }).isEmpty()); // not editing
}

void TestDataSet::editCancelAndAppend()
{
    Facts f;
    f.cds.SetData(
        Facts::rows({{QStringLiteral("T1"), QStringLiteral("I1"), QString(), QString()},
                     {QStringLiteral("T2"), QStringLiteral("I2"), QString(), QString()}}));
    QList<qsizetype> scrolls;
    f.cds.AfterScroll = [&](TDataSet *ds) { scrolls.append(ds->RecNo()); };

    f.cds.Edit();
    f.tableCtac->setAsString(QStringLiteral("T1"));
    f.itemCtac->setAsString(QStringLiteral("I1"));
    QCOMPARE(f.tableCtac->AsString(), QStringLiteral("T1")); // the edit buffer
    QCOMPARE(f.cds.CellText(0, f.tableCtac), QString());     // not stored yet
    f.cds.Post();
    QCOMPARE(f.check->AsString(), QStringLiteral("S")); // recalculated on post

    f.cds.Edit();
    f.table->setAsString(QStringLiteral("changed"));
    f.cds.Cancel();
    QCOMPARE(f.table->AsString(), QStringLiteral("T1"));

    f.cds.Append();
    f.table->setAsString(QStringLiteral("T3"));
    f.cds.Next(); // leaving the record posts it
    QCOMPARE(f.cds.State(), TDataSetState::Browse);
    QCOMPARE(column(f.cds, QStringLiteral("CDTABELADW")),
             QStringList({QStringLiteral("T1"), QStringLiteral("T2"), QStringLiteral("T3")}));
    QCOMPARE(f.cds.RecNo(), 3);

    f.cds.First();
    f.cds.Insert(); // before the current record
    f.table->setAsString(QStringLiteral("T0"));
    f.cds.Post();
    f.cds.Insert();
    f.cds.Cancel();
    QCOMPARE(column(f.cds, QStringLiteral("CDTABELADW")),
             QStringList({QStringLiteral("T0"), QStringLiteral("T1"), QStringLiteral("T2"),
                          QStringLiteral("T3")}));
    QCOMPARE(f.table->AsString(), QStringLiteral("T0"));
    // Post of the append (then the move), first, post of the insert.
    QCOMPARE(scrolls, QList<qsizetype>({3, 1, 1}));

    f.cds.Last();
    scrolls.clear();
    f.cds.Delete(); // the last record: lands on the new last one
    QCOMPARE(f.table->AsString(), QStringLiteral("T2"));
    QCOMPARE(scrolls, QList<qsizetype>({3}));
}

void TestDataSet::valuesLongerThanTheFieldRaise()
{
    TClientDataSet keys;
    keys.setObjectName(QStringLiteral("cdsTestaCheck"));
    TField *key = keys.AddField(QStringLiteral("CDCODIGOPAI"), 5);
    keys.CreateDataSet();
    keys.Insert();
    key->setAsString(QStringLiteral("ABCDE"));
    const QString message = raised([&] { key->setAsString(QStringLiteral("ABCDEF")); });
    QVERIFY2(message.contains(QStringLiteral("CDCODIGOPAI")) &&
                 message.contains(QStringLiteral("5")),
             qPrintable(message));
    QCOMPARE(key->AsString(), QStringLiteral("ABCDE")); // never cut short, never lost
    key->setAsString(QStringLiteral("ção😀x"));          // five characters, one outside the BMP
    keys.Post();
    QCOMPARE(key->AsString(), QStringLiteral("ção😀x"));

    // A size-0 field has no limit.
    TClientDataSet unbounded;
    TField *any = unbounded.AddField(QStringLiteral("LIVRE"), 0);
    unbounded.CreateDataSet();
    unbounded.Append();
    any->setAsString(QString(1000, QLatin1Char('z')));
    unbounded.Post();
    QCOMPARE(any->AsString().size(), 1000);
}

void TestDataSet::providerGivesThePacketOfTheDataFields()
{
    Facts f;
    const quv::DataPacket rows = Facts::rows(
        {{QStringLiteral("T1"), QStringLiteral("I1"), QStringLiteral("T1"), QStringLiteral("I1")}});
    f.cds.SetData(rows);
    TDataSetProvider provider;
    provider.DataSet = &f.cds;
    const QVariant data = provider.Data();
    QCOMPARE(data.metaType(), QMetaType::fromType<quv::DataPacket>());
    QCOMPARE(data.value<quv::DataPacket>(), rows);

    // A closed source is opened for the packet and closed again.
    TClientDataSet declared;
    declared.AddField(QStringLiteral("A"), 3);
    declared.AddField(QStringLiteral("B"), 0, TFieldKind::Calculated);
    provider.DataSet = &declared;
    QCOMPARE(provider.Data().value<quv::DataPacket>(), quv::DataPacket({{QStringLiteral("A"), 3}}));
    QVERIFY(!declared.Active());

    // A copy loaded into another client dataset reads the same.
    TClientDataSet copy;
    copy.SetData(data);
    QCOMPARE(copy.Data(), rows);

    provider.DataSet = nullptr;
    QVERIFY(!raised([&] { provider.Data(); }).isEmpty());
}

void TestDataSet::dataSourceFollowsItsDataset()
{
    Facts f;
    TDataSource source;
    QList<QString> events;
    source.OnDataChange = [&](QObject *sender, TField *field) {
        QCOMPARE(sender, &source);
        events.append(field ? field->FieldName() : QStringLiteral("*"));
    };
    source.OnStateChange = [&](QObject *) { events.append(QStringLiteral("state")); };
    int rebinds = 0;
    connect(&source, &TDataSource::dataSetChanged, this, [&] { ++rebinds; });
    source.setDataSet(&f.cds);
    source.setDataSet(&f.cds);
    QCOMPARE(rebinds, 1);

    f.cds.SetData(Facts::rows({{QStringLiteral("T1"), QString(), QString(), QString()},
                               {QStringLiteral("T2"), QString(), QString(), QString()}}));
    QCOMPARE(events, QStringList({QStringLiteral("state"), QStringLiteral("*")}));
    events.clear();
    f.cds.Next();
    f.cds.Edit();
    f.table->setAsString(QStringLiteral("T9"));
    f.cds.Post();
    QCOMPARE(events, QStringList({QStringLiteral("*"), QStringLiteral("state"),
                                  QStringLiteral("CDTABELADW"), QStringLiteral("state"),
                                  QStringLiteral("*")}));

    // A handler's exception reaches the code that moved the dataset, which
    // has already moved.
    source.OnDataChange = [](QObject *, TField *) {
        throw EDatabaseError(QStringLiteral("recusado"));
    };
    QCOMPARE(raised([&] { f.cds.First(); }), QStringLiteral("recusado"));
    QCOMPARE(f.cds.RecNo(), 1);

    source.OnDataChange = nullptr;
    events.clear();
    source.setDataSet(nullptr);
    f.cds.Next();
    QVERIFY(events.isEmpty());
    QCOMPARE(rebinds, 2);
}

QTEST_GUILESS_MAIN(TestDataSet)
#include "tst_dataset.moc"
