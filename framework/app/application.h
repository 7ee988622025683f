#pragma once

// The application object of the framework: creates screens inside the host's
// multi-document area, and is the one place where exceptions that leave an
// event handler are turned into a message for the user.

#include <QFlags>
#include <QObject>
#include <QPointer>
#include <QString>

#include <exception>
#include <functional>
#include <utility>

class QKeyEvent;
class QMdiSubWindow;
class QWidget;

enum TCloseAction
{
    caNone,
    caHide,
    caFree,
    caMinimize
};
enum TWindowState
{
    wsNormal,
    wsMinimized,
    wsMaximized
};

class TApplication : public QObject
{
    Q_OBJECT
public:
    explicit TApplication(QObject *parent = nullptr);
    ~TApplication() override;

    /// The host's main window; without a host, a hidden top-level widget of
    /// the framework (so dialogs and the busy indicator always have a parent).
    QWidget *MainForm() const;

    /// Creates a screen: `new T(nullptr)`, stored in `reference` before its
    /// creation handler runs, placed as a child window of the host's MDI area
    /// (a top-level window without a host), then `DoCreate()`. When DoCreate
    /// throws, the screen and its window are destroyed, `reference` becomes
    /// nullptr and the exception goes on to the caller.
    template <class T> void CreateForm(T *&reference)
    {
        reference = new T(nullptr);
        AdoptForm(reference);
        try {
            reference->DoCreate();
        } catch (...) {
            T *failed = reference;
            reference = nullptr;
            DiscardForm(failed);
            throw;
        }
    }

    /// Shows the message of the exception through the host (or the hook set
    /// for tests). Never throws.
    void HandleException(std::exception_ptr error) noexcept;
    /// Replaces the host's display of exceptions; an empty function restores it.
    void setExceptionHook(std::function<void(const QString &)> hook);

    /// Runs f; any exception it throws goes to HandleException. Used wherever
    /// a Qt event enters framework code, so that no exception crosses Qt.
    template <class F> void Guard(F &&f) noexcept
    {
        try {
            std::forward<F>(f)();
        } catch (...) {
            HandleException(std::current_exception());
        }
    }

    void ProcessMessages();

    /// The text shown for an exception: the framework's and std exceptions
    /// give their message; anything else a generic text.
    static QString ExceptionMessage(std::exception_ptr error);
    /// The technical detail behind that text (Exception::Details), if any.
    static QString ExceptionDetails(std::exception_ptr error);

    /// Puts a freshly created screen into the host's MDI area (returns its
    /// sub-window) or makes it a top-level window (returns nullptr).
    QMdiSubWindow *AdoptForm(QWidget *form);
    /// Destroys a screen and its sub-window at once.
    void DiscardForm(QWidget *form);

private:
    std::function<void(const QString &)> m_hook;
    mutable QPointer<QWidget> m_fallbackMainForm;
};

/// The application object, created on first use (or installed by the host
/// with `Application = new TApplication`).
class TApplicationRef
{
public:
    constexpr TApplicationRef() = default;
    TApplication *get() const;
    TApplication *operator->() const { return get(); }
    operator TApplication *() const { return get(); }
    TApplicationRef &operator=(TApplication *application);

private:
    mutable TApplication *m_app = nullptr;
};
extern TApplicationRef Application;

// --- screen cursor

enum TCursor : int
{
    crDefault = 0,
    crHourGlass = -11
};

class TScreen
{
public:
    TCursor Cursor() const { return m_cursor; }
    /// crHourGlass sets one wait override cursor (a second call adds none);
    /// crDefault removes every override this object set.
    void setCursor(TCursor cursor);

private:
    TCursor m_cursor = crDefault;
    int m_overrides = 0;
};
extern TScreen *Screen;

// --- keys

enum TShiftFlag
{
    ssShift = 0x1,
    ssAlt = 0x2,
    ssCtrl = 0x4
};
Q_DECLARE_FLAGS(TShiftState, TShiftFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TShiftState)

inline constexpr quint16 VK_BACK = 8;
inline constexpr quint16 VK_TAB = 9;
inline constexpr quint16 VK_RETURN = 13;
inline constexpr quint16 VK_SHIFT = 16;
inline constexpr quint16 VK_CONTROL = 17;
inline constexpr quint16 VK_MENU = 18;
inline constexpr quint16 VK_ESCAPE = 27;
inline constexpr quint16 VK_SPACE = 32;
inline constexpr quint16 VK_PRIOR = 33;
inline constexpr quint16 VK_NEXT = 34;
inline constexpr quint16 VK_END = 35;
inline constexpr quint16 VK_HOME = 36;
inline constexpr quint16 VK_LEFT = 37;
inline constexpr quint16 VK_UP = 38;
inline constexpr quint16 VK_RIGHT = 39;
inline constexpr quint16 VK_DOWN = 40;
inline constexpr quint16 VK_INSERT = 45;
inline constexpr quint16 VK_DELETE = 46;
inline constexpr quint16 VK_F1 = 112;
inline constexpr quint16 VK_F5 = 116;
inline constexpr quint16 VK_F9 = 120;
inline constexpr quint16 VK_F12 = 123;

/// The 16-bit virtual key code of a Qt key event: letters and digits as their
/// upper-case ASCII code, F1..F12 as 112..123, arrows 37..40, and so on;
/// 0 for keys that have no code.
quint16 VirtualKeyCode(const QKeyEvent &event);
quint16 VirtualKeyCode(int qtKey);
TShiftState ShiftStateOf(Qt::KeyboardModifiers modifiers);
