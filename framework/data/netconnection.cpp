#include "framework/data/netconnection.h"

#include "contracts/controleacesso.h"
#include "contracts/wire.h"
#include "framework/app/halvern.h"

#include <QDeadlineTimer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QTcpSocket>

namespace {

// A failure of the link itself (as opposed to an error the server answered
// with). Never leaves this file: the connection turns it into
// EConnectionError or a failed status, as ThrowException says.
struct LinkFailure
{
    QString message;
    int code = ConnectionFailedCode;
};

QVariant status(bool ok, int code, const QString &message, const QVariant &payload = {})
{
    return QVariant::fromValue(TServerStatus{ok, code, message, payload});
}

int remaining(const QDeadlineTimer &deadline)
{
    return int(qMin<qint64>(deadline.remainingTime(), std::numeric_limits<int>::max()));
}

} // namespace

struct TNetConnection::Link
{
    std::unique_ptr<QTcpSocket> socket;
    quv::wire::FrameReader reader;
};

TNetConnection::TNetConnection(QObject *owner) : QObject(owner), m_appServer(this)
{
    qRegisterMetaType<TServerStatus>();
}

TNetConnection::~TNetConnection()
{
    dropLink();
}

QString TNetConnection::address() const
{
    return QStringLiteral("%1:%2").arg(Host).arg(Port);
}

bool TNetConnection::Connected() const
{
    return m_link && m_link->socket->state() == QAbstractSocket::ConnectedState;
}

void TNetConnection::dropLink()
{
    if (!m_link)
        return;
    m_link->socket->abort();
    m_link.reset();
    m_administrator.clear();
}

void TNetConnection::transportFailure(const QString &message)
{
    dropLink();
    m_lastError = message;
    throw LinkFailure{message};
}

void TNetConnection::setConnected(bool connected)
{
    if (!connected) {
        dropLink();
        return;
    }
    if (Connected())
        return;
    try {
        connectOrThrow();
    } catch (const LinkFailure &failure) {
        if (ThrowException)
            throw EConnectionError(failure.message);
    }
}

namespace {

// One request out, its reply back. Everything that goes wrong on the way is
// a LinkFailure carrying `what` as the detail; the caller adds the address.
quv::wire::Response roundTrip(QTcpSocket &socket, quv::wire::FrameReader &reader,
                              const QByteArray &payload, qint64 id, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    const auto broken = [&](const QString &what) -> LinkFailure {
        return LinkFailure{
            deadline.hasExpired()
                ? QStringLiteral("o servidor não respondeu em %1 s.").arg(timeoutMs / 1000.0)
                : what};
    };
    socket.write(quv::wire::frame(payload));
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(remaining(deadline)))
            throw broken(socket.errorString());
    for (;;) {
        std::optional<QByteArray> reply;
        try {
            reply = reader.next();
            if (reply) {
                const quv::wire::Response response = quv::wire::responseFromVariant(
                    quv::wire::decode(*reply, quv::wire::detectEncoding(*reply)));
                // An error about a request the server could not read carries
                // no id; it still answers ours, the only one in flight.
                const int idType = response.id.metaType().id();
                const bool anonymousError = !response.ok && response.id.isNull();
                if (!anonymousError &&
                    ((idType != QMetaType::LongLong && idType != QMetaType::Int) ||
                     response.id.toLongLong() != id))
                    throw LinkFailure{QStringLiteral("resposta a outra requisição (id %1, "
                                                     "esperado %2).")
                                          .arg(response.id.toString())
                                          .arg(id)};
                return response;
            }
        } catch (const quv::wire::DecodeError &error) {
            throw LinkFailure{
                QStringLiteral("resposta malformada: %1").arg(QString::fromUtf8(error.what()))};
        }
        if (!socket.waitForReadyRead(remaining(deadline)))
            throw broken(socket.state() == QAbstractSocket::ConnectedState
                             ? socket.errorString()
                             : QStringLiteral("a conexão foi encerrada pelo servidor."));
        try {
            reader.feed(socket.readAll());
        } catch (const quv::wire::DecodeError &error) {
            throw LinkFailure{
                QStringLiteral("resposta malformada: %1").arg(QString::fromUtf8(error.what()))};
        }
    }
}

} // namespace

void TNetConnection::connectOrThrow()
{
    dropLink();
    if (BeforeConnect)
        BeforeConnect(this);
    const QString prefix =
        QStringLiteral("Não foi possível conectar ao servidor de aplicação em %1: ").arg(address());
    if (Host.trimmed().isEmpty() || Port <= 0 || Port > 65535)
        transportFailure(prefix + QStringLiteral("endereço não configurado."));

    QString token;
    bool tls = false;
    QString caFile;
    try {
        token = Halvern::ServerToken();
        tls = Halvern::ServerTls();
        if (tls)
            caFile = Halvern::ServerCaFile();
    } catch (const Exception &error) {
        transportFailure(prefix + error.Message());
    }

    auto link = std::make_unique<Link>();
    if (tls) {
        auto socket = std::make_unique<QSslSocket>();
        if (!caFile.isEmpty()) {
            const QList<QSslCertificate> authorities = QSslCertificate::fromPath(caFile);
            if (authorities.isEmpty())
                transportFailure(
                    prefix + QStringLiteral("certificado de autoridade ilegível: %1").arg(caFile));
            QSslConfiguration config = socket->sslConfiguration();
            config.setCaCertificates(authorities);
            socket->setSslConfiguration(config);
        }
        socket->connectToHostEncrypted(Host, quint16(Port));
        const bool ok = socket->waitForEncrypted(ConnectTimeout);
        QString error = socket->errorString();
        // A failed verification is told apart from an unreachable server:
        // it points at the CA file or at a server that is not the one meant.
        if (!ok && !socket->sslHandshakeErrors().isEmpty()) {
            QStringList reasons;
            for (const QSslError &e : socket->sslHandshakeErrors())
                reasons.append(e.errorString());
            error = QStringLiteral("o certificado TLS do servidor não foi aceito (%1); verifique "
                                   "o arquivo da autoridade certificadora%2.")
                        .arg(reasons.join(QStringLiteral("; ")),
                             caFile.isEmpty() ? QStringLiteral(" (usadas as do sistema)")
                                              : QStringLiteral(" '%1'").arg(caFile));
        }
        link->socket = std::move(socket);
        if (!ok)
            transportFailure(prefix + error);
    } else {
        link->socket = std::make_unique<QTcpSocket>();
        link->socket->connectToHost(Host, quint16(Port));
        if (!link->socket->waitForConnected(ConnectTimeout))
            transportFailure(prefix + link->socket->errorString());
    }

    // Each call is one small request waiting for its answer: without this,
    // Nagle's algorithm meets the peer's delayed acknowledgement and every
    // round trip can stall for tens of milliseconds.
    link->socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    const qint64 id = m_nextId++;
    const QByteArray login = quv::wire::encode(
        quv::wire::requestToVariant({id, quv::rdm::LoginMethod, {ServerName, token}}),
        quv::wire::Encoding::Cbor);
    quv::wire::Response response;
    try {
        response = roundTrip(*link->socket, link->reader, login, id, ConnectTimeout);
    } catch (const LinkFailure &failure) {
        transportFailure(prefix + failure.message);
    }
    if (!response.ok) {
        m_lastError = prefix + response.errorMessage;
        throw LinkFailure{m_lastError, response.errorCode};
    }
    m_link = std::move(link);
    m_administrator = response.result.toMap().value(QStringLiteral("administrator")).toString();
    m_lastError.clear();
}

namespace {
std::function<void(const QString &)> &traceHook()
{
    static std::function<void(const QString &)> hook;
    return hook;
}
} // namespace

void TNetConnection::setTraceHook(std::function<void(const QString &method)> hook)
{
    traceHook() = std::move(hook);
}

QVariant TAppServer::Call(const QString &method, QVariantList &args)
{
    if (traceHook())
        traceHook()(method);
    return m_connection->call(method, args);
}

QVariant TNetConnection::call(const QString &method, QVariantList &args)
{
    using quv::rdm::Arg;
    const quv::rdm::Method *known = quv::rdm::findMethod(method);
    const auto kind = [known](qsizetype i) -> std::optional<Arg> {
        if (known && i < qsizetype(known->args.size()))
            return known->args[size_t(i)];
        return std::nullopt;
    };

    QVariantList params;
    for (qsizetype i = 0; i < args.size(); ++i)
        params.append(kind(i) == Arg::OutPacket ? QVariant() : args[i]);
    const qint64 id = m_nextId++;
    QByteArray payload;
    try {
        payload = quv::wire::encode(quv::wire::requestToVariant({id, method, params}),
                                    quv::wire::Encoding::Cbor);
    } catch (const std::invalid_argument &error) {
        // The caller's mistake, not the link's: say so whatever ThrowException.
        throw Exception(QStringLiteral("Argumento inválido para o método %1 do servidor de "
                                       "aplicação: %2")
                            .arg(method, QString::fromUtf8(error.what())));
    }

    try {
        // A server that restarted closed our socket: notice it before writing,
        // so the call goes over a fresh connection instead of failing.
        if (m_link && m_link->socket->bytesAvailable() == 0)
            m_link->socket->waitForReadyRead(0);
        if (!Connected() || m_link->socket->bytesAvailable() > 0)
            connectOrThrow();

        quv::wire::Response response;
        try {
            response = roundTrip(*m_link->socket, m_link->reader, payload, id, CallTimeout);
        } catch (const LinkFailure &failure) {
            transportFailure(
                QStringLiteral("A comunicação com o servidor de aplicação em %1 falhou: %2")
                    .arg(address(), failure.message));
        }
        if (!response.ok)
            return status(false, response.errorCode, response.errorMessage);

        const QVariantMap result = response.result.toMap();
        const QVariant out = result.value(QStringLiteral("out"));
        if (response.result.metaType().id() != QMetaType::QVariantMap ||
            (out.isValid() && out.metaType().id() != QMetaType::QVariantList))
            transportFailure(QStringLiteral("Resposta malformada do servidor de aplicação em %1 "
                                            "ao método %2: esperava {payload, out}.")
                                 .arg(address(), method));
        const QVariantList outputs = out.toList();
        if (known && out.isValid() && outputs.size() != params.size())
            transportFailure(QStringLiteral("Resposta malformada do servidor de aplicação em %1 "
                                            "ao método %2: %3 saídas para %4 argumentos.")
                                 .arg(address(), method)
                                 .arg(outputs.size())
                                 .arg(params.size()));
        for (qsizetype i = 0; i < args.size() && i < outputs.size(); ++i) {
            const std::optional<Arg> k = kind(i);
            if (k ? (*k == Arg::OutPacket || *k == Arg::RefString) : !outputs[i].isNull())
                args[i] = outputs[i];
        }
        return status(true, 0, QString(), result.value(QStringLiteral("payload")));
    } catch (const LinkFailure &failure) {
        if (ThrowException)
            throw EConnectionError(failure.message);
        return status(false, failure.code, failure.message);
    }
}
