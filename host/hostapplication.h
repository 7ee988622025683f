#pragma once

// The host's application object. Screens catch their own handler exceptions
// at the framework's edge; this is the last resort for anything that still
// escapes an event, so that it is shown instead of ending the process.

#include "exceptiondisplay.h"

#include <QApplication>

namespace quv::host {

class HostApplication : public QApplication
{
    Q_OBJECT
public:
    HostApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    ExceptionDisplay &exceptionDisplay() { return m_display; }

    static HostApplication *instance();

private:
    ExceptionDisplay m_display;
};

} // namespace quv::host
