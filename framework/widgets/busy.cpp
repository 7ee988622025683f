#include "framework/widgets/busy.h"

#include "framework/app/application.h"

#include <QEvent>
#include <QPainter>
#include <QPointer>
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
        const QFontMetrics fm(font());
        resize(qMax(fm.horizontalAdvance(text()) + 40, Spinner + 40), Spinner + fm.height() + 36);
        centre();
    }

    void start()
    {
        centre();
        show();
        raise();
        m_timer.start();
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
    void centre()
    {
        const QRect area = parentWidget()->rect();
        move(area.center().x() - width() / 2, area.center().y() - height() / 2);
    }

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
