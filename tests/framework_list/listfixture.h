#pragma once

// A search result as the screen hands it to the list dialog: a blank mark
// column, then the key and the description under "Código" and "Nome".

#include "contracts/datapacket.h"
#include "framework/data/dataset.h"

#include <QList>
#include <QPair>
#include <QString>

#include <memory>

using Rows = QList<QPair<QString, QString>>;

inline quv::DataPacket searchPacket(const Rows &rows)
{
    quv::DataPacket packet({{QStringLiteral("IDMARCADO"), 1},
                            {QStringLiteral("CDITEM"), 20},
                            {QStringLiteral("DSITEM"), 60}});
    for (const auto &[code, name] : rows)
        packet.appendRow({QStringLiteral(" "), code, name});
    return packet;
}

struct SearchData
{
    explicit SearchData(const Rows &rows)
    {
        dataSet->setObjectName(QStringLiteral("cdsPesqFiltro"));
        dataSet->SetData(searchPacket(rows));
        dataSet->Fields().at(1)->setDisplayLabel(QStringLiteral("Código"));
        dataSet->Fields().at(2)->setDisplayLabel(QStringLiteral("Nome"));
        source->setObjectName(QStringLiteral("dtsPesqFiltro"));
        source->setDataSet(dataSet.get());
    }
    TField *key() const { return dataSet->FieldByName(QStringLiteral("CDITEM")); }

    std::unique_ptr<TClientDataSet> dataSet = std::make_unique<TClientDataSet>();
    std::unique_ptr<TDataSource> source = std::make_unique<TDataSource>();
};

inline Rows sampleRows()
{
    return {{QStringLiteral("A1"), QStringLiteral("Ana Souza")},
            {QStringLiteral("B2"), QStringLiteral("Bruno Álvares")},
            {QStringLiteral("C3"), QStringLiteral("São Paulo")},
            {QStringLiteral("D4"), QStringLiteral("ÉDITO ANA")},
            {QStringLiteral("E5"), QStringLiteral("Carlos")}};
}
