#pragma once

// The binary contract of a loadable screen package: plain C entry points that
// a host resolves by name after loading the shared library.
//
//   Initialize()          runs every unit's initialization, in table order
//   Finalize()            runs every unit's finalization, in reverse order
//   GetPackageInfoTable() the package's table of units
//   IniProc()             opens the package's screen
//
// Initialize must run before IniProc and Finalize before the library is
// unloaded; both are counted, so nested pairs are harmless. IniProc may throw
// a C++ exception (derived from std::exception); the host catches it and
// shows its message.

extern "C" {

struct QuvPackageUnit
{
    const char *name;
    void (*initialize)();
    void (*finalize)();
};

struct QuvPackageInfoTable
{
    int version; // QuvPackageAbiVersion
    int unitCount;
    const QuvPackageUnit *units;
};

using QuvInitializeProc = void (*)();
using QuvFinalizeProc = void (*)();
using QuvGetPackageInfoTableProc = const QuvPackageInfoTable *(*)();
using QuvIniProc = void (*)();
}

inline constexpr int QuvPackageAbiVersion = 1;
