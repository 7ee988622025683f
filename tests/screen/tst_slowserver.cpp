// A stopped server never freezes the host: a toggle waits with the busy box
// up and input blocked, offers Cancelar after about a second, ends at once
// when the user cancels (button or Esc) or when the host's timeout runs out,
// and once the server runs again the next action works without a restart.
// The server is the real one, stopped with SIGSTOP and resumed with SIGCONT.

#include "filtertesting.h"

#include "framework/widgets/controls.h"

#include <QElapsedTimer>

#include <csignal>

using namespace quv::test;
using namespace quv::test::filters;
using Cli_quv01000::TfrmControleAcesso;

class TestSlowServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScreenSession> session;
    TfrmControleAcesso *form = nullptr;
    bool stopped = false;

    void signalServer(int signal)
    {
        QCOMPARE(::kill(pid_t(session->server.processId()), signal), 0);
        stopped = signal == SIGSTOP;
    }

    // Whether the group's fact item is granted in the database.
    bool granted(const QString &group, const QString &table, const QString &item) const
    {
        return count(session->database(),
                     QStringLiteral("SELECT COUNT(*) FROM ITEMDWGRUPOP WHERE CDGRUPOPER = ? AND "
                                    "CDTABELADW = ? AND CDITEMDW = ?"),
                     {group, table, item}) > 0;
    }

private slots:
    void cleanup()
    {
        if (session && stopped)
            signalServer(SIGCONT);
        session.reset();
        form = nullptr;
    }

    void aStoppedServerCanBeLeft_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Cancelar") << QStringLiteral("Cancelar");
        QTest::newRow("Esc") << QStringLiteral("Esc");
        QTest::newRow("timeout") << QStringLiteral("timeout");
    }
    void aStoppedServerCanBeLeft()
    {
        QFETCH(QString, how);
        const bool timeout = how == QLatin1StringView("timeout");
        session = std::make_unique<ScreenSession>();
        QString skip;
        if (!session->setUp(QStringLiteral("sqlite"), &skip))
            QSKIP(qPrintable(skip));
        form = session->open();
        QVERIFY(form && showHost(*session));
        TDBGrid *grid = form->dbgFatosGrup;
        const QString group = form->qryOperGrupCDGRUPOPER->AsString();
        const QString table = form->cdsFatoOperGrupCDTABELADW->AsString();
        const QString item = form->cdsFatoOperGrupCDITEMDW->AsString();
        QVERIFY(!item.isEmpty());
        // Long enough for Cancelar to show first.
        if (timeout)
            session->host.timeoutSeconds = 2;
        session->calls.clear();
        signalServer(SIGSTOP);

        QElapsedTimer clock;
        qint64 offeredAt = -1;
        qint64 cancelledAt = -1;
        qsizetype callsWhileWaiting = -1;
        QTimer probe;
        probe.setInterval(10);
        connect(&probe, &QTimer::timeout, this, [&] {
            QWidget *busy = ShowAviWidget();
            auto *cancel =
                busy ? busy->findChild<QPushButton *>(QStringLiteral("btnCancelar")) : nullptr;
            if (!cancel || !cancel->isVisible() || offeredAt >= 0)
                return;
            offeredAt = clock.elapsed();
            // Input is blocked: a second toggle cannot start inside the first.
            QTest::keyClick(grid, Qt::Key_Space);
            callsWhileWaiting = session->calls.size();
            if (timeout)
                return;
            cancelledAt = clock.elapsed();
            if (how == QLatin1StringView("Esc"))
                QTest::keyClick(grid, Qt::Key_Escape);
            else
                QTest::mouseClick(cancel, Qt::LeftButton);
        });
        clock.start();
        probe.start();
        QTest::keyClick(grid, Qt::Key_Space);
        const qint64 returnedAt = clock.elapsed();
        probe.stop();
        qInfo("%s: Cancelar offered after %lld ms, call ended %lld ms after the cancel, %lld ms "
              "after the click",
              qPrintable(how), offeredAt, cancelledAt < 0 ? -1 : returnedAt - cancelledAt,
              returnedAt);

        QVERIFY2(offeredAt >= 900 && offeredAt < 5000, qPrintable(QString::number(offeredAt)));
        QCOMPARE(callsWhileWaiting, 1);
        QCOMPARE(session->calls, QStringList{QStringLiteral("setCkFatoOpGrup")});
        if (timeout)
            QVERIFY2(returnedAt >= 2000 && returnedAt < 7000,
                     qPrintable(QString::number(returnedAt)));
        else
            QVERIFY2(returnedAt - cancelledAt < 1000,
                     qPrintable(QString::number(returnedAt - cancelledAt)));
        QCOMPARE(session->host.exceptions.size(), 1);
        const QString message = session->host.exceptions.first();
        QVERIFY2(message.startsWith(timeout ? QStringLiteral("O servidor não respondeu em 2 s.")
                                            : QStringLiteral("Operação cancelada pelo usuário.")) &&
                     message.contains(QStringLiteral("pressione Atualizar")),
                 qPrintable(message));
        const QString details = session->host.exceptionDetails.first();
        QVERIFY2(details.contains(QStringLiteral("setCkFatoOpGrup")) &&
                     details.contains(QString::number(session->server.port())),
                 qPrintable(details));
        // The toggle may or may not have reached the database: the page
        // shows nothing rather than a state that may be wrong.
        QVERIFY(!form->cdsFatoOperGrup->Active());
        QVERIFY(!form->cdsDimeOperGrup->Active());
        QVERIFY(!ShowAviActive());

        signalServer(SIGCONT);
        QTest::mouseClick(form->sbtVerificar, Qt::LeftButton);
        settle();
        QCOMPARE(session->host.exceptions.size(), 1);
        QVERIFY(form->cdsFatoOperGrup->Locate(QStringLiteral("CDTABELADW;CDITEMDW"),
                                              QVariantList{table, item},
                                              TLocateOption::CaseInsensitive));
        const bool before = granted(group, table, item);
        QCOMPARE(form->cdsFatoOperGrupIDCHECK->AsString(),
                 before ? QStringLiteral("S") : QStringLiteral("N"));

        QTest::keyClick(grid, Qt::Key_Space);
        settle();
        QCOMPARE(session->host.exceptions.size(), 1);
        QCOMPARE(granted(group, table, item), !before);
    }
};

QTEST_MAIN(TestSlowServer)
#include "tst_slowserver.moc"
