// What the application tells the desktop, without a display: the remembered window (read,
// clamped, broken) and the jobs as the desktop sees them (count, suspend, notifications).
#include <fstream>

#include <gtest/gtest.h>

#include "app/job_desktop.h"
#include "app/window_state.h"
#include "common/scratch.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;

TEST(WindowStatePath, XdgStateHomeWhenAbsoluteElseTheHomeFolder) {
    EXPECT_EQ(windowStatePath("/s", "/h"), "/s/vantorel/state.ini");
    for (const char* unset : {static_cast<const char*>(nullptr), "", "relative"})
        EXPECT_EQ(windowStatePath(unset, "/h"), "/h/.local/state/vantorel/state.ini");
}

// Each row: the file's text, then what is read (nullopt: an error, the defaults are used).
TEST(WindowStateFile, ReadsWhatWasSavedAndRefusesWhatIsBroken) {
    const WindowState saved{1500, 900, true, false, 1.25};
    const std::vector<std::pair<std::string, std::optional<WindowState>>> rows = {
        {windowStateText(saved), saved},
        {"[window]\nwidth=1300\n", WindowState{1300, 0, false, false, 1.0}},
        {"[window]\nheight=700\n", WindowState{0, 700, false, false, 1.0}},
        {"", WindowState{}},
        {"width=1300\n", std::nullopt},                   // a key outside any group
        {"[window]\nwidth=wide\n", std::nullopt},         // not a number
        {"[window]\nmaximized=perhaps\n", std::nullopt},  // not a boolean
        {"\xff\xfe[window", std::nullopt},                // not text at all
    };
    for (const auto& [text, expected] : rows) {
        Result<WindowState> read = parseWindowState(text);
        ASSERT_EQ(read.ok(), expected.has_value()) << text;
        if (expected) {
            EXPECT_EQ(*read, *expected) << text;
        }
    }
}

// Minimum 1040 x 680; the monitor 1920 x 1200, or 0 x 0 when not known.
TEST(WindowStateClamp, SizeBetweenTheMinimumAndTheMonitorZoomWithinItsSteps) {
    struct Row {
        WindowState saved;
        int monitorWidth, monitorHeight;
        WindowState expected;
    };
    const Row rows[] = {
        {{1500, 900, false, false, 1.0}, 1920, 1200, {1500, 900, false, false, 1.0}},
        {{4000, 3000, true, false, 1.0}, 1920, 1200, {1920, 1200, true, false, 1.0}},
        {{300, 200, false, true, 1.0}, 1920, 1200, {1040, 680, false, true, 1.0}},
        {{4000, 3000, false, false, 1.0}, 0, 0, {4000, 3000, false, false, 1.0}},
        {{0, 900, false, false, 9.0}, 1920, 1200, {0, 0, false, false, 3.0}},  // never saved whole
        {{1500, 0, false, false, 1.0}, 1920, 1200, {0, 0, false, false, 1.0}},
        {{1500, 900, false, false, 0.01}, 1920, 1200, {1500, 900, false, false, 0.3}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(clampWindowState(row.saved, 1040, 680, row.monitorWidth, row.monitorHeight), row.expected)
            << row.saved.placement.width << "x" << row.saved.placement.height;
}

class WindowStateOnDisk : public test::ScratchTest {};

TEST_F(WindowStateOnDisk, SavedThenLoadedAndABrokenFileLoggedAndIgnored) {
    std::vector<std::string> log;
    auto logLine = [&](std::string_view line) { log.emplace_back(line); };
    const fs::path file = fs::path(root) / "state/vantorel/state.ini";
    EXPECT_EQ(loadWindowState(file, logLine), WindowState{});  // never saved: nothing to say
    saveWindowState(file, {1300, 700, false, true, 1.5}, logLine);
    EXPECT_EQ(loadWindowState(file, logLine), (WindowState{1300, 700, false, true, 1.5}));
    EXPECT_TRUE(log.empty());
    std::ofstream(file) << "[window\n";
    EXPECT_EQ(loadWindowState(file, logLine), WindowState{});
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("window state " + file.string() + ": ", 0), 0u) << log[0];
}

JobEvent event(JobEvent::Kind kind, std::uint64_t id, std::string endpoint,
               JobEvent::Outcome outcome = JobEvent::Outcome::Succeeded, int exitCode = 0,
               std::optional<std::string> output = std::nullopt) {
    return JobEvent{kind, id, std::move(endpoint), outcome, exitCode, std::move(output)};
}

// One sequence of events, each row what the desktop shows after it.
TEST(JobDesktop, CountsRunningAndWaitingJobsHoldsSuspendAndNotifiesUnseenEndsOnly) {
    using K = JobEvent::Kind;
    using O = JobEvent::Outcome;
    struct Row {
        JobEvent event;
        bool windowActive;
        JobDesktopView expected;
    };
    const std::string mid = "/home/u/Music/Nerix/morning.mid";
    const Row rows[] = {
        {event(K::Queued, 1, "/master"), false, {1, "Running master", false, {}}},
        {event(K::Queued, 2, "/compose"), false, {2, "Running master", false, {}}},  // waiting, counted
        {event(K::Started, 1, "/master"), false, {2, "Running master", false, {}}},
        {event(K::Ended, 1, "/master", O::Failed, 3, "/home/u/Music/Nerix/mix.wav"),  // no file to show
         false,
         {1, "Running compose", true,
          JobNotice{"job-1", "Master failed, exit code 3", "Open Vantorel for the tool's output.", {}}}},
        {event(K::Started, 2, "/compose"), false, {1, "Running compose", true, {}}},
        {event(K::Ended, 2, "/compose", O::Succeeded, 0, mid),
         false,
         {0, {}, true, JobNotice{"job-2", "Compose finished: morning.mid", "/home/u/Music/Nerix", mid}}},
        {event(K::Started, 3, "/verify"), false, {1, "Running verify", true, {}}},
        {event(K::Ended, 3, "/verify", O::Failed, 1),
         false,
         {0, {}, true, JobNotice{"job-3", "Verify found no mark", "Open Vantorel for the tool's output.", {}}}},
        // Cancelled by the user: released, nothing to tell.
        {event(K::Started, 4, "/master"), false, {1, "Running master", true, {}}},
        {event(K::Ended, 4, "/master", O::Cancelled, -15), false, {0, {}, true, {}}},
        // Seen in the window: no notice, even for a failure.
        {event(K::Started, 5, "/compose"), true, {1, "Running compose", true, {}}},
        {event(K::Ended, 5, "/compose", O::Failed, -1), true, {0, {}, true, {}}},
    };
    JobDesktop jobs;
    int line = 0;
    for (const Row& row : rows) EXPECT_EQ(jobs.apply(row.event, row.windowActive), row.expected) << "row " << line++;
    EXPECT_EQ(jobs.windowActivated(), (JobDesktopView{0, {}, false, {}}));
}

TEST(JobNoticeTitle, SaysWhichJobAndHowItEnded) {
    using K = JobEvent::Kind;
    using O = JobEvent::Outcome;
    const std::pair<JobEvent, std::string> rows[] = {
        {event(K::Ended, 1, "/master", O::Succeeded, 0, "/o/mix.wav"), "Master finished: mix.wav"},
        {event(K::Ended, 1, "/compose", O::Succeeded, 0), "Compose finished"},
        {event(K::Ended, 1, "/verify", O::Succeeded, 0), "Verify found the mark"},
        {event(K::Ended, 1, "/verify", O::Failed, 2), "Verify failed, exit code 2"},
        {event(K::Ended, 1, "/master", O::Failed, -1), "Master could not start"},
    };
    for (const auto& [ended, title] : rows) EXPECT_EQ(jobNoticeTitle(ended), title);
}

}  // namespace
}  // namespace nerix
