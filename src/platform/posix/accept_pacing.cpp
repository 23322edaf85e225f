#include "platform/posix/accept_pacing.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <algorithm>

namespace nerix::platform {
namespace {

// At most this many wake-ups in a row take one connection without looking for another.
constexpr int kMaxWakesWithoutLook = 8;
// Wake-ups in a row that each find one connection before connections are accepted early again.
constexpr int kAloneBeforeEarlyAccept = 64;

}  // namespace

bool AcceptPacing::lookForAnother() {
    if (skipLooks_ > 0) {
        --skipLooks_;
        return false;
    }
    wakesWithoutLook_ = std::min(kMaxWakesWithoutLook, std::max(1, wakesWithoutLook_ * 2));
    skipLooks_ = wakesWithoutLook_;
    return true;
}

void AcceptPacing::wakeUpTook(int listener, int taken) {
    if (taken >= 2) {  // peers arrive together: take them in batches, once their bytes are in
        wakesWithoutLook_ = skipLooks_ = 0;
        aloneInARow_ = 0;
        deferAccepts(listener, true);
    } else if (taken == 1 && deferring_ && ++aloneInARow_ >= kAloneBeforeEarlyAccept) {
        deferAccepts(listener, false);
    }
}

void AcceptPacing::deferAccepts(int listener, bool defer) {
    if (deferring_ == defer) return;
    int seconds = defer ? 1 : 0;
    if (::setsockopt(listener, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds) == 0) deferring_ = defer;
    aloneInARow_ = 0;
}

}  // namespace nerix::platform
