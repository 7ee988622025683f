#include "fakehost.h"
#include "framework/app/application.h"
#include "framework/widgets/controls.h"
#include "framework/widgets/dbgrid.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>

class TestDBGrid : public QObject
{
    Q_OBJECT

    struct Fixture
    {
        TClientDataSet ds;
        TDataSource src;
        TDBGrid grid;

        explicit Fixture(const QStringList &rows = {
                             QStringLiteral("01|Alfa|S"), QStringLiteral("02|Beta|N"),
                             QStringLiteral("03|Gama| "), QStringLiteral("04|Delta|S")})
        {
            fillDataSet(ds, rows);
            src.setDataSet(&ds);
            grid.setDataSource(&src);
            grid.AddColumn(QStringLiteral("CODIGO"), 60, QStringLiteral("Código"));
            grid.AddColumn(QStringLiteral("NOME"), 150, QString());
            grid.AddColumn(QStringLiteral("MARCA"), 30, QStringLiteral("8"));
            grid.resize(400, 250);
            grid.show();
        }
        QPoint cell(int row, int column) const { return grid.CellRect(row, column).center(); }
    };

    QStringList m_errors;

private slots:
    void init()
    {
        m_errors.clear();
        Application->setExceptionHook([this](const QString &m) { m_errors << m; });
    }
    void cleanup() { Application->setExceptionHook({}); }

    void modelReadsTheDataSetThroughEveryChange()
    {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        QAbstractItemModel *model = f.grid.model();
        QAbstractItemModelTester tester(model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model->rowCount(), 4);
        QCOMPARE(model->columnCount(), 3);
        QCOMPARE(model->index(1, 1).data().toString(), QStringLiteral("Beta"));
        QCOMPARE(model->index(3, 0).data().toString(), QStringLiteral("04"));
        // A title left empty shows the field's display label.
        QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Nome"));
        QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Código"));

        fillDataSet(f.ds, {QStringLiteral("10|Dez|N"), QStringLiteral("11|Onze|S")});
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(model->index(1, 1).data().toString(), QStringLiteral("Onze"));

        f.ds.Close();
        QCOMPARE(model->rowCount(), 0);
        f.ds.Open(); // a client dataset reopens empty
        QCOMPARE(model->rowCount(), int(f.ds.RecordCount()));
        fillDataSet(f.ds, {QStringLiteral("10|Dez|N"), QStringLiteral("11|Onze|S")});
        QCOMPARE(model->rowCount(), 2);

        // Rebinding the data source to nothing empties the grid.
        f.src.setDataSet(nullptr);
        QCOMPARE(model->rowCount(), 0);
        QVERIFY(f.grid.SelectedField() == nullptr);
        f.src.setDataSet(&f.ds);
        QCOMPARE(model->rowCount(), 2);
    }

    void currentRowFollowsBothWays()
    {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        int scrolls = 0;
        f.ds.AfterScroll = [&scrolls](TDataSet *) { ++scrolls; };
        QCOMPARE(f.grid.currentIndex().row(), 0);

        f.ds.setRecNo(3);
        QCOMPARE(f.grid.currentIndex().row(), 2);
        QCOMPARE(scrolls, 1);

        QTest::mouseClick(f.grid.viewport(), Qt::LeftButton, {}, f.cell(1, 1));
        QCOMPARE(f.ds.RecNo(), 2);
        QCOMPARE(scrolls, 2);
        QCOMPARE(f.grid.SelectedIndex(), 1);
        QCOMPARE(f.grid.SelectedField()->FieldName(), QStringLiteral("NOME"));

        f.grid.setFocus();
        QTest::keyClick(&f.grid, Qt::Key_Down);
        QCOMPARE(f.ds.RecNo(), 3);
        QTest::keyClick(&f.grid, Qt::Key_Right);
        QCOMPARE(f.grid.SelectedField()->FieldName(), QStringLiteral("MARCA"));
        QCOMPARE(f.ds.RecNo(), 3);
        QCOMPARE(scrolls, 3);

        // A fresh packet lands on the first record and so does the grid.
        fillDataSet(f.ds, {QStringLiteral("20|Vinte|N"), QStringLiteral("21|Vinte e um|S")});
        QCOMPARE(f.grid.currentIndex().row(), 0);
        f.ds.Last();
        QCOMPARE(f.grid.currentIndex().row(), 1);
    }

    void inputEventsReachTheirHandlers()
    {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        QList<TColumn *> cellClicks;
        QList<qsizetype> recNoAtClick;
        int doubleClicks = 0;
        QList<quint16> keys;
        QList<TShiftState> shifts;
        QString typed;
        f.grid.OnCellClick = [&](TColumn *column) {
            cellClicks << column;
            recNoAtClick << f.ds.RecNo();
        };
        f.grid.OnDblClick = [&](QObject *sender) {
            QCOMPARE(sender, &f.grid);
            ++doubleClicks;
        };
        f.grid.OnKeyDown = [&](QObject *, quint16 &key, TShiftState shift) {
            keys << key;
            shifts << shift;
            if (key == VK_DOWN && shift.testFlag(ssShift))
                key = 0; // consumed: the grid must not move
        };
        f.grid.OnKeyPress = [&](QObject *, QChar &key) { typed += key; };

        QTest::mouseClick(f.grid.viewport(), Qt::LeftButton, {}, f.cell(2, 2));
        QCOMPARE(cellClicks.size(), 1);
        QCOMPARE(cellClicks[0], f.grid.Column(2));
        QCOMPARE(recNoAtClick[0], 3); // the clicked cell was current already

        // A double click as a window system delivers it: press, release,
        // press, double click, release. One cell click, one double click.
        cellClicks.clear();
        const QPoint at = f.cell(1, 0);
        const QPoint global = f.grid.viewport()->mapToGlobal(at);
        for (QEvent::Type type :
             {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonPress,
              QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
            QMouseEvent event(type, at, global, Qt::LeftButton,
                              type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                              Qt::NoModifier);
            QApplication::sendEvent(f.grid.viewport(), &event);
        }
        QCOMPARE(doubleClicks, 1);
        QCOMPARE(cellClicks, QList<TColumn *>{f.grid.Column(0)});
        QCOMPARE(f.ds.RecNo(), 2);

        // A press on one cell released over another is no click.
        cellClicks.clear();
        QTest::mousePress(f.grid.viewport(), Qt::LeftButton, {}, f.cell(0, 0));
        QTest::mouseRelease(f.grid.viewport(), Qt::LeftButton, {}, f.cell(3, 1));
        QVERIFY(cellClicks.isEmpty());

        f.grid.setFocus();
        f.ds.setRecNo(2);
        QTest::keyClick(&f.grid, Qt::Key_F9, Qt::ControlModifier);
        QCOMPARE(keys.last(), VK_F9);
        QCOMPARE(shifts.last(), TShiftState(ssCtrl));

        QTest::keyClick(&f.grid, Qt::Key_Down, Qt::ShiftModifier);
        QCOMPARE(keys.last(), VK_DOWN);
        QCOMPARE(f.ds.RecNo(), 2);
        QTest::keyClick(&f.grid, Qt::Key_Down);
        QCOMPARE(f.ds.RecNo(), 3);

        // Typed characters reach OnKeyPress and never move the record (no
        // jump to a row starting with the typed text: "D" would find Delta).
        f.grid.setSelectedIndex(1);
        QCOMPARE(f.grid.SelectedField()->FieldName(), QStringLiteral("NOME"));
        QTest::keyClicks(&f.grid, QStringLiteral("D"));
        QTest::keyClick(&f.grid, Qt::Key_Space);
        QTest::keyClick(&f.grid, Qt::Key_Return);
        QCOMPARE(typed, QStringLiteral("D \r"));
        QCOMPARE(f.ds.RecNo(), 3);
        QCOMPARE(keys.mid(keys.size() - 3), (QList<quint16>{quint16('D'), VK_SPACE, VK_RETURN}));
    }

    void titleClickNamesTheColumn()
    {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        QList<TColumn *> titles;
        int cellClicks = 0;
        f.grid.OnTitleClick = [&](TColumn *column) { titles << column; };
        f.grid.OnCellClick = [&](TColumn *) { ++cellClicks; };
        QHeaderView *header = f.grid.horizontalHeader();
        for (int column : {2, 0}) {
            const QPoint at(header->sectionViewportPosition(column) +
                                header->sectionSize(column) / 2,
                            header->height() / 2);
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
        }
        QCOMPARE(titles, (QList<TColumn *>{f.grid.Column(2), f.grid.Column(0)}));
        QCOMPARE(cellClicks, 0);
        QCOMPARE(f.ds.RecNo(), 1);
        QCOMPARE(IndiceCol(&f.grid, QStringLiteral("MARCA")), 2);
        QCOMPARE(IndiceCol(&f.grid, QStringLiteral("marca")), -1);
        QCOMPARE(IndiceCol(nullptr, QStringLiteral("MARCA")), -1);
        QVERIFY_THROWS_EXCEPTION(Exception, f.grid.AddColumn(QStringLiteral("X"), -1, QString()));
        QCOMPARE(f.grid.Columns().size(), 3);
        QCOMPARE(f.grid.model()->columnCount(), 3);
    }

    void symbolTitlesAreDrawnAsPictograms()
    {
        Fixture f;
        TColumn *mark = f.grid.Column(2);
        mark->Title.Charset = SYMBOL_CHARSET;
        mark->Title.Color = QColor(255, 0, 0);
        f.grid.Column(0)->Title.Color = QColor(0, 0, 255);
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        QHeaderView *header = f.grid.horizontalHeader();
        // The symbol character itself is not shown as text.
        QCOMPARE(f.grid.model()->headerData(2, Qt::Horizontal).toString(), QString());
        QCOMPARE(f.grid.model()->headerData(0, Qt::Horizontal, Qt::ForegroundRole).value<QColor>(),
                 QColor(0, 0, 255));
        auto sectionHas = [header](int section, const QColor &colour) {
            const QImage shot = header->viewport()->grab().toImage();
            const QRect r(header->sectionViewportPosition(section), 0, header->sectionSize(section),
                          header->height());
            for (int x = r.left(); x <= r.right(); ++x)
                for (int y = r.top(); y <= r.bottom(); ++y)
                    if (shot.pixelColor(x, y) == colour)
                        return true;
            return false;
        };
        QVERIFY(sectionHas(2, QColor(255, 0, 0)));
        QVERIFY(!sectionHas(1, QColor(255, 0, 0)));
        for (const char *symbol : {"I", "4"}) {
            mark->Title.Caption = QLatin1StringView(symbol);
            QVERIFY2(sectionHas(2, QColor(255, 0, 0)), symbol);
        }
        mark->Title.Caption.clear();
        QVERIFY(!sectionHas(2, QColor(255, 0, 0)));
    }

    void drawHandlerGetsTheCellBackground()
    {
        Fixture f;
        f.grid.setOptions(dgTitles | dgColLines | dgRowLines | dgRowSelect | dgAlwaysShowSelection);
        f.grid.Color = QColor(255, 255, 225);
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        f.ds.setRecNo(2);
        const QColor highlight = f.grid.palette().color(QPalette::Active, QPalette::Highlight);
        QVERIFY(highlight != f.grid.Color);

        const QColor olive(128, 128, 0);
        QImage bitmap(4, 4, QImage::Format_RGB32);
        bitmap.fill(olive);
        bitmap.setPixelColor(1, 1, Qt::red);
        QMap<int, QColor> brushByRow;
        QMap<int, TGridDrawState> stateByRow;
        int calls = 0;
        bool canvasValid = true;
        f.grid.OnDrawColumnCell = [&](QObject *sender, const QRect &rect, int dataCol,
                                      TColumn *column, TGridDrawState state) {
            ++calls;
            TDBGrid *grid = qobject_cast<TDBGrid *>(sender);
            canvasValid = canvasValid && grid && grid->Canvas() != nullptr;
            if (!grid || !grid->Canvas() || column->FieldName != QLatin1StringView("MARCA"))
                return;
            QCOMPARE(dataCol, 2);
            const int row = grid->rowAt(rect.center().y());
            brushByRow[row] = grid->Canvas()->Brush.color();
            stateByRow[row] = state;
            grid->Canvas()->FillRect(rect);
            grid->Canvas()->BrushCopy(QRect(rect.left() + 1, rect.top(), 4, rect.height()), bitmap,
                                      QRect(0, 0, 4, rect.height()), olive);
        };
        const QImage shot = f.grid.viewport()->grab().toImage();
        QVERIFY(calls >= 12);
        QVERIFY(canvasValid);
        QVERIFY(f.grid.Canvas() == nullptr);
        QCOMPARE(brushByRow.value(1), highlight);
        QVERIFY(stateByRow.value(1).testFlag(gdSelected));
        for (int row : {0, 2, 3}) {
            QCOMPARE(brushByRow.value(row), f.grid.Color);
            QVERIFY(!stateByRow.value(row).testFlag(gdSelected));
        }
        for (int row = 0; row < 4; ++row) {
            const QRect r = f.grid.CellRect(row, 2);
            const QColor expected = row == 1 ? highlight : f.grid.Color;
            // Olive pixels of the bitmap took the cell's background, the
            // red one stayed, and the cell right of the bitmap was filled.
            QCOMPARE(shot.pixelColor(r.left() + 1, r.top()), expected);
            QCOMPARE(shot.pixelColor(r.left() + 2, r.top() + 1), QColor(Qt::red));
            QCOMPARE(shot.pixelColor(r.left() + 1, r.top() + r.height() - 3), expected);
            QCOMPARE(shot.pixelColor(r.left() + 8, r.center().y()), expected);
            // The default drawing of a text cell uses the same background.
            const QRect text = f.grid.CellRect(row, 1);
            QCOMPARE(shot.pixelColor(text.right() - 3, text.top() + 1), expected);
        }

        // Without DefaultDrawing the grid draws no text: a cell the handler
        // leaves alone is plain background.
        f.grid.DefaultDrawing = false;
        const QImage bare = f.grid.viewport()->grab().toImage();
        const QRect name = f.grid.CellRect(0, 1);
        bool onlyBackground = true;
        for (int x = name.left(); x < name.right() - 1; ++x)
            for (int y = name.top(); y < name.bottom() - 1; ++y)
                onlyBackground = onlyBackground && bare.pixelColor(x, y) == f.grid.Color;
        QVERIFY(onlyBackground);
    }

    void handlerExceptionsReachTheHookOnly()
    {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        f.grid.OnCellClick = [](TColumn *) { throw Exception(QStringLiteral("clique falhou")); };
        QTest::mouseClick(f.grid.viewport(), Qt::LeftButton, {}, f.cell(0, 0));
        QCOMPARE(m_errors, QStringList{QStringLiteral("clique falhou")});

        // A failing scroll handler: reported, and the grid shows the record
        // the dataset is really on.
        m_errors.clear();
        f.grid.OnCellClick = nullptr;
        f.ds.AfterScroll = [](TDataSet *) { throw std::runtime_error("rolagem falhou"); };
        QTest::mouseClick(f.grid.viewport(), Qt::LeftButton, {}, f.cell(3, 0));
        QCOMPARE(m_errors, QStringList{QStringLiteral("rolagem falhou")});
        QCOMPARE(f.grid.currentIndex().row(), int(f.ds.RecNo()) - 1);
        f.ds.AfterScroll = nullptr;

        m_errors.clear();
        f.grid.OnTitleClick = [](TColumn *) { throw Exception(QStringLiteral("título falhou")); };
        QHeaderView *header = f.grid.horizontalHeader();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(1) + 5, header->height() / 2));
        QCOMPARE(m_errors, QStringList{QStringLiteral("título falhou")});

        // A failing draw handler is reported once, outside the paint.
        m_errors.clear();
        f.grid.OnDrawColumnCell = [](QObject *, const QRect &, int, TColumn *, TGridDrawState) {
            throw Exception(QStringLiteral("desenho falhou"));
        };
        f.grid.viewport()->grab();
        QVERIFY(m_errors.isEmpty());
        QCoreApplication::processEvents();
        f.grid.viewport()->grab();
        QCoreApplication::processEvents();
        QCOMPARE(m_errors, QStringList{QStringLiteral("desenho falhou")});
    }

    void titleHintIsTheTitlesTooltip()
    {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        QHeaderView *header = f.grid.horizontalHeader();
        auto rest = [header](int column) {
            const QPoint at(header->sectionViewportPosition(column) +
                                header->sectionSize(column) / 2,
                            header->height() / 2);
            QHelpEvent event(QEvent::ToolTip, at, header->viewport()->mapToGlobal(at));
            QCoreApplication::sendEvent(header->viewport(), &event);
            return QToolTip::isVisible() ? QToolTip::text() : QString();
        };
        QList<TColumn *> asked;
        f.grid.OnTitleHint = [&](TColumn *column) -> QString {
            asked << column;
            if (column->Index() == 0)
                throw Exception(QStringLiteral("dica falhou"));
            return column->Index() == 2 ? QStringLiteral("Marcar todos") : QString();
        };
        // A failing or empty hint shows nothing and bothers nobody.
        QCOMPARE(rest(0), QString());
        QCOMPARE(rest(1), QString());
        QCOMPARE(rest(2), QStringLiteral("Marcar todos"));
        QCOMPARE(asked, (QList<TColumn *>{f.grid.Column(0), f.grid.Column(1), f.grid.Column(2)}));
        QVERIFY(m_errors.isEmpty());
        QToolTip::hideText();
    }

    void stretchColumnTakesWhatTheGridGains_data()
    {
        // Columns 60 + 150 + 30: a 400 wide grid shows an empty band.
        QTest::addColumn<int>("designWidth");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("nameWidth"); // -1: the columns fill the viewport
        QTest::newRow("at its design") << 400 << 400 << 150;
        QTest::newRow("a little wider") << 400 << 460 << 270;
        QTest::newRow("much wider") << 400 << 900 << -1;
        QTest::newRow("narrower") << 400 << 300 << 150;
        QTest::newRow("no design known") << -1 << 900 << 150;
    }
    void stretchColumnTakesWhatTheGridGains()
    {
        QFETCH(int, designWidth);
        QFETCH(int, width);
        QFETCH(int, nameWidth);
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        auto widen = [&f](int to) {
            f.grid.resize(to, 250);
            QCoreApplication::processEvents();
            return f.grid.width() == to;
        };
        f.grid.Column(1)->Stretch = true;
        QVERIFY(widen(400));
        f.grid.setDesignWidth(designWidth);
        // Growing first and coming back must leave no trace.
        QVERIFY(widen(1000));
        QVERIFY(widen(width));
        if (nameWidth < 0)
            nameWidth = f.grid.viewport()->width() - 60 - 30;
        QCOMPARE(f.grid.Column(1)->Width, nameWidth);
        QCOMPARE(f.grid.columnWidth(1), nameWidth);
        QCOMPARE(f.grid.columnWidth(0), 60);
        QCOMPARE(f.grid.columnWidth(2), 30);
    }

    void enteringTheGridFiresOnEnter()
    {
        QWidget window;
        auto *other = new QWidget(&window);
        other->setFocusPolicy(Qt::StrongFocus);
        TClientDataSet ds;
        fillDataSet(ds, {QStringLiteral("01|Um|S")});
        TDataSource src;
        src.setDataSet(&ds);
        auto *grid = new TDBGrid(&window);
        grid->setDataSource(&src);
        grid->setGeometry(0, 30, 200, 100);
        int enters = 0;
        grid->OnEnter = [&](QObject *sender) {
            QCOMPARE(sender, grid);
            ++enters;
        };
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        other->setFocus(Qt::TabFocusReason);
        grid->setFocus(Qt::TabFocusReason);
        QCOMPARE(enters, 1);
        other->setFocus(Qt::MouseFocusReason);
        grid->setFocus(Qt::MouseFocusReason);
        QCOMPARE(enters, 2);
    }

    void firstActivationEntersTheGridThatHasTheFocus()
    {
        // A screen focuses its first grid before it is shown; the window's
        // first activation enters it, coming back to the window does not.
        QWidget window;
        TClientDataSet ds;
        fillDataSet(ds, {QStringLiteral("01|Um|S")});
        TDataSource src;
        src.setDataSet(&ds);
        auto *grid = new TDBGrid(&window);
        grid->setDataSource(&src);
        int enters = 0;
        grid->OnEnter = [&](QObject *) { ++enters; };
        grid->setFocus(Qt::OtherFocusReason);
        QCOMPARE(enters, 0);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(enters, 1);

        QWidget elsewhere;
        elsewhere.show();
        elsewhere.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QVERIFY(grid->hasFocus());
        QCOMPARE(enters, 1);
    }
};

QTEST_MAIN(TestDBGrid)
#include "tst_dbgrid.moc"
