#pragma once

#include <memory>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

namespace nerix::platform {

// One io_context run by one thread of its own: every callback posted to it runs there, strictly
// one at a time, so the code it runs takes no locks.
class SerialQueue {
public:
    SerialQueue();
    ~SerialQueue();  // stops the queue if still running

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    asio::io_context& context() { return state_->context; }
    void start();  // starts the thread; callbacks posted before run once it is up
    // Stops the queue: no callback runs once this returns (unless called on the queue thread,
    // where the callback that called it finishes first). The io_context itself stays alive
    // until the queue is destroyed, so objects that use it can be torn down in between.
    void stop();
    bool onQueueThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    bool running() const { return thread_.joinable(); }

private:
    struct State {
        asio::io_context context{1};
        asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;
};

}  // namespace nerix::platform
