#include "screenfixture.h"

#include "contracts/package.h"
#include "db/connection.h"
#include "framework/app/application.h"
#include "framework/app/halvern.h"
#include "framework/data/netconnection.h"
#include "tests/support/testdatabase.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMdiArea>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

namespace quv::test {

TestHost::TestHost() : m_window(std::make_unique<QMainWindow>()), m_area(new QMdiArea)
{
    m_window->setObjectName(QStringLiteral("testMainWindow"));
    m_area->setObjectName(QStringLiteral("mdiArea"));
    m_window->setCentralWidget(m_area);
    m_window->resize(1200, 800);
    token = ServerProcess::Token;
    Halvern::setHost(this);
}

TestHost::~TestHost()
{
    Application->setExceptionHook({});
    if (Halvern::host() == this)
        Halvern::setHost(nullptr);
}

void TestHost::atualizaLocalCache(const QStringList &tables)
{
    cacheRequests.append(tables);
}

QWidget *TestHost::mainForm() const
{
    return m_window.get();
}

QMdiArea *TestHost::mdiArea() const
{
    return m_area;
}

void TestHost::showException(const QString &message, const QString &details)
{
    exceptions.append(message);
    exceptionDetails.append(details);
}

ScreenSession::ScreenSession()
{
    static int sessions = 0;
    m_testConnection = QStringLiteral("screen-test-%1").arg(++sessions);
}

ScreenSession::~ScreenSession()
{
    if (auto *f = form()) {
        f->Release();
        settle();
    }
    Cli_quv01000::boIdCriado = false;
    TNetConnection::setTraceHook({});
    if (m_finalize)
        m_finalize();
    dtmDBGeral = nullptr;
    dbGeral.reset();
    if (QSqlDatabase::contains(m_testConnection))
        db::closeDatabase(m_testConnection);
}

bool ScreenSession::setUp(const QString &driver, QString *skipReason)
{
    m_connectionString = freshDemoDatabase(driver, skipReason);
    if (m_connectionString.isEmpty())
        return false;
    if (!server.start(m_connectionString))
        throw std::runtime_error(
            QString(QStringLiteral("server did not start: ") + server.errorString()).toStdString());
    host.serverHost = server.host();
    host.serverPort = server.port();

    dbGeral = std::make_unique<TdtmDBGeral>();
    dbGeral->Open(m_connectionString);
    dtmDBGeral = dbGeral.get();
    openConnection(m_connectionString, m_testConnection);

    TNetConnection::setTraceHook([this](const QString &method) { calls.append(method); });

    m_package.setFileName(QStringLiteral(QUV_BIN_DIR "/libPKG_QUV01000.so"));
    if (!m_package.load())
        throw std::runtime_error(m_package.errorString().toStdString());
    auto initialize = reinterpret_cast<QuvInitializeProc>(m_package.resolve("Initialize"));
    m_finalize = reinterpret_cast<QuvFinalizeProc>(m_package.resolve("Finalize"));
    m_iniProc = reinterpret_cast<QuvIniProc>(m_package.resolve("IniProc"));
    if (!initialize || !m_finalize || !m_iniProc)
        throw std::runtime_error("package entries missing");
    initialize();
    return true;
}

void ScreenSession::iniProc()
{
    m_iniProc();
}

Cli_quv01000::TfrmControleAcesso *ScreenSession::form() const
{
    return Cli_quv01000::frmControleAcesso;
}

Cli_quv01000::TfrmControleAcesso *ScreenSession::open()
{
    iniProc();
    settle();
    return form();
}

QSqlDatabase ScreenSession::database() const
{
    return QSqlDatabase::database(m_testConnection);
}

void whenModalOpens(std::function<void(QWidget *modal)> act)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    auto attempts = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, act = std::move(act), attempts] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal) {
            if (++*attempts > 1000) // ten seconds: give up, the test will fail on its own
                timer->deleteLater();
            return;
        }
        timer->stop();
        timer->deleteLater();
        act(modal);
    });
    timer->start();
}

void answerNextDialog(const QString &buttonName, QString *text, std::function<void()> first)
{
    whenModalOpens([buttonName, text, first = std::move(first)](QWidget *modal) {
        if (text) {
            if (auto *box = qobject_cast<QMessageBox *>(modal))
                *text = box->text();
        }
        auto *button = modal->findChild<QAbstractButton *>(buttonName);
        if (first)
            first();
        if (button)
            button->click();
        else
            modal->close();
    });
}

void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

} // namespace quv::test
