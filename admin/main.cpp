// quv-admin: grants in and out of the application server as a file.
//
//   quv-admin [connection options] export [--principal KEY]... [--out FILE]
//   quv-admin [connection options] import FILE [--mode replace|merge] [--dry-run]

#include "admin/adminoptions.h"
#include "admin/commands.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quv-admin"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUV_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    return quv::admin::run(QCoreApplication::arguments(), out, err);
}
