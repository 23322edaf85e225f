#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include "bridge/escaped_stream.h"
#include "bridge/live_stream.h"
#include "http/response.h"
#include "jobs/job.h"

namespace nerix {

namespace platform {
class Connection;
}

// How one job's request is answered on its connection: the plain answer once the tool has
// ended, or the live answer line by line while it runs. Makes no decision about the job; the
// bytes come from the answer writer. Every call runs on the queue thread.
class JobReply {
public:
    // The tool's two output streams, as ChildProcess numbers them.
    static constexpr int kStdout = 0;
    static constexpr int kStderr = 1;

    JobReply(std::shared_ptr<platform::Connection> connection, bool live);

    // The job is about to be answered as a run of its tool: a live answer sends its head.
    void begin();
    // Bytes the tool wrote to one of its streams.
    void output(int stream, std::string_view bytes);
    // The tool has ended (or could not start) and both streams are read: the answer goes out
    // and the connection closes once it is sent.
    void end(const JobAnswer& answer);
    // Answered before the tool ran: this plain answer, live or not.
    void refuse(const Response& response);

    // Bytes waiting for a slow reader, and a call once fewer than `below` wait.
    std::size_t backlog() const;
    void whenDrained(std::size_t below, std::function<void()> onDrained);

private:
    std::shared_ptr<platform::Connection> connection_;
    bool live_;
    EscapedStream plain_[2];
    LiveStream lines_[2];
};

}  // namespace nerix
