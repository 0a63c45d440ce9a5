#pragma once

// What the window tests share: downloader files with a payload, a watcher that answers modal
// dialogs, a main window on a silent fake port in virtual time, and the emulator process.

#include <QAbstractButton>
#include <QByteArray>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "FakeSerialPort.h"
#include "frmFieldProg.h"

// A recognisable binary image of `size` bytes.
QByteArray SampleImage(int size);

// Writes `folder`/`exeName`: a stand-in executable followed by a payload holding the binary
// file (unless `binaryName` is empty) and README.TXT (unless `readme` is null).
QString MakeDownloader(const QString& folder, const QString& exeName, const QString& binaryName,
                       const QByteArray& binary, const char* readme);

// Runs `action` on a later turn of the event loop (the window's waits let it run).
void Post(QObject* context, std::function<void()> action);

// Answers modal windows as they appear. One no handler takes is rejected and listed in
// `unexpected`, so a test fails instead of hanging.
class ModalWatcher : public QObject {
  public:
    ModalWatcher();
    template <class T>
    void On(std::function<void(T*)> handler) {
        handlers_.push_back([handler](QWidget* w) {
            auto* typed = qobject_cast<T*>(w);
            if (typed) handler(typed);
            return typed != nullptr;
        });
    }
    QStringList seen;  // class names of the modal windows met, in order
    QStringList unexpected;

  private:
    QTimer timer_;
    QList<QPointer<QWidget>> met_;
    std::vector<std::function<bool(QWidget*)>> handlers_;
};

// Virtual time that also runs actions at given moments ("the user clicks Quit at 3 s").
class ScheduledClock : public VirtualClock {
  public:
    void At(std::int64_t atMs, std::function<void()> action) {
        actions_.push_back({atMs, std::move(action)});
    }
    void SleepMs(std::int64_t ms) override;

  private:
    std::vector<std::pair<std::int64_t, std::function<void()>>> actions_;
};

// The main window on a fake port where nothing ever answers; only `freePorts` open.
class Bench {
  public:
    Bench();
    ~Bench();
    frmFieldProg& Form(int language, std::set<int> freePorts = {1, 2, 3, 4});
    frmFieldProg& Form(const QString& downloader, std::set<int> freePorts = {1, 2, 3, 4});
    void ChoosePort(int port);  // answers the port dialog
    void ClickAt(std::int64_t atMs, QAbstractButton* button);

    QTemporaryDir dir;
    std::shared_ptr<ScheduledClock> clock = std::make_shared<ScheduledClock>();
    ModalWatcher modals;
    int openedPort = 0;
    std::unique_ptr<frmFieldProg> form;
};

// fieldprog-emu on a pseudo-terminal. COM 2 is mapped to it, COM 1, 3 and 4 to nothing.
class Emulator : public QObject {
  public:
    explicit Emulator(const QStringList& args);
    ~Emulator() override;
    QString ResultText() const { return lines.join(QLatin1Char('\n')); }
    QString path;
    QStringList lines;  // result lines, as they arrive

  private:
    QProcess process_;
};
