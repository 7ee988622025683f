#include "framework/busy.h"

#include "framework/application.h"

#include <QEvent>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace {

/// Covers its parent: a dimmed backdrop with a box holding a rotating
/// spinner and the waiting text. Follows the parent's size.
class BusyOverlay : public QWidget
{
public:
    explicit BusyOverlay(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("aviAguarde"));
        setAttribute(Qt::WA_NoSystemBackground);
        // The user interface is waiting on a call: clicks must not reach the
        // widgets underneath meanwhile.
        setAttribute(Qt::WA_TransparentForMouseEvents, false);
        setFocusPolicy(Qt::NoFocus);
        parent->installEventFilter(this);
        m_timer.setInterval(80);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            m_step = (m_step + 1) % 12;
            update();
        });
        setGeometry(parent->rect());
    }

    void start()
    {
        setGeometry(parentWidget()->rect());
        show();
        raise();
        m_timer.start();
    }

    QString text() const { return QStringLiteral("Aguarde..."); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == parentWidget() && event->type() == QEvent::Resize)
            setGeometry(parentWidget()->rect());
        return QWidget::eventFilter(watched, event);
    }

    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillRect(rect(), QColor(0, 0, 0, 60));
        const QFontMetrics fm(font());
        const int spinner = 32;
        const int boxWidth = qMax(fm.horizontalAdvance(text()) + 40, spinner + 40);
        const int boxHeight = spinner + fm.height() + 36;
        const QRect box(rect().center().x() - boxWidth / 2, rect().center().y() - boxHeight / 2,
                        boxWidth, boxHeight);
        p.setPen(palette().color(QPalette::Mid));
        p.setBrush(palette().color(QPalette::Window));
        p.drawRoundedRect(box, 6, 6);

        const QPointF centre(box.center().x() + 0.5, box.top() + 14 + spinner / 2.0);
        const QColor ink = palette().color(QPalette::Highlight);
        for (int i = 0; i < 12; ++i) {
            QColor c = ink;
            c.setAlphaF(0.15f + 0.85f * float((i + 12 - m_step) % 12) / 11.0f);
            p.save();
            p.translate(centre);
            p.rotate(i * 30.0);
            p.setPen(QPen(c, 3, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(0, -spinner / 2.0 + 2), QPointF(0, -spinner / 4.0));
            p.restore();
        }
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(QRect(box.left(), box.top() + 20 + spinner, box.width(), fm.height() + 8),
                   Qt::AlignCenter, text());
    }

private:
    QTimer m_timer;
    int m_step = 0;
};

QPointer<BusyOverlay> g_overlay;

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
    // The caller is about to block the event loop on a synchronous call:
    // paint now, not when the loop would next get to it.
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
