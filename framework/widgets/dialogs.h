#pragma once

// The framework's modal message dialogs.

#include <QFlags>
#include <QString>

enum TMsgDlgType
{
    mtWarning,
    mtError,
    mtInformation,
    mtConfirmation,
    mtCustom
};

enum TMsgDlgBtn
{
    mbYes = 0x1,
    mbNo = 0x2,
    mbOK = 0x4,
    mbCancel = 0x8
};
Q_DECLARE_FLAGS(TMsgDlgButtons, TMsgDlgBtn)
Q_DECLARE_OPERATORS_FOR_FLAGS(TMsgDlgButtons)

inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrYes = 6;
inline constexpr int mrNo = 7;

/// A modal message box parented on Application->MainForm(); returns mrYes,
/// mrNo, mrOk or mrCancel for the button pressed (closing the box counts as
/// No or Cancel when offered). The buttons are named btnYes, btnNo, btnOk and
/// btnCancel. A line break written "\r\n" shows as one break. Raises Exception
/// when no button is asked for.
int MessageDlg(const QString &msg, TMsgDlgType type, TMsgDlgButtons buttons, int helpCtx);

/// A failure the user may try again: a critical message box with the
/// message, the details behind "Mostrar detalhes", and the buttons "Tentar
/// novamente" (btnRetry) and "Cancelar" (btnCancel). True for a retry;
/// closing the box counts as Cancelar.
bool RetryDlg(const QString &message, const QString &details);
