#pragma once

// The context menu of the two principal lists (groups on the first page,
// operators on the second). Each entry works on the list's current
// principal, which a right click has already made current; the menu adds
// nothing to the lists' own mouse and keyboard handling.

namespace Cli_quv01000 {

class TfrmControleAcesso;

/// Gives dbgPadrao and dbgOperador their menus ("pmnOperGrup" and
/// "pmnOperOper"), whose actions carry object names (e.g.
/// "mnuHistoricoGrup" and "mnuCopiarAcessosOper").
void installPrincipalMenu(TfrmControleAcesso &screen);

} // namespace Cli_quv01000
