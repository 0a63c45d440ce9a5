#pragma once

// A download view recording each call as a line ("status: ..."), running clicks at the next turn.

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "DownloadSequence.h"
#include "DownloadView.h"
#include "SettingsStore.h"

// A user profile that can be neither read nor written.
struct NoSettings : SettingsStore {
    bool Read(const std::string&, std::string&) override { return false; }
    bool Write(const std::string&, const std::string&) override { return false; }
};

class RecordingView : public DownloadView {
  public:
    std::vector<std::string> log;
    std::vector<DeviceResult> results;
    int chosenPort = 1;
    std::vector<PortChoice> offered;
    std::string chosenFile;  // empty: the file dialog is cancelled
    int wanted = 1000;       // devices a headless front end asks for
    bool stop = false;
    DownloadSequence* sequence = nullptr;

    // Runs `action` at the next turn of the message loop, as a user's click would.
    void Soon(std::function<void()> action) { soon_.push_back(std::move(action)); }
    bool Has(const std::string& line) const {
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    std::string Last(const std::string& prefix) const {
        for (auto it = log.rbegin(); it != log.rend(); ++it)
            if (it->compare(0, prefix.size(), prefix) == 0) return *it;
        return {};
    }

    void SetCaption(const std::string& t) override { Log("caption: " + t); }
    void SetStatus(const std::string& t) override { Log("status: " + t); }
    void SetButtonCaption(Button b, const std::string& t) override {
        Log("button " + std::to_string(static_cast<int>(b)) + ": " + t);
    }
    void ShowButtons(bool v) override { Log(v ? "buttons shown" : "buttons hidden"); }
    void EnableQuit(bool e) override { Log(e ? "quit enabled" : "quit disabled"); }
    void ShowBars(bool v) override { Log(v ? "bars shown" : "bars hidden"); }
    void SetBar(Bar b, int v) override {
        Log((b == Bar::Clear ? "clear bar " : "bar ") + std::to_string(v));
    }
    void ShowPicture(int p) override { Log("picture " + std::to_string(p)); }
    void SetBusyTimer(bool r) override { Log(r ? "timer on" : "timer off"); }
    int ChoosePort(const std::string& title, const std::string& ok,
                   const std::vector<PortChoice>& ports, const std::string& otherPorts) override {
        offered = ports;
        Log("port dialog: " + title + "|" + ok + "|" + otherPorts);
        return chosenPort;
    }
    bool ChooseBinaryFile(const std::string& title, const std::string&,
                          std::string& path) override {
        Log("file dialog: " + title);
        path = chosenFile;
        return !path.empty();
    }
    void ShowMessage(const std::string& caption, const std::string& text) override {
        Log("message: " + caption + "|" + text);
    }
    void ShowAbout(const std::string& p, const std::string& v, const std::string& s) override {
        Log("about: " + p + "|" + v + "|" + s);
    }
    void ShowWindow() override { Log("shown"); }
    void CloseMainWindow() override {
        Log("closed");
        sequence->Form_Unload();
    }
    void CloseOtherWindows() override {}
    void DoEvents() override {
        for (auto& action : std::exchange(soon_, {})) action();
    }
    bool StopRequested() override { return stop; }
    bool DeviceWanted() override { return wanted-- > 0; }
    void DeviceEnded(DeviceResult r) override {
        results.push_back(r);
        if (onEnded) onEnded(r);
    }
    std::function<void(DeviceResult)> onEnded;
    std::function<void(const std::string&)> onLine;  // sees every line as it is logged
    void QuitSoon() {
        Soon([this] { sequence->cmdQuit_Click(); });
    }

  private:
    void Log(const std::string& line) {
        log.push_back(line);
        if (onLine) onLine(line);
    }
    std::vector<std::function<void()>> soon_;
};
