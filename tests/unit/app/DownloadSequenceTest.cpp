// The download sequence against a recording view and the scripted device, in virtual time.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "FakeDevice.h"
#include "Images.h"
#include "RecordingView.h"
#include "TestFiles.h"
#include "clsFieldProgrammer.h"

namespace {

class SequenceTest : public ::testing::Test {
  protected:
    void SetUp() override { clsTiming::InstallClock(clock); }
    void TearDown() override {
        sequence.reset();
        clsTiming::InstallClock(nullptr);
        EXPECT_EQ(tmp.Entries(), 0) << "a temporary file was left";
    }

    // The sequence in a downloader with `image` (none if empty) and `language`; `held` ports busy.
    void Start(const Bytes& image, int language = 0, std::set<int> held = {}) {
        SequenceSettings settings;
        settings.executablePath = MakeDownloader(folder.Path(), image, language);
        settings.makePort = [this, held] { return line.MakePort(held); };
        settings.userSettings = userSettings;
        sequence = std::make_unique<DownloadSequence>(view, std::move(settings));
        view.sequence = sequence.get();
        sequence->Form_Load();
    }

    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    TempDir folder;  // made before the temporary folder is replaced
    TempFolderScope tmp;
    RecordingView view;
    FakeLine line{clock};
    std::unique_ptr<DownloadSequence> sequence;
    // No profile can be read or written here, which changes nothing of the sequence.
    std::shared_ptr<SettingsStore> userSettings = std::make_shared<NoSettings>();
};

constexpr const char* kPress =
    "status: Press the button on the top of the Field Programmer to download.";
constexpr const char* kNoDevice =
    "status: Error: Failed to connect to the Field Programmer, please check it is correctly "
    "connected.";

// While it waits, progress outside the bars changes nothing; Quit ends the wait quietly.
TEST_F(SequenceTest, StartUpOffersTheFreePortsAndQuitEndsTheWait) {
    view.chosenPort = 7;  // a present port above COM 4 is chosen like the first four
    line.above4 = {7};
    view.Soon([&] {
        EXPECT_EQ(line.port->openedPort, 7);
        sequence->MyLocalSerial_Progress(101, 5);
        sequence->MyLocalSerial_Progress(-1, 3);
        sequence->cmdQuit_Click();
    });
    Start(BinImage(300), 2, {1, 4});
    std::string offered;  // number, + when free, * when preselected
    for (const PortChoice& p : view.offered)
        offered += std::to_string(p.number) + "-+"[p.free] + (p.preselected ? "*" : "");
    EXPECT_EQ(offered, "1-2+*3+4-7+");
    EXPECT_TRUE(view.Has("caption: CC46-EURO - COM 7"));
    EXPECT_FALSE(view.Has("bar 101") || view.Has("clear bar -1") || view.Has("picture 3"));
    EXPECT_TRUE(view.Has("closed"));  // unloaded and the device let go: the GUI test's
}

TEST_F(SequenceTest, NoFreePortShowsOneMessageAndEnds) {
    Start(BinImage(300), 0, {1, 2, 3, 4});
    EXPECT_EQ(view.log, (std::vector<std::string>{
                            "message: CC46-EURO|There are no free Comm Ports, exiting application.",
                            "timer off"}));
    EXPECT_TRUE(sequence->Unloaded());
    sequence->Form_Load();  // a second load does nothing
    EXPECT_EQ(view.log.size(), 2u);
}

// What Reset then does, for every kind of failure, is the simulation's.
TEST_F(SequenceTest, FailuresShowTheirTextAndOfferReset) {
    struct Row {
        const char* what;
        std::function<void(FakeLine&)> fault;
        std::string status;
    };
    const Row rows[] = {
        {"nobody presses", nullptr, kNoDevice},
        {"clear refused", [](FakeLine& l) { l.device->refuseCommand = ".C"; },
         "status: Failed to clear flash memory."},
        {"block refused", [](FakeLine& l) { l.device->nakAtBlock = 2; },
         "status: Error: Download Failed."},
    };
    for (const Row& row : rows) {
        sequence.reset();
        view = RecordingView();
        const std::int64_t start = clock->NowMs();
        view.Soon([&] {
            if (!row.fault) return;
            row.fault(line);
            line.device->Press(100);
        });
        // Reset is offered while the failure animation still runs; a click then is ignored.
        view.onLine = [&](const std::string& l) {
            if (l == "button 0: Reset") view.Soon([&] { sequence->cmdDescription_Click(); });
        };
        Start(BinImage(300));
        EXPECT_EQ(view.Last("status"), row.status) << row.what;
        EXPECT_EQ(std::count(view.log.begin(), view.log.end(), kPress), 1) << row.what;
        EXPECT_EQ(view.Last("picture"), "picture 3") << row.what;
        EXPECT_EQ(view.Last("button 0"), "button 0: Reset") << row.what;
        EXPECT_TRUE(sequence->ResetPending() && sequence->Stopped()) << row.what;
        // The failure animation runs before the connection text is shown.
        EXPECT_TRUE(row.status != kNoDevice || view.log.back() == kNoDevice) << row.what;
        EXPECT_TRUE(row.fault || clock->NowMs() - start >= 1000 * 50) << "a 1000-round wait";
        for (const DeviceResult r : view.results) EXPECT_NE(r, DeviceResult::Programmed);
    }
}

// Waits reopen the port (a replug gets a device, after the animation); a gone port is awaited.
TEST_F(SequenceTest, APortThatGoesWithADeviceIsAwaitedAndResetGivesAnAbsentOneThreeSeconds) {
    std::int64_t lostAt = 0;  // when the last device was done, then when the adaptor was lost
    std::vector<std::int64_t> failedAfter, barsAt;
    std::function<void()> comeBack = [&] {
        if (clock->NowMs() < lostAt + 20000) return view.Soon(comeBack);
        line.port->absent = false;
        line.device->Press(100);
    };
    view.Soon([&] { line.device->Press(100); });
    view.onEnded = [&](DeviceResult r) {
        if (r != DeviceResult::Programmed) return;
        lostAt = clock->NowMs();
        if (view.results.size() == 1) return line.port->Replug(), line.device->Press();
        line.port->Vanish();
        line.port->absent = true;
        if (view.results.size() == 2) view.Soon(comeBack);  // the next one stays away
    };
    view.onLine = [&](const std::string& l) {
        if (l == kNoDevice) failedAfter.push_back(clock->NowMs() - lostAt);
        if (l == "bars shown") barsAt.push_back(clock->NowMs() - lostAt);
    };
    Start(BinImage(300));
    ASSERT_EQ(view.results,
              (std::vector<DeviceResult>{DeviceResult::Programmed, DeviceResult::Programmed,
                                         DeviceResult::Programmed, DeviceResult::NoDevice}));
    EXPECT_EQ(line.device->blocks, 9);
    EXPECT_EQ(line.port->opens, 3);  // at start-up, after the replug, back after 20 s
    ASSERT_GE(barsAt.size(), 2u);
    EXPECT_GE(barsAt[1], 1000) << "greeted again before the success animation";
    // Reset with the adaptor still away: a quick failure.
    lostAt = clock->NowMs();
    sequence->cmdDescription_Click();
    ASSERT_EQ(failedAfter.size(), 2u);
    EXPECT_GE(failedAfter[0], 1000 * 50) << "as long as the window's 1000-round button wait";
    EXPECT_GE(failedAfter[1], 3000) << "tries for the adaptor's 3 s";
    EXPECT_LT(failedAfter[1], 3000 + 2 * 1000 + 500) << "3 s, the animations and no button wait";
    line.port->absent = false;
    line.device->Press(100);
    view.onEnded = [&](DeviceResult) { view.QuitSoon(); };
    sequence->cmdDescription_Click();
    EXPECT_EQ(line.device->blocks, 12);
}

TEST_F(SequenceTest, WithoutABinaryTheFileDialogAsksEachTime) {
    Start({});  // nothing chosen: the GUI test's
    // A chosen file whose header counts more bytes than it holds is refused.
    view.chosenFile = folder / "SHORT.BIN";
    WriteBytes(view.chosenFile, Text(BinImage(300)).substr(0, 200));
    view.log.clear();
    sequence->cmdDescription_Click();
    EXPECT_TRUE(view.Has("file dialog: Select Binary File"));
    EXPECT_EQ(view.Last("status"), "status: Error: Failed to extract binary information.");
    // A good file is programmed, byte for byte.
    WriteBytes(view.chosenFile, Text(BinImage(128)));
    line.device->Press(100);
    view.onEnded = [&](DeviceResult) { view.QuitSoon(); };
    sequence->cmdDescription_Click();
    EXPECT_EQ(line.device->received, Text(Padded(BinImage(128))));
}

// Its own image would fail at every Reset: it says it is damaged, in its language; only Quit.
TEST_F(SequenceTest, ADamagedDownloaderSaysSoAndOffersNoReset) {
    Bytes cut = BinImage(300);
    cut.resize(200);
    Start(cut, 1);
    EXPECT_EQ(view.Last("status"),
              "status: Erreur\u00a0: ce programme de téléchargement est endommagé (l'en-tête "
              "compte 300 octets de données mais seuls 192 le suivent (fichier tronqué\u00a0?)) "
              "et ne peut programmer aucun appareil. Remplacez-le par une nouvelle copie.");
    EXPECT_EQ(view.Last("button 0"), "button 0: ");
    EXPECT_EQ(view.Last("picture"), "picture 3");
    const std::size_t shown = view.log.size();
    sequence->cmdDescription_Click();
    EXPECT_EQ(view.log.size(), shown) << "a click on the empty button started a new round";
}

// Closed during the first open: the device object waits for the open, the late handle is closed.
TEST_F(SequenceTest, ClosingTheWindowDuringTheFirstOpenLeavesNothingBehind) {
    const auto hang = std::make_shared<HangingOpen>();
    view.onLine = [&](const std::string& l) {
        if (l.rfind("port dialog", 0) != 0) return;
        line.port->hang = hang;  // the device's port
        line.port->hangPatienceMs = 60000;
        view.Soon([&] { sequence->cmdQuit_Click(); });
    };
    Start(BinImage(300));
    EXPECT_TRUE(view.Has("closed") && sequence->Unloaded());
    EXPECT_FALSE(view.Has("shown"));
    hang->Release();
    EXPECT_TRUE(hang->Await([&] { return hang->discarded == 1; })) << "the late handle stayed open";
}

}  // namespace
