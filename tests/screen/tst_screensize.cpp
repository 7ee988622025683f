// The screen at its bounds and made larger. At its bounds every stated
// measure holds, the grant area with one border and no grid frame. Enlarged
// or maximised, each grid's name column takes the width the grid gains (and
// maximised, fills the grid) and the grids take the height; back at its
// bounds the screen is as it was.

#include "editingsupport.h"

#include <numeric>

using namespace quv::test;
using namespace quv::test::editing;

namespace {

const QRect Bounds(352, 197, 799, 472);
// Every grid's name (or description) column.
constexpr int NameColumn = 1;

struct Page
{
    TTabSheet *sheet;
    QList<TDBGrid *> grids;
};

QList<Page> pagesOf(TfrmControleAcesso *form)
{
    return {{form->tshFolhaDados, {form->dbgPadrao, form->dbgFatosGrup, form->dbgDimeGrup}},
            {form->tshFormulario, {form->dbgOperador, form->dbgFatosOper, form->dbgDimeOper}}};
}

void showPage(TfrmControleAcesso *form, const Page &page)
{
    form->pgcPadrao->SetActivePage(page.sheet);
    settle();
}

QList<int> columnWidths(const TDBGrid *grid)
{
    QList<int> widths;
    for (int i = 0; i < grid->Columns().size(); ++i)
        widths.append(grid->columnWidth(i));
    return widths;
}

} // namespace

class TestScreenSize : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenSession> session;
    TfrmControleAcesso *form = nullptr;

    bool start()
    {
        session = std::make_unique<ScreenSession>();
        QString skip;
        if (!session->setUp(QStringLiteral("sqlite"), &skip)) {
            QTest::qSkip(qPrintable(skip), __FILE__, __LINE__);
            return false;
        }
        form = openShown(*session, false);
        if (!form || !form->subWindow()) {
            QTest::qFail("the screen did not open in a shown window", __FILE__, __LINE__);
            return false;
        }
        return true;
    }

private slots:
    void cleanup()
    {
        form = nullptr;
        session.reset();
    }

    void atItsBoundsEveryStatedMeasureHolds()
    {
        if (!start())
            return;
        QCOMPARE(form->subWindow()->geometry(), Bounds);
        struct GrantSide
        {
            TPanel *outer, *header, *inner;
            TScrollBox *box;
            TDBGrid *grid;
        };
        const QList<QList<GrantSide>> sides = {{{form->Panel1, form->panNomeFatoGrup, form->Panel3,
                                                 form->ScrollBox1, form->dbgFatosGrup},
                                                {form->Panel2, form->panNomeDimeGrup, form->Panel5,
                                                 form->ScrollBox2, form->dbgDimeGrup}},
                                               {{form->Panel6, form->panNomeFatoOper, form->Panel8,
                                                 form->ScrollBox4, form->dbgFatosOper},
                                                {form->Panel9, form->panNomeDimeOper, form->Panel11,
                                                 form->ScrollBox5, form->dbgDimeOper}}};
        const QList<TPanel *> lists = {form->panDbgPadrao, form->Panel4};
        const QList<QList<int>> stated = {{120, 400}, {16, 256}, {16, 226, 20, 17}};
        const QList<Page> pages = pagesOf(form);
        for (int p = 0; p < pages.size(); ++p) {
            showPage(form, pages[p]);
            QCOMPARE(lists[p]->height(), 135);
            QCOMPARE(sides[p][0].outer->width(), 305);
            for (int g = 0; g < pages[p].grids.size(); ++g) {
                TDBGrid *grid = pages[p].grids[g];
                QCOMPARE(columnWidths(grid), stated[g]);
                QCOMPARE(grid->width(), grid->DesignWidth());
            }
            // One border of the panel's width, then the bevel, then the grid.
            for (const GrantSide &s : sides[p]) {
                QCOMPARE(s.grid->frameShape(), QFrame::NoFrame);
                QCOMPARE(s.header->geometry().topLeft(), QPoint(3, 3));
                QCOMPARE(s.inner->geometry(), s.outer->rect().adjusted(3, 3 + 15, -3, -3));
                QCOMPARE(s.box->geometry(), s.inner->rect().adjusted(1, 1, -1, -1));
                QCOMPARE(s.grid->size(), s.box->viewport()->size());
            }
        }
    }

    void largerScreenGoesToNamesAndGrids_data()
    {
        QTest::addColumn<bool>("maximised");
        QTest::newRow("enlarged") << false;
        QTest::newRow("maximised") << true;
    }
    void largerScreenGoesToNamesAndGrids()
    {
        QFETCH(bool, maximised);
        if (!start())
            return;
        QMdiSubWindow *sub = form->subWindow();
        const QList<Page> pages = pagesOf(form);
        QHash<TDBGrid *, QList<int>> widths;
        QHash<TDBGrid *, int> heights;
        for (const Page &page : pages) {
            showPage(form, page);
            for (TDBGrid *grid : page.grids) {
                widths[grid] = columnWidths(grid);
                heights[grid] = grid->height();
            }
        }

        if (maximised)
            sub->showMaximized();
        else
            sub->resize(Bounds.size() + QSize(300, 150));
        settle();
        for (const Page &page : pages) {
            showPage(form, page);
            for (TDBGrid *grid : page.grids) {
                const char *name = qPrintable(grid->objectName());
                const int gained = grid->width() - grid->DesignWidth();
                QVERIFY2(gained > 0, name);
                QList<int> now = columnWidths(grid);
                QVERIFY2(now[NameColumn] >= widths[grid][NameColumn] + gained, name);
                const int columns = std::accumulate(now.cbegin(), now.cend(), 0);
                now[NameColumn] = widths[grid][NameColumn];
                QCOMPARE(now, widths[grid]);
                // Maximised, no empty band is left beside the columns.
                if (maximised)
                    QCOMPARE(columns, grid->viewport()->width());
                QVERIFY2(columns <= grid->viewport()->width(), name);
                QVERIFY2(grid->height() > heights[grid], name);
            }
        }

        sub->showNormal();
        sub->setGeometry(Bounds);
        settle();
        for (const Page &page : pages) {
            showPage(form, page);
            for (TDBGrid *grid : page.grids) {
                QCOMPARE(columnWidths(grid), widths[grid]);
                QCOMPARE(grid->height(), heights[grid]);
            }
        }
    }
};

QTEST_MAIN(TestScreenSize)
#include "tst_screensize.moc"
