#include "app/page_recovery.h"

namespace nerix {

namespace {
constexpr std::size_t kEndsBeforeGivingUp = 3;
constexpr auto kWithin = std::chrono::minutes(1);
}  // namespace

PageRecovery::Action PageRecovery::pageEnded(Clock::time_point now) {
    if (gaveUp_) return Action::Nothing;
    recent_.push_back(now);
    while (now - recent_.front() >= kWithin) recent_.pop_front();
    if (recent_.size() < kEndsBeforeGivingUp) return Action::Reload;
    gaveUp_ = true;
    return Action::ShowGaveUpPage;
}

}  // namespace nerix
