// The main window on a real serial port and the real clock: the emulator on a pseudo-terminal
// behind COM 2 programs two devices in a row and checks each image byte for byte, while the
// window shows the bars and then waits for the next device.

#include <QLabel>
#include <QProgressBar>
#include <QtTest>

#include "GuiBench.h"

class tst_fieldprog_emu : public QObject {
    Q_OBJECT
  private slots:
    void twoDevicesInARowGetTheSameImage();
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

QTEST_MAIN(tst_fieldprog_emu)
#include "tst_fieldprog_emu.moc"
