#include "peertext.h"

namespace quv {

QString clipped(QStringView text, qsizetype max)
{
    if (text.size() <= max)
        return text.toString();
    qsizetype cut = max;
    if (cut > 0 && text[cut - 1].isHighSurrogate())
        --cut;
    return text.first(cut).toString() + QChar(0x2026);
}

QString printable(QStringView text, qsizetype max)
{
    const QString kept = clipped(text, max);
    QString out;
    out.reserve(kept.size());
    for (const QChar c : kept) {
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            break;
        default:
            if (c != u'\\') {
                out += c;
                continue;
            }
        }
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else if (c.unicode() < 0x100)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return out;
}

} // namespace quv
