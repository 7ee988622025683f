// quv-admin end to end: the real program against real servers on SQLite and
// PostgreSQL, and its command line.

#include "admin/adminoptions.h"
#include "tests/server/certificates.h"
#include "tests/server/servedemo.h"
#include "tests/support/grants.h"

#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <rapidjson/document.h>
#include <rapidjson/schema.h>
#include <rapidjson/stringbuffer.h>

#include <map>

using namespace quv;
using namespace quv::test;

namespace {

struct AdminRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

AdminRun runAdmin(const ServerProcess &server, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUV_TOKEN"), ServerProcess::Token);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(QUV_BIN_DIR "/quv-admin"),
                  QStringList{QStringLiteral("--server-host"), server.host(),
                              QStringLiteral("--server-port"), QString::number(server.port())} +
                      arguments);
    AdminRun run;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        run.err = QStringLiteral("quv-admin did not finish");
        return run;
    }
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

/// Where the published schema and the file disagree, or empty.
QString schemaViolation(const QByteArray &file)
{
    rapidjson::Document schemaJson;
    const QByteArray schemaText =
        readAll(QStringLiteral(QUV_SOURCE_DIR "/docs/grants-file.schema.json"));
    if (schemaJson.Parse(schemaText.constData(), size_t(schemaText.size())).HasParseError())
        return QStringLiteral("the schema is not JSON");
    const rapidjson::SchemaDocument schema(schemaJson);
    rapidjson::Document document;
    if (document.Parse(file.constData(), size_t(file.size())).HasParseError())
        return QStringLiteral("the export is not JSON");
    rapidjson::SchemaValidator validator(schema);
    if (document.Accept(validator))
        return {};
    rapidjson::StringBuffer where;
    validator.GetInvalidDocumentPointer().StringifyUriFragment(where);
    return QStringLiteral("%1 breaks \"%2\"")
        .arg(QString::fromUtf8(where.GetString()),
             QString::fromUtf8(validator.GetInvalidSchemaKeyword()));
}

#define QUV_EXPECT_RUN(run, code)                                                                  \
    QVERIFY2((run).exitCode == (code),                                                             \
             qPrintable(QStringLiteral("exit %1, stderr: %2").arg((run).exitCode).arg((run).err)))

} // namespace

class AdminTool : public QObject
{
    Q_OBJECT

    // One served demo per driver, shared by the rows of the refusal table:
    // every row leaves the database as it found it.
    std::map<QString, std::unique_ptr<ServedDemo>> m_served;

    ServedDemo *served(const QString &driver, QString *skip, QString *error)
    {
        auto &slot = m_served[driver];
        if (!slot) {
            auto demo = std::make_unique<ServedDemo>();
            if (!demo->start(driver, skip, error, false))
                return nullptr;
            slot = std::move(demo);
        }
        return slot.get();
    }

private slots:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("says");
        using A = admin::ParsedArguments::Action;
        const auto row = [](const char *name, const QStringList &args, A action, const char *says) {
            QTest::newRow(name) << args << int(action) << QString::fromUtf8(says);
        };
        row("help", {"--help"}, A::Help, "import FILE");
        row("version", {"--version"}, A::Version, "");
        row("export", {"export", "--principal", "G01", "--out", "f.json"}, A::Run, "");
        row("import", {"import", "f.json", "--mode", "merge", "--dry-run"}, A::Run, "");
        row("no command", {}, A::UsageError, "no command");
        row("unknown command", {"send"}, A::UsageError, "unknown command");
        row("import without a file", {"import"}, A::UsageError, "needs the file");
        row("unknown mode", {"import", "f.json", "--mode", "swap"}, A::UsageError, "swap");
        row("option of the other command", {"export", "--dry-run"}, A::UsageError, "import");
        row("malformed principal", {"export", "--principal", "01"}, A::UsageError, "'01'");
        row("bad port", {"export", "--server-port", "0"}, A::UsageError, "--server-port");
        row("two tokens", {"export", "--token", "a", "--token-file", "t"}, A::UsageError, "once");
        row("unknown option", {"export", "--force"}, A::UsageError, "force");
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, action);
        QFETCH(QString, says);
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("QUV_TOKEN"), QStringLiteral("from-the-environment"));
        const admin::ParsedArguments parsed = admin::parseArguments(
            QStringList{QStringLiteral("quv-admin")} + arguments, environment);
        QCOMPARE(int(parsed.action), action);
        QVERIFY2(parsed.text.contains(says), qPrintable(parsed.text));
        if (parsed.action == admin::ParsedArguments::Action::Run)
            QCOMPARE(parsed.options.token, QStringLiteral("from-the-environment"));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::newRow("sqlite to postgres") << "sqlite"
                                            << "postgres";
        QTest::newRow("postgres to sqlite") << "postgres"
                                            << "sqlite";
    }
    // An export imported in replace mode into another database with the
    // same catalogue reproduces the grants exactly, whatever the layout
    // the file was saved in; a second import changes nothing.
    void roundTrip()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        ServedDemo source, target;
        QUV_SERVE(source, from);
        QUV_SERVE(target, to);
        QStringList many;
        for (int i = 0; i < 300; ++i)
            many.append(QStringLiteral("C%1").arg(i, 7, 10, QLatin1Char('0')));
        setGrants(source.db(), QStringLiteral("OJSILVA"),
                  {{QStringLiteral("FATOVENDA/VLVENDA")}, {{1, many}, {5, {}}}});
        setGrants(source.db(), QStringLiteral("G01"), {});
        setGrants(target.db(), QStringLiteral("OVISITANTE"),
                  {{QStringLiteral("FATOMETA/VLMETA")}, {{4, {QStringLiteral("N")}}}});

        QTemporaryDir dir;
        const QString exported = dir.filePath(QStringLiteral("grants.json"));
        const QString again = dir.filePath(QStringLiteral("again.json"));
        QUV_EXPECT_RUN(runAdmin(source.server, {"export", "--out", exported}), 0);
        QUV_EXPECT_RUN(runAdmin(source.server, {"export", "--out", again}), 0);
        const QByteArray text = readAll(exported);
        QCOMPARE(readAll(again), text);
        QCOMPARE(schemaViolation(text), QString());

        // Saved again by an editor: a byte order mark, sorted keys and
        // another indentation ("version" now after "principals", "key"
        // after "facts").
        const QString resaved = dir.filePath(QStringLiteral("resaved.json"));
        writeAll(resaved,
                 "\xEF\xBB\xBF" + QJsonDocument::fromJson(text).toJson(QJsonDocument::Indented));
        // A dry run of a merge prints what it would add, revokes nothing
        // and stores nothing.
        const QStringList untouched = allGrants(target.db());
        const AdminRun dryMerge =
            runAdmin(target.server, {"import", resaved, "--mode", "merge", "--dry-run"});
        QUV_EXPECT_RUN(dryMerge, 0);
        QVERIFY2(QRegularExpression(QStringLiteral(R"(would change \(merge\): facts \+\d+ -0, )"
                                                   R"(dimensions \+\d+ -0)"))
                     .match(dryMerge.out)
                     .hasMatch(),
                 qPrintable(dryMerge.out));
        QCOMPARE(allGrants(target.db()), untouched);

        const AdminRun first = runAdmin(target.server, {"import", resaved});
        QUV_EXPECT_RUN(first, 0);
        QCOMPARE(allGrants(target.db()), allGrants(source.db()));

        const qint64 audit = target.count(QStringLiteral("SELECT COUNT(*) FROM AUDITORIA"));
        const AdminRun second = runAdmin(target.server, {"import", exported});
        QUV_EXPECT_RUN(second, 0);
        QVERIFY2(second.out.startsWith(QStringLiteral("0 of ")), qPrintable(second.out));
        QCOMPARE(target.count(QStringLiteral("SELECT COUNT(*) FROM AUDITORIA")), audit);
        QCOMPARE(allGrants(target.db()), allGrants(source.db()));
    }

    void tlsAsTheHost_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("says");
        QTest::newRow("verified by the CA file")
            << QStringList{"--tls", "--ca-file", "ca.crt"} << 0 << "";
        QTest::newRow("another authority")
            << QStringList{"--tls", "--ca-file", "other.crt"} << 1 << "not accepted";
        QTest::newRow("plain TCP to a TLS port") << QStringList{} << 1 << "--tls";
    }
    void tlsAsTheHost()
    {
        QFETCH(QStringList, options);
        QFETCH(int, exitCode);
        QFETCH(QString, says);
        if (const QString missing = Certificates::unavailable(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        Certificates certs;
        QVERIFY2(certs.make(), qPrintable(certs.error));
        QString skip;
        const QString database = freshDemoDatabase(QStringLiteral("sqlite"), &skip);
        ServerProcess server;
        QVERIFY2(server.start(database, {"--tls-cert", certs.path("server.crt"), "--tls-key",
                                         certs.path("server.key")}),
                 qPrintable(server.errorString()));
        for (QString &option : options)
            if (option.endsWith(u".crt"))
                option = certs.dir.filePath(option);
        const AdminRun run =
            runAdmin(server, options + QStringList{"export", "--principal", "G01", "--out",
                                                   certs.dir.filePath(QStringLiteral("g01.json"))});
        QUV_EXPECT_RUN(run, exitCode);
        QVERIFY2(run.err.contains(says), qPrintable(run.err));
        QVERIFY2(!run.err.contains(ServerProcess::Token), "the token was shown");
    }

    void badFileChangesNothing_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("says");
        // Line 5 is valid and would revoke every grant of JSILVA; the fault
        // comes later, on the line given.
        const QString layout = QStringLiteral(
            "{\n"
            "  \"format\": \"quv-access-grants\",\n"
            "  \"version\": %1,\n"
            "  \"principals\": [\n"
            "    {\"key\": \"OJSILVA\", \"name\": \"\", \"facts\": [], \"dimensions\": []},\n"
            "    {\"key\": \"%2\", \"name\": \"\", \"facts\": [\n"
            "      %3\n"
            "    ], \"dimensions\": [\n"
            "      %4\n"
            "    ]}\n"
            "  ]\n"
            "}\n");
        const auto file = [&layout](const char *version, const char *key, const QString &fact,
                                    const QString &dimension) {
            return layout.arg(QLatin1StringView(version), QLatin1StringView(key), fact, dimension);
        };
        const QString fact = QStringLiteral("{\"table\": \"FATOVENDA\", \"item\": \"VLVENDA\"}");
        const QString longValue(51, QLatin1Char('x'));
        for (const QString &driver : Drivers) {
            newRow(driver, "malformed JSON")
                << driver
                << file("1", "OADMIN", QStringLiteral("{\"table\": \"FATOVENDA\" \"item\": \"X\"}"),
                        {})
                << 7 << "malformed JSON";
            newRow(driver, "wrong version")
                << driver << file("2", "OADMIN", fact, {}) << 3 << "version 2 is not supported";
            newRow(driver, "unknown operator") << driver << file("1", "ONINGUEM", fact, {}) << 6
                                               << "Operador 'NINGUEM' não cadastrado";
            newRow(driver, "unknown fact item")
                << driver
                << file("1", "OADMIN",
                        QStringLiteral("{\"table\": \"FATOVENDA\", \"item\": \"NADA\"}"), {})
                << 7 << "FATOVENDA/NADA";
            newRow(driver, "unknown dimension")
                << driver << file("1", "OADMIN", fact, QStringLiteral("{\"number\": 999}")) << 9
                << "Dimensão '999' não cadastrada";
            newRow(driver, "value over 50 characters")
                << driver
                << file("1", "OADMIN", fact,
                        QStringLiteral("{\"number\": 4, \"filter\": [\"%1\"]}").arg(longValue))
                << 9 << "51 characters";
            newRow(driver, "filter on a dimension without a value table")
                << driver
                << file("1", "OADMIN", fact, QStringLiteral("{\"number\": 5, \"filter\": [\"X\"]}"))
                << 9 << "não tem tabela de valores";
        }
    }
    void badFileChangesNothing()
    {
        QFETCH(QString, driver);
        QFETCH(QString, file);
        QFETCH(int, line);
        QFETCH(QString, says);
        QString skip, error;
        ServedDemo *demo = served(driver, &skip, &error);
        if (!demo) {
            if (!skip.isEmpty())
                QSKIP(qPrintable(skip));
            QFAIL(qPrintable(error));
        }
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("bad.json"));
        writeAll(path, file.toUtf8());
        const QString before = fingerprint(demo->db());
        const AdminRun run = runAdmin(demo->server, {"import", path});
        QUV_EXPECT_RUN(run, 1);
        QVERIFY2(run.err.contains(QStringLiteral("%1:%2:").arg(path).arg(line)) &&
                     run.err.contains(says),
                 qPrintable(run.err));
        QCOMPARE(fingerprint(demo->db()), before);
    }
};

QTEST_GUILESS_MAIN(AdminTool)
#include "tst_admin.moc"
