// Every program follows one command-line convention: --help prints the
// usage (naming the program, not its path) on stdout and exits 0, --version
// prints the name and the project's version and exits 0, a usage error is
// one line on stderr that says "see --help" with status 2, and a failure at
// run time exits 1.

#include "tests/support/programrun.h"

#include <QTemporaryDir>
#include <QTest>

using namespace quv::test;

namespace {

const QString Version = QStringLiteral(QUV_PROJECT_VERSION);
const QString Token = QStringLiteral("--token=ana=token-of-ana-0001");

// What a table row runs: the program as its messages name it ("quv-db
// create"), the binary being its first word.
void addColumns()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("part");
}

void addRow(const QString &name, const char *what, const QStringList &arguments, int status,
            const QString &part)
{
    QTest::addRow("%s %s", qPrintable(name), what) << name << arguments << status << part;
}

// The rows every program has: help, version, an unknown option.
void addConventionRows(const QString &name, const QStringList &command = {})
{
    addRow(name, "help", command + QStringList{"--help"}, 0, QStringLiteral("--version"));
    addRow(name, "version", command + QStringList{"--version"}, 0,
           QStringLiteral("%1 %2\n").arg(name, Version));
    addRow(name, "unknown option", command + QStringList{"--bogus-option"}, 2,
           QStringLiteral("bogus-option"));
}

// As a session without a display has it; the runtime folder keeps Qt's
// complaint about a missing one off the programs' stderr.
QProcessEnvironment withoutDisplay()
{
    static const QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1StringView(name));
    if (!env.contains(QStringLiteral("XDG_RUNTIME_DIR")))
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    return env;
}

} // namespace

class CommandLineTest : public QObject
{
    Q_OBJECT

    // Runs the row and checks the convention's shape and the row's part.
    void check(const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        QFETCH(QString, name);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, part);
        const ProgramRun run = runProgram(name.section(u' ', 0, 0), arguments, environment);
        const QString seen = QStringLiteral("status %1\nstdout:\n%2\nstderr:\n%3")
                                 .arg(run.status)
                                 .arg(run.out, run.err);
        QVERIFY2(run.status == status, qPrintable(seen));
        if (status == 0) {
            QVERIFY2(run.out.contains(part) && run.err.isEmpty(), qPrintable(seen));
            if (arguments.contains(QStringLiteral("--help")))
                QVERIFY2(run.out.startsWith(QStringLiteral("Usage: %1 ").arg(name)),
                         qPrintable(seen));
        } else if (status == 2) {
            QVERIFY2(run.out.isEmpty(), qPrintable(seen));
            QCOMPARE(run.err.count(u'\n'), 1);
            QVERIFY2(run.err.startsWith(name + QStringLiteral(": ")) &&
                         run.err.endsWith(QStringLiteral(" (see --help)\n")) &&
                         run.err.contains(part),
                     qPrintable(seen));
        } else {
            QVERIFY2(run.err.contains(part), qPrintable(seen));
        }
    }

private slots:
    void quvDb_data()
    {
        addColumns();
        const QString db = QStringLiteral("quv-db");
        const QString create = QStringLiteral("quv-db create");
        addConventionRows(db);
        addConventionRows(create, {"create"});
        addRow(db, "lists its commands", {"--help"}, 0, QStringLiteral("Commands:\n  create"));
        addRow(db, "no command", {}, 2, QStringLiteral("no command"));
        addRow(db, "unknown command", {"creat"}, 2, QStringLiteral("unknown command"));
        addRow(create, "missing value", {"create", "--db"}, 2, QStringLiteral("--db"));
        addRow(create, "missing option", {"create"}, 2, QStringLiteral("--db is required"));
        addRow(create, "bad size", {"create", "--db", "sqlite:/tmp/x.db", "--size", "giant"}, 2,
               QStringLiteral("unknown size 'giant'"));
        addRow(create, "bad connection string", {"create", "--db", "oracle:x"}, 2,
               QStringLiteral("unknown database connection string"));
        addRow(create, "unreachable database",
               {"create", "--db", "postgres://nobody@127.0.0.1:1/x"}, 1,
               QStringLiteral("cannot open"));
    }
    void quvDb() { check(); }

    void quvServer_data()
    {
        addColumns();
        const QString server = QStringLiteral("quv-server");
        const QString db = QStringLiteral("--db=sqlite:x.db");
        addConventionRows(server);
        addRow(server, "lists its commands", {"--help"}, 0, QStringLiteral("Commands:\n  audit"));
        addRow(server, "token form", {"--help"}, 0, QStringLiteral("NAME=TOKEN"));
        addRow(server, "missing value", {db, Token, "--port"}, 2, QStringLiteral("--port"));
        addRow(server, "bad port", {db, Token, "--port", "70000"}, 2, QStringLiteral("'70000'"));
        addRow(server, "stray argument", {db, Token, "extra"}, 2,
               QStringLiteral("unexpected argument"));
        addRow(server, "remote host",
               {"--db", "sqlite:/nonexistent/x.db", Token, "--host", "0.0.0.0"}, 2,
               QStringLiteral("--allow-remote"));
        addRow(server, "host name", {db, Token, "--host", "example"}, 2,
               QStringLiteral("not an IP address"));
        addRow(server, "no database", {Token}, 2, QStringLiteral("no database"));
        addRow(server, "no token", {db}, 2, QStringLiteral("no administrator"));
        addRow(server, "short token", {db, "--token", "a=short"}, 2,
               QStringLiteral("shorter than 16"));
        addRow(server, "shared token", {db, Token, "--token=b=token-of-ana-0001"}, 2,
               QStringLiteral("share one token"));
        addRow(server, "small max frame", {db, Token, "--max-frame", "10"}, 2,
               QStringLiteral("--max-frame"));
        addRow(server, "bad connection string", {"--db", "mysql://x/y", Token}, 2,
               QStringLiteral("unknown database connection string"));
        addRow(server, "missing config", {"--config", "/nonexistent/quv.ini"}, 2,
               QStringLiteral("config file"));
        addRow(server, "missing database",
               {"--db", "sqlite:/nonexistent-dir/x.db", Token, "--port", "0"}, 1,
               QStringLiteral("/nonexistent-dir/x.db does not exist"));
    }
    void quvServer() { check(); }

    void quvServerAudit_data()
    {
        addColumns();
        const QString audit = QStringLiteral("quv-server audit");
        const QString db = QStringLiteral("--db=sqlite:x.db");
        addConventionRows(audit, {"audit"});
        addRow(audit, "missing value", {"audit", "--db"}, 2, QStringLiteral("--db"));
        addRow(audit, "no database", {"audit", "--format", "json"}, 2,
               QStringLiteral("no database"));
        addRow(audit, "bad format", {"audit", db, "--format", "xml"}, 2,
               QStringLiteral("--format 'xml'"));
        addRow(audit, "bad time", {"audit", db, "--since", "yesterday"}, 2,
               QStringLiteral("ISO-8601"));
        addRow(audit, "bad principal", {"audit", db, "--principal", "X01"}, 2,
               QStringLiteral("G<group code>"));
        addRow(audit, "missing database", {"audit", "--db", "sqlite:/nonexistent-dir/x.db"}, 1,
               QStringLiteral("/nonexistent-dir/x.db does not exist"));
    }
    void quvServerAudit() { check(); }

    // Without a display: everything here is decided before the host looks
    // for one (tst_hostprocess covers the run-time failures).
    void quvHost_data()
    {
        addColumns();
        const QString host = QStringLiteral("quv-host");
        addConventionRows(host);
        addRow(host, "token form", {"--help"}, 0, QStringLiteral("the TOKEN alone"));
        addRow(host, "missing value", {"--server-port"}, 2, QStringLiteral("server-port"));
        addRow(host, "bad port", {"--server-port", "99999"}, 2,
               QStringLiteral("invalid server port '99999'"));
        addRow(host, "bad connection string", {"--db", "mysql://x"}, 2,
               QStringLiteral("unknown database connection string"));
    }
    void quvHost() { check(withoutDisplay()); }

    void tools_data()
    {
        addColumns();
        for (const char *tool :
             {"server_bench", "screen_load_bench", "screen_filter_bench", "screen_toggle_bench",
              "load_bench", "packet_bench", "listdialog_bench", "bench_report", "quv-soak",
              "hostile_bench", "history_bench", "transfer_bench", "quv-admin"})
            addConventionRows(QLatin1StringView(tool));
        addRow(QStringLiteral("server_bench"), "no database", {}, 2, QStringLiteral("--db"));
        addRow(QStringLiteral("screen_load_bench"), "bad runs",
               {"--db", "sqlite:x.db", "--runs", "0"}, 2, QStringLiteral("--runs '0'"));
        addRow(QStringLiteral("packet_bench"), "bad runs", {"--runs", "many"}, 2,
               QStringLiteral("--runs 'many'"));
        addRow(QStringLiteral("load_bench"), "bad database kind", {"--db", "mysql"}, 2,
               QStringLiteral("--db 'mysql'"));
        addRow(QStringLiteral("bench_report"), "no results", {"--out", "/tmp"}, 2,
               QStringLiteral("results file"));
        addRow(QStringLiteral("quv-soak"), "bad clients", {"--clients", "0"}, 2,
               QStringLiteral("--clients"));
        addRow(QStringLiteral("listdialog_bench"), "stray argument", {"extra"}, 2,
               QStringLiteral("unexpected argument"));
    }
    void tools() { check(withoutDisplay()); }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_commandline.moc"
