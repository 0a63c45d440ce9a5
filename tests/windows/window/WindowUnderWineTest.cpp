// A downloader made by fieldprog-build from fieldprog.exe, in each language: it carries its
// payload, and its window, driven from outside through its controls as a user would, picks
// COM 3, programs the emulated device and quits; run again with a device that refuses to clear
// its flash, it shows the failure and offers Reset. The English one is built from a signed
// fieldprog.exe (it must come out unsigned, not with a broken signature) and signed after it was
// built. With FIELDPROG_SHOTS naming a host folder, the states are also photographed there.

#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <ostream>
#include <string>
#include <vector>

#include "FormIds.h"
#include "StringTable.h"
#include "Version.h"
#include "Win32Text.h"
#include "WineHost.h"
#include "clsResFiles.h"

namespace {

using namespace winehost;

constexpr int kCom = 3;

struct Language {
    int number;  // the record's language number
    const char* name;
    std::vector<const char*> shots;  // states photographed for the documentation
};

const Language kLanguages[] = {
    {0, "English", {"port-dialog", "waiting", "working", "about", "failed"}},
    {1, "French", {"failed-fr"}},
    {2, "German", {"port-dialog-de", "waiting-de", "failed-de"}},
};

// Test names and messages show the language, not the bytes of the row.
void PrintTo(const Language& language, std::ostream* out) {
    *out << language.name;
}

std::wstring Text(int englishId, int language) {
    return Widen(LoadResString(englishId + language * 100));
}

std::wstring ItemText(HWND parent, int id) {
    wchar_t text[512] = {};
    GetDlgItemTextW(parent, id, text, 512);
    return text;
}

HWND BoxButton(HWND form, int box, int button) {
    return GetDlgItem(GetDlgItem(form, box), button);
}

// A button press as the mouse makes it; posted, so that a modal dialog it opens does not hold
// this program up.
void Click(HWND button) {
    PostMessageW(button, BM_CLICK, 0, 0);
}

// The dialog of process `pid` with this caption.
HWND AwaitDialog(DWORD pid, const std::wstring& caption) {
    HWND found = nullptr;
    Await([&] {
        found = FindWindowW(L"#32770", caption.c_str());
        DWORD owner = 0;
        if (found != nullptr) GetWindowThreadProcessId(found, &owner);
        return found != nullptr && owner == pid && IsWindowVisible(found);
    });
    return found;
}

// A failure in the window: its text, the Reset button, and Quit usable again once the failure
// animation has ended on the failed picture.
void ExpectFailureOffersReset(HWND form, int status, int language) {
    EXPECT_TRUE(Await([&] { return ItemText(form, IDC_lblStatus) == Text(status, language); }))
        << Narrow(ItemText(form, IDC_lblStatus));
    EXPECT_TRUE(Await([&] {
        return ItemText(GetDlgItem(form, IDC_picDescription), IDC_cmdDescription) ==
               L"&" + Text(167, language);
    }));
    EXPECT_TRUE(Await([&] { return IsWindowEnabled(GetDlgItem(form, IDC_picQuit)) != FALSE; }));
}

void Quit(HWND form, const Program& window) {
    Click(BoxButton(form, IDC_picQuit, IDC_cmdQuit));
    EXPECT_EQ(window.Wait(kPatienceMs), 0);
}

class WindowUnderWineTest : public ::testing::TestWithParam<Language> {
  protected:
    void SetUp() override {
        if (!Emulator::Available() || GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0)
            GTEST_SKIP() << "needs Wine, FIELDPROG_EMU and an X display (scripts/test-windows)";
        if (const char* shots = std::getenv("FIELDPROG_SHOTS")) shots_ = shots;
        if (const char* suffix = std::getenv("FIELDPROG_SHOTS_SUFFIX")) suffix_ = suffix;
    }

    // Photographs the window, frame included, from the X server's screen.
    void Shot(HWND window, const std::string& name) {
        if (shots_.empty()) return;
        Sleep(400);  // the last changes painted
        RECT area{};
        GetWindowRect(window, &area);
        EXPECT_TRUE(Has(
            folder.OnHost(name, "import -window root -crop " +
                                    std::to_string(area.right - area.left) + "x" +
                                    std::to_string(area.bottom - area.top) + "+" +
                                    std::to_string(area.left) + "+" + std::to_string(area.top) +
                                    " +repage '" + shots_ + "/windows-" + name + suffix_ + ".png'"),
            "status 0"));
    }
    void ShotIf(const Language& language, HWND window, const std::string& state) {
        for (const char* shot : language.shots) {
            if (std::string(shot).rfind(state, 0) == 0) Shot(window, shot);
        }
    }

    // Makes <name>.exe for FW.BIN with fieldprog-build.exe from `from`; its exit code.
    long Build(const std::string& name, const Language& language,
               const std::string& from = ProgramFolder() + "fieldprog.exe") {
        Program build(folder,
                      "\"" + ProgramFolder() + "fieldprog-build.exe\" --downloader \"" + from +
                          "\" -l " + std::to_string(language.number) + " -o \"" +
                          (folder / (name + ".exe")) + "\" \"" + (folder / "FW.BIN") + "\"",
                      "build");
        const long code = build.Wait();
        EXPECT_EQ(code, 0) << build.Err();
        return code;
    }

    // Answers the port dialog with COM 3 (the emulator); the main window, or null.
    HWND OpenOnCom3(const Program& window, const Language& language, const std::string& name,
                    bool checkDialog) {
        HWND ports = AwaitDialog(window.Id(), Text(169, language.number));
        EXPECT_NE(ports, nullptr) << "no port dialog titled in " << language.name;
        if (ports == nullptr) return nullptr;
        HWND com3 = GetDlgItem(ports, IDC_optCom0 + kCom - 1);
        EXPECT_TRUE(IsWindowEnabled(com3));
        if (checkDialog) {
            EXPECT_EQ(ItemText(GetDlgItem(ports, IDC_picOK), IDOK), Text(166, language.number));
            EXPECT_EQ(ItemText(ports, IDC_optCom0 + kCom - 1), L"Com 3");
            // The first free port is the one preselected.
            for (int i = 0; i < 4; ++i) {
                HWND option = GetDlgItem(ports, IDC_optCom0 + i);
                if (!IsWindowEnabled(option)) continue;
                EXPECT_EQ(SendMessageW(option, BM_GETCHECK, 0, 0), BST_CHECKED) << i;
                break;
            }
        }
        Click(com3);
        EXPECT_TRUE(Await([&] { return SendMessageW(com3, BM_GETCHECK, 0, 0) == BST_CHECKED; }));
        if (checkDialog) ShotIf(language, ports, "port-dialog");
        Click(BoxButton(ports, IDC_picOK, IDOK));
        HWND form = AwaitDialog(window.Id(), Widen(name + " - COM 3"));
        EXPECT_NE(form, nullptr) << "no main window on COM 3";
        return form;
    }

    Folder folder;
    std::string shots_;
    std::string suffix_;
};

TEST_P(WindowUnderWineTest, CarriesItsPayloadAndProgramsADevice) {
    const Language& language = GetParam();
    // A longer transfer when photographing, so the picture catches it half-way.
    const std::string image = MakeBin(shots_.empty() ? 300 : 4000, language.number);
    ASSERT_TRUE(FileSystem::WriteWholeFile(folder / "FW.BIN", image));
    const std::string name = std::string("Zapper") + language.name;
    const std::string downloader = folder / (name + ".exe");

    // fieldprog-build.exe makes the downloader from fieldprog.exe; it carries the image and
    // the record. The English one comes from a signed fieldprog.exe, loses that signature and
    // is signed once built, with a throwaway certificate.
    if (language.number != 0) {
        ASSERT_EQ(Build(name, language), 0);
    } else {
        const std::string sign = " && osslsigncode sign -certs c.pem -key k.pem -in ";
        const std::string program = HostPath(ProgramFolder() + "fieldprog.exe");
        ASSERT_TRUE(Has(folder.OnHost("template",
                                      "openssl req -x509 -newkey rsa:2048 -nodes -keyout "
                                      "k.pem -out c.pem -days 2 -subj /CN=test" +
                                          sign + "'" + program + "' -out signed.exe"),
                        "status 0"));
        ASSERT_EQ(Build(name, language, folder / "signed.exe"), 0);
        const std::string verified =
            folder.OnHost("verify", "osslsigncode verify " + name + ".exe");
        EXPECT_TRUE(Has(verified, "No signature found")) << verified;
        ASSERT_TRUE(Has(folder.OnHost("sign", "true" + sign + name +
                                                  ".exe -out s.exe && mv s.exe " + name + ".exe"),
                        "status 0"));
    }
    clsResFiles payload(downloader);
    ASSERT_TRUE(payload.GetReadMeData());
    EXPECT_EQ(payload.Name(), "FW");
    EXPECT_EQ(payload.Language(), language.number * 100);
    std::vector<std::uint8_t> carried;
    ASSERT_TRUE(payload.GetBinaryData(carried));
    EXPECT_EQ(std::string(carried.begin(), carried.end()), image);

    {
        Emulator emulator(folder, kCom,
                          "--press-after-ms -1 --expect '" + folder.Host("FW.BIN") + "'");
        ASSERT_TRUE(emulator.Started());
        Program window(folder, "\"" + downloader + "\"", "window");
        const HWND form = OpenOnCom3(window, language, name, true);
        ASSERT_NE(form, nullptr);
        // Each button's first letter is its mnemonic.
        EXPECT_EQ(ItemText(GetDlgItem(form, IDC_picQuit), IDC_cmdQuit),
                  L"&" + Text(158, language.number));
        EXPECT_EQ(ItemText(GetDlgItem(form, IDC_picAbout), IDC_cmdAbout),
                  L"&" + Text(171, language.number));
        EXPECT_EQ(ItemText(GetDlgItem(form, IDC_picDescription), IDC_cmdDescription), L"");
        EXPECT_EQ(ItemText(form, IDC_lblStatus), Text(159, language.number));
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(form, IDC_pbProgress)));
        ShotIf(language, form, "waiting");

        // The About box, while the window waits for the device.
        if (language.number == 0) {
            Click(BoxButton(form, IDC_picAbout, IDC_cmdAbout));
            HWND about = AwaitDialog(window.Id(), Widen("About " + name));
            ASSERT_NE(about, nullptr);
            const std::wstring version = std::to_wstring(fieldprog_version::kMajor) + L"." +
                                         std::to_wstring(fieldprog_version::kMinor) + L"." +
                                         std::to_wstring(fieldprog_version::kRevision);
            EXPECT_EQ(ItemText(about, IDC_lblVersion), version);
            EXPECT_EQ(ItemText(about, IDC_lblSubVersion).front(), L'(');
            ShotIf(language, about, "about");
            Click(GetDlgItem(about, IDOK));
            ASSERT_TRUE(Await([&] { return !IsWindow(about); }));
        }

        // The device's button: clear, transfer, success, and the window waits for the next one.
        emulator.Press();
        HWND bar = GetDlgItem(form, IDC_pbProgress);
        EXPECT_TRUE(Await([&] {
            return IsWindowVisible(bar) && SendMessageW(bar, PBM_GETPOS, 0, 0) >= 40;
        })) << "the transfer's progress never showed";
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(form, IDC_picQuit)));
        ShotIf(language, form, "working");
        EXPECT_TRUE(Has(emulator.Await("EXPECT"), "DEVICE 1 EXPECT MATCH"));
        EXPECT_TRUE(Await([&] { return IsWindowVisible(GetDlgItem(form, IDC_picQuit)) != FALSE; }));
        EXPECT_EQ(ItemText(form, IDC_lblStatus), Text(159, language.number));
        Quit(form, window);
    }
    // Run again with a device that refuses to clear its flash.
    Emulator refusing(folder, kCom, "--press-after-ms -1 --refuse C");
    ASSERT_TRUE(refusing.Started());
    Program window(folder, "\"" + downloader + "\"", "again");
    const HWND form = OpenOnCom3(window, language, name, false);
    ASSERT_NE(form, nullptr);
    refusing.Press();
    ExpectFailureOffersReset(form, 170, language.number);
    ShotIf(language, form, "failed");
    Quit(form, window);
}

// The window that has the keyboard focus in the thread of `window`.
HWND FocusOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
    return info.hwndFocus;
}

// Keys as the focused control of `window` receives them.
void Key(HWND window, UINT message, WPARAM key) {
    PostMessageW(FocusOf(window), message, key, message == WM_SYSCHAR ? 1 << 29 : 0);
}

// A technician whose adaptor is COM 7 and whose machine has no COM 1 to COM 4: the German
// dialog offers COM 7 below the four, preselected and focused, in German only; Enter takes it
// and the device is programmed; Alt plus the first letter of "Beendet" quits.
class WindowOnCom7Test : public WindowUnderWineTest {};

TEST_F(WindowOnCom7Test, KeyboardAloneProgramsADevice) {
    const Language& language = kLanguages[2];
    const std::string prefix = std::getenv("WINEPREFIX") ? std::getenv("WINEPREFIX") : "";
    ASSERT_TRUE(Has(folder.OnHost("absent", "for n in 1 2 3 4; do l='" + prefix +
                                                "/dosdevices/com'$n; case \"$(readlink \"$l\")\" "
                                                "in /dev/ttyS*) rm -f \"$l\";; esac; done"),
                    "status 0"));
    ASSERT_TRUE(FileSystem::WriteWholeFile(folder / "FW.BIN", MakeBin(300, 9)));
    ASSERT_EQ(Build("Tastatur", language), 0);
    Emulator emulator(folder, 7, "--press-after-ms -1 --expect '" + folder.Host("FW.BIN") + "'");
    ASSERT_TRUE(emulator.Started());
    Program window(folder, "\"" + (folder / "Tastatur.exe") + "\"", "window");

    HWND ports = AwaitDialog(window.Id(), Text(169, 2));
    ASSERT_NE(ports, nullptr);
    HWND com7 = GetDlgItem(ports, IDC_optComMore0);
    EXPECT_EQ(ItemText(ports, IDC_optComMore0), L"Com 7");
    EXPECT_EQ(ItemText(ports, IDC_lblOtherPorts), L"Weitere Schnittstellen:");
    EXPECT_EQ(ItemText(ports, IDC_lblDeviceMore0), L"Serielle Schnittstelle");
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(IsWindowEnabled(GetDlgItem(ports, IDC_optCom0 + i)));
    EXPECT_EQ(SendMessageW(com7, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_TRUE(Await([&] { return FocusOf(ports) == com7; }));
    const std::wstring notes = ItemText(ports, IDC_lblNotes);
    EXPECT_NE(notes.find(L"Gerät nicht vorhanden"), std::wstring::npos) << Narrow(notes);
    EXPECT_EQ(notes.find(L"("), std::wstring::npos)
        << "the system's English words: " << Narrow(notes);
    Shot(ports, "port-dialog-com7-de");
    Key(ports, WM_KEYDOWN, VK_RETURN);
    HWND form = AwaitDialog(window.Id(), L"Tastatur - COM 7");
    ASSERT_NE(form, nullptr) << "Enter did not take COM 7";

    emulator.Press();
    EXPECT_TRUE(Has(emulator.Await("EXPECT"), "DEVICE 1 EXPECT MATCH"));
    // After the transfer the focus is back on a button the keyboard can use.
    EXPECT_TRUE(Await([&] {
        HWND focus = FocusOf(form);
        return ItemText(form, IDC_lblStatus) == Text(159, 2) && focus != nullptr &&
               IsWindowVisible(focus) && IsWindowEnabled(focus);
    }));
    Key(form, WM_SYSCHAR, 'b');
    EXPECT_EQ(window.Wait(kPatienceMs), 0);
}

// fieldprog.exe itself carries no binary file: it asks for one with the common file dialog,
// and cancelling that is a failure that offers Reset.
class WindowWithoutPayloadTest : public WindowUnderWineTest {};

TEST_F(WindowWithoutPayloadTest, AsksForABinaryFileAndCancellingOffersReset) {
    const Language& language = kLanguages[0];
    Emulator emulator(folder, kCom, "--press-after-ms -1");
    ASSERT_TRUE(emulator.Started());
    Program window(folder, "\"" + ProgramFolder() + "fieldprog.exe\"", "window");
    const HWND form = OpenOnCom3(window, language, "fieldprog", false);
    ASSERT_NE(form, nullptr);
    HWND files = AwaitDialog(window.Id(), L"Select Binary File");
    ASSERT_NE(files, nullptr) << "no file dialog";
    Click(GetDlgItem(files, IDCANCEL));
    ExpectFailureOffersReset(form, 163, 0);
    Quit(form, window);
}

INSTANTIATE_TEST_SUITE_P(Languages, WindowUnderWineTest, ::testing::ValuesIn(kLanguages),
                         [](const ::testing::TestParamInfo<Language>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
