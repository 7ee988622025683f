#include "admin/commands.h"

#include "admin/grantfile.h"
#include "contracts/datapacket.h"

#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QTextStream>

#include <cstdio>
#include <optional>

namespace quv::admin {

namespace {

// An export read while grants changed is tried again this many times.
constexpr int ExportAttempts = 3;
// Rows sent in one call of an import: about a megabyte.
constexpr qsizetype ImportChunkRows = 20000;

QString field(const DataPacket &packet, qsizetype row, int column)
{
    return column < 0 ? QString() : packet.value(row, column);
}

/// Writes one page of the export's rows (whole principals, in order).
void writePage(GrantFileWriter &writer, const DataPacket &rows)
{
    const int key = rows.indexOf(QStringLiteral("CHAVE"));
    const int type = rows.indexOf(QStringLiteral("TIPO"));
    const int code = rows.indexOf(QStringLiteral("CODIGO"));
    const int item = rows.indexOf(QStringLiteral("ITEM"));
    const int name = rows.indexOf(QStringLiteral("NOME"));
    if (key < 0 || type < 0)
        throw std::runtime_error("the server's export page lacks the CHAVE or TIPO field");
    std::optional<FilePrincipal> current;
    for (qsizetype r = 0; r < rows.rowCount(); ++r) {
        const QString kind = rows.value(r, type);
        if (kind == u"P") {
            if (current)
                writer.writePrincipal(*current);
            current = FilePrincipal();
            current->key = rows.value(r, key);
            current->name = field(rows, r, name);
            continue;
        }
        if (!current || rows.value(r, key) != current->key)
            throw std::runtime_error("the server's export page has an item before its principal");
        if (kind == u"F") {
            current->facts.append(
                {field(rows, r, code), field(rows, r, item), field(rows, r, name), 0});
        } else if (kind == u"D") {
            current->dimensions.append({field(rows, r, code).toInt(), field(rows, r, name), {}, 0});
        } else if (kind == u"V" && !current->dimensions.isEmpty()) {
            current->dimensions.last().filter.append({field(rows, r, item), 0});
        } else {
            throw std::runtime_error("the server's export page has a row of an unknown kind");
        }
    }
    if (current)
        writer.writePrincipal(*current);
}

/// Writes the whole export to `device`; true when no change was committed
/// on the server while it was read.
bool exportOnce(AdminClient &client, const DataPacket &selection, QIODevice &device)
{
    GrantFileWriter writer(device);
    QString after;
    std::optional<qint64> firstAudit;
    qint64 lastAudit = 0;
    for (;;) {
        const QVariantMap page =
            client
                .call(QStringLiteral("getExportaAcessos"), {QVariant::fromValue(selection), after})
                .toMap();
        const QVariantList audit = page.value(QStringLiteral("audit")).toList();
        if (audit.size() != 2)
            throw std::runtime_error("the server's export page lacks its audit counts");
        if (!firstAudit)
            firstAudit = audit[0].toLongLong();
        lastAudit = audit[1].toLongLong();
        writePage(writer, page.value(QStringLiteral("rows")).value<DataPacket>());
        const QVariant next = page.value(QStringLiteral("next"));
        if (next.isNull())
            break;
        after = next.toString();
    }
    writer.finish();
    return *firstAudit == lastAudit;
}

const QString ChangedWhileExporting =
    QStringLiteral("the grants changed on the server while they were being exported, %1 times "
                   "in a row; nothing was written")
        .arg(ExportAttempts);

/// A server refusal about one row names the row's position, which is the
/// line of the file the row came from.
[[noreturn]] void rethrowAtPosition(const RemoteError &error, const QString &file)
{
    static const QRegularExpression position(QStringLiteral(R"(^Posição (\d+): (.*)$)"),
                                             QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = position.match(error.message());
    if (match.hasMatch())
        throw FileRefused(
            QStringLiteral("%1:%2: %3").arg(file, match.captured(1), match.captured(2)));
    throw FileRefused(QStringLiteral("%1: %2").arg(file, error.message()));
}

QString countsText(const QVariant &added, const QVariant &removed)
{
    return QStringLiteral("+%1 -%2").arg(added.toLongLong()).arg(removed.toLongLong());
}

} // namespace

void exportGrants(AdminClient &client, const ExportOptions &options)
{
    DataPacket selection({{QStringLiteral("CHAVE"), 0}});
    for (const QString &key : options.principals)
        selection.appendRow({key});
    for (int attempt = 0; attempt < ExportAttempts; ++attempt) {
        if (!options.out.isEmpty()) {
            QSaveFile file(options.out);
            if (!file.open(QIODevice::WriteOnly))
                throw std::runtime_error(QStringLiteral("cannot write %1: %2")
                                             .arg(options.out, file.errorString())
                                             .toStdString());
            if (!exportOnce(client, selection, file))
                continue; // the unfinished file is dropped
            if (!file.commit())
                throw std::runtime_error(QStringLiteral("cannot write %1: %2")
                                             .arg(options.out, file.errorString())
                                             .toStdString());
            return;
        }
        // Standard output gets only a consistent export: spool it first.
        QTemporaryFile spool;
        if (!spool.open())
            throw std::runtime_error("cannot create a temporary file: " +
                                     spool.errorString().toStdString());
        if (!exportOnce(client, selection, spool))
            continue;
        spool.seek(0);
        QFile stdOut;
        if (!stdOut.open(stdout, QIODevice::WriteOnly))
            throw std::runtime_error("cannot write to standard output");
        while (!spool.atEnd()) {
            const QByteArray block = spool.read(1 << 20);
            if (stdOut.write(block) != block.size())
                throw std::runtime_error("cannot write to standard output: " +
                                         stdOut.errorString().toStdString());
        }
        stdOut.flush();
        return;
    }
    throw std::runtime_error(ChangedWhileExporting.toStdString());
}

void importGrants(AdminClient &client, const ImportOptions &options, QTextStream &out)
{
    const QString mode =
        options.merge ? QStringLiteral("acrescentar") : QStringLiteral("substituir");
    DataPacket chunk({{QStringLiteral("POSICAO"), 0},
                      {QStringLiteral("CHAVE"), 0},
                      {QStringLiteral("TIPO"), 1},
                      {QStringLiteral("CODIGO"), 0},
                      {QStringLiteral("ITEM"), 0}});
    const auto send = [&] {
        if (chunk.isEmpty())
            return;
        client.call(QStringLiteral("importaAcessosParte"), {QVariant::fromValue(chunk)});
        chunk.clearRows();
    };
    QVariantMap result;
    try {
        client.call(QStringLiteral("importaAcessosInicio"), {});
        readGrantFile(options.file, [&](const FilePrincipal &p) {
            const QString line = QString::number(p.line);
            chunk.appendRow({line, p.key, QStringLiteral("P"), QString(), QString()});
            for (const FilePrincipal::Fact &f : p.facts)
                chunk.appendRow(
                    {QString::number(f.line), p.key, QStringLiteral("F"), f.table, f.item});
            for (const FilePrincipal::Dimension &d : p.dimensions) {
                const QString number = QString::number(d.number);
                chunk.appendRow(
                    {QString::number(d.line), p.key, QStringLiteral("D"), number, QString()});
                for (const FilePrincipal::Value &v : d.filter)
                    chunk.appendRow(
                        {QString::number(v.line), p.key, QStringLiteral("V"), number, v.value});
            }
            if (chunk.rowCount() >= ImportChunkRows)
                send();
        });
        send();
        result = client
                     .call(options.dryRun ? QStringLiteral("getPreviaImportacao")
                                          : QStringLiteral("importaAcessos"),
                           {mode})
                     .toMap();
    } catch (const GrantFileError &e) {
        throw FileRefused(e.line() > 0 ? QStringLiteral("%1:%2:%3: %4")
                                             .arg(options.file)
                                             .arg(e.line())
                                             .arg(e.column())
                                             .arg(e.message())
                                       : QStringLiteral("%1: %2").arg(options.file, e.message()));
    } catch (const RemoteError &e) {
        rethrowAtPosition(e, options.file);
    }

    const DataPacket changes = result.value(QStringLiteral("changes")).value<DataPacket>();
    const auto column = [&](const char *name) {
        return changes.indexOf(QString::fromLatin1(name));
    };
    const int key = column("CHAVE");
    const int columns[6] = {column("FATOSINCL"), column("FATOSEXCL"),   column("DIMEINCL"),
                            column("DIMEEXCL"),  column("VALORESINCL"), column("VALORESEXCL")};
    for (qsizetype r = 0; r < changes.rowCount(); ++r)
        out << field(changes, r, key) << ": facts "
            << countsText(field(changes, r, columns[0]), field(changes, r, columns[1]))
            << ", dimensions "
            << countsText(field(changes, r, columns[2]), field(changes, r, columns[3]))
            << ", filter values "
            << countsText(field(changes, r, columns[4]), field(changes, r, columns[5])) << '\n';
    const QVariantMap totals = result.value(QStringLiteral("totals")).toMap();
    const auto total = [&](const char *added, const char *removed) {
        return countsText(totals.value(QLatin1StringView(added)),
                          totals.value(QLatin1StringView(removed)));
    };
    out << result.value(QStringLiteral("changed")).toLongLong() << " of "
        << result.value(QStringLiteral("principals")).toLongLong() << " principals "
        << (options.dryRun ? "would change" : "changed") << " ("
        << (options.merge ? "merge" : "replace") << "): facts "
        << total("factsAdded", "factsRemoved") << ", dimensions "
        << total("dimensionsAdded", "dimensionsRemoved") << ", filter values "
        << total("valuesAdded", "valuesRemoved") << '\n';
    if (options.dryRun)
        out << "dry run: nothing was changed\n";
    out.flush();
}

} // namespace quv::admin
