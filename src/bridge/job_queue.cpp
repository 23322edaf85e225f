#include "bridge/job_queue.h"

#include <utility>

#include "bridge/job_output.h"
#include "bridge/wire_response.h"
#include "http/json_writer.h"
#include "platform/posix/child_process.h"
#include "platform/posix/job_reaper.h"
#include "platform/posix/loopback_listener.h"

namespace nerix {
namespace {

using platform::ChildProcess;

// The most one read of the tool's output takes (a live line holds at most one read).
constexpr std::size_t kRead = 256 * 1024;
// A live answer stops reading the tool while this much waits for a slow reader, and goes on
// once it is down to the lower mark: the tool then waits on its full pipe, not our memory.
constexpr std::size_t kHighWater = 4 * 1024 * 1024;
constexpr std::size_t kLowWater = 1024 * 1024;

}  // namespace

struct JobQueue::Ticket {
    enum class State { Waiting, Running, Stopping, Done };

    std::shared_ptr<platform::Connection> connection;
    Job job;
    bool live = false;
    std::string endpoint;
    State state = State::Waiting;
    std::shared_ptr<ChildProcess> child;
    EscapedStream plain[2];
    LiveStream lines[2]{LiveStream("stdout"), LiveStream("stderr")};
};

JobQueue::JobQueue(asio::io_context& context, Settings settings)
    : context_(context),
      settings_(std::move(settings)),
      reaper_(std::make_shared<platform::JobReaper>(context, settings_.stopGrace)) {}

JobQueue::~JobQueue() { *alive_ = false; }

void JobQueue::add(std::shared_ptr<platform::Connection> connection, Job job, bool live, std::string endpoint) {
    auto ticket = std::make_shared<Ticket>();
    ticket->connection = std::move(connection);
    ticket->job = std::move(job);
    ticket->live = live;
    ticket->endpoint = std::move(endpoint);
    waiting_.push_back(ticket);
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
    auto& connection = *ticket->connection;
    // Compose's files are made now, in arrival order; a failure is a plain answer, live or not.
    if (auto refusal = prepareJob(ticket->job)) {
        finishJob(ticket->job);
        ticket->state = Ticket::State::Done;
        WireResponse wire = frameResponse(*refusal);
        connection.sendAndClose(std::move(wire.head), std::move(wire.body), true);
        return false;
    }
    std::vector<std::string> argv = toolArgv(settings_.command, ticket->job.args);
    auto child = ChildProcess::start(reaper_, argv.front(), argv, settings_.command.repoRoot);
    if (ticket->live) connection.write(liveResponseHead());
    if (!child) {
        settings_.log("NerixBridge could not start the tool for " + ticket->endpoint + ": " + child.error().message);
        // Answered as a run of the tool that ended with -1 and the reason on standard error.
        output(ticket, ChildProcess::Err, spawnFailure(child.error()));
        ended(ticket, -1);
        return false;
    }
    ticket->child = std::move(*child);
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
    if (!ticket->live) {
        ticket->plain[stream].add(bytes);
        return;
    }
    std::string line = ticket->lines[stream].line(bytes);
    if (line.empty()) return;
    auto& connection = *ticket->connection;
    connection.write(chunkHead(line.size()));
    line += "\r\n";
    connection.write(std::move(line));
    // A reader slower than the tool: the tool waits, not our memory.
    if (ticket->child && connection.queued() > kHighWater) {
        ticket->child->pause();
        std::weak_ptr<ChildProcess> child = ticket->child;
        connection.whenDrained(kLowWater, [child] {
            if (auto held = child.lock()) held->resume();
        });
    }
}

// The tool has ended (or could not start) and both its streams are read: the answer goes out.
void JobQueue::ended(const std::shared_ptr<Ticket>& ticket, int exitCode) {
    finishJob(ticket->job);
    ticket->child.reset();
    if (ticket->state != Ticket::State::Running) {  // stopped: its requester has gone
        ticket->state = Ticket::State::Done;
        return;
    }
    ticket->state = Ticket::State::Done;
    auto& connection = *ticket->connection;
    JobAnswer answer = answerJob(ticket->job, exitCode);

    if (ticket->live) {
        for (auto& lines : ticket->lines) {
            std::string rest = lines.finish();
            if (rest.empty()) continue;
            connection.write(chunkHead(rest.size()));
            connection.write(std::move(rest) + "\r\n");
        }
        // The last line: the status first, then every member of the plain answer but the
        // tool's output.
        std::string last = "{\"status\":" + std::to_string(answer.status);
        auto fields = writeJson(answer.fields);
        if (fields && fields->size() > 2)
            last += "," + fields->substr(1);
        else
            last += "}";
        last += "\n";
        connection.write(chunkHead(last.size()));
        connection.write(std::move(last) + "\r\n0\r\n\r\n");
        connection.finish(true);
        return;
    }

    // The plain answer: the members written as one JSON text with the output texts left empty,
    // and the escaped output spliced in where they stand, so it is never copied once more.
    nlohmann::json members = answer.fields;
    if (answer.withStderr) members["stderr"] = "";
    members["stdout"] = "";
    auto text = writeJson(members);
    if (!text) {
        connection.sendAndClose(responseHead(answer.status, 0), std::string(), true);
        return;
    }
    std::vector<std::string> parts(1);
    std::size_t from = 0;
    std::size_t length = 0;
    auto splice = [&](std::string_view key, std::vector<std::string> pieces) {
        const std::string member = "\"" + std::string(key) + "\":\"";
        std::size_t at = text->find(member + "\"", from) + member.size();
        parts.push_back(text->substr(from, at - from));
        for (auto& piece : pieces) parts.push_back(std::move(piece));
        from = at;
    };
    ticket->plain[ChildProcess::Err].finish();
    ticket->plain[ChildProcess::Out].finish();
    if (answer.withStderr) splice("stderr", ticket->plain[ChildProcess::Err].take());
    splice("stdout", ticket->plain[ChildProcess::Out].take());
    parts.push_back(text->substr(from));
    for (std::size_t i = 1; i < parts.size(); ++i) length += parts[i].size();
    parts[0] = responseHead(answer.status, length);
    for (auto& part : parts) connection.write(std::move(part));
    connection.finish(true);
}

void JobQueue::cancel(const std::shared_ptr<Ticket>& ticket) {
    switch (ticket->state) {
        case Ticket::State::Waiting:
            std::erase(waiting_, ticket);
            ticket->state = Ticket::State::Done;
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
    for (auto& ticket : waiting_) ticket->connection->cancel();
    waiting_.clear();
    if (!running_) return;
    if (running_->child) running_->child->stopAndWait(settings_.stopGrace);
    finishJob(running_->job);
    running_->connection->cancel();
    running_.reset();
}

}  // namespace nerix
