#pragma once
// A thread-safe stream of events with a blocking consumer.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace qor {

/// How a stream ended, as its termination handler learns it.
enum class StreamTermination { finished, cancelled };

/// A stream of `T` events: producers `yield` and finally `finish()` or `finish(error)`; the
/// consumer calls `next()`, which blocks until an event arrives, gives nothing once the stream
/// has finished normally and rethrows the error when it finished with one. Copies share the
/// stream. Any thread may produce; one consumer is expected.
///
/// Every event is delivered, in order, but a waiting consumer is woken at most once per
/// `kWakeInterval` for ordinary events (it also wakes on its own after that long), so a producer
/// that yields tens of thousands of progress events a second does not pay a thread switch for
/// each. The end of the stream always wakes the consumer at once.
template <class T>
class AsyncStream {
public:
    static constexpr std::chrono::milliseconds kWakeInterval{5};

    /// The shared state of a stream and its continuations.
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<T> events;
        bool done = false;
        std::exception_ptr error;
        std::function<void(StreamTermination)> onTermination;
        bool consumerWaiting = false;
        std::chrono::steady_clock::time_point lastWake{};

        void end(std::exception_ptr e, StreamTermination how) {
            std::function<void(StreamTermination)> handler;
            {
                std::lock_guard lock(mutex);
                if (done) return;
                done = true;
                error = std::move(e);
                if (how == StreamTermination::cancelled) events.clear();
                handler = std::move(onTermination);
            }
            cv.notify_all();
            if (handler) handler(how);
        }
    };

    AsyncStream() : state_(std::make_shared<State>()) {}

    /// The producer's side.
    class Continuation {
    public:
        explicit Continuation(std::shared_ptr<State> s) : state_(std::move(s)) {}
        void yield(T value) const {
            bool wake = false;
            {
                std::lock_guard lock(state_->mutex);
                if (state_->done) return;
                state_->events.push_back(std::move(value));
                if (state_->consumerWaiting) {
                    auto now = std::chrono::steady_clock::now();
                    if (now - state_->lastWake >= kWakeInterval) {
                        state_->lastWake = now;
                        wake = true;
                    }
                }
            }
            if (wake) state_->cv.notify_all();
        }
        void finish() const { end(nullptr, StreamTermination::finished); }
        void finish(std::exception_ptr error) const { end(std::move(error), StreamTermination::finished); }
        /// Called once when the stream ends, with how it ended.
        void onTermination(std::function<void(StreamTermination)> handler) const {
            std::lock_guard lock(state_->mutex);
            state_->onTermination = std::move(handler);
        }
        [[nodiscard]] bool isTerminated() const {
            std::lock_guard lock(state_->mutex);
            return state_->done;
        }

    private:
        void end(std::exception_ptr error, StreamTermination how) const { state_->end(std::move(error), how); }
        std::shared_ptr<State> state_;
    };

    [[nodiscard]] Continuation continuation() const { return Continuation(state_); }

    /// The next event; nothing when the stream finished normally; throws its error otherwise.
    std::optional<T> next() {
        std::unique_lock lock(state_->mutex);
        while (state_->events.empty() && !state_->done) {
            state_->consumerWaiting = true;
            state_->cv.wait_for(lock, kWakeInterval);
            state_->consumerWaiting = false;
        }
        if (!state_->events.empty()) {
            T value = std::move(state_->events.front());
            state_->events.pop_front();
            return value;
        }
        if (state_->error) std::rethrow_exception(state_->error);
        return std::nullopt;
    }

    /// The consumer gives up: pending and later events are dropped, the handler hears `cancelled`.
    void cancel() { state_->end(nullptr, StreamTermination::cancelled); }

private:
    std::shared_ptr<State> state_;
};

}  // namespace qor
