#include "windowplacement.h"

#include <QChildEvent>
#include <QLayout>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScreen>
#include <QSettings>

namespace quv::host {

namespace {

const QString GeometryKey = QStringLiteral("mainWindow/geometry");

// Room for a window manager's title bar and borders, which are not known
// before the window is mapped.
constexpr QMargins DecorationAllowance(8, 32, 8, 8);

} // namespace

QRect startGeometry(const QRect &available, const QSize &overhead, const QRect &bounds)
{
    const QSize size(bounds.right() + 1 + overhead.width(),
                     bounds.bottom() + 1 + overhead.height());
    const QSize decorated = size.grownBy(DecorationAllowance);
    if (decorated.width() > available.width() || decorated.height() > available.height())
        return {};
    QRect geometry(QPoint(), size);
    geometry.moveCenter(available.center());
    return geometry;
}

void showMainWindow(QMainWindow *window, QMdiArea *area, const QSettings *remembered,
                    const QRect &available)
{
    if (remembered && window->restoreGeometry(remembered->value(GeometryKey).toByteArray())) {
        window->show();
        return;
    }
    // Lay the hidden window out once to learn what it puts around the area.
    window->ensurePolished();
    window->layout()->activate();
    const QSize overhead = window->size() - area->contentsRect().size();
    const QRect screen = available.isNull() ? window->screen()->availableGeometry() : available;
    const QRect geometry = startGeometry(screen, overhead);
    if (geometry.isNull()) {
        // Where it goes when the user restores it, or stays when nothing
        // maximises windows (no window manager).
        window->setGeometry(screen.marginsRemoved(DecorationAllowance));
        window->showMaximized();
        return;
    }
    window->setGeometry(geometry);
    window->show();
}

void rememberMainWindow(const QMainWindow *window, QSettings &settings)
{
    settings.setValue(GeometryKey, window->saveGeometry());
    settings.sync();
}

QRect placedInside(const QRect &window, const QSize &area)
{
    QRect placed = window;
    placed.moveLeft(qBound(0, window.left(), qMax(0, area.width() - window.width())));
    placed.moveTop(qBound(0, window.top(), qMax(0, area.height() - window.height())));
    return placed;
}

SubWindowPlacement::SubWindowPlacement(QMdiArea *area)
    : QObject(area), m_area(area), m_viewport(area->viewport())
{
    m_viewport->installEventFilter(this);
}

bool SubWindowPlacement::eventFilter(QObject *watched, QEvent *event)
{
    // Compared by the pointer kept: while the area is being destroyed it is
    // no longer a scroll area to ask for its viewport.
    if (watched == m_viewport) {
        // The child is still being constructed here; what it is shows when
        // it is shown.
        if (event->type() == QEvent::ChildAdded)
            static_cast<QChildEvent *>(event)->child()->installEventFilter(this);
        return false;
    }
    if (event->type() != QEvent::Show)
        return false;
    watched->removeEventFilter(this);
    auto *window = qobject_cast<QMdiSubWindow *>(watched);
    // A hidden area has no size yet to place anything in.
    if (!window || !m_area->isVisible() || window->isMaximized() || window->isMinimized())
        return false;
    const QRect placed = placedInside(window->geometry(), m_area->viewport()->size());
    if (placed != window->geometry())
        window->move(placed.topLeft());
    return false;
}

} // namespace quv::host
