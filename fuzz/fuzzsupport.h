#pragma once

// Shared by the fuzz targets: a property that does not hold stops the run
// with the input saved, like a crash does.

#include <QByteArray>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace quv::fuzz {

[[noreturn]] inline void fail(const char *what, const QByteArray &detail = {})
{
    std::fprintf(stderr, "fuzz: property broken: %s\n%s\n", what, detail.constData());
    std::abort();
}

/// Qt's SQL drivers and codecs want an application object; the fuzzer owns
/// main(), so one is made here and lives for the whole run.
inline void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
}

} // namespace quv::fuzz

#define QUV_FUZZ_CHECK(condition, detail)                                                          \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::quv::fuzz::fail(#condition, detail);                                                 \
    } while (false)
