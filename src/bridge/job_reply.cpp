#include "bridge/job_reply.h"

#include <utility>

#include "http/answer_writer.h"
#include "platform/posix/connection.h"

namespace nerix {
namespace {

constexpr std::string_view kStreamName[2] = {"stdout", "stderr"};

}  // namespace

JobReply::JobReply(std::shared_ptr<platform::Connection> connection, bool live)
    : connection_(std::move(connection)), live_(live) {}

void JobReply::begin() {
    if (live_) connection_->write(platform::onePiece(liveAnswerHead()));
}

void JobReply::output(int stream, std::string_view bytes) {
    if (!live_) {
        plain_[stream].add(bytes);
        return;
    }
    LiveText text = lines_[stream].text(bytes);
    auto chunk = liveOutputChunk(kStreamName[stream], text.first, text.second);
    if (!chunk.empty()) connection_->write(std::move(chunk));
}

void JobReply::end(const JobAnswer& answer) {
    if (live_) {
        std::vector<std::string> rest;
        for (int stream : {kStdout, kStderr}) {
            LiveText text = lines_[stream].finish();
            for (auto& piece : liveOutputChunk(kStreamName[stream], text.first, text.second))
                rest.push_back(std::move(piece));
        }
        rest.push_back(liveLastChunk(answer.status, answer.fields));
        connection_->sendAndClose(std::move(rest), true);
        return;
    }
    std::vector<EscapedOutput> outputs;
    for (int stream : {kStdout, kStderr}) {
        if (stream == kStderr && !answer.withStderr) continue;
        plain_[stream].finish();
        outputs.push_back({kStreamName[stream], plain_[stream].take()});
    }
    connection_->sendAndClose(writeJobAnswer(answer.status, answer.fields, std::move(outputs)), true);
}

void JobReply::refuse(const Response& response) {
    connection_->sendAndClose(platform::onePiece(writeAnswer(response)), true);
}

std::size_t JobReply::backlog() const { return connection_->queued(); }

void JobReply::whenDrained(std::size_t below, std::function<void()> onDrained) {
    connection_->whenDrained(below, std::move(onDrained));
}

}  // namespace nerix
