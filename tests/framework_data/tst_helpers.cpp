#include "framework/app/messages.h"
#include "framework/app/utils.h"
#include "framework/data/servercheck.h"

#include "contracts/wire.h"

#include <QTest>

class TestHelpers : public QObject
{
    Q_OBJECT

private slots:
    void messagesByKey();
    void missingMessageRaises();
    void emptyString_data();
    void emptyString();
    void checkResultServ();
};

void TestHelpers::messagesByKey()
{
    TMessages msg;
    msg.Lines = {
        QStringLiteral("DIME|Dimensão"),
        QStringLiteral("DADOS_DIME|Existe filtro aplicado a esta dimensão.\r\nDeseja excluí-lo?"),
        QStringLiteral("CODEX|não é CODE"),
        QStringLiteral("CODE|Código"),
        QStringLiteral("PIPE|a|b"),
        QStringLiteral("VAZIA|"),
        QStringLiteral("sem barra")};
    QCOMPARE(msg.Msg(QStringLiteral("DADOS_DIME")),
             QStringLiteral("Existe filtro aplicado a esta dimensão.\r\nDeseja excluí-lo?"));
    QCOMPARE(msg.Msg(QStringLiteral("CODE")), QStringLiteral("Código"));
    QCOMPARE(msg.Msg(QStringLiteral("CODEX")), QStringLiteral("não é CODE"));
    QCOMPARE(msg.Msg(QStringLiteral("PIPE")), QStringLiteral("a|b"));
    QCOMPARE(msg.Msg(QStringLiteral("VAZIA")), QString());
}

void TestHelpers::missingMessageRaises()
{
    TMessages msg;
    msg.Lines = {QStringLiteral("CODE|Código"), QStringLiteral("sem barra")};
    for (const QString &key : {QStringLiteral("NAME"), QStringLiteral("code"),
                               QStringLiteral("COD"), QStringLiteral("sem barra")}) {
        try {
            msg.Msg(key);
            QFAIL(qPrintable(QStringLiteral("no exception for ") + key));
        } catch (const Exception &e) {
            QCOMPARE(e.Message(), QStringLiteral("Mensagem '%1' não cadastrada").arg(key));
        }
    }
}

void TestHelpers::emptyString_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("empty");
    QTest::newRow("empty") << QString() << true;
    QTest::newRow("blanks") << QStringLiteral("   ") << true;
    QTest::newRow("tab and line break") << QStringLiteral(" \t\r\n") << true;
    QTest::newRow("letter") << QStringLiteral("G") << false;
    QTest::newRow("letter among blanks") << QStringLiteral("  x ") << false;
    QTest::newRow("zero") << QStringLiteral("0") << false;
    QTest::newRow("underscore") << QStringLiteral("_") << false;
}

void TestHelpers::emptyString()
{
    QFETCH(QString, text);
    QFETCH(bool, empty);
    QCOMPARE(EmptyString(text), empty);
}

void TestHelpers::checkResultServ()
{
    const QVariant packet = QVariant::fromValue(quv::DataPacket({{QStringLiteral("A"), 1}}));
    QCOMPARE(CheckResultServ(QVariant::fromValue(TServerStatus{true, 0, {}, packet, {}}), true, 0),
             packet);
    QCOMPARE(
        CheckResultServ(QVariant::fromValue(TServerStatus{true, 0, {}, QStringLiteral("_v_"), {}}),
                        true, 0),
        QVariant(QStringLiteral("_v_")));

    // The code, and the message with its details after a line break.
    const auto error = [](const QVariant &status) -> std::pair<int, QString> {
        try {
            CheckResultServ(status, true, 0);
        } catch (const EServerError &e) {
            return {e.Code(), e.Message() + u'\n' + e.Details()};
        }
        return {0, QStringLiteral("no exception")};
    };
    const auto refused = error(QVariant::fromValue(
        TServerStatus{false, 1003, QStringLiteral("Grupo 99 não cadastrado."), packet, {}}));
    QCOMPARE(refused.first, 1003);
    QCOMPARE(refused.second, QStringLiteral("Grupo 99 não cadastrado.\n"));
    QCOMPARE(error(QVariant::fromValue(TServerStatus{false, 7, {}, {}, {}})).first, 7);
    QVERIFY(!error(QVariant::fromValue(TServerStatus{false, 7, {}, {}, {}})).second.isEmpty());
    // Anything that is not a status is a failure too.
    for (const QVariant &odd : {QVariant(), QVariant(true), packet}) {
        const auto e = error(odd);
        QCOMPARE(e.first, quv::wire::code::InternalError);
        QVERIFY2(e.second.contains(QStringLiteral("status")), qPrintable(e.second));
    }
    // Without raising, a failure gives nothing.
    QCOMPARE(CheckResultServ(
                 QVariant::fromValue(TServerStatus{false, 1, QStringLiteral("x"), packet, {}}),
                 false, 0),
             QVariant());
    QCOMPARE(CheckResultServ(QVariant(42), false, 0), QVariant());
}

QTEST_APPLESS_MAIN(TestHelpers)
#include "tst_helpers.moc"
