#include "framework/app/utils.h"

bool EmptyString(const QString &text)
{
    for (QChar c : text)
        if (c.unicode() > u' ' && !c.isSpace())
            return false;
    return true;
}
