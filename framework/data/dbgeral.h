#pragma once

#include <QObject>
#include <QSqlDatabase>
#include <QString>

/// The host's shared database module: one Qt SQL connection, "adcGeral",
/// from which the framework's queries clone their loaders' connections
/// (rowfeed.h). Open and Close belong to the GUI thread; Close closes the
/// loaders' connections first.
///
/// The host opens it from a connection string:
///   sqlite:/path/file.db            (foreign keys switched on)
///   postgres://user:pw@host:port/db (also postgresql://; query items become
///                                    driver options, e.g. ?connect_timeout=5)
class TdtmDBGeral : public QObject
{
    Q_OBJECT
public:
    /// `connectionName` exists so that tests can hold two modules at once;
    /// the host keeps the default.
    explicit TdtmDBGeral(QObject *owner = nullptr,
                         const QString &connectionName = QStringLiteral("adcGeral"));
    ~TdtmDBGeral() override;

    /// Opens (or reopens) the connection; raises EDatabaseError with the
    /// driver's message when the string is malformed or the database refuses.
    void Open(const QString &connectionString);
    void Close();
    bool Connected() const;

    QSqlDatabase adcGeral() const;
    QString ConnectionName() const { return m_connectionName; }

private:
    QString m_connectionName;
};

/// Set by the host (tests set their own); queries use it when they open.
extern TdtmDBGeral *dtmDBGeral;
