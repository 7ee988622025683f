// The tooltip of a grant grid's check-column title says what the next click
// on it will do. It is the click's own decision, taken from the same state
// (the toggle keys, and the grid's marks while no title was clicked yet in
// the screen's life), read without changing any of it.

#include "screen/Cli_quv01000.h"

namespace Cli_quv01000 {

void TfrmControleAcesso::wireTitleHints()
{
    for (TDBGrid *grid : {dbgFatosGrup, dbgFatosOper, dbgDimeGrup, dbgDimeOper})
        grid->OnTitleHint = [this, grid](TColumn *column) { return titleHint(grid, column); };
}

QString TfrmControleAcesso::titleHint(TDBGrid *grid, TColumn *Column)
{
    const TitleToggle t = titleToggle(grid);
    if (!titleClickApplies(t, Column))
        return {};
    const QString key = toggleKey(t);
    const bool markAll = cdsTestaCheck->Active()
                             ? !findToggleKey(key)
                             : vd_check(QVariant::fromValue(t.dataSet->Data()), key);
    return markAll ? QStringLiteral("Marcar todos") : QStringLiteral("Desmarcar todos");
}

} // namespace Cli_quv01000
