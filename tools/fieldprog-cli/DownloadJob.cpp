#include "DownloadJob.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "CliOptions.h"
#include "Console.h"
#include "ExitCodes.h"
#include "ImageSource.h"
#include "PortSession.h"
#include "clsError.h"
#include "clsFPMemory.h"

namespace {

// Status texts of the downloader, by their English ids.
constexpr int kTextPressButton = 159;
constexpr int kTextNoDevice = 161;
constexpr int kTextDownloadFailed = 162;
constexpr int kTextNoBinary = 163;
constexpr int kTextClearFailed = 170;

using Steady = std::chrono::steady_clock;

// Control characters would break the one-line-per-device layout of the record file.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
    }
    return text;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string Seconds(Steady::duration elapsed) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f",
                  std::chrono::duration<double>(elapsed).count());
    return text;
}

// The production record: one tab-separated line per device, appended with a single write so
// that stations sharing a file do not interleave their lines.
class ProductionLog {
public:
    ~ProductionLog() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Open(const std::string& path, std::string& error) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) error = path + ": " + std::strerror(errno);
        return fd_ >= 0;
    }
    void Record(const std::string& port, const FlashImage& image, const std::string& crc,
                const char* result, std::int32_t errorNumber, const std::string& errorText,
                Steady::duration elapsed) {
        if (fd_ < 0) return;
        const std::string line = UtcNow() + "\t" + OneLine(port) + "\t" + OneLine(image.name) +
                                 "\t" + crc + "\t" + result + "\t" + std::to_string(errorNumber) +
                                 "\t" + OneLine(errorText) + "\t" + Seconds(elapsed) + "\n";
        if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            failed_ = true;
        }
    }
    bool Failed() const { return failed_; }

private:
    int fd_ = -1;
    bool failed_ = false;
};

bool ResolveImage(const CliOptions& options, Console& console, FlashImage& image) {
    std::string error;
    bool loaded = false;
    if (!options.imagePath.empty()) {
        loaded = LoadImageFile(options.imagePath, image, error);
        // A .BIN file carries no language; this program's own record may.
        FlashImage own;
        std::string ignored;
        if (loaded && LoadPayloadImage("", own, ignored) && own.hasLanguage) {
            image.hasLanguage = true;
            image.language = own.language;
        }
    } else if (!options.payloadPath.empty()) {
        loaded = LoadPayloadImage(options.payloadPath, image, error);
    } else {
        loaded = LoadPayloadImage("", image, error);
        if (!loaded) error = "this program carries no binary file: give --image FILE.BIN or --payload DOWNLOADER";
    }
    if (loaded && image.hasLanguage) console.Language(image.language);
    if (!loaded) {
        console.Status(console.Text(kTextNoBinary));
        console.Error(error);
        return false;
    }
    const std::string problem = ImageProblem(image.bytes);
    if (!problem.empty()) {
        console.Status(console.Text(kTextNoBinary));
        console.Error(image.sourcePath + ": " + problem);
        return false;
    }
    const std::string warning = ImageWarning(image.bytes);
    if (!warning.empty()) console.Error("warning: " + image.sourcePath + ": " + warning);
    return true;
}

}  // namespace

int RunDownloadJob(const CliOptions& options, Console& console) {
    FlashImage image;
    if (!ResolveImage(options, console, image)) return exitcode::kBadInput;
    const std::string crc = ImageCrcText(image.bytes);

    ProductionLog log;
    std::string logError;
    if (!options.logPath.empty() && !log.Open(options.logPath, logError)) {
        console.Error(logError);
        return exitcode::kBadInput;
    }

    PortSession session(console);
    if (const int code = session.Open(options); code != exitcode::kOk) return code;
    clsFieldProgrammer& device = session.Device();
    device.Progress = [&console](std::int16_t percent, std::int32_t type) {
        console.Progress(percent, type);
    };

    // Loaded once: every device of the run gets the same bytes.
    if (!image.fromPayload) {
        if (!device.Memory().LoadBinaryFile(image.sourcePath)) {
            console.Status(console.Text(kTextNoBinary));
            console.DeviceError(image.sourcePath + " could not be loaded",
                                device.LastError().Number(), device.LastError().Message());
            return exitcode::kBadInput;
        }
    } else {
        device.Memory().AllFlashBankData(image.bytes);
    }
    console.Status("Image " + image.name + ": " + std::to_string(image.bytes.size()) +
                   " bytes, CRC-16 " + crc + ", port " + session.PortLabel());

    int programmed = 0;
    int lastFailure = exitcode::kOk;
    bool idle = false;  // the last wait ran out with nobody at the line
    for (int deviceNumber = 1; options.endless || deviceNumber <= options.count; ++deviceNumber) {
        if (!idle) console.Status(console.Text(kTextPressButton));
        idle = false;
        const bool answered = session.WaitForButton(options.waitSeconds);
        if (interrupt::Received() != 0) break;
        const auto started = Steady::now();
        const std::string tag = "Device " + std::to_string(deviceNumber);

        // Each failure is reported with the downloader's status text, then the error record.
        auto fail = [&](int textId, const char* result, int code) {
            const std::int32_t number = device.LastError().Number();
            const std::string message = device.LastError().Message();
            console.Status(console.Text(textId));
            console.DeviceError(tag + " failed", number, message);
            log.Record(session.PortLabel(), image, crc, result, number, message,
                       Steady::now() - started);
            lastFailure = code;
        };

        if (!answered) {
            // On an endless run an idle line is no failure: wait again, without a record.
            if (options.endless && !session.PortFailed()) {
                --deviceNumber;
                idle = true;
                continue;
            }
            fail(kTextNoDevice, "NO-DEVICE", exitcode::kNoDevice);
            break;
        }
        if (!device.Memory().ClearFlashMemory()) {
            if (interrupt::Received() != 0) {
                log.Record(session.PortLabel(), image, crc, "INTERRUPTED", 0, "", Steady::now() - started);
                break;
            }
            fail(kTextClearFailed, "CLEAR-FAILED", exitcode::kClearFailed);
            if (options.endless && !session.PortFailed()) continue;
            break;
        }
        if (interrupt::Received() != 0) {
            log.Record(session.PortLabel(), image, crc, "INTERRUPTED", 0, "", Steady::now() - started);
            break;
        }
        if (!device.Memory().DownloadBinaryData()) {
            if (interrupt::Received() != 0) {
                log.Record(session.PortLabel(), image, crc, "INTERRUPTED", 0, "", Steady::now() - started);
                break;
            }
            fail(kTextDownloadFailed, "TRANSFER-FAILED", exitcode::kTransferFailed);
            if (options.endless && !session.PortFailed()) continue;
            break;
        }
        ++programmed;
        lastFailure = exitcode::kOk;
        log.Record(session.PortLabel(), image, crc, "OK", 0, "", Steady::now() - started);
        console.Result(tag + " programmed: " + image.name + ", " +
                       std::to_string(image.bytes.size()) + " bytes, CRC-16 " + crc + ", " +
                       Seconds(Steady::now() - started) + " s");
        if (interrupt::Received() != 0) break;
    }

    if (log.Failed()) {
        console.Error(options.logPath + ": a production record could not be written");
        if (lastFailure == exitcode::kOk) lastFailure = exitcode::kFault;
    }
    if (interrupt::Received() != 0) {
        console.Status("Interrupted; " + std::to_string(programmed) + " device(s) programmed.");
        return interrupt::ExitCode();
    }
    if (options.count > 1 || options.endless) {
        console.Status(std::to_string(programmed) + " device(s) programmed.");
    }
    return lastFailure;
}
