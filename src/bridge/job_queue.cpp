#include "bridge/job_queue.h"

#include <utility>

#include "bridge/job_reply.h"
#include "platform/posix/child_process.h"
#include "platform/posix/connection.h"
#include "platform/posix/job_reaper.h"

namespace nerix {
namespace {

using platform::ChildProcess;

// The most one read of the tool's output takes (a live line holds at most one read).
constexpr std::size_t kRead = 256 * 1024;
// A live answer stops reading the tool while this much waits for a slow reader, and goes on
// once it is down to the lower mark: the tool then waits on its full pipe, not our memory.
constexpr std::size_t kHighWater = 4 * 1024 * 1024;
constexpr std::size_t kLowWater = 1024 * 1024;

static_assert(JobReply::kStdout == ChildProcess::Out && JobReply::kStderr == ChildProcess::Err);

// The standard error of a job whose tool could not start.
std::string spawnFailure(const Error& error) { return "spawn failed: " + error.message; }

}  // namespace

struct JobQueue::Ticket {
    enum class State { Waiting, Running, Stopping, Done };

    Ticket(const std::shared_ptr<platform::Connection>& peer, bool live) : connection(peer), reply(peer, live) {}

    std::uint64_t id = 0;
    std::shared_ptr<platform::Connection> connection;
    JobReply reply;
    JobPointer job;
    std::string endpoint;
    State state = State::Waiting;
    std::shared_ptr<ChildProcess> child;
};

JobQueue::JobQueue(asio::io_context& context, Settings settings)
    : settings_(std::move(settings)), reaper_(std::make_shared<platform::JobReaper>(context, settings_.stopGrace)) {}

JobQueue::~JobQueue() { *alive_ = false; }

void JobQueue::add(const std::shared_ptr<platform::Connection>& connection, JobPointer job, bool live,
                   std::string endpoint) {
    auto ticket = std::make_shared<Ticket>(connection, live);
    ticket->id = ++lastId_;
    ticket->job = std::move(job);
    ticket->endpoint = std::move(endpoint);
    waiting_.push_back(ticket);
    tell(*ticket, JobEvent::Kind::Queued);
    std::weak_ptr<Ticket> weak = ticket;
    ticket->connection->watchForClose([this, weak, alive = std::weak_ptr<bool>(alive_)] {
        auto held = weak.lock();
        if (held && !alive.expired()) cancel(held);
    });
    startNext();
}

void JobQueue::startNext() {
    while (!running_ && !waiting_.empty()) {
        auto ticket = std::move(waiting_.front());
        waiting_.pop_front();
        if (start(ticket)) running_ = std::move(ticket);
    }
}

// Starts the ticket's tool; false when the ticket was answered at once instead.
bool JobQueue::start(const std::shared_ptr<Ticket>& ticket) {
    ticket->state = Ticket::State::Running;
    // Compose's files are made now, in arrival order; a failure is a plain answer, live or not.
    if (auto prepared = ticket->job->prepare(settings_.log); !prepared) {
        ticket->job->finish(false);
        ticket->state = Ticket::State::Done;
        ticket->reply.refuse(errorResponse(500, prepared.error().message));
        tell(*ticket, JobEvent::Kind::Ended, JobEvent::Outcome::Failed);
        return false;
    }
    std::vector<std::string> argv = toolArgv(settings_.command, ticket->job->arguments());
    auto child = ChildProcess::start(reaper_, argv.front(), argv, settings_.command.repoRoot, ticket->job->leftovers());
    ticket->reply.begin();
    if (!child) {
        settings_.log("NerixBridge could not start the tool for " + ticket->endpoint + ": " + child.error().message);
        // Answered as a run of the tool that ended with -1 and the reason on standard error.
        output(ticket, ChildProcess::Err, spawnFailure(child.error()));
        ended(ticket, -1);
        return false;
    }
    ticket->child = std::move(*child);
    tell(*ticket, JobEvent::Kind::Started);
    std::weak_ptr<Ticket> weak = ticket;
    std::weak_ptr<bool> alive = alive_;
    ticket->child->watch(
        kRead,
        [this, weak, alive](ChildProcess::Stream stream, std::string_view bytes) {
            auto held = weak.lock();
            if (held && !alive.expired()) output(held, stream, bytes);
        },
        [this, weak, alive](int status) {
            auto held = weak.lock();
            if (!held || alive.expired()) return;
            ended(held, status);
            running_.reset();
            startNext();
        });
    return true;
}

void JobQueue::output(const std::shared_ptr<Ticket>& ticket, int stream, std::string_view bytes) {
    auto& reply = ticket->reply;
    reply.output(stream, bytes);
    // A reader slower than the tool: the tool waits, not our memory.
    if (ticket->child && reply.backlog() > kHighWater) {
        ticket->child->pause();
        std::weak_ptr<ChildProcess> child = ticket->child;
        reply.whenDrained(kLowWater, [child] {
            if (auto held = child.lock()) held->resume();
        });
    }
}

// The tool has ended (or could not start) and both its streams are read: the answer goes out.
void JobQueue::ended(const std::shared_ptr<Ticket>& ticket, int exitCode) {
    const bool cancelled = ticket->state != Ticket::State::Running;  // its requester has gone
    // A cancelled run never replaces the file that was there, whatever the tool said.
    ticket->job->finish(exitCode == 0 && !cancelled);
    ticket->child.reset();
    ticket->state = Ticket::State::Done;
    if (cancelled) {
        tell(*ticket, JobEvent::Kind::Ended, JobEvent::Outcome::Cancelled, exitCode);
        return;
    }
    JobAnswer answer = ticket->job->answer(exitCode);
    ticket->reply.end(answer);
    if (exitCode == 0) {
        auto written = ticket->job->writtenFile(settings_.command.repoRoot);
        if (written && settings_.wrote) settings_.wrote(*written);
        tell(*ticket, JobEvent::Kind::Ended, JobEvent::Outcome::Succeeded, exitCode, std::move(written));
    } else
        tell(*ticket, JobEvent::Kind::Ended, JobEvent::Outcome::Failed, exitCode);
}

void JobQueue::cancel(const std::shared_ptr<Ticket>& ticket) {
    switch (ticket->state) {
        case Ticket::State::Waiting:
            std::erase(waiting_, ticket);
            ticket->state = Ticket::State::Done;
            tell(*ticket, JobEvent::Kind::Ended, JobEvent::Outcome::Cancelled);
            break;
        case Ticket::State::Running:
            ticket->state = Ticket::State::Stopping;
            ticket->child->stop(settings_.stopGrace);
            break;
        default: return;
    }
    settings_.log("NerixBridge cancelled " + ticket->endpoint + ": the requester left");
}

void JobQueue::shutdown() {
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& ticket : waiting) {
        ticket->connection->cancel();
        ticket->state = Ticket::State::Done;
        tell(*ticket, JobEvent::Kind::Ended, JobEvent::Outcome::Cancelled);
    }
    if (!running_) return;
    auto running = std::move(running_);
    running_.reset();
    if (running->child) running->child->stopAndWait(settings_.stopGrace);
    running->job->finish(false);
    running->connection->cancel();
    if (running->state != Ticket::State::Done) {
        running->state = Ticket::State::Done;
        tell(*running, JobEvent::Kind::Ended, JobEvent::Outcome::Cancelled);
    }
}

// What becomes of a job, for the host.
void JobQueue::tell(const Ticket& ticket, JobEvent::Kind kind, JobEvent::Outcome outcome, int exitCode,
                    std::optional<std::string> outputPath) {
    if (!settings_.events) return;
    JobEvent event;
    event.kind = kind;
    event.id = ticket.id;
    event.endpoint = ticket.endpoint;
    event.outcome = outcome;
    event.exitCode = exitCode;
    event.outputPath = std::move(outputPath);
    settings_.events(event);
}

}  // namespace nerix
