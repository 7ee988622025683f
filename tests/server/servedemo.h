#pragma once

#include "contracts/controleacesso.h"
#include "contracts/datapacket.h"
#include "contracts/wire.h"
#include "db/connection.h"
#include "db/sql.h"
#include "tests/support/rpcclient.h"
#include "tests/support/serverprocess.h"
#include "tests/support/testdatabase.h"

#include <QSqlDatabase>
#include <QTest>

#include <memory>

namespace quv::test {

/// A fresh demo database served by a real server process, a client logged
/// in to it, and a connection of the test's own to look at the rows.
class ServedDemo
{
public:
    ~ServedDemo()
    {
        m_db = QSqlDatabase();
        db::closeDatabase(m_connectionName);
    }

    /// False with `skip` set when the driver cannot run here, false with
    /// `error` set when something failed.
    bool start(const QString &driver, QString *skip, QString *error, bool logIn = true,
               const QStringList &serverArguments = {})
    {
        try {
            connectionString = freshDemoDatabase(driver, skip);
            if (connectionString.isEmpty())
                return false;
            if (!server.start(connectionString, serverArguments)) {
                *error = server.errorString();
                return false;
            }
            if (!client.connectTo(server.host(), server.port())) {
                *error = QStringLiteral("cannot connect to the server");
                return false;
            }
            if (logIn) {
                const wire::Response response = client.login(ServerProcess::Token);
                if (!response.ok) {
                    *error = QStringLiteral("login failed: ") + response.errorMessage;
                    return false;
                }
            }
            static int counter = 0;
            m_connectionName = QStringLiteral("quv-test-check-%1").arg(++counter);
            m_db = openConnection(connectionString, m_connectionName);
            return true;
        } catch (const std::exception &e) {
            *error = QString::fromStdString(e.what());
            return false;
        }
    }

    /// One call; a transport failure comes back as a failed response with
    /// code 0 so that the test's checks report it.
    wire::Response call(const QString &method, const QVariantList &params,
                        wire::Encoding encoding = wire::Encoding::Cbor)
    {
        return callOn(client, method, params, encoding);
    }

    static wire::Response callOn(RpcClient &c, const QString &method, const QVariantList &params,
                                 wire::Encoding encoding = wire::Encoding::Cbor)
    {
        try {
            return c.call(method, params, encoding);
        } catch (const std::exception &e) {
            wire::Response failed;
            failed.errorMessage = QStringLiteral("transport: ") + QString::fromStdString(e.what());
            return failed;
        }
    }

    const QSqlDatabase &db() const { return m_db; }
    qint64 count(const QString &sql, const QVariantList &values = {}) const
    {
        return quv::test::count(m_db, sql, values);
    }

    QString connectionString;
    ServerProcess server;
    RpcClient client;

private:
    QSqlDatabase m_db;
    QString m_connectionName;
};

/// A data row named after the driver and the case.
inline QTestData &newRow(const QString &driver, const char *name)
{
    return QTest::newRow(qPrintable(driver + QLatin1Char(' ') + QLatin1String(name)));
}

inline DataPacket packetAt(const wire::Response &response, int index)
{
    return outOf(response).value(index).value<DataPacket>();
}

inline QList<FieldDef> fieldsOf(std::initializer_list<std::pair<const char *, int>> list)
{
    QList<FieldDef> fields;
    for (const auto &[name, size] : list)
        fields.append({QString::fromLatin1(name), size});
    return fields;
}

/// A packet of these fields holding these rows, cell by cell.
inline DataPacket packetOf(std::initializer_list<std::pair<const char *, int>> fields,
                           const QList<QStringList> &rows)
{
    DataPacket p(fieldsOf(fields));
    for (const QStringList &row : rows) {
        for (const QString &cell : row)
            p.appendCell(cell);
        p.endRow();
    }
    return p;
}

/// The row whose `field` holds `value`, or an empty list.
inline QStringList rowWhere(const DataPacket &packet, const QString &field, const QString &value)
{
    const int column = packet.indexOf(field);
    for (qsizetype r = 0; r < packet.rowCount(); ++r)
        if (packet.value(r, column) == value)
            return packet.row(r);
    return {};
}

inline QString cell(const DataPacket &packet, const QString &keyField, const QString &key,
                    const QString &field)
{
    const QStringList row = rowWhere(packet, keyField, key);
    return row.isEmpty() ? QStringLiteral("<no row>") : row.value(packet.indexOf(field));
}

} // namespace quv::test

/// Starts the fixture on the driver, logged in or not; skips the test when
/// the driver cannot run here.
#define QUV_SERVE_AS(fixture, driver, logIn)                                                       \
    do {                                                                                           \
        QString skip_, error_;                                                                     \
        if (!(fixture).start(driver, &skip_, &error_, logIn)) {                                    \
            if (!skip_.isEmpty())                                                                  \
                QSKIP(qPrintable(skip_));                                                          \
            QFAIL(qPrintable(error_));                                                             \
        }                                                                                          \
    } while (false)
#define QUV_SERVE(fixture, driver) QUV_SERVE_AS(fixture, driver, true)

// Serves `fixture` with a second administrator, "outra", whose token is
// `token`, and logs `client` in as that one: changes by two administrators.
#define QUV_SERVE_WITH_SECOND_ADMIN(fixture, driver, client, token)                                \
    do {                                                                                           \
        QString skip_, error_;                                                                     \
        if (!(fixture).start(driver, &skip_, &error_, true,                                        \
                             {QStringLiteral("--token"), QStringLiteral("outra=") + (token)})) {   \
            if (!skip_.isEmpty())                                                                  \
                QSKIP(qPrintable(skip_));                                                          \
            QFAIL(qPrintable(error_));                                                             \
        }                                                                                          \
        QVERIFY((client).connectTo((fixture).server.host(), (fixture).server.port()));             \
        QUV_EXPECT_OK((client).login(token));                                                      \
    } while (false)

#define QUV_EXPECT_ERROR(response, expectedCode)                                                   \
    do {                                                                                           \
        const quv::wire::Response &r_ = (response);                                                \
        QVERIFY2(!r_.ok, "the call succeeded but should have failed");                             \
        QVERIFY2(r_.errorCode == (expectedCode),                                                   \
                 qPrintable(QStringLiteral("error %1 (%2), expected %3")                           \
                                .arg(r_.errorCode)                                                 \
                                .arg(r_.errorMessage)                                              \
                                .arg(expectedCode)));                                              \
    } while (false)

#define QUV_EXPECT_OK(response)                                                                    \
    do {                                                                                           \
        const quv::wire::Response &r_ = (response);                                                \
        QVERIFY2(                                                                                  \
            r_.ok,                                                                                 \
            qPrintable(QStringLiteral("error %1: %2").arg(r_.errorCode).arg(r_.errorMessage)));    \
    } while (false)
