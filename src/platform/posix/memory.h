#pragma once

#include <cstddef>

namespace nerix::platform {

// Asks for transparent huge pages over the whole 2 MiB pages inside [start, start + size):
// a buffer of many megabytes that is about to be written then costs a few hundred page faults
// instead of tens of thousands. Only advice: nothing changes when the system declines.
void adviseHugePages(void* start, std::size_t size) noexcept;

}  // namespace nerix::platform
