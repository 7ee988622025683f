#include "framework/data/rowfeed.h"

#include "framework/data/sqlitereader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringEncoder>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

// What the GUI thread and one loader share. Everything but `stop` is under
// the mutex.
struct TRowFeedShared
{
    std::mutex mutex;
    std::condition_variable changed;
    TRowFeed *feed = nullptr; // null once the feed is gone: nothing is posted then
    std::atomic<bool> stop{false};
    // Stopped because the connection is being closed: the loader must not
    // open it again.
    std::atomic<bool> closing{false};
    int inFlight = 0;   // batches posted and not yet taken
    quint64 posted = 0; // batches posted in all
    QString source;     // the connection the loader cloned
};

// The loaders' way into a feed's private side, on the feed's own thread.
struct TRowFeedAccess
{
    static void take(TRowFeed *feed, const quv::DataPacket &batch, int status, const QString &error)
    {
        feed->takeQueued(batch, status, error);
    }
    static void total(TRowFeed *feed, qint64 total) { feed->takeTotal(total); }
};

namespace {

enum Status
{
    More = 0,
    Done = 1,
    Failed = 2
};

// Batches a loader may have posted before the GUI thread takes them: enough
// to keep the loader busy while the GUI thread works on one, few enough that
// a slow consumer never holds more than a few batches of unread rows.
constexpr int MaxInFlight = 3;
constexpr int MaxBatchRows = 65536;
// A batch is posted after this long even when not full, so that a slow
// statement still shows its progress.
constexpr qint64 MaxBatchMs = 60;
constexpr int MaxLoaders = 6;

bool isPostgres(const QSqlDatabase &db)
{
    return db.driverName() == QLatin1StringView("QPSQL");
}

// A database another connection cannot share: read on the caller's own.
bool privateDatabase(const QSqlDatabase &db)
{
    if (db.driverName() != QLatin1StringView("QSQLITE"))
        return false;
    const QString name = db.databaseName();
    if (name.isEmpty() || name == QLatin1StringView(":memory:"))
        return true;
    // A URI names a file another connection can open too, unless it asks for
    // memory.
    if (!db.connectOptions().contains(QLatin1StringView("QSQLITE_OPEN_URI")))
        return false;
    return name.startsWith(QLatin1StringView("file::memory:")) ||
           name.contains(QLatin1StringView("mode=memory"));
}

// ------------------------------------------------------------------ loaders

// One worker thread and its connection. The connection's name and source are
// touched only by the jobs, which run one at a time on the thread.
struct Loader
{
    QThread thread;
    QObject *context = nullptr; // lives on `thread`; jobs are posted to it
    std::atomic<int> jobs{0};
    QString name;   // its connection
    QString source; // the connection it was cloned from; empty: none yet
    // The connection of the last job posted; read and written by the GUI
    // thread only.
    QString assigned;
};

void closeConnection(Loader *loader)
{
    if (loader->source.isEmpty())
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(loader->name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(loader->name);
    loader->source.clear();
}

// The loader's connection to `source`, cloned and opened on first use.
QSqlDatabase loaderConnection(Loader *loader, const QString &source, QString *error)
{
    if (loader->source != source)
        closeConnection(loader);
    if (loader->source.isEmpty()) {
        QSqlDatabase clone = QSqlDatabase::cloneDatabase(source, loader->name);
        if (!clone.isValid()) {
            *error = QStringLiteral("a conexão %1 não existe mais.").arg(source);
            QSqlDatabase::removeDatabase(loader->name);
            return {};
        }
        // A loader only reads: on SQLite it opens the file read-only, which
        // also never creates a missing file.
        if (clone.driverName() == QLatin1StringView("QSQLITE")) {
            QString options = clone.connectOptions();
            if (!options.isEmpty())
                options += QLatin1Char(';');
            clone.setConnectOptions(options + QStringLiteral("QSQLITE_OPEN_READONLY"));
            // SQLite refuses a URI mode wider than the flags it is opened with.
            QString name = clone.databaseName();
            if (name.contains(QLatin1StringView("mode=rw"))) {
                name.replace(QLatin1StringView("mode=rwc"), QLatin1StringView("mode=ro"));
                name.replace(QLatin1StringView("mode=rw"), QLatin1StringView("mode=ro"));
                clone.setDatabaseName(name);
            }
        }
        loader->source = source;
    }
    QSqlDatabase db = QSqlDatabase::database(loader->name, false);
    if (!db.isOpen()) {
        if (!db.open()) {
            *error = db.lastError().text();
            return {};
        }
        // A loader's reads are judged by their first rows: compiling a big
        // statement's plan to machine code first delays those by a good part
        // of a second. Where the setting does not exist, nothing changes.
        // A loader only reads, on either database (SQLite opens read-only).
        if (isPostgres(db)) {
            QSqlQuery(db).exec(QStringLiteral("SET jit = off"));
            QSqlQuery(db).exec(QStringLiteral("SET default_transaction_read_only = on"));
        }
    }
    return db;
}

// A connection dropped to end a read half-way is opened again at once, on
// the loader's own time: the next load (a screen opened again, a list read
// again) would otherwise wait for the connection before its first rows.
void reconnect(Loader *loader, const QString &source, const TRowFeedShared &shared)
{
    if (shared.closing || loader->source != source ||
        QSqlDatabase::database(loader->name, false).isOpen())
        return;
    QString ignored; // a database that went away says so to the next load
    loaderConnection(loader, source, &ignored);
}

class LoaderPool
{
public:
    static LoaderPool *instance()
    {
        if (!s_pool && !s_shutDown && QCoreApplication::instance()) {
            s_pool = new LoaderPool;
            qAddPostRoutine([] {
                delete s_pool;
                s_pool = nullptr;
                s_shutDown = true;
            });
        }
        return s_pool;
    }
    static LoaderPool *existing() { return s_pool; }

    ~LoaderPool()
    {
        stopAll(QString(), true);
        for (const std::unique_ptr<Loader> &loader : m_loaders)
            stopThread(loader.get());
        if (m_counter)
            stopThread(m_counter.get());
    }

    /// The loader that counts rows: one thread of its own, at the lowest
    /// priority, so that counting never slows the reads it counts for.
    Loader *counter()
    {
        if (!m_counter) {
            m_counter = makeLoader(QStringLiteral("quv-counter"));
            m_counter->thread.start(QThread::IdlePriority);
        }
        return m_counter.get();
    }

    /// An idle loader, preferring one already connected to `source`; null
    /// when all are busy.
    Loader *idle(const QString &source)
    {
        Loader *any = nullptr;
        for (const std::unique_ptr<Loader> &loader : m_loaders) {
            if (loader->jobs.load() != 0)
                continue;
            if (loader->source == source)
                return loader.get();
            if (!any)
                any = loader.get();
        }
        if (any)
            return any;
        if (int(m_loaders.size()) >= MaxLoaders)
            return nullptr;
        m_loaders.push_back(makeLoader(QStringLiteral("quv-loader-%1").arg(m_loaders.size() + 1)));
        m_loaders.back()->thread.start();
        return m_loaders.back().get();
    }

    void post(Loader *loader, const QString &source, std::function<void(Loader *)> job)
    {
        loader->assigned = source;
        ++loader->jobs;
        QMetaObject::invokeMethod(
            loader->context,
            [loader, job = std::move(job)] {
                job(loader);
                --loader->jobs;
            },
            Qt::QueuedConnection);
    }

    void track(const std::shared_ptr<TRowFeedShared> &shared)
    {
        m_active.erase(
            std::remove_if(m_active.begin(), m_active.end(),
                           [](const std::weak_ptr<TRowFeedShared> &w) { return w.expired(); }),
            m_active.end());
        m_active.push_back(shared);
    }

    // Stops the loads of `source` (of every source when empty), before its
    // connections are closed when `closing`.
    void stopAll(const QString &source, bool closing)
    {
        for (const std::weak_ptr<TRowFeedShared> &weak : m_active)
            if (const auto shared = weak.lock();
                shared && (source.isEmpty() || shared->source == source)) {
                shared->closing = closing;
                shared->stop = true;
                std::lock_guard lock(shared->mutex);
                shared->changed.notify_all();
            }
    }

    void release(const QString &source)
    {
        stopAll(source, true);
        // Loaders last given another connection's work are left alone: they
        // never opened this one since.
        QSemaphore closed;
        int waiting = 0;
        const auto close = [&](Loader *loader) {
            if (!loader || loader->assigned != source)
                return;
            ++waiting;
            post(loader, source, [&closed, source](Loader *l) {
                if (l->source == source)
                    closeConnection(l);
                closed.release();
            });
        };
        for (const std::unique_ptr<Loader> &loader : m_loaders)
            close(loader.get());
        close(m_counter.get());
        closed.acquire(waiting);
    }

private:
    static std::unique_ptr<Loader> makeLoader(const QString &name)
    {
        auto loader = std::make_unique<Loader>();
        loader->name = name;
        loader->thread.setObjectName(name);
        loader->context = new QObject;
        loader->context->moveToThread(&loader->thread);
        QObject::connect(&loader->thread, &QThread::finished, loader->context,
                         &QObject::deleteLater);
        return loader;
    }

    static void stopThread(Loader *loader)
    {
        QSemaphore closed;
        QMetaObject::invokeMethod(
            loader->context,
            [loader, &closed] {
                closeConnection(loader);
                closed.release();
            },
            Qt::QueuedConnection);
        closed.acquire();
        loader->thread.quit();
        loader->thread.wait();
    }

    std::vector<std::unique_ptr<Loader>> m_loaders;
    std::unique_ptr<Loader> m_counter;
    std::vector<std::weak_ptr<TRowFeedShared>> m_active;
    static inline LoaderPool *s_pool = nullptr;
    static inline bool s_shutDown = false;
};

// ------------------------------------------------------------------ reading

using Sink = std::function<bool(const quv::DataPacket &, int status, const QString &error)>;

// Hands a batch to the feed's thread: waits while the feed has enough unread
// batches, then posts. False when the feed was stopped or is gone.
bool postBatch(const std::shared_ptr<TRowFeedShared> &shared, const quv::DataPacket &batch,
               int status, const QString &error)
{
    std::unique_lock lock(shared->mutex);
    shared->changed.wait(
        lock, [&] { return shared->stop || !shared->feed || shared->inFlight < MaxInFlight; });
    if (shared->stop || !shared->feed)
        return false;
    ++shared->inFlight;
    ++shared->posted;
    TRowFeed *feed = shared->feed;
    QMetaObject::invokeMethod(
        feed, [feed, batch, status, error] { TRowFeedAccess::take(feed, batch, status, error); },
        Qt::QueuedConnection);
    shared->changed.notify_all();
    return true;
}

// The rows of a statement run through the Qt driver, read the way
// TSqliteReader reads them straight from SQLite.
class DriverRows
{
public:
    explicit DriverRows(const QSqlDatabase &db) : m_db(db), m_query(db) {}

    // Runs the statement forward-only. A statement without parameters runs
    // unprepared: the PostgreSQL driver prepares with PREPARE and runs with
    // EXECUTE, and the server keeps the whole result of an EXECUTE before it
    // sends the first row, where a plain statement streams from its first
    // row on.
    bool Exec(const QString &sql, const QVariantList &binds)
    {
        m_query.setForwardOnly(true);
        if (binds.isEmpty())
            return m_query.exec(sql);
        if (!m_query.prepare(sql))
            return false;
        for (const QVariant &value : binds)
            m_query.addBindValue(value);
        return m_query.exec();
    }
    bool IsSelect() const { return m_query.isSelect(); }
    int ColumnCount() const { return m_query.record().count(); }
    QString ColumnName(int column) const { return m_query.record().fieldName(column); }
    bool Next() { return m_query.next(); }
    // Drivers hand out a NULL as a typed default (0 for a number): ask for
    // NULL explicitly, it travels as the empty string.
    bool IsNull(int column) const { return m_query.isNull(column); }
    // Each cell is encoded into one scratch buffer rather than a new
    // QByteArray: an allocation per cell cost the loader as much as the
    // encoding.
    QByteArrayView Utf8(int column)
    {
        const QString text = m_query.value(column).toString();
        const size_t need = size_t(text.size()) * 3;
        if (need > m_scratch.size())
            m_scratch.resize(need);
        return QByteArrayView(m_scratch.data(),
                              m_encoder.appendToBuffer(m_scratch.data(), text) - m_scratch.data());
    }
    QString Error() const { return m_query.lastError().text(); }
    bool Failed() const { return m_query.lastError().isValid(); }
    // A read given up half-way. A PostgreSQL result left half read would be
    // drained row by row when the statement is released; dropping the
    // connection ends it at once (the loader opens it again for its next
    // read).
    void Finish()
    {
        if (isPostgres(m_db))
            m_db.close();
        else
            m_query.finish();
    }

private:
    QSqlDatabase m_db;
    QSqlQuery m_query;
    QStringEncoder m_encoder{QStringEncoder::Utf8, QStringConverter::Flag::Stateless};
    std::vector<char> m_scratch = std::vector<char>(256);
};

// Runs `read` on the rows of `request`: SQLite statements through SQLite
// itself where the driver shares its library with this program (see
// TSqliteReader), others through the driver.
template <class Read>
auto withRows(const QSqlDatabase &db, const TRowFeed::Request &request, Read &&read)
{
    if (sqlite3 *handle = TSqliteReader::Handle(db);
        handle && TSqliteReader::Binds(request.binds)) {
        TSqliteReader rows(handle);
        return read(rows);
    }
    DriverRows rows(db);
    return read(rows);
}

// Reads the statement forward-only into batches handed to `sink`, which says
// whether to go on. The first batch holds request.firstRows rows (or fewer
// if the result ends); later ones grow, and any is sent early when it took
// long to fill. With `mayRetry`, a statement that does not even start is not
// reported: false tells the caller to try again on a fresh connection (an
// idle connection may have been dropped by the server in the meantime).
template <class Rows>
bool readRowsFrom(Rows &rows, const TRowFeed::Request &request, const Sink &sink,
                  const std::atomic<bool> *stop, bool mayRetry)
{
    if (!rows.Exec(request.sql, request.binds)) {
        if (mayRetry)
            return false;
        sink(quv::DataPacket(), Failed, rows.Error());
        return true;
    }
    if (!rows.IsSelect()) {
        sink(quv::DataPacket(), Failed, QStringLiteral("o comando não devolve linhas."));
        return true;
    }

    // Column sizes come from the requested layout only: a driver's idea of a
    // column's length does not always count characters.
    const int count = rows.ColumnCount();
    QList<quv::FieldDef> defs;
    QList<int> source;
    if (request.layout.isEmpty()) {
        for (int c = 0; c < count; ++c) {
            defs.append({rows.ColumnName(c), 0});
            source.append(c);
        }
    } else {
        for (const quv::FieldDef &def : request.layout) {
            int found = -1;
            for (int c = 0; c < count && found < 0; ++c)
                if (rows.ColumnName(c).compare(def.name, Qt::CaseInsensitive) == 0)
                    found = c;
            if (found < 0) {
                sink(quv::DataPacket(), Failed,
                     QStringLiteral("o resultado não tem a coluna %1.").arg(def.name));
                return true;
            }
            defs.append(def);
            source.append(found);
        }
    }

    try {
        quv::DataPacket batch(defs);
        qsizetype limit = std::max(1, request.firstRows);
        QElapsedTimer filling;
        filling.start();
        const int columns = int(source.size());
        while (rows.Next()) {
            if (stop && stop->load(std::memory_order_relaxed)) {
                rows.Finish();
                return true;
            }
            for (int c = 0; c < columns; ++c) {
                const int from = source[c];
                if (rows.IsNull(from))
                    batch.appendCell(QByteArrayView());
                else
                    batch.appendCell(rows.Utf8(from));
            }
            batch.endRow();
            const qsizetype filled = batch.rowCount();
            if (filled >= limit || ((filled & 255) == 0 && filling.elapsed() > MaxBatchMs)) {
                // The feed keeps the batch as it is: no room to spare.
                batch.squeeze();
                if (!sink(batch, More, QString())) {
                    rows.Finish();
                    return true;
                }
                // Room for the next batch at once, sized on this one: growing
                // a buffer copies it and faults in its pages again.
                const quv::DataPacket sent = batch;
                batch = quv::DataPacket(defs);
                limit = std::min<qsizetype>(MaxBatchRows, std::max<qsizetype>(limit * 4, 4096));
                batch.reserveLike(sent, limit);
                filling.restart();
            }
        }
        batch.squeeze();
        if (rows.Failed())
            sink(batch, Failed, rows.Error());
        else
            sink(batch, Done, QString());
    } catch (const quv::PacketError &error) {
        rows.Finish();
        sink(quv::DataPacket(), Failed, QString::fromUtf8(error.what()));
    }
    return true;
}

bool readRows(const QSqlDatabase &db, const TRowFeed::Request &request, const Sink &sink,
              const std::atomic<bool> *stop, bool mayRetry = false)
{
    return withRows(db, request,
                    [&](auto &rows) { return readRowsFrom(rows, request, sink, stop, mayRetry); });
}

// How many rows the statement gives, counted as they come with the stop flag
// looked at every row; -1 when it fails or is stopped (`stopped` set then).
qint64 countRows(const QSqlDatabase &db, const TRowFeed::Request &request,
                 const std::atomic<bool> &stop, bool *stopped)
{
    return withRows(db, request, [&](auto &rows) -> qint64 {
        if (!rows.Exec(request.sql, request.binds))
            return -1;
        qint64 total = 0;
        while (rows.Next()) {
            if (stop.load(std::memory_order_relaxed)) {
                rows.Finish();
                *stopped = true;
                return -1;
            }
            ++total;
        }
        return rows.Failed() ? -1 : total;
    });
}

} // namespace

// ------------------------------------------------------------------ TRowFeed

TRowFeed::TRowFeed() : m_shared(std::make_shared<TRowFeedShared>())
{
    m_shared->feed = this;
}

TRowFeed::~TRowFeed()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->feed = nullptr;
    m_shared->stop = true;
    m_shared->changed.notify_all();
}

std::shared_ptr<TRowFeed> TRowFeed::FromRows(const quv::DataPacket &rows)
{
    std::shared_ptr<TRowFeed> feed(new TRowFeed);
    feed->m_rows = rows;
    feed->m_state = State::Done;
    return feed;
}

std::shared_ptr<TRowFeed> TRowFeed::Start(const QSqlDatabase &database, const Request &request)
{
    // Whoever gets a load in a QVariant and asks it for a packet gets every
    // row.
    static const bool converts =
        QMetaType::registerConverter<TRowFeedRef, quv::DataPacket>([](const TRowFeedRef &ref) {
            if (!ref.feed)
                return quv::DataPacket();
            ref.feed->FetchAll();
            return ref.feed->Rows();
        });
    Q_UNUSED(converts);
    std::shared_ptr<TRowFeed> feed(new TRowFeed);
    feed->m_source = database.connectionName();
    feed->m_request = request;
    feed->m_shared->source = feed->m_source;

    LoaderPool *pool = privateDatabase(database) ? nullptr : LoaderPool::instance();
    Loader *loader = pool ? pool->idle(feed->m_source) : nullptr;
    if (!loader) {
        // Read whole, here: the same loop, handing each batch straight over.
        TRowFeed *self = feed.get();
        readRows(
            database, request,
            [self](const quv::DataPacket &batch, int status, const QString &error) {
                self->take(batch, status, error);
                return true;
            },
            nullptr);
        return feed;
    }
    pool->track(feed->m_shared);
    pool->post(loader, feed->m_source,
               [shared = feed->m_shared, request, source = feed->m_source](Loader *l) {
                   QString error;
                   QSqlDatabase db = loaderConnection(l, source, &error);
                   const Sink sink = [&shared](const quv::DataPacket &batch, int status,
                                               const QString &text) {
                       return postBatch(shared, batch, status, text);
                   };
                   if (!db.isValid() || !db.isOpen()) {
                       sink(quv::DataPacket(), Failed, error);
                       return;
                   }
                   if (!readRows(db, request, sink, &shared->stop, true)) {
                       db.close();
                       db = loaderConnection(l, source, &error);
                       if (!db.isValid() || !db.isOpen()) {
                           sink(quv::DataPacket(), Failed, error);
                           return;
                       }
                       readRows(db, request, sink, &shared->stop);
                   }
                   reconnect(l, source, *shared);
               });
    while (feed->m_taken == 0 && feed->FetchMore()) {
    }
    return feed;
}

void TRowFeed::takeQueued(const quv::DataPacket &batch, int status, const QString &error)
{
    {
        std::lock_guard lock(m_shared->mutex);
        --m_shared->inFlight;
        m_shared->changed.notify_all();
    }
    take(batch, status, error);
}

void TRowFeed::take(const quv::DataPacket &batch, int status, const QString &error)
{
    ++m_taken;
    if (m_state != State::Loading)
        return; // stopped: what was still on its way is dropped
    const qsizetype first = m_rows.rowCount();
    if (batch.fieldCount() > 0) {
        if (m_rows.fieldCount() == 0)
            m_rows = batch;
        else
            m_rows.appendRows(batch);
    }
    const qsizetype added = m_rows.rowCount() - first;
    if (added > 0)
        emit rowsArrived(first, added);
    if (status == Done)
        end(State::Done, QString());
    else if (status == Failed)
        end(State::Failed, error.trimmed().isEmpty()
                               ? QStringLiteral("a leitura foi interrompida sem explicação do "
                                                "banco de dados (conexão perdida?).")
                               : error.trimmed());
}

void TRowFeed::end(State state, const QString &error)
{
    if (m_state != State::Loading)
        return;
    m_state = state;
    m_error = error;
    m_shared->stop = true;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->changed.notify_all();
    }
    emit ended();
}

bool TRowFeed::FetchMore()
{
    if (m_state != State::Loading)
        return false;
    const quint64 before = m_taken;
    while (m_state == State::Loading && m_taken == before) {
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        if (m_state != State::Loading || m_taken != before)
            break;
        std::unique_lock lock(m_shared->mutex);
        m_shared->changed.wait_for(lock, std::chrono::milliseconds(100),
                                   [this] { return m_shared->posted > m_taken; });
    }
    return m_taken != before;
}

void TRowFeed::FetchTo(qsizetype rows)
{
    while (m_rows.rowCount() < rows && FetchMore()) {
    }
}

void TRowFeed::FetchAll()
{
    while (FetchMore()) {
    }
}

void TRowFeed::Stop()
{
    end(State::Stopped, QStringLiteral("a leitura foi interrompida antes do fim."));
}

void TRowFeed::RequestTotal()
{
    if (m_totalAsked)
        return;
    m_totalAsked = true;
    if (m_state == State::Done) {
        takeTotal(m_rows.rowCount());
        return;
    }
    LoaderPool *pool = LoaderPool::existing();
    Loader *loader = pool && !m_source.isEmpty() ? pool->counter() : nullptr;
    if (!loader)
        return; // the statement was read here, on the caller's connection
    // The counter runs the statement once more and counts its rows as they
    // come, checking the stop flag at every row: a COUNT(*) around the
    // statement could not be stopped once sent, and would hold its thread
    // (and the application's exit) for as long as the count takes.
    TRowFeed::Request request = m_request;
    pool->post(loader, m_source, [shared = m_shared, request, source = m_source](Loader *l) {
        QString error;
        QSqlDatabase db = loaderConnection(l, source, &error);
        if (!db.isValid() || !db.isOpen() || shared->stop)
            return;
        bool stopped = false;
        const qint64 total = countRows(db, request, shared->stop, &stopped);
        if (stopped) {
            reconnect(l, source, *shared);
            return;
        }
        if (total < 0)
            return;
        std::lock_guard lock(shared->mutex);
        if (TRowFeed *feed = shared->feed)
            QMetaObject::invokeMethod(
                feed, [feed, total] { TRowFeedAccess::total(feed, total); }, Qt::QueuedConnection);
    });
}

void TRowFeed::takeTotal(qint64 total)
{
    if (m_total == total)
        return;
    m_total = total;
    emit totalKnown(total);
}

void TRowFeed::ReleaseConnections(const QString &connectionName)
{
    if (LoaderPool *pool = LoaderPool::existing())
        pool->release(connectionName);
}
