#include "framework/data/netconnection.h"

#include "contracts/controleacesso.h"
#include "contracts/wire.h"
#include "framework/app/halvern.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLocale>
#include <QScopeGuard>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

// A failure of the link itself (as opposed to an error the server answered
// with). Never leaves this file: the connection turns it into
// EConnectionError or a failed status, as ThrowException says.
struct TNetConnection::Failure
{
    QString message; // for the user: what failed and what to do
    QString details; // for a technician: address, socket or decoder text
    int code = ConnectionFailedCode;
};

namespace {

const QString CancelledMessage = QStringLiteral("Operação cancelada pelo usuário.");
const QString ChangeInDoubtMessage =
    QStringLiteral(" A alteração pode ter sido gravada no servidor: pressione Atualizar para ver "
                   "os acessos atuais.");

// How a wait ended when it did not get what it waited for.
enum class Interrupted
{
    Expired,
    Cancelled
};

QString timedOut(int timeoutMs)
{
    return QStringLiteral("O servidor não respondeu em %1 s.")
        .arg(QLocale(QLocale::Portuguese, QLocale::Brazil).toString(timeoutMs / 1000.0));
}

// What a socket error means to the user while connecting.
QString connectMessage(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("O servidor de aplicação recusou a conexão. Verifique se ele está em "
                              "execução e se o servidor e a porta configurados no host estão "
                              "certos.");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("O servidor de aplicação não foi encontrado. Verifique o nome do "
                              "servidor configurado no host.");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("O servidor de aplicação encerrou a conexão. Verifique se ele está "
                              "em execução e se o host usa TLS como o servidor espera.");
    case QAbstractSocket::SslHandshakeFailedError:
        return QStringLiteral("Não foi possível estabelecer uma conexão segura (TLS) com o "
                              "servidor de aplicação. Verifique se o servidor usa TLS.");
    default:
        return QStringLiteral("O servidor de aplicação não pode ser alcançado. Verifique a rede e "
                              "o servidor configurado no host.");
    }
}

const QString MalformedMessage =
    QStringLiteral("O servidor de aplicação enviou uma resposta inválida. Tente de novo; se "
                   "persistir, avise o administrador do sistema.");
const QString CutOffMessage =
    QStringLiteral("A conexão com o servidor de aplicação foi interrompida. Tente de novo; se "
                   "persistir, verifique se o servidor está em execução.");

QVariant status(bool ok, int code, const QString &message, const QVariant &payload = {},
                const QString &details = {})
{
    return QVariant::fromValue(TServerStatus{ok, code, message, payload, details});
}

int remaining(const QDeadlineTimer &deadline)
{
    return int(qMin<qint64>(deadline.remainingTime(), std::numeric_limits<int>::max()));
}

TNetConnection::WaitObserver *&waitObserver()
{
    static TNetConnection::WaitObserver *observer = nullptr;
    return observer;
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

void TNetConnection::setWaitObserver(WaitObserver *observer)
{
    waitObserver() = observer;
}

QString TNetConnection::address() const
{
    return QStringLiteral("%1:%2").arg(Host).arg(Port);
}

int TNetConnection::callTimeout() const
{
    return CallTimeout > 0 ? CallTimeout : Halvern::ServerTimeoutMs();
}

bool TNetConnection::Connected() const
{
    return m_link && m_link->socket->state() == QAbstractSocket::ConnectedState;
}

void TNetConnection::Cancel()
{
    if (!m_waiting)
        return;
    m_cancelRequested = true;
    if (m_loop)
        m_loop->quit();
}

void TNetConnection::dropLink()
{
    if (!m_link)
        return;
    // Never called while one of the socket's signals is being delivered: a
    // wait only quits its loop there and looks at the socket afterwards.
    if (m_link->socket)
        m_link->socket->abort();
    m_link.reset();
    m_administrator.clear();
}

void TNetConnection::fail(Failure failure)
{
    dropLink();
    m_lastError = failure.message;
    throw failure;
}

// Serves the event loop until `ready` holds. A cancel or the deadline ends
// the wait with Interrupted; `ready` itself may fail the link.
template <class Ready> void TNetConnection::waitUntil(Ready ready, int timeoutMs)
{
    if (ready())
        return;
    QAbstractSocket *socket = m_link->socket.get();
    const QDeadlineTimer deadline(timeoutMs);
    QEventLoop loop;
    QTimer alarm;
    alarm.setSingleShot(true);
    connect(&alarm, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto wake = [&loop] { loop.quit(); };
    const QList<QMetaObject::Connection> wakers = {
        connect(socket, &QIODevice::readyRead, &loop, wake),
        connect(socket, &QIODevice::bytesWritten, &loop, wake),
        connect(socket, &QAbstractSocket::stateChanged, &loop, wake),
        connect(socket, &QAbstractSocket::errorOccurred, &loop, wake),
    };
    QMetaObject::Connection encrypted;
    if (auto *ssl = qobject_cast<QSslSocket *>(socket))
        encrypted = connect(ssl, &QSslSocket::encrypted, &loop, wake);
    m_loop = &loop;
    const auto done = qScopeGuard([&] {
        m_loop = nullptr;
        for (const QMetaObject::Connection &c : wakers)
            disconnect(c);
        disconnect(encrypted);
    });
    for (;;) {
        if (m_cancelRequested)
            throw Interrupted::Cancelled;
        if (deadline.hasExpired())
            throw Interrupted::Expired;
        alarm.start(remaining(deadline));
        loop.exec();
        if (ready())
            return;
    }
}

void TNetConnection::setConnected(bool connected)
{
    if (!connected) {
        dropLink();
        return;
    }
    if (Connected())
        return;
    if (m_waiting)
        throw Exception(QStringLiteral("Uma chamada ao servidor de aplicação ainda está em "
                                       "andamento; aguarde o fim dela."));
    m_waiting = true;
    m_cancelRequested = false;
    if (WaitObserver *observer = waitObserver())
        observer->waitStarted(*this);
    const auto finished = qScopeGuard([this] {
        m_waiting = false;
        if (WaitObserver *observer = waitObserver())
            observer->waitFinished(*this);
    });
    try {
        connectOrThrow();
    } catch (const Failure &failure) {
        if (ThrowException)
            throw EConnectionError(failure.message, failure.details);
    }
}

// One request out, its reply back. A reply that cannot be read fails the
// link; a cancel or the deadline comes out as Interrupted.
quv::wire::Response TNetConnection::roundTrip(const QByteArray &payload, qint64 id, int timeoutMs)
{
    QTcpSocket &socket = *m_link->socket;
    quv::wire::FrameReader &reader = m_link->reader;
    const QString where = QStringLiteral("servidor de aplicação %1").arg(address());
    const auto malformed = [&where](const QString &what) {
        return Failure{MalformedMessage, where + QStringLiteral(": resposta malformada: ") + what};
    };
    socket.write(quv::wire::frame(payload));
    socket.flush();
    std::optional<QByteArray> reply;
    waitUntil(
        [&] {
            try {
                if (socket.bytesAvailable() > 0)
                    reader.feed(socket.readAll());
                reply = reader.next();
            } catch (const quv::wire::DecodeError &error) {
                fail(malformed(QString::fromUtf8(error.what())));
            }
            if (reply)
                return true;
            if (socket.state() == QAbstractSocket::ConnectedState)
                return false;
            const bool closedByPeer = socket.error() == QAbstractSocket::RemoteHostClosedError ||
                                      socket.error() == QAbstractSocket::UnknownSocketError;
            fail({CutOffMessage,
                  where + QStringLiteral(": ") +
                      (closedByPeer ? QStringLiteral("a conexão foi encerrada pelo servidor.")
                                    : socket.errorString())});
        },
        timeoutMs);
    quv::wire::Response response;
    try {
        response = quv::wire::responseFromVariant(
            quv::wire::decode(*reply, quv::wire::detectEncoding(*reply),
                              quv::wire::answerDecodeBudget(reply->size())));
    } catch (const quv::wire::DecodeError &error) {
        fail(malformed(QString::fromUtf8(error.what())));
    }
    // An error about a request the server could not read carries no id; it
    // still answers ours, the only one in flight.
    const int idType = response.id.metaType().id();
    const bool anonymousError = !response.ok && response.id.isNull();
    if (!anonymousError && ((idType != QMetaType::LongLong && idType != QMetaType::Int) ||
                            response.id.toLongLong() != id))
        fail(malformed(QStringLiteral("resposta a outra requisição (id %1, esperado %2).")
                           .arg(response.id.toString())
                           .arg(id)));
    return response;
}

void TNetConnection::connectOrThrow()
{
    dropLink();
    if (BeforeConnect)
        BeforeConnect(this);
    const QString where = QStringLiteral("servidor de aplicação %1").arg(address());
    if (Host.trimmed().isEmpty() || Port <= 0 || Port > 65535)
        fail({QStringLiteral("O endereço do servidor de aplicação não está configurado. Informe o "
                             "servidor e a porta na configuração do host."),
              where + QStringLiteral(": endereço não configurado.")});

    QString token;
    bool tls = false;
    QString caFile;
    try {
        token = Halvern::ServerToken();
        tls = Halvern::ServerTls();
        if (tls)
            caFile = Halvern::ServerCaFile();
    } catch (const Exception &error) {
        fail({error.Message(), where});
    }
    const int timeoutMs = qMin(ConnectTimeout, callTimeout());

    m_link = std::make_unique<Link>();
    try {
        if (tls) {
            auto socket = std::make_unique<QSslSocket>();
            if (!caFile.isEmpty()) {
                const QList<QSslCertificate> authorities = QSslCertificate::fromPath(caFile);
                if (authorities.isEmpty())
                    fail({QStringLiteral("O arquivo da autoridade certificadora configurado no "
                                         "host não pôde ser lido: %1")
                              .arg(caFile),
                          where + QStringLiteral(": nenhum certificado PEM em %1").arg(caFile)});
                QSslConfiguration config = socket->sslConfiguration();
                config.setCaCertificates(authorities);
                socket->setSslConfiguration(config);
            }
            QSslSocket &ssl = *socket;
            m_link->socket = std::move(socket);
            ssl.connectToHostEncrypted(Host, quint16(Port));
            waitUntil(
                [&] {
                    if (ssl.isEncrypted())
                        return true;
                    if (ssl.state() != QAbstractSocket::UnconnectedState)
                        return false;
                    // A failed verification is told apart from an unreachable
                    // server: it points at the CA file or at a server that is
                    // not the one meant.
                    if (!ssl.sslHandshakeErrors().isEmpty()) {
                        QStringList reasons;
                        for (const QSslError &e : ssl.sslHandshakeErrors())
                            reasons.append(e.errorString());
                        fail({QStringLiteral("O certificado do servidor de aplicação não foi "
                                             "aceito. Verifique o arquivo da autoridade "
                                             "certificadora configurado no host."),
                              QStringLiteral("%1: %2; autoridade certificadora: %3")
                                  .arg(where, reasons.join(QStringLiteral("; ")),
                                       caFile.isEmpty() ? QStringLiteral("as do sistema")
                                                        : caFile)});
                    }
                    fail({connectMessage(ssl.error()),
                          where + QStringLiteral(": ") + ssl.errorString()});
                },
                timeoutMs);
        } else {
            QTcpSocket &socket = *(m_link->socket = std::make_unique<QTcpSocket>());
            socket.connectToHost(Host, quint16(Port));
            waitUntil(
                [&] {
                    if (socket.state() == QAbstractSocket::ConnectedState)
                        return true;
                    if (socket.state() != QAbstractSocket::UnconnectedState)
                        return false;
                    fail({connectMessage(socket.error()),
                          where + QStringLiteral(": ") + socket.errorString()});
                },
                timeoutMs);
        }

        // Each call is one small request waiting for its answer: without
        // this, Nagle's algorithm meets the peer's delayed acknowledgement and
        // every round trip can stall for tens of milliseconds.
        m_link->socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

        const qint64 id = m_nextId++;
        const QByteArray login = quv::wire::encode(
            quv::wire::requestToVariant({id, quv::rdm::LoginMethod, {ServerName, token}}),
            quv::wire::Encoding::Cbor);
        quv::wire::Response response;
        try {
            response = roundTrip(login, id, timeoutMs);
        } catch (Failure failure) {
            // Closed before the login was answered: most often a TLS server
            // met by a plaintext host.
            if (failure.message == CutOffMessage)
                failure.message = connectMessage(QAbstractSocket::RemoteHostClosedError);
            m_lastError = failure.message;
            throw failure;
        }
        if (!response.ok) {
            // The server's words are already the user's; a refused token also
            // says where to look.
            QString message = response.errorMessage;
            if (response.errorCode == quv::wire::code::AuthenticationFailed)
                message += QStringLiteral(" Verifique o token configurado no host.");
            fail({message,
                  QStringLiteral("%1: login recusado (código %2)")
                      .arg(where)
                      .arg(response.errorCode),
                  response.errorCode});
        }
        m_administrator = response.result.toMap().value(QStringLiteral("administrator")).toString();
    } catch (Interrupted interrupted) {
        fail({interrupted == Interrupted::Cancelled ? CancelledMessage : timedOut(timeoutMs),
              where + (interrupted == Interrupted::Cancelled
                           ? QStringLiteral(": conexão cancelada pelo usuário.")
                           : QStringLiteral(": sem resposta à conexão em %1 ms.").arg(timeoutMs))});
    }
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

    // The window system is served while a call waits, but input is not:
    // a second call can only come from a timer, and it must not cut in.
    if (m_waiting)
        throw Exception(QStringLiteral("Uma chamada ao servidor de aplicação ainda está em "
                                       "andamento; aguarde o fim dela."),
                        QStringLiteral("método %1 chamado durante outra chamada").arg(method));

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
        throw Exception(
            QStringLiteral("Erro interno da tela: um argumento não pode ser enviado ao "
                           "servidor de aplicação."),
            QStringLiteral("método %1: %2").arg(method, QString::fromUtf8(error.what())));
    }

    m_waiting = true;
    m_cancelRequested = false;
    m_changeInDoubt = false;
    if (WaitObserver *observer = waitObserver())
        observer->waitStarted(*this);
    const auto finished = qScopeGuard([this] {
        m_waiting = false;
        if (WaitObserver *observer = waitObserver())
            observer->waitFinished(*this);
    });

    // Once the request is out, a change that gets no answer may still have
    // been applied by the server.
    bool sent = false;
    const bool change = !known || !known->readOnly;
    const auto inDoubt = [&](Failure failure) {
        if (sent && change) {
            m_changeInDoubt = true;
            failure.message += ChangeInDoubtMessage;
        }
        return failure;
    };

    try {
        // A server that restarted closed our socket: notice it before writing,
        // so the call goes over a fresh connection instead of failing.
        if (m_link && m_link->socket->bytesAvailable() == 0)
            m_link->socket->waitForReadyRead(0);
        if (!Connected() || m_link->socket->bytesAvailable() > 0)
            connectOrThrow();

        const int timeoutMs = callTimeout();
        const QString where =
            QStringLiteral("servidor de aplicação %1, método %2").arg(address(), method);
        quv::wire::Response response;
        try {
            sent = true;
            response = roundTrip(payload, id, timeoutMs);
        } catch (Interrupted interrupted) {
            const bool cancelled = interrupted == Interrupted::Cancelled;
            fail({cancelled ? CancelledMessage : timedOut(timeoutMs),
                  where + (cancelled ? QStringLiteral(": cancelado pelo usuário.")
                                     : QStringLiteral(": sem resposta em %1 ms.").arg(timeoutMs))});
        }
        if (!response.ok)
            return status(false, response.errorCode, response.errorMessage);

        const QVariantMap result = response.result.toMap();
        const QVariant out = result.value(QStringLiteral("out"));
        if (response.result.metaType().id() != QMetaType::QVariantMap ||
            (out.isValid() && out.metaType().id() != QMetaType::QVariantList))
            fail({MalformedMessage, where + QStringLiteral(": esperava {payload, out}.")});
        const QVariantList outputs = out.toList();
        if (known && out.isValid() && outputs.size() != params.size())
            fail({MalformedMessage, where + QStringLiteral(": %1 saídas para %2 argumentos.")
                                                .arg(outputs.size())
                                                .arg(params.size())});
        for (qsizetype i = 0; i < args.size() && i < outputs.size(); ++i) {
            const std::optional<Arg> k = kind(i);
            if (k ? (*k == Arg::OutPacket || *k == Arg::RefString) : !outputs[i].isNull())
                args[i] = outputs[i];
        }
        return status(true, 0, QString(), result.value(QStringLiteral("payload")));
    } catch (const Failure &caught) {
        const Failure failure = inDoubt(caught);
        m_lastError = failure.message;
        if (ThrowException)
            throw EConnectionError(failure.message, failure.details);
        return status(false, failure.code, failure.message, {}, failure.details);
    }
}
