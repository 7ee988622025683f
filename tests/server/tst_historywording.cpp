// How the history words each kind of change: audit rows of every shape the
// server writes, named by the demo catalog, read back as the one-line
// summary the window and `quv-server audit` show, and as the steps the undo
// question lists.

#include "contracts/history.h"
#include "contracts/wire.h"
#include "server/audit.h"
#include "server/history.h"
#include "tests/support/testdatabase.h"

#include "db/connection.h"

#include <QTest>

using namespace quv;

class HistoryWording : public QObject
{
    Q_OBJECT

    QSqlDatabase m_db;

private slots:
    void initTestCase()
    {
        QString database;
        QUV_FRESH_DEMO(QStringLiteral("sqlite"), database);
        m_db = test::openConnection(database, QStringLiteral("wording"));
    }
    void cleanupTestCase()
    {
        m_db = QSqlDatabase();
        db::closeDatabase(QStringLiteral("wording"));
    }

    void summaries_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("items");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("undo"); // the undo question's steps; empty: not checked

        QTest::newRow("one fact granted") << "setCkFatoOpGrup"
                                          << R"([["FATOVENDA","VLMARGEM"]])"
                                          << R"({"granted":[]})"
                                          << R"({"granted":[["FATOVENDA","VLMARGEM"]]})"
                                          << "Concedeu o fato Margem Bruta"
                                          << "";
        QTest::newRow("three facts granted")
            << "setTChkFatoOpGrup"
            << R"([["FATOVENDA","VLVENDA"],["FATOVENDA","VLMARGEM"],["FATOESTOQUE","IDGIRO"]])"
            << R"({"granted":[]})"
            << R"({"granted":[["FATOVENDA","VLVENDA"],["FATOVENDA","VLMARGEM"],["FATOESTOQUE","IDGIRO"]]})"
            << "Concedeu 3 fatos: Giro de Estoque, Margem Bruta, …"
            << "Revogar 3 fatos: Giro de Estoque, Margem Bruta, …";
        QTest::newRow("held fact left out")
            << "setTChkFatoOpOper"
            << R"([["FATOVENDA","VLVENDA"],["FATOMETA","VLMETA"]])"
            << R"({"granted":[["FATOVENDA","VLVENDA"],["FATOMETA","VLMETA"]]})"
            << R"({"granted":[["FATOMETA","VLMETA"]]})"
            << "Revogou o fato Valor da Venda"
            << "";
        QTest::newRow("nothing changed") << "setCkDimeOpOper"
                                         << "[4]"
                                         << R"({"granted":[4],"filters":{"4":["SE"]}})"
                                         << R"({"granted":[4],"filters":{"4":["SE"]}})"
                                         << "Sem alteração"
                                         << "";
        QTest::newRow("dimension revoked with its filter")
            << "setCkDimeOpGrup"
            << "[4]"
            << R"({"granted":[4],"filters":{"4":["S","SE"]}})"
            << R"({"granted":[],"filters":{}})"
            << "Revogou a dimensão Região e seu filtro (2 valores)"
            << "Conceder a dimensão Região e seu filtro (2 valores)";
        QTest::newRow("dimensions granted") << "setTChkDimeOpGrup"
                                            << "[1,3]"
                                            << R"({"granted":[],"filters":{}})"
                                            << R"({"granted":[1,3],"filters":{}})"
                                            << "Concedeu 2 dimensões: Cliente, Loja"
                                            << "";
        QTest::newRow("filter edited") << "setDelFilDime"
                                       << "[4]"
                                       << R"({"values":["S","SE"]})"
                                       << R"({"values":["N","NE","S"]})"
                                       << "Filtro de Região: +2, −1 valores"
                                       << "Filtro de Região: +1, −2 valores";
        QTest::newRow("one value added") << "setDelFilDime"
                                         << "[4]"
                                         << R"({"values":[]})"
                                         << R"({"values":["N"]})"
                                         << "Filtro de Região: +1 valor"
                                         << "";
        QStringList many;
        for (int i = 1; i <= 25; ++i)
            many.append(QStringLiteral("\"C%1\"").arg(i, 7, 10, QLatin1Char('0')));
        QTest::newRow("values beyond those shown are counted")
            << "setDelFilDime"
            << "[1]"
            << R"({"values":[]})" << QStringLiteral(R"({"values":[%1]})").arg(many.join(u','))
            << "Filtro de Cliente: +25 valores"
            << "";
        QStringList facts;
        for (int i = 1; i <= 25; ++i)
            facts.append(QStringLiteral(R"(["FATOX","I%1"])").arg(i, 2, 10, QLatin1Char('0')));
        QTest::newRow("facts beyond those listed are counted")
            << "setTChkFatoOpGrup" << QLatin1Char('[') + facts.join(u',') + QLatin1Char(']')
            << R"({"granted":[]})" << QStringLiteral(R"({"granted":[%1]})").arg(facts.join(u','))
            << "Concedeu 25 fatos: FATOX/I01, FATOX/I02, …"
            << "Revogar 25 fatos: FATOX/I01, FATOX/I02, …";
        QTest::newRow("combined row, as a copy writes it")
            << "copiaAcessos"
            << R"({"facts":[["FATOMETA","VLMETA"],["FATOVENDA","VLVENDA"]],"dimensions":[1,4]})"
            << R"({"facts":[["FATOMETA","VLMETA"]],"dimensions":[4],"filters":{"4":["S"]}})"
            << R"({"facts":[["FATOVENDA","VLVENDA"]],"dimensions":[1,4],"filters":{"1":["C0000001"],"4":["N","S"]}})"
            << "Concedeu o fato Valor da Venda; revogou o fato Meta de Faturamento; concedeu a "
               "dimensão Cliente e seu filtro (1 valor); filtro de Região: +1 valor"
            << "";
        QTest::newRow("item no longer in the catalog")
            << "setCkFatoOpGrup"
            << R"([["FATOVENDA","VLANTIGO"]])"
            << R"({"granted":[]})"
            << R"({"granted":[["FATOVENDA","VLANTIGO"]]})"
            << "Concedeu o fato FATOVENDA/VLANTIGO"
            << "";
        QTest::newRow("row of an unknown shape") << "setCkFatoOpGrup"
                                                 << "[[\"FATOVENDA\"]]"
                                                 << R"({"granted":[]})"
                                                 << R"({"granted":[]})"
                                                 << "Registro ilegível"
                                                 << "";
    }
    void summaries()
    {
        QFETCH(QString, method);
        QFETCH(QString, items);
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(QString, summary);
        QFETCH(QString, undo);
        server::AuditEntry row;
        row.id = 9;
        row.method = method;
        row.kind = u'G';
        row.code = QStringLiteral("02");
        row.items = server::parseAuditJson(items);
        row.before = server::parseAuditJson(before);
        row.after = server::parseAuditJson(after);
        const history::Entry entry = server::describeAudit(m_db, {row}).first().entry;
        QCOMPARE(history::summary(entry), summary);
        QCOMPARE(entry.principalName, QStringLiteral("Gerência Comercial"));
        // A page lists fewer facts and says the same.
        db::StatementCache sql(m_db);
        const history::Entry listed =
            server::describeAudit(sql, {row}, history::ShownFacts).first().entry;
        QCOMPARE(history::summary(listed), summary);
        QCOMPARE(listed.change.factsAddedCount(), entry.change.factsAdded.size());
        QCOMPARE(listed.change.isWhole(), entry.change.factsAdded.size() <= history::ShownFacts);
        if (!undo.isEmpty())
            QCOMPARE(history::phrases(history::inverse(entry.change), history::Voice::ToDo)
                         .join(QStringLiteral("; ")),
                     undo);
        for (const history::FilterChange &f : entry.change.filters)
            QCOMPARE(f.added.size(), qMin<qint64>(f.addedCount, history::ShownValues));
        // What travels is what was read.
        for (const wire::Encoding encoding : {wire::Encoding::Cbor, wire::Encoding::Json})
            for (const history::Entry &e : {entry, listed})
                QCOMPARE(history::entryFromVariant(
                             wire::decode(wire::encode(history::toVariant(e), encoding), encoding)),
                         e);
    }

    void undoRowSaysWhatItUndid()
    {
        server::AuditEntry row;
        row.id = 12;
        row.method = QString(history::UndoMethod);
        row.kind = u'O';
        row.code = QStringLiteral("JSILVA");
        row.undoes = 7;
        row.items = server::parseAuditJson(
            QStringLiteral(R"({"facts":[["FATOVENDA","VLMARGEM"]],"dimensions":[]})"));
        row.before = server::parseAuditJson(
            QStringLiteral(R"({"facts":[["FATOVENDA","VLMARGEM"]],"dimensions":[],"filters":{}})"));
        row.after =
            server::parseAuditJson(QStringLiteral(R"({"facts":[],"dimensions":[],"filters":{}})"));
        const history::Entry entry = server::describeAudit(m_db, {row}).first().entry;
        QCOMPARE(history::summary(entry),
                 QStringLiteral("Desfez a alteração 7: revogou o fato Margem Bruta"));
        QCOMPARE(entry.principalLabel(), QStringLiteral("João da Silva (JSILVA)"));
    }
};

QTEST_GUILESS_MAIN(HistoryWording)
#include "tst_historywording.moc"
