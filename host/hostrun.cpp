#include "hostrun.h"

#include "exceptiondisplay.h"
#include "host.h"
#include "hostapplication.h"
#include "hostconfig.h"
#include "mainwindow.h"
#include "screenrenderer.h"
#include "windowplacement.h"

#include "contracts/cli.h"
#include "framework/app/application.h"

#include <QSettings>
#include <QTextStream>
#include <QTimer>

namespace quv::host {

namespace {

// Opens the screens asked for at start; in a batch run also renders and ends
// the run with the status the caller returns.
void startUp(Host &host, ExceptionDisplay &display, int &status)
{
    const HostConfig &config = host.config();
    for (const QString &screen : config.openScreens)
        host.openScreen(screen);

    const bool batch = !config.renderPng.isEmpty() || config.quitAfterOpen;
    if (!batch)
        return;
    if (!config.renderPng.isEmpty() && display.shownCount() == 0) {
        const QString message = renderScreen(host.mainWindow()->mdiArea(), config.renderPng, 15000,
                                             config.renderMaximized);
        if (!message.isEmpty())
            display.show(message);
        else
            QTextStream(stdout) << "rendered " << config.renderPng << ", "
                                << pageImagePath(config.renderPng, 1) << ", "
                                << pageImagePath(config.renderPng, 2) << Qt::endl;
    }
    // Every failure of the run went through the display (on stderr here).
    status = display.shownCount() == 0 ? 0 : cli::ExitFailure;
    QCoreApplication::exit(status);
}

} // namespace

bool displayAvailable()
{
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

int runHost(int &argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    const ConfigParseResult parsed = parseHostConfig(arguments);
    switch (parsed.action) {
    case ConfigParseResult::Action::ShowHelp:
    case ConfigParseResult::Action::ShowVersion:
        QTextStream(stdout) << parsed.text;
        return cli::ExitSuccess;
    case ConfigParseResult::Action::Error:
        return cli::usageError(QStringLiteral("quv-host"), parsed.text);
    case ConfigParseResult::Action::Run:
        break;
    }
    for (const QString &warning : parsed.warnings)
        QTextStream(stderr) << "quv-host: " << warning << Qt::endl;
    if (!displayAvailable()) {
        QTextStream(stderr)
            << "quv-host: no display (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
               "To render the screen without a display:\n"
               "  QT_QPA_PLATFORM=offscreen quv-host --db <connection> --render-png screen.png\n"
               "or run the window under a virtual X server:\n"
               "  xvfb-run quv-host --db <connection>"
            << Qt::endl;
        return cli::ExitFailure;
    }

    HostApplication app(argc, argv);
    ExceptionDisplay &display = app.exceptionDisplay();
    const HostConfig &config = parsed.config;
    display.setBatch(!config.renderPng.isEmpty() || config.quitAfterOpen);

    TApplication framework;
    Application = &framework;

    int status = 0;
    {
        Host host(config, display);
        host.openDatabase();
        // A batch run neither follows nor moves where the user keeps the window.
        QSettings settings;
        MainWindow *window = host.mainWindow();
        showMainWindow(window, window->mdiArea(), display.batch() ? nullptr : &settings);
        QTimer::singleShot(0, &host,
                           [&host, &display, &status] { startUp(host, display, status); });
        const int rc = app.exec();
        if (status == 0)
            status = rc;
        if (!display.batch())
            rememberMainWindow(window, settings);
        host.shutdown();
    }
    Application = nullptr;
    return status;
}

} // namespace quv::host
