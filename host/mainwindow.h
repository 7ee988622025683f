#pragma once

// The host's main window: screens open as child windows of its MDI area.

#include <QMainWindow>

class QAction;
class QMdiArea;
class QMenu;

namespace quv::host {

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);

    QMdiArea *mdiArea() const { return m_mdiArea; }
    QAction *openAction(const QString &screenCode) const;

    void showStatus(const QString &text);

signals:
    /// The user asked for a screen (menu "Módulos").
    void screenRequested(const QString &screenCode);
    /// The user asked for another entry of a screen's package (the history
    /// of access changes).
    void screenEntryRequested(const QString &screenCode, const QString &entry);

protected:
    /// Closing the main window first closes the screens; one that refuses
    /// (it asked the user and was told no) keeps the application running.
    void closeEvent(QCloseEvent *event) override;

private:
    QMdiArea *m_mdiArea;
    QMenu *m_windowMenu;
};

} // namespace quv::host
