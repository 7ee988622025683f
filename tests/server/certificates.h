#pragma once

// Throw-away TLS certificates for the tests that run the server with TLS,
// made with the openssl command (scripts/setup.sh installs it).

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace quv::test {

/// In a temporary folder: a certificate authority `ca` and a server
/// certificate `server` for 127.0.0.1 signed by it (make()), a second,
/// unrelated authority `other`, and a self-signed server certificate `self`
/// for 127.0.0.1 (makeSelfSigned()); each as <name>.crt and <name>.key.
struct Certificates
{
    QTemporaryDir dir;
    QString error;

    /// Why certificates cannot be made on this machine, or empty.
    static QString unavailable()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
            return QStringLiteral("the openssl command is not installed (scripts/setup.sh "
                                  "installs it)");
        return {};
    }

    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }

    bool run(const QStringList &arguments)
    {
        QProcess openssl;
        openssl.setWorkingDirectory(dir.path());
        openssl.start(QStringLiteral("openssl"), arguments);
        if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
            error = QStringLiteral("openssl %1 failed: %2")
                        .arg(arguments.join(u' '),
                             QString::fromLocal8Bit(openssl.readAllStandardError()));
            return false;
        }
        return true;
    }

    bool makeAuthority(const QString &prefix)
    {
        return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", prefix + ".key", "-out", prefix + ".crt", "-days", "2",
                    "-subj", "/CN=" + prefix + " test authority"});
    }

    bool make()
    {
        QFile ext(path("server.ext"));
        if (!ext.open(QIODevice::WriteOnly))
            return false;
        ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n");
        ext.close();
        return makeAuthority(QStringLiteral("ca")) && makeAuthority(QStringLiteral("other")) &&
               run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1"}) &&
               run({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                    "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile",
                    "server.ext"});
    }

    /// A server certificate that is its own authority: the client's CA file
    /// is then the server's certificate itself.
    bool makeSelfSigned()
    {
        return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", "self.key", "-out", "self.crt", "-days", "2", "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"});
    }
};

} // namespace quv::test
