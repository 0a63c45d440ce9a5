// The main window on a real serial port and the real clock: the emulator on a pseudo-terminal
// behind COM 2 programs two devices in a row and checks each image byte for byte, while the
// window shows the bars and then waits for the next device.

#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QtTest>
#include <csignal>

#include "GuiBench.h"

class tst_fieldprog_emu : public QObject {
    Q_OBJECT
  private slots:
    void twoDevicesInARowGetTheSameImage();
    void resetAfterTheLineCameBackProgramsTheDevice();
};

void tst_fieldprog_emu::twoDevicesInARowGetTheSameImage() {
    TempDir dir;
    const Bytes image = BinImage(700);
    WriteBytes(dir / "expect.bin", Text(image));
    EmuProcess emu({"--pages", "0040", "--page-ms", "1", "--devices", "2", "--next-device-ms",
                    "300", "--stay", "--expect", dir / "expect.bin"});
    QVERIFY(!emu.Port().empty());
    TempFolderScope tmp;  // the window's transfer files, and nothing else, go here

    frmFieldProg form;
    int clearBar = 0, mainBar = 0;
    bool waitingBetween = false, buttonsHidden = true;
    QVERIFY(RunOnEmulator(form, dir.Path(), emu.Port(), image, 0, [&] {
        const QString results = QString::fromStdString(emu.Process().Stdout());
        // The buttons make way for the bars (once the window is up: before, nothing is hidden).
        if (form.isVisible() && !form.pbProgress->isHidden()) {
            clearBar = qMax(clearBar, form.pbProgressClear->value());
            mainBar = qMax(mainBar, form.pbProgress->value());
            buttonsHidden = buttonsHidden && form.picQuit->isHidden();
        }
        if (results.contains("DEVICE 1 EXPECT") && !results.contains("DEVICE 2") &&
            form.pbProgress->isHidden() && !form.picQuit->isHidden() && form.CurrentPicture() == 1)
            // with the focus on a button the keyboard can use
            waitingBetween =
                waitingBetween || (form.focusWidget() && form.focusWidget()->isVisible());
        if (results.contains("DEVICE 2 EXPECT") && form.isVisible()) form.close();
    }));

    const QString results =
        QString::fromStdString(emu.Finish()) + "\nstatus: " + form.lblStatus->text();
    QVERIFY2(results.contains("DEVICE 1 EXPECT MATCH"), qPrintable(results));
    QVERIFY2(results.contains("DEVICE 2 EXPECT MATCH"), qPrintable(results));
    QVERIFY(waitingBetween && buttonsHidden);
    QCOMPARE(clearBar, 100);
    QCOMPARE(mainBar, 100);
    QCOMPARE(form.windowTitle(), "CC46-EURO - COM 2");
    QCOMPARE(tmp.Entries(), 0);
}

// The adaptor is pulled out while the window waits: the wait fails at once. Once it is plugged
// in again at the same path, Reset opens the port again and programs the next device.
void tst_fieldprog_emu::resetAfterTheLineCameBackProgramsTheDevice() {
    TempDir dir;
    const Bytes image = BinImage(700);
    WriteBytes(dir / "expect.bin", Text(image));
    EmuProcess emu({"--link", dir / "ttyFP", "--press-after-ms", "-1", "--devices", "0",
                    "--unplug-ms", "500", "--expect", dir / "expect.bin"});
    QVERIFY(!emu.Port().empty());
    frmFieldProg form;
    bool pulled = false;
    QVERIFY(RunOnEmulator(form, dir.Path(), dir / "ttyFP", image, 0, [&] {
        if (!pulled && form.isVisible()) emu.Process().Signal(SIGUSR2);
        pulled = pulled || form.isVisible();
    }));
    QVERIFY(form.ResetPending());
    QVERIFY(emu.Process().WaitForStdout("UNPLUGGED\nPORT ", 30000));

    QTimer press;
    QObject::connect(&press, &QTimer::timeout, [&] {
        const std::string results = emu.Process().Stdout();
        if (results.find("EXPECT") != std::string::npos) {
            form.close();
        } else if (form.pbProgress->isHidden()) {
            emu.Press();  // until the device answers
        }
    });
    press.start(500);
    ScopedEnv com2("FIELDPROG_COM2", dir / "ttyFP");
    form.cmdDescription->click();
    const QString results = QString::fromStdString(emu.Finish());
    QVERIFY2(results.contains("EXPECT MATCH"), qPrintable(results));
}

QTEST_MAIN(tst_fieldprog_emu)
#include "tst_fieldprog_emu.moc"
