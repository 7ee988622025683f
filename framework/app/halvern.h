#pragma once

// The framework's door to the host application. Everything here forwards to
// the services the host registered at start; a package loaded without a host
// gets a clear exception instead of a silent default.

#include <QString>
#include <QVariant>

namespace quv {
class IHostServices;
}

namespace Halvern {

/// Application server address and credentials, read at every call so that a
/// changed host configuration applies to the next connect.
QString WebURL();
int WebPort();
QString ServerToken();
bool ServerTls();
QString ServerCaFile();
/// How long a remote call may wait for the server, in milliseconds: the
/// host's setting, or its default when no host is registered.
int ServerTimeoutMs();

/// Asks the host to refresh its local cache of these server tables, in the
/// given order. Accepts a QStringList, a QVariantList of strings or a single
/// string; anything else, or an empty name, raises Exception and asks nothing.
void AtualizaLocalCache(const QVariant &tableNames);

/// Registers the host's services (nullptr unregisters). The framework does
/// not own them.
void setHost(quv::IHostServices *host);
/// The registered services, or nullptr.
quv::IHostServices *host();

} // namespace Halvern
