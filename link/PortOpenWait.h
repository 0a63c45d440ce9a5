#pragma once

// An open of a serial device that may block for a long time (a Bluetooth port whose partner is
// away holds CreateFile or open() for 10 to 30 s) runs on a worker thread while the caller
// keeps its message loop turning. An open that outlasts its patience is given up: the worker
// closes whatever the open returns when it finally does, so nothing is leaked or left open.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace portopen {

constexpr int kTurnMs = 20;  // ms between two turns of the caller's message loop

// `open` runs on the worker and must report its error inside `Result` (error numbers are per
// thread). Empty when `patienceMs` ran out first; `closeLate` then receives the late result.
template <typename Result>
std::optional<Result> RunWithPatience(std::function<Result()> open,
                                      std::function<void(const Result&)> closeLate, int patienceMs,
                                      const std::function<void()>& turn) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> result;
        bool abandoned = false;
    };
    auto shared = std::make_shared<Shared>();
    try {
        std::thread([shared, open = std::move(open), closeLate = std::move(closeLate)] {
            Result result = open();
            std::unique_lock<std::mutex> lock(shared->mutex);
            if (shared->abandoned) {
                lock.unlock();
                closeLate(result);
                return;
            }
            shared->result = std::move(result);
            shared->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt;  // no thread to be had: the port counts as not answering
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patienceMs);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->done.wait_for(lock, std::chrono::milliseconds(kTurnMs),
                                  [&] { return shared->result.has_value(); });
            if (shared->result) return std::move(shared->result);
            if (std::chrono::steady_clock::now() >= deadline) {
                shared->abandoned = true;
                return std::nullopt;
            }
        }
        if (turn) turn();
    }
}

}  // namespace portopen
