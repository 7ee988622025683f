#include "contracts/wire.h"

#include <QCborMap>
#include <QCborValue>
#include <QTest>

using namespace quv;
using namespace quv::wire;

namespace {

DataPacket samplePacket()
{
    DataPacket p({{"IDMARCADO", 1}, {"CDCLIENTE", 10}, {"DSCLIENTE", 40}});
    p.appendRow({" ", "C1", "Açougue São João"});
    p.appendRow({" ", "C2", ""});
    return p;
}

QVariant sampleMessage()
{
    return QVariantMap{
        {"jsonrpc", "2.0"},
        {"id", qint64(7)},
        {"result", QVariantMap{{"payload", QVariant()},
                               {"out", QVariantList{QStringLiteral("01"),
                                                    QVariant::fromValue(samplePacket()), true}}}}};
}

} // namespace

class TestWire : public QObject
{
    Q_OBJECT

private slots:
    void messagesSurviveBothEncodings_data()
    {
        QTest::addColumn<Encoding>("encoding");
        QTest::newRow("cbor") << Encoding::Cbor;
        QTest::newRow("json") << Encoding::Json;
    }
    void messagesSurviveBothEncodings()
    {
        QFETCH(Encoding, encoding);
        const QByteArray bytes = encode(sampleMessage(), encoding);
        QCOMPARE(detectEncoding(bytes), encoding);
        const Response r = responseFromVariant(decode(bytes, encoding));
        QVERIFY(r.ok);
        QCOMPARE(r.id.toLongLong(), 7);
        const QVariantList out = r.result.toMap().value("out").toList();
        QCOMPARE(out.size(), 3);
        QCOMPARE(out[0].toString(), QStringLiteral("01"));
        QCOMPARE(out[1].value<DataPacket>(), samplePacket());
        QCOMPARE(out[2].toBool(), true);
    }

    void framesAreSplitWhateverTheChunking()
    {
        const QByteArray a = frame("first"), b = frame(""), c = frame(QByteArray(70000, 'x'));
        const QByteArray stream = a + b + c;
        for (int chunk : {1, 3, 4096, int(stream.size())}) {
            FrameReader reader;
            QList<QByteArray> got;
            for (qsizetype pos = 0; pos < stream.size(); pos += chunk) {
                reader.feed(QByteArrayView(stream).sliced(
                    pos, std::min<qsizetype>(chunk, stream.size() - pos)));
                while (auto payload = reader.next())
                    got.append(*payload);
            }
            QCOMPARE(got.size(), 3);
            QCOMPARE(got[0], QByteArray("first"));
            QCOMPARE(got[1], QByteArray());
            QCOMPARE(got[2].size(), 70000);
        }
    }

    void oversizedFrameIsRefusedBeforeItsBody()
    {
        FrameReader reader(1024);
        QByteArray header(4, '\0');
        header[2] = 0x04;
        header[3] = 0x01; // 1025 bytes announced
        try {
            reader.feed(header);
            QFAIL("an oversized frame was accepted");
        } catch (const DecodeError &e) {
            QCOMPARE(e.code(), code::FrameTooLarge);
        }
    }

    void malformedPayloadsGiveClearErrors_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<Encoding>("encoding");
        QTest::newRow("json garbage") << QByteArray("{\"jsonrpc\":") << Encoding::Json;
        QTest::newRow("cbor truncated")
            << encode(sampleMessage(), Encoding::Cbor).left(40) << Encoding::Cbor;
        QTest::newRow("cbor trailing bytes")
            << encode(sampleMessage(), Encoding::Cbor) + QByteArray("\x01", 1) << Encoding::Cbor;
        QTest::newRow("cbor byte string")
            << QCborValue(QByteArray("raw")).toCbor() << Encoding::Cbor;
        QTest::newRow("cbor bad utf8") << QByteArray("\x62\xc3\x28", 3) << Encoding::Cbor;
        QTest::newRow("packet row too short")
            << QByteArray(
                   R"({"fields":[{"name":"A","size":1},{"name":"B","size":1}],"rows":[["a"]]})")
            << Encoding::Json;
        QTest::newRow("packet value too long")
            << QByteArray(R"({"fields":[{"name":"A","size":1}],"rows":[["ab"]]})")
            << Encoding::Json;
        QTest::newRow("packet cell not text")
            << QByteArray(R"({"fields":[{"name":"A","size":1}],"rows":[[1]]})") << Encoding::Json;
        QByteArray deep;
        for (int i = 0; i < 100; ++i)
            deep.append(char(0x81)); // array of one element, nested
        deep.append(char(0x01));
        QTest::newRow("cbor nested too deep") << deep << Encoding::Cbor;
        QCborMap badPacket;
        badPacket.insert(QStringLiteral("fields"),
                         QCborArray{QCborMap{{QStringLiteral("name"), 5}}});
        QTest::newRow("cbor packet field name not text")
            << badPacket.toCborValue().toCbor() << Encoding::Cbor;
    }
    void malformedPayloadsGiveClearErrors()
    {
        QFETCH(QByteArray, payload);
        QFETCH(Encoding, encoding);
        try {
            decode(payload, encoding);
            QFAIL("malformed payload was accepted");
        } catch (const DecodeError &e) {
            QVERIFY(!QByteArray(e.what()).isEmpty());
        }
    }

    void requestsAreValidated()
    {
        const Request ok =
            requestFromVariant(QVariantMap{{"jsonrpc", "2.0"},
                                           {"id", qint64(1)},
                                           {"method", "getOperGrup"},
                                           {"params", QVariantList{"01", QVariant(), QVariant()}}});
        QCOMPARE(ok.method, QStringLiteral("getOperGrup"));
        QCOMPARE(ok.params.size(), 3);

        const QList<QVariant> bad = {
            QVariantList{},
            QVariantMap{{"jsonrpc", "1.0"}, {"method", "x"}},
            QVariantMap{{"jsonrpc", "2.0"}},
            QVariantMap{{"jsonrpc", "2.0"}, {"method", "x"}, {"params", QVariantMap{}}},
            QVariantMap{{"jsonrpc", "2.0"}, {"method", "x"}, {"id", true}},
            QVariantMap{{"jsonrpc", "2.0"}, {"method", "x"}, {"extra", 1}},
        };
        for (const QVariant &message : bad) {
            try {
                requestFromVariant(message);
                QFAIL("an invalid request was accepted");
            } catch (const DecodeError &e) {
                QCOMPARE(e.code(), code::InvalidRequest);
            }
        }
    }

    void errorResponsesRoundTrip()
    {
        Response error;
        error.id = qint64(3);
        error.errorCode = code::UnknownKey;
        error.errorMessage = QStringLiteral("Grupo '99' não cadastrado.");
        const Response back = responseFromVariant(
            decode(encode(responseToVariant(error), Encoding::Cbor), Encoding::Cbor));
        QVERIFY(!back.ok);
        QCOMPARE(back.errorCode, code::UnknownKey);
        QCOMPARE(back.errorMessage, error.errorMessage);
    }
};

QTEST_APPLESS_MAIN(TestWire)
#include "tst_wire.moc"
