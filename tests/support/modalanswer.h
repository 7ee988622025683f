#pragma once

// Answers the next modal dialog from the event loop, for tests that call a
// routine which runs one (exec blocks the test until the dialog closes).
// Header-only: widgets suites include it, the support library stays free of
// Qt Widgets.

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

namespace quv::test {

/// Runs `answer` on the next modal dialog of type T once it is up. A dialog
/// the answer leaves open is closed after `giveUpMs`, so that a fault cannot
/// hang the run; the test then fails on what it checks afterwards. The
/// returned flag turns true once the answer ran.
template <class T>
std::shared_ptr<bool> answerNextModal(QObject *context, std::function<void(T *)> answer,
                                      int giveUpMs = 10000)
{
    auto answered = std::make_shared<bool>(false);
    auto dialog = std::make_shared<QPointer<QWidget>>();
    auto *poll = new QTimer(context);
    poll->setInterval(0);
    QObject::connect(poll, &QTimer::timeout, context, [poll, answer, answered, dialog] {
        auto *modal = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!modal)
            return;
        poll->stop();
        poll->deleteLater();
        *answered = true;
        *dialog = modal;
        answer(modal);
    });
    poll->start();
    // Only the dialog this answer was for is closed: a later test's dialog
    // is none of its business.
    QTimer::singleShot(giveUpMs, context, [poll = QPointer<QTimer>(poll), answered, dialog] {
        if (poll)
            poll->deleteLater();
        QWidget *left = *answered ? dialog->data() : QApplication::activeModalWidget();
        if (left && left->isVisible())
            left->close();
    });
    return answered;
}

} // namespace quv::test
