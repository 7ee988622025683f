// A logged-in client's request as the server reads it: the payload is
// decoded, checked as JSON-RPC, and the method runs on a demo warehouse
// (SQLite in memory, kept across runs so that earlier inputs leave grants
// and filters for later ones to meet).
//
// Beyond not crashing: every failure is one the client is meant to get
// (never an internal or database error), a refused call changes nothing
// and writes no audit row, a successful change writes exactly one, and
// every answer encodes and decodes back for the client.

#include "contracts/controleacesso.h"
#include "contracts/wire.h"
#include "db/connection.h"
#include "db/warehouse.h"
#include "fuzzsupport.h"
#include "server/dispatcher.h"
#include "server/rpcerror.h"

#include <QSqlQuery>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace {

namespace wire = quv::wire;

const QStringList ChangeMethods = {
    QStringLiteral("setCkFatoOpGrup"),   QStringLiteral("setCkFatoOpOper"),
    QStringLiteral("setCkDimeOpGrup"),   QStringLiteral("setCkDimeOpOper"),
    QStringLiteral("setTChkFatoOpGrup"), QStringLiteral("setTChkFatoOpOper"),
    QStringLiteral("setTChkDimeOpGrup"), QStringLiteral("setTChkDimeOpOper"),
    QStringLiteral("setDelFilDime")};

QSqlDatabase &database()
{
    static QSqlDatabase db = [] {
        quv::fuzz::ensureApplication();
        QSqlDatabase opened =
            quv::db::openDatabase(QStringLiteral("sqlite::memory:"), QStringLiteral("fuzz"));
        quv::db::createWarehouse(opened, {});
        return opened;
    }();
    return db;
}

// Every grant, filter and audit row, as one text: equal texts, equal state.
QByteArray state(const QSqlDatabase &db)
{
    static const char *const Tables[][2] = {
        {"ITEMDWGRUPOP", "CDGRUPOPER || '|' || CDTABELADW || '|' || CDITEMDW"},
        {"ITEMDWOPER", "CDOPERADOR || '|' || CDTABELADW || '|' || CDITEMDW"},
        {"DIMEDWGRUPOP", "CDGRUPOPER || '|' || NRSEQUEDIME"},
        {"DIMEODWOPER", "CDOPERADOR || '|' || NRSEQUEDIME"},
        {"FILDIMEGRUPOP", "CDGRUPOPER || '|' || NRSEQUEDIME || '|' || CDFILDIMEGRUPOP"},
        {"FILDIMEOPER", "CDOPERADOR || '|' || NRSEQUEDIME || '|' || CDFILDIMEOPER"},
        {"AUDITORIA", "IDAUDITORIA"}};
    QByteArray out;
    for (const auto &table : Tables) {
        QSqlQuery query(db);
        query.exec(QStringLiteral("SELECT %1 FROM %2 ORDER BY 1")
                       .arg(QLatin1String(table[1]), QLatin1String(table[0])));
        out += table[0];
        while (query.next())
            out += ' ' + query.value(0).toString().toUtf8();
        out += '\n';
    }
    return out;
}

qint64 auditRows(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    query.exec(QStringLiteral("SELECT COUNT(*) FROM AUDITORIA"));
    return query.next() ? query.value(0).toLongLong() : -1;
}

// What the client does with the answer: it must come back as sent.
void checkAnswer(const wire::Response &response, wire::Encoding encoding)
{
    QByteArray bytes;
    try {
        bytes = wire::encode(wire::responseToVariant(response), encoding);
    } catch (const std::exception &e) {
        quv::fuzz::fail("the answer could not be encoded", e.what());
    }
    try {
        const wire::Response back =
            wire::responseFromVariant(wire::decode(bytes, wire::detectEncoding(bytes)));
        QUV_FUZZ_CHECK(back.ok == response.ok, bytes.left(200));
        QUV_FUZZ_CHECK(back.errorCode == response.errorCode, bytes.left(200));
        QUV_FUZZ_CHECK(back.errorMessage == response.errorMessage, bytes.left(200));
        QUV_FUZZ_CHECK(wire::encode(wire::responseToVariant(back), encoding) == bytes,
                       bytes.left(200));
    } catch (const wire::DecodeError &e) {
        quv::fuzz::fail("the client cannot read the answer", e.what() + ("\n" + bytes.left(200)));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QSqlDatabase &db = database();
    const QByteArrayView payload(reinterpret_cast<const char *>(data), qsizetype(size));
    const wire::Encoding encoding = wire::detectEncoding(payload);

    wire::Request request;
    try {
        request = wire::requestFromVariant(wire::decode(payload, encoding));
    } catch (const wire::DecodeError &e) {
        QUV_FUZZ_CHECK(e.code() == wire::code::ParseError || e.code() == wire::code::InvalidRequest,
                       QByteArray::number(e.code()));
        QUV_FUZZ_CHECK(*e.what() != '\0', QByteArray());
        return 0;
    }
    if (request.method == quv::rdm::LoginMethod)
        return 0; // handled by the session, not the method table

    const QByteArray before = state(db);
    const qint64 auditBefore = auditRows(db);
    const quv::server::Dispatcher dispatcher(db);
    wire::Response response;
    response.id = request.id;
    try {
        response.result = dispatcher.call(request.method, request.params, QStringLiteral("fuzz"));
        response.ok = true;
    } catch (const quv::server::RpcError &e) {
        response.errorCode = e.code();
        response.errorMessage = e.message();
        QUV_FUZZ_CHECK(e.code() != wire::code::InternalError, e.message().toUtf8());
        QUV_FUZZ_CHECK(e.code() != wire::code::DatabaseError, e.message().toUtf8());
        QUV_FUZZ_CHECK(!e.message().isEmpty(), QByteArray());
        QUV_FUZZ_CHECK(state(db) == before, request.method.toUtf8() + ": " + e.message().toUtf8());
    }
    // Any other exception escapes and ends the run: the server would only
    // be able to answer it as an internal error.

    if (response.ok) {
        const QVariantMap result = response.result.toMap();
        QUV_FUZZ_CHECK(result.value(QStringLiteral("out")).toList().size() == request.params.size(),
                       request.method.toUtf8());
        const qint64 written = auditRows(db) - auditBefore;
        // A copy writes its row only when it changed something.
        qint64 expected = ChangeMethods.contains(request.method) ? 1 : 0;
        if (request.method == QLatin1StringView("copiaAcessos"))
            for (const QVariant &count : result.value(QStringLiteral("payload")).toMap())
                expected = count.toLongLong() != 0 ? 1 : expected;
        QUV_FUZZ_CHECK(written == expected,
                       request.method.toUtf8() + " wrote " + QByteArray::number(written));
    }
    checkAnswer(response, encoding);
    return 0;
}
