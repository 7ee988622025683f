// A stand-in screen package for the loader tests. It records every entry the
// host calls, in order, in a log the test reads through extra exports.
// Built several times: with a wrong table version and without IniProc to
// exercise the loader's refusals.

#include "contracts/package.h"

#include <QtGlobal>

#include <stdexcept>
#include <string>

#ifndef TEST_PACKAGE_VERSION
#define TEST_PACKAGE_VERSION QuvPackageAbiVersion
#endif

namespace {

std::string g_log;
bool g_throwOnOpen = false;
void (*g_openHook)() = nullptr;
int g_unitDepth = 0;

void unitInitialize()
{
    // Counted like a real unit: only the first Initialize runs the body.
    if (g_unitDepth++ == 0)
        g_log += "unit-init;";
}

void unitFinalize()
{
    if (--g_unitDepth == 0)
        g_log += "unit-fini;";
}

const QuvPackageUnit g_units[] = {{"TestUnit", unitInitialize, unitFinalize}};
const QuvPackageInfoTable g_table = {TEST_PACKAGE_VERSION, 1, g_units};

} // namespace

extern "C" {

Q_DECL_EXPORT void Initialize()
{
    g_log += "Initialize;";
    for (const QuvPackageUnit &u : g_units)
        u.initialize();
}

Q_DECL_EXPORT void Finalize()
{
    g_log += "Finalize;";
    for (const QuvPackageUnit &u : g_units)
        u.finalize();
}

Q_DECL_EXPORT const QuvPackageInfoTable *GetPackageInfoTable()
{
    return &g_table;
}

#ifndef TEST_PACKAGE_NO_INIPROC
Q_DECL_EXPORT void IniProc()
{
    g_log += "IniProc;";
    if (g_throwOnOpen)
        throw std::runtime_error("Falha ao criar a tela: \"código\" <inválido>");
    if (g_openHook)
        g_openHook();
}

Q_DECL_EXPORT void IniProcHistorico()
{
    g_log += "IniProcHistorico;";
}
#endif

// --- controls for the tests
Q_DECL_EXPORT const char *TestPackageLog()
{
    return g_log.c_str();
}

Q_DECL_EXPORT void TestPackageRecord(const char *entry)
{
    g_log += entry;
    g_log += ';';
}

Q_DECL_EXPORT void TestPackageReset()
{
    g_log.clear();
    g_throwOnOpen = false;
    g_openHook = nullptr;
}

Q_DECL_EXPORT void TestPackageSetThrow(int on)
{
    g_throwOnOpen = on != 0;
}

Q_DECL_EXPORT void TestPackageSetOpenHook(void (*hook)())
{
    g_openHook = hook;
}
}
