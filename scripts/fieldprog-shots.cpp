// Renders the main window in its typical states, and the two dialogs, to PNG files:
//   fieldprog-shots <output folder>
//   fieldprog-shots --ten-ports <output folder>   the German port dialog with ten ports only
//                                                 (run on a 200 % screen of 1024 x 768)
// The device is the emulator on a pseudo-terminal, so every picture shows a real run.

#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <cstdio>

#include "GuiBench.h"
#include "Version.h"
#include "frmAbout.h"

namespace {

QString outputFolder;
int failures = 0;

void Save(QWidget* window, const QString& name) {
    QApplication::processEvents();
    const QString path = outputFolder + '/' + name + ".png";
    const bool saved = window->grab().save(path);
    std::fprintf(saved ? stdout : stderr, saved ? "%s\n" : "fieldprog-shots: cannot write %s\n",
                 qPrintable(path));
    failures += saved ? 0 : 1;
}

// One run of the window against the emulator, saved as soon as `ready` says yes (asked every
// 20 ms) and then closed; a run that ends by itself (a failure) is saved when it returns.
void Shoot(const QString& name, int language, std::vector<std::string> emuArgs, int imageSize,
           const std::function<bool(frmFieldProg&)>& ready) {
    TempDir dir;
    emuArgs.insert(emuArgs.begin(), {"--pages", "0040", "--page-ms", "2", "--stay"});
    EmuProcess emu(emuArgs);
    if (emu.Port().empty()) {
        std::fprintf(stderr, "fieldprog-shots: the emulator did not start\n");
        return void(++failures);
    }
    frmFieldProg form;
    bool saved = false;
    RunOnEmulator(form, dir.Path(), emu.Port(), BinImage(imageSize), language, [&] {
        if (saved || !form.isVisible() || !ready(form)) return;
        saved = true;
        Save(&form, name);
        form.close();
    });
    if (!saved) Save(&form, name);
    if (form.IsLoaded()) form.close();
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const bool tenPorts = argc == 3 && QByteArray(argv[1]) == "--ten-ports";
    if (argc != 2 && !tenPorts) {
        std::fprintf(stderr, "usage: fieldprog-shots [--ten-ports] <output folder>\n");
        return 2;
    }
    outputFolder = QString::fromLocal8Bit(argv[argc - 1]);
    QDir().mkpath(outputFolder);
    if (tenPorts) {
        // Adaptors, a held built-in port, one closed to the user and one not answering; COM 6
        // programmed the last device.
        frmComport ten;
        const auto said = [](PortOpenStatus status, const char* device, const char* holder) {
            PortOpenResult result;
            result.status = status;
            result.device = device;
            result.holder = holder;
            result.accessGroup = "dialout";
            return DescribePortOpen(result, 200);
        };
        const std::string why[10] = {"",
                                     "",
                                     "",
                                     said(PortOpenStatus::Busy, "/dev/ttyS0", "PID 4242 (minicom)"),
                                     "",
                                     "",
                                     said(PortOpenStatus::NoPermission, "/dev/ttyS1", ""),
                                     said(PortOpenStatus::NotAnswering, "/dev/rfcomm0", ""),
                                     "",
                                     ""};
        const char* devices[10] = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0", "/dev/ttyS0",
                                   "/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/ttyS1",   "/dev/rfcomm0",
                                   "/dev/ttyS2",   "/dev/ttyS3"};
        for (int n = 5; n <= 10; ++n) ten.AddPort(n, "Weitere Schnittstellen:");
        for (int i = 0; i < 10; ++i) ten.ShowPortDetails(i, devices[i], why[i]);
        ten.SetupForm(5, "1,2,3,5,6,9,10", "Wählen Sie bitte einen Kommunikationkanal aus.", "OK");
        ten.show();
        Save(&ten, "port-dialog-ten-de-200");
        return failures == 0 ? 0 : 1;
    }

    const auto shown = [](frmFieldProg&) { return true; };
    const auto never = [](frmFieldProg&) { return false; };
    Shoot("main-waiting", 0, {"--press-after-ms", "-1"}, 300, shown);
    Shoot("main-waiting-de", 2, {"--press-after-ms", "-1"}, 300, shown);
    Shoot("main-working", 0, {"--baud", "9600"}, 4096, [](frmFieldProg& form) {
        return !form.pbProgress->isHidden() && form.pbProgress->value() >= 50 &&
               form.CurrentPicture() == 2;
    });
    Shoot("main-failed", 0, {"--nak-at", "3"}, 1024, never);
    Shoot("main-failed-de", 2, {"--nak-at", "3"}, 1024, never);

    frmComport dialog;
    dialog.SetupForm(0, "2,3", "Please select a Comm Port.", "OK");
    dialog.show();
    Save(&dialog, "port-dialog");
    frmAbout about;
    const QString version = QStringLiteral("%1.%2.%3")
                                .arg(fieldprog_version::kMajor)
                                .arg(fieldprog_version::kMinor)
                                .arg(fieldprog_version::kRevision);
    about.lblVersion->setText(version);
    about.lblSubVersion->setText('(' + version + ')');
    about.setWindowTitle("About CC46-EURO");
    about.show();
    Save(&about, "about");
    return failures == 0 ? 0 : 1;
}
