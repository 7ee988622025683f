#include "screen/principalmenu.h"

#include "framework/app/application.h"
#include "screen/Cli_quv01000.h"
#include "screen/historywindow.h"

#include <QAction>
#include <QMenu>

namespace Cli_quv01000 {

namespace {

/// One entry of the menu; `run` gets the principal key ("G01", "OJSILVA").
struct PrincipalAction
{
    const char *objectName;
    const char *caption;
    void (*run)(const QString &principalKey);
};

const PrincipalAction Actions[] = {
    {"mnuHistorico", "Histórico de alterações…", &abreHistorico},
};

/// The key of the principal the list stands on, or empty.
QString selectedKey(TfrmControleAcesso *form, bool group)
{
    TADOIBQuery *list = group ? form->qryOperGrup : form->qryOperOper;
    if (!list->Active() || list->IsEmpty())
        return {};
    TField *code = group ? form->qryOperGrupCDGRUPOPER : form->qryOperOperCDOPERADOR;
    return (group ? QStringLiteral("G") : QStringLiteral("O")) + code->AsString();
}

void install(TfrmControleAcesso *form, TDBGrid *grid, bool group, const char *menuName)
{
    auto *menu = new QMenu(grid);
    menu->setObjectName(QString::fromLatin1(menuName));
    for (const PrincipalAction &entry : Actions) {
        QAction *action = menu->addAction(QString::fromUtf8(entry.caption));
        action->setObjectName(QString::fromLatin1(entry.objectName));
        QObject::connect(action, &QAction::triggered, form, [form, group, run = entry.run] {
            Application->Guard([form, group, run] {
                const QString key = selectedKey(form, group);
                if (!key.isEmpty())
                    run(key);
            });
        });
    }
    grid->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(grid, &QWidget::customContextMenuRequested, menu,
                     [form, grid, group, menu](const QPoint &at) {
                         const bool any = !selectedKey(form, group).isEmpty();
                         for (QAction *action : menu->actions())
                             action->setEnabled(any);
                         menu->popup(grid->viewport()->mapToGlobal(at));
                     });
}

} // namespace

void instalaMenuPrincipal(TfrmControleAcesso *form)
{
    install(form, form->dbgPadrao, true, "pmnPrincipalGrup");
    install(form, form->dbgOperador, false, "pmnPrincipalOper");
}

} // namespace Cli_quv01000
