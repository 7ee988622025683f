#include "contracts/datapacket.h"

#include <QTest>

using quv::DataPacket;
using quv::FieldDef;
using quv::MaxPacketFields;
using quv::PacketError;

class TestDataPacket : public QObject
{
    Q_OBJECT

private slots:
    void rowsKeepTheirValuesAcrossEdits()
    {
        DataPacket p({{"CODE", 5}, {"NAME", 10}});
        p.appendRow({"1", "Um"});
        p.appendRow({"2", ""});
        p.appendRow({"3", "Três"});
        QCOMPARE(p.rowCount(), 3);
        QCOMPARE(p.value(1, 1), QString());
        QCOMPARE(p.value(2, 1), QStringLiteral("Três"));

        p.insertRow(1, {"9", "Nove"});
        QCOMPARE(p.row(1), QStringList({"9", "Nove"}));
        QCOMPARE(p.row(2), QStringList({"2", ""}));
        p.setRow(0, {"0", "Zero"});
        p.removeRow(2);
        QCOMPARE(p.rowCount(), 3);
        QCOMPARE(p.row(0), QStringList({"0", "Zero"}));
        QCOMPARE(p.row(1), QStringList({"9", "Nove"}));
        QCOMPARE(p.row(2), QStringList({"3", "Três"}));
    }

    void copiesAreIndependent()
    {
        DataPacket a({{"A", 0}});
        a.appendRow({"x"});
        DataPacket b = a;
        b.appendRow({"y"});
        QCOMPARE(a.rowCount(), 1);
        QCOMPARE(b.rowCount(), 2);
        QVERIFY(!(a == b));
    }

    void sizeCountsCharactersAndNothingIsCut()
    {
        DataPacket p({{"NAME", 4}});
        p.appendRow({"ção!"}); // four characters, seven bytes
        QCOMPARE(p.value(0, 0), QStringLiteral("ção!"));
        QVERIFY_THROWS_EXCEPTION(PacketError, p.appendRow({"cinco"}));
        QCOMPARE(p.rowCount(), 1);
    }

    void wrongCellCountsAreRefusedAndRolledBack()
    {
        DataPacket p({{"A", 0}, {"B", 0}});
        QVERIFY_THROWS_EXCEPTION(PacketError, p.appendRow({"only one"}));
        p.appendCell(QStringLiteral("half"));
        QVERIFY_THROWS_EXCEPTION(PacketError, p.endRow());
        QCOMPARE(p.rowCount(), 0);
        p.appendRow({"a", "b"});
        QCOMPARE(p.row(0), QStringList({"a", "b"}));
        QCOMPARE(p.byteSize(), 2);
    }

    void batchesAppendedKeepEveryCellSharedOrCopied()
    {
        // Large batches are kept as segments of their own, small ones copied
        // into the last segment: either way every cell reads back, runs of
        // rows reported contiguous really are, and the batches stay apart
        // from the packet they were appended to.
        const QList<FieldDef> fields{{"CODE", 0}, {"NAME", 0}};
        DataPacket all(fields);
        DataPacket expected(fields);
        QList<DataPacket> lent;
        int next = 0;
        for (const int rows : {3, 2000, 5, 2000, 2000, 1, 700}) {
            DataPacket batch(fields);
            for (int r = 0; r < rows; ++r, ++next) {
                const QStringList row{QString::number(next),
                                      QStringLiteral("nome %1 ").arg(next).repeated(4)};
                batch.appendRow(row);
                expected.appendRow(row);
            }
            batch.squeeze();
            all.appendRows(batch);
            lent.append(batch);
        }
        all.appendRow({"fim", ""});
        expected.appendRow({"fim", ""});
        for (DataPacket &batch : lent)
            batch.setRow(0, {"mudado", "mudado"});
        QCOMPARE(all.rowCount(), expected.rowCount());
        QCOMPARE(all.byteSize(), expected.byteSize());
        QVERIFY(all == expected);
        for (qsizetype r = 0; r < all.rowCount(); ++r) {
            QCOMPARE(all.row(r), expected.row(r));
            const qsizetype end = all.contiguousEnd(r);
            QVERIFY(end > r && end <= all.rowCount());
            if (r + 1 < end)
                for (int c = 0; c < 2; ++c)
                    QCOMPARE(all.utf8(r, c).data() + all.utf8(r, c).size(),
                             all.utf8(r + 1, c).data());
        }
        all.removeRow(0);
        QCOMPARE(all.value(0, 0), QStringLiteral("1"));
    }

    void fieldListsAreChecked_data()
    {
        QTest::addColumn<int>("fields");
        QTest::addColumn<bool>("repeatLast");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("two, repeated") << 2 << true << false;
        QTest::newRow("the most a packet may have") << MaxPacketFields << false << true;
        QTest::newRow("the most, last one repeated") << MaxPacketFields << true << false;
        QTest::newRow("one more than the most") << MaxPacketFields + 1 << false << false;
    }
    void fieldListsAreChecked()
    {
        QFETCH(int, fields);
        QFETCH(bool, repeatLast);
        QFETCH(bool, accepted);
        QList<FieldDef> list;
        for (int i = 0; i < fields; ++i)
            list.append({QStringLiteral("F%1").arg(repeatLast && i == fields - 1 ? 0 : i), 1});
        try {
            const DataPacket packet(list);
            QVERIFY(accepted);
            QCOMPARE(packet.fieldCount(), fields);
        } catch (const PacketError &) {
            QVERIFY(!accepted);
        }
    }
};

QTEST_APPLESS_MAIN(TestDataPacket)
#include "tst_datapacket.moc"
