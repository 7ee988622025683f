#pragma once

// Large buffers filled at once (a million-value filter list, its lookup
// table) spend most of their filling time taking page faults when backed by
// 4 KiB pages: on the virtual machines the application runs on, one fault
// costs about ten microseconds, 45 ms for 16 MiB. Huge pages take one fault
// per 2 MiB.

#include <cstddef>

/// Asks the kernel to back the whole 2 MiB pages inside [data, data + bytes)
/// with huge pages, where the system allows it (transparent huge pages in
/// "madvise" or "always" mode). Call it on room reserved but not yet
/// written: pages already touched keep their size. Does nothing elsewhere,
/// or for less than one huge page.
void adviseHugePages(const void *data, std::size_t bytes);

/// The same for the reserved room of a container with data() and capacity().
template <class Container> void adviseHugePagesFor(const Container &container)
{
    adviseHugePages(container.data(),
                    std::size_t(container.capacity()) * sizeof(*container.data()));
}
