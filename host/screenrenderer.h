#pragma once

// Renders an open screen to PNG files without a display (offscreen
// platform): the screen's window, then each of its pages.

#include <QSize>
#include <QString>

class QMdiArea;
class QMdiSubWindow;

namespace quv::host {

/// Waits (processing events) until `area` has a visible child window with a
/// laid-out screen in it, at most `timeoutMs`. Returns it, or nullptr.
QMdiSubWindow *waitForScreenWindow(QMdiArea *area, int timeoutMs);

/// Renders the active screen window of `area` to `file`, and each of the
/// first two pages of its page control "pgcPadrao" (switched as a user would,
/// with a click on the tab) to pageImagePath(file, 1) and (file, 2). Every
/// image is rendered before any file is written. With a `maximized` size the
/// images show the whole main window at that size with the screen maximised
/// in it. Returns an empty string on success, else what went wrong.
QString renderScreen(QMdiArea *area, const QString &file, int timeoutMs = 15000,
                     const QSize &maximized = QSize());

} // namespace quv::host
