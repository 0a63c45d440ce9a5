#pragma once

// The one place where serial ports are opened off the caller's thread. An open can block for a
// long time (a Bluetooth port whose partner is away holds CreateFile or open() for 10 to 30 s),
// so the system's open runs on one of a few worker threads while the caller keeps its message
// loop turning. The service owns those threads and joins them at Shutdown; it keeps at most one
// open of a device under way (a retry joins it), and closes whatever an open brings that no
// caller wants any more, so nothing is leaked and no caller gets a port it gave up on.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// What the system's open gave: its handle (a descriptor, or a Windows HANDLE as a number) or
// the system's error number.
struct OpenedHandle {
    std::intptr_t handle = -1;  // -1: none (also INVALID_HANDLE_VALUE)
    long error = 0;             // when there is no handle; 0: no system error to tell
    bool Valid() const { return handle != -1; }
};

// How one device is opened. Each function runs on a worker and must not reach the port object,
// which may be gone by then.
struct OpenCall {
    std::function<OpenedHandle()> open;
    // Closes a handle that came when nobody wanted it any more, without putting DTR up.
    std::function<void(const OpenedHandle&)> discard;
    // Wakes the open from another thread at shutdown; empty: the platform's way of waking a
    // thread blocked in the system.
    std::function<void()> interrupt;
};

// How the platform wakes the calling thread from a blocked open, from another thread: on
// Windows its synchronous I/O is cancelled, on POSIX a signal ends the wait with EINTR.
std::function<void()> ThisThreadWaker();

class PortOpenService {
  public:
    struct Request;
    using Ticket = std::shared_ptr<Request>;

    PortOpenService() = default;
    ~PortOpenService();
    PortOpenService(const PortOpenService&) = delete;
    PortOpenService& operator=(const PortOpenService&) = delete;

    // The process's service. Each program's main holds an Owner, which shuts it down before
    // main returns.
    static PortOpenService& Instance();
    // The child of a fork gets a service of its own: the workers stayed in the parent.
    static void ForkedChild();
    struct Owner {
        Owner() = default;
        Owner(const Owner&) = delete;
        Owner& operator=(const Owner&) = delete;
        ~Owner() { Instance().Shutdown(); }
    };

    // Asks for `device` to be opened by `call`, or joins the open of it already under way.
    Ticket Start(const std::string& device, OpenCall call);
    // Waits until every ticket has its outcome or is cancelled, or until `patienceMs` is spent,
    // running `turn` (when given) between waits. The patience counts waits of about 20 ms, none
    // for more than two: a machine too busy to run the waiting thread for a while must not make
    // a healthy port look dead, and time spent in `turn` does not count.
    void Await(const std::vector<Ticket>& tickets, int patienceMs,
               const std::function<void()>& turn);
    // The outcome of a ticket that has one. Otherwise the ticket is cancelled and empty returned.
    std::optional<OpenedHandle> Take(const Ticket& ticket);
    // The caller no longer waits: the wait ends at once, and whatever the open brings is closed.
    void Cancel(const Ticket& ticket);
    // Cancels every request, wakes the opens under way and joins the workers. Asked afterwards,
    // an open is cancelled at once.
    void Shutdown();

    int Workers() const;        // threads started (at most kMaxWorkers, kept until Shutdown)
    int OpensUnderWay() const;  // opens queued or running

    static constexpr int kMaxWorkers = 8;  // threads; one per port of an ordinary start-up

  private:
    struct Job;
    struct Worker {
        std::thread thread;
        std::shared_ptr<Job> job;    // the open it runs now
        std::function<void()> wake;  // wakes it from a blocked open
    };
    void Run(Worker* worker);
    void Deliver(const std::shared_ptr<Job>& job, const OpenedHandle& got,
                 std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    std::condition_variable work_;     // a job was queued, or the service stops
    std::condition_variable changed_;  // a request settled
    std::deque<std::shared_ptr<Job>> queue_;
    std::map<std::string, std::shared_ptr<Job>> underWay_;  // by device, queued or running
    std::vector<std::unique_ptr<Worker>> workers_;
    int idle_ = 0;
    bool stopping_ = false;
    bool leftBehind_ = false;  // a fork's copy, whose threads are the parent's
};
