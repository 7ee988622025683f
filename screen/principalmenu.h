#pragma once

// The context menu of the two principal lists: the group list (dbgPadrao)
// and the operator list (dbgOperador). Each entry acts on the principal
// selected in the list the menu was opened on. The menu adds no input
// handling of its own to the lists: a right click still moves the list as
// it did, and only then shows the menu.

namespace Cli_quv01000 {

class TfrmControleAcesso;

/// Gives both lists of the screen their context menu.
void instalaMenuPrincipal(TfrmControleAcesso *form);

} // namespace Cli_quv01000
