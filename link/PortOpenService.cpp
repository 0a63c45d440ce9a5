#include "PortOpenService.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

namespace {

constexpr int kTurnMs = 20;  // ms between two turns of the caller's message loop

using Steady = std::chrono::steady_clock;

// Patience counted in waits of about kTurnMs, none counting for more than two.
class Patience {
  public:
    explicit Patience(int ms) : leftMs_(ms) {}
    // Counts the time since the last call (or Resume) and says whether the patience is spent.
    bool Spent() {
        const auto now = Steady::now();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_);
        leftMs_ -= std::min<long long>(took.count(), 2 * kTurnMs);
        last_ = now;
        return leftMs_ <= 0;
    }
    void Resume() { last_ = Steady::now(); }  // time meanwhile does not count

  private:
    long long leftMs_;
    Steady::time_point last_ = Steady::now();
};

// A call that throws is an open that failed; a discard that throws has still done its best.
OpenedHandle RunOpen(const OpenCall& call) {
    try {
        return call.open();
    } catch (...) {
        return OpenedHandle{};
    }
}

void RunDiscard(const OpenCall& call, const OpenedHandle& late) {
    try {
        if (call.discard) call.discard(late);
    } catch (...) {
    }
}

}  // namespace

struct PortOpenService::Request {
    enum class State { Waiting, Done, Taken, Cancelled };
    State state = State::Waiting;
    OpenedHandle outcome;
    OpenCall call;  // for closing an outcome that is never taken
};

struct PortOpenService::Job {
    std::string device;
    OpenCall call;
    std::vector<Ticket> waiters;  // the requests this open answers, first come first
};

namespace {
PortOpenService* forkedService = nullptr;
}

PortOpenService& PortOpenService::Instance() {
    static PortOpenService service;
    return forkedService != nullptr ? *forkedService : service;
}

// Nothing of the parent's is touched: its threads and whatever they held are not here.
void PortOpenService::ForkedChild() {
    Instance().leftBehind_ = true;
    forkedService = new PortOpenService;  // lives as long as the child
}

PortOpenService::~PortOpenService() {
    if (!leftBehind_) {
        Shutdown();
        return;
    }
    for (auto& worker : workers_) static_cast<void>(worker.release());  // not this process's
}

PortOpenService::Ticket PortOpenService::Start(const std::string& device, OpenCall call) {
    auto request = std::make_shared<Request>();
    request->call = call;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
        request->state = Request::State::Cancelled;
        return request;
    }
    const auto under = underWay_.find(device);
    if (under != underWay_.end()) {
        under->second->waiters.push_back(request);
        return request;
    }
    auto job = std::make_shared<Job>();
    job->device = device;
    job->call = std::move(call);
    job->waiters.push_back(request);
    underWay_[device] = job;
    queue_.push_back(job);
    if (idle_ == 0 && workers_.size() < static_cast<std::size_t>(kMaxWorkers)) {
        auto worker = std::make_unique<Worker>();
        try {
            // The worker is handed over itself, not its place in the list: a shutdown may empty
            // the list before the new thread first runs.
            worker->thread = std::thread(&PortOpenService::Run, this, worker.get());
            workers_.push_back(std::move(worker));
        } catch (const std::system_error&) {
            // No thread to be had: the open waits for a worker, or counts as not answering.
        }
    }
    work_.notify_one();
    return request;
}

void PortOpenService::Run(Worker* worker) {
    std::function<void()> wake = ThisThreadWaker();
    std::unique_lock<std::mutex> lock(mutex_);
    Worker& self = *worker;
    self.wake = std::move(wake);
    for (;;) {
        ++idle_;
        work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (stopping_) return;
        std::shared_ptr<Job> job = std::move(queue_.front());
        queue_.pop_front();
        self.job = job;
        lock.unlock();
        const OpenedHandle got = RunOpen(job->call);
        lock.lock();
        self.job.reset();
        Deliver(job, got, lock);
    }
}

// The first caller still waiting gets the handle; an error goes to all of them. Callers beyond
// the first are given an open of their own, which then finds the device taken.
void PortOpenService::Deliver(const std::shared_ptr<Job>& job, const OpenedHandle& got,
                              std::unique_lock<std::mutex>& lock) {
    const auto under = underWay_.find(job->device);
    if (under != underWay_.end() && under->second == job) underWay_.erase(under);
    bool given = false;
    std::vector<Ticket> rest;
    for (const Ticket& request : job->waiters) {
        if (request->state != Request::State::Waiting) continue;
        if (given) {
            rest.push_back(request);
            continue;
        }
        request->outcome = got;
        request->state = Request::State::Done;
        given = got.Valid();
    }
    if (!rest.empty() && !stopping_) {
        auto again = std::make_shared<Job>(*job);
        again->waiters = std::move(rest);
        underWay_[job->device] = again;
        queue_.push_front(again);
        work_.notify_one();
    }
    changed_.notify_all();
    if (got.Valid() && !given) {
        lock.unlock();
        RunDiscard(job->call, got);
        lock.lock();
    }
}

void PortOpenService::Await(const std::vector<Ticket>& tickets, int patienceMs,
                            const std::function<void()>& turn) {
    // A copy: the turn may run a handler that lets go of the turn's owner.
    const std::function<void()> step = turn;
    const auto settled = [&tickets] {
        return std::all_of(tickets.begin(), tickets.end(), [](const Ticket& t) {
            return !t || t->state != Request::State::Waiting;
        });
    };
    Patience patience(patienceMs);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (changed_.wait_for(lock, std::chrono::milliseconds(kTurnMs), settled)) return;
        if (patience.Spent()) return;
        if (!step) continue;
        lock.unlock();
        step();
        lock.lock();
        patience.Resume();
    }
}

std::optional<OpenedHandle> PortOpenService::Take(const Ticket& ticket) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ticket->state == Request::State::Done) {
            ticket->state = Request::State::Taken;
            return ticket->outcome;
        }
    }
    Cancel(ticket);
    return std::nullopt;
}

void PortOpenService::Cancel(const Ticket& ticket) {
    if (!ticket) return;
    std::optional<OpenedHandle> orphan;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ticket->state == Request::State::Done && ticket->outcome.Valid()) {
            orphan = ticket->outcome;
        }
        if (ticket->state != Request::State::Taken) ticket->state = Request::State::Cancelled;
        changed_.notify_all();
    }
    if (orphan) RunDiscard(ticket->call, *orphan);
}

void PortOpenService::Shutdown() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_ && workers_.empty()) return;
    stopping_ = true;
    for (auto& entry : underWay_) {
        for (const Ticket& request : entry.second->waiters) {
            if (request->state == Request::State::Waiting) {
                request->state = Request::State::Cancelled;
            }
        }
    }
    queue_.clear();
    underWay_.clear();
    changed_.notify_all();
    work_.notify_all();
    // An open blocked in the system is woken until it has come out: a worker is joined, never
    // left behind. (A driver that ignores the wake would keep the process in the system at its
    // exit just the same.)
    const auto busy = [this] {
        return std::any_of(workers_.begin(), workers_.end(),
                           [](const std::unique_ptr<Worker>& w) { return w->job != nullptr; });
    };
    while (busy()) {
        for (const auto& worker : workers_) {
            if (!worker->job) continue;
            const std::function<void()> wake =
                worker->job->call.interrupt ? worker->job->call.interrupt : worker->wake;
            if (wake) wake();
        }
        changed_.wait_for(lock, std::chrono::milliseconds(kTurnMs));
    }
    std::vector<std::unique_ptr<Worker>> stopping = std::move(workers_);
    workers_.clear();
    lock.unlock();
    for (const auto& worker : stopping) {
        if (worker->thread.joinable()) worker->thread.join();
    }
}

int PortOpenService::Workers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(workers_.size());
}

int PortOpenService::OpensUnderWay() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(underWay_.size());
}
