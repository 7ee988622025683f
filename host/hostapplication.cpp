#include "hostapplication.h"

namespace quv::host {

HostApplication::HostApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("quv-host"));
    setOrganizationName(QStringLiteral("QUV"));
}

bool HostApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        // Letting it go on would unwind through Qt's event loop, which is not
        // exception safe.
        m_display.show(describeCurrentException());
    }
    return false;
}

HostApplication *HostApplication::instance()
{
    return qobject_cast<HostApplication *>(QCoreApplication::instance());
}

} // namespace quv::host
