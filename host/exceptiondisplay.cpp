#include "exceptiondisplay.h"

#include "framework/app/application.h"
#include "framework/widgets/placement.h"

#include <QMessageBox>
#include <QTextStream>

#include <exception>
#include <stdexcept>

namespace quv::host {

void ExceptionDisplay::show(const QString &message, const QString &details)
{
    ++m_count;
    m_last = message;
    if (m_hook) {
        m_hook(message, details);
        return;
    }
    QTextStream err(stderr);
    err << "quv-host: " << message << Qt::endl;
    if (!details.isEmpty())
        err << "quv-host:   " << details << Qt::endl;
    // A message box runs a nested event loop; an event in it that fails again
    // must not stack boxes on top of each other, so the second one only goes
    // to stderr.
    if (m_batch || m_showing)
        return;
    m_showing = true;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("QUV"), message, QMessageBox::Ok,
                    m_parent);
    box.setObjectName(QStringLiteral("dlgException"));
    box.setTextFormat(Qt::PlainText);
    if (!details.isEmpty())
        box.setDetailedText(details);
    CentreOnScreen(&box);
    box.exec();
    m_showing = false;
}

void ExceptionDisplay::show(std::exception_ptr error)
{
    show(TApplication::ExceptionMessage(error), TApplication::ExceptionDetails(error));
}

QString describeCurrentException()
{
    try {
        throw;
    } catch (const std::exception &e) {
        const QString what = QString::fromUtf8(e.what());
        return what.isEmpty() ? QStringLiteral("Erro sem descrição.") : what;
    } catch (...) {
        return QStringLiteral("Erro desconhecido.");
    }
}

} // namespace quv::host
