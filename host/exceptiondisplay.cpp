#include "exceptiondisplay.h"

#include <QMessageBox>
#include <QTextStream>

#include <exception>
#include <stdexcept>

namespace quv::host {

void ExceptionDisplay::show(const QString &message)
{
    ++m_count;
    m_last = message;
    if (m_hook) {
        m_hook(message);
        return;
    }
    // A message box runs a nested event loop; an event in it that fails again
    // must not stack boxes on top of each other, so the second one goes to
    // stderr.
    if (m_batch || m_showing) {
        QTextStream(stderr) << "quv-host: " << message << Qt::endl;
        return;
    }
    m_showing = true;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("QUV"), message, QMessageBox::Ok,
                    m_parent);
    box.setObjectName(QStringLiteral("dlgException"));
    box.setTextFormat(Qt::PlainText);
    box.exec();
    m_showing = false;
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
