#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "bridge/job_event.h"

namespace nerix {

// A desktop notification for a job that ended: one sentence as its title, a line of detail, and
// the file it wrote, for a "Show in Files" button.
struct JobNotice {
    std::string id;  // one per job: "job-<id>"
    std::string title;
    std::string body;
    std::optional<std::string> showInFiles;

    bool operator==(const JobNotice&) const = default;
};

// What the desktop should show after a job event.
struct JobDesktopView {
    int count = 0;                       // jobs running or waiting: the launcher's count
    std::optional<std::string> inhibit;  // suspend held off, with this reason, while jobs remain
    bool urgent = false;                 // the launcher asks for attention: a job failed unseen
    std::optional<JobNotice> notice;     // at most one, for a job that ended unseen

    bool operator==(const JobDesktopView&) const = default;
};

// The jobs as the desktop sees them, apart from any display: which run or wait, what to
// tell the desktop when one ends. Fed the bridge's events in their order, on one thread.
class JobDesktop {
public:
    // `windowActive`: the window is the one the user works in, so an ending needs no notice.
    JobDesktopView apply(const JobEvent& event, bool windowActive);

    // The window became active: the user has seen what failed.
    JobDesktopView windowActivated();

    int count() const { return static_cast<int>(jobs_.size()); }
    // The job that runs, or else the first that waits, as its endpoint names it: "master".
    std::string currentJob() const;

private:
    JobDesktopView view() const;

    std::map<std::uint64_t, std::string> jobs_;  // running or waiting, by id: the endpoint's name
    std::uint64_t running_ = 0;
    bool urgent_ = false;
};

// "Compose finished: morning.mid", "Master failed, exit code 3", "Verify found no mark".
std::string jobNoticeTitle(const JobEvent& ended);

}  // namespace nerix
