#include "framework/data/dataset.h"
#include "framework/widgets/listdialog.h"

#include <QTest>

#include <numeric>

class TestListaFormat : public QObject
{
    Q_OBJECT

private slots:
    void parseAcceptsEveryWrittenAndLooseForm_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QStringList>("values");
        QTest::newRow("two values") << "_v_w_" << QStringList{"v", "w"};
        QTest::newRow("leading _ absent") << "v_w_" << QStringList{"v", "w"};
        QTest::newRow("empty") << "" << QStringList{};
        QTest::newRow("_ alone") << "_" << QStringList{};
        QTest::newRow("two _ in a row") << "_v__w_" << QStringList{"v", "", "w"};
        QTest::newRow("only an empty value") << "__" << QStringList{""};
        QTest::newRow("trailing value without _") << "_v_w" << QStringList{"v", "w"};
        QTest::newRow("single value, no _ at all") << "v" << QStringList{"v"};
        QTest::newRow("blanks are kept") << "_ a _b _" << QStringList{" a ", "b "};
        QTest::newRow("accents and long values")
            << "_São Paulo_Ação_" << QStringList{"São Paulo", "Ação"};
    }
    void parseAcceptsEveryWrittenAndLooseForm()
    {
        QFETCH(QString, list);
        QFETCH(QStringList, values);
        QCOMPARE(ListaFiltro::parse(list), values);
    }

    void buildWritesTheCanonicalForm()
    {
        QCOMPARE(ListaFiltro::build({}), QString());
        QCOMPARE(ListaFiltro::build({"v"}), QStringLiteral("_v_"));
        QCOMPARE(ListaFiltro::build({"v", "w"}), QStringLiteral("_v_w_"));
        QCOMPARE(ListaFiltro::build({"v", "", "w"}), QStringLiteral("_v__w_"));
        QCOMPARE(ListaFiltro::build({"São", " x "}), QStringLiteral("_São_ x _"));
    }

    void buildRefusesAValueThatWouldSplit()
    {
        try {
            ListaFiltro::build({"ok", "a_b"});
            QFAIL("a value with _ was written into the list");
        } catch (const Exception &e) {
            QVERIFY2(e.Message().contains(QStringLiteral("a_b")), qPrintable(e.Message()));
        }
    }

    void writtenListsReadBackUnchanged()
    {
        const QList<QStringList> sets = {
            {}, {""}, {"", ""}, {"1"}, {"1", "2", "3"}, {"", "x", ""}, {"Ç", "ü", "日本"}};
        for (const QStringList &values : sets) {
            const QString written = ListaFiltro::build(values);
            QCOMPARE(ListaFiltro::parse(written), values);
            // The loose form the server also accepts reads back the same,
            // unless the first value is empty: then the "_" that ends it
            // would be taken for the optional leading one.
            if (!values.isEmpty() && !values.front().isEmpty())
                QCOMPARE(ListaFiltro::parse(QStringView(written).sliced(1)), values);
        }
    }

    void largeListsKeepEveryValueInOrder()
    {
        QStringList values;
        for (int i = 0; i < 200000; ++i)
            values.append(QString::number(i));
        const QString written = ListaFiltro::build(values);
        QCOMPARE(written.size(), 1 + std::accumulate(values.begin(), values.end(), qsizetype(0),
                                                     [](qsizetype n, const QString &v) {
                                                         return n + v.size() + 1;
                                                     }));
        const QStringList back = ListaFiltro::parse(written);
        QCOMPARE(back.size(), values.size());
        QCOMPARE(back, values);
    }
};

QTEST_MAIN(TestListaFormat)
#include "tst_listaformat.moc"
