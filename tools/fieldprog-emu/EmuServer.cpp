#include "EmuServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr EmuMicros kFinishGrace = 500 * kMicrosPerMs;  // lets the last reply drain before exit
constexpr EmuMicros kHangupPause = 20 * kMicrosPerMs;   // nobody on the other end: look again later
constexpr EmuMicros kMaxWait = 1000 * kMicrosPerMs;     // longest single wait of the loop

EmuMicros Now() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Timestamp(EmuMicros sinceStart) {
    char text[32];
    std::snprintf(text, sizeof text, "[%8.3f] ", static_cast<double>(sinceStart) / 1e6);
    return text;
}

bool ReadFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

EmuServer::EmuServer(EmuOptions options) : options_(std::move(options)), pacer_(options_.baud) {}

EmuServer::~EmuServer() {
    RequestStop();
    if (thread_.joinable()) thread_.join();
    CloseLine();
    if (wakeRead_ >= 0) close(wakeRead_);
    if (wakeWrite_ >= 0) close(wakeWrite_);
}

bool EmuServer::Start(std::string& error) {
    if (!options_.expectPath.empty() && !ReadFile(options_.expectPath, expected_)) {
        error = "cannot read " + options_.expectPath;
        return false;
    }
    if (!OpenLine(error)) return false;

    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        CloseLine();
        return false;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];

    const EmuMicros start = Now();
    device_ = std::make_unique<EmuDevice>(options_, start);
    device_->Log = [this, start](const std::string& text) {
        if (options_.log) pendingLogs_.push_back(Timestamp(Now() - start) + text);
    };
    device_->DeviceClosed = [this](EmuDeviceRecord& record) { OnDeviceClosed(record); };
    thread_ = std::thread(&EmuServer::Run, this);
    return true;
}

// A fresh pseudo-terminal, held open from our side, and the symlink to it.
bool EmuServer::OpenLine(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        CloseLine();
        return false;
    }
    char name[256];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        CloseLine();
        return false;
    }
    slavePath_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);

    // Holding the slave open keeps the line alive while the host opens and closes it (it probes
    // ports that way), and keeps our raw settings in place between its opens.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        CloseLine();
        return false;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(slave_, TCSANOW, &tio);

    if (options_.linkPath.empty()) return true;
    struct stat st {};
    if (lstat(options_.linkPath.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = options_.linkPath + " exists and is not a symlink";
            CloseLine();
            return false;
        }
        unlink(options_.linkPath.c_str());
    }
    if (symlink(name, options_.linkPath.c_str()) != 0) {
        error = "cannot create " + options_.linkPath + ": " + std::strerror(errno);
        CloseLine();
        return false;
    }
    linkCreated_ = true;
    return true;
}

std::string EmuServer::SlavePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slavePath_;
}

void EmuServer::RequestPress() {
    pressRequested_.store(true);
    if (wakeWrite_ >= 0) {
        const ssize_t ignored = write(wakeWrite_, "p", 1);
        (void)ignored;
    }
}

void EmuServer::RequestUnplug(int ms) {
    unplugMs_.store(std::max(ms, 0));
    if (wakeWrite_ >= 0) {
        const ssize_t ignored = write(wakeWrite_, "u", 1);
        (void)ignored;
    }
}

void EmuServer::RequestStop() {
    stopRequested_.store(true);
    if (wakeWrite_ >= 0) {
        const ssize_t ignored = write(wakeWrite_, "s", 1);
        (void)ignored;
    }
}

bool EmuServer::WaitStopped(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto done = [this] { return stopped_; };
    if (timeoutMs < 0) {
        changed_.wait(lock, done);
        return true;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

bool EmuServer::WaitDevicesClosed(int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto done = [this, count] { return counters_.devicesClosed >= count || stopped_; };
    if (timeoutMs < 0)
        changed_.wait(lock, done);
    else
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    return counters_.devicesClosed >= count;
}

std::vector<EmuDeviceRecord> EmuServer::Devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_ ? device_->Records() : std::vector<EmuDeviceRecord>{};
}

std::vector<std::uint8_t> EmuServer::FlashBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_ ? device_->Flash().Bytes() : std::vector<std::uint8_t>{};
}

EmuCounters EmuServer::Counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    EmuCounters counters = counters_;
    if (device_) counters.commands = device_->Commands();
    return counters;
}

bool EmuServer::Succeeded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!device_ || replugFailed_) return false;
    int served = 0;
    for (const EmuDeviceRecord& r : device_->Records()) {
        if (r.Verdict() == "FAIL") return false;
        if (!r.expectResult.empty() && r.expectResult != "MATCH") return false;
        if (r.poweredDown) ++served;
    }
    return options_.devices == 0 || served >= options_.devices;
}

// ---------------------------------------------------------------------------------------------
// The loop

void EmuServer::Run() {
    EmuMicros finishAt = kEmuNever;
    for (;;) {
        EmuMicros deadline = kEmuNever;
        bool waitWritable = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const EmuMicros now = Now();
            if (stopRequested_.load()) break;
            const int unplugMs = unplugMs_.exchange(-1);
            if (unplugMs >= 0) Unplug(now, unplugMs);
            if (replugAt_ <= now && !Replug(now)) break;
            if (replugAt_ != kEmuNever) {
                deadline = replugAt_;  // the line is away; a press waits until it is back
            } else {
                if (pressRequested_.exchange(false)) device_->Press(now);
                std::uint8_t byte = 0;
                EmuMicros arrival = 0;
                while (pacer_.TakeInput(now, byte, arrival)) device_->Receive(byte, arrival);
                device_->Tick(now);
                for (EmuOutput& output : device_->TakeOutput()) pacer_.Queue(std::move(output));
                WriteDue(now);
                if (device_->PoweringOff() && pacer_.OutputIdle() && unsent_.empty()) {
                    if (device_->Finished() && !options_.stay) break;
                    Unplug(now, options_.unplugMs);
                    continue;
                }
                if (device_->LineCloseRequested()) {
                    CloseLine();
                    break;
                }
                if (device_->Finished() && !options_.stay) {
                    if (finishAt == kEmuNever) finishAt = now + kFinishGrace;
                    if (now >= finishAt && pacer_.OutputIdle() && unsent_.empty()) break;
                }
                waitWritable = !unsent_.empty();
                // While the terminal is full, what is due waits for room rather than for time.
                deadline = std::min({waitWritable ? kEmuNever : pacer_.NextDeadline(),
                                     device_->NextDeadline(), finishAt});
            }
        }
        Deliver();

        const EmuMicros wait = std::clamp<EmuMicros>(deadline - Now(), 0, kMaxWait);
        const timespec timeout{static_cast<time_t>(wait / 1000000),
                               static_cast<long>(wait % 1000000) * 1000};
        pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (waitWritable ? POLLOUT : 0)), 0},
                         {wakeRead_, POLLIN, 0}};
        if (ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        bool hungUp = (fds[0].revents & (POLLHUP | POLLERR)) != 0;
        if (fds[0].revents & (POLLIN | POLLOUT)) {
            std::lock_guard<std::mutex> lock(mutex_);
            if ((fds[0].revents & POLLIN) && !ReadInput()) hungUp = true;
            if (fds[0].revents & POLLOUT) FlushUnsent();
        }
        if (hungUp) {
            // Nobody holds the other end at the moment; do not spin on the hang-up.
            std::this_thread::sleep_for(std::chrono::microseconds(kHangupPause));
        }
    }

    {
        std::lock_guard<std::mutex> lock(mutex_);
        device_->CloseOpenRecord();
        CloseLine();
        int ok = 0;
        int failed = 0;
        for (const EmuDeviceRecord& r : device_->Records()) {
            const bool mismatch = !r.expectResult.empty() && r.expectResult != "MATCH";
            if (r.Verdict() == "FAIL" || mismatch)
                ++failed;
            else if (r.Verdict() == "OK")
                ++ok;
        }
        pendingResults_.push_back("DONE DEVICES " + std::to_string(device_->Records().size()) +
                                  " OK " + std::to_string(ok) + " FAILED " +
                                  std::to_string(failed));
    }
    Deliver();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

void EmuServer::Deliver() {
    std::vector<std::string> results;
    std::vector<std::string> logs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        results.swap(pendingResults_);
        logs.swap(pendingLogs_);
    }
    for (const std::string& line : logs)
        if (LogLine) LogLine(line);
    for (const std::string& line : results)
        if (ResultLine) ResultLine(line);
}

bool EmuServer::ReadInput() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        if (n <= 0) return false;
        counters_.bytesIn += static_cast<std::uint64_t>(n);
        pacer_.Received(std::string(buffer, static_cast<std::size_t>(n)), Now());
    }
}

void EmuServer::WriteDue(EmuMicros now) {
    FlushUnsent();
    if (!unsent_.empty()) return;  // order matters: what is due waits behind what is stuck
    unsent_ = pacer_.TakeDue(now);
    FlushUnsent();
}

void EmuServer::FlushUnsent() {
    while (!unsent_.empty() && master_ >= 0) {
        const ssize_t n = write(master_, unsent_.data(), unsent_.size());
        if (n > 0) {
            counters_.bytesOut += static_cast<std::uint64_t>(n);
            unsent_.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno != EAGAIN) {
                pendingLogs_.push_back(std::string("write failed: ") + std::strerror(errno));
                unsent_.clear();
            }
            return;
        }
    }
}

void EmuServer::CloseLine() {
    if (linkCreated_) {
        // Only remove the link if it still points at our terminal. It goes first, so that a host
        // that sees the line hang up finds no link to it any more.
        char target[256];
        const ssize_t n = readlink(options_.linkPath.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath_)
            unlink(options_.linkPath.c_str());
        linkCreated_ = false;
    }
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
    slave_ = master_ = -1;
}

// Closing the master hangs up every descriptor the host holds on the slave, as pulling a USB
// adaptor does; what was on its way to the host is lost with the line.
void EmuServer::Unplug(EmuMicros now, int ms) {
    if (replugAt_ == kEmuNever) {
        device_->Unplug();
        pacer_ = EmuPacer(options_.baud);
        unsent_.clear();
        CloseLine();
        pendingResults_.push_back("UNPLUGGED");
    }
    replugAt_ = now + static_cast<EmuMicros>(ms) * kMicrosPerMs;
}

bool EmuServer::Replug(EmuMicros now) {
    replugAt_ = kEmuNever;
    std::string error;
    if (!OpenLine(error)) {
        pendingLogs_.push_back("cannot plug the line in again: " + error);
        replugFailed_ = true;
        return false;
    }
    pendingResults_.push_back("PORT " + slavePath_);
    device_->Plug(now);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Results

void EmuServer::OnDeviceClosed(EmuDeviceRecord& record) {
    ++counters_.devicesClosed;
    if (record.transferStarted) {
        if (!options_.expectPath.empty()) record.expectResult = record.CompareWith(expected_);
        if (!options_.saveImagePath.empty()) SaveImage(record);
    }
    if (!record.failure.empty())
        pendingLogs_.push_back("device " + std::to_string(record.number) + ": " + record.failure);
    pendingResults_.push_back(EmuDeviceLine(record));
    if (!record.expectResult.empty())
        pendingResults_.push_back("DEVICE " + std::to_string(record.number) + " EXPECT " +
                                  record.expectResult);
    changed_.notify_all();
}

void EmuServer::SaveImage(const EmuDeviceRecord& record) {
    std::string path = options_.saveImagePath;
    const std::string number = std::to_string(record.number);
    const std::size_t placeholder = path.find("%d");
    if (placeholder != std::string::npos)
        path.replace(placeholder, 2, number);
    else if (record.number > 1)
        path += "." + number;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(record.image.data()),
              static_cast<std::streamsize>(record.image.size()));
    if (!out) pendingLogs_.push_back("cannot write " + path);
}
