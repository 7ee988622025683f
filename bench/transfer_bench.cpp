// transfer_bench: moving grants in bulk on a generated warehouse, end to
// end through the real server process and the real quv-admin:
//
//   - export of every grant (quv-admin export);
//   - import of that file, which changes nothing;
//   - replace import of a file that changes a tenth of the principals (and
//     of the original again, which changes them back);
//   - copy of an operator holding every fact and a large filter onto an
//     operator holding nothing, beside the toggle-alls that give it the same
//     grants by hand (every fact, the dimension, the filter stored);
//   - the server's peak memory over all of it;
//   - the copy's picker of every group and operator: opening it, and each
//     keystroke of a search (typing and erasing).
//
//   transfer_bench --db sqlite:/path/large.db [--values 100000] [--runs 3]
//                  [--copy-runs 5] [--json results.jsonl --label large]
//
// The two operators with the highest codes are used for the copy and left
// as the copy made them. Prints the figures; it asserts nothing beyond the
// steps having worked.

#include "bench/benchsupport.h"
#include "contracts/cli.h"
#include "contracts/datapacket.h"
#include "db/connection.h"
#include "db/sql.h"
#include "db/warehouse.h"
#include "screen/copyaccessdialog.h"
#include "tests/support/rpcclient.h"
#include "tests/support/serverprocess.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <stdexcept>

using namespace quv;
using bench::out;
using bench::Timing;

namespace {

double peakMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return double(line.mid(6).trimmed().split(' ').value(0).toLongLong()) / 1024.0;
    return -1;
}

class Bench
{
public:
    Bench(const QString &connection, test::ServerProcess &server)
        : m_server(server), m_db(db::openDatabase(connection, QStringLiteral("transfer-bench")))
    {
        if (!m_client.connectTo(server.host(), server.port()) ||
            !m_client.login(test::ServerProcess::Token).ok)
            throw std::runtime_error("cannot log in to the server");
    }

    /// One call that must succeed; returns its payload.
    QVariant call(const QString &method, const QVariantList &params)
    {
        const wire::Response response = m_client.call(method, params);
        if (!response.ok)
            throw std::runtime_error(
                QStringLiteral("%1 failed: %2").arg(method, response.errorMessage).toStdString());
        return test::payloadOf(response);
    }

    QStringList column(const QString &sql)
    {
        QStringList values;
        QSqlQuery query = db::run(m_db, sql);
        while (query.next())
            values.append(query.value(0).toString());
        return values;
    }

    /// Runs quv-admin; returns its standard output.
    QString admin(const QStringList &arguments)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QUV_TOKEN"), test::ServerProcess::Token);
        process.setProcessEnvironment(environment);
        process.start(
            QCoreApplication::applicationDirPath() + QStringLiteral("/quv-admin"),
            QStringList{QStringLiteral("--server-port"), QString::number(m_server.port())} +
                arguments);
        if (!process.waitForFinished(-1) || process.exitCode() != 0)
            throw std::runtime_error(
                QStringLiteral("quv-admin %1 failed: %2")
                    .arg(arguments.join(u' '), QString::fromUtf8(process.readAllStandardError()))
                    .toStdString());
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    QSqlDatabase &db() { return m_db; }

private:
    test::ServerProcess &m_server;
    test::RpcClient m_client;
    QSqlDatabase m_db;
};

double timed(const std::function<void()> &body)
{
    QElapsedTimer timer;
    timer.start();
    body();
    return bench::msSince(timer);
}

void line(const QString &what, const Timing &t, const QString &note = {})
{
    out() << QStringLiteral("%1 | median %2 ms (min %3, max %4, n=%5) %6\n")
                 .arg(what, -44)
                 .arg(t.at(0.5), 9, 'f', 1)
                 .arg(t.at(0), 0, 'f', 1)
                 .arg(t.at(1), 0, 'f', 1)
                 .arg(t.ms.size())
                 .arg(note);
    out().flush();
}

// A copy of the export in which every tenth principal changes: its first
// fact goes (or, holding none, it gains one), and its first filter loses
// its last value.
QByteArray changedTenth(const QByteArray &file, qint64 *changed)
{
    QJsonObject root = QJsonDocument::fromJson(file).object();
    QJsonArray principals = root[QStringLiteral("principals")].toArray();
    QJsonObject someFact;
    for (const QJsonValue &p : std::as_const(principals)) {
        const QJsonArray facts = p[QStringLiteral("facts")].toArray();
        if (!facts.isEmpty()) {
            someFact = facts.first().toObject();
            break;
        }
    }
    *changed = 0;
    for (qsizetype i = 0; i < principals.size(); i += 10) {
        QJsonObject p = principals[i].toObject();
        QJsonArray facts = p[QStringLiteral("facts")].toArray();
        if (facts.isEmpty())
            facts.append(someFact);
        else
            facts.removeFirst();
        p[QStringLiteral("facts")] = facts;
        QJsonArray dimensions = p[QStringLiteral("dimensions")].toArray();
        for (qsizetype d = 0; d < dimensions.size(); ++d) {
            QJsonObject dimension = dimensions[d].toObject();
            QJsonArray filter = dimension[QStringLiteral("filter")].toArray();
            if (filter.size() < 2)
                continue;
            filter.removeLast();
            dimension[QStringLiteral("filter")] = filter;
            dimensions[d] = dimension;
            break;
        }
        p[QStringLiteral("dimensions")] = dimensions;
        principals[i] = p;
        ++*changed;
    }
    root[QStringLiteral("principals")] = principals;
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

// The picker over every principal of the warehouse, as the screen opens it.
void pickerSearch(Bench &b)
{
    QList<Cli_quv01000::PrincipalChoice> all;
    for (bool group : {true, false}) {
        QSqlQuery query = db::run(
            b.db(), group
                        ? QStringLiteral("SELECT CDGRUPOPER, DSGRUPOPER FROM GRUPOPER ORDER BY 2")
                        : QStringLiteral("SELECT CDOPERADOR, NMOPERADOR FROM OPERADOR ORDER BY 2"));
        while (query.next())
            all.append({group, query.value(0).toString(), query.value(1).toString()});
    }
    std::unique_ptr<Cli_quv01000::TdlgCopiaAcessos> dialog;
    Timing open;
    open.add(timed([&] {
        dialog = std::make_unique<Cli_quv01000::TdlgCopiaAcessos>(
            nullptr, all.first(), all,
            [](const QString &, const QString &) { return Cli_quv01000::CopyCounts{}; });
        dialog->show();
        QApplication::processEvents();
    }));
    Timing keystrokes;
    for (const QString &word :
         {QStringLiteral("silva"), QStringLiteral("joão"), QStringLiteral("op0099")}) {
        for (qsizetype n = 1; n <= word.size(); ++n)
            keystrokes.add(timed([&] {
                dialog->edtPesquisa->setText(word.left(n));
                QApplication::processEvents();
            }));
        for (qsizetype n = word.size() - 1; n >= 0; --n)
            keystrokes.add(timed([&] {
                dialog->edtPesquisa->setText(word.left(n));
                QApplication::processEvents();
            }));
    }
    bench::Results::instance().add(QStringLiteral("copy picker: opening"), QStringLiteral("ms"),
                                   open, {}, all.size(), {});
    bench::Results::instance().add(QStringLiteral("copy picker: search, per keystroke"),
                                   QStringLiteral("ms"), keystrokes, {}, all.size(),
                                   bench::Results::maxBelow(100));
    line(QStringLiteral("picker of %1 principals: opening").arg(all.size()), open);
    line(QStringLiteral("  search, per keystroke"), keystrokes);
}

void benchmark(const QString &connection, int values, int runs, int copyRuns)
{
    bench::Results &results = bench::Results::instance();
    results.setDatabase(connection);
    out() << '\n' << db::parseConnectionString(connection).display() << '\n';
    test::ServerProcess server;
    if (!server.start(connection, bench::serverArguments()))
        throw std::runtime_error(server.errorString().toStdString());
    Bench b(connection, server);
    QTemporaryDir dir;
    const QString exported = dir.filePath(QStringLiteral("grants.json"));
    const QString changed = dir.filePath(QStringLiteral("changed.json"));

    // ------------------------------------------------------------ copy
    const QStringList operators =
        b.column(QStringLiteral("SELECT CDOPERADOR FROM OPERADOR ORDER BY CDOPERADOR DESC"));
    if (operators.size() < 2)
        throw std::runtime_error("the warehouse needs two operators");
    const QString source = operators[1];
    const QString target = operators[0];
    DataPacket facts({{QStringLiteral("CDTABELADW"), 30}, {QStringLiteral("CDITEMDW"), 30}});
    for (const QString &key : b.column(QStringLiteral("SELECT CDTABELADW || '/' || CDITEMDW "
                                                      "FROM ITEMDW")))
        facts.appendRow({key.section(u'/', 0, 0), key.section(u'/', 1)});
    DataPacket dimensions({{QStringLiteral("NRSEQUEDIME"), 5}});
    for (const QString &number : b.column(QStringLiteral("SELECT NRSEQUEDIME FROM DIMEDW")))
        dimensions.appendRow({number});
    const QString bigDimension = QString::number(db::LargeDimensionNumber);
    const auto filterPacket = [&](const QString &principal) {
        DataPacket packet({{QStringLiteral("ITENS"), 50},
                           {QStringLiteral("CDCODIGOPAI"), 20},
                           {QStringLiteral("NRSEQUEDIME"), 20}});
        QSqlQuery query = db::run(b.db(), QStringLiteral("SELECT CDCLIENTE FROM DIMCLIENTE ORDER "
                                                         "BY CDCLIENTE"));
        for (int i = 0; i < values && query.next(); ++i)
            packet.appendRow({query.value(0).toString(), principal, bigDimension});
        return packet;
    };
    const DataPacket sourceFilter = filterPacket(source);
    const DataPacket targetFilter = filterPacket(target);
    const auto revokeAll = [&](const QString &principal) {
        b.call(QStringLiteral("setTChkDimeOpOper"),
               {principal, QVariant::fromValue(dimensions), false, QVariant()});
        b.call(QStringLiteral("setTChkFatoOpOper"),
               {principal, QVariant::fromValue(facts), QVariant(), false});
    };
    // The same grants by hand: every fact from the column title, the
    // dimension, its filter stored.
    const auto grantByHand = [&](const QString &principal, const DataPacket &filter) {
        b.call(QStringLiteral("setTChkFatoOpOper"),
               {principal, QVariant::fromValue(facts), QVariant(), true});
        b.call(QStringLiteral("setCkDimeOpOper"), {bigDimension, principal, true, QVariant()});
        b.call(QStringLiteral("setDelFilDime"), {QVariant::fromValue(filter), false});
    };
    revokeAll(source);
    grantByHand(source, sourceFilter);
    Timing copy, byHand;
    for (int run = -1; run < copyRuns; ++run) {
        revokeAll(target);
        const double hand = timed([&] { grantByHand(target, targetFilter); });
        revokeAll(target);
        const double copied = timed([&] {
            b.call(QStringLiteral("copiaAcessos"),
                   {QString(u'O' + source), QString(u'O' + target), QStringLiteral("substituir")});
        });
        if (run >= 0) { // the first run warms up
            byHand.add(hand);
            copy.add(copied);
        }
    }
    const qint64 copyRows = facts.rowCount() + 1 + sourceFilter.rowCount();
    results.add(
        QStringLiteral("copy: %1 facts + %2-value filter").arg(facts.rowCount()).arg(values),
        QStringLiteral("ms"), copy, byHand, copyRows, bench::Results::ratioAtMost(2));
    line(QStringLiteral("copy (%1 facts, %2 values)").arg(facts.rowCount()).arg(values), copy);
    line(QStringLiteral("  the same by hand (toggle-all, filter)"), byHand);

    // ------------------------------------------------------------ export
    Timing exportTime;
    for (int run = 0; run < runs; ++run)
        exportTime.add(timed([&] {
            b.admin({QStringLiteral("export"), QStringLiteral("--out"), exported});
        }));
    QFile file(exported);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("the export wrote no file");
    const QByteArray original = file.readAll();
    const qint64 lines = original.count('\n');
    const qint64 principalCount =
        QJsonDocument::fromJson(original)[QStringLiteral("principals")].toArray().size();
    results.add(QStringLiteral("export (quv-admin)"), QStringLiteral("ms"), exportTime, {}, lines,
                bench::Results::maxBelow(10000),
                {{QStringLiteral("principals"), principalCount},
                 {QStringLiteral("bytes"), original.size()}});
    line(QStringLiteral("export"), exportTime,
         QStringLiteral("%1 principals, %2 lines, %3 MiB")
             .arg(principalCount)
             .arg(lines)
             .arg(double(original.size()) / 1048576.0, 0, 'f', 1));

    // ------------------------------------------------------------ imports
    Timing unchanged;
    for (int run = 0; run < runs; ++run) {
        QString said;
        unchanged.add(timed([&] { said = b.admin({QStringLiteral("import"), exported}); }));
        if (!said.startsWith(QStringLiteral("0 of ")))
            throw std::runtime_error("importing the export changed something: " +
                                     said.right(300).toStdString());
    }
    results.add(QStringLiteral("import, no change (quv-admin)"), QStringLiteral("ms"), unchanged,
                {}, lines, bench::Results::maxBelow(10000));
    line(QStringLiteral("import of the same file (no change)"), unchanged);

    qint64 changedPrincipals = 0;
    writeFile(changed, changedTenth(original, &changedPrincipals));
    Timing tenth;
    for (int run = 0; run < runs; ++run)
        for (const QString &path : {changed, exported})
            tenth.add(timed([&] {
                b.admin({QStringLiteral("import"), path, QStringLiteral("--mode"),
                         QStringLiteral("replace")});
            }));
    results.add(QStringLiteral("replace import, 10% changed (quv-admin)"), QStringLiteral("ms"),
                tenth, {}, changedPrincipals, bench::Results::maxBelow(30000));
    line(QStringLiteral("replace import changing %1 principals").arg(changedPrincipals), tenth,
         QStringLiteral("(there and back)"));

    pickerSearch(b);

    const double peak = peakMiB(server.processId());
    Timing memory;
    memory.add(peak);
    results.add(QStringLiteral("server peak memory (transfers)"), QStringLiteral("MiB"), memory, {},
                0, bench::Results::maxBelow(500));
    out() << QStringLiteral("server peak memory (VmHWM)                   | %1 MiB\n")
                 .arg(peak, 0, 'f', 1);
    out().flush();
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    quv::cli::CommandLine command(
        QStringLiteral("transfer_bench"),
        QStringLiteral("Export, import and copy of grants through the real server and quv-admin."));
    const QCommandLineOption dbOption(QStringLiteral("db"),
                                      QStringLiteral("Connection string (repeatable)."),
                                      QStringLiteral("conn"));
    const QCommandLineOption valuesOption(QStringLiteral("values"),
                                          QStringLiteral("Values of the copied filter (default "
                                                         "100000)."),
                                          QStringLiteral("n"), QStringLiteral("100000"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Runs of each export and import (default "
                                                       "3)."),
                                        QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption copyRunsOption(QStringLiteral("copy-runs"),
                                            QStringLiteral("Runs of the copy and of its baseline "
                                                           "(default 5)."),
                                            QStringLiteral("n"), QStringLiteral("5"));
    command.addOptions({dbOption, valuesOption, runsOption, copyRunsOption});
    bench::Results::addOptions(command.parser());
    return command.run(app.arguments(), [&] {
        bench::Results::instance().configure(command.parser());
        const QStringList connections = command.values(dbOption);
        if (connections.isEmpty())
            throw quv::cli::UsageError(QStringLiteral("--db is required"));
        const int values = int(command.number(valuesOption, 1, 100000000));
        const int runs = int(command.number(runsOption, 1, 1000000));
        const int copyRuns = int(command.number(copyRunsOption, 1, 1000000));
        for (const QString &connection : connections)
            benchmark(connection, values, runs, copyRuns);
        return quv::cli::ExitSuccess;
    });
}
