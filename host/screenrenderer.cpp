#include "screenrenderer.h"

#include "hostconfig.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMouseEvent>
#include <QPixmap>
#include <QSaveFile>
#include <QTabBar>
#include <QTabWidget>
#include <QThread>

#include <algorithm>

namespace quv::host {

namespace {

void settle()
{
    // Layouts and deferred updates need a few rounds to reach their final
    // geometry; a fixed small count is enough on the offscreen platform.
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

QMdiSubWindow *visibleScreenWindow(QMdiArea *area)
{
    QMdiSubWindow *active = area->activeSubWindow();
    if (active && active->isVisible() && active->widget())
        return active;
    const QList<QMdiSubWindow *> windows = area->subWindowList(QMdiArea::StackingOrder);
    for (auto it = windows.crbegin(); it != windows.crend(); ++it)
        if ((*it)->isVisible() && (*it)->widget())
            return *it;
    return nullptr;
}

void clickTab(QTabBar *bar, int index)
{
    const QPointF pos = bar->tabRect(index).center();
    const QPointF global = bar->mapToGlobal(pos);
    QMouseEvent press(QEvent::MouseButtonPress, pos, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(bar, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, pos, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(bar, &release);
}

QString save(const QImage &image, const QString &path)
{
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return QStringLiteral("Não foi possível gravar %1: %2").arg(path, out.errorString());
    if (!image.save(&out, "PNG"))
        return QStringLiteral("Não foi possível gravar %1: falha ao codificar PNG.").arg(path);
    if (!out.commit())
        return QStringLiteral("Não foi possível gravar %1: %2").arg(path, out.errorString());
    return {};
}

} // namespace

QMdiSubWindow *waitForScreenWindow(QMdiArea *area, int timeoutMs)
{
    // The entry point opens its window before it returns; a short grace
    // covers a window that is shown from a queued event. Only a window that
    // exists but is not shown yet is worth the whole wait.
    constexpr int NoWindowGraceMs = 1000;
    QDeadlineTimer deadline(timeoutMs);
    QDeadlineTimer grace(std::min(timeoutMs, NoWindowGraceMs));
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (QMdiSubWindow *w = visibleScreenWindow(area); w && !w->size().isEmpty()) {
            settle();
            return w;
        }
        if (deadline.hasExpired() || (grace.hasExpired() && area->subWindowList().isEmpty()))
            return nullptr;
        QThread::msleep(10);
    }
}

QString renderScreen(QMdiArea *area, const QString &file, int timeoutMs, const QSize &maximized)
{
    QMdiSubWindow *window = waitForScreenWindow(area, timeoutMs);
    if (!window)
        return QStringLiteral("A tela não apareceu na área de janelas em %1 ms.").arg(timeoutMs);
    QWidget *shown = window;
    if (maximized.isValid()) {
        // A display of that size without panels, the host filling it.
        shown = area->window();
        shown->setGeometry(QRect(QPoint(), maximized));
        window->showMaximized();
        settle();
    }

    QList<std::pair<QString, QImage>> images;
    images.append({file, shown->grab().toImage()});

    auto *pages = window->widget()->findChild<QTabWidget *>(QStringLiteral("pgcPadrao"));
    if (!pages)
        return QStringLiteral("A tela %1 não tem o controle de páginas pgcPadrao.")
            .arg(window->widget()->objectName());
    if (pages->count() < 2)
        return QStringLiteral("O controle de páginas da tela tem %1 página(s); esperadas 2.")
            .arg(pages->count());

    for (int page = 0; page < 2; ++page) {
        if (pages->currentIndex() != page) {
            clickTab(pages->tabBar(), page);
            // A page control whose tabs cannot be clicked (hidden tab bar)
            // still has to be shown page by page.
            if (pages->currentIndex() != page)
                pages->setCurrentIndex(page);
        }
        settle();
        if (pages->currentIndex() != page)
            return QStringLiteral("Não foi possível mostrar a página %1 da tela.").arg(page + 1);
        images.append({pageImagePath(file, page + 1), shown->grab().toImage()});
    }

    for (const auto &[path, image] : std::as_const(images)) {
        if (image.isNull())
            return QStringLiteral("A imagem de %1 ficou vazia.").arg(path);
        const QString message = save(image, path);
        if (!message.isEmpty())
            return message;
    }
    return {};
}

} // namespace quv::host
