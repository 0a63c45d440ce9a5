// The main window on a real serial port: the emulator on a pseudo-terminal behind COM 2, the
// other COM numbers leading nowhere, the real clock.

#include <QLabel>
#include <QProgressBar>
#include <QtTest>

#include "GuiBench.h"
#include "SerialPort.h"

class tst_fieldprog_emu : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void twoDevicesInARowGetTheSameImage();
    void deviceWorkEnds_data();
    void deviceWorkEnds();

  private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString tmp_;
};

void tst_fieldprog_emu::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    tmp_ = dir_->path() + "/tmp";
    QDir().mkpath(tmp_);
    qputenv("TMPDIR", tmp_.toLocal8Bit());
}

void tst_fieldprog_emu::twoDevicesInARowGetTheSameImage() {
    const QByteArray image = SampleImage(700);
    QFile expect(dir_->path() + "/expect.bin");
    QVERIFY(expect.open(QIODevice::WriteOnly) && expect.write(image) == image.size());
    expect.close();
    Emulator emu({"--baud", "0", "--pages", "0040", "--page-ms", "1", "--devices", "2",
                  "--next-device-ms", "300", "--stay", "--expect", expect.fileName()});
    QVERIFY(!emu.path.isEmpty());

    frmFieldProg form;
    int clearBar = 0, mainBar = 0;
    bool waitingBetween = false;
    QVERIFY(RunOnEmulator(form, dir_->path(), image, 0, [&] {
        if (!form.pbProgress->isHidden()) {
            clearBar = qMax(clearBar, form.pbProgressClear->value());
            mainBar = qMax(mainBar, form.pbProgress->value());
        }
        if (emu.results.contains("DEVICE 1 EXPECT") && !emu.results.contains("DEVICE 2") &&
            form.pbProgress->isHidden() && !form.picQuit->isHidden() && form.CurrentPicture() == 1)
            waitingBetween = true;
        if (emu.results.contains("DEVICE 2 EXPECT") && form.isVisible()) form.close();
    }));

    const QString results = emu.results + "\nstatus: " + form.lblStatus->text();
    QVERIFY2(results.contains("DEVICE 1 EXPECT MATCH"), qPrintable(results));
    QVERIFY2(results.contains("DEVICE 2 EXPECT MATCH"), qPrintable(results));
    QVERIFY(waitingBetween);
    QCOMPARE(clearBar, 100);
    QCOMPARE(mainBar, 100);
    QCOMPARE(form.windowTitle(), "CC46-EURO - COM 2");
    QVERIFY(QDir(tmp_).isEmpty());
}

void tst_fieldprog_emu::deviceWorkEnds_data() {
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QString>("closeWhen");  // "clear" or "send": close the window then
    QTest::addColumn<QString>("status");     // empty: the run ends quietly
    // clang-format off
    QTest::newRow("clear refused")          << QStringList{"--refuse", "C"}    << ""
                                            << "Failed to clear flash memory.";
    QTest::newRow("block not acknowledged") << QStringList{"--nak-at", "2"}    << ""
                                            << "Error: Download Failed.";
    QTest::newRow("closed while clearing")  << QStringList{"--page-ms", "10"}  << "clear" << "";
    QTest::newRow("closed while sending")   << QStringList{}                   << "send"  << "";
    // clang-format on
}

void tst_fieldprog_emu::deviceWorkEnds() {
    QFETCH(QStringList, faults);
    QFETCH(QString, closeWhen);
    QFETCH(QString, status);
    Emulator emu(QStringList{"--baud", "0", "--pages", "0040", "--page-ms", "1", "--stay"} +
                 faults);
    QVERIFY(!emu.path.isEmpty());

    // The user closes the window once the chosen bar has moved; the close arrives through the
    // event loop, as a click on the close box would.
    frmFieldProg form;
    QProgressBar* bar = closeWhen == "clear" ? form.pbProgressClear : form.pbProgress;
    bool closedInWork = false;
    connect(bar, &QProgressBar::valueChanged, this, [&](int value) {
        if (closeWhen.isEmpty() || value <= 0 || value >= 100 || closedInWork) return;
        closedInWork = true;
        Post(&form, [&] { form.close(); });
    });
    QVERIFY(RunOnEmulator(form, dir_->path(), SampleImage(4096), 0, [] {}));

    QVERIFY(QDir(tmp_).isEmpty());
    if (status.isEmpty()) {
        QVERIFY(!form.IsLoaded() && form.Device() == nullptr);
        QCOMPARE(form.lblStatus->text(), kPress);
        QVERIFY(form.cmdDescription->text().isEmpty());
        QVERIFY(closedInWork);
        QVERIFY(form.CurrentPicture() != 3);
    } else {
        QCOMPARE(form.lblStatus->text(), status);
        QCOMPARE(form.cmdDescription->text(), "Reset");
        QCOMPARE(form.CurrentPicture(), 3);
        QVERIFY(form.pbProgress->isHidden() && !form.WaitTimer->isActive() &&
                form.picQuit->isEnabled());
        form.close();
    }
    // The port has been given back: another program can take it now.
    QVERIFY(MakeSystemSerialPort()->Open(2).Opened());
}

QTEST_MAIN(tst_fieldprog_emu)
#include "tst_fieldprog_emu.moc"
