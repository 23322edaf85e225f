#include "platform/posix/memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace nerix::platform {

void adviseHugePages(void* start, std::size_t size) noexcept {
    constexpr std::uintptr_t kHugePage = 2 * 1024 * 1024;
    if (size < 2 * kHugePage) return;
    auto begin = (reinterpret_cast<std::uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(start) + size) & ~(kHugePage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace nerix::platform
