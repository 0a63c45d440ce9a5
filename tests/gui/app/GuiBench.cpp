#include "GuiBench.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>

#include "ZelPayload.h"
#include "clsTiming.h"
#include "frmComport.h"

namespace {

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

class BenchPort : public FakeSerialPort {
  public:
    BenchPort(std::shared_ptr<VirtualClock> clock, std::set<int> freePorts, int& opened)
        : FakeSerialPort(std::move(clock)), free_(std::move(freePorts)), opened_(opened) {}
    bool Open(int comPort) override {
        if (free_.count(comPort) == 0 || !FakeSerialPort::Open(comPort)) return false;
        opened_ = comPort;
        return true;
    }

  private:
    std::set<int> free_;
    int& opened_;
};

}  // namespace

QByteArray SampleImage(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    return bytes;
}

QString MakeDownloader(const QString& folder, const QString& exeName, const QString& binaryName,
                       const QByteArray& binary, const char* readme) {
    const QString sources = folder + QStringLiteral("/src-") + exeName;
    QDir().mkpath(sources);
    std::vector<std::string> files;
    if (!binaryName.isEmpty())
        files.push_back((sources + QLatin1Char('/') + binaryName).toStdString());
    if (readme != nullptr) files.push_back((sources + QStringLiteral("/README.TXT")).toStdString());
    const QString output = folder + QLatin1Char('/') + exeName;
    QFile::remove(output);
    ZelPayload payload;
    const bool written =
        WriteFile(sources + QStringLiteral("/stub"),
                  "\x7f"
                  "ELF stand-in\n") &&
        (binaryName.isEmpty() || WriteFile(QString::fromStdString(files.front()), binary)) &&
        (readme == nullptr || WriteFile(QString::fromStdString(files.back()), readme)) &&
        payload.BuildPayload((sources + QStringLiteral("/stub")).toStdString(), files,
                             output.toStdString());
    return written ? output : QString();
}

void Post(QObject* context, std::function<void()> action) {
    QMetaObject::invokeMethod(context, std::move(action), Qt::QueuedConnection);
}

ModalWatcher::ModalWatcher() {
    timer_.setInterval(5);
    connect(&timer_, &QTimer::timeout, this, [this] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible() || met_.contains(modal)) return;
        met_.append(modal);
        seen.append(QString::fromLatin1(modal->metaObject()->className()));
        for (const auto& handler : handlers_) {
            if (handler(modal)) return;
        }
        unexpected.append(seen.last());
        if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
    });
    timer_.start();
}

void ScheduledClock::SleepMs(std::int64_t ms) {
    VirtualClock::SleepMs(ms);
    for (std::size_t i = 0; i < actions_.size();) {
        if (actions_[i].first > NowMs()) {
            ++i;
            continue;
        }
        auto action = std::move(actions_[i].second);
        actions_.erase(actions_.begin() + static_cast<std::ptrdiff_t>(i));
        action();
    }
}

Bench::Bench() {
    clsTiming::InstallClock(clock);
    QDir().mkpath(dir.path() + QStringLiteral("/tmp"));
    qputenv("TMPDIR", (dir.path() + QStringLiteral("/tmp")).toLocal8Bit());
}

Bench::~Bench() {
    form.reset();
    clsTiming::InstallClock(nullptr);
    qunsetenv("TMPDIR");
}

frmFieldProg& Bench::Form(int language, std::set<int> freePorts) {
    const QByteArray record =
        "CC46-EURO,00" + QByteArray::number(language) + ",Euro coin set,BLANK\r\n";
    return Form(
        MakeDownloader(dir.path(), QStringLiteral("CC46-EURO.exe"), QStringLiteral("CC46-EURO.BIN"),
                       SampleImage(300), record.constData()),
        std::move(freePorts));
}

frmFieldProg& Bench::Form(const QString& downloader, std::set<int> freePorts) {
    form = std::make_unique<frmFieldProg>();
    form->ExecutablePath = downloader.toStdString();
    form->MakePort = [this, freePorts] {
        return std::make_unique<BenchPort>(clock, freePorts, openedPort);
    };
    // A run that never ends would hang the suite: close the window after a long virtual time.
    frmFieldProg* window = form.get();
    clock->At(3600 * 1000, [window] { Post(window, [window] { window->close(); }); });
    return *form;
}

void Bench::ChoosePort(int port) {
    modals.On<frmComport>([port](frmComport* dialog) {
        dialog->optCom[port - 1]->click();
        dialog->cmdOK->click();
    });
}

void Bench::ClickAt(std::int64_t atMs, QAbstractButton* button) {
    clock->At(atMs, [button] { Post(button, [button] { button->click(); }); });
}

Emulator::Emulator(const QStringList& args) {
    process_.start(QStringLiteral(FIELDPROG_EMU), args);
    while (path.isEmpty() && process_.waitForReadyRead(10000)) {
        while (process_.canReadLine()) {
            const QString line = QString::fromLocal8Bit(process_.readLine()).trimmed();
            if (line.startsWith(QLatin1String("PORT "))) path = line.mid(5);
        }
    }
    connect(&process_, &QProcess::readyReadStandardOutput, this, [this] {
        while (process_.canReadLine())
            lines << QString::fromLocal8Bit(process_.readLine()).trimmed();
    });
    for (int n : {1, 3, 4})
        qputenv(qPrintable(QStringLiteral("FIELDPROG_COM%1").arg(n)), "/nonexistent/com");
    qputenv("FIELDPROG_COM2", path.toLocal8Bit());
}

Emulator::~Emulator() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
}
