// What the window does when its page's content process ends, given when each end came.
#include <gtest/gtest.h>

#include "app/page_recovery.h"

namespace nerix {
namespace {

using Action = PageRecovery::Action;
using std::chrono::seconds;

TEST(PageRecovery, ReloadsUntilThreeEndsWithinAMinuteThenGivesUpForGood) {
    const struct {
        std::vector<int> at;  // seconds since the first end
        std::vector<Action> expected;
    } cases[] = {
        {{0, 1, 2, 3}, {Action::Reload, Action::Reload, Action::ShowGaveUpPage, Action::Nothing}},
        // Ends a minute apart or more are forgotten.
        {{0, 30, 60, 90, 120, 121}, {Action::Reload, Action::Reload, Action::Reload, Action::Reload, Action::Reload,
                                     Action::ShowGaveUpPage}},
        {{0, 59, 200, 201, 202}, {Action::Reload, Action::Reload, Action::Reload, Action::Reload,
                                  Action::ShowGaveUpPage}},
    };
    for (const auto& c : cases) {
        PageRecovery recovery;
        const auto start = PageRecovery::Clock::now();
        std::vector<Action> actions;
        for (int at : c.at) actions.push_back(recovery.pageEnded(start + seconds(at)));
        EXPECT_EQ(actions, c.expected) << "first case end at " << c.at.front();
    }
}

}  // namespace
}  // namespace nerix
