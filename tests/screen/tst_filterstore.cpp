// Reading the stored filter of a principal and dimension into the list form,
// and storing a list as the new filter, through the screen's own methods
// against the real server and database.

#include "filtertesting.h"

#include <QSqlQuery>

using namespace quv::test;
using namespace quv::test::filters;
using Cli_quv01000::TfrmControleAcesso;

namespace {

const QString Fil = QStringLiteral("FILDIMEGRUPOP");
const QString FilOper = QStringLiteral("FILDIMEOPER");

QString repeated(const QString &piece, int times)
{
    QString out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

} // namespace

class TestFilterStore : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenSession> session;
    std::unique_ptr<CallRecorder> recorder;
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
        recorder = std::make_unique<CallRecorder>(*session);
        form = session->open();
        recorder->clear();
        return form != nullptr;
    }

    void exec(const QString &sql)
    {
        QSqlQuery q(session->database());
        QVERIFY2(q.exec(sql), qPrintable(sql));
    }

private slots:
    void cleanup()
    {
        recorder.reset();
        session.reset();
        form = nullptr;
    }

    void listaFiltroGivesTheStoredValuesInTheListForm_data() { addDriverColumn(); }
    void listaFiltroGivesTheStoredValuesInTheListForm()
    {
        QVERIFY(start());
        QSqlDatabase db = session->database();
        // The values come in the order the database gives them for the same
        // statement the screen runs.
        const auto expected = [&db](const QString &sql, const QVariantList &args) {
            QString list = QStringLiteral("_");
            for (const QStringList &row : rows(db, sql, args))
                list += row.first() + QLatin1Char('_');
            return list;
        };
        const QString group =
            expected(QStringLiteral("SELECT CDFILDIMEGRUPOP FROM FILDIMEGRUPOP WHERE "
                                    "(CDGRUPOPER = ?) AND (NRSEQUEDIME = ?)"),
                     {QStringLiteral("02"), QStringLiteral("4")});
        QCOMPARE(group.size(), 6);
        QCOMPARE(form->listaFiltro(QStringLiteral("G02"), QStringLiteral("4")), group);
        QCOMPARE(ListaFiltro::parse(group).size(), 2);

        const QString op = expected(QStringLiteral("SELECT CDFILDIMEOPER FROM FILDIMEOPER WHERE "
                                                   "(CDOPERADOR = ?) AND (NRSEQUEDIME = ?)"),
                                    {QStringLiteral("JSILVA"), QStringLiteral("1")});
        QCOMPARE(form->listaFiltro(QStringLiteral("OJSILVA"), QStringLiteral("1")), op);
        QStringList values = ListaFiltro::parse(op);
        values.sort();
        QCOMPARE(values, QStringList({"C0000003", "C0000007", "C0000011"}));

        // Nothing stored, an empty key, a key of neither kind: the empty text.
        QCOMPARE(form->listaFiltro(QStringLiteral("G02"), QStringLiteral("1")), QString());
        QCOMPARE(form->listaFiltro(QStringLiteral("OJSILVA"), QStringLiteral("7")), QString());
        QCOMPARE(form->listaFiltro(QString(), QStringLiteral("4")), QString());
        QCOMPARE(form->listaFiltro(QStringLiteral("g02"), QStringLiteral("4")), QString());
        QCOMPARE(form->listaFiltro(QStringLiteral("X02"), QStringLiteral("4")), QString());
        // The code is taken whole after the letter, never matched loosely.
        QCOMPARE(form->listaFiltro(QStringLiteral("Ojsilva"), QStringLiteral("1")), QString());

        QVERIFY(session->calls.isEmpty());
        QVERIFY(!ShowAviActive());
    }

    void listaFiltroAsksTheServerWhenTheDatabaseCannotBeRead_data() { addDriverColumn(); }
    void listaFiltroAsksTheServerWhenTheDatabaseCannotBeRead()
    {
        QVERIFY(start());
        session->dbGeral->Close();
        // The server gives its values ordered.
        QCOMPARE(form->listaFiltro(QStringLiteral("G02"), QStringLiteral("4")),
                 QStringLiteral("_S_SE_"));
        QCOMPARE(form->listaFiltro(QStringLiteral("OJSILVA"), QStringLiteral("1")),
                 QStringLiteral("_C0000003_C0000007_C0000011_"));
        QCOMPARE(form->listaFiltro(QStringLiteral("G02"), QStringLiteral("1")), QString());
        QCOMPARE(session->calls, QStringList(3, QStringLiteral("getListaFiltro")));
        QVERIFY(recorder->allBusy());
        QVERIFY(!ShowAviActive());

        // A failing server call is the one error that goes on.
        recorder->clear();
        QVERIFY_THROWS_EXCEPTION(std::exception,
                                 form->listaFiltro(QStringLiteral("OZZZ"), QStringLiteral("1")));
        QCOMPARE(session->calls, QStringList({QStringLiteral("getListaFiltro")}));
        QVERIFY(!ShowAviActive());
        QCOMPARE(session->server.stop(), 0);
        QVERIFY_THROWS_EXCEPTION(std::exception,
                                 form->listaFiltro(QStringLiteral("G02"), QStringLiteral("4")));
        QVERIFY(!ShowAviActive());
    }

    void aStoredValueWithTheSeparatorIsRefusedNotSplit_data() { addDriverColumn(); }
    void aStoredValueWithTheSeparatorIsRefusedNotSplit()
    {
        QVERIFY(start());
        exec(QStringLiteral("INSERT INTO FILDIMEGRUPOP (CDGRUPOPER, NRSEQUEDIME, CDFILDIMEGRUPOP) "
                            "VALUES ('02', 4, 'SE_SP')"));
        const QString before = fingerprint(session->database());
        const auto refused = [this] {
            try {
                form->listaFiltro(QStringLiteral("G02"), QStringLiteral("4"));
            } catch (const std::exception &error) {
                return QString::fromUtf8(error.what());
            }
            return QString();
        };
        // Read directly: the screen refuses without asking the server.
        const QString direct = refused();
        QVERIFY2(direct.contains(QStringLiteral("SE_SP")) && direct.contains(QStringLiteral("'_'")),
                 qPrintable(direct));
        QVERIFY(session->calls.isEmpty());
        QVERIFY(!ShowAviActive());

        // Through the server: refused the same way.
        session->dbGeral->Close();
        const QString served = refused();
        QVERIFY2(served.contains(QStringLiteral("SE_SP")), qPrintable(served));
        QCOMPARE(session->calls, QStringList({QStringLiteral("getListaFiltro")}));
        QVERIFY(!ShowAviActive());

        // From F9 the error reaches the user once and no dialog opens.
        session->dbGeral->Open(session->connectionString());
        QVERIFY(showHost(*session));
        QVERIFY(form->qryOperGrup->Locate(QStringLiteral("CDGRUPOPER"), QStringLiteral("02"),
                                          TLocateOption::CaseInsensitive));
        QVERIFY(form->cdsDimeOperGrup->Locate(QStringLiteral("NRSEQUEDIME"), QStringLiteral("4"),
                                              TLocateOption::CaseInsensitive));
        recorder->clear();
        ListDialogAnswer answer(QStringLiteral("btnOk"));
        QTest::keyClick(form->dbgDimeGrup, Qt::Key_F9);
        settle();
        QVERIFY(!answer.seen().opened);
        QCOMPARE(session->host.exceptions.size(), 1);
        QVERIFY(session->host.exceptions.first().contains(QStringLiteral("SE_SP")));
        QVERIFY(session->calls.isEmpty());
        QCOMPARE(fingerprint(session->database()), before);
        QVERIFY(!ShowAviActive());
    }

    void filtraDimensaoSendsOneRowPerValue_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("list");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QStringList>("stored");

        const QString fifty = repeated(QStringLiteral("Ção"), 16) + QStringLiteral("Fí");
        for (const QString &driver : Drivers) {
            const auto row = [&](const char *name) -> QTestData & {
                return QTest::newRow(
                           qPrintable(driver + QLatin1Char(' ') + QString::fromLatin1(name)))
                       << driver;
            };
            row("two values") << "_N_NE_"
                              << "G02"
                              << "4" << QStringList{"N", "NE"} << QStringList{"N", "NE"};
            row("without the leading mark")
                << "N_NE_"
                << "G02"
                << "4" << QStringList{"N", "NE"} << QStringList{"N", "NE"};
            row("empty text removes") << ""
                                      << "G02"
                                      << "4" << QStringList{""} << QStringList{};
            row("mark alone removes") << "_"
                                      << "G02"
                                      << "4" << QStringList{""} << QStringList{};
            row("operator") << "_C0000001_C0000002_"
                            << "OJSILVA"
                            << "1" << QStringList{"C0000001", "C0000002"}
                            << QStringList{"C0000001", "C0000002"};
            row("operator removes") << ""
                                    << "OJSILVA"
                                    << "1" << QStringList{""} << QStringList{};
            row("two marks in a row")
                << "_N__NE_"
                << "G02"
                << "4" << QStringList{"N", "", "NE"} << QStringList{"N", "NE"};
            row("trailing value without its mark")
                << "_N_NE"
                << "G02"
                << "4" << QStringList{"N", "NE"} << QStringList{"N", "NE"};
            row("values kept as they are")
                << "_ N_n_N _"
                << "G02"
                << "4" << QStringList{" N", "n", "N "} << QStringList{" N", "N ", "n"};
            row("fifty characters carried whole")
                << QString(QStringLiteral("_") + fifty + QStringLiteral("_NE_")) << "G02"
                << "4" << QStringList{fifty, "NE"} << QStringList{fifty, "NE"};
        }
    }
    void filtraDimensaoSendsOneRowPerValue()
    {
        QFETCH(QString, list);
        QFETCH(QString, key);
        QFETCH(QString, number);
        QFETCH(QStringList, sent);
        QFETCH(QStringList, stored);
        stored.sort();
        QVERIFY(start());
        QSqlDatabase db = session->database();
        const bool group = key.startsWith(QLatin1Char('G'));
        const QString code = key.mid(1);
        // The other kind's table must come through untouched.
        const QString otherSql =
            group ? QStringLiteral("SELECT * FROM FILDIMEOPER ORDER BY 1, 2, 3")
                  : QStringLiteral("SELECT * FROM FILDIMEGRUPOP ORDER BY 1, 2, 3");
        const QList<QStringList> other = rows(db, otherSql);

        try {
            form->FiltraDimensao(list, key, number);
        } catch (const std::exception &error) {
            QFAIL(error.what());
        }

        QCOMPARE(session->calls, QStringList({QStringLiteral("setDelFilDime")}));
        const RemoteCall &call = recorder->calls.first();
        QVERIFY(call.busy);
        QCOMPARE(call.filterFields, QStringList({"ITENS", "CDCODIGOPAI", "NRSEQUEDIME"}));
        QList<QStringList> expectedRows;
        for (const QString &value : sent)
            expectedRows.append({value, code, number});
        QCOMPARE(call.filterRows, expectedRows);

        QCOMPARE(group ? storedGroupFilter(db, code, number.toInt())
                       : storedOperatorFilter(db, code, number.toInt()),
                 stored);
        QCOMPARE(rows(db, otherSql), other);
        // Both filter tables, whatever the kind of principal.
        QCOMPARE(session->host.cacheRequests, QList<QStringList>({{Fil}, {FilOper}}));
        QVERIFY(form->findChild<TClientDataSet *>(QStringLiteral("cdsTemp")) == nullptr);
        QVERIFY(!ShowAviActive());

        // What was stored reads back as the same set.
        QStringList back = ListaFiltro::parse(form->listaFiltro(key, number));
        back.sort();
        QCOMPARE(back, stored);
    }

    void badInputIsRefusedAndTheStoredFilterStays_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("list");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("says");
        QTest::addColumn<bool>("called");
        for (const QString &driver : Drivers) {
            const auto row = [&](const char *name) -> QTestData & {
                return QTest::newRow(
                           qPrintable(driver + QLatin1Char(' ') + QString::fromLatin1(name)))
                       << driver;
            };
            const QString longValue = repeated(QStringLiteral("X"), 51);
            row("a value over fifty characters")
                << QString(QStringLiteral("_N_") + longValue + QStringLiteral("_")) << "G02"
                << "4" << longValue << false;
            row("a dimension not granted") << "_PIX_"
                                           << "G02"
                                           << "6"
                                           << "concedida" << true;
            row("a dimension without values") << "_X_"
                                              << "G02"
                                              << "5"
                                              << "tabela" << true;
            row("an unknown operator") << "_N_"
                                       << "ONINGUEM"
                                       << "4"
                                       << "NINGUEM" << true;
        }
    }
    void badInputIsRefusedAndTheStoredFilterStays()
    {
        QFETCH(QString, list);
        QFETCH(QString, key);
        QFETCH(QString, number);
        QFETCH(QString, says);
        QFETCH(bool, called);
        QVERIFY(start());
        const QString before = fingerprint(session->database());
        QString message;
        try {
            form->FiltraDimensao(list, key, number);
        } catch (const std::exception &error) {
            message = QString::fromUtf8(error.what());
        }
        QVERIFY2(message.contains(says), qPrintable(message));
        QCOMPARE(session->calls.size(), called ? 1 : 0);
        QCOMPARE(fingerprint(session->database()), before);
        QVERIFY(session->host.cacheRequests.isEmpty());
        QVERIFY(form->findChild<TClientDataSet *>(QStringLiteral("cdsTemp")) == nullptr);
        QVERIFY(!ShowAviActive());
    }

    void anUnreachableServerLeavesNoTrace_data() { addDriverColumn(); }
    void anUnreachableServerLeavesNoTrace()
    {
        QVERIFY(start());
        QCOMPARE(session->server.stop(), 0);
        const QString before = fingerprint(session->database());
        QVERIFY_THROWS_EXCEPTION(std::exception,
                                 form->FiltraDimensao(QStringLiteral("_N_"), QStringLiteral("G02"),
                                                      QStringLiteral("4")));
        QCOMPARE(fingerprint(session->database()), before);
        QVERIFY(session->host.cacheRequests.isEmpty());
        QVERIFY(form->findChild<TClientDataSet *>(QStringLiteral("cdsTemp")) == nullptr);
        QVERIFY(!ShowAviActive());
    }

    void aHundredThousandValuesGoAndComeBack_data() { addDriverColumn(); }
    void aHundredThousandValuesGoAndComeBack()
    {
        QVERIFY(start());
        constexpr int Count = 100'000;
        QString list = QStringLiteral("_");
        list.reserve(Count * 9 + 1);
        QStringList values;
        values.reserve(Count);
        for (int i = 0; i < Count; ++i) {
            values.append(QStringLiteral("C%1").arg(i, 7, 10, QLatin1Char('0')));
            list += values.last() + QLatin1Char('_');
        }
        try {
            form->FiltraDimensao(list, QStringLiteral("G02"), QStringLiteral("1"));
        } catch (const std::exception &error) {
            QFAIL(error.what());
        }
        const RemoteCall &call = recorder->calls.first();
        QCOMPARE(call.filterRows.size(), Count);
        QCOMPARE(call.filterRows.first(), QStringList({values.first(), "02", "1"}));
        QCOMPARE(call.filterRows.last(), QStringList({values.last(), "02", "1"}));
        QSqlDatabase db = session->database();
        QCOMPARE(count(db, QStringLiteral("SELECT COUNT(*) FROM FILDIMEGRUPOP WHERE CDGRUPOPER = "
                                          "'02' AND NRSEQUEDIME = 1")),
                 Count);

        QStringList back =
            ListaFiltro::parse(form->listaFiltro(QStringLiteral("G02"), QStringLiteral("1")));
        back.sort();
        QCOMPARE(back, values);
        // And through the server's reading.
        session->dbGeral->Close();
        const QString served = form->listaFiltro(QStringLiteral("G02"), QStringLiteral("1"));
        QCOMPARE(served, list);
        QVERIFY(!ShowAviActive());
    }
};

QTEST_MAIN(TestFilterStore)
#include "tst_filterstore.moc"
