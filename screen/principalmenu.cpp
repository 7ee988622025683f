#include "screen/principalmenu.h"

#include "framework/app/application.h"
#include "framework/app/halvern.h"
#include "framework/data/adoquery.h"
#include "framework/data/servercheck.h"
#include "framework/widgets/busy.h"
#include "screen/Cli_quv01000.h"
#include "screen/copyaccessdialog.h"
#include "screen/historywindow.h"

#include <QMenu>

namespace Cli_quv01000 {

namespace {

// ---------------------------------------------------------------- actions

/// Copies another principal's grants onto the list's current principal.
void copyAccessInto(TfrmControleAcesso &screen, bool group);
/// Opens the history of access changes of the list's current principal.
void showHistory(TfrmControleAcesso &screen, bool group);

/// One entry of both menus: its object name (the list's "Grup" or "Oper"
/// is appended), its caption, and what it does for the current principal.
struct PrincipalAction
{
    const char *name;
    const char *caption;
    void (*run)(TfrmControleAcesso &screen, bool group);
};

const PrincipalAction Actions[] = {
    {"mnuHistorico", "Histórico de alterações…", showHistory},
    {"mnuCopiarAcessos", "Copiar acessos de…", copyAccessInto},
};

// ---------------------------------------------------------------- helpers

TADOIBQuery *listOf(TfrmControleAcesso &screen, bool group)
{
    return group ? screen.qryOperGrup : screen.qryOperOper;
}

bool hasCurrent(TDataSet *list)
{
    return list->Active() && !list->IsEmpty() && list->RecNo() > 0;
}

// Every group, then every operator, each by name as the lists show them.
QList<PrincipalChoice> readPrincipals()
{
    QList<PrincipalChoice> all;
    for (bool group : {true, false}) {
        TADOIBQuery query;
        query.SQL = {group ? QStringLiteral("SELECT CDGRUPOPER, DSGRUPOPER FROM GRUPOPER ORDER BY "
                                            "DSGRUPOPER, CDGRUPOPER")
                           : QStringLiteral("SELECT CDOPERADOR, NMOPERADOR FROM OPERADOR ORDER BY "
                                            "NMOPERADOR, CDOPERADOR")};
        query.Open();
        const quv::DataPacket rows = query.Data();
        all.reserve(all.size() + rows.rowCount());
        for (qsizetype r = 0; r < rows.rowCount(); ++r)
            all.append({group, rows.value(r, 0), rows.value(r, 1)});
    }
    return all;
}

CopyCounts callCopy(TfrmControleAcesso &screen, const QString &method, const QString &source,
                    const QString &target, const QString &mode)
{
    ActiveShowAvi(Application->MainForm(), 1);
    try {
        QVariantList args{source, target, mode};
        const QVariant status = screen.netControleAcesso->AppServer().Call(method, args);
        const CopyCounts counts = CopyCounts::fromPayload(CheckResultServ(status, true, 0));
        DeactiveShowAvi();
        return counts;
    } catch (...) {
        DeactiveShowAvi();
        throw;
    }
}

void copyAccessInto(TfrmControleAcesso &screen, bool group)
{
    TADOIBQuery *list = listOf(screen, group);
    if (!hasCurrent(list))
        return;
    const PrincipalChoice target{
        group,
        list->FieldByName(group ? QStringLiteral("CDGRUPOPER") : QStringLiteral("CDOPERADOR"))
            ->AsString(),
        list->FieldByName(group ? QStringLiteral("DSGRUPOPER") : QStringLiteral("NMOPERADOR"))
            ->AsString()};
    TdlgCopiaAcessos dialog(&screen, target, readPrincipals(),
                            [&screen, &target](const QString &source, const QString &mode) {
                                return callCopy(screen, QStringLiteral("getPreviaCopia"), source,
                                                target.key(), mode);
                            });
    if (dialog.exec() != QDialog::Accepted)
        return;
    const CopyCounts counts = callCopy(screen, QStringLiteral("copiaAcessos"),
                                       dialog.source().key(), target.key(), dialog.mode());
    if (counts.isEmpty())
        return;
    // The target is the list's current principal: reload what its page shows.
    if (group)
        screen.qryOperGrupAfterScroll(list);
    else
        screen.qryOperOperAfterScroll(list);
    QVariantList tables;
    if (counts.factsAdded + counts.factsRemoved > 0)
        tables.append(group ? QStringLiteral("ITEMDWGRUPOP") : QStringLiteral("ITEMDWOPER"));
    if (counts.dimensionsAdded + counts.dimensionsRemoved > 0)
        tables.append(group ? QStringLiteral("DIMEDWGRUPOP") : QStringLiteral("DIMEODWOPER"));
    if (counts.valuesAdded + counts.valuesRemoved > 0)
        tables.append(group ? QStringLiteral("FILDIMEGRUPOP") : QStringLiteral("FILDIMEOPER"));
    Halvern::AtualizaLocalCache(tables);
}

void showHistory(TfrmControleAcesso &screen, bool group)
{
    TADOIBQuery *list = listOf(screen, group);
    if (!hasCurrent(list))
        return;
    const QString code =
        list->FieldByName(group ? QStringLiteral("CDGRUPOPER") : QStringLiteral("CDOPERADOR"))
            ->AsString();
    abreHistorico((group ? QStringLiteral("G") : QStringLiteral("O")) + code);
}

} // namespace

void installPrincipalMenu(TfrmControleAcesso &screen)
{
    for (bool group : {true, false}) {
        TDBGrid *grid = group ? screen.dbgPadrao : screen.dbgOperador;
        auto *menu = new QMenu(grid);
        menu->setObjectName(group ? QStringLiteral("pmnOperGrup") : QStringLiteral("pmnOperOper"));
        for (const PrincipalAction &entry : Actions) {
            QAction *action = menu->addAction(QString::fromUtf8(entry.caption));
            action->setObjectName(QLatin1StringView(entry.name) +
                                  (group ? QStringLiteral("Grup") : QStringLiteral("Oper")));
            QObject::connect(action, &QAction::triggered, &screen,
                             [&screen, group, run = entry.run] {
                                 Application->Guard([&] { run(screen, group); });
                             });
        }
        // Nothing to act on in an empty list.
        QObject::connect(menu, &QMenu::aboutToShow, menu, [&screen, menu, group] {
            const bool enabled = hasCurrent(listOf(screen, group));
            for (QAction *action : menu->actions())
                action->setEnabled(enabled);
        });
        grid->setContextMenuPolicy(Qt::CustomContextMenu);
        QObject::connect(
            grid, &QWidget::customContextMenuRequested, menu,
            [grid, menu](const QPoint &at) { menu->popup(grid->viewport()->mapToGlobal(at)); });
    }
}

} // namespace Cli_quv01000
