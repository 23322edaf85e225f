#include "platform/posix/child_process.h"

#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <system_error>

#include <asio/post.hpp>

#include "platform/posix/job_reaper.h"
#include "platform/posix/process.h"

namespace nerix::platform {

namespace {

// How long past the grace a stop waits for the reaper's word before it gives up on it.
constexpr std::chrono::seconds kReaperSlack{2};

}  // namespace

Result<std::shared_ptr<ChildProcess>> ChildProcess::start(const std::shared_ptr<JobReaper>& reaper,
                                                          const std::string& program,
                                                          const std::vector<std::string>& argv,
                                                          const std::string& workingDir,
                                                          const JobLeftovers& leftovers) {
    auto out = makeOutputPipe();
    if (!out) return fail(out.error());
    auto err = makeOutputPipe();
    if (!err) {
        for (int fd : {out->readEnd, out->writeEnd}) ::close(fd);
        return fail(err.error());
    }
    std::shared_ptr<ChildProcess> child;
    try {
        child = std::make_shared<ChildProcess>(reaper->context(), reaper, out->readEnd, err->readEnd);
    } catch (const std::exception&) {  // the descriptors could not be watched, or no memory
        for (int fd : {out->readEnd, out->writeEnd, err->readEnd, err->writeEnd}) ::close(fd);
        return fail("the tool's output pipes: " + std::system_category().message(ENOMEM), ENOMEM);
    }
    auto pid = reaper->start(
        program, argv, workingDir, out->writeEnd, err->writeEnd,
        [weak = std::weak_ptr<ChildProcess>(child)](int status) {
            if (auto self = weak.lock()) self->ended(status);
        },
        leftovers);
    // Only the tool may hold the write ends now, so end of file means the tool (and whatever it
    // left running with them) has closed them.
    ::close(out->writeEnd);
    ::close(err->writeEnd);
    if (!pid) {
        child->reaped_ = true;  // nothing to stop
        return fail(pid.error());
    }
    child->pid_ = *pid;
    return child;
}

ChildProcess::ChildProcess(asio::io_context& context, std::weak_ptr<JobReaper> reaper, int outFd, int errFd)
    : context_(context),
      reaper_(std::move(reaper)),
      pipes_{asio::posix::stream_descriptor(context, outFd), asio::posix::stream_descriptor(context, errFd)} {}

ChildProcess::~ChildProcess() {
    // Never leave a tool running, whatever the owner forgot.
    if (auto reaper = reaper_.lock(); reaper && !reaped_) reaper->stop(pid_, std::chrono::milliseconds(0));
}

void ChildProcess::watch(std::size_t readSize, OutputHandler onOutput, ExitHandler onExit) {
    readSize_ = readSize;
    buffer_ = std::make_unique_for_overwrite<char[]>(readSize);
    onOutput_ = std::move(onOutput);
    onExit_ = std::move(onExit);
    schedule(Out);
    schedule(Err);
}

void ChildProcess::pause() { paused_ = true; }

void ChildProcess::resume() {
    if (!paused_) return;
    paused_ = false;
    schedule(Out);
    schedule(Err);
}

void ChildProcess::schedule(int stream) {
    if (busy_[stream] || !pipes_[stream].is_open()) return;
    busy_[stream] = true;
    asio::post(context_, [self = shared_from_this(), stream] {
        self->busy_[stream] = false;
        self->readSome(stream);
    });
}

// One read per turn of the queue, so that other work is served between pieces of a large output.
void ChildProcess::readSome(int stream) {
    if (paused_ || !pipes_[stream].is_open()) return;
    ssize_t n = ::read(pipes_[stream].native_handle(), buffer_.get(), readSize_);
    if (n > 0) {
        onOutput_(static_cast<Stream>(stream), std::string_view(buffer_.get(), static_cast<std::size_t>(n)));
        schedule(stream);
        return;
    }
    if (n < 0 && errno == EINTR) {
        schedule(stream);
        return;
    }
    if (n < 0 && errno == EAGAIN) {
        busy_[stream] = true;
        pipes_[stream].async_wait(asio::posix::stream_descriptor::wait_read,
                                  [self = shared_from_this(), stream](std::error_code ec) {
                                      self->busy_[stream] = false;
                                      if (!ec) self->readSome(stream);
                                  });
        return;
    }
    closePipe(stream);  // end of file, or a read error that will not go away
    finishIfDone();
}

void ChildProcess::closePipe(int stream) {
    std::error_code ignored;
    pipes_[stream].close(ignored);
}

void ChildProcess::ended(int status) {
    reaped_ = true;
    status_ = status;
    finishIfDone();
}

void ChildProcess::finishIfDone() {
    if (!reaped_ || pipes_[Out].is_open() || pipes_[Err].is_open() || !onExit_) return;
    // Called from the queue, never from the owner's own call: it may let go of this object.
    auto onExit = std::move(onExit_);
    onExit_ = nullptr;
    onOutput_ = nullptr;
    onExit(status_);
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (stopped_) return;
    stopped_ = true;
    if (auto reaper = reaper_.lock(); reaper && !reaped_) reaper->stop(pid_, grace);
    closePipe(Out);
    closePipe(Err);
    // The end may already have been seen; the report must still come from the queue.
    asio::post(context_, [self = shared_from_this()] { self->finishIfDone(); });
}

void ChildProcess::stopAndWait(std::chrono::milliseconds grace) {
    closePipe(Out);
    closePipe(Err);
    onExit_ = nullptr;
    onOutput_ = nullptr;
    if (reaped_) return;
    auto reaper = reaper_.lock();
    Result<int> status = fail("no reaper");
    if (reaper) {
        reaper->stop(pid_, grace);
        status = reaper->waitForEnd(pid_, grace + kReaperSlack);
    }
    // A reaper that does not answer: at least the tool's own group goes now.
    if (!status) ::kill(-pid_, SIGKILL);
    status_ = status ? *status : -1;
    reaped_ = true;
}

}  // namespace nerix::platform
