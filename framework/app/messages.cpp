#include "framework/app/messages.h"

#include "framework/data/dataset.h"

QString TMessages::Msg(const QString &key) const
{
    for (const QString &line : Lines) {
        const qsizetype bar = line.indexOf(QLatin1Char('|'));
        if (bar == key.size() && QStringView(line).left(bar) == key)
            return line.mid(bar + 1);
    }
    throw Exception(QStringLiteral("Mensagem '%1' não cadastrada").arg(key));
}
