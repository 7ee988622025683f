#include "framework/app/application.h"

#include "contracts/hostservices.h"
#include "framework/app/halvern.h"
#include "framework/data/dataset.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QWidget>

#include <cstdio>

TApplication::TApplication(QObject *parent) : QObject(parent)
{
    setObjectName(QStringLiteral("Application"));
}

TApplication::~TApplication()
{
    delete m_fallbackMainForm.data();
}

QWidget *TApplication::MainForm() const
{
    if (quv::IHostServices *host = Halvern::host())
        if (QWidget *main = host->mainForm())
            return main;
    if (!m_fallbackMainForm) {
        // Without a host (tests, tools) dialogs and the busy indicator still
        // need a window to belong to; it is never shown by the framework.
        m_fallbackMainForm = new QWidget;
        m_fallbackMainForm->setObjectName(QStringLiteral("frmPrincipal"));
        m_fallbackMainForm->resize(800, 600);
    }
    return m_fallbackMainForm;
}

QString TApplication::ExceptionMessage(std::exception_ptr error)
{
    if (!error)
        return QStringLiteral("Erro desconhecido");
    try {
        std::rethrow_exception(error);
    } catch (const Exception &e) {
        return e.Message();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Erro desconhecido");
    }
}

QString TApplication::ExceptionDetails(std::exception_ptr error)
{
    if (!error)
        return {};
    try {
        std::rethrow_exception(error);
    } catch (const Exception &e) {
        return e.Details();
    } catch (...) {
        return {};
    }
}

void TApplication::HandleException(std::exception_ptr error) noexcept
{
    try {
        const QString message = ExceptionMessage(error);
        if (m_hook) {
            m_hook(message);
            return;
        }
        const QString details = ExceptionDetails(error);
        if (quv::IHostServices *host = Halvern::host()) {
            host->showException(message, details);
            return;
        }
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        if (!details.isEmpty())
            std::fprintf(stderr, "  %s\n", details.toLocal8Bit().constData());
    } catch (...) {
        // The display itself failed; there is nowhere left to report to but
        // the log, and throwing from here would cross the event loop.
        std::fputs("Falha ao exibir uma exceção\n", stderr);
    }
}

void TApplication::setExceptionHook(std::function<void(const QString &)> hook)
{
    m_hook = std::move(hook);
}

void TApplication::ProcessMessages()
{
    QCoreApplication::processEvents();
}

QMdiSubWindow *TApplication::AdoptForm(QWidget *form)
{
    quv::IHostServices *host = Halvern::host();
    QMdiArea *area = host ? host->mdiArea() : nullptr;
    if (!area)
        return nullptr;
    QMdiSubWindow *sub = area->addSubWindow(form);
    // The screen decides on close whether it is disposed of; Qt must not
    // delete it behind the close handler's back.
    sub->setAttribute(Qt::WA_DeleteOnClose, false);
    form->setAttribute(Qt::WA_DeleteOnClose, false);
    return sub;
}

void TApplication::DiscardForm(QWidget *form)
{
    if (!form)
        return;
    if (auto *sub = qobject_cast<QMdiSubWindow *>(form->parentWidget())) {
        if (QMdiArea *area = sub->mdiArea())
            area->removeSubWindow(sub);
        delete sub;
        return;
    }
    delete form;
}

// --- the global application object

namespace {
TApplication *g_lazyApplication = nullptr;

void releaseLazyApplication()
{
    // Runs while QApplication is being destroyed, before its widgets go: the
    // fallback main window must be deleted while widgets still can be.
    if (g_lazyApplication) {
        TApplication *app = g_lazyApplication;
        g_lazyApplication = nullptr;
        Application = nullptr;
        delete app;
    }
}
} // namespace

TApplicationRef Application;

TApplication *TApplicationRef::get() const
{
    if (!m_app) {
        m_app = new TApplication;
        g_lazyApplication = m_app;
        if (QCoreApplication::instance())
            qAddPostRoutine(releaseLazyApplication);
    }
    return m_app;
}

TApplicationRef &TApplicationRef::operator=(TApplication *application)
{
    if (m_app == application)
        return *this;
    if (m_app && m_app == g_lazyApplication) {
        g_lazyApplication = nullptr;
        delete m_app;
    }
    m_app = application;
    return *this;
}

// --- screen cursor

namespace {
TScreen g_screen;
} // namespace

TScreen *Screen = &g_screen;

void TScreen::setCursor(TCursor cursor)
{
    if (cursor != crDefault && cursor != crHourGlass)
        throw Exception(QStringLiteral("Cursor desconhecido: %1").arg(int(cursor)));
    const bool gui = qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
    if (cursor == crHourGlass) {
        if (m_overrides == 0 && gui) {
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            ++m_overrides;
        }
    } else {
        while (m_overrides > 0) {
            if (gui)
                QGuiApplication::restoreOverrideCursor();
            --m_overrides;
        }
    }
    m_cursor = cursor;
}

// --- keys

quint16 VirtualKeyCode(int key)
{
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9))
        return quint16(key);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return quint16(VK_F1 + (key - Qt::Key_F1));
    switch (key) {
    case Qt::Key_Backspace:
        return VK_BACK;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return VK_TAB;
    case Qt::Key_Clear:
        return 12;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return VK_RETURN;
    case Qt::Key_Shift:
        return VK_SHIFT;
    case Qt::Key_Control:
        return VK_CONTROL;
    case Qt::Key_Alt:
        return VK_MENU;
    case Qt::Key_Pause:
        return 19;
    case Qt::Key_CapsLock:
        return 20;
    case Qt::Key_Escape:
        return VK_ESCAPE;
    case Qt::Key_Space:
        return VK_SPACE;
    case Qt::Key_PageUp:
        return VK_PRIOR;
    case Qt::Key_PageDown:
        return VK_NEXT;
    case Qt::Key_End:
        return VK_END;
    case Qt::Key_Home:
        return VK_HOME;
    case Qt::Key_Left:
        return VK_LEFT;
    case Qt::Key_Up:
        return VK_UP;
    case Qt::Key_Right:
        return VK_RIGHT;
    case Qt::Key_Down:
        return VK_DOWN;
    case Qt::Key_Print:
        return 44;
    case Qt::Key_Insert:
        return VK_INSERT;
    case Qt::Key_Delete:
        return VK_DELETE;
    case Qt::Key_Meta:
        return 91;
    case Qt::Key_Menu:
        return 93;
    case Qt::Key_NumLock:
        return 144;
    case Qt::Key_ScrollLock:
        return 145;
    // Shifted digits of a US keyboard report the digit's key.
    case Qt::Key_ParenRight:
        return '0';
    case Qt::Key_Exclam:
        return '1';
    case Qt::Key_At:
        return '2';
    case Qt::Key_NumberSign:
        return '3';
    case Qt::Key_Dollar:
        return '4';
    case Qt::Key_Percent:
        return '5';
    case Qt::Key_AsciiCircum:
        return '6';
    case Qt::Key_Ampersand:
        return '7';
    case Qt::Key_Asterisk:
        return '8';
    case Qt::Key_ParenLeft:
        return '9';
    case Qt::Key_Semicolon:
    case Qt::Key_Colon:
        return 186;
    case Qt::Key_Equal:
    case Qt::Key_Plus:
        return 187;
    case Qt::Key_Comma:
    case Qt::Key_Less:
        return 188;
    case Qt::Key_Minus:
    case Qt::Key_Underscore:
        return 189;
    case Qt::Key_Period:
    case Qt::Key_Greater:
        return 190;
    case Qt::Key_Slash:
    case Qt::Key_Question:
        return 191;
    case Qt::Key_QuoteLeft:
    case Qt::Key_AsciiTilde:
        return 192;
    case Qt::Key_BracketLeft:
    case Qt::Key_BraceLeft:
        return 219;
    case Qt::Key_Backslash:
    case Qt::Key_Bar:
        return 220;
    case Qt::Key_BracketRight:
    case Qt::Key_BraceRight:
        return 221;
    case Qt::Key_Apostrophe:
    case Qt::Key_QuoteDbl:
        return 222;
    default:
        return 0;
    }
}

quint16 VirtualKeyCode(const QKeyEvent &event)
{
    const int key = event.key();
    if (event.modifiers() & Qt::KeypadModifier) {
        if (key >= Qt::Key_0 && key <= Qt::Key_9)
            return quint16(96 + (key - Qt::Key_0));
        switch (key) {
        case Qt::Key_Asterisk:
            return 106;
        case Qt::Key_Plus:
            return 107;
        case Qt::Key_Minus:
            return 109;
        case Qt::Key_Period:
        case Qt::Key_Comma:
            return 110;
        case Qt::Key_Slash:
            return 111;
        default:
            break;
        }
    }
    return VirtualKeyCode(key);
}

TShiftState ShiftStateOf(Qt::KeyboardModifiers modifiers)
{
    TShiftState state;
    if (modifiers & Qt::ShiftModifier)
        state |= ssShift;
    if (modifiers & Qt::AltModifier)
        state |= ssAlt;
    if (modifiers & Qt::ControlModifier)
        state |= ssCtrl;
    return state;
}
