#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace quv::server {

/// The administrators' access tokens. Lookups compare in time that does not
/// depend on where a guess first differs from a real token.
class TokenStore
{
public:
    TokenStore() = default;
    explicit TokenStore(const QList<QPair<QString, QString>> &tokens);

    /// The administrator whose token this is.
    std::optional<QString> administrator(const QString &token) const;
    bool isEmpty() const { return m_entries.isEmpty(); }

private:
    QList<QPair<QString, QByteArray>> m_entries;
};

/// True when both hold the same bytes; the time taken depends only on the
/// lengths, never on the content.
bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

} // namespace quv::server
