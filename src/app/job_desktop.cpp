#include "app/job_desktop.h"

#include <filesystem>

namespace nerix {

namespace {
// "Compose" for "/compose".
std::string jobName(const std::string& endpoint) {
    std::string name = endpoint.starts_with('/') ? endpoint.substr(1) : endpoint;
    if (name.empty()) return "Job";
    if (name[0] >= 'a' && name[0] <= 'z') name[0] = static_cast<char>(name[0] - 'a' + 'A');
    return name;
}
// The demo tool chain's verify ends with 1 when the file carries no mark of the seed.
constexpr int kVerifyFoundNoMark = 1;
}  // namespace

std::string jobNoticeTitle(const JobEvent& ended) {
    const std::string name = jobName(ended.endpoint);
    if (ended.outcome == JobEvent::Outcome::Succeeded) {
        if (ended.endpoint == "/verify") return "Verify found the mark";
        if (ended.outputPath)
            return name + " finished: " + std::filesystem::path(*ended.outputPath).filename().string();
        return name + " finished";
    }
    if (ended.exitCode == -1) return name + " could not start";
    if (ended.endpoint == "/verify" && ended.exitCode == kVerifyFoundNoMark) return "Verify found no mark";
    return name + " failed, exit code " + std::to_string(ended.exitCode);
}

JobDesktopView JobDesktop::apply(const JobEvent& event, bool windowActive) {
    std::optional<JobNotice> notice;
    switch (event.kind) {
        case JobEvent::Kind::Queued:
        case JobEvent::Kind::Started:
            jobs_[event.id] = event.endpoint.starts_with('/') ? event.endpoint.substr(1) : event.endpoint;
            if (event.kind == JobEvent::Kind::Started) running_ = event.id;
            break;
        case JobEvent::Kind::Ended: {
            jobs_.erase(event.id);
            // The user cancelled it: nothing to tell them.
            if (event.outcome == JobEvent::Outcome::Cancelled || windowActive) break;
            const bool succeeded = event.outcome == JobEvent::Outcome::Succeeded;
            const bool wroteFile = succeeded && event.outputPath && !event.outputPath->empty();
            JobNotice n{"job-" + std::to_string(event.id), jobNoticeTitle(event), {}, {}};
            if (wroteFile) {
                n.body = std::filesystem::path(*event.outputPath).parent_path().string();
                n.showInFiles = *event.outputPath;
            } else {
                n.body = succeeded ? "Vantorel" : "Open Vantorel for the tool's output.";
            }
            if (!succeeded) urgent_ = true;
            notice = std::move(n);
            break;
        }
    }
    JobDesktopView v = view();
    v.notice = std::move(notice);
    return v;
}

std::string JobDesktop::currentJob() const {
    auto running = jobs_.find(running_);
    if (running != jobs_.end()) return running->second;
    return jobs_.empty() ? "job" : jobs_.begin()->second;
}

JobDesktopView JobDesktop::windowActivated() {
    urgent_ = false;
    return view();
}

JobDesktopView JobDesktop::view() const {
    JobDesktopView v;
    v.count = count();
    // "Running master": what the desktop shows as the reason suspend is held off.
    if (!jobs_.empty()) v.inhibit = "Running " + currentJob();
    v.urgent = urgent_;
    return v;
}

}  // namespace nerix
