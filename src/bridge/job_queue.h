#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/io_context.hpp>

#include "bridge/job_event.h"
#include "jobs/cli_command.h"
#include "jobs/job.h"

namespace nerix {

namespace platform {
class Connection;
class JobReaper;
}  // namespace platform

// The jobs beside the bridge: run one at a time, in arrival order, as children watched on the
// bridge's queue, so that the queue keeps answering everything else meanwhile. A requester that
// leaves before its answer cancels its job: a waiting job never runs; a running tool is stopped,
// with everything it started. It tells `events` what becomes of each job. Every call runs on the
// queue thread.
class JobQueue {
public:
    struct Settings {
        CliCommand command;
        std::chrono::milliseconds stopGrace{5000};  // SIGTERM, then SIGKILL this much later
        std::function<void(std::string_view)> log;
        std::function<void(const JobEvent&)> events;    // may be empty
        std::function<void(const std::string&)> wrote;  // a file a job wrote; may be empty
    };

    JobQueue(asio::io_context& context, Settings settings);
    ~JobQueue();
    JobQueue(const JobQueue&) = delete;
    JobQueue& operator=(const JobQueue&) = delete;

    // Runs `job` for the request on `connection` once the jobs before it have ended, and answers
    // it there: with the whole answer, or `live`, line by line as the tool writes.
    void add(const std::shared_ptr<platform::Connection>& connection, JobPointer job, bool live, std::string endpoint);

    // The owner's end: waiting jobs are dropped and the running tool stopped as for a requester
    // that left, waiting here (at most the grace) until it is reaped.
    void shutdown();

private:
    struct Ticket;
    void startNext();
    bool start(const std::shared_ptr<Ticket>& ticket);
    void output(const std::shared_ptr<Ticket>& ticket, int stream, std::string_view bytes);
    void ended(const std::shared_ptr<Ticket>& ticket, int exitCode);
    void cancel(const std::shared_ptr<Ticket>& ticket);
    void tell(const Ticket& ticket, JobEvent::Kind kind, JobEvent::Outcome outcome = JobEvent::Outcome::Succeeded,
              int exitCode = -1, std::optional<std::string> outputPath = std::nullopt);

    Settings settings_;
    std::deque<std::shared_ptr<Ticket>> waiting_;
    std::shared_ptr<Ticket> running_;
    std::uint64_t lastId_ = 0;
    std::shared_ptr<platform::JobReaper> reaper_;  // every tool runs under it
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace nerix
