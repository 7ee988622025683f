#include "tests/faults/hostiledriver.h"

#include "contracts/controleacesso.h"
#include "contracts/wire.h"
#include "db/connection.h"
#include "tests/support/rpcclient.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testdatabase.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quv::test::hostile {

namespace {

constexpr quint32 FrameLimit = 256u * 1024 * 1024;

// ------------------------------------------------------------- raw frames

void cborHead(QByteArray &out, quint8 major, quint64 value)
{
    const auto initial = char(major << 5);
    if (value < 24) {
        out.append(char(initial | char(value)));
        return;
    }
    int bytes = value <= 0xff ? 1 : value <= 0xffff ? 2 : value <= 0xffffffffu ? 4 : 8;
    out.append(char(initial | char(24 + (bytes == 1 ? 0 : bytes == 2 ? 1 : bytes == 4 ? 2 : 3))));
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xff));
}

void cborText(QByteArray &out, const QByteArray &text)
{
    cborHead(out, 3, quint64(text.size()));
    out.append(text);
}

QByteArray header(quint32 length)
{
    char bytes[4];
    qToBigEndian(length, bytes);
    return QByteArray(bytes, 4);
}

// The start of a request map up to its "params" list; written by hand so
// that no packet or list is ever built here, however large the frame.
QByteArray requestPrefix(const char *method)
{
    QByteArray out;
    cborHead(out, 5, 4);
    cborText(out, "jsonrpc");
    cborText(out, "2.0");
    cborText(out, "id");
    cborHead(out, 0, 1);
    cborText(out, "method");
    cborText(out, method);
    cborText(out, "params");
    return out;
}

QByteArray request(const QString &method, const QVariantList &params)
{
    return wire::frame(
        wire::encode(wire::requestToVariant({qint64(1), method, params}), wire::Encoding::Cbor));
}

QByteArray loginFrame(const QString &token)
{
    return request(QString(rdm::LoginMethod), {QString(rdm::ServerName), token});
}

QByteArray fieldsFrame()
{
    QByteArray out = requestPrefix("login");
    cborHead(out, 4, 2);
    cborHead(out, 5, 2);
    cborText(out, "fields");
    cborHead(out, 4, 60000);
    for (int i = 0; i < 60000; ++i) {
        cborHead(out, 5, 2);
        cborText(out, "name");
        cborText(out, QByteArray("CAMPO") + QByteArray::number(i));
        cborText(out, "size");
        cborHead(out, 0, 30);
    }
    cborText(out, "rows");
    cborHead(out, 4, 0);
    cborText(out, "not-a-token");
    return wire::frame(out);
}

// ------------------------------------------------------- hostile sockets

/// One raw connection from a loopback address of its own choosing; every
/// wait polls so that the attack stops when told.
class Peer
{
public:
    Peer(quint32 source, quint16 port, const std::atomic<bool> &stop, bool tinyReceiveBuffer)
        : m_stop(stop)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd >= 0 && tinyReceiveBuffer) {
            // The smallest the kernel allows: the server's answers back up.
            const int size = 1;
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(source);
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(port);
        remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
            ::connect(m_fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0) {
            close();
        }
    }
    ~Peer() { close(); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    bool connected() const { return m_fd >= 0; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    /// False when the server closed the connection or the attack stopped.
    bool send(QByteArrayView bytes, std::atomic<qint64> &sent)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            if (m_fd < 0 || m_stop)
                return false;
            pollfd p{m_fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, 100);
            if (ready == 0 || (ready < 0 && errno == EINTR))
                continue;
            if (ready < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
                return false;
            const ssize_t n = ::send(m_fd, bytes.data() + done, size_t(bytes.size() - done),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (n > 0) {
                done += n;
                sent += n;
            }
        }
        return true;
    }

    /// One whole frame within `ms`; its payload is kept only when asked for.
    bool readFrame(int ms, QByteArray *payload = nullptr)
    {
        QElapsedTimer clock;
        clock.start();
        char head[4];
        if (!readExactly(head, 4, ms, clock))
            return false;
        qint64 left = qFromBigEndian<quint32>(head);
        char chunk[65536];
        while (left > 0) {
            const auto n = qsizetype(std::min<qint64>(left, sizeof chunk));
            if (!readExactly(chunk, n, ms, clock))
                return false;
            if (payload)
                payload->append(chunk, n);
            left -= n;
        }
        return true;
    }

    /// True once the server has closed the connection (what it sent before
    /// is read and dropped).
    bool waitClosed(int ms)
    {
        QElapsedTimer clock;
        clock.start();
        char sink[4096];
        while (m_fd >= 0 && !m_stop && clock.elapsed() < ms) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::recv(m_fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                return true;
        }
        return false;
    }

private:
    bool readExactly(char *into, qsizetype size, int ms, const QElapsedTimer &clock)
    {
        qsizetype done = 0;
        while (done < size) {
            if (m_fd < 0 || m_stop || clock.elapsed() >= ms)
                return false;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::recv(m_fd, into + done, size_t(size - done), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                return false;
            if (n > 0)
                done += n;
        }
        return true;
    }

    int m_fd = -1;
    const std::atomic<bool> &m_stop;
};

struct Context
{
    Options options;
    quint16 port = 0;
    std::atomic<bool> stop = false;
    std::atomic<qint64> connects = 0;
    std::atomic<qint64> answers = 0;
    std::atomic<qint64> sent = 0;
    QByteArray fields;

    quint32 source(int index) const
    {
        // A guesser uses one address: that is what its penalty is kept by.
        return (127u << 24) + 2u + (options.attack == Attack::Guess ? 0u : quint32(index / 8));
    }
};

void pause(const Context &c, int ms)
{
    for (int waited = 0; waited < ms && !c.stop; waited += 20)
        QThread::msleep(20);
}

// Sends a whole frame of the request's start, then nulls to fill it.
bool sendNulls(Peer &peer, Context &c)
{
    const quint32 size = c.options.frameBytes;
    QByteArray start = header(size) + requestPrefix("getOperGrup");
    cborHead(start, 4, 1);
    start.append(char(0x9f)); // a list of unstated length
    if (!peer.send(start, c.sent))
        return false;
    qint64 left = qint64(size) - (start.size() - 4) - 1;
    const QByteArray nulls(1 << 20, char(0xf6));
    while (left > 0) {
        const qint64 n = std::min<qint64>(left, nulls.size());
        if (!peer.send(QByteArrayView(nulls).first(n), c.sent))
            return false;
        left -= n;
    }
    return peer.send(QByteArrayView("\xff", 1), c.sent);
}

bool logIn(Peer &peer, Context &c)
{
    return peer.send(loginFrame(c.options.token), c.sent) && peer.readFrame(10000);
}

void attackLoop(int index, Context &c)
{
    // A real attacker spends its own machine; here it shares ours, so it
    // yields the processor to the server and to the administrator's probes.
    ::setpriority(PRIO_PROCESS, pid_t(::gettid()), 19);
    const Attack attack = c.options.attack;
    while (!c.stop) {
        Peer peer(c.source(index), c.port, c.stop,
                  attack == Attack::NoRead || attack == Attack::NoReadLogin);
        if (!peer.connected()) {
            pause(c, 50);
            continue;
        }
        ++c.connects;
        switch (attack) {
        case Attack::Fields:
            if (peer.send(c.fields, c.sent) && peer.readFrame(30000))
                ++c.answers;
            break;
        case Attack::Header: {
            if (!peer.send(header(FrameLimit), c.sent))
                break;
            const QByteArray zeros(1 << 16, '\0');
            while (peer.send(zeros, c.sent)) {
            }
            break;
        }
        case Attack::Nulls:
            if (sendNulls(peer, c) && peer.readFrame(30000))
                ++c.answers;
            break;
        case Attack::NullsLogin:
            if (logIn(peer, c) && sendNulls(peer, c) && peer.readFrame(30000))
                ++c.answers;
            break;
        case Attack::Idle:
            if (peer.waitClosed(3600 * 1000))
                ++c.answers;
            break;
        case Attack::NoRead:
        case Attack::NoReadLogin: {
            if (attack == Attack::NoReadLogin && !logIn(peer, c))
                break;
            QByteArray burst;
            for (int i = 0; i < 64; ++i)
                burst += request(QStringLiteral("getOperGrup"), {"01", {}, {}});
            while (peer.send(burst, c.sent)) {
            }
            break;
        }
        case Attack::Guess: {
            // A guess not answered at once is given up on: the answer to a
            // wrong token may be held back, so waiting would only slow the
            // guesser down.
            const QString guess = QString::number(QRandomGenerator::global()->generate64(), 36)
                                      .rightJustified(20, u'g');
            if (peer.send(loginFrame(guess), c.sent) && peer.readFrame(100))
                ++c.answers;
            break;
        }
        case Attack::Search: {
            if (!logIn(peer, c))
                break;
            const QByteArray search =
                request(QStringLiteral("getPesqFiltro"), {c.options.searchStatement});
            // Two in flight: the next one is always waiting behind the one
            // being answered.
            bool alive = peer.send(search, c.sent) && peer.send(search, c.sent);
            while (alive && peer.readFrame(120000)) {
                ++c.answers;
                alive = peer.send(search, c.sent);
            }
            break;
        }
        }
    }
}

// ------------------------------------------------------------ the server

qint64 statusKiB(qint64 pid, const char *field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("State:") && line.contains("zombie"))
            return -1;
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// User and system time of the process so far, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which is in parentheses.
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) /
           double(::sysconf(_SC_CLK_TCK));
}

wire::Response exchange(RpcClient &client, const QString &method, const QVariantList &params,
                        const QElapsedTimer &clock, int timeoutMs)
{
    client.sendPayload(
        wire::encode(wire::requestToVariant({qint64(1), method, params}), wire::Encoding::Cbor));
    const int left = int(std::max<qint64>(1, timeoutMs - clock.elapsed()));
    return RpcClient::decodeResponse(client.readPayload(left), wire::Encoding::Cbor);
}

void record(Figures &f, QList<double> &into, int &failures, const QElapsedTimer &clock,
            const std::optional<QString> &error)
{
    if (!error) {
        into.append(double(clock.nsecsElapsed()) / 1e6);
        return;
    }
    ++failures;
    if (f.adminErrors.size() < 5)
        f.adminErrors.append(*error);
}

std::optional<QString> checked(const wire::Response &response)
{
    if (response.ok)
        return std::nullopt;
    return QStringLiteral("%1 %2").arg(response.errorCode).arg(response.errorMessage);
}

} // namespace

const QList<AttackInfo> &attacks()
{
    static const QList<AttackInfo> list = {
        {Attack::Fields, "fields", "a 1.8 MB login declaring 60,000 fields, before login"},
        {Attack::Header, "header", "a header announcing 256 MiB, then bytes at full speed"},
        {Attack::Nulls, "nulls", "a 256 MiB frame of CBOR nulls, before login"},
        {Attack::NullsLogin, "nulls-login", "a 256 MiB frame of CBOR nulls, after login"},
        {Attack::Idle, "idle", "connections that never send a byte"},
        {Attack::NoRead, "noread", "requests back to back, answers never read"},
        {Attack::NoReadLogin, "noread-login",
         "logged in, requests back to back, answers never read"},
        {Attack::Guess, "guess", "token guesses at full speed from one address"},
        {Attack::Search, "search", "one administrator pipelining the largest value search"},
    };
    return list;
}

std::optional<Attack> attackNamed(const QString &name)
{
    for (const AttackInfo &info : attacks())
        if (name == QLatin1StringView(info.name))
            return info.attack;
    return std::nullopt;
}

double Figures::percentile(QList<double> values, double fraction)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = qsizetype(fraction * double(values.size() - 1) + 0.5);
    return values[std::clamp<qsizetype>(index, 0, values.size() - 1)];
}

Figures run(ServerProcess &server, const Options &options)
{
    Context c;
    c.options = options;
    c.port = server.port();
    if (options.attack == Attack::Fields)
        c.fields = fieldsFrame();
    const qint64 pid = server.processId();

    Figures f;
    const double cpuBefore = cpuSeconds(pid);
    std::atomic<qint64> peakKiB = 0;
    std::thread sampler([&] {
        while (!c.stop) {
            peakKiB = std::max<qint64>(peakKiB, statusKiB(pid, "VmRSS"));
            QThread::msleep(20);
        }
    });
    // The reader beside the search logs in before the attack starts.
    RpcClient reader;
    bool readerIn = false;
    if (options.attack == Attack::Search) {
        readerIn = reader.connectTo(server.host(), server.port()) && reader.login(options.token).ok;
        if (!readerIn)
            ++f.readFailures;
    }
    std::vector<std::thread> peers;
    for (int i = 0; i < options.connections; ++i)
        peers.emplace_back(attackLoop, i, std::ref(c));

    // The attack settles in before the first probe.
    QThread::msleep(500);
    QElapsedTimer total;
    total.start();
    QElapsedTimer sinceProbe;
    sinceProbe.start();
    bool probeDue = true;
    while (total.elapsed() < qint64(options.seconds * 1000)) {
        if (probeDue) {
            sinceProbe.restart();
            QElapsedTimer clock;
            clock.start();
            std::optional<QString> error;
            RpcClient client;
            try {
                if (!client.connectTo(server.host(), server.port()))
                    error = QStringLiteral("connect: ") + client.socket().errorString();
                if (!error)
                    error = checked(exchange(client, QString(rdm::LoginMethod),
                                             {QString(rdm::ServerName), options.token}, clock,
                                             options.probeTimeoutMs));
                if (!error)
                    error = checked(exchange(client, QStringLiteral("getOperGrup"), {"01", {}, {}},
                                             clock, options.probeTimeoutMs));
            } catch (const std::exception &e) {
                error = QString::fromUtf8(e.what());
            }
            record(f, f.adminMs, f.adminFailures, clock, error);
        }
        // A read on the open connection between any two probes, however
        // long a probe took.
        if (readerIn) {
            QElapsedTimer clock;
            clock.start();
            std::optional<QString> error;
            try {
                error = checked(exchange(reader, QStringLiteral("getOperGrup"), {"01", {}, {}},
                                         clock, options.probeTimeoutMs));
            } catch (const std::exception &e) {
                error = QString::fromUtf8(e.what());
            }
            record(f, f.readMs, f.readFailures, clock, error);
            readerIn = !error;
        }
        QThread::msleep(20);
        probeDue = sinceProbe.elapsed() >= options.probeIntervalMs;
    }
    f.seconds = double(total.elapsed()) / 1000;
    c.stop = true;
    for (std::thread &peer : peers)
        peer.join();
    sampler.join();

    f.serverCpuSeconds = cpuSeconds(pid) - cpuBefore;
    const qint64 hwm = statusKiB(pid, "VmHWM");
    f.serverAlive = hwm >= 0;
    f.peakRssMiB = double(std::max<qint64>(peakKiB, hwm)) / 1024;
    f.connects = c.connects;
    f.answers = c.answers;
    f.bytesSent = c.sent;
    return f;
}

QString largestSearch(const QString &connectionString)
{
    const QString name = QStringLiteral("hostile-largest");
    QString best;
    {
        QSqlDatabase db = openConnection(connectionString, name);
        qint64 most = -1;
        for (const QStringList &dimension :
             rows(db, QStringLiteral("SELECT CDTABELADIME, DSPKDIME, DSITEMDIME FROM DIMEDW "
                                     "WHERE CDTABELADIME IS NOT NULL AND CDTABELADIME <> ''"))) {
            const qint64 values =
                count(db, QStringLiteral("SELECT COUNT(*) FROM %1").arg(dimension[0]));
            if (values > most) {
                most = values;
                best = QStringLiteral(" SELECT DISTINCT ' ' AS IDMARCADO, %1 , %2 FROM %3 ORDER "
                                      "BY %2")
                           .arg(dimension[1], dimension[2], dimension[0]);
            }
        }
    }
    db::closeDatabase(name);
    return best;
}

} // namespace quv::test::hostile
