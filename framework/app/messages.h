#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

/// A screen's table of user texts: each line is "KEY|text". The text is
/// everything after the first bar and may itself hold line breaks ("\r\n").
class TMessages : public QObject
{
    Q_OBJECT
public:
    explicit TMessages(QObject *owner = nullptr) : QObject(owner) {}

    QStringList Lines;

    /// The text of the key (exact, case-sensitive); raises Exception naming
    /// the key when no line carries it.
    QString Msg(const QString &key) const;
};
