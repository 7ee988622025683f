#include "framework/data/dataset.h"
#include "framework/widgets/listdialog.h"
#include "listfixture.h"

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace {

QList<qsizetype> shownRows(const TPesquisaListaModel &model)
{
    QList<qsizetype> rows;
    for (int r = 0; r < model.rowCount(); ++r)
        rows.append(model.DataSetRow(r));
    return rows;
}

QList<qsizetype> markedRows(const TPesquisaListaModel &model)
{
    QList<qsizetype> rows;
    for (qsizetype r = 0; r < model.TotalRows(); ++r)
        if (model.IsMarked(r))
            rows.append(r);
    return rows;
}

template <class F> QString exceptionOf(F &&f)
{
    try {
        f();
    } catch (const Exception &e) {
        return e.Message();
    }
    return {};
}

} // namespace

class TestListModel : public QObject
{
    Q_OBJECT

private slots:
    void passesTheItemModelTesterThroughSearchAndMarks()
    {
        SearchData d(sampleRows());
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {"B2", "Z9"}, false);
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.SetFilterText(QStringLiteral("a"));
        model.SetMarks({0, 1}, true);
        model.SetFilterText(QStringLiteral("an"));
        model.SetFilterText(QString());
        QCOMPARE(model.SetAllShown(true), 3);
        model.SetFilterText(QStringLiteral("zzz"));
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(model.SetAllShown(false), 0);
        QCOMPARE(model.MarkedCount(), 5);
    }

    void showsVisibleFieldsAfterTheFirstUnderTheirLabels()
    {
        SearchData d(sampleRows());
        {
            TPesquisaListaModel model(d.dataSet.get(), d.key(), {}, false);
            QCOMPARE(model.columnCount(), 3);
            QCOMPARE(model.rowCount(), 5);
            QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Código"));
            QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QStringLiteral("Nome"));
            QCOMPARE(model.index(2, 1).data().toString(), QStringLiteral("C3"));
            QCOMPARE(model.index(2, 2).data().toString(), QStringLiteral("São Paulo"));
            QCOMPARE(model.index(2, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(),
                     Qt::Unchecked);
            QVERIFY(!model.index(2, 0).data(Qt::DisplayRole).isValid());
        }
        d.dataSet->FieldByName(QStringLiteral("DSITEM"))->setVisible(false);
        TPesquisaListaModel narrow(d.dataSet.get(), d.key(), {}, false);
        QCOMPARE(narrow.columnCount(), 2);
        QCOMPARE(narrow.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Código"));
        // The hidden name is not searched either; the key still is.
        narrow.SetFilterText(QStringLiteral("paulo"));
        QCOMPARE(narrow.rowCount(), 0);
        narrow.SetFilterText(QStringLiteral("c3"));
        QCOMPARE(shownRows(narrow), QList<qsizetype>({2}));
    }

    void preMarksTheRowsWhoseKeyIsInTheList()
    {
        SearchData d(sampleRows());
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {"C3", "A1", "Z9", "c3", "A1", ""},
                                  false);
        QCOMPARE(markedRows(model), QList<qsizetype>({0, 2}));
        QCOMPARE(model.MarkedCount(), 2);
        // Keys compare exactly; values not found are kept, each once, in order.
        QCOMPARE(model.AbsentValues(), QStringList({"Z9", "c3", ""}));
        QCOMPARE(model.MarkedKeys(), QStringList({"A1", "C3"}));
        QCOMPARE(model.index(0, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
    }

    // Clearing the search over more rows than the view is told of at once
    // resets it over a first part and adds the rest: every row shows, in
    // order, and the view hears a consistent story.
    void clearingTheSearchShowsEveryRowOfALongList()
    {
        Rows rows;
        for (int i = 0; i < 150000; ++i)
            rows.append({QStringLiteral("K%1").arg(i),
                         i % 2 ? QStringLiteral("par") : QStringLiteral("impar")});
        SearchData d(rows);
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {}, false);
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.SetFilterText(QStringLiteral("impar"));
        model.FinishSearch();
        QCOMPARE(model.ShownCount(), 75000);
        model.SetFilterText(QString());
        QCOMPARE(model.rowCount(), 150000);
        QCOMPARE(model.DataSetRow(149999), 149999);
        QCOMPARE(model.index(100000, 1).data().toString(), QStringLiteral("K100000"));
    }

    // A search typed over every row runs in slices; one whose first slice
    // does not reach the end must still go on to the last row. Accented
    // names keep the search on its slower folding path, past one slice.
    // Cleared, the view gets every row back, more than it is told of at once.
    void aSearchAndItsClearingReachTheLastRow()
    {
        Rows rows;
        const QString filler = QStringLiteral("Conceição Ação Gonçalves Ribeirão Preto São Tomé");
        for (int i = 0; i < 400000; ++i)
            rows.append({QStringLiteral("K%1").arg(i),
                         i % 1000 == 999 ? QStringLiteral("Alvo Único") : filler});
        SearchData d(rows);
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {}, false);
        model.SetFilterText(QStringLiteral("alvo unico"));
        QTRY_VERIFY_WITH_TIMEOUT(model.SearchDone(), 10000);
        QCOMPARE(model.ShownCount(), 400);
        QCOMPARE(model.DataSetRow(399), 399999);
        model.SetFilterText(QString());
        QTRY_COMPARE(model.rowCount(), 400000);
        QCOMPARE(model.DataSetRow(399999), 399999);
    }

    // The dialog hands the stored list over as text; it must read the same
    // values as the parsed list, edge forms included.
    void listFormReadsAsTheParsedValues_data()
    {
        QTest::addColumn<QString>("list");
        QTest::newRow("empty") << QString();
        QTest::newRow("separator alone") << "_";
        QTest::newRow("usual form") << "_C3_A1_Z9_";
        QTest::newRow("no leading or closing separator") << "C3_Z9";
        QTest::newRow("empty value and repeats") << "_A1__A1_C3_C3_";
        QTest::newRow("non-ASCII values") << "_São_C3_Ação_";
    }
    void listFormReadsAsTheParsedValues()
    {
        QFETCH(QString, list);
        SearchData d(sampleRows());
        TPesquisaListaModel parsed(d.dataSet.get(), d.key(), ListaFiltro::parse(list), false);
        TPesquisaListaModel asText(d.dataSet.get(), d.key(), TPesquisaListaModel::ValueList(list),
                                   false);
        QCOMPARE(markedRows(asText), markedRows(parsed));
        QCOMPARE(asText.AbsentValues(), parsed.AbsentValues());
        QCOMPARE(asText.WrittenList(true), parsed.WrittenList(true));
    }

    void keysRepeatedInTheDataSetAreWrittenOnce()
    {
        SearchData d({{"K", "one"}, {"L", "x"}, {"K", "two"}});
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {"K"}, false);
        QCOMPARE(markedRows(model), QList<qsizetype>({0, 2}));
        QCOMPARE(model.MarkedKeys(), QStringList({"K"}));
        model.SetMarks({0}, false);
        model.SetMarks({1}, true);
        QCOMPARE(model.MarkedKeys(), QStringList({"L", "K"}));
    }

    void searchIgnoresCaseAndAccents_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("found");
        const auto row = [](const char *tag, const char *name, const char *typed, bool found) {
            QTest::newRow(tag) << QString::fromUtf8(name) << QString::fromUtf8(typed) << found;
        };
        row("cafe", "Café Torrado", "cafe", true);
        row("maceio", "Loja 7 - Maceió", "maceio", true);
        row("sao", "São Paulo", "sao", true);
        row("acucar", "Açúcar Cristal", "acucar", true);
        row("typed with accents", "Acucar Cristal", "AÇÚCAR", true);
        row("upper case name", "JOÃO PEÇANHA", "joao pecanha", true);
        row("decomposed name", "Sa\xcc\x83o Jose\xcc\x81", "são josé", true);
        row("accents never join letters", "São Paulo", "sap", false);
        row("other letters stay apart", "Ana Souza", "ç", false);
        row("code", "Café", "b2", true);
    }

    void searchIgnoresCaseAndAccents()
    {
        QFETCH(QString, name);
        QFETCH(QString, typed);
        QFETCH(bool, found);
        SearchData d({{"A1", "outro"}, {"B2", name}, {"Z9", "mais um"}});
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {}, false);
        model.SetFilterText(typed);
        QCOMPARE(shownRows(model), found ? QList<qsizetype>({1}) : QList<qsizetype>());
        model.SetFilterText(QString());
        QCOMPARE(model.rowCount(), 3);
    }

    void searchFoldsEveryPlaneOfUnicode()
    {
        // Two-, three- and four-byte characters in one name: Greek, Cyrillic
        // and a Deseret capital (outside the 16-bit range).
        SearchData d({{"G1", QStringLiteral("ΣΟΦΊΑ")},
                      {"R1", QStringLiteral("ПЁТР")},
                      {"D1", QStringLiteral("x\U00010400y")},
                      {"E1", QStringLiteral("Ⅻ fim")}});
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {}, false);
        const auto shows = [&model](const QString &text) {
            model.SetFilterText(text);
            return shownRows(model);
        };
        QCOMPARE(shows(QStringLiteral("σοφία")), QList<qsizetype>({0}));
        QCOMPARE(shows(QStringLiteral("пётр")), QList<qsizetype>({1}));
        QCOMPARE(shows(QStringLiteral("X\U00010428Y")), QList<qsizetype>({2}));
        QCOMPARE(shows(QStringLiteral("ⅻ")), QList<qsizetype>({3}));
        // A diaeresis is an accent like any other.
        QCOMPARE(shows(QStringLiteral("петр")), QList<qsizetype>({1}));
        QCOMPARE(shows(QStringLiteral("пятр")), QList<qsizetype>());
    }

    void searchNeverMatchesAcrossTheCodeAndTheName()
    {
        SearchData d({{"AB", "CD"}, {"ABC", "D"}});
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {}, false);
        model.SetFilterText(QStringLiteral("bc"));
        QCOMPARE(shownRows(model), QList<qsizetype>({1}));
        model.SetFilterText(QStringLiteral("cd"));
        QCOMPARE(shownRows(model), QList<qsizetype>({0}));
        // Nor across the end of one row and the start of the next, in the
        // same column or from one column to the other.
        for (const char *text : {"dab", "ba"}) {
            model.SetFilterText(QString::fromLatin1(text));
            QCOMPARE(shownRows(model), QList<qsizetype>());
        }
    }

    void typingOnAndBackAgreesWithAPlainScan()
    {
        // Small alphabet so that texts match often and narrowing is tested
        // on large and small results alike; a combining acute (folds to
        // nothing) and a three-byte character that folds to itself.
        const QString alphabet = QStringLiteral("abAB çÇ\u0301€");
        QRandomGenerator random(20240611);
        const auto word = [&](int minLength, int maxLength) {
            QString s;
            const int n = minLength + int(random.bounded(maxLength - minLength + 1));
            for (int i = 0; i < n; ++i)
                s.append(alphabet.at(random.bounded(alphabet.size())));
            return s;
        };
        Rows rows;
        for (int i = 0; i < 3000; ++i)
            rows.append({word(1, 4), word(0, 12)});
        SearchData d(rows);
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {}, false);

        // Case and accents away the plain way: decomposed, marks dropped.
        const auto plain = [](const QString &text) {
            QString out = text.normalized(QString::NormalizationForm_D);
            out.remove(QRegularExpression(QStringLiteral("\\p{Mn}")));
            return out.toCaseFolded();
        };
        Rows plainRows;
        for (const auto &[code, name] : std::as_const(rows))
            plainRows.append({plain(code), plain(name)});
        const auto expected = [&plainRows, &plain](const QString &text) {
            const QString needle = plain(text);
            QList<qsizetype> out;
            for (qsizetype r = 0; r < plainRows.size(); ++r)
                if (needle.isEmpty() || plainRows[r].first.contains(needle) ||
                    plainRows[r].second.contains(needle))
                    out.append(r);
            return out;
        };
        QString text;
        for (int step = 0; step < 400; ++step) {
            const quint32 action = random.bounded(10);
            if (action < 6)
                text.append(alphabet.at(random.bounded(alphabet.size())));
            else if (action < 9 && !text.isEmpty())
                text.chop(1);
            else
                text = word(0, 3);
            model.SetFilterText(text);
            QCOMPARE(shownRows(model), expected(text));
        }
    }

    void searchesCalculatedColumnsAndFindsTheKeyAmongThem()
    {
        // A calculated field declared between the data fields must not shift
        // which stored column is read for the key and the name.
        TClientDataSet dataSet;
        dataSet.AddField(QStringLiteral("IDMARCADO"), 1);
        dataSet.AddField(QStringLiteral("DSEXTRA"), 30, TFieldKind::Calculated);
        dataSet.AddField(QStringLiteral("CDITEM"), 20);
        dataSet.AddField(QStringLiteral("DSITEM"), 60);
        dataSet.OnCalcFields = [](TDataSet *ds) {
            ds->FieldByName(QStringLiteral("DSEXTRA"))
                ->setAsString(QStringLiteral("extra-") +
                              ds->FieldByName(QStringLiteral("CDITEM"))->AsString());
        };
        dataSet.SetData(searchPacket(sampleRows()));
        TPesquisaListaModel model(&dataSet, dataSet.FieldByName(QStringLiteral("CDITEM")), {"D4"},
                                  false);
        QCOMPARE(model.columnCount(), 4);
        QCOMPARE(markedRows(model), QList<qsizetype>({3}));
        model.SetFilterText(QStringLiteral("EXTRA-b2"));
        QCOMPARE(shownRows(model), QList<qsizetype>({1}));
        model.SetFilterText(QStringLiteral("paulo"));
        QCOMPARE(shownRows(model), QList<qsizetype>({2}));
        model.SetFilterText(QStringLiteral("e5"));
        QCOMPARE(shownRows(model), QList<qsizetype>({4}));
    }

    void markAllAndUnmarkAllTouchOnlyTheShownRows()
    {
        SearchData d(sampleRows());
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {"E5"}, false);
        QSignalSpy marks(&model, &TPesquisaListaModel::marksChanged);
        model.SetFilterText(QStringLiteral("an"));
        QCOMPARE(model.SetAllShown(true), 2);
        QCOMPARE(marks.count(), 1);
        model.SetFilterText(QString());
        QCOMPARE(markedRows(model), QList<qsizetype>({0, 3, 4}));
        model.SetFilterText(QStringLiteral("ÉDITO"));
        QCOMPARE(model.SetAllShown(false), 1);
        model.SetFilterText(QString());
        QCOMPARE(markedRows(model), QList<qsizetype>({0, 4}));
        QCOMPARE(model.MarkedCount(), 2);
        QCOMPARE(model.SetAllShown(true), 3);
        QCOMPARE(model.MarkedCount(), 5);
        QCOMPARE(model.SetAllShown(true), 0);
        QCOMPARE(marks.count(), 3);
    }

    void marksFollowTheDataSetRowNotTheShownPosition()
    {
        SearchData d(sampleRows());
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {}, false);
        model.SetFilterText(QStringLiteral("c"));
        QCOMPARE(shownRows(model), QList<qsizetype>({2, 4}));
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QVERIFY(model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(markedRows(model), QList<qsizetype>({4}));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), model.index(1, 0));
        QCOMPARE(model.index(1, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
        model.SetFilterText(QString());
        QCOMPARE(model.index(4, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
        QCOMPARE(model.index(1, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Unchecked);
        // Other roles and columns are not marks.
        QVERIFY(!model.setData(model.index(0, 1), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(!model.setData(model.index(0, 0), Qt::Checked, Qt::EditRole));
        QCOMPARE(model.MarkedCount(), 1);
    }

    void rowsWhoseKeyHoldsAnUnderscoreCannotBeMarked()
    {
        SearchData d({{"A_1", "x"}, {"B", "y"}, {"C_", "z"}});
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {"B"}, false);
        QCOMPARE(model.BlockedCount(), 2);
        QVERIFY(model.IsBlocked(0));
        QVERIFY(!model.IsBlocked(1));
        QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsEnabled));
        QVERIFY(model.flags(model.index(0, 1)) & Qt::ItemIsEnabled);
        QVERIFY(model.flags(model.index(1, 0)) & Qt::ItemIsEnabled);
        QVERIFY(!model.index(0, 0).data(Qt::ToolTipRole).toString().isEmpty());
        QVERIFY(!model.index(1, 0).data(Qt::ToolTipRole).isValid());
        QVERIFY(!model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
        model.SetMarks({0, 2}, true);
        QCOMPARE(model.SetAllShown(true), 0);
        QCOMPARE(markedRows(model), QList<qsizetype>({1}));
        QCOMPARE(model.MarkedKeys(), QStringList({"B"}));

        // Such a value can never arrive through the list; handed over
        // directly it is refused rather than quietly matched or dropped.
        const QString message =
            exceptionOf([&] { TPesquisaListaModel bad(d.dataSet.get(), d.key(), {"A_1"}, false); });
        QVERIFY2(message.contains(QStringLiteral("A_1")), qPrintable(message));
    }

    void singleMarkKeepsOnlyTheLastMarkedRow()
    {
        SearchData d(sampleRows());
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {"A1", "C3"}, true);
        QCOMPARE(markedRows(model), QList<qsizetype>({0, 2}));
        model.SetMarks({3}, true);
        QCOMPARE(markedRows(model), QList<qsizetype>({3}));
        QCOMPARE(model.MarkedCount(), 1);
        QCOMPARE(model.SetAllShown(true), 0);
        model.SetMarks({4, 1}, true);
        QCOMPARE(markedRows(model), QList<qsizetype>({4}));
        model.SetMarks({4}, false);
        QCOMPARE(model.MarkedCount(), 0);
        QCOMPARE(model.MarkedKeys(), QStringList());
    }

    void onlyMarkedShowsTheMarkedRowsAndTheCountActsOnThem()
    {
        SearchData d(sampleRows());
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {"A1", "C3", "D4"}, false);
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.SetOnlyMarked(true);
        QCOMPARE(shownRows(model), QList<qsizetype>({0, 2, 3}));
        QCOMPARE(model.MarkedShownCount(), 3);
        model.SetFilterText(QStringLiteral("ana"));
        QCOMPARE(shownRows(model), QList<qsizetype>({0, 3}));

        // Unmarking in review keeps the row in sight, so it can be marked back.
        model.SetMarks({0}, false);
        QCOMPARE(shownRows(model), QList<qsizetype>({0, 3}));
        QCOMPARE(model.MarkedShownCount(), 1);
        QCOMPARE(model.SetAllShown(true), 1);
        QCOMPARE(model.SetAllShown(false), 2);
        QCOMPARE(markedRows(model), QList<qsizetype>({2}));

        // Set again, the filter leaves out what is no longer marked.
        model.SetFilterText(QString());
        model.SetOnlyMarked(false);
        model.SetOnlyMarked(true);
        QCOMPARE(shownRows(model), QList<qsizetype>({2}));
        model.SetOnlyMarked(false);
        QCOMPARE(model.rowCount(), 5);
        QCOMPARE(model.MarkedShownCount(), 1);
    }

    void refusesBadArguments()
    {
        SearchData d(sampleRows());
        SearchData other(sampleRows());
        QVERIFY(
            !exceptionOf([&] { TPesquisaListaModel m(nullptr, d.key(), {}, false); }).isEmpty());
        QVERIFY(!exceptionOf([&] {
                     TPesquisaListaModel m(d.dataSet.get(), nullptr, {}, false);
                 }).isEmpty());
        QVERIFY(!exceptionOf([&] {
                     TPesquisaListaModel m(d.dataSet.get(), other.key(), {}, false);
                 }).isEmpty());
        d.dataSet->Close();
        QVERIFY2(exceptionOf([&] {
                     TPesquisaListaModel m(d.dataSet.get(), d.key(), {}, false);
                 }).contains(QStringLiteral("fechado")),
                 "a closed dataset must be named as closed");
    }

    void aDataSetThatChangedUnderTheMarksIsNotRead()
    {
        SearchData d(sampleRows());
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {"B2"}, false);
        QCOMPARE(model.WrittenList(false), QStringLiteral("_B2_"));
        d.dataSet->SetData(searchPacket({{"X", "outro"}}));
        QVERIFY(!exceptionOf([&] { model.WrittenList(false); }).isEmpty());
        QVERIFY(!exceptionOf([&] { model.MarkedKeys(); }).isEmpty());
        // Cells the view still asks for are blank, never another row's.
        QVERIFY(!model.index(3, 1).data().isValid());

        // A packet of another layout replaces the fields themselves.
        quv::DataPacket other({{QStringLiteral("X"), 0}, {QStringLiteral("Y"), 0}});
        for (int i = 0; i < 6; ++i)
            other.appendRow({QString::number(i), QStringLiteral("y")});
        d.dataSet->SetData(other);
        QVERIFY(!model.index(0, 1).data().isValid());
        QVERIFY(!model.headerData(1, Qt::Horizontal).isValid());
        QVERIFY(!exceptionOf([&] { model.WrittenList(true); }).isEmpty());
    }

    void anEmptyDataSetGivesAnEmptyList()
    {
        SearchData d({});
        TPesquisaListaModel model(d.dataSet.get(), d.key(), {"A"}, false);
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(model.AbsentValues(), QStringList({"A"}));
        model.SetFilterText(QStringLiteral("a"));
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(model.SetAllShown(true), 0);
    }
};

QTEST_MAIN(TestListModel)
#include "tst_listmodel.moc"
