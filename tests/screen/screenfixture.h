#pragma once

// Everything a screen test stands on, all of it real: a fresh demo database,
// the application server as a child process, a host window with its MDI
// area, the shared database module, and the package loaded at run time.

#include "contracts/hostservices.h"
#include "framework/data/dbgeral.h"
#include "screen/Cli_quv01000.h"
#include "tests/support/serverprocess.h"

#include <QLibrary>
#include <QMainWindow>
#include <QSqlDatabase>
#include <QStringList>

#include <functional>
#include <memory>

class QMdiArea;

namespace quv::test {

class TestHost final : public QObject, public IHostServices
{
    Q_OBJECT
public:
    TestHost();
    ~TestHost() override;

    QString webUrl() const override { return serverHost; }
    int webPort() const override { return serverPort; }
    QString serverToken() const override { return token; }
    int serverTimeout() const override { return timeoutSeconds; }
    void atualizaLocalCache(const QStringList &tables) override;
    QWidget *mainForm() const override;
    QMdiArea *mdiArea() const override;
    void showException(const QString &message, const QString &details) override;

    QString serverHost;
    int serverPort = 0;
    QString token;
    int timeoutSeconds = DefaultServerTimeout;
    /// Every refresh request, in order, as asked.
    QList<QStringList> cacheRequests;
    /// Every message that reached the user, and the details behind each.
    QStringList exceptions;
    QStringList exceptionDetails;

private:
    std::unique_ptr<QMainWindow> m_window;
    QMdiArea *m_area;
};

/// One screen session on a fresh demo database of the given driver
/// ("sqlite" or "postgres").
class ScreenSession
{
public:
    ScreenSession();
    ~ScreenSession();

    /// False with a reason when the driver cannot run on this machine.
    bool setUp(const QString &driver, QString *skipReason);

    /// The package entry point, as the host calls it.
    void iniProc();
    /// The open screen instance (null when none).
    Cli_quv01000::TfrmControleAcesso *form() const;
    /// Opens the screen and returns it; fails the test when it did not open.
    Cli_quv01000::TfrmControleAcesso *open();

    /// A connection of the test's own on the same database.
    QSqlDatabase database() const;
    QString connectionString() const { return m_connectionString; }

    TestHost host;
    ServerProcess server;
    std::unique_ptr<TdtmDBGeral> dbGeral;

    /// Names of the remote methods the screen called, in order.
    QStringList calls;

private:
    QString m_connectionString;
    QString m_testConnection;
    QLibrary m_package;
    void (*m_iniProc)() = nullptr;
    void (*m_finalize)() = nullptr;
};

/// Runs `act` on the next modal dialog that opens, inside its event loop;
/// gives up after ten seconds (the test then fails on its own).
void whenModalOpens(std::function<void(QWidget *modal)> act);

/// Answers the next modal dialog that opens by clicking the button with
/// this object name, and stores the dialog's text in `text` when given;
/// `first` runs with the dialog open, before the click.
void answerNextDialog(const QString &buttonName, QString *text = nullptr,
                      std::function<void()> first = {});

/// Runs pending events and deferred deletions.
void settle();

} // namespace quv::test
