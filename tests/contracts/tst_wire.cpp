#include "contracts/wire.h"

#include <QCborMap>
#include <QCborValue>
#include <QTest>
#include <QtEndian>

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

    // A reply larger than a frame may be is refused, never cut to 32 bits.
    void oversizedAnswerIsRefusedNotCut()
    {
        QCOMPARE(qFromBigEndian<quint32>(frameHeader(DefaultMaxFrame).data()), DefaultMaxFrame);
        QVERIFY_THROWS_EXCEPTION(std::length_error, frameHeader(qsizetype(DefaultMaxFrame) + 1));
        QVERIFY_THROWS_EXCEPTION(std::length_error, frameHeader(qsizetype(1) << 32));
    }

    // The decoder counts what it makes: cells and rows cheaply, any other
    // value dearly, against a budget that is small before login and grows
    // with the payload after it.
    void decodeBudget_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<Encoding>("encoding");
        QTest::addColumn<qint64>("budget"); // 0: the payload's own
        QTest::addColumn<bool>("accepted");
        DataPacket empties({{"A", 0}});
        DataPacket shorts({{"A", 0}});
        for (int i = 0; i < 100000; ++i) {
            empties.appendRow({QString()});
            shorts.appendRow({QStringLiteral("abc")});
        }
        const QVariant nulls = QVariantList(70000);
        QList<FieldDef> wide;
        for (int i = 0; i <= MaxPacketFields; ++i)
            wide.append({QStringLiteral("F%1").arg(i), 1});
        const QVariant login = requestToVariant({qint64(1),
                                                 QStringLiteral("login"),
                                                 {QStringLiteral("QUV01000.rdmControleAcesso"),
                                                  QStringLiteral("a-token-of-twenty-chars")}});
        const QVariant twentyNulls =
            requestToVariant({qint64(1), QStringLiteral("login"), QVariantList(20)});
        for (const Encoding e : {Encoding::Cbor, Encoding::Json}) {
            const char *name = e == Encoding::Cbor ? "cbor" : "json";
            QTest::newRow(qPrintable(QStringLiteral("%1: 100,000 short cells").arg(name)))
                << encode(QVariant::fromValue(shorts), e) << e << qint64(0) << true;
            QTest::newRow(qPrintable(QStringLiteral("%1: 70,000 nulls").arg(name)))
                << encode(nulls, e) << e << qint64(0) << false;
            QTest::newRow(qPrintable(QStringLiteral("%1: a login before login").arg(name)))
                << encode(login, e) << e << SmallDecodeBudget << true;
            QTest::newRow(qPrintable(QStringLiteral("%1: twenty nulls before login").arg(name)))
                << encode(twentyNulls, e) << e << SmallDecodeBudget << false;
        }
        QTest::newRow("cbor: 100,000 empty cells")
            << encode(QVariant::fromValue(empties), Encoding::Cbor) << Encoding::Cbor << qint64(0)
            << true;
        // One field more than a packet may have, written by hand: no packet
        // can be made that wide.
        QByteArray fields;
        for (const FieldDef &f : wide)
            fields += QStringLiteral(R"({"name":"%1","size":1},)").arg(f.name).toUtf8();
        fields.chop(1);
        QTest::newRow("json: one field too many")
            << QByteArray(R"({"fields":[)" + fields + R"(],"rows":[]})") << Encoding::Json
            << qint64(0) << false;
        QByteArray cborFields("\xa2\x66"
                              "fields"
                              "\x99\x01\x01",
                              11);
        for (const FieldDef &f : wide)
            cborFields += QByteArray("\xa2\x64"
                                     "name") +
                          char(0x60 + f.name.size()) + f.name.toLatin1() +
                          QByteArray("\x64"
                                     "size"
                                     "\x01");
        cborFields += QByteArray("\x64"
                                 "rows"
                                 "\x80");
        QTest::newRow("cbor: one field too many")
            << cborFields << Encoding::Cbor << qint64(0) << false;
    }
    void decodeBudget()
    {
        QFETCH(QByteArray, payload);
        QFETCH(Encoding, encoding);
        QFETCH(qint64, budget);
        QFETCH(bool, accepted);
        try {
            budget > 0 ? decode(payload, encoding, budget) : decode(payload, encoding);
            QVERIFY2(accepted, "decoded past the budget");
        } catch (const DecodeError &e) {
            QVERIFY2(!accepted, e.what());
            QCOMPARE(e.code(), code::ParseError);
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
        // Lengths and counts that promise more than the message holds are
        // refused before anything is allocated for them.
        QTest::newRow("cbor array count beyond the message")
            << QByteArray("\x9b\x00\x00\x00\x01\x00\x00\x00\x00\x01", 10) << Encoding::Cbor;
        QTest::newRow("cbor map count beyond the message")
            << QByteArray("\xba\x7f\xff\xff\xff", 5) << Encoding::Cbor;
        QTest::newRow("cbor text length beyond the message") << QByteArray("\x7a\x00\x10\x00\x00"
                                                                           "abc",
                                                                           8)
                                                             << Encoding::Cbor;
        QTest::newRow("cbor reserved additional information")
            << QByteArray("\x1c", 1) << Encoding::Cbor;
        QTest::newRow("cbor break outside a container") << QByteArray("\xff", 1) << Encoding::Cbor;
        QTest::newRow("cbor indefinite array never closed")
            << QByteArray("\x9f\x01\x02", 3) << Encoding::Cbor;
        QTest::newRow("cbor text chunk that is not text")
            << QByteArray("\x7f\x41\x61\xff", 4) << Encoding::Cbor;
        QTest::newRow("cbor integer beyond 64 bits signed")
            << QByteArray("\x1b\x80\x00\x00\x00\x00\x00\x00\x00", 9) << Encoding::Cbor;
        QTest::newRow("cbor tag") << QByteArray("\xc1\x01", 2) << Encoding::Cbor;
        QTest::newRow("cbor one-byte simple value") << QByteArray("\xf8\x20", 2) << Encoding::Cbor;
        QTest::newRow("cbor packet row with a number") << QByteArray("\xa2\x66"
                                                                     "fields"
                                                                     "\x81\xa2\x64"
                                                                     "name"
                                                                     "\x61"
                                                                     "A"
                                                                     "\x64"
                                                                     "size"
                                                                     "\x01\x64"
                                                                     "rows"
                                                                     "\x81\x81\x01")
                                                       << Encoding::Cbor;
    }

    // A plain map that holds the key "fields" comes back as the same map,
    // not as a data packet: its keys are sorted, so "fields" could lead, and
    // a map led by "fields" is a packet. One holding nothing else cannot
    // travel and is refused when written.
    void plainMapWithFieldsKeyTravels()
    {
        const QVariantMap map{{"fields", qint64(-6)}, {"id", QStringLiteral("x")}};
        const QByteArray bytes = encode(map, Encoding::Cbor);
        QCOMPARE(decode(bytes, Encoding::Cbor), QVariant(map));
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument,
                                 encode(QVariantMap{{"fields", qint64(1)}}, Encoding::Cbor));
    }

    // Our CBOR is read the same by Qt's own CBOR implementation, and we read
    // what Qt writes, whichever of the encoding's choices it makes: shortest
    // or longest length heads, half or single precision floats, indefinite
    // lengths and text sent in chunks.
    void cborAgreesWithQtsImplementation()
    {
        const QByteArray ours = encode(sampleMessage(), Encoding::Cbor);
        QCborParserError error;
        const QCborValue parsed = QCborValue::fromCbor(ours, &error);
        QCOMPARE(error.error, QCborError::NoError);
        const QCborValue out = parsed[QLatin1StringView("result")][QLatin1StringView("out")];
        QCOMPARE(out[0].toString(), QStringLiteral("01"));
        QCOMPARE(out[1][QLatin1StringView("rows")][0][2].toString(),
                 QStringLiteral("Açougue São João"));
        QCOMPARE(out[2].toBool(), true);

        const QVariantList numbers{qint64(0),
                                   qint64(23),
                                   qint64(24),
                                   qint64(255),
                                   qint64(256),
                                   qint64(65536),
                                   qint64(4294967296),
                                   qint64(-1),
                                   qint64(-25),
                                   std::numeric_limits<qint64>::min(),
                                   std::numeric_limits<qint64>::max(),
                                   1.5,
                                   -2.0,
                                   0.1,
                                   1e300};
        const QByteArray ourNumbers = encode(numbers, Encoding::Cbor);
        QCOMPARE(QCborValue::fromCbor(ourNumbers).toVariant().toList(), numbers);
        // Qt writes 1.5 and -2.0 as half precision, 0.1 as double.
        const QByteArray qtNumbers =
            QCborValue::fromVariant(numbers).toCbor(QCborValue::UseFloat16);
        QVERIFY(qtNumbers.size() < ourNumbers.size());
        QCOMPARE(decode(qtNumbers, Encoding::Cbor).toList(), numbers);
        QCOMPARE(decode(QByteArray("\xfa\x3f\xc0\x00\x00", 5), Encoding::Cbor).toDouble(), 1.5);

        // Indefinite lengths and a chunked text: {"a": ["xy" + "z", 1]}.
        const QByteArray indefinite("\xbf\x61"
                                    "a"
                                    "\x9f\x7f\x62"
                                    "xy"
                                    "\x61"
                                    "z"
                                    "\xff\x01\xff\xff");
        QCOMPARE(decode(indefinite, Encoding::Cbor),
                 QVariant(QVariantMap{{"a", QVariantList{QStringLiteral("xyz"), qint64(1)}}}));
        // A packet whose containers all have indefinite lengths.
        QByteArray packet("\xa1\x66"
                          "result"
                          "\xbf\x66"
                          "fields"
                          "\x9f\xbf\x64"
                          "name"
                          "\x61"
                          "A"
                          "\x64"
                          "size"
                          "\x02\xff\xff\x64"
                          "rows"
                          "\x9f\x9f\x7f\x61"
                          "o"
                          "\x61"
                          "k"
                          "\xff\xff\xff\xff");
        const DataPacket read =
            decode(packet, Encoding::Cbor).toMap().value("result").value<DataPacket>();
        QCOMPARE(read.rowCount(), 1);
        QCOMPARE(read.row(0), QStringList{QStringLiteral("ok")});
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

    // Both readers refuse a key they do not know in a field definition, with
    // the same code and message; the same packet without it reads.
    void unknownFieldKeyIsRefused_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("withoutKey");
        QTest::addColumn<Encoding>("encoding");
        const auto cbor = [](const QCborMap &field) {
            QCborMap packet;
            packet.insert(QStringLiteral("fields"), QCborArray{field});
            packet.insert(QStringLiteral("rows"), QCborArray{QCborArray{QStringLiteral("a")}});
            QCborMap message;
            message.insert(QStringLiteral("params"), QCborArray{packet});
            return message.toCborValue().toCbor();
        };
        const auto json = [](const char *field) -> QByteArray {
            return QByteArray(R"({"params":[{"fields":[)") + field +
                   QByteArray(R"(],"rows":[["a"]]}]})");
        };
        const QCborMap plain{{QStringLiteral("name"), QStringLiteral("A")},
                             {QStringLiteral("size"), 1}};
        QCborMap after = plain;
        after.insert(QStringLiteral("width"), 3);
        QCborMap before;
        before.insert(QStringLiteral("width"), 3);
        before.insert(QStringLiteral("name"), QStringLiteral("A"));
        before.insert(QStringLiteral("size"), 1);
        QTest::newRow("cbor, after name and size") << cbor(after) << cbor(plain) << Encoding::Cbor;
        QTest::newRow("cbor, first") << cbor(before) << cbor(plain) << Encoding::Cbor;
        QTest::newRow("json, after name and size")
            << json(R"({"name":"A","size":1,"width":3})") << json(R"({"name":"A","size":1})")
            << Encoding::Json;
        QTest::newRow("json, first") << json(R"({"width":3,"name":"A","size":1})")
                                     << json(R"({"name":"A","size":1})") << Encoding::Json;
    }
    void unknownFieldKeyIsRefused()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, withoutKey);
        QFETCH(Encoding, encoding);
        try {
            decode(payload, encoding);
            QFAIL("a field definition with an unknown key was accepted");
        } catch (const DecodeError &e) {
            QCOMPARE(e.code(), code::ParseError);
            QCOMPARE(QString::fromUtf8(e.what()),
                     QStringLiteral("Chave 'width' desconhecida na definição de campo."));
        }
        const QVariant read =
            decode(withoutKey, encoding).toMap().value("params").toList().value(0);
        QCOMPARE(read.value<DataPacket>().fields(), (QList<FieldDef>{{"A", 1}}));
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
