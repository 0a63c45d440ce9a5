#pragma once

// Shared by the window test and the screenshot tool: modal watcher, bench, emulator runs.

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <functional>
#include <map>
#include <set>

#include "EmuProcess.h"
#include "FakeDevice.h"
#include "Images.h"
#include "TestFiles.h"
#include "frmComport.h"
#include "frmFieldProg.h"

// Answers modal windows as they appear; one that no handler takes is rejected and listed.
class ModalWatcher : public QObject {
  public:
    ModalWatcher() {
        connect(&timer_, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr || !modal->isVisible() || met_.contains(modal)) return;
            met_.append(modal);
            for (const auto& handler : handlers_)
                if (handler(modal)) return;
            unexpected.append(modal->metaObject()->className());
            if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
        });
        timer_.start(5);
    }
    template <class T>
    void On(std::function<void(T*)> handler) {
        handlers_.push_back([handler](QWidget* w) {
            auto* typed = qobject_cast<T*>(w);
            if (typed) handler(typed);
            return typed != nullptr;
        });
    }
    QStringList unexpected;  // class names of the modal windows no handler took

  private:
    QTimer timer_;
    QList<QPointer<QWidget>> met_;
    std::vector<std::function<bool(QWidget*)>> handlers_;
};

// Virtual time that also runs actions at given moments ("the user clicks Quit at 3 s").
class ScheduledClock : public VirtualClock {
  public:
    void At(std::int64_t atMs, std::function<void()> action) { due_.emplace(atMs, action); }
    void SleepMs(std::int64_t ms) override {
        VirtualClock::SleepMs(ms);
        while (!due_.empty() && due_.begin()->first <= NowMs()) {
            auto action = std::move(due_.begin()->second);
            due_.erase(due_.begin());
            action();  // may add actions
        }
    }

  private:
    std::multimap<std::int64_t, std::function<void()>> due_;
};

// The main window on the scripted device, in virtual time.
class Bench {
  public:
    Bench() { clsTiming::InstallClock(clock); }
    ~Bench() {
        form.reset();
        clsTiming::InstallClock(nullptr);
    }
    // The window on a downloader naming `language` (or `downloader`); ports in `held` are taken.
    frmFieldProg& Form(int language, std::set<int> held = {}, std::string downloader = {}) {
        if (downloader.empty()) downloader = MakeDownloader(dir.Path(), BinImage(300), language);
        form = std::make_unique<frmFieldProg>();
        form->ExecutablePath = downloader;
        form->MakePort = [this, held] { return line.MakePort(held); };
        ClickAt(3600 * 1000, nullptr);  // a run that never ended would hang the suite
        return *form;
    }
    // Clicks `button` (none: the close box) at `atMs`, on a later turn of the event loop.
    void ClickAt(std::int64_t atMs, QAbstractButton* button) {
        frmFieldProg* w = form.get();
        clock->At(atMs, [=] {
            QMetaObject::invokeMethod(
                w, [=] { button ? button->click() : void(w->close()); }, Qt::QueuedConnection);
        });
    }

    TempDir dir;  // made before the temporary folder is replaced
    TempFolderScope tmp;
    std::shared_ptr<ScheduledClock> clock = std::make_shared<ScheduledClock>();
    FakeLine line{clock};
    ModalWatcher modals;
    std::unique_ptr<frmFieldProg> form;
};

// Loads `form` on the emulator behind COM 2 alone; false unless offered so, with no modal unasked.
inline bool RunOnEmulator(frmFieldProg& form, const std::string& folder, const std::string& port,
                          const Bytes& image, int language, const std::function<void()>& watch) {
    ScopedEnv com1("FIELDPROG_COM1", "/nonexistent/com"), com2("FIELDPROG_COM2", port),
        com3("FIELDPROG_COM3", "/nonexistent/com"), com4("FIELDPROG_COM4", "/nonexistent/com");
    form.ExecutablePath = MakeDownloader(folder, image, language);
    ModalWatcher modals;
    bool offered = false;
    modals.On<frmComport>([&](frmComport* dialog) {
        offered = !dialog->optCom[0]->isEnabled() && dialog->optCom[1]->isEnabled();
        dialog->optCom[1]->click();
        dialog->cmdOK->click();
    });
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, watch);
    timer.start(20);
    form.Form_Load();
    return offered && modals.unexpected.isEmpty();
}
