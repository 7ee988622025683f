#pragma once

#include <QString>

/// True when the text is empty or holds only blanks (spaces and control
/// characters), the framework's test for "nothing typed".
bool EmptyString(const QString &text);
