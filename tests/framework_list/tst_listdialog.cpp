#include "framework/data/dataset.h"
#include "framework/widgets/listdialog.h"
#include "listfixture.h"
#include "tests/support/modalanswer.h"

#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

using Answer = std::function<void(TPesquisaListaDialog *)>;

QList<qsizetype> markedRows(const TPesquisaListaModel &model)
{
    QList<qsizetype> rows;
    for (qsizetype r = 0; r < model.TotalRows(); ++r)
        if (model.IsMarked(r))
            rows.append(r);
    return rows;
}

template <class T> T *part(QWidget *dialog, const char *name)
{
    return dialog->findChild<T *>(QString::fromLatin1(name));
}

void clickMark(TPesquisaListaDialog *dialog, int row, Qt::KeyboardModifiers mods = {})
{
    TPesquisaListaGrid *grid = dialog->Grid();
    const QRect cell = grid->visualRect(dialog->Model()->index(row, 0));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, mods, cell.center());
}

} // namespace

class TestListDialog : public QObject
{
    Q_OBJECT

    void answerNextDialog(Answer answer)
    {
        m_answered =
            quv::test::answerNextModal<TPesquisaListaDialog>(this, std::move(answer), 5000);
    }

    std::shared_ptr<bool> m_answered = std::make_shared<bool>(false);

private slots:
    void hasItsPartsUnderTheirNames()
    {
        SearchData d(sampleRows());
        TPesquisaListaDialog dialog(d.source.get(), QStringLiteral("CDITEM"),
                                    QStringLiteral("Região de venda"), false, QString());
        QCOMPARE(dialog.objectName(), QStringLiteral("dlgPesquisaLista"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Região de venda"));
        QCOMPARE(part<QLineEdit>(&dialog, "edtBusca"), dialog.SearchBox());
        for (const char *name : {"btnMarcarTodos", "btnDesmarcarTodos", "btnOk", "btnCancelar"})
            QVERIFY2(part<QPushButton>(&dialog, name), name);
        QVERIFY(part<QLabel>(&dialog, "lblContagem"));
        QCOMPARE(part<QLabel>(&dialog, "lblContagem")->text(), QStringLiteral("0 de 5 marcados"));
        // Nothing to warn about: no blocked rows, no vanished values.
        QVERIFY(part<QLabel>(&dialog, "lblBloqueados")->isHidden());
        QVERIFY(part<QCheckBox>(&dialog, "chkManterAusentes")->isHidden());
        QCOMPARE(dialog.Grid()->model()->headerData(1, Qt::Horizontal).toString(),
                 QStringLiteral("Código"));
    }

    void clickOnTheMarkCellTogglesThatRow()
    {
        SearchData d(sampleRows());
        TPesquisaListaDialog dialog(d.source.get(), QStringLiteral("CDITEM"), QString(), false,
                                    QString());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *count = part<QLabel>(&dialog, "lblContagem");

        clickMark(&dialog, 1);
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({1}));
        QCOMPARE(count->text(), QStringLiteral("1 de 5 marcado"));
        clickMark(&dialog, 3);
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({1, 3}));
        QCOMPARE(count->text(), QStringLiteral("2 de 5 marcados"));
        clickMark(&dialog, 1);
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({3}));

        // A click on the name selects the row but leaves its mark alone.
        const QRect name = dialog.Grid()->visualRect(dialog.Model()->index(0, 2));
        QTest::mouseClick(dialog.Grid()->viewport(), Qt::LeftButton, {}, name.center());
        QCOMPARE(dialog.Grid()->currentIndex().row(), 0);
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({3}));

        // Each click of a double click counts, as on a check box.
        const QPoint mark = dialog.Grid()->visualRect(dialog.Model()->index(4, 0)).center();
        QTest::mouseClick(dialog.Grid()->viewport(), Qt::LeftButton, {}, mark);
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({3, 4}));
        QTest::mouseDClick(dialog.Grid()->viewport(), Qt::LeftButton, {}, mark);
        QTest::mouseRelease(dialog.Grid()->viewport(), Qt::LeftButton, {}, mark);
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({3}));
        QCOMPARE(dialog.Lista(), QStringLiteral("_D4_"));
    }

    void spaceTogglesTheCurrentRowOrTheWholeSelection()
    {
        SearchData d(sampleRows());
        TPesquisaListaDialog dialog(d.source.get(), QStringLiteral("CDITEM"), QString(), false,
                                    QStringLiteral("_C3_"));
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        TPesquisaListaGrid *grid = dialog.Grid();
        TPesquisaListaModel *model = dialog.Model();
        grid->setFocus();
        grid->setCurrentIndex(model->index(0, 1));
        QTest::keyClick(grid, Qt::Key_Space);
        QCOMPARE(markedRows(*model), QList<qsizetype>({0, 2}));
        QTest::keyClick(grid, Qt::Key_Space);
        QCOMPARE(markedRows(*model), QList<qsizetype>({2}));

        // Rows 1 to 3 selected, the current one (row 2) marked: all three
        // take the opposite of its mark, then all three come back.
        grid->setCurrentIndex(model->index(2, 1));
        grid->selectionModel()->select(QItemSelection(model->index(1, 0), model->index(3, 2)),
                                       QItemSelectionModel::ClearAndSelect |
                                           QItemSelectionModel::Rows);
        QTest::keyClick(grid, Qt::Key_Space);
        QCOMPARE(markedRows(*model), QList<qsizetype>());
        QTest::keyClick(grid, Qt::Key_Space);
        QCOMPARE(markedRows(*model), QList<qsizetype>({1, 2, 3}));
        QCOMPARE(part<QLabel>(&dialog, "lblContagem")->text(), QStringLiteral("3 de 5 marcados"));
        // Space toggles marks; it never reaches the search box.
        QCOMPARE(dialog.SearchBox()->text(), QString());
    }

    void clickInsideASelectionTogglesTheWholeSelection()
    {
        SearchData d(sampleRows());
        TPesquisaListaDialog dialog(d.source.get(), QStringLiteral("CDITEM"), QString(), false,
                                    QString());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        TPesquisaListaGrid *grid = dialog.Grid();
        grid->selectionModel()->select(
            QItemSelection(dialog.Model()->index(0, 0), dialog.Model()->index(2, 2)),
            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        clickMark(&dialog, 1);
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({0, 1, 2}));
        QCOMPARE(grid->selectionModel()->selectedRows().size(), 3);
        // Outside the selection a click acts on its own row only.
        clickMark(&dialog, 4);
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({0, 1, 2, 4}));
        // Ctrl and Shift clicks only select, as anywhere else in a table.
        clickMark(&dialog, 3, Qt::ControlModifier);
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({0, 1, 2, 4}));
        QVERIFY(grid->selectionModel()->isRowSelected(3, QModelIndex()));
        QVERIFY(grid->selectionModel()->isRowSelected(4, QModelIndex()));
    }

    void countsUseThousandSeparators()
    {
        Rows rows;
        for (int i = 0; i < 1500; ++i)
            rows.append({QStringLiteral("K%1").arg(i), QStringLiteral("nome %1").arg(i)});
        SearchData d(rows);
        TPesquisaListaDialog dialog(d.source.get(), QStringLiteral("CDITEM"), QString(), false,
                                    QString());
        auto *count = part<QLabel>(&dialog, "lblContagem");
        QCOMPARE(count->text(), QStringLiteral("0 de 1.500 marcados"));
        part<QPushButton>(&dialog, "btnMarcarTodos")->click();
        QCOMPARE(count->text(), QStringLiteral("1.500 de 1.500 marcados"));
        dialog.SearchBox()->setText(QStringLiteral("nome 1"));
        QCOMPARE(part<QLabel>(&dialog, "lblExibidos")->text(),
                 QStringLiteral("611 exibidos, 611 marcados"));
    }

    void underscoreRowsCannotBeMarkedAndTheDialogSaysSo()
    {
        SearchData d({{"A_1", "primeiro"}, {"B", "segundo"}, {"C", "terceiro"}});
        TPesquisaListaDialog dialog(d.source.get(), QStringLiteral("CDITEM"), QString(), false,
                                    QString());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *blocked = part<QLabel>(&dialog, "lblBloqueados");
        QVERIFY(blocked->isVisible());
        QVERIFY2(blocked->text().startsWith(QStringLiteral("1 valor contém")),
                 qPrintable(blocked->text()));

        TPesquisaListaGrid *grid = dialog.Grid();
        grid->setCurrentIndex(dialog.Model()->index(2, 1));
        clickMark(&dialog, 0);
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>());
        part<QPushButton>(&dialog, "btnMarcarTodos")->click();
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({1, 2}));
        QCOMPARE(dialog.Lista(), QStringLiteral("_B_C_"));
    }

    void typingNarrowsTheRowsAndMarkAllActsOnThem()
    {
        SearchData d(sampleRows());
        TPesquisaListaDialog dialog(d.source.get(), QStringLiteral("CDITEM"), QString(), false,
                                    QString());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *shown = part<QLabel>(&dialog, "lblExibidos");
        auto *count = part<QLabel>(&dialog, "lblContagem");
        QVERIFY(shown->isHidden());

        QTest::keyClicks(dialog.SearchBox(), QStringLiteral("AN"));
        QCOMPARE(dialog.Model()->rowCount(), 2);
        QVERIFY(shown->isVisible());
        QCOMPARE(shown->text(), QStringLiteral("2 exibidos, 0 marcados"));
        part<QPushButton>(&dialog, "btnMarcarTodos")->click();
        QCOMPARE(count->text(), QStringLiteral("2 de 5 marcados"));
        QCOMPARE(shown->text(), QStringLiteral("2 exibidos, 2 marcados"));

        dialog.SearchBox()->clear();
        QCOMPARE(dialog.Model()->rowCount(), 5);
        QVERIFY(shown->isHidden());
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({0, 3}));

        QTest::keyClicks(dialog.SearchBox(), QStringLiteral("souza"));
        part<QPushButton>(&dialog, "btnDesmarcarTodos")->click();
        dialog.SearchBox()->clear();
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({3}));
        QCOMPARE(dialog.Lista(), QStringLiteral("_D4_"));
    }

    void lettersTypedInTheGridGoToTheSearchBox()
    {
        SearchData d(sampleRows());
        TPesquisaListaDialog dialog(d.source.get(), QStringLiteral("CDITEM"), QString(), false,
                                    QString());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.Grid()->setFocus();
        dialog.Grid()->setCurrentIndex(dialog.Model()->index(0, 1));
        QTest::keyClick(dialog.Grid(), Qt::Key_C);
        QCOMPARE(dialog.SearchBox()->text(), QStringLiteral("c"));
        QCOMPARE(dialog.Model()->rowCount(), 2);
    }

    void enterAndDownInTheSearchBoxGoToTheRowsAndKeepTheDialogOpen()
    {
        SearchData d(sampleRows());
        TPesquisaListaDialog dialog(d.source.get(), QStringLiteral("CDITEM"), QString(), false,
                                    QString());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.activateWindow();
        dialog.SearchBox()->setFocus();
        QTest::keyClicks(dialog.SearchBox(), QStringLiteral("a"));
        QTest::keyClick(dialog.SearchBox(), Qt::Key_Return);
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(dialog.SearchBox()->text(), QStringLiteral("a"));

        dialog.SearchBox()->setFocus();
        QTest::keyClick(dialog.SearchBox(), Qt::Key_Down);
        QVERIFY(dialog.Grid()->hasFocus());
        QVERIFY(dialog.Grid()->currentIndex().isValid());
        QTest::keyClick(dialog.Grid(), Qt::Key_Space);
        QCOMPARE(dialog.Model()->MarkedCount(), 1);
    }

    void resultHasMarkedKeysInRowOrderThenKeptValues()
    {
        SearchData d(sampleRows());
        TPesquisaListaDialog dialog(d.source.get(), QStringLiteral("CDITEM"), QString(), false,
                                    QStringLiteral("_Z9_C3_A1_Y8_"));
        auto *keep = part<QCheckBox>(&dialog, "chkManterAusentes");
        QVERIFY(!keep->isHidden());
        QVERIFY(keep->isChecked());
        QVERIFY2(keep->text().contains(QStringLiteral("2 valores")), qPrintable(keep->text()));
        QCOMPARE(dialog.Lista(), QStringLiteral("_A1_C3_Z9_Y8_"));
        keep->setChecked(false);
        QCOMPARE(dialog.Lista(), QStringLiteral("_A1_C3_"));
        part<QPushButton>(&dialog, "btnDesmarcarTodos")->click();
        QCOMPARE(dialog.Lista(), QString());
    }

    void singleMarkDialogKeepsOneValue()
    {
        SearchData d(sampleRows());
        TPesquisaListaDialog dialog(d.source.get(), QStringLiteral("CDITEM"), QString(), true,
                                    QStringLiteral("_A1_Z9_"));
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(!part<QPushButton>(&dialog, "btnMarcarTodos")->isEnabled());
        clickMark(&dialog, 2);
        clickMark(&dialog, 4);
        QCOMPARE(markedRows(*dialog.Model()), QList<qsizetype>({4}));
        QVERIFY(!part<QCheckBox>(&dialog, "chkManterAusentes")->isChecked());
        QCOMPARE(dialog.Lista(), QStringLiteral("_E5_"));
    }

    void okWritesTheMarksBackIntoTheList()
    {
        SearchData d(sampleRows());
        QString list = QStringLiteral("_A1_Z9_");
        answerNextDialog([](TPesquisaListaDialog *dialog) {
            clickMark(dialog, 1);
            clickMark(dialog, 0);
            part<QPushButton>(dialog, "btnOk")->click();
        });
        // The key column may be named in another case, as databases fold it.
        QVERIFY(PesquisaListaMsg(d.source.get(), QStringLiteral("cditem"), QStringLiteral("Loja"),
                                 false, list));
        QVERIFY(*m_answered);
        QCOMPARE(list, QStringLiteral("_B2_Z9_"));

        // Confirming without a change gives the same text back.
        answerNextDialog(
            [](TPesquisaListaDialog *dialog) { part<QPushButton>(dialog, "btnOk")->click(); });
        QVERIFY(PesquisaListaMsg(d.source.get(), QStringLiteral("CDITEM"), QStringLiteral("Loja"),
                                 false, list));
        QCOMPARE(list, QStringLiteral("_B2_Z9_"));

        // Unmarking everything and dropping the kept values empties the list.
        answerNextDialog([](TPesquisaListaDialog *dialog) {
            part<QPushButton>(dialog, "btnDesmarcarTodos")->click();
            part<QCheckBox>(dialog, "chkManterAusentes")->setChecked(false);
            part<QPushButton>(dialog, "btnOk")->click();
        });
        QVERIFY(PesquisaListaMsg(d.source.get(), QStringLiteral("CDITEM"), QStringLiteral("Loja"),
                                 false, list));
        QCOMPARE(list, QString());
    }

    void cancelEscapeAndCloseLeaveTheListAlone()
    {
        SearchData d(sampleRows());
        const QString original = QStringLiteral("_A1_");
        const QList<Answer> ways = {
            [](TPesquisaListaDialog *dialog) {
                clickMark(dialog, 2);
                part<QPushButton>(dialog, "btnCancelar")->click();
            },
            [](TPesquisaListaDialog *dialog) {
                clickMark(dialog, 2);
                QTest::keyClick(dialog, Qt::Key_Escape);
            },
            [](TPesquisaListaDialog *dialog) {
                clickMark(dialog, 2);
                dialog->close();
            },
        };
        for (const Answer &way : ways) {
            QString list = original;
            answerNextDialog(way);
            QVERIFY(!PesquisaListaMsg(d.source.get(), QStringLiteral("CDITEM"), QString(), false,
                                      list));
            QVERIFY(*m_answered);
            QCOMPARE(list, original);
        }
    }

    void badArgumentsRaiseAndLeaveTheListAlone()
    {
        SearchData d(sampleRows());
        TDataSource unbound;
        const auto raises = [](TDataSource *source, const QString &field, const char *what) {
            QString list = QStringLiteral("_A1_");
            try {
                PesquisaListaMsg(source, field, QString(), false, list);
            } catch (const Exception &e) {
                QVERIFY2(!e.Message().isEmpty(), what);
                QCOMPARE(list, QStringLiteral("_A1_"));
                QVERIFY2(!QApplication::activeModalWidget(), what);
                return;
            }
            QFAIL(what);
        };
        raises(nullptr, QStringLiteral("CDITEM"), "null data source");
        raises(&unbound, QStringLiteral("CDITEM"), "data source without dataset");
        raises(d.source.get(), QStringLiteral("NOPE"), "unknown key field");
        d.dataSet->Close();
        raises(d.source.get(), QStringLiteral("CDITEM"), "closed dataset");
    }
};

QTEST_MAIN(TestListDialog)
#include "tst_listdialog.moc"
