#pragma once

// Where the framework's dialogs and message boxes appear.

class QWidget;

/// Centres the window on the screen it belongs to (the screen of its
/// parent's window, else its own) every time it is shown, after it has
/// taken its final size. The user may move or resize it afterwards.
void CentreOnScreen(QWidget *window);
