// A stand-in package with a window, for the host's process tests: IniProc
// shows one child window with a two-page control, like a screen would, so
// that --quit-after-open and --render-png can run end to end without the
// real screen. Set QUV_TEST_PACKAGE_FAIL=1 to make IniProc raise.

#include "contracts/hostservices.h"
#include "contracts/package.h"
#include "framework/app/halvern.h"

#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <stdexcept>

namespace {

QPointer<QWidget> g_screen;

const QuvPackageUnit g_units[] = {{"WindowUnit", [] {}, [] {}}};
const QuvPackageInfoTable g_table = {QuvPackageAbiVersion, 1, g_units};

QWidget *makePage(const QString &text, const QColor &color)
{
    auto *page = new QWidget;
    page->setAutoFillBackground(true);
    QPalette palette = page->palette();
    palette.setColor(QPalette::Window, color);
    page->setPalette(palette);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(text, page));
    return page;
}

} // namespace

extern "C" {

Q_DECL_EXPORT void Initialize() {}
Q_DECL_EXPORT void Finalize() {}
Q_DECL_EXPORT const QuvPackageInfoTable *GetPackageInfoTable()
{
    return &g_table;
}

Q_DECL_EXPORT void IniProc()
{
    if (qEnvironmentVariableIntValue("QUV_TEST_PACKAGE_FAIL") == 1)
        throw std::runtime_error("Servidor de aplicação indisponível (teste).");
    if (g_screen) {
        g_screen->parentWidget()->showNormal();
        return;
    }
    quv::IHostServices *host = Halvern::host();
    if (!host || !host->mdiArea())
        throw std::runtime_error("Sem aplicação hospedeira.");
    auto *screen = new QWidget;
    screen->setObjectName(QStringLiteral("frmTeste"));
    auto *pages = new QTabWidget(screen);
    pages->setObjectName(QStringLiteral("pgcPadrao"));
    pages->addTab(makePage(QStringLiteral("Grupo de Operadores"), Qt::yellow),
                  QStringLiteral("Grupo de Operadores"));
    // The second page only turns cyan when reached by a click on its tab, as
    // a user would switch: a render that switched pages behind the page
    // control's back would show it grey.
    QWidget *second = makePage(QStringLiteral("Operador"), Qt::lightGray);
    pages->addTab(second, QStringLiteral("Operador"));
    QObject::connect(pages->tabBar(), &QTabBar::tabBarClicked, second, [second](int index) {
        if (index != 1)
            return;
        QPalette palette = second->palette();
        palette.setColor(QPalette::Window, Qt::cyan);
        second->setPalette(palette);
    });
    auto *layout = new QVBoxLayout(screen);
    layout->addWidget(pages);
    QMdiSubWindow *window = host->mdiArea()->addSubWindow(screen);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->resize(480, 320);
    window->show();
    g_screen = screen;
}
}
