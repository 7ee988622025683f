#include "framework/data/servercheck.h"

#include "contracts/wire.h"

QVariant CheckResultServ(const QVariant &status, bool raise, int /*context*/)
{
    if (status.metaType() != QMetaType::fromType<TServerStatus>()) {
        if (raise)
            throw EServerError(quv::wire::code::InternalError,
                               QStringLiteral("Resposta inválida do servidor de aplicação: o "
                                              "método não devolveu um status."));
        return {};
    }
    const TServerStatus result = status.value<TServerStatus>();
    if (result.ok)
        return result.payload;
    if (raise)
        throw EServerError(result.code, result.message.isEmpty()
                                            ? QStringLiteral("O servidor de aplicação recusou a "
                                                             "operação (código %1).")
                                                  .arg(result.code)
                                            : result.message);
    return {};
}
