#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace audiodevice {

// The sound server did not answer in time: frozen, or stuck on a device.
class NoAnswer : public std::runtime_error
{
public:
    NoAnswer() : std::runtime_error("the sound server does not answer") {}
};

// How long the sound server may take to list its devices or open a stream.
constexpr auto kServerAnswer = std::chrono::seconds(5);

// Asks the sound server on a thread of its own and waits for the answer at
// most `limit`: a frozen server never holds the caller longer. Throws
// NoAnswer then, and whatever `ask` throws. An answer that comes after the
// caller gave up goes to `late`, on the asking thread, to be let go of there.
template <typename T, typename Ask, typename Late>
T askServer(Ask ask, Late late, std::chrono::milliseconds limit = kServerAnswer)
{
    struct State
    {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false, abandoned = false;
        std::optional<T> value;
        std::exception_ptr error;
    };
    auto state = std::make_shared<State>();
    std::thread([state, ask = std::move(ask), late = std::move(late)]() mutable {
        std::optional<T> value;
        std::exception_ptr error;
        try {
            value.emplace(ask());
        } catch (...) {
            error = std::current_exception();
        }
        std::unique_lock<std::mutex> lock(state->mutex);
        if (state->abandoned) {
            lock.unlock();
            if (value)
                late(std::move(*value));
            return;
        }
        state->value = std::move(value);
        state->error = error;
        state->finished = true;
        state->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(state->mutex);
    if (!state->done.wait_for(lock, limit, [&] { return state->finished; })) {
        state->abandoned = true;
        throw NoAnswer();
    }
    if (state->error)
        std::rethrow_exception(state->error);
    return std::move(*state->value);
}

} // namespace audiodevice
