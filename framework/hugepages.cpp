#include "framework/hugepages.h"

#include <cstdint>

#ifdef __linux__
#include <sys/mman.h>
#endif

void adviseHugePages(const void *data, std::size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t Huge = std::uintptr_t(2) << 20;
    const auto from = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (from + Huge - 1) & ~(Huge - 1);
    const std::uintptr_t end = (from + bytes) & ~(Huge - 1);
    if (data == nullptr || end <= begin)
        return;
    // Only advice: where the kernel refuses it, the pages stay small.
    (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}
