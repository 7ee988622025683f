#include "server/readerthread.h"

#include "db/connection.h"
#include "server/dispatcher.h"
#include "server/rpcerror.h"

#include <optional>
#include <sys/resource.h>
#include <unistd.h>

namespace quv::server {

namespace {

const QString ConnectionName = QStringLiteral("quv-server-reader");

} // namespace

struct ReaderThread::Worker : QObject
{
    explicit Worker(QString connection) : connectionString(std::move(connection)) {}

    // Runs on the reader thread.
    Answer call(const wire::Request &request, const QString &administrator, wire::Encoding encoding)
    {
        Answer answer;
        Outcome outcome;
        try {
            if (!dispatcher)
                dispatcher.emplace(db::openDatabase(connectionString, ConnectionName));
            outcome = server::answer(*dispatcher, request, administrator);
        } catch (const db::DbError &e) {
            const RpcError hidden = hiddenError(wire::code::DatabaseError, e.message());
            outcome.response.id = request.id;
            outcome.response.errorCode = hidden.code();
            outcome.response.errorMessage = hidden.message();
            outcome.logDetail = hidden.detail();
        }
        answer.payload = encodeReply(outcome.response, encoding, &answer.logDetail);
        if (!outcome.logDetail.isEmpty())
            answer.logDetail = outcome.logDetail;
        answer.fatal = outcome.fatal;
        return answer;
    }

    // Runs on the reader thread, last: a connection belongs to its thread.
    void close()
    {
        if (!dispatcher)
            return;
        dispatcher.reset();
        db::closeDatabase(ConnectionName);
    }

    QString connectionString;
    std::optional<Dispatcher> dispatcher;
};

ReaderThread::ReaderThread(QString connectionString, QObject *parent)
    : QObject(parent), m_worker(new Worker(std::move(connectionString)))
{
    m_thread.setObjectName(QStringLiteral("quv-server-reader"));
    m_worker->moveToThread(&m_thread);
    // Bulk work gives way to the event loop, which answers everyone else.
    connect(&m_thread, &QThread::started, m_worker,
            [] { ::setpriority(PRIO_PROCESS, pid_t(::gettid()), 5); });
    m_thread.start();
}

ReaderThread::~ReaderThread()
{
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker] { worker->close(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

bool ReaderThread::runsHere(QStringView method)
{
    return method == QLatin1StringView("getPesqFiltro");
}

void ReaderThread::run(const wire::Request &request, const QString &administrator,
                       wire::Encoding encoding, std::shared_ptr<const std::atomic<bool>> cancelled,
                       std::function<void(Answer)> done)
{
    // The destructor waits for the call being run, so `this` outlives every
    // call; an answer still queued when it is gone is dropped by Qt.
    QMetaObject::invokeMethod(
        m_worker,
        [this, request, administrator, encoding, cancelled = std::move(cancelled),
         done = std::move(done)]() mutable {
            if (*cancelled)
                return;
            Answer answer;
            try {
                answer = m_worker->call(request, administrator, encoding);
            } catch (const std::bad_alloc &) {
                answer.logDetail = QStringLiteral("out of memory answering it");
                answer.fatal = true;
            }
            QMetaObject::invokeMethod(
                this,
                [done = std::move(done), answer = std::move(answer)]() mutable {
                    done(std::move(answer));
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

} // namespace quv::server
