#pragma once

// An open of a serial device that may block for a long time (a Bluetooth port whose partner is
// away holds CreateFile or open() for 10 to 30 s) runs on a worker thread while the caller
// keeps its message loop turning. An open that outlasts its patience is given up: the worker
// closes whatever the open returns when it finally does, so nothing is leaked or left open.

#include <algorithm>
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

// Patience counted in waits of about kTurnMs, none counting for more than two: a machine too
// busy to run the waiting thread for a while must not make a healthy port look dead.
class Patience {
  public:
    explicit Patience(int ms) : leftMs_(ms) {}
    // Counts the time since the last call (or Resume) and says whether the patience is spent.
    bool Spent() {
        const auto now = std::chrono::steady_clock::now();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_);
        leftMs_ -= std::min<long long>(took.count(), 2 * kTurnMs);
        last_ = now;
        return leftMs_ <= 0;
    }
    void Resume() { last_ = std::chrono::steady_clock::now(); }  // time meanwhile does not count

  private:
    long long leftMs_;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

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
    Patience patience(patienceMs);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->done.wait_for(lock, std::chrono::milliseconds(kTurnMs),
                                  [&] { return shared->result.has_value(); });
            if (shared->result) return std::move(shared->result);
            if (patience.Spent()) {
                shared->abandoned = true;
                return std::nullopt;
            }
        }
        if (turn) turn();
        patience.Resume();
    }
}

}  // namespace portopen
