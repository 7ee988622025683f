#include "framework/data/servercheck.h"

#include "contracts/wire.h"

QVariant CheckResultServ(const QVariant &status, bool raise, int /*context*/)
{
    if (status.metaType() != QMetaType::fromType<TServerStatus>()) {
        if (raise)
            throw EServerError(
                quv::wire::code::InternalError,
                QStringLiteral("O servidor de aplicação enviou uma resposta "
                               "inválida."),
                QStringLiteral("o método não devolveu um status (%1)")
                    .arg(QString::fromLatin1(status.typeName() ? status.typeName() : "vazio")));
        return {};
    }
    const TServerStatus result = status.value<TServerStatus>();
    if (result.ok)
        return result.payload;
    if (raise)
        throw EServerError(result.code,
                           result.message.isEmpty()
                               ? QStringLiteral("O servidor de aplicação recusou a "
                                                "operação (código %1).")
                                     .arg(result.code)
                               : result.message,
                           result.details);
    return {};
}
