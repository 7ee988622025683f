#pragma once

#include <QObject>

class QSocketNotifier;

namespace quv::server {

/// Turns SIGINT and SIGTERM into a Qt signal on the event loop. The handler
/// only writes the signal number to a socket pair; everything else happens
/// in the loop, where it is safe.
class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void stopRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace quv::server
