#pragma once

// The busy indicator shown while the user-interface thread waits on a
// synchronous call. Plain on/off: showing twice shows one, hiding when not
// shown does nothing.

class QWidget;

/// Covers form (the main window when null) with a spinner and "Aguarde...",
/// painted at once because the caller is about to block.
void ActiveShowAvi(QWidget *form, int kind);
void DeactiveShowAvi();
bool ShowAviActive();
/// The overlay widget while shown, else nullptr.
QWidget *ShowAviWidget();
