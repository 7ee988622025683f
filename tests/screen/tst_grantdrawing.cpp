// What the grids put on the screen: the grant grids rendered in the shown
// host window and read pixel by pixel against the screen's own pictures.

#include "grantgrids.h"

#include "framework/widgets/controls.h"
#include "framework/widgets/padrao.h"

#include <QMdiSubWindow>
#include <QSet>
#include <QTabBar>

using namespace quv::test;
using Cli_quv01000::TfrmControleAcesso;

namespace {

const QRgb Olive = qRgb(128, 128, 0);

struct Shot
{
    QImage image;
    QPoint viewport; // where the grid's viewport starts in the image
};

Shot shoot(TDBGrid *grid)
{
    return {grid->grab().toImage().convertToFormat(QImage::Format_RGB32),
            grid->viewport()->mapTo(grid, QPoint(0, 0))};
}

/// The rectangle the drawing handler gets for a cell, in image coordinates:
/// the cell less its grid lines (right and bottom pixel).
QRect handlerRect(TDBGrid *grid, const Shot &shot, int row, int column)
{
    return grid->CellRect(row, column).translated(shot.viewport).adjusted(0, 0, -1, -1);
}

/// Whether the whole cell lies inside the grid's viewport in the shot.
bool visible(TDBGrid *grid, const Shot &shot, const QRect &cell)
{
    return cell.isValid() && QRect(shot.viewport, grid->viewport()->size()).contains(cell);
}

int countOf(const QImage &image, QRgb colour, const QRect &area)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += image.pixel(x, y) == colour;
    return n;
}

/// Every pixel of the cell: the picture one pixel in from the left and flush
/// with the top, its olive pixels and the rest of the cell in `background`.
/// Returns the first difference, or an empty string.
QString compareCell(const QImage &image, const QRect &cell, const QImage &picture, QRgb background)
{
    const QImage pic = picture.isNull() ? QImage() : picture.convertToFormat(QImage::Format_RGB32);
    for (int y = cell.top(); y <= cell.bottom(); ++y)
        for (int x = cell.left(); x <= cell.right(); ++x) {
            const int px = x - cell.left() - 1;
            const int py = y - cell.top();
            QRgb expected = background;
            if (!pic.isNull() && px >= 0 && py >= 0 && px < pic.width() && py < pic.height() &&
                pic.pixel(px, py) != Olive)
                expected = pic.pixel(px, py);
            if (image.pixel(x, y) != expected)
                return QStringLiteral("pixel (%1,%2) of the cell is %3, expected %4")
                    .arg(x - cell.left())
                    .arg(y - cell.top())
                    .arg(QColor(image.pixel(x, y)).name(), QColor(expected).name());
        }
    return {};
}

bool sameArea(const QImage &a, const QImage &b, const QRect &area)
{
    return a.copy(area) == b.copy(area);
}

} // namespace

class TestGrantDrawing : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenSession> session;
    TfrmControleAcesso *form = nullptr;

    QRgb selection() const
    {
        return form->dbgFatosGrup->palette().color(QPalette::Active, QPalette::Highlight).rgb();
    }

    /// The picture the screen's table gives a mark column for a value.
    QImage pictureFor(const QString &field, const QString &value) const
    {
        const bool yes = value == QLatin1String("S");
        const bool no = value == QLatin1String(" ") || value == QLatin1String("N");
        if (!yes && !no)
            return {};
        if (field == QLatin1String("IDCHECK"))
            return (yes ? form->imgCheck : form->imgUncheck)->Picture();
        if (field == QLatin1String("IDPESQ"))
            return (yes ? form->imgPesqTrue : form->imgPesqFalse)->Picture();
        return yes ? form->imgFiltro->Picture() : QImage();
    }

    /// Checks every mark cell of every visible row of a grant grid.
    void verifyMarkCells(TDBGrid *grid)
    {
        const Shot shot = shoot(grid);
        TDataSet *ds = grid->DataSet();
        QVERIFY(ds && ds->Active() && ds->RecordCount() > 0);
        const QModelIndex current = grid->currentIndex();
        int checked = 0;
        for (int column = 0; column < grid->Columns().size(); ++column) {
            TColumn *col = grid->Column(column);
            if (!col->FieldName.startsWith(QLatin1String("ID")))
                continue;
            for (int row = 0; row < ds->RecordCount(); ++row) {
                const QRect cell = handlerRect(grid, shot, row, column);
                if (!visible(grid, shot, cell))
                    continue;
                const bool selected = current.row() == row && current.column() == column;
                const QRgb background = selected ? selection() : grid->Color.rgb();
                const QString value = ds->CellText(row, col->Field());
                const QString difference =
                    compareCell(shot.image, cell, pictureFor(col->FieldName, value), background);
                QVERIFY2(difference.isEmpty(),
                         qPrintable(QStringLiteral("%1 row %2 %3 = '%4': %5")
                                        .arg(grid->objectName())
                                        .arg(row)
                                        .arg(col->FieldName, value, difference)));
                ++checked;
            }
        }
        QVERIFY(checked >= 4);
    }

private slots:
    void init()
    {
        session = std::make_unique<ScreenSession>();
        QString skip;
        if (!session->setUp(QStringLiteral("sqlite"), &skip))
            QSKIP(qPrintable(skip));
        // As in the host: its window is up before the screen opens in it.
        QVERIFY(showHost(*session));
        form = session->open();
        QVERIFY(form);
        settle();
    }

    void cleanup()
    {
        form = nullptr;
        session.reset();
    }

    void screenTakesItsDesignedSizeAndShowsEveryColumn()
    {
        QCOMPARE(form->subWindow()->geometry(), QRect(352, 197, 799, 472));
        for (int page = 0; page < 2; ++page) {
            form->pgcPadrao->SelectPage(form->pgcPadrao->Pages(page));
            settle();
            for (TDBGrid *grid : page == 0
                                     ? QList<TDBGrid *>{form->dbgFatosGrup, form->dbgDimeGrup}
                                     : QList<TDBGrid *>{form->dbgFatosOper, form->dbgDimeOper}) {
                const int last = int(grid->Columns().size()) - 1;
                const QRect cell = grid->CellRect(0, last);
                QVERIFY2(cell.isValid() && cell.right() < grid->viewport()->width(),
                         qPrintable(grid->objectName()));
            }
        }
    }

    void markCellsShowTheirPictures()
    {
        // The first group and operator of the demo hold every kind of mark.
        verifyMarkCells(form->dbgFatosGrup);
        verifyMarkCells(form->dbgDimeGrup);
        const QSet<QString> dims = [&] {
            const QStringList marks = loadedDimensionMarks(form->cdsDimeOperGrup).values();
            return QSet<QString>(marks.begin(), marks.end());
        }();
        QVERIFY(dims.contains(QStringLiteral("SSS")) && dims.contains(QStringLiteral("NNN")));

        // A granted and an ungranted row side by side: the tick is the
        // only difference, the frame sits one pixel in and flush with the top.
        const Shot shot = shoot(form->dbgFatosGrup);
        int granted = -1;
        int ungranted = -1;
        for (int row = 1; row < form->cdsFatoOperGrup->RecordCount(); ++row) {
            if (!visible(form->dbgFatosGrup, shot, handlerRect(form->dbgFatosGrup, shot, row, 0)))
                break;
            const QString mark = form->cdsFatoOperGrup->CellText(row, form->cdsFatoOperGrupIDCHECK);
            int &chosen = mark == QLatin1String("S") ? granted : ungranted;
            if (chosen < 0)
                chosen = row;
        }
        QVERIFY(granted > 0 && ungranted > 0);
        for (int row : {granted, ungranted}) {
            const QRect cell = handlerRect(form->dbgFatosGrup, shot, row, 0);
            // Frame corners of the box: picture (1,1) and (12,1) land at
            // cell (2,1) and (13,1); the cell's first column stays background.
            QCOMPARE(shot.image.pixel(cell.left() + 2, cell.top() + 1), qRgb(0, 0, 0));
            QCOMPARE(shot.image.pixel(cell.left() + 13, cell.top() + 1), qRgb(0, 0, 0));
            QCOMPARE(shot.image.pixel(cell.left(), cell.top() + 1),
                     form->dbgFatosGrup->Color.rgb());
        }
        const QRect tick = QRect(4, 3, 7, 8); // inside the frame, where the tick runs
        const int blackTicked =
            countOf(shot.image, qRgb(0, 0, 0),
                    tick.translated(handlerRect(form->dbgFatosGrup, shot, granted, 0).topLeft()));
        const int blackEmpty =
            countOf(shot.image, qRgb(0, 0, 0),
                    tick.translated(handlerRect(form->dbgFatosGrup, shot, ungranted, 0).topLeft()));
        QVERIFY2(blackTicked > 6 && blackEmpty == 0,
                 qPrintable(QStringLiteral("%1 / %2").arg(blackTicked).arg(blackEmpty)));

        form->pgcPadrao->SelectPage(form->tshFormulario);
        settle();
        verifyMarkCells(form->dbgFatosOper);
        verifyMarkCells(form->dbgDimeOper);
    }

    void selectedMarkCellStandsOnTheSelectionColour()
    {
        TDBGrid *grid = form->dbgDimeGrup;
        QCOMPARE(grid->currentIndex().column(), 0);
        // Down and right move the current cell without touching the grants.
        QTest::keyClick(grid, Qt::Key_Down);
        QTest::keyClick(grid, Qt::Key_Right);
        QTest::keyClick(grid, Qt::Key_Right);
        settle();
        QCOMPARE(grid->currentIndex(), grid->model()->index(1, 2));
        verifyMarkCells(grid);
        const Shot shot = shoot(grid);
        const QRect cell = handlerRect(grid, shot, 1, 2);
        // The selection shows on both sides of the picture and on its olive.
        QCOMPARE(shot.image.pixel(cell.left(), cell.top()), selection());
        QCOMPARE(shot.image.pixel(cell.right(), cell.bottom()), selection());
        QVERIFY(countOf(shot.image, selection(), cell) > cell.width());
        QCOMPARE(countOf(shot.image, selection(), handlerRect(grid, shot, 0, 2)), 0);
    }

    void noOliveAnywhereAndOtherCellsAsTheGridDrawsThem()
    {
        for (int page = 0; page < 2; ++page) {
            form->pgcPadrao->SelectPage(form->pgcPadrao->Pages(page));
            settle();
            const QList<TDBGrid *> grids =
                page == 0
                    ? QList<TDBGrid *>{form->dbgPadrao, form->dbgFatosGrup, form->dbgDimeGrup}
                    : QList<TDBGrid *>{form->dbgOperador, form->dbgFatosOper, form->dbgDimeOper};
            for (TDBGrid *grid : grids) {
                const Shot with = shoot(grid);
                QCOMPARE(countOf(with.image, Olive, with.image.rect()), 0);
                // The same grid without the screen's drawing.
                const auto handler = grid->OnDrawColumnCell;
                grid->OnDrawColumnCell = nullptr;
                const Shot without = shoot(grid);
                grid->OnDrawColumnCell = handler;
                QCOMPARE(without.image.size(), with.image.size());
                bool anyMarkDiffers = false;
                for (int column = 0; column < grid->Columns().size(); ++column) {
                    const bool mark =
                        grid->Column(column)->FieldName.startsWith(QLatin1String("ID"));
                    for (int row = 0; row < grid->model()->rowCount(); ++row) {
                        const QRect cell = handlerRect(grid, with, row, column);
                        if (!visible(grid, with, cell))
                            continue;
                        const bool same = sameArea(with.image, without.image, cell);
                        if (mark)
                            anyMarkDiffers |= !same;
                        else
                            QVERIFY2(same, qPrintable(QStringLiteral("%1 row %2 column %3")
                                                          .arg(grid->objectName())
                                                          .arg(row)
                                                          .arg(column)));
                    }
                }
                const bool isList = grid == form->dbgPadrao || grid == form->dbgOperador;
                if (isList)
                    QVERIFY(with.image == without.image);
                else
                    QVERIFY(anyMarkDiffers);
            }
        }
    }

    void markValuesOutsideTheTableDrawOnlyTheBackground()
    {
        // Stand-in calculations put the odd values the pictures table
        // knows about (one space) and does not (empty, lower case, other).
        const QMap<QString, QString> odd = {
            {QStringLiteral("Custo da Mercadoria Vendida"), QStringLiteral(" ")},
            {QStringLiteral("Desconto Concedido"), QString()},
            {QStringLiteral("Dias de Cobertura"), QStringLiteral("s")},
            {QStringLiteral("Giro de Estoque"), QStringLiteral("X")},
        };
        const auto calc = form->cdsFatoOperGrup->OnCalcFields;
        form->cdsFatoOperGrup->OnCalcFields = [this, &odd](TDataSet *) {
            form->cdsFatoOperGrupIDCHECK->setAsString(
                odd.value(form->cdsFatoOperGrupNMITEMDW->AsString(), QStringLiteral("S")));
        };
        form->cdsFatoOperGrup->SetData(form->cdsFatoOperGrup->Data());
        form->cdsFatoOperGrup->OnCalcFields = calc;
        settle();
        QCOMPARE(form->cdsFatoOperGrup->RecNo(), 1);
        QCOMPARE(form->cdsFatoOperGrupIDCHECK->AsString(), QStringLiteral(" "));

        verifyMarkCells(form->dbgFatosGrup);
        const Shot shot = shoot(form->dbgFatosGrup);
        for (int row = 1; row <= 3; ++row) {
            const QRect cell = handlerRect(form->dbgFatosGrup, shot, row, 0);
            QCOMPARE(countOf(shot.image, form->dbgFatosGrup->Color.rgb(), cell),
                     cell.width() * cell.height());
        }
        // The one-space row carries the empty box on the selection colour.
        const QRect first = handlerRect(form->dbgFatosGrup, shot, 0, 0);
        QCOMPARE(shot.image.pixel(first.left() + 2, first.top() + 1), qRgb(0, 0, 0));
        QCOMPARE(shot.image.pixel(first.left(), first.top()), selection());
    }
};

QTEST_MAIN(TestGrantDrawing)
#include "tst_grantdrawing.moc"
