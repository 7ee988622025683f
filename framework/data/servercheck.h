#pragma once

#include "framework/data/netconnection.h"

#include <QVariant>

/// Checks a remote method's status. A failed status, or a value that is not
/// a status at all, raises EServerError when `raise` is true (and gives an
/// empty value when it is false); a successful one gives its payload. The
/// last argument is accepted for the callers' sake and has no effect.
QVariant CheckResultServ(const QVariant &status, bool raise, int context);
