#pragma once

// Where the host's windows go. The main window opens large enough for a
// screen at its stated bounds, or maximised when the display is too small,
// and comes back where the user left it. A child window that would be shown
// partly outside the MDI area is moved inside it first.

#include <QObject>
#include <QRect>

class QMainWindow;
class QMdiArea;
class QSettings;
class QWidget;

namespace quv::host {

/// The bounds the access-control screen states for itself inside the MDI
/// area; the main window's first size makes room for them.
inline constexpr QRect StatedScreenBounds(352, 197, 799, 472);

/// The main window's geometry when nothing is remembered: its MDI area holds
/// `bounds`, and the window is centred in `available`. A null rectangle when
/// `available` cannot hold that with a window manager's frame around it:
/// the window is then maximised. `overhead` is what the window adds around
/// its MDI area's viewport (menus, status bar, frames).
QRect startGeometry(const QRect &available, const QSize &overhead,
                    const QRect &bounds = StatedScreenBounds);

/// Shows the main window where `remembered` says it was left, else as
/// startGeometry says for `available` (the window's screen when null).
/// Without settings nothing is restored.
void showMainWindow(QMainWindow *window, QMdiArea *area, const QSettings *remembered,
                    const QRect &available = QRect());
/// Keeps the main window's geometry and state for the next run.
void rememberMainWindow(const QMainWindow *window, QSettings &settings);

/// Where a window goes to lie inside an area of `area` size: moved as little
/// as possible and never resized. One larger than the area keeps its top
/// left corner, with its title bar, in view.
QRect placedInside(const QRect &window, const QSize &area);

/// Watches the children of an MDI area: each one, when first shown in its
/// normal state, is moved by placedInside. Later moves are the user's.
class SubWindowPlacement : public QObject
{
    Q_OBJECT
public:
    /// Installs itself on the area and lives as long as it.
    explicit SubWindowPlacement(QMdiArea *area);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QMdiArea *m_area;
    QWidget *m_viewport;
};

} // namespace quv::host
