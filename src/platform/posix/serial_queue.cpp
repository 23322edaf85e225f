#include "platform/posix/serial_queue.h"

namespace nerix::platform {

SerialQueue::SerialQueue() = default;

void SerialQueue::start() {
    if (thread_.joinable()) return;
    // The thread keeps the io_context alive until run() has returned, even when the queue's
    // owner goes away on the queue thread itself.
    thread_ = std::thread([state = state_] { state->context.run(); });
}

SerialQueue::~SerialQueue() { stop(); }

void SerialQueue::stop() {
    state_->work.reset();
    state_->context.stop();
    if (!thread_.joinable()) return;
    if (onQueueThread())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace nerix::platform
