#include "framework/widgets/busy.h"

#include "framework/app/application.h"
#include "framework/data/netconnection.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

namespace {

/// A box centred on its parent holding a rotating spinner and the waiting
/// text; re-centres when the parent is resized. It is opaque and no larger
/// than the box: it is painted synchronously before every remote call, and a
/// translucent cover over the whole window made each call repaint every
/// widget of the screen (several milliseconds per grid move).
class BusyOverlay : public QWidget
{
public:
    static constexpr int Spinner = 32;

    explicit BusyOverlay(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("aviAguarde"));
        setAttribute(Qt::WA_OpaquePaintEvent);
        setFocusPolicy(Qt::NoFocus);
        parent->installEventFilter(this);
        m_timer.setInterval(80);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            m_step = (m_step + 1) % 12;
            update();
        });
        // Never takes the focus: the screen's focus handlers must not run
        // because a call was slow.
        m_cancel = new QPushButton(QStringLiteral("Cancelar"), this);
        m_cancel->setObjectName(QStringLiteral("btnCancelar"));
        m_cancel->setFocusPolicy(Qt::NoFocus);
        m_cancel->setToolTip(QStringLiteral("Desiste de esperar pelo servidor (Esc)"));
        m_cancel->hide();
        fit();
    }

    void start()
    {
        centre();
        show();
        raise();
        m_timer.start();
    }

    /// Shows the Cancelar button, which runs `cancel`.
    void offerCancel(std::function<void()> cancel)
    {
        m_onCancel = std::move(cancel);
        QObject::disconnect(m_cancel, nullptr, this, nullptr);
        QObject::connect(m_cancel, &QPushButton::clicked, this, [this] {
            if (m_onCancel)
                m_onCancel();
        });
        m_cancel->show();
        fit();
        raise();
    }

    void withdrawCancel()
    {
        m_onCancel = nullptr;
        m_cancel->hide();
        fit();
    }

    bool cancelOffered() const { return m_cancel->isVisible() && m_onCancel; }
    void cancel()
    {
        if (m_onCancel)
            m_onCancel();
    }

    QString text() const { return QStringLiteral("Aguarde..."); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == parentWidget() && event->type() == QEvent::Resize)
            centre();
        return QWidget::eventFilter(watched, event);
    }

    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), palette().color(QPalette::Window));
        p.setPen(palette().color(QPalette::Mid));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
        p.setRenderHint(QPainter::Antialiasing);

        const QPointF centre(width() / 2.0, 14 + Spinner / 2.0);
        const QColor ink = palette().color(QPalette::Highlight);
        for (int i = 0; i < 12; ++i) {
            QColor c = ink;
            c.setAlphaF(0.15f + 0.85f * float((i + 12 - m_step) % 12) / 11.0f);
            p.save();
            p.translate(centre);
            p.rotate(i * 30.0);
            p.setPen(QPen(c, 3, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(0, -Spinner / 2.0 + 2), QPointF(0, -Spinner / 4.0));
            p.restore();
        }
        p.setPen(palette().color(QPalette::WindowText));
        const QFontMetrics fm(font());
        p.drawText(QRect(0, 20 + Spinner, width(), fm.height() + 8), Qt::AlignCenter, text());
    }

private:
    // The box holds the spinner and the text, and the button below them
    // while it is offered.
    void fit()
    {
        const QFontMetrics fm(font());
        const int textBottom = Spinner + fm.height() + 36;
        const QSize button = m_cancel->sizeHint();
        const int w = qMax(fm.horizontalAdvance(text()) + 40, Spinner + 40);
        if (m_cancel->isVisible()) {
            resize(qMax(w, button.width() + 24), textBottom + button.height() + 10);
            m_cancel->setGeometry((width() - button.width()) / 2, textBottom, button.width(),
                                  button.height());
        } else {
            resize(w, textBottom);
        }
        centre();
    }

    void centre()
    {
        const QRect area = parentWidget()->rect();
        move(area.center().x() - width() / 2, area.center().y() - height() / 2);
    }

    QTimer m_timer;
    int m_step = 0;
    QPushButton *m_cancel;
    std::function<void()> m_onCancel;
};

QPointer<BusyOverlay> g_overlay;

// While a remote call waits, the window system is served but the user's
// input is not: a click or a key would start a second call inside the first,
// and closing a window would pull the screen from under it. Only the busy box
// (its Cancelar button) takes input, and Esc cancels once Cancelar shows.
class InputBlock : public QObject
{
public:
    static constexpr int CancelAfterMs = 1000;

    explicit InputBlock(QObject *application) : QObject(application)
    {
        m_offer.setSingleShot(true);
        m_offer.setInterval(CancelAfterMs);
        QObject::connect(&m_offer, &QTimer::timeout, this, [this] { offer(); });
    }

    void start(TNetConnection &connection)
    {
        m_connection = &connection;
        qApp->installEventFilter(this);
        m_offer.start();
    }

    void finish()
    {
        m_offer.stop();
        qApp->removeEventFilter(this);
        m_connection = nullptr;
        if (g_overlay)
            g_overlay->withdrawCancel();
        if (m_ownOverlay) {
            m_ownOverlay = false;
            DeactiveShowAvi();
        }
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::KeyPress:
            if (static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape && g_overlay &&
                g_overlay->cancelOffered()) {
                g_overlay->cancel();
                return true;
            }
            return !onOverlay(watched);
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::TabletMove:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
        case QEvent::InputMethod:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
            return !onOverlay(watched);
        case QEvent::Close:
            // The window system asking a window to close; the program's own
            // closes do not happen while a call waits.
            if (event->spontaneous()) {
                event->ignore();
                return true;
            }
            return false;
        default:
            return false;
        }
    }

private:
    static bool onOverlay(QObject *watched)
    {
        auto *widget = qobject_cast<QWidget *>(watched);
        return widget && g_overlay && (widget == g_overlay || g_overlay->isAncestorOf(widget));
    }

    void offer()
    {
        if (!m_connection)
            return;
        if (!g_overlay) {
            ActiveShowAvi(nullptr, 1);
            m_ownOverlay = g_overlay != nullptr;
        }
        if (g_overlay) {
            QPointer<TNetConnection> connection = m_connection;
            g_overlay->offerCancel([connection] {
                if (connection)
                    connection->Cancel();
            });
        }
    }

    QTimer m_offer;
    QPointer<TNetConnection> m_connection;
    bool m_ownOverlay = false;
};

// Takes part in every call's wait in a widget application; in a console
// program (the tools, the connection's own tests) a call just waits.
class CallWait final : public TNetConnection::WaitObserver
{
public:
    void waitStarted(TNetConnection &connection) override
    {
        auto *application = qobject_cast<QApplication *>(QCoreApplication::instance());
        if (!application || m_waiting)
            return;
        // Owned by the application object, so it goes with it.
        if (!m_block || m_block->parent() != application)
            m_block = new InputBlock(application);
        m_waiting = &connection;
        m_block->start(connection);
    }

    void waitFinished(TNetConnection &connection) override
    {
        if (m_waiting != &connection)
            return;
        m_waiting = nullptr;
        if (m_block)
            m_block->finish();
    }

private:
    QPointer<InputBlock> m_block;
    TNetConnection *m_waiting = nullptr;
};

CallWait g_callWait;
const bool g_callWaitRegistered = (TNetConnection::setWaitObserver(&g_callWait), true);

} // namespace

void ActiveShowAvi(QWidget *form, int kind)
{
    Q_UNUSED(kind); // every kind shows the same spinner
    QWidget *host = form ? form : Application->MainForm();
    if (!host)
        return;
    if (g_overlay && g_overlay->parentWidget() != host) {
        delete g_overlay.data();
    }
    if (!g_overlay)
        g_overlay = new BusyOverlay(host);
    g_overlay->start();
    // The caller is about to block on a synchronous call: paint now, not
    // when the loop would next get to it.
    g_overlay->repaint();
}

void DeactiveShowAvi()
{
    if (!g_overlay)
        return;
    // Deleted rather than hidden: the next call may cover another window.
    delete g_overlay.data();
}

bool ShowAviActive()
{
    return !g_overlay.isNull();
}

QWidget *ShowAviWidget()
{
    return g_overlay.data();
}
