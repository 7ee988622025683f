#include "fakehost.h"
#include "framework/app/application.h"
#include "framework/widgets/dbctrls.h"

#include <QApplication>
#include <QHelpEvent>
#include <QTest>
#include <QToolButton>
#include <QToolTip>

class TestDBCtrls : public QObject
{
    Q_OBJECT
    QStringList m_errors;

    static QStringList rows()
    {
        return {QStringLiteral("01|Alfa|S"), QStringLiteral("02|Beta|N"),
                QStringLiteral("03|Gama|S")};
    }

private slots:
    void init()
    {
        m_errors.clear();
        Application->setExceptionHook([this](const QString &m) { m_errors << m; });
    }
    void cleanup() { Application->setExceptionHook({}); }

    void dbTextFollowsTheCurrentRecord()
    {
        TClientDataSet ds;
        fillDataSet(ds, rows());
        TDataSource src;
        src.setDataSet(&ds);
        TDBText text;
        QCOMPARE(text.text(), QString());

        text.setDataSource(&src);
        QCOMPARE(text.text(), QString()); // no field yet
        text.setDataField(QStringLiteral("NOME"));
        QCOMPARE(text.text(), QStringLiteral("Alfa"));
        ds.Next();
        QCOMPARE(text.text(), QStringLiteral("Beta"));
        ds.Last();
        QCOMPARE(text.text(), QStringLiteral("Gama"));

        fillDataSet(ds, {QStringLiteral("09|Nove|N")});
        QCOMPARE(text.text(), QStringLiteral("Nove"));
        ds.Close();
        QCOMPARE(text.text(), QString());
        fillDataSet(ds, {QStringLiteral("08|Oito|N")});
        QCOMPARE(text.text(), QStringLiteral("Oito"));
        fillDataSet(ds, {});
        QCOMPARE(text.text(), QString());
        fillDataSet(ds, rows());

        // An unknown field on an open dataset is an error and changes nothing.
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, text.setDataField(QStringLiteral("NADA")));
        QCOMPARE(text.DataField(), QStringLiteral("NOME"));
        QCOMPARE(text.text(), QStringLiteral("Alfa"));

        // Rebinding: to another dataset through the same data source, then
        // to a data source whose dataset lacks the field.
        TClientDataSet other;
        fillDataSet(other, {QStringLiteral("77|Outro|N")});
        src.setDataSet(&other);
        QCOMPARE(text.text(), QStringLiteral("Outro"));
        TClientDataSet narrow;
        narrow.AddField(QStringLiteral("X"), 3);
        narrow.CreateDataSet();
        TDataSource narrowSrc;
        narrowSrc.setDataSet(&narrow);
        QVERIFY_THROWS_EXCEPTION(EDatabaseError, text.setDataSource(&narrowSrc));
        QCOMPARE(text.DataSource(), &src);

        text.setDataField(QString());
        QCOMPARE(text.text(), QString());
        text.setDataField(QStringLiteral("CODIGO"));
        QCOMPARE(text.text(), QStringLiteral("77"));
        {
            TDataSource doomed;
            doomed.setDataSet(&ds);
            text.setDataSource(&doomed);
            QCOMPARE(text.text(), QStringLiteral("01"));
        }
        QCOMPARE(text.DataSource(), nullptr);
        QCOMPARE(text.text(), QString());
    }

    void navigatorMovesAndEnablesByPosition()
    {
        TClientDataSet ds;
        fillDataSet(ds, rows());
        TDataSource src;
        src.setDataSet(&ds);
        TDBNavigator nav;
        QToolButton *first = nav.findChild<QToolButton *>(QStringLiteral("nbFirst"));
        QToolButton *prior = nav.findChild<QToolButton *>(QStringLiteral("nbPrior"));
        QToolButton *next = nav.findChild<QToolButton *>(QStringLiteral("nbNext"));
        QToolButton *last = nav.findChild<QToolButton *>(QStringLiteral("nbLast"));
        QVERIFY(first && prior && next && last);
        auto enabled = [&] {
            return QList<bool>{first->isEnabled(), prior->isEnabled(), next->isEnabled(),
                               last->isEnabled()};
        };
        QCOMPARE(enabled(), (QList<bool>{false, false, false, false}));

        nav.setDataSource(&src);
        nav.show();
        QVERIFY(QTest::qWaitForWindowExposed(&nav));
        QCOMPARE(enabled(), (QList<bool>{false, false, true, true}));

        QTest::mouseClick(next, Qt::LeftButton);
        QCOMPARE(ds.RecNo(), 2);
        QCOMPARE(enabled(), (QList<bool>{true, true, true, true}));
        QTest::mouseClick(last, Qt::LeftButton);
        QCOMPARE(ds.RecNo(), 3);
        QCOMPARE(enabled(), (QList<bool>{true, true, false, false}));
        QTest::mouseClick(prior, Qt::LeftButton);
        QCOMPARE(ds.RecNo(), 2);
        QTest::mouseClick(first, Qt::LeftButton);
        QCOMPARE(ds.RecNo(), 1);
        QCOMPARE(enabled(), (QList<bool>{false, false, true, true}));

        // Moving the dataset elsewhere updates the buttons too.
        ds.Last();
        QCOMPARE(enabled(), (QList<bool>{true, true, false, false}));
        fillDataSet(ds, {QStringLiteral("05|Só|N")});
        QCOMPARE(enabled(), (QList<bool>{false, false, false, false}));
        ds.Close();
        QCOMPARE(enabled(), (QList<bool>{false, false, false, false}));
        fillDataSet(ds, rows());
        QCOMPARE(enabled(), (QList<bool>{false, false, true, true}));

        // A failing scroll handler is reported, not thrown through Qt.
        ds.AfterScroll = [](TDataSet *) { throw Exception(QStringLiteral("rolagem falhou")); };
        QTest::mouseClick(next, Qt::LeftButton);
        QCOMPARE(m_errors, QStringList{QStringLiteral("rolagem falhou")});
        ds.AfterScroll = nullptr;

        nav.setDataSource(nullptr);
        QCOMPARE(enabled(), (QList<bool>{false, false, false, false}));
    }

    void navigatorHints()
    {
        TDBNavigator nav;
        nav.show();
        QVERIFY(QTest::qWaitForWindowExposed(&nav));
        QToolButton *next = nav.Button(nbNext);
        auto askTip = [next] {
            QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), next->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(next, &help);
        };
        askTip();
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), QStringLiteral("Próximo"));
        QToolTip::hideText();
        QTRY_VERIFY(!QToolTip::isVisible());

        nav.Hints.clear();
        askTip();
        QTest::qWait(50);
        QVERIFY(!QToolTip::isVisible());
    }
};

QTEST_MAIN(TestDBCtrls)
#include "tst_dbctrls.moc"
