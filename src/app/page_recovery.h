#pragma once

#include <chrono>
#include <deque>
#include <string_view>

namespace nerix {

// What the window does when its page's content process ends unexpectedly: it loads the page
// again, with the same bridge and script, unless the page has died three times within a
// minute; then it shows a short plain page once and does nothing more, so a page that cannot
// live never loops.
class PageRecovery {
public:
    using Clock = std::chrono::steady_clock;
    enum class Action { Reload, ShowGaveUpPage, Nothing };

    Action pageEnded(Clock::time_point now);

private:
    std::deque<Clock::time_point> recent_;
    bool gaveUp_ = false;
};

inline constexpr std::string_view kGaveUpPage =
    "<h1>The page stopped working.</h1>"
    "<p>Its content process ended three times within a minute, so Vantorel does not load it again. "
    "Restart Vantorel to try once more.</p>";

}  // namespace nerix
