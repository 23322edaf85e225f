#include "platform/posix/random.h"

#include <sys/random.h>
#include <cerrno>

namespace nerix::platform {

int secureRandomBytes(void* buffer, std::size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t n = ::getrandom(out, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        out += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace nerix::platform
