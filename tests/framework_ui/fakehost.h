#pragma once

// A host for the framework's widget tests: a main window with an MDI area,
// recording what the framework asks of it.

#include "contracts/hostservices.h"
#include "framework/app/halvern.h"
#include "framework/data/dataset.h"

#include <QMainWindow>
#include <QMdiArea>
#include <QStringList>

class FakeHost : public quv::IHostServices
{
public:
    FakeHost()
    {
        window.setCentralWidget(area);
        window.resize(1000, 700);
        Halvern::setHost(this);
    }
    ~FakeHost() override { Halvern::setHost(nullptr); }

    QString webUrl() const override { return QStringLiteral("servidor.local"); }
    int webPort() const override { return 4711; }
    QString serverToken() const override { return QStringLiteral("segredo"); }
    bool serverTls() const override { return true; }
    QString serverCaFile() const override { return QStringLiteral("/etc/ca.pem"); }
    void atualizaLocalCache(const QStringList &tables) override { cacheRequests << tables; }
    QWidget *mainForm() const override { return const_cast<QMainWindow *>(&window); }
    QMdiArea *mdiArea() const override { return area; }
    void showException(const QString &message, const QString &) override { shown << message; }

    QMainWindow window;
    QMdiArea *area = new QMdiArea;
    QList<QStringList> cacheRequests;
    QStringList shown;
};

/// A small client dataset: CODIGO (5), NOME (30), MARCA (1), with the rows
/// given as "code|name|mark".
inline void fillDataSet(TClientDataSet &ds, const QStringList &rows)
{
    if (ds.FieldCount() == 0) {
        ds.AddField(QStringLiteral("CODIGO"), 5);
        ds.AddField(QStringLiteral("NOME"), 30)->setDisplayLabel(QStringLiteral("Nome"));
        ds.AddField(QStringLiteral("MARCA"), 1);
    }
    quv::DataPacket packet({{QStringLiteral("CODIGO"), 5},
                            {QStringLiteral("NOME"), 30},
                            {QStringLiteral("MARCA"), 1}});
    for (const QString &row : rows)
        packet.appendRow(row.split(QLatin1Char('|')));
    ds.SetData(packet);
}
