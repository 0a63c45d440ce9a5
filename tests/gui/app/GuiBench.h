#pragma once

// What the window tests share: a downloader carrying a payload, a watcher that answers modal
// dialogs, the main window on a silent fake port in virtual time, and the emulator process.

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <set>

#include "FakeSerialPort.h"
#include "ZelPayload.h"
#include "frmComport.h"
#include "frmFieldProg.h"

// The waiting window's status text in English.
inline const QString kPress = "Press the button on the top of the Field Programmer to download.";

// A .BIN image: six zero bytes, the data count high byte first, then the data.
inline QByteArray SampleImage(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 8; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    bytes[6] = static_cast<char>((size - 8) >> 8);
    bytes[7] = static_cast<char>((size - 8) & 0xFF);
    return bytes;
}

// `folder`/CC46-EURO.exe: a stand-in executable followed by a payload holding CC46-EURO.BIN
// and a README.TXT whose record names `language`.
inline QString MakeDownloader(const QString& folder, const QByteArray& binary, int language) {
    const std::pair<QString, QByteArray> files[] = {
        {"stub",
         "\x7f"
         "ELF stand-in\n"},
        {"CC46-EURO.BIN", binary},
        {"README.TXT", "CC46-EURO,00" + QByteArray::number(language) + ",Euro coin set,BLANK\r\n"}};
    QDir().mkpath(folder + "/src");
    std::vector<std::string> paths;
    for (const auto& [name, bytes] : files) {
        QFile file(folder + "/src/" + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) return {};
        paths.push_back(file.fileName().toStdString());
    }
    const QString output = folder + "/CC46-EURO.exe";
    const std::string stub = paths.front();
    paths.erase(paths.begin());
    return ZelPayload().BuildPayload(stub, paths, output.toStdString()) ? output : QString();
}

// Runs `action` on a later turn of the event loop (the window's waits let it run).
inline void Post(QObject* context, std::function<void()> action) {
    QMetaObject::invokeMethod(context, std::move(action), Qt::QueuedConnection);
}

// Answers modal windows as they appear. One that no handler takes is rejected and listed in
// `unexpected`, so a test fails instead of hanging.
class ModalWatcher : public QObject {
  public:
    ModalWatcher() {
        connect(&timer_, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr || !modal->isVisible() || met_.contains(modal)) return;
            met_.append(modal);
            seen.append(modal->metaObject()->className());
            for (const auto& handler : handlers_)
                if (handler(modal)) return;
            unexpected.append(seen.last());
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
    void SleepMs(std::int64_t ms) override {
        VirtualClock::SleepMs(ms);
        for (auto due = Due(); due != actions_.end(); due = Due()) {
            auto action = std::move(due->second);
            actions_.erase(due);
            action();  // may add actions
        }
    }

  private:
    using Actions = std::vector<std::pair<std::int64_t, std::function<void()>>>;
    Actions::iterator Due() {
        return std::find_if(actions_.begin(), actions_.end(),
                            [this](const auto& a) { return a.first <= NowMs(); });
    }
    Actions actions_;
};

// The main window on a fake port where nothing ever answers and only `freePorts` open.
class Bench {
  public:
    Bench() {
        clsTiming::InstallClock(clock);
        QDir().mkpath(dir.path() + "/tmp");
        qputenv("TMPDIR", (dir.path() + "/tmp").toLocal8Bit());
    }
    ~Bench() {
        form.reset();
        clsTiming::InstallClock(nullptr);
        qunsetenv("TMPDIR");
    }
    // The window on a downloader whose record names `language`, or on `downloader` if given.
    frmFieldProg& Form(int language, std::set<int> freePorts = {1, 2, 3, 4},
                       QString downloader = {}) {
        if (downloader.isEmpty())
            downloader = MakeDownloader(dir.path(), SampleImage(300), language);
        form = std::make_unique<frmFieldProg>();
        form->ExecutablePath = downloader.toStdString();
        form->MakePort = [this, freePorts] { return std::make_unique<Port>(*this, freePorts); };
        ClickAt(3600 * 1000, nullptr);  // a run that never ended would hang the suite
        return *form;
    }
    void ChoosePort(int port) {
        modals.On<frmComport>([port](frmComport* dialog) {
            dialog->optCom[port - 1]->click();
            dialog->cmdOK->click();
        });
    }
    // Clicks `button` at virtual time `atMs`; no button means the window's close box.
    void ClickAt(std::int64_t atMs, QAbstractButton* button) {
        frmFieldProg* window = form.get();
        clock->At(atMs,
                  [=] { Post(window, [=] { button ? button->click() : void(window->close()); }); });
    }

    QTemporaryDir dir;
    std::shared_ptr<ScheduledClock> clock = std::make_shared<ScheduledClock>();
    ModalWatcher modals;
    int openedPort = 0;
    std::unique_ptr<frmFieldProg> form;

  private:
    struct Port : FakeSerialPort {
        Port(Bench& b, std::set<int> f) : FakeSerialPort(b.clock), bench(b), free(std::move(f)) {}
        PortOpenResult Open(int comPort) override {
            if (free.count(comPort) == 0) return PortOpenResult{};
            PortOpenResult result = FakeSerialPort::Open(comPort);
            if (result.Opened()) bench.openedPort = comPort;
            return result;
        }
        Bench& bench;
        std::set<int> free;
    };
};

// fieldprog-emu on a pseudo-terminal. COM 2 is mapped to it, COM 1, 3 and 4 to nothing.
class Emulator : public QObject {
  public:
    explicit Emulator(const QStringList& args) {
        process_.start(FIELDPROG_EMU, args);
        while (path.isEmpty() && process_.waitForReadyRead(10000)) {
            while (process_.canReadLine()) {
                const QString line = QString::fromLocal8Bit(process_.readLine()).trimmed();
                if (line.startsWith("PORT ")) path = line.mid(5);
            }
        }
        connect(&process_, &QProcess::readyReadStandardOutput, this,
                [this] { results += QString::fromLocal8Bit(process_.readAllStandardOutput()); });
        for (const char* unmapped : {"FIELDPROG_COM1", "FIELDPROG_COM3", "FIELDPROG_COM4"})
            qputenv(unmapped, "/nonexistent/com");
        qputenv("FIELDPROG_COM2", path.toLocal8Bit());
    }
    ~Emulator() override {
        process_.terminate();
        if (!process_.waitForFinished(5000)) process_.kill();
        process_.waitForFinished(5000);
    }
    QString path;
    QString results;  // the result lines that have arrived

  private:
    QProcess process_;
};

// Loads `form` on the emulator behind COM 2 with a downloader carrying `image`; `watch` runs
// every 20 ms meanwhile. False when COM 2 alone was not offered or a modal window came unasked.
inline bool RunOnEmulator(frmFieldProg& form, const QString& folder, const QByteArray& image,
                          int language, const std::function<void()>& watch) {
    form.ExecutablePath = MakeDownloader(folder, image, language).toStdString();
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
