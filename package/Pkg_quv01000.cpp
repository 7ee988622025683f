// The package unit: its table of units and the plain C entries a host
// resolves after loading the library.

#include "contracts/package.h"
#include "screen/Cli_quv01000.h"
#include "screen/historywindow.h"

namespace {

void packageInitialization() {}
void packageFinalization() {}

// The screen's unit comes last: it is initialized after everything it uses.
const QuvPackageUnit units[] = {
    {"Pkg_quv01000", &packageInitialization, &packageFinalization},
    {"Cli_quv01000", &Cli_quv01000::initialization, &Cli_quv01000::finalization},
};

const QuvPackageInfoTable packageInfo = {QuvPackageAbiVersion, int(std::size(units)), units};

} // namespace

extern "C" {

Q_DECL_EXPORT const QuvPackageInfoTable *GetPackageInfoTable()
{
    return &packageInfo;
}

Q_DECL_EXPORT void Initialize()
{
    for (const QuvPackageUnit &unit : units)
        unit.initialize();
}

Q_DECL_EXPORT void Finalize()
{
    for (auto it = std::rbegin(units); it != std::rend(units); ++it)
        it->finalize();
}

Q_DECL_EXPORT void IniProc()
{
    Cli_quv01000::criaControleAcesso();
}

// The history of every principal's access changes, for the host's menu.
Q_DECL_EXPORT void IniProcHistorico()
{
    Cli_quv01000::abreHistorico(QString());
}
}
