#include "framework/widgets/placement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace {

// A dialog gets its final size while it is being shown (a message box sizes
// itself to its text in its own show handler), so it is centred on the show
// and again on every resize until the window system has mapped it.
class Centring : public QObject
{
public:
    static inline const QString Name = QStringLiteral("quvCentring");

    explicit Centring(QWidget *window) : QObject(window), m_window(window)
    {
        setObjectName(Name);
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_window &&
            (event->type() == QEvent::Show ||
             (event->type() == QEvent::Resize && !m_window->testAttribute(Qt::WA_Mapped))))
            centre();
        return false;
    }

private:
    void centre()
    {
        const QWidget *anchor =
            m_window->parentWidget() ? m_window->parentWidget()->window() : m_window;
        QScreen *screen = anchor->screen();
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        if (!screen)
            return;
        QRect frame = m_window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        m_window->move(frame.topLeft());
    }

    QWidget *m_window;
};

} // namespace

void CentreOnScreen(QWidget *window)
{
    if (window && !window->findChild<QObject *>(Centring::Name, Qt::FindDirectChildrenOnly))
        new Centring(window);
}
