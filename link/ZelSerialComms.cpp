#include "ZelSerialComms.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "ErrorNumbers.h"
#include "Percent.h"

namespace {

constexpr int kPollMs = 50;          // one polling round
constexpr int kEchoReads = 11;       // reads allowed for the echo of one character
constexpr int kLineEndPauseMs = 50;  // ms between the CR and the LF of a CR LF line end
constexpr std::int64_t kSilentReplyUnboundedMs = 60000;  // reply silence allowed with no loop limit
constexpr std::int64_t kFlashSilenceMs = 30000;  // a real flash may pause this long between pages
constexpr int kSettleRounds = 20;        // rounds a reply may go on arriving after a line end
constexpr int kTransferWaitRounds = 50;  // rounds for "C" and for each ACK
constexpr int kEotToQuitMs = 5000;       // ms the device needs between EOT and ".Q"
constexpr std::size_t kBlockSize = 128;  // data bytes per block
constexpr int kBlockLineMs = 138;        // ms a block of 133 bytes takes at 9600 baud, 8N1
constexpr int kReopenPatienceMs = 3000;  // ms a replugged USB adaptor may take to come back
constexpr int kReopenRetryMs = 250;      // ms between two tries to open it again

constexpr char kCR = '\r';
constexpr char kLF = '\n';
constexpr char kBackspace = '\b';
constexpr char kSOH = 0x01;
constexpr char kEOT = 0x04;
constexpr char kACK = 0x06;

// How a wait ended.
enum class WaitEnd { Met, OutOfRounds, Stopped, PortFailed };

std::string StripLineEnd(std::string text, bool& cr, bool& lf) {
    if (!text.empty() && text.back() == kLF) {
        text.pop_back();
        lf = true;
    }
    if (!text.empty() && text.back() == kCR) {
        text.pop_back();
        cr = true;
    }
    return text;
}

std::string StripControlChars(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != kCR && c != kLF && c != kBackspace) out += c;
    }
    return out;
}

bool EndsWithLineEnd(const std::string& text) {
    return !text.empty() && (text.back() == kCR || text.back() == kLF);
}

bool EndsWithCrLf(const std::string& text) {
    return text.size() >= 2 && text[text.size() - 2] == kCR && text.back() == kLF;
}

// Puts the receive threshold back to 1 however the block phase ends.
class BlockPhase {
  public:
    explicit BlockPhase(SerialPort& port) : port_(port) { port_.SetRThreshold(0); }
    BlockPhase(const BlockPhase&) = delete;
    BlockPhase& operator=(const BlockPhase&) = delete;
    ~BlockPhase() { End(); }
    void End() {
        if (active_) port_.SetRThreshold(1);
        active_ = false;
    }

  private:
    SerialPort& port_;
    bool active_ = true;
};

}  // namespace

struct ZelSerialComms::Impl {
    explicit Impl(ZelSerialComms& owner) : self(owner) {}

    ZelSerialComms& self;
    clsTiming timing;
    ClsCRC crc;
    bool manualExit = false;
    // The owner closed the port for good (its window is gone): nothing may reach the device
    // any more, so no write opens the port again.
    bool closedForGood = false;
    // What the device said after the greeting's ".V" (its firmware version), line ends removed.
    std::string greetingReply;
    // Set when a wait ended because of ManualExit, so that the reply loops around it stop too.
    bool stopRequested = false;
    std::int32_t recordedPort = 0;
    std::int16_t selectedPort = 1;
    // What the port was last opened as: a device name, or the COM number when empty.
    std::string selectedDevice;
    bool openTried = false;
    // Read, written or waited on since it was opened: a replugged adaptor can leave a handle
    // that looks well and fails only at its next use, so such a port is opened afresh.
    bool used = false;
    PortOpenResult lastOpen;
    std::int32_t progFlagType = 0;

    SerialPort& Port() { return *self.port_; }

    void Yield() { timing.DoEvents(); }
    void Sleep(std::int32_t ms) { timing.SleepFor(ms); }

    std::string ReadInput() {
        if (!Port().IsOpen()) return std::string();
        used = true;
        return Port().ReadAll();
    }

    PortOpenResult OpenSelected() {
        if (closedForGood) {
            lastOpen = PortOpenResult{};
            return lastOpen;
        }
        openTried = true;
        lastOpen =
            selectedDevice.empty() ? Port().Open(selectedPort) : Port().OpenDevice(selectedDevice);
        // A slow open lets the message loop run: the window may have been closed meanwhile.
        if (closedForGood && Port().IsOpen()) {
            Port().Close();
            lastOpen = PortOpenResult{};
        }
        if (lastOpen.Opened()) used = false;
        return lastOpen;
    }

    // Opens the port first when it is closed, as every dialogue write does.
    bool WriteOutput(const std::string& text) {
        Yield();
        if (closedForGood) return false;
        if (!Port().IsOpen()) OpenSelected();
        used = true;
        return Port().Write(text);
    }

    // Bytes still waiting when a command is about to start belong to an exchange that is over
    // (a late reply, a repeated "P"); left there they would be taken for this command's echo.
    void DiscardLeftovers() { ReadInput(); }

    WaitEnd Stop() {
        manualExit = false;
        stopRequested = true;
        return WaitEnd::Stopped;
    }

    WaitEnd WaitForData(std::string& strResponse, int intLoopFor, int intBytes) {
        strResponse.clear();
        int counter = 0;
        for (;;) {
            Sleep(kPollMs);
            strResponse += ReadInput();
            if (intBytes != -1) {
                if (static_cast<long long>(strResponse.size()) >= intBytes) return WaitEnd::Met;
            } else if (EndsWithCrLf(strResponse)) {
                return WaitEnd::Met;
            }
            // A vanished device will not answer; waiting out the rounds would only stall.
            if (Port().Failed()) {
                manualExit = false;
                return WaitEnd::PortFailed;
            }
            if (intLoopFor > 0 && ++counter > intLoopFor) {
                manualExit = false;
                return WaitEnd::OutOfRounds;
            }
            Yield();
            if (manualExit) return Stop();
        }
    }

    // Looks for `toFind` anywhere in what arrives (or for intBytes bytes). Unlike the other
    // waits it may wake as soon as bytes arrive, since nothing it reads is needed by anyone
    // else; its loop count still holds as a time limit of (loop count + 1) rounds.
    WaitEnd WaitForString(const std::string& toFind, int intLoopFor, int intBytes) {
        Clock& clock = clsTiming::CurrentClock();
        const std::int64_t start = clock.NowMs();
        const std::int64_t deadline = start + static_cast<std::int64_t>(intLoopFor + 1) * kPollMs;
        std::string tail;  // only as much as a match across two reads needs
        long long received = 0;
        int counter = 0;
        for (;;) {
            const std::string piece = ReadInput();
            received += static_cast<long long>(piece.size());
            tail += piece;
            if (intBytes != -1) {
                if (received >= intBytes) return WaitEnd::Met;
            } else if (tail.find(toFind) != std::string::npos) {
                return WaitEnd::Met;
            }
            const std::size_t keep = toFind.empty() ? 0 : toFind.size() - 1;
            if (tail.size() > keep) tail.erase(0, tail.size() - keep);
            if (Port().Failed()) {
                manualExit = false;
                return WaitEnd::PortFailed;
            }
            if (intLoopFor > 0 && ++counter > intLoopFor && clock.NowMs() >= deadline) {
                manualExit = false;
                return WaitEnd::OutOfRounds;
            }
            Yield();
            const std::int64_t roundEnd = clock.NowMs() + kPollMs;
            if (!Port().WaitReadable(kPollMs)) {
                // A closed or failed port returns at once; the round still lasts its 50 ms.
                const std::int64_t left = roundEnd - clock.NowMs();
                if (left > 0) Sleep(static_cast<std::int32_t>(left));
            }
            if (manualExit) return Stop();
        }
    }

    // Sends `strData` one character at a time, each checked against its echo.
    std::string SendEchoedString(const std::string& strData, int intDelayBetweenChars,
                                 int intRequiredBytes) {
        std::string echo;
        for (char c : strData) {
            // A write that fails cannot be echoed; give up now instead of reading in vain.
            if (!WriteOutput(std::string(1, c))) return std::string();
            bool echoed = false;
            for (int attempt = 0; attempt < kEchoReads && !echoed; ++attempt) {
                const std::string piece = ReadInput();
                if (piece.empty()) {
                    Sleep(intDelayBetweenChars);
                    continue;
                }
                if (piece[0] != c) return std::string();
                echo += piece;
                echoed = true;
            }
            if (!echoed) return std::string();
        }
        if (intRequiredBytes != -1) {
            std::string more;
            WaitForData(more, kPollMs, intRequiredBytes - static_cast<int>(echo.size()));
            echo += more;
        }
        return echo;
    }

    // EOT and ".Q" end the download, and only a wrong answer to them is a failure: for ".Q"
    // an answer without the echo means the command changed on the line (a "C" for the "Q"
    // erases the device). The echo (or a byte of `alsoFine`) anywhere in what comes within the
    // echo reads, silence, or a line that closes or hangs up once the first character went out
    // (a device powering down) are no failure; a first character that cannot be written is.
    bool AnsweredAs(const std::string& text, const std::string& alsoFine) {
        for (const char c : text) {
            if (!WriteOutput(std::string(1, c))) return c != text[0];
            std::string heard;
            const auto fine = [&] {
                return heard.find(c) != std::string::npos ||
                       heard.find_first_of(alsoFine) != std::string::npos;
            };
            for (int attempt = 0; attempt < kEchoReads && !fine() && !Port().Failed(); ++attempt) {
                if (attempt > 0) Sleep(kPollMs);
                heard += ReadInput();
            }
            if (!heard.empty() && !fine()) return false;
            if (heard.empty()) return true;  // silent, or gone: nothing says it went wrong
        }
        return true;
    }

    // The command with its echo check, the line end and the "y/n" answer. False when the
    // echo did not come back or the port failed.
    bool SendCommandHead(const std::string& strCommand, int intLoopFor, std::string& echo) {
        manualExit = false;
        stopRequested = false;
        bool cr = false;
        bool lf = false;
        const std::string work = StripLineEnd(strCommand, cr, lf);
        DiscardLeftovers();
        echo = SendEchoedString(work, intLoopFor, -1);
        if (echo.compare(0, work.size(), work) != 0) return false;
        bool written = true;
        if (cr && lf) {
            written = WriteOutput(std::string(1, kCR));
            Sleep(kLineEndPauseMs);
            written = WriteOutput(std::string(1, kLF)) && written;
        } else if (cr) {
            written = WriteOutput(std::string(1, kCR));
        } else if (lf) {
            written = WriteOutput(std::string(1, kLF));
        }
        if (!written) return false;
        if (echo.find("y/n") != std::string::npos) SendEchoedString("Y", kPollMs, -1);
        return !Port().Failed();
    }

    static bool ReplyComplete(std::string& echo) {
        bool cr = false;
        bool lf = false;
        echo = StripLineEnd(echo, cr, lf);
        return cr || lf;
    }

    static std::string ReplyPart(const std::string& echo, const std::string& strCommand) {
        // The reply starts at the position of the command's last character, so a command
        // without a line end keeps the last character of its echo in front of the reply.
        const std::size_t from = strCommand.empty() ? 0 : strCommand.size() - 1;
        bool cr = false;
        bool lf = false;
        return from < echo.size() ? StripLineEnd(echo.substr(from), cr, lf) : std::string();
    }

    // Bounds a reply loop by the time in which nothing arrived: a device that has fallen
    // silent after the echo ends the command after about two of the caller's waits, while one
    // that keeps reporting progress (a long flash clear) may take as long as it needs.
    class Silence {
      public:
        explicit Silence(int intLoopFor, std::int64_t atLeastMs = 0)
            : limitMs_(
                  std::max(atLeastMs, intLoopFor > 0
                                          ? 2 * static_cast<std::int64_t>(intLoopFor + 1) * kPollMs
                                          : kSilentReplyUnboundedMs)),
              since_(clsTiming::CurrentClock().NowMs()) {}
        bool TooLong(bool gotBytes) {
            const std::int64_t now = clsTiming::CurrentClock().NowMs();
            if (gotBytes) since_ = now;
            return now - since_ >= limitMs_;
        }

      private:
        std::int64_t limitMs_;
        std::int64_t since_;
    };

    // Whether the reply loop must give up: port gone or the user asked to stop.
    bool Abandoned() { return Port().Failed() || stopRequested; }

    // A reply read up to a line end may not be over yet: a CR whose LF is still on the line
    // (left there, the LF would spoil the next command's echo), the first line end of a reply
    // whose text is still on its way ("\r\n01 0400\r\n" read just after its first line feed),
    // or a stray byte on the line that came before the reply and its line end. So a reply counts
    // as whole only once one more round has brought nothing; otherwise what came is appended
    // and collecting goes on.
    // Bounded, so that a device that keeps sending line ends cannot hold the command.
    void Settle(std::string& echo) {
        for (int round = 0;
             round < kSettleRounds && EndsWithLineEnd(echo) && MoreAfterLineEnd(echo); ++round) {
        }
    }
    bool MoreAfterLineEnd(std::string& echo) {
        Sleep(kPollMs);
        const std::string more = ReadInput();
        if (more.empty()) return false;
        echo += more;
        return true;
    }

    // Reads the greeting's ".V" reply to the end of its text line, so that a device answering
    // a little late cannot put its reply in the middle of the next command. `echo` is what came
    // with the echoes of ".V". Ends early on a stop request or a failed port, and after as much
    // silence as any other reply may keep.
    void ReadGreetingReply(const std::string& echo) {
        const std::size_t v = echo.find('V', 1);
        std::string reply = v == std::string::npos ? std::string() : echo.substr(v + 1);
        Silence silence(kPollMs);
        bool quiet = false;  // the last round brought nothing
        for (;;) {
            const bool text = StripControlChars(reply).find_first_not_of(' ') != std::string::npos;
            // As with any reply, the line end must be followed by a quiet round (a stray byte
            // before the reply, a CR without its LF yet).
            if (text && quiet && EndsWithLineEnd(reply)) break;
            if (Abandoned() || manualExit) break;
            Sleep(kPollMs);
            const std::string piece = ReadInput();
            quiet = piece.empty();
            reply += piece;
            if (silence.TooLong(!piece.empty())) break;
            Yield();
        }
        greetingReply = StripControlChars(reply);
        const std::size_t first = greetingReply.find_first_not_of(' ');
        greetingReply =
            first == std::string::npos
                ? std::string()
                : greetingReply.substr(first, greetingReply.find_last_not_of(' ') - first + 1);
    }
};

ZelSerialComms::ZelSerialComms(std::unique_ptr<SerialPort> port)
    : port_(port ? std::move(port) : MakeSystemSerialPort()), impl_(std::make_unique<Impl>(*this)) {
    port_->SetRThreshold(1);
    port_->WhileOpening([this] { impl_->Yield(); });
}

ZelSerialComms::~ZelSerialComms() = default;

bool ZelSerialComms::OpenCommPort(std::int32_t intComport) {
    if (intComport < std::numeric_limits<std::int16_t>::min() ||
        intComport > std::numeric_limits<std::int16_t>::max()) {
        impl_->lastOpen = PortOpenResult{};
        return false;
    }
    // Like the port control, an open port cannot be switched or opened again.
    if (port_->IsOpen()) return false;
    impl_->selectedPort = static_cast<std::int16_t>(intComport);
    impl_->selectedDevice.clear();
    if (!impl_->OpenSelected().Opened()) return false;
    impl_->recordedPort = intComport;
    return true;
}

bool ZelSerialComms::OpenCommDevice(const std::string& strDevice) {
    if (port_->IsOpen() || strDevice.empty()) return false;
    impl_->selectedDevice = strDevice;
    return impl_->OpenSelected().Opened();
}

const PortOpenResult& ZelSerialComms::LastOpenResult() const {
    return impl_->lastOpen;
}

bool ZelSerialComms::ReopenCommPort() {
    Impl& m = *impl_;
    if (port_->IsOpen()) {
        if (!port_->Failed() && !m.used) return true;
        port_->Close();
    }
    if (!m.openTried) return false;
    Clock& clock = clsTiming::CurrentClock();
    const std::int64_t deadline = clock.NowMs() + kReopenPatienceMs;
    for (;;) {
        if (m.OpenSelected().Opened()) return true;
        if (m.closedForGood || clock.NowMs() >= deadline) return false;
        m.Sleep(kReopenRetryMs);
        m.Yield();  // the window stays responsive while the adaptor is away
        if (m.manualExit) return false;
    }
}

const std::string& ZelSerialComms::GreetingReply() const {
    return impl_->greetingReply;
}

void ZelSerialComms::CloseForGood() {
    impl_->closedForGood = true;
    port_->CancelOpen();
    if (port_->IsOpen()) port_->Close();
}

bool ZelSerialComms::CloseCommPort() {
    return port_->IsOpen() ? port_->Close() : true;
}

bool ZelSerialComms::PortOpenState() const {
    return port_->IsOpen();
}

std::int32_t ZelSerialComms::CommPort() const {
    return impl_->recordedPort;
}

void ZelSerialComms::CommPort(std::int32_t lngPort) {
    impl_->recordedPort = lngPort;
}

std::string ZelSerialComms::SendEchoedString(const std::string& strData,
                                             std::int16_t intDelayBetweenChars,
                                             std::int16_t intRequiredBytes) {
    return impl_->SendEchoedString(strData, intDelayBetweenChars, intRequiredBytes);
}

bool ZelSerialComms::SendEchoedCommand(std::string strCommand, std::string* strResponse,
                                       std::int16_t intLoopFor, std::int16_t intRequiredBytes) {
    Impl& m = *impl_;
    std::string echo;
    if (!m.SendCommandHead(strCommand, intLoopFor, echo)) return false;

    Impl::Silence silence(intLoopFor);
    bool result = true;
    if (intRequiredBytes == -1) {
        for (;;) {
            std::string part;
            m.WaitForData(part, intLoopFor, -1);
            echo += part;
            m.Settle(echo);
            if (EndsWithLineEnd(echo)) break;
            if (m.Abandoned() || silence.TooLong(!part.empty())) return false;
            m.Yield();
            m.Sleep(kPollMs);
        }
        Impl::ReplyComplete(echo);
        result = echo != "?";
    } else {
        const auto need = [&] {
            return static_cast<long long>(strCommand.size()) + intRequiredBytes -
                   (static_cast<long long>(echo.size()) - 1);
        };
        for (;;) {
            std::string part;
            if (need() > 0) {
                m.WaitForData(part, intLoopFor, static_cast<int>(need()));
                echo += part;
            }
            if (need() == 0) break;
            // Also ends the wait for a reply that overshot its length and can never match.
            if (m.Abandoned() || silence.TooLong(!part.empty())) return false;
            m.Sleep(kPollMs);
        }
    }
    if (strResponse != nullptr) *strResponse = Impl::ReplyPart(echo, strCommand);
    m.Yield();
    return result;
}

bool ZelSerialComms::SendProgEchoedCommand(std::string strCommand, std::string* strResponse,
                                           std::int16_t intLoopFor, std::int32_t intType) {
    Impl& m = *impl_;
    m.progFlagType = intType;
    std::string echo;
    if (!m.SendCommandHead(strCommand, intLoopFor, echo)) return false;

    // These commands work on the flash, which may stay silent between two page reports far
    // longer than a device that answers from memory.
    Impl::Silence silence(intLoopFor, kFlashSilenceMs);
    for (;;) {
        std::string piece;
        m.WaitForData(piece, intLoopFor, 4);
        if (piece.find(kBackspace) != std::string::npos && ProgFlag) {
            const std::string visible = StripControlChars(piece);
            ProgFlag(visible.size() > 4 ? visible.substr(visible.size() - 4) : visible,
                     m.progFlagType);
        }
        echo += piece;
        m.Settle(echo);
        if (Impl::ReplyComplete(echo)) break;
        if (m.Abandoned() || silence.TooLong(!piece.empty())) return false;
        m.Yield();
        m.Sleep(kPollMs);
    }
    const bool result = echo != "?";
    if (strResponse != nullptr) *strResponse = Impl::ReplyPart(echo, strCommand);
    m.Yield();
    return result;
}

bool ZelSerialComms::WaitForData(std::string& strResponse, std::int16_t intLoopFor,
                                 std::int16_t intBytes) {
    return impl_->WaitForData(strResponse, intLoopFor, intBytes) == WaitEnd::Met;
}

bool ZelSerialComms::WaitForFieldProgrammer(std::int16_t intLoopFor,
                                            const std::function<bool()>& mayGreet) {
    Impl& m = *impl_;
    m.manualExit = false;
    char last = '\0';  // only the last character received matters here
    int counter = 0;
    bool asked = false;    // mayGreet has said yes to this press
    bool regreet = false;  // a greeting went wrong half-way: greet again, whatever comes
    for (;;) {
        m.Sleep(kPollMs);
        const std::string piece = m.ReadInput();
        if (!piece.empty()) last = piece.back();
        if (last == 'P' && !asked && mayGreet) {
            // Nothing is sent to a device that is not to be programmed.
            if (!mayGreet()) {
                m.manualExit = false;
                return false;
            }
            asked = true;
        }
        if (last == 'P' || regreet) {
            m.DiscardLeftovers();  // further "P"s of the same press, the rest of a reply
            if (m.SendEchoedString(".", kPollMs, -1) == ".") {
                m.DiscardLeftovers();
                m.greetingReply.clear();
                const std::string echo = m.SendEchoedString(".V", kPollMs, -1);
                // A ".V" whose echo did not come back right (a byte lost or garbled on the line)
                // may or may not have reached the device, which then no longer presses "P":
                // the next round greets it again. A line that is gone is left to the device's
                // first command to report.
                if (!echo.empty()) m.ReadGreetingReply(echo);
                if (!echo.empty() || port_->Failed()) return true;
                regreet = true;
            }
        }
        if (port_->Failed() || (intLoopFor > 0 && ++counter > intLoopFor)) {
            m.manualExit = false;
            return false;
        }
        m.Yield();
        if (m.manualExit) {
            m.manualExit = false;
            return false;
        }
    }
}

std::string ZelSerialComms::SendString(const std::string& strData,
                                       std::int32_t lngDelayBetweenChars) {
    Impl& m = *impl_;
    std::string collected;
    for (char c : strData) {
        const bool written = m.WriteOutput(std::string(1, c));
        m.Sleep(lngDelayBetweenChars);
        collected += m.ReadInput();
        if (!written && port_->Failed()) return collected;
    }
    m.Sleep(lngDelayBetweenChars);
    collected += m.ReadInput();
    return collected;
}

bool ZelSerialComms::SendByte(std::uint8_t bytData) {
    return SendByteArray({bytData});
}

bool ZelSerialComms::SendByteArray(const std::vector<std::uint8_t>& bytes) {
    if (!port_->IsOpen()) return false;
    impl_->used = true;
    return port_->Write(std::string(bytes.begin(), bytes.end()));
}

void ZelSerialComms::SendCommVariant(const std::string& varData) {
    impl_->WriteOutput(varData);
}

void ZelSerialComms::SendCommVariant(const std::vector<std::uint8_t>& varData) {
    impl_->WriteOutput(std::string(varData.begin(), varData.end()));
}

void ZelSerialComms::SendBreak(std::int32_t lngDuration) {
    port_->SetBreak(true);
    impl_->Sleep(lngDuration);
    port_->SetBreak(false);
}

bool ZelSerialComms::SetRThreshold(std::int16_t intValue) {
    return intValue >= 0 && port_->SetRThreshold(intValue);
}

void ZelSerialComms::SleepFor(std::int32_t lngMilliseconds) {
    impl_->Sleep(lngMilliseconds);
}

void ZelSerialComms::ManualExit() {
    impl_->manualExit = true;
    port_->CancelOpen();  // an open under way is a wait too
    impl_->Yield();
}

bool ZelSerialComms::DownloadBinaryData(const std::vector<std::uint8_t>& image) {
    Impl& m = *impl_;
    const auto fail = [&](std::int32_t error) {
        if (Error) Error(error);
        return false;
    };
    // A wait that ended because the device vanished is a port failure, not a silent device.
    const auto waitFailure = [&](WaitEnd end, std::int32_t error) {
        return fail(end == WaitEnd::PortFailed ? errnum::kTransferFailed : error);
    };

    try {
        if (Progress) Progress(0);
        if (Error) Error(0);

        // The blocks are cut from the image in memory: no file for a scanner to hold or a
        // crash to leave behind.
        m.DiscardLeftovers();
        // A prompt receiver's "C" may come in the same read as the echo of ".X".
        const bool early = m.SendEchoedString(".X", kPollMs, -1).find('C') != std::string::npos;
        const WaitEnd started =
            early ? WaitEnd::Met : m.WaitForString("C", kTransferWaitRounds, -1);
        if (started != WaitEnd::Met) return waitFailure(started, errnum::kNoStart);
        // An XMODEM receiver clears its input right after it sent "C" or ACK, and a block
        // written the moment that byte arrives is thrown away with it. On a real line the block
        // cannot come so soon; on a faster one (a pseudo-terminal, a USB device with no real
        // line behind it) the first block waits one round, and each further block and EOT go no
        // sooner than a 9600-baud line would have carried the block before.
        m.Sleep(kPollMs);
        Clock& clock = clsTiming::CurrentClock();
        std::int64_t nextFrameAt = clock.NowMs();

        if (image.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            return fail(errnum::kTransferFailed);
        }
        std::int32_t bytesToSend = static_cast<std::int32_t>(image.size());
        std::size_t readAt = 0;
        const float totalBlocks = static_cast<float>(
            (static_cast<std::int64_t>(bytesToSend) + kBlockSize - 1) / kBlockSize);
        std::int16_t blockNumber = 0;
        std::int16_t complement = 255;
        std::int16_t acknowledged = 0;

        BlockPhase blockPhase(*port_);
        while (bytesToSend > 0) {
            std::string data(kBlockSize, '\0');  // a short last block keeps its zero tail
            const std::size_t take = bytesToSend > static_cast<std::int32_t>(kBlockSize)
                                         ? kBlockSize
                                         : static_cast<std::size_t>(bytesToSend);
            std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(readAt), take, data.begin());
            readAt += take;
            bytesToSend -= static_cast<std::int32_t>(take);

            if (blockNumber == 255) {
                blockNumber = 0;
                complement = 255;
            } else {
                ++blockNumber;
                --complement;
            }
            const auto crc = m.crc.CRC162Var(
                m.crc.CRC16(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));

            std::string frame;
            frame.reserve(3 + kBlockSize + 2);
            frame += kSOH;
            frame += static_cast<char>(blockNumber);
            frame += static_cast<char>(complement);
            frame += data;
            frame += static_cast<char>(crc[0]);
            frame += static_cast<char>(crc[1]);
            if (clock.NowMs() < nextFrameAt)
                m.Sleep(static_cast<std::int32_t>(nextFrameAt - clock.NowMs()));
            nextFrameAt = clock.NowMs() + kBlockLineMs;
            m.used = true;
            if (!port_->Write(frame)) return fail(errnum::kTransferFailed);

            const WaitEnd acked = m.WaitForString(std::string(1, kACK), kTransferWaitRounds, -1);
            if (acked != WaitEnd::Met) return waitFailure(acked, errnum::kNoAck);

            // The 16-bit count overflows past 32767 blocks; that is a fault of the transfer.
            if (acknowledged == std::numeric_limits<std::int16_t>::max()) {
                throw std::overflow_error("block count");
            }
            ++acknowledged;
            if (Progress) {
                Progress(RoundPercent(static_cast<double>(acknowledged) /
                                      static_cast<double>(totalBlocks) * 100.0));
            }
            m.Yield();
        }
        blockPhase.End();
        if (clock.NowMs() < nextFrameAt)
            m.Sleep(static_cast<std::int32_t>(nextFrameAt - clock.NowMs()));

        // A device may echo EOT, acknowledge it or say nothing. Anything else ("?", NAK) means it
        // did not take it as the end of the transfer (it took a data byte for EOT, or left the
        // transfer): it still gets its pause and ".Q", but it is not programmed. A line gone
        // before ".Q" can be written fails as well.
        m.DiscardLeftovers();
        const bool ended = m.AnsweredAs(std::string(1, kEOT), std::string(1, kACK));
        if (port_->Failed() || !port_->IsOpen()) return fail(errnum::kTransferFailed);
        m.Sleep(kEotToQuitMs);
        m.DiscardLeftovers();
        if (!m.AnsweredAs(".Q", "") || !ended) return fail(errnum::kTransferFailed);
        return true;
    } catch (...) {
        try {
            return fail(errnum::kTransferFailed);
        } catch (...) {
            return false;  // the owner's handler failed as well
        }
    }
}
