#include "framework/app/halvern.h"

#include "contracts/hostservices.h"
#include "framework/data/dataset.h"

#include <QStringList>

namespace {
quv::IHostServices *g_host = nullptr;

quv::IHostServices &requireHost()
{
    if (!g_host)
        throw Exception(QStringLiteral("Aplicação hospedeira não registrada"));
    return *g_host;
}

QStringList tableList(const QVariant &tableNames)
{
    QStringList names;
    const int type = tableNames.typeId();
    if (type == QMetaType::QString) {
        names << tableNames.toString();
    } else if (type == QMetaType::QStringList) {
        names = tableNames.toStringList();
    } else if (type == QMetaType::QVariantList) {
        const QVariantList items = tableNames.toList();
        for (qsizetype i = 0; i < items.size(); ++i) {
            if (items[i].typeId() != QMetaType::QString)
                throw Exception(QStringLiteral("Lista de tabelas inválida: o item %1 não é "
                                               "um nome de tabela")
                                    .arg(i + 1));
            names << items[i].toString();
        }
    } else {
        throw Exception(QStringLiteral("Lista de tabelas inválida: esperava nomes de tabelas, "
                                       "recebeu %1")
                            .arg(QString::fromLatin1(tableNames.typeName() ? tableNames.typeName()
                                                                           : "um valor vazio")));
    }
    for (qsizetype i = 0; i < names.size(); ++i)
        if (names[i].trimmed().isEmpty())
            throw Exception(
                QStringLiteral("Lista de tabelas inválida: o item %1 está vazio").arg(i + 1));
    return names;
}
} // namespace

namespace Halvern {

QString WebURL()
{
    return requireHost().webUrl();
}

int WebPort()
{
    return requireHost().webPort();
}

QString ServerToken()
{
    return requireHost().serverToken();
}

bool ServerTls()
{
    return requireHost().serverTls();
}

QString ServerCaFile()
{
    return requireHost().serverCaFile();
}

int ServerTimeoutMs()
{
    const int seconds = g_host ? g_host->serverTimeout() : quv::IHostServices::DefaultServerTimeout;
    // A day at most: anything longer is a mistake, and the product in
    // milliseconds must stay an int.
    constexpr int Day = 86400;
    return (seconds > 0 ? qMin(seconds, Day) : quv::IHostServices::DefaultServerTimeout) * 1000;
}

void AtualizaLocalCache(const QVariant &tableNames)
{
    quv::IHostServices &host = requireHost();
    // Validate the whole list first: a bad entry must not leave the cache
    // half refreshed.
    const QStringList names = tableList(tableNames);
    if (names.isEmpty())
        throw Exception(QStringLiteral("Lista de tabelas inválida: nenhuma tabela informada"));
    host.atualizaLocalCache(names);
}

void setHost(quv::IHostServices *hostServices)
{
    g_host = hostServices;
}

quv::IHostServices *host()
{
    return g_host;
}

} // namespace Halvern
