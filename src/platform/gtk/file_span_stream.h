#pragma once

#include <cstdint>

#include <gio/gio.h>

namespace nerix::platform {

// A stream of `length` bytes of an open file from `offset`, read with pread as the reader asks:
// a file's answer is never held in memory whole, and a range answer ends where its range does.
// Takes the descriptor and closes it with the stream.
GInputStream* newFileSpanStream(int fd, std::uint64_t offset, std::uint64_t length);

}  // namespace nerix::platform
