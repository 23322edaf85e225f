#pragma once

#include <cstddef>

namespace nerix::platform {

// Fills `buffer` with `size` bytes from the kernel's cryptographic random source.
// Returns 0 on success, the errno value otherwise.
int secureRandomBytes(void* buffer, std::size_t size);

}  // namespace nerix::platform
