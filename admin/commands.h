#pragma once

// The two things quv-admin does, on a logged-in client: export grants to a
// grants file, and import one.

#include "admin/adminclient.h"

#include <QString>
#include <QStringList>

class QTextStream;

namespace quv::admin {

struct ExportOptions
{
    QStringList principals; // keys; empty: every principal
    QString out;            // empty: standard output
};

/// Pages through the server's export and writes the file (atomically when
/// it is a file). Raises RemoteError, LinkError or std::runtime_error.
void exportGrants(AdminClient &client, const ExportOptions &options);

struct ImportOptions
{
    QString file;
    bool merge = false;
    bool dryRun = false;
};

/// A file refused by this program or by the server, at a position of the
/// file: "FILE:LINE[:COLUMN]: message".
class FileRefused : public std::runtime_error
{
public:
    explicit FileRefused(const QString &message) : std::runtime_error(message.toStdString()) {}
};

/// Streams the file to the server in chunks, then previews (dry run) or
/// applies it, and prints the change per principal on `out`. Raises
/// FileRefused, RemoteError, LinkError.
void importGrants(AdminClient &client, const ImportOptions &options, QTextStream &out);

} // namespace quv::admin
