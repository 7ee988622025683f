#include "server/dispatcher.h"

#include "contracts/controleacesso.h"
#include "contracts/datapacket.h"
#include "contracts/peertext.h"
#include "contracts/wire.h"
#include "db/connection.h"
#include "server/accesscontrol.h"
#include "server/audit.h"
#include "server/history.h"
#include "server/logging.h"
#include "server/rpcerror.h"
#include "server/transfer.h"
#include "server/undo.h"

#include <QElapsedTimer>
#include <QHash>
#include <QRandomGenerator>

#include <functional>

namespace quv::server {

namespace code = wire::code;
using rdm::Arg;

namespace {

struct Call
{
    const QVariantList &params;
    AccessControl &access;
    db::StatementCache &statements;
    const QString &administrator;
    Transfer &transfer;
    ConnectionState &connection;
    QVariant payload;
    QVariantList out;

    QString text(int i) const { return params[i].toString(); }
    bool flag(int i) const { return params[i].toBool(); }
    DataPacket packet(int i) const { return params[i].value<DataPacket>(); }
    TransferMode mode(int i) const
    {
        const std::optional<TransferMode> mode = transferModeFromName(text(i));
        if (!mode)
            throw RpcError(wire::code::InvalidParams,
                           QStringLiteral("Modo '%1' desconhecido: esperava 'substituir' ou "
                                          "'acrescentar'.")
                               .arg(text(i)));
        return *mode;
    }
    /// A by-reference string goes back as it came.
    void echo(int i) { out[i] = params[i]; }
};

struct Handler
{
    QStringList argumentNames; // for messages, in call order
    std::function<void(Call &)> run;
};

// Copying grants between principals, export and import.
void addTransferHandlers(QHash<QString, Handler> &h)
{
    const QStringList copyArguments{QStringLiteral("origem"), QStringLiteral("destino"),
                                    QStringLiteral("modo")};
    h.insert(QStringLiteral("getPreviaCopia"),
             {copyArguments, [](Call &c) {
                  c.payload = c.transfer.copy(c.text(0), c.text(1), c.mode(2), false).toVariant();
              }});
    h.insert(QStringLiteral("copiaAcessos"),
             {copyArguments, [](Call &c) {
                  c.payload = c.transfer.copy(c.text(0), c.text(1), c.mode(2), true).toVariant();
              }});
    h.insert(QStringLiteral("getExportaAcessos"),
             {{QStringLiteral("seleção de principais"), QStringLiteral("posição")},
              [](Call &c) { c.payload = c.transfer.exportPage(c.packet(0), c.text(1)); }});
    h.insert(QStringLiteral("importaAcessosInicio"),
             {{}, [](Call &c) { c.transfer.beginImport(c.connection); }});
    h.insert(QStringLiteral("importaAcessosParte"),
             {{QStringLiteral("pacote de linhas")},
              [](Call &c) { c.payload = c.transfer.stageImport(c.connection, c.packet(0)); }});
    h.insert(QStringLiteral("getPreviaImportacao"),
             {{QStringLiteral("modo")}, [](Call &c) {
                  c.payload = c.transfer.finishImport(c.connection, c.mode(0), false);
              }});
    h.insert(QStringLiteral("importaAcessos"),
             {{QStringLiteral("modo")},
              [](Call &c) { c.payload = c.transfer.finishImport(c.connection, c.mode(0), true); }});
}

const QHash<QString, Handler> &handlers()
{
    static const QHash<QString, Handler> table = [] {
        QHash<QString, Handler> h;
        const auto getOper = [](Principal kind) {
            return [kind](Call &c) {
                c.echo(0);
                c.out[1] = QVariant::fromValue(c.access.facts(kind, c.text(0)));
                c.out[2] = QVariant::fromValue(c.access.dimensions(kind, c.text(0)));
            };
        };
        h.insert(QStringLiteral("getOperGrup"),
                 {{QStringLiteral("código do grupo"), QStringLiteral("pacote de fatos"),
                   QStringLiteral("pacote de dimensões")},
                  getOper(Principal::Group)});
        h.insert(QStringLiteral("getOperOper"),
                 {{QStringLiteral("código do operador"), QStringLiteral("pacote de fatos"),
                   QStringLiteral("pacote de dimensões")},
                  getOper(Principal::Operator)});

        const auto setCkFato = [](Principal kind) {
            return [kind](Call &c) {
                c.out[4] = QVariant::fromValue(
                    c.access.setFactGrant(kind, c.text(0), c.text(1), c.text(2), c.flag(3)));
            };
        };
        h.insert(QStringLiteral("setCkFatoOpGrup"),
                 {{QStringLiteral("CDTABELADW"), QStringLiteral("CDITEMDW"),
                   QStringLiteral("código do grupo"), QStringLiteral("concessão"),
                   QStringLiteral("pacote de fatos")},
                  setCkFato(Principal::Group)});
        h.insert(QStringLiteral("setCkFatoOpOper"),
                 {{QStringLiteral("CDTABELADW"), QStringLiteral("CDITEMDW"),
                   QStringLiteral("código do operador"), QStringLiteral("concessão"),
                   QStringLiteral("pacote de fatos")},
                  setCkFato(Principal::Operator)});

        const auto setCkDime = [](Principal kind) {
            return [kind](Call &c) {
                c.out[3] = QVariant::fromValue(
                    c.access.setDimensionGrant(kind, c.text(0), c.text(1), c.flag(2)));
            };
        };
        h.insert(QStringLiteral("setCkDimeOpGrup"),
                 {{QStringLiteral("NRSEQUEDIME"), QStringLiteral("código do grupo"),
                   QStringLiteral("concessão"), QStringLiteral("pacote de dimensões")},
                  setCkDime(Principal::Group)});
        h.insert(QStringLiteral("setCkDimeOpOper"),
                 {{QStringLiteral("NRSEQUEDIME"), QStringLiteral("código do operador"),
                   QStringLiteral("concessão"), QStringLiteral("pacote de dimensões")},
                  setCkDime(Principal::Operator)});

        const auto setTChkFato = [](Principal kind) {
            return [kind](Call &c) {
                c.out[2] = QVariant::fromValue(
                    c.access.setFactGrants(kind, c.text(0), c.packet(1), c.flag(3)));
            };
        };
        h.insert(QStringLiteral("setTChkFatoOpGrup"),
                 {{QStringLiteral("código do grupo"), QStringLiteral("pacote de fatos"),
                   QStringLiteral("pacote de retorno"), QStringLiteral("direção")},
                  setTChkFato(Principal::Group)});
        h.insert(QStringLiteral("setTChkFatoOpOper"),
                 {{QStringLiteral("código do operador"), QStringLiteral("pacote de fatos"),
                   QStringLiteral("pacote de retorno"), QStringLiteral("direção")},
                  setTChkFato(Principal::Operator)});

        const auto setTChkDime = [](Principal kind) {
            return [kind](Call &c) {
                c.out[3] = QVariant::fromValue(
                    c.access.setDimensionGrants(kind, c.text(0), c.packet(1), c.flag(2)));
            };
        };
        h.insert(QStringLiteral("setTChkDimeOpGrup"),
                 {{QStringLiteral("código do grupo"), QStringLiteral("pacote de dimensões"),
                   QStringLiteral("direção"), QStringLiteral("pacote de retorno")},
                  setTChkDime(Principal::Group)});
        h.insert(QStringLiteral("setTChkDimeOpOper"),
                 {{QStringLiteral("código do operador"), QStringLiteral("pacote de dimensões"),
                   QStringLiteral("direção"), QStringLiteral("pacote de retorno")},
                  setTChkDime(Principal::Operator)});

        h.insert(QStringLiteral("getPesqFiltro"),
                 {{QStringLiteral("instrução SELECT")}, [](Call &c) {
                      c.echo(0);
                      c.payload = QVariant::fromValue(c.access.searchValues(c.text(0)));
                  }});
        h.insert(
            QStringLiteral("getListaFiltro"),
            {{QStringLiteral("chave do principal"), QStringLiteral("NRSEQUEDIME")}, [](Call &c) {
                 c.echo(1);
                 c.payload = c.access.filterList(c.text(0), c.text(1));
             }});
        h.insert(QStringLiteral("setDelFilDime"),
                 {{QStringLiteral("pacote de filtro"), QStringLiteral("grupo")}, [](Call &c) {
                      c.access.replaceFilter(c.packet(0),
                                             c.flag(1) ? Principal::Group : Principal::Operator);
                  }});
        h.insert(QStringLiteral("getHistorico"),
                 {{QStringLiteral("chave do principal"), QStringLiteral("administrador"),
                   QStringLiteral("desde"), QStringLiteral("até"), QStringLiteral("texto"),
                   QStringLiteral("cursor"), QStringLiteral("quantidade")},
                  [](Call &c) { c.payload = historyPayload(c.statements, c.params); }});
        h.insert(QStringLiteral("getAlteracao"),
                 {{QStringLiteral("alteração")},
                  [](Call &c) { c.payload = changePayload(c.statements, c.text(0)); }});
        h.insert(QStringLiteral("desfazAlteracao"),
                 {{QStringLiteral("alteração")}, [](Call &c) {
                      c.payload = undoPayload(c.statements, c.administrator, c.text(0));
                  }});
        addTransferHandlers(h);
        return h;
    }();
    return table;
}

bool accepts(Arg arg, const QVariant &value)
{
    switch (arg) {
    case Arg::String:
    case Arg::RefString:
        return value.metaType() == QMetaType::fromType<QString>();
    case Arg::Bool:
        return value.metaType() == QMetaType::fromType<bool>();
    case Arg::Packet:
        return value.metaType() == QMetaType::fromType<DataPacket>();
    case Arg::OutPacket:
        return !value.isValid();
    }
    return false;
}

QString expected(Arg arg)
{
    switch (arg) {
    case Arg::String:
    case Arg::RefString:
        return QStringLiteral("um texto");
    case Arg::Bool:
        return QStringLiteral("um booleano");
    case Arg::Packet:
        return QStringLiteral("um pacote de dados");
    case Arg::OutPacket:
        return QStringLiteral("nulo (é preenchido pelo servidor)");
    }
    return {};
}

} // namespace

RpcError hiddenError(int errorCode, const QString &cause)
{
    const QString id = QStringLiteral("%1")
                           .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                           .toUpper();
    const QString what = errorCode == code::DatabaseError
                             ? QStringLiteral("Erro no banco de dados")
                             : QStringLiteral("Erro interno do servidor");
    return RpcError(errorCode,
                    QStringLiteral("%1 (ocorrência %2). O detalhe ficou no registro do servidor; "
                                   "informe esse código ao administrador do sistema.")
                        .arg(what, id),
                    QStringLiteral("error %1: %2").arg(id, cause));
}

Outcome answer(const Dispatcher &dispatcher, const wire::Request &request,
               const QString &administrator, ConnectionState *connection)
{
    Outcome outcome;
    wire::Response &response = outcome.response;
    response.id = request.id;
    const auto failWith = [&](const RpcError &e) {
        response.errorCode = e.code();
        response.errorMessage = e.message();
        outcome.logDetail = e.detail();
    };
    try {
        response.result =
            dispatcher.call(request.method, request.params, administrator, connection);
        response.ok = true;
    } catch (const RpcError &e) {
        failWith(e);
    } catch (const std::bad_alloc &) {
        failWith(hiddenError(code::InternalError, QStringLiteral("out of memory")));
        outcome.fatal = true;
    } catch (const std::exception &e) {
        failWith(hiddenError(code::InternalError, QString::fromStdString(e.what())));
    }
    return outcome;
}

QByteArray encodeReply(const wire::Response &response, wire::Encoding encoding, QString *logDetail,
                       quint32 limit)
{
    wire::Response failure;
    failure.id = response.id;
    try {
        QByteArray payload = wire::encode(wire::responseToVariant(response), encoding);
        if (payload.size() <= qsizetype(limit))
            return payload;
        failure.errorCode = code::FrameTooLarge;
        failure.errorMessage =
            QStringLiteral("A resposta teria %1 bytes, mais do que os %2 de uma mensagem; nada "
                           "foi enviado. Peça menos de uma vez.")
                .arg(payload.size())
                .arg(limit);
        *logDetail = QStringLiteral("an answer of %1 bytes is over the frame limit; refused")
                         .arg(payload.size());
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &e) {
        const RpcError hidden = hiddenError(
            code::InternalError,
            QStringLiteral("cannot encode the answer: %1").arg(QString::fromStdString(e.what())));
        failure.errorCode = hidden.code();
        failure.errorMessage = hidden.message();
        *logDetail = hidden.detail();
    }
    return wire::encode(wire::responseToVariant(failure), encoding);
}

QString typeLabel(const QVariant &value)
{
    if (!value.isValid())
        return QStringLiteral("nulo");
    if (value.metaType() == QMetaType::fromType<DataPacket>())
        return QStringLiteral("pacote de dados");
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return QStringLiteral("booleano");
    case QMetaType::QString:
        return QStringLiteral("texto");
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return QStringLiteral("número");
    case QMetaType::QVariantList:
        return QStringLiteral("lista");
    case QMetaType::QVariantMap:
        return QStringLiteral("objeto");
    default:
        return QString::fromLatin1(value.typeName());
    }
}

QVariant Dispatcher::call(const QString &method, const QVariantList &params,
                          const QString &administrator, ConnectionState *connection) const
{
    const rdm::Method *entry = rdm::findMethod(method);
    const auto handler = handlers().constFind(method);
    if (!entry || handler == handlers().cend())
        throw RpcError(
            code::MethodNotFound,
            QStringLiteral("Método '%1' desconhecido neste servidor.").arg(clipped(method)));
    if (params.size() != qsizetype(entry->args.size()))
        throw RpcError(code::InvalidParams, QStringLiteral("O método '%1' espera %2 argumentos; "
                                                           "recebeu %3.")
                                                .arg(method)
                                                .arg(entry->args.size())
                                                .arg(params.size()));
    for (qsizetype i = 0; i < params.size(); ++i)
        if (!accepts(entry->args[size_t(i)], params[i]))
            throw RpcError(code::InvalidParams,
                           QStringLiteral("Argumento %1 (%2) de '%3' deve ser %4; recebeu %5.")
                               .arg(i + 1)
                               .arg(handler->argumentNames.value(i), method,
                                    expected(entry->args[size_t(i)]), typeLabel(params[i])));

    AccessControl access(*m_statements, administrator, method);
    Transfer transfer(*m_statements, administrator, method);
    // Without a connection of its own the call keeps nothing for later.
    ConnectionState oneCall;
    Call call{params,        access,
              *m_statements, administrator,
              transfer,      connection ? *connection : oneCall,
              QVariant(),    QVariantList(params.size())};
    QElapsedTimer timer;
    timer.start();
    const AuditNotes notes;
    try {
        handler->run(call);
    } catch (const db::DbError &e) {
        // The call itself is not repeated (it may have been a change), but
        // a lost connection is restored for the calls after it, with its
        // statements prepared afresh.
        m_statements->clear();
        db::recoverConnection(m_db);
        throw hiddenError(code::DatabaseError, e.message());
    } catch (const PacketError &e) {
        throw hiddenError(code::InternalError,
                          QStringLiteral("a database value does not fit its packet: %1")
                              .arg(QString::fromStdString(e.what())));
    }
    if (const QStringList &audited = notes.principals(); !audited.isEmpty()) {
        // A change that wrote its audit rows has committed with them.
        constexpr qsizetype shown = 10;
        QString principals = audited.mid(0, shown).join(QLatin1Char(','));
        if (audited.size() > shown)
            principals += QStringLiteral(" and %1 more").arg(audited.size() - shown);
        qCInfo(lcChange, "%s %s by %s in %.1f ms", qUtf8Printable(method),
               qUtf8Printable(principals), qUtf8Printable(administrator),
               double(timer.nsecsElapsed()) / 1e6);
    }
    return QVariantMap{{QStringLiteral("payload"), call.payload},
                       {QStringLiteral("out"), call.out}};
}

} // namespace quv::server
