#pragma once

#include "contracts/wire.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

namespace quv::server {

/// Runs the calls that take seconds on a large warehouse (the value search
/// of a million-value dimension) on a thread and a database connection of
/// their own, one call at a time, answer encoded there too, so that they
/// never hold up the event loop that serves every other connection.
class ReaderThread : public QObject
{
    Q_OBJECT
public:
    /// Opens its connection to `connectionString` on its first call.
    explicit ReaderThread(QString connectionString, QObject *parent = nullptr);
    ~ReaderThread() override;

    /// Whether `method` is one of the calls run here.
    static bool runsHere(QStringView method);

    struct Answer
    {
        QByteArray payload; // the encoded response, an error one included
        QString logDetail;  // what the log must say; empty when nothing
        bool fatal = false; // out of memory: the session ends after it
    };
    /// Runs the call and hands its answer to `done` on this object's thread.
    /// A call whose `cancelled` is set before it starts is dropped unrun.
    void run(const wire::Request &request, const QString &administrator, wire::Encoding encoding,
             std::shared_ptr<const std::atomic<bool>> cancelled, std::function<void(Answer)> done);

private:
    struct Worker;
    QThread m_thread;
    Worker *m_worker; // lives in m_thread
};

} // namespace quv::server
