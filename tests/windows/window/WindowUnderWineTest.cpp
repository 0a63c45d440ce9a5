// A downloader made by fieldprog-build in each language, driven through its controls as a user
// would: it programs the emulated device with the image it carries and quits from the keyboard;
// run again, it fails and offers Reset. German has the adaptor on COM 7 and no COM 1 to COM 4.
// With FIELDPROG_SHOTS naming a host folder, the states are also photographed there.

#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <string>
#include <vector>

#include "FormIds.h"
#include "Images.h"
#include "StringTable.h"
#include "Version.h"
#include "WineHost.h"

namespace {

using namespace winehost;

struct Language {
    int number;  // the record's language number
    const char* name;
    int com;                         // the adaptor's port
    std::vector<const char*> shots;  // states photographed for the documentation
};

const Language kLanguages[] = {
    {0, "English", 3, {"port-dialog", "waiting", "working", "about", "failed"}},
    {1, "French", 3, {"failed-fr"}},
    {2, "German", 7, {"port-dialog-com7-de", "waiting-de", "failed-de"}},
};

// The window that has the keyboard focus in the thread of `window`.
HWND FocusOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
    return info.hwndFocus;
}

// The dialog with this caption, once visible. Each test's programs end with it, so a dialog
// found is one of the program the test runs.
HWND AwaitDialog(const std::wstring& caption) {
    HWND found = nullptr;
    Await([&] {
        return (found = FindWindowW(L"#32770", caption.c_str())) && IsWindowVisible(found);
    });
    return found;
}

class WindowUnderWineTest : public ::testing::TestWithParam<int> {  // a row of kLanguages
  protected:
    void SetUp() override {
        if (!Emulator::Available() || GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0)
            GTEST_SKIP() << "needs Wine, FIELDPROG_EMU and an X display (scripts/test-windows)";
        if (const char* shots = std::getenv("FIELDPROG_SHOTS")) shots_ = shots;
        if (const char* suffix = std::getenv("FIELDPROG_SHOTS_SUFFIX")) suffix_ = suffix;
    }

    std::wstring Text(int englishId) { return Widen(LoadResString(englishId + lang.number * 100)); }
    static std::wstring ItemText(HWND parent, int id) {
        wchar_t text[512] = {};
        GetDlgItemTextW(parent, id, text, 512);
        return text;
    }
    // Clicks and keys are posted, so that a modal dialog they open does not hold this program up.
    static void Click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }
    static void Key(HWND window, UINT message, WPARAM key) {
        PostMessageW(FocusOf(window), message, key, message == WM_SYSCHAR ? 1 << 29 : 0);
    }

    // Photographs the window, frame included, from the X server's screen when the row asks.
    void Shot(HWND window, const std::string& state) {
        for (const std::string shot : lang.shots) {
            if (shots_.empty() || shot.rfind(state, 0) != 0) continue;
            Sleep(400);  // the last changes painted
            RECT at{};
            GetWindowRect(window, &at);
            EXPECT_TRUE(
                Has(folder.OnHost(
                        shot, "import -window root -crop " + std::to_string(at.right - at.left) +
                                  "x" + std::to_string(at.bottom - at.top) + "+" +
                                  std::to_string(at.left) + "+" + std::to_string(at.top) +
                                  " +repage '" + shots_ + "/windows-" + shot + suffix_ + ".png'"),
                    "status 0"));
        }
    }

    // Takes the row's port in the port dialog titled in its language: COM 3 with the mouse, COM 7
    // (German: below the four, preselected and focused) with Enter. The main window, or null.
    HWND OpenPort(const std::string& name, bool shoot) {
        HWND ports = AwaitDialog(Text(169));
        EXPECT_NE(ports, nullptr) << "no port dialog titled in " << lang.name;
        if (ports == nullptr) return nullptr;
        const bool more = lang.com > 4;
        const int id = more ? IDC_optComMore0 : IDC_optCom0 + lang.com - 1;
        HWND port = GetDlgItem(ports, id);
        EXPECT_EQ(ItemText(ports, id), L"Com " + std::to_wstring(lang.com));
        EXPECT_EQ(ItemText(GetDlgItem(ports, IDC_picOK), IDOK), Text(166));
        // The first free port is the one preselected; none of COM 1 to COM 4 for COM 7.
        for (int i : {IDC_optCom0, IDC_optCom0 + 1, IDC_optCom0 + 2, IDC_optCom0 + 3, id}) {
            if (!IsWindowEnabled(GetDlgItem(ports, i))) continue;
            EXPECT_EQ(SendMessageW(GetDlgItem(ports, i), BM_GETCHECK, 0, 0), BST_CHECKED) << i;
            EXPECT_TRUE(!more || i == id) << "a port of COM 1 to COM 4 offered";
            break;
        }
        if (more) {
            EXPECT_TRUE(Await([&] { return FocusOf(ports) == port; }));
            EXPECT_EQ(ItemText(ports, IDC_lblOtherPorts), L"Weitere Schnittstellen:");
            EXPECT_EQ(ItemText(ports, IDC_lblDeviceMore0), L"Serielle Schnittstelle");
            const std::wstring notes = ItemText(ports, IDC_lblNotes);
            EXPECT_NE(notes.find(L"Gerät nicht vorhanden"), std::wstring::npos) << Narrow(notes);
            EXPECT_EQ(notes.find(L"("), std::wstring::npos) << "English words: " << Narrow(notes);
        } else {
            Click(port);
            EXPECT_TRUE(
                Await([&] { return SendMessageW(port, BM_GETCHECK, 0, 0) == BST_CHECKED; }));
        }
        if (shoot) Shot(ports, "port-dialog");
        more ? Key(ports, WM_KEYDOWN, VK_RETURN)
             : Click(GetDlgItem(GetDlgItem(ports, IDC_picOK), IDOK));
        return AwaitDialog(Widen(name + " - COM " + std::to_string(lang.com)));
    }

    const Language& lang = kLanguages[GetParam()];
    Folder folder;
    std::string shots_, suffix_;
};

TEST_P(WindowUnderWineTest, CarriesItsPayloadAndProgramsADevice) {
    if (lang.com > 4) {  // a machine without COM 1 to COM 4
        ASSERT_TRUE(Has(folder.OnHost("absent",
                                      "for l in \"$WINEPREFIX\"/dosdevices/com[1-4]; do case "
                                      "$(readlink \"$l\") in /dev/ttyS*) rm \"$l\";; esac; done"),
                        "status 0"));
    }
    // A longer transfer when photographing, so the picture catches it half-way.
    ASSERT_TRUE(FileSystem::WriteWholeFile(
        folder / "FW.BIN", ::Text(BinImage(shots_.empty() ? 300 : 4000, lang.number))));
    const std::string name = std::string("Zapper") + lang.name,
                      downloader = folder / (name + ".exe");

    // English comes from a signed fieldprog.exe: the downloader must lose that signature, not
    // carry a broken one, and is signed once built (with a throwaway certificate).
    const std::string sign = "osslsigncode sign -certs c.pem -key k.pem -in ";
    std::string from = ProgramFolder() + "fieldprog.exe";
    if (lang.number == 0) {
        ASSERT_TRUE(Has(folder.OnHost("template",
                                      "openssl req -x509 -newkey rsa:2048 -nodes -keyout "
                                      "k.pem -out c.pem -days 2 -subj /CN=test && " +
                                          sign + "'" + HostPath(from) + "' -out signed.exe"),
                        "status 0"));
        from = folder / "signed.exe";
    }
    Program build(folder,
                  "\"" + ProgramFolder() + "fieldprog-build.exe\" --downloader \"" + from +
                      "\" -l " + std::to_string(lang.number) + " -o \"" + downloader + "\" \"" +
                      (folder / "FW.BIN") + "\"",
                  "build");
    ASSERT_EQ(build.Wait(), 0) << build.Output();
    if (lang.number == 0) {
        const std::string signing =
            folder.OnHost("sign", "osslsigncode verify " + name + ".exe; " + sign + name +
                                      ".exe -out s.exe && mv s.exe " + name + ".exe");
        EXPECT_TRUE(Has(signing, "No signature found")) << signing;
        ASSERT_TRUE(Has(signing, "status 0")) << signing;
    }

    {
        Emulator emulator(folder, lang.com,
                          "--press-after-ms -1 --expect '" + folder.Host("FW.BIN") + "'");
        ASSERT_TRUE(emulator.Started());
        Program window(folder, "\"" + downloader + "\"", "window");
        const HWND form = OpenPort(name, true);
        ASSERT_NE(form, nullptr);
        // Each button's first letter is its mnemonic (Quit's is used below).
        EXPECT_EQ(ItemText(GetDlgItem(form, IDC_picAbout), IDC_cmdAbout), L"&" + Text(171));
        EXPECT_EQ(ItemText(GetDlgItem(form, IDC_picDescription), IDC_cmdDescription), L"");
        EXPECT_EQ(ItemText(form, IDC_lblStatus), Text(159));
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(form, IDC_pbProgress)));
        Shot(form, "waiting");

        if (lang.number == 0) {  // the About box, while the window waits for the device
            Click(GetDlgItem(GetDlgItem(form, IDC_picAbout), IDC_cmdAbout));
            HWND about = AwaitDialog(Widen("About " + name));
            ASSERT_NE(about, nullptr);
            EXPECT_EQ(Narrow(ItemText(about, IDC_lblVersion)),
                      std::to_string(fieldprog_version::kMajor) + "." +
                          std::to_string(fieldprog_version::kMinor) + "." +
                          std::to_string(fieldprog_version::kRevision));
            EXPECT_EQ(ItemText(about, IDC_lblSubVersion).front(), L'(');
            Shot(about, "about");
            Click(GetDlgItem(about, IDOK));
            ASSERT_TRUE(Await([&] { return !IsWindow(about); }));
        }

        // The device's button: clear, transfer, success; the window waits for the next one with
        // the focus on a button the keyboard can use, and Alt with Quit's first letter quits.
        emulator.Press();
        HWND bar = GetDlgItem(form, IDC_pbProgress);
        EXPECT_TRUE(Await([&] {
            return IsWindowVisible(bar) && SendMessageW(bar, PBM_GETPOS, 0, 0) >= 40;
        })) << "the transfer's progress never showed";
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(form, IDC_picQuit)));
        Shot(form, "working");
        EXPECT_TRUE(Has(emulator.Await("EXPECT"), "DEVICE 1 EXPECT MATCH"));
        EXPECT_TRUE(Await([&] {
            HWND focus = FocusOf(form);
            return ItemText(form, IDC_lblStatus) == Text(159) &&
                   IsWindowVisible(GetDlgItem(form, IDC_picQuit)) && focus != nullptr &&
                   IsWindowVisible(focus) && IsWindowEnabled(focus);
        }));
        Key(form, WM_SYSCHAR, std::towlower(Text(158).front()));
        EXPECT_EQ(window.Wait(kPatienceMs), 0);
    }
    // Again, failing: English as fieldprog.exe itself, which asks for an image with the common
    // file dialog, cancelled; the others against a device that refuses to clear its flash.
    Emulator refusing(folder, lang.com, "--press-after-ms -1 --refuse C");
    ASSERT_TRUE(refusing.Started());
    const bool bare = lang.number == 0;
    Program window(folder, "\"" + (bare ? ProgramFolder() + "fieldprog.exe" : downloader) + "\"",
                   "again");
    const HWND form = OpenPort(bare ? "fieldprog" : name, false);
    ASSERT_NE(form, nullptr);
    if (bare) {
        HWND files = AwaitDialog(L"Select Binary File");
        ASSERT_NE(files, nullptr) << "no file dialog";
        Click(GetDlgItem(files, IDCANCEL));
    } else {
        refusing.Press();
    }
    EXPECT_TRUE(Await([&] {
        return ItemText(form, IDC_lblStatus) == Text(bare ? 163 : 170) &&
               ItemText(GetDlgItem(form, IDC_picDescription), IDC_cmdDescription) ==
                   L"&" + Text(167) &&
               IsWindowEnabled(GetDlgItem(form, IDC_picQuit));
    })) << Narrow(ItemText(form, IDC_lblStatus));
    Shot(form, "failed");
    Click(GetDlgItem(GetDlgItem(form, IDC_picQuit), IDC_cmdQuit));
    EXPECT_EQ(window.Wait(kPatienceMs), 0);
}

INSTANTIATE_TEST_SUITE_P(Languages, WindowUnderWineTest, ::testing::Range(0, 3),
                         [](const ::testing::TestParamInfo<int>& row) {
                             return std::string(kLanguages[row.param].name);
                         });

// Outside the suite (scripts/wine-starts runs it, with the ports and the load): a downloader
// started FIELDPROG_STARTS times, each time to its port dialog and its window, then closed.
// Any other end counts as a crash. FIELDPROG_STARTS_TEMPLATE names the fieldprog.exe to use.
TEST(WindowStarts, DISABLED_EachStartReachesItsWindowAndEndsCleanly) {
    const char* count = std::getenv("FIELDPROG_STARTS");
    const char* from = std::getenv("FIELDPROG_STARTS_TEMPLATE");
    const int starts = count != nullptr ? std::atoi(count) : 200;
    Folder folder;
    ASSERT_TRUE(FileSystem::WriteWholeFile(folder / "FW.BIN", ::Text(BinImage(300, 0))));
    const std::string downloader = folder / "Zapper.exe";
    Program build(folder,
                  "\"" + ProgramFolder() + "fieldprog-build.exe\" --downloader \"" +
                      (from != nullptr ? from : ProgramFolder() + "fieldprog.exe") + "\" -o \"" +
                      downloader + "\" \"" + (folder / "FW.BIN") + "\"",
                  "build");
    ASSERT_EQ(build.Wait(), 0) << build.Output();
    int crashes = 0;
    const DWORD began = GetTickCount();
    for (int k = 1; k <= starts; ++k) {
        Program window(folder, "\"" + downloader + "\"", "start");
        HWND ports = nullptr, form = nullptr;
        const auto shown = [&](HWND& found, const wchar_t* caption) {
            return Await([&] {
                       found = FindWindowW(L"#32770", caption);
                       return (found != nullptr && IsWindowVisible(found)) || window.Wait(0) != -1;
                   }) &&
                   window.Wait(0) == -1;
        };
        if (shown(ports, L"Please select a Comm Port.")) {
            PostMessageW(GetDlgItem(GetDlgItem(ports, IDC_picOK), IDOK), BM_CLICK, 0, 0);
            if (shown(form, L"Zapper - COM 1")) PostMessageW(form, WM_CLOSE, 0, 0);
        }
        const long code = window.Wait(kPatienceMs);
        const std::string output = Read(folder / "start.out");
        if (form == nullptr || code != 0 || Has(output, "nhandled")) {
            ++crashes;
            std::printf("start %d: %s, exit code %ld\n%s\n", k,
                        form == nullptr ? "no window" : "closed", code, output.c_str());
        }
    }
    std::printf("STARTS %d CRASHES %d SECONDS %lu\n", starts, crashes,
                static_cast<unsigned long>((GetTickCount() - began) / 1000));
    EXPECT_EQ(crashes, 0);
}

}  // namespace
