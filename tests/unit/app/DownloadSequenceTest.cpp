// The download sequence against a recording view and the scripted device, in virtual time:
// start-up, rounds, failures and Reset, Quit, the file dialog, a vanished port, and what a
// headless station does differently.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "BinFile.h"
#include "DownloadSequence.h"
#include "FakeDevice.h"
#include "FileSystem.h"
#include "ZelPayload.h"
#include "clsFieldProgrammer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A well-formed image of `count` data bytes.
Bytes Image(std::size_t count) {
    Bytes bytes = binfile::Header(count);
    for (std::size_t i = 0; i < count; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    return bytes;
}

// Every call the sequence makes, as one line each ("status: ...", "picture 3", ...).
class RecordingView : public DownloadView {
  public:
    explicit RecordingView(std::shared_ptr<VirtualClock> clock) : clock_(std::move(clock)) {}

    std::vector<std::string> log;
    std::vector<DeviceResult> results;
    int chosenPort = 1;
    std::vector<PortChoice> offered;
    std::string chosenFile;  // empty: the file dialog is cancelled
    int wanted = 1000;       // devices a headless front end asks for
    bool stop = false;
    DownloadSequence* sequence = nullptr;

    // Runs `action` once the virtual clock reaches `atMs` (the sequence's waits move it).
    void At(std::int64_t atMs, std::function<void()> action) { timed_.push_back({atMs, action}); }
    bool Has(const std::string& line) const {
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    std::string Last(const std::string& prefix) const {
        for (auto it = log.rbegin(); it != log.rend(); ++it) {
            if (it->compare(0, prefix.size(), prefix) == 0) return *it;
        }
        return {};
    }

    void SetCaption(const std::string& t) override { log.push_back("caption: " + t); }
    void SetStatus(const std::string& t) override { log.push_back("status: " + t); }
    void SetButtonCaption(Button b, const std::string& t) override {
        log.push_back("button " + std::to_string(static_cast<int>(b)) + ": " + t);
    }
    void ShowButtons(bool v) override { log.push_back(v ? "buttons shown" : "buttons hidden"); }
    void EnableQuit(bool e) override { log.push_back(e ? "quit enabled" : "quit disabled"); }
    void ShowBars(bool v) override { log.push_back(v ? "bars shown" : "bars hidden"); }
    void SetBar(Bar b, int v) override {
        log.push_back((b == Bar::Clear ? "clear bar " : "bar ") + std::to_string(v));
    }
    void ShowPicture(int p) override { log.push_back("picture " + std::to_string(p)); }
    void SetBusyTimer(bool r) override { log.push_back(r ? "timer on" : "timer off"); }
    int ChoosePort(const std::string& title, const std::string& ok,
                   const std::vector<PortChoice>& ports) override {
        offered = ports;
        log.push_back("port dialog: " + title + "|" + ok);
        return chosenPort;
    }
    bool ChooseBinaryFile(const std::string& title, const std::string&, std::string& path) override {
        log.push_back("file dialog: " + title);
        path = chosenFile;
        return !path.empty();
    }
    void ShowMessage(const std::string& caption, const std::string& text) override {
        log.push_back("message: " + caption + "|" + text);
    }
    void ShowAbout(const std::string& p, const std::string& v, const std::string& s) override {
        log.push_back("about: " + p + "|" + v + "|" + s);
    }
    void ShowWindow() override { log.push_back("shown"); }
    void CloseMainWindow() override {
        log.push_back("closed");
        sequence->Form_Unload();
    }
    void CloseOtherWindows() override {}
    void DoEvents() override {
        for (auto& t : timed_) {
            if (t.action && clock_->NowMs() >= t.atMs) std::exchange(t.action, nullptr)();
        }
    }
    bool StopRequested() override { return stop; }
    bool DeviceWanted() override { return wanted-- > 0; }
    void DeviceEnded(DeviceResult r) override {
        results.push_back(r);
        if (onEnded) onEnded(r);
    }
    std::function<void(DeviceResult)> onEnded;
    // Quit at the next turn of the message loop, as a user would.
    void QuitSoon() { At(0, [this] { sequence->cmdQuit_Click(); }); }

  private:
    struct Timed {
        std::int64_t atMs;
        std::function<void()> action;
    };
    std::shared_ptr<VirtualClock> clock_;
    std::vector<Timed> timed_;
};

class SequenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clsTiming::InstallClock(clock);
        folder = FileSystem::NewPrivateFolder(FileSystem::TempFolder(), "fp-seq-");
        ASSERT_FALSE(folder.empty());
        ASSERT_TRUE(FileSystem::WriteWholeFile(folder + "/stub", "stand-in program"));
    }
    void TearDown() override {
        sequence.reset();
        clsTiming::InstallClock(nullptr);
        FileSystem::RemoveTree(folder);
    }

    // A downloader carrying `image` (none when empty) and a record in `language`.
    std::string Downloader(const Bytes& image, int language = 0) {
        std::vector<PayloadEntry> entries;
        if (!image.empty()) entries.push_back({"CC46-EURO.BIN", std::string(image.begin(), image.end())});
        entries.push_back({"README.TXT", "CC46-EURO,00" + std::to_string(language) + ",Euro,BLANK\r\n"});
        const std::string path = folder + "/CC46-EURO.exe";
        FileSystem::RemoveFile(path);
        EXPECT_TRUE(ZelPayload().BuildPayloadFrom(folder + "/stub", entries, path));
        return path;
    }

    // The window's sequence on the scripted device; ports outside `free` are held elsewhere.
    void Start(const std::string& exe, std::set<int> free = {1, 2, 3, 4}) {
        SequenceSettings settings;
        settings.executablePath = exe;
        settings.makePort = [this, free] {
            auto p = std::make_unique<Port>(clock, free);
            p->openAtEnd = &portOpenAtEnd;
            port = p.get();
            device = std::make_unique<FakeDevice>(*port);
            return p;
        };
        Make(std::move(settings));
        sequence->Form_Load();
    }
    void Make(SequenceSettings settings) {
        sequence = std::make_unique<DownloadSequence>(view, std::move(settings));
        view.sequence = sequence.get();
    }

    struct Port : FakeSerialPort {
        Port(std::shared_ptr<VirtualClock> c, std::set<int> f) : FakeSerialPort(c), free(f) {}
        ~Port() override {
            if (openAtEnd != nullptr) *openAtEnd = IsOpen();
        }
        PortOpenResult Open(int n) override {
            if (free.count(n) == 0) {
                PortOpenResult held;
                held.status = PortOpenStatus::Busy;
                held.device = "COM" + std::to_string(n);
                held.holder = "PID 7 (minicom)";
                return held;
            }
            return FakeSerialPort::Open(n);
        }
        std::set<int> free;
        bool* openAtEnd = nullptr;
    };

    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    RecordingView view{clock};
    std::string folder;
    Port* port = nullptr;
    bool portOpenAtEnd = false;  // whether the port was still open when it was released
    std::unique_ptr<FakeDevice> device;
    std::unique_ptr<DownloadSequence> sequence;
};

constexpr const char* kPress = "status: Press the button on the top of the Field Programmer to download.";
constexpr const char* kNoDevice =
    "status: Error: Failed to connect to the Field Programmer, please check it is correctly connected.";

TEST_F(SequenceTest, StartUpOffersTheFreePortsInTheRecordsLanguage) {
    view.chosenPort = 3;
    view.At(0, [&] { view.sequence->cmdQuit_Click(); });
    Start(Downloader(Image(300), 2), {2, 3});
    EXPECT_TRUE(view.Has("port dialog: Wählen Sie bitte einen Kommunikationkanal aus.|OK"));
    ASSERT_EQ(view.offered.size(), 4u);
    EXPECT_FALSE(view.offered[0].free);
    EXPECT_EQ(view.offered[0].whyNotFree, "COM1 is busy: held by PID 7 (minicom)");
    EXPECT_TRUE(view.offered[1].free && view.offered[2].free && !view.offered[3].free);
    EXPECT_TRUE(view.Has("caption: CC46-EURO - COM 3"));
    EXPECT_TRUE(view.Has("button 1: Beendet"));
    EXPECT_EQ(port->openedPort, 3);
    // Quit while waiting ends quietly: no failure picture, no message, the port closed.
    EXPECT_TRUE(view.Has("closed"));
    EXPECT_FALSE(view.Has("picture 3"));
    EXPECT_TRUE(sequence->Unloaded());
    EXPECT_EQ(sequence->Device(), nullptr);
    EXPECT_FALSE(portOpenAtEnd);
}

TEST_F(SequenceTest, NoFreePortShowsOneMessageAndEnds) {
    Start(Downloader(Image(300)), {});
    EXPECT_EQ(view.log, (std::vector<std::string>{
                            "message: CC46-EURO|There are no free Comm Ports, exiting application.",
                            "timer off"}));
    EXPECT_TRUE(sequence->Unloaded());
    sequence->Form_Load();  // a second load does nothing
    EXPECT_EQ(view.log.size(), 2u);
}

TEST_F(SequenceTest, TwoDevicesInARowGetTheSameImageWithProgressOnTheirBars) {
    const Bytes image = Image(300);
    view.At(0, [&] { device->Press(100); });
    view.onEnded = [&](DeviceResult) {
        if (view.results.size() == 1) device->Press(100);  // the next one, during the animation
        if (view.results.size() == 2) view.QuitSoon();
    };
    Start(Downloader(image));
    EXPECT_EQ(view.results, std::vector<DeviceResult>(2, DeviceResult::Programmed));
    std::string once(image.begin(), image.end());
    once.resize(384, '\0');  // 308 bytes in three blocks
    EXPECT_EQ(device->received, once + once);
    EXPECT_TRUE(view.Has("clear bar 100") && view.Has("bar 100"));
    EXPECT_TRUE(view.Has("bars shown") && view.Has("buttons hidden") && view.Has("timer on"));
    EXPECT_EQ(view.Last("status"), kPress);  // success leaves the request for the next device
    EXPECT_FALSE(view.Has("picture 3"));
}

TEST_F(SequenceTest, FailuresShowTheirTextThenResetStartsAgain) {
    struct Row {
        const char* what;
        std::function<void(FakeDevice&)> fault;
        std::string status;
    };
    const Row rows[] = {
        {"nobody presses", nullptr, kNoDevice},
        {"clear refused", [](FakeDevice& d) { d.refuseCommand = ".C"; },
         "status: Failed to clear flash memory."},
        {"block refused", [](FakeDevice& d) { d.nakAtBlock = 2; }, "status: Error: Download Failed."},
        // A device that echoes and then falls silent: the failure shows within seconds.
        {"silent after echo", [](FakeDevice& d) { d.silentAfter = ".K"; },
         "status: Failed to clear flash memory."},
    };
    for (const Row& row : rows) {
        sequence.reset();
        view = RecordingView(clock);
        const std::int64_t start = clock->NowMs();
        view.At(start, [&] {
            if (!row.fault) return;
            row.fault(*device);
            device->Press(100);
        });
        Start(Downloader(Image(300)));
        EXPECT_EQ(view.Last("status"), row.status) << row.what;
        EXPECT_EQ(view.Last("picture"), "picture 3") << row.what;
        EXPECT_EQ(view.Last("button 0"), "button 0: Reset") << row.what;
        EXPECT_TRUE(sequence->ResetPending() && sequence->Stopped()) << row.what;
        if (!row.fault) {
            EXPECT_GE(clock->NowMs() - start, 1000 * 50) << "the wait lasts its 1000 rounds";
            // The failure animation runs before the connection text is shown.
            EXPECT_EQ(view.log.back(), kNoDevice);
        } else {
            EXPECT_LT(clock->NowMs() - start, 12000) << row.what;
        }
        // Reset: the request again, picture 1, and a fresh round that programs a good device.
        device = std::make_unique<FakeDevice>(*port);
        device->Press(100);
        view.onEnded = [&](DeviceResult) { view.QuitSoon(); };
        sequence->cmdDescription_Click();
        EXPECT_EQ(device->blocks, 3) << row.what;
        EXPECT_EQ(view.results.back(), DeviceResult::Programmed) << row.what;
        EXPECT_TRUE(view.Has(kPress));
    }
}

TEST_F(SequenceTest, WithoutABinaryTheFileDialogAsksEachTime) {
    Start(Downloader({}));
    EXPECT_EQ(view.Last("file dialog"), "file dialog: Select Binary File");
    EXPECT_EQ(view.Last("status"), "status: Error: Failed to extract binary information.");
    // A chosen file whose header counts more bytes than it holds is refused too.
    Bytes truncated = Image(300);
    truncated.resize(200);
    view.chosenFile = folder + "/SHORT.BIN";
    FileSystem::WriteWholeFile(view.chosenFile, std::string(truncated.begin(), truncated.end()));
    view.log.clear();
    sequence->cmdDescription_Click();
    EXPECT_TRUE(view.Has("file dialog: Select Binary File"));
    EXPECT_EQ(view.Last("status"), "status: Error: Failed to extract binary information.");
    // A good file is programmed.
    const Bytes good = Image(128);
    FileSystem::WriteWholeFile(view.chosenFile, std::string(good.begin(), good.end()));
    device->Press(100);
    view.onEnded = [&](DeviceResult) { view.QuitSoon(); };
    sequence->cmdDescription_Click();
    EXPECT_EQ(device->blocks, 2);
}

TEST_F(SequenceTest, VanishedPortIsOpenedAgainAtReset) {
    view.At(0, [&] { port->Vanish(); });
    Start(Downloader(Image(300)));
    EXPECT_EQ(view.log.back(), kNoDevice);
    EXPECT_LT(clock->NowMs(), 5000) << "a vanished port fails the wait at once";
    const int opens = port->openCount;
    device->Press(100);
    view.onEnded = [&](DeviceResult) { view.QuitSoon(); };
    sequence->cmdDescription_Click();
    EXPECT_EQ(port->openCount, opens + 1);
    EXPECT_EQ(device->blocks, 3);
}

TEST_F(SequenceTest, AboutShowsTheVersionsAndProgressOutsideTheBarsIsIgnored) {
    view.At(0, [&] {
        view.sequence->cmdAbout_Click();
        view.sequence->MyLocalSerial_Progress(101, 5);
        view.sequence->MyLocalSerial_Progress(-1, 3);
        view.sequence->cmdDescription_Click();  // empty button: nothing happens
        view.sequence->cmdQuit_Click();
    });
    Start(Downloader(Image(300)));
    EXPECT_TRUE(view.Has("about: CC46-EURO|1.0.0|(1.0.0)"));
    EXPECT_FALSE(view.Has("bar 101") || view.Has("clear bar -1"));
}

TEST_F(SequenceTest, StationCarriesOnAfterFailuresAndIdleWaitsUntilStopped) {
    auto owned = std::make_unique<Port>(clock, std::set<int>{1});
    port = owned.get();
    device = std::make_unique<FakeDevice>(*port);
    auto fp = std::make_unique<clsFieldProgrammer>(std::move(owned));
    ASSERT_TRUE(fp->OpenCommPort(1));
    SequenceSettings settings;
    settings.carryOnAfterFailure = true;
    settings.animationSteps = 0;
    settings.waitRounds = 20;
    Make(std::move(settings));
    device->nakAtBlock = 1;
    device->Press(100);
    view.onEnded = [&](DeviceResult r) {
        if (r == DeviceResult::TransferFailed) device->nakAtBlock = 0;
        if (r == DeviceResult::Idle && view.results.size() == 2) device->Press(100);
        if (r == DeviceResult::Programmed) view.stop = true;  // Ctrl-C while waiting again
    };
    EXPECT_TRUE(sequence->RunHeadless(std::move(fp), Image(300)));
    EXPECT_EQ(view.results, (std::vector<DeviceResult>{DeviceResult::TransferFailed,
                                                       DeviceResult::Idle, DeviceResult::Programmed}));
    EXPECT_EQ(device->blocks, 1 + 3);
}

}  // namespace
