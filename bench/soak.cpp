// Soak run: programs many emulated Field Programmers one after the other through one façade and
// one open port, the way a production bench runs for a whole shift, and reports the host's open
// file descriptors and resident memory as the devices go by. It measures; it does not assert a
// time. Zero failed devices and flat figures are what a healthy build shows.
//
//   fieldprog-soak [--devices N] [--image-kib K] [--json FILE]
//
// The emulator runs in a child process forked from this one (same code, no exec): it keeps every
// device's received image for its verdict, and that would otherwise show up as host memory.
// The host shortens only the sleeps of 300 ms or more (the sleep helper's slices, i.e. the fixed
// pause between EOT and ".Q" and the long waits); the 50 ms polling rounds of the dialogue stay
// real, so the device sees the same cadence as on a bench.

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "EmuServer.h"
#include "clsError.h"
#include "clsFPMemory.h"
#include "clsFieldProgrammer.h"
#include "clsTiming.h"

namespace {

constexpr int kCom = 4;                     // the COM number pointed at the emulator
constexpr std::int16_t kPressLoops = 400;   // polling rounds allowed for the button (20 s)
constexpr std::int64_t kLongSleepMs = 300;  // the sleep helper's slice: a pause, not a poll
constexpr std::int64_t kShortSleepMs = 20;  // what such a slice lasts here
constexpr int kPressGapMs = 100;            // from a device's ".Q" to the next button press

// Real time for everything but the long pauses.
class ShortPauseClock : public Clock {
  public:
    std::int64_t NowMs() override { return real_->NowMs(); }
    void SleepMs(std::int64_t ms) override {
        real_->SleepMs(ms >= kLongSleepMs ? kShortSleepMs : ms);
    }

  private:
    std::shared_ptr<Clock> real_ = SystemClock();
};

struct Sample {
    int device = 0;
    double seconds = 0;
    int fds = 0;
    long rssKb = 0;
    long hwmKb = 0;
    int tempFiles = 0;
};

long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
    return -1;
}

int CountEntries(const std::string& folder, const char* prefix) {
    int count = 0;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            if (prefix == nullptr || std::strncmp(entry->d_name, prefix, std::strlen(prefix)) == 0)
                ++count;
        }
        closedir(dir);
    }
    return count;
}

std::vector<std::uint8_t> FirmwareBin(std::size_t totalBytes) {
    const std::size_t count = totalBytes - 8;
    std::vector<std::uint8_t> bin(6, 0x00);
    bin.push_back(static_cast<std::uint8_t>(count >> 8));
    bin.push_back(static_cast<std::uint8_t>(count & 0xFF));
    std::uint32_t seed = 16;
    for (std::size_t i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        bin.push_back(static_cast<std::uint8_t>(seed >> 16));
    }
    return bin;
}

// The child: one emulated device line serving `devices` presses. Writes its slave path and, at
// the end, its summary ("DONE ..." plus the counts of matched images) to `out`.
int RunEmulator(int devices, const std::string& expectPath, int out) {
    EmuOptions o;
    o.baud = 0;
    o.pageMs = 0;
    o.pressAfterMs = kPressGapMs;
    o.nextDeviceMs = kPressGapMs;
    o.devices = devices;
    o.expectPath = expectPath;
    EmuServer server(o);
    int matched = 0;
    int failed = 0;
    std::string done;
    server.ResultLine = [&](const std::string& line) {
        if (line.find(" EXPECT MATCH") != std::string::npos) ++matched;
        const bool failedDevice = line.rfind("DEVICE", 0) == 0 && line.size() >= 5 &&
                                  line.compare(line.size() - 5, 5, " FAIL") == 0;
        if (failedDevice || line.find("MISMATCH") != std::string::npos) ++failed;
        if (line.rfind("DONE", 0) == 0) done = line;
    };
    std::string error;
    if (!server.Start(error)) {
        dprintf(out, "ERROR %s\n", error.c_str());
        return 1;
    }
    dprintf(out, "PORT %s\n", server.SlavePath().c_str());
    server.WaitStopped(-1);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const EmuCounters counters = server.Counters();
    dprintf(out, "%s MATCHED %d FAILEDLINES %d BYTESIN %llu BYTESOUT %llu MAXRSSKB %ld\n",
            done.c_str(), matched, failed, static_cast<unsigned long long>(counters.bytesIn),
            static_cast<unsigned long long>(counters.bytesOut), usage.ru_maxrss);
    return server.Succeeded() ? 0 : 1;
}

std::string ReadLine(FILE* in) {
    char buffer[512];
    if (std::fgets(buffer, sizeof buffer, in) == nullptr) return {};
    std::string line = buffer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

bool IsSampled(int device, int devices) {
    static const std::set<int> kMarks = {1, 10, 100, 250, 500, 750, 1000};
    return kMarks.count(device) != 0 || device == devices;
}

}  // namespace

int main(int argc, char** argv) {
    int devices = 1000;
    std::size_t imageKib = 16;
    std::string jsonPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--devices")
            devices = std::atoi(argv[i + 1]);
        else if (flag == "--image-kib")
            imageKib = static_cast<std::size_t>(std::atoi(argv[i + 1]));
        else if (flag == "--json")
            jsonPath = argv[i + 1];
    }
    if (devices < 1 || imageKib < 1 || imageKib > 63) {
        std::fprintf(stderr,
                     "usage: fieldprog-soak [--devices N>=1] [--image-kib 1..63] [--json FILE]\n");
        return 2;
    }

    // A private temporary folder: the image lives there, and so do the transfer files, so a
    // leftover one can be counted.
    char folderName[] = "/tmp/fp-soak-XXXXXX";
    if (mkdtemp(folderName) == nullptr) return 1;
    const std::string folder = folderName;
    setenv("TMPDIR", folder.c_str(), 1);
    const std::string binPath = folder + "/SOAK.BIN";
    const auto bin = FirmwareBin(imageKib * 1024);
    std::ofstream(binPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));

    int pipeFds[2];
    if (pipe(pipeFds) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        _exit(RunEmulator(devices, binPath, pipeFds[1]));
    }
    close(pipeFds[1]);
    FILE* fromEmu = fdopen(pipeFds[0], "r");
    const std::string portLine = ReadLine(fromEmu);
    if (portLine.rfind("PORT ", 0) != 0) {
        std::fprintf(stderr, "emulator did not start: %s\n", portLine.c_str());
        return 1;
    }
    setenv(("FIELDPROG_COM" + std::to_string(kCom)).c_str(), portLine.substr(5).c_str(), 1);

    clsTiming::InstallClock(std::make_shared<ShortPauseClock>());
    const auto start = std::chrono::steady_clock::now();
    std::vector<Sample> samples;
    int programmed = 0;
    std::string failure;
    {
        clsFieldProgrammer device;
        if (!device.OpenCommPort(kCom)) failure = "the port did not open";
        if (failure.empty() && !device.Memory().LoadBinaryFile(binPath))
            failure = "image not loaded";
        for (int n = 1; failure.empty() && n <= devices; ++n) {
            if (!device.WaitForFieldProgrammer(kPressLoops))
                failure = "no button";
            else if (!device.Memory().ClearFlashMemory())
                failure = "clear failed";
            else if (!device.Memory().DownloadBinaryData())
                failure = "transfer failed";
            if (!failure.empty()) {
                failure = "device " + std::to_string(n) + ": " + failure + " (error " +
                          std::to_string(device.LastError().Number()) + " " +
                          device.LastError().Message() + ")";
                break;
            }
            ++programmed;
            if (IsSampled(n, devices)) {
                Sample s;
                s.device = n;
                s.seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                s.fds = CountEntries("/proc/self/fd", nullptr) - 1;  // less the listing's own
                s.rssKb = StatusKb("VmRSS:");
                s.hwmKb = StatusKb("VmHWM:");
                s.tempFiles = CountEntries(folder, "ZAP");
                samples.push_back(s);
                std::printf(
                    "device %4d  %8.1f s  fds %3d  RSS %6ld kB  peak %6ld kB  ZAP files %d\n",
                    s.device, s.seconds, s.fds, s.rssKb, s.hwmKb, s.tempFiles);
                std::fflush(stdout);
            }
        }
        device.CloseCommPort();
    }
    clsTiming::InstallClock(nullptr);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    if (!failure.empty()) kill(child, SIGTERM);
    const std::string summary = ReadLine(fromEmu);
    int status = 0;
    waitpid(child, &status, 0);
    fclose(fromEmu);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    const int leftovers = CountEntries(folder, "ZAP");
    unlink(binPath.c_str());
    rmdir(folder.c_str());

    const bool emuOk = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::printf("programmed %d of %d in %.1f s (%.2f s per device), host CPU %.1f s\n", programmed,
                devices, seconds, seconds / devices, cpu);
    std::printf("emulator: %s (exit %s)\n", summary.c_str(),
                emuOk ? "0, every image verified" : "FAILED");
    std::printf("transfer files left: %d\n", leftovers);
    if (!failure.empty()) std::printf("FAILED at %s\n", failure.c_str());
    if (!jsonPath.empty()) {
        std::ofstream json(jsonPath);
        json << "{\"devices\": " << devices << ", \"programmed\": " << programmed
             << ", \"seconds\": " << seconds << ", \"host_cpu_s\": " << cpu
             << ", \"emulator_ok\": " << (emuOk ? "true" : "false") << ", \"emulator\": \""
             << summary << "\", \"transfer_files_left\": " << leftovers << ", \"samples\": [";
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const Sample& s = samples[i];
            json << (i ? ", " : "") << "{\"device\": " << s.device << ", \"seconds\": " << s.seconds
                 << ", \"fds\": " << s.fds << ", \"rss_kb\": " << s.rssKb
                 << ", \"hwm_kb\": " << s.hwmKb << ", \"zap_files\": " << s.tempFiles << "}";
        }
        json << "]}\n";
    }
    return failure.empty() && emuOk && leftovers == 0 ? 0 : 1;
}
