#include "hostapplication.h"

#include "framework/app/application.h"

#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace quv::host {

HostApplication::HostApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("quv-host"));
    setOrganizationName(QStringLiteral("QUV"));
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/quv/icons/quv-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    // Qt's own texts (the message box's "Mostrar detalhes...", standard
    // buttons, context menus) in the user's language; without the file they
    // stay in English and nothing else changes.
    auto *translator = new QTranslator(this);
    if (translator->load(QLocale(QLocale::Portuguese, QLocale::Brazil), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        installTranslator(translator);
}

bool HostApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        // Letting it go on would unwind through Qt's event loop, which is not
        // exception safe.
        m_display.show(describeCurrentException(),
                       TApplication::ExceptionDetails(std::current_exception()));
    }
    return false;
}

HostApplication *HostApplication::instance()
{
    return qobject_cast<HostApplication *>(QCoreApplication::instance());
}

} // namespace quv::host
