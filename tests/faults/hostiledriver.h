#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace quv::test {

class ServerProcess;

namespace hostile {

/// The ways a peer tries to freeze, exhaust or lock out the server. Each
/// runs from many connections at once; hostile connection i comes from the
/// loopback address 127.0.0.(2 + i / 8) (a guesser's all from 127.0.0.2),
/// never from the administrators' own 127.0.0.1.
enum class Attack
{
    Fields,      // a 1.8 MB login whose first argument declares 60,000 fields
    Header,      // a header announcing 256 MiB, then bytes as fast as they go
    Nulls,       // a 256 MiB frame of CBOR nulls, before login
    NullsLogin,  // the same after logging in with a valid token
    Idle,        // connections that never send anything
    NoRead,      // requests back to back, answers never read, before login
    NoReadLogin, // the same after logging in with a valid token
    Guess,       // token guesses at full speed from one address, closing early
    Search,      // one administrator pipelining searches of the largest dimension
};

struct AttackInfo
{
    Attack attack;
    const char *name;
    const char *description;
};

const QList<AttackInfo> &attacks();
std::optional<Attack> attackNamed(const QString &name);

struct Options
{
    Attack attack = Attack::Idle;
    int connections = 64;
    double seconds = 10;
    /// A probe that has not logged in and read a principal by then failed.
    int probeTimeoutMs = 20000;
    int probeIntervalMs = 200;
    /// The size of the frames of nulls (at most the server's frame limit
    /// after login).
    quint32 frameBytes = 256u * 1024 * 1024;
    /// Search only: the value search the attacker repeats.
    QString searchStatement;
    /// A valid token, for the attacks that log in and for the probes.
    QString token;
};

/// What the administrators saw while the attack ran, and what it cost.
struct Figures
{
    /// Each probe: a fresh connection from 127.0.0.1, login, getOperGrup.
    QList<double> adminMs;
    int adminFailures = 0;
    QStringList adminErrors; // the first few failures, as said
    /// Search only: getOperGrup on a connection that stays open.
    QList<double> readMs;
    int readFailures = 0;
    double peakRssMiB = 0;
    double serverCpuSeconds = 0; // the server's processor time meanwhile
    bool serverAlive = true;
    qint64 connects = 0;  // hostile connections made
    qint64 answers = 0;   // frames the hostile side got back
    qint64 bytesSent = 0; // by the hostile side
    double seconds = 0;

    static double percentile(QList<double> values, double fraction);
};

/// Runs the attack against a started server for `options.seconds`, probing
/// as an administrator throughout. The server may not survive it: see
/// Figures::serverAlive.
Figures run(ServerProcess &server, const Options &options);

/// The search statement of the dimension with the most values in the
/// database the connection string names.
QString largestSearch(const QString &connectionString);

} // namespace hostile
} // namespace quv::test
