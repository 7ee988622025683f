#pragma once

// The one place where errors reach the user. Everything that fails in the
// host, in a package or in a screen's event handler ends up here: as a
// critical message box on the main window in normal runs, on stderr in batch
// runs (--render-png, --quit-after-open) where nobody could close a box, and
// in a hook in tests. The message is the user's text; the technical details
// go behind the box's "Mostrar detalhes" and, always, to stderr.

#include <QPointer>
#include <QString>
#include <QWidget>

#include <exception>
#include <functional>

namespace quv::host {

class ExceptionDisplay
{
public:
    using Hook = std::function<void(const QString &message, const QString &details)>;

    void setParentWidget(QWidget *parent) { m_parent = parent; }
    QWidget *parentWidget() const { return m_parent; }
    /// Replaces the message box (tests): the hook receives every message.
    void setHook(Hook hook) { m_hook = std::move(hook); }
    /// Batch runs print to stderr instead of opening a modal box.
    void setBatch(bool batch) { m_batch = batch; }
    bool batch() const { return m_batch; }

    /// Shows the message as is (plain text, never interpreted as markup),
    /// with the details behind it when there are any.
    void show(const QString &message, const QString &details = {});
    /// Shows an exception: its message and its details.
    void show(std::exception_ptr error);

    int shownCount() const { return m_count; }
    QString lastMessage() const { return m_last; }

private:
    QPointer<QWidget> m_parent;
    Hook m_hook;
    bool m_batch = false;
    bool m_showing = false;
    int m_count = 0;
    QString m_last;
};

/// The text to show for an exception caught by a catch-all.
QString describeCurrentException();

} // namespace quv::host
