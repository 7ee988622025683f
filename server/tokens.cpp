#include "server/tokens.h"

namespace quv::server {

bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    // Walk the whole of `b` whatever `a` holds, folding every difference
    // (the length's too) into one value that is tested once at the end.
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    const qsizetype n = b.size();
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        difference |= unsigned(x ^ static_cast<unsigned char>(b[i]));
    }
    return difference == 0;
}

TokenStore::TokenStore(const QList<QPair<QString, QString>> &tokens)
{
    for (const auto &[name, token] : tokens)
        m_entries.append({name, token.toUtf8()});
}

std::optional<QString> TokenStore::administrator(const QString &token) const
{
    const QByteArray candidate = token.toUtf8();
    std::optional<QString> found;
    // Every entry is compared, so the time does not tell which one matched.
    for (const auto &[name, stored] : m_entries)
        if (constantTimeEquals(candidate, stored) && !found)
            found = name;
    return found;
}

} // namespace quv::server
