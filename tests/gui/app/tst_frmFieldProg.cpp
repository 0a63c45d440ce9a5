// The main window on the scripted device (controls per state, its dialogs), then on the emulator.

#include <pty.h>
#include <unistd.h>

#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QtTest>

#include "GuiBench.h"
#include "frmAbout.h"

namespace {
bool ButtonsShown(const frmFieldProg& f) {
    return !f.picDescription->isHidden() && !f.picQuit->isHidden() && !f.picAbout->isHidden() &&
           f.picQuit->isEnabled();
}
}  // namespace

class tst_frmFieldProg : public QObject {
    Q_OBJECT
  private slots:
    void startUp();
    void missingBinaryOpensTheFileDialog();
    void portDialogOnItsOwn();
    void twoDevicesInARowGetTheSameImage();
    void portDialogFitsTheScreen();
    void remembersThePortThatProgrammed();
};

// Port dialog in the record's language, the waiting window, a fresh About box, a close-box end.
void tst_frmFieldProg::startUp() {
    Bench bench;
    frmFieldProg& form = bench.Form(2, {1, 2, 3});  // German, only port 4 free
    QString options, caption, why;
    bench.modals.On<frmComport>([&](frmComport* d) {
        for (auto* o : d->optCom) options += o->isChecked() ? '*' : o->isEnabled() ? 'y' : 'n';
        caption = d->windowTitle() + '|' + d->cmdOK->text();
        why = d->optCom[0]->toolTip();
        d->optCom[3]->click();
        d->cmdOK->click();
    });
    QStringList about;
    bench.modals.On<frmAbout>([&](frmAbout* box) {
        about << box->windowTitle() + '|' + box->lblVersion->text() + '|' +
                     box->lblSubVersion->text();
        box->lblVersion->setText("stale");
        box->cmdOK->click();
    });
    QString waiting;
    bench.clock->At(2000, [&] {
        const bool shown = form.isVisible() && ButtonsShown(form) && form.pbProgress->isHidden() &&
                           form.pbProgressClear->isHidden() &&
                           form.cmdDescription->text().isEmpty() &&
                           form.cmdAbout->text() == "&About";
        waiting = form.windowTitle() + '|' + form.cmdQuit->text() + '|' + form.lblStatus->text() +
                  (shown ? "" : " (controls wrong)");
    });
    bench.ClickAt(1000, form.cmdAbout);
    bench.ClickAt(1500, form.cmdAbout);
    bench.ClickAt(3000, nullptr);
    form.Form_Load();

    QVERIFY(!form.IsLoaded() && form.Device() == nullptr && form.CurrentPicture() == 1);
    QCOMPARE(options, "nnn*");  // the first free port is preselected
    QCOMPARE(caption, "Wählen Sie bitte einen Kommunikationkanal aus.|OK");
    QVERIFY(why.contains("COM1 ist belegt: verwendet von PID 7 (minicom)"));
    QCOMPARE(waiting,
             "CC46-EURO - COM 4|&Beendet|Betätigen Sie die Taste auf die Oberseite des "
             "Feldprogrammierers zum Download.");
    QCOMPARE(about, QStringList(2, "About CC46-EURO|1.0.0|(1.0.0)"));
}

// Without a binary the file dialog asks; cancelled, Reset is offered and asks again.
void tst_frmFieldProg::missingBinaryOpensTheFileDialog() {
    Bench bench;
    WriteBytes(bench.dir / "plain.exe", "no payload here");
    frmFieldProg& form = bench.Form(0, {}, bench.dir / "plain.exe");
    bench.modals.On<frmComport>([](frmComport* d) { d->cmdOK->click(); });  // COM 1, preselected
    QStringList asked;
    form.OpenFileDialog = [&](QWidget*, const QString& title, const QString& folder,
                              const QString& filter) {
        asked << title + '|' + folder + '|' + filter;
        return QString();
    };
    form.Form_Load();

    QCOMPARE(asked, QStringList{"Select Binary File|" + QString::fromStdString(bench.dir.Path()) +
                                "|Binary File (*.BIN *.bin)"});
    QCOMPARE(form.lblStatus->text(), "Error: Failed to extract binary information.");
    QCOMPARE(form.cmdDescription->text(), "&Reset");
    QVERIFY(ButtonsShown(form) && form.pbProgress->isHidden());
    QCOMPARE(form.CurrentPicture(), 3);
    form.cmdDescription->click();
    QCOMPARE(asked.size(), 2);
    QVERIFY(form.IsLoaded() && ButtonsShown(form));
}

// The port dialog alone: options (one above COM 4), layout, port details, keyboard, close box.
void tst_frmFieldProg::portDialogOnItsOwn() {
    frmComport dialog;
    QCOMPARE(dialog.AddPort(7, "Weitere Schnittstellen:"), 4);
    dialog.ShowPortDetails(1, "/dev/pts/fieldprog-test", "");
    dialog.ShowPortDetails(4, "USB Serial Port (COM7)", "");
    QCOMPARE(dialog.lblDevice[1]->text(), QStringLiteral("/dev/pts/fieldprog-test"));
    QVERIFY(dialog.optCom[1]->toolTip().contains("/dev/pts/fieldprog-test"));
    QCOMPARE(dialog.optCom[4]->text() + '|' + dialog.lblOtherPorts->text(),
             QStringLiteral("Com 7|Weitere Schnittstellen:"));

    // Non-numbers are ignored; the first option stays selected even when its port is not free.
    dialog.SetupForm(0, "x,3,7,0,,2", "Pick one", "Go");
    QString state;
    for (auto* option : dialog.optCom) state += option->isEnabled() ? 'y' : 'n';
    QCOMPARE(state, QStringLiteral("nyyny"));
    QVERIFY(dialog.optCom[0]->isChecked());
    QCOMPARE(dialog.windowTitle() + '|' + dialog.cmdOK->text(), QStringLiteral("Pick one|Go"));

    // Com 1 | Com 3 over Com 2 | Com 4, the ports above COM 4 below them.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto at = [&](int i) { return dialog.optCom[i]->mapTo(&dialog, QPoint(0, 0)); };
    QVERIFY(at(0).y() == at(2).y() && at(0).x() < at(2).x());
    QVERIFY(at(1).y() == at(3).y() && at(1).x() < at(3).x());
    QVERIFY(at(0).y() < at(1).y() && at(0).x() == at(1).x());
    QVERIFY(at(4).y() > at(1).y() && dialog.lblOtherPorts->isVisible());
    dialog.hide();

    // Keyboard: focus on the preselected port, arrows over free options, Enter; close box: Com 1.
    const struct {
        std::vector<Qt::Key> keys;
        int port;
        bool closeBox;
    } rows[] = {{{}, 2, false},
                {{Qt::Key_Down}, 7, false},
                {{Qt::Key_Down, Qt::Key_Up}, 2, false},
                {{Qt::Key_Up, Qt::Key_Right}, 3, false},
                {{Qt::Key_Right}, 1, true}};
    for (const auto& row : rows) {
        frmComport keyboard;
        keyboard.AddPort(7, "");
        keyboard.SetupForm(1, "2,3,7", "Pick one", "OK");
        ModalWatcher modals;
        QString focused;
        modals.On<frmComport>([&](frmComport* shown) {
            focused = shown->focusWidget() ? shown->focusWidget()->objectName() : "";
            // Arrows work only in the active window, which a loaded machine may not have yet.
            QVERIFY(QTest::qWaitForWindowActive(shown));
            for (Qt::Key key : row.keys) QTest::keyClick(shown->focusWidget(), key);
            row.closeBox ? void(shown->close())
                         : QTest::keyClick(shown->focusWidget(), Qt::Key_Return);
        });
        QCOMPARE(keyboard.exec(), int(row.closeBox ? QDialog::Rejected : QDialog::Accepted));
        QCOMPARE(focused, QStringLiteral("optCom1"));
        QCOMPARE(int(keyboard.Comport()), row.port);
    }
}

// Emulator behind COM 2: two devices (EOT ACKed, line off 4 s at .Q), the bars, a wait between.
void tst_frmFieldProg::twoDevicesInARowGetTheSameImage() {
    TempDir dir;
    const Bytes image = BinImage(700);
    WriteBytes(dir / "expect.bin", Text(image));
    EmuProcess emu({"--pages", "0040", "--page-ms", "1", "--devices", "2", "--next-device-ms",
                    "300", "--stay", "--expect", dir / "expect.bin", "--eot-answer", "ack",
                    "--off-after-quit", "--unplug-ms", "4000", "--link", dir / "port"});
    QVERIFY(!emu.Port().empty());
    TempFolderScope tmp;  // the window's transfer files, and nothing else, go here

    frmFieldProg form;
    int clearBar = 0, mainBar = 0;
    bool waitingBetween = false, buttonsHidden = true;
    QVERIFY(RunOnEmulator(form, dir.Path(), dir / "port", image, 0, [&] {
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

// 12 or 40 ports fit a 1024 x 768 work area (at 100 % and 200 %), the focused option in sight.
void tst_frmFieldProg::portDialogFitsTheScreen() {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(area.width() <= 1024 && area.height() <= 768);
    for (const int ports : {12, 40}) {
        frmComport dialog;
        for (int n = 5; n <= ports; ++n) dialog.AddPort(n, "Other:");
        for (int i = 0; i < ports; ++i) dialog.ShowPortDetails(i, "Serial port", "no such device");
        dialog.SetupForm(std::int16_t(ports - 1), QString::number(ports), "Pick one", "OK");
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        const QRect ok(dialog.cmdOK->mapToGlobal(QPoint()), dialog.cmdOK->size());
        QVERIFY(area.contains(dialog.frameGeometry()) && area.contains(ok));
        QVERIFY(dialog.focusWidget() == dialog.optCom.back() &&
                !dialog.optCom.back()->visibleRegion().isEmpty());
    }
}

// The port that programmed (not one merely opened) is offered next; forgotten, COM 1 again.
void tst_frmFieldProg::remembersThePortThatProgrammed() {
    TempDir dir;
    int master = -1, slave = -1;
    char bare[128] = {};
    QCOMPARE(openpty(&master, &slave, bare, nullptr, nullptr), 0);
    WriteBytes(dir / "expect.bin", Text(BinImage(300)));
    EmuProcess emu({"--devices", "0", "--press-after-ms", "-1", "--next-device-ms", "3600000",
                    "--expect", dir / "expect.bin"});
    ScopedEnv home("XDG_CONFIG_HOME", dir.Path()), com1("FIELDPROG_COM1", bare),
        com2("FIELDPROG_COM2", emu.Port()), com3("FIELDPROG_COM3", "/nonexistent/com"),
        com4("FIELDPROG_COM4", "/nonexistent/com");
    const std::string downloader = MakeDownloader(dir.Path(), BinImage(300), 0);
    const struct {
        const char* offered;
        Qt::Key key;  // before Enter (Shift: none that moves)
        int device;   // the device programmed, 0 for none
    } rows[] = {{"optCom0", Qt::Key_Down, 1},
                {"optCom1", Qt::Key_Up, 0},
                {"optCom1", Qt::Key_Shift, 2},
                {"optCom0", Qt::Key_Shift, 0}};
    for (const auto& row : rows) {
        if (&row == &rows[3])
            QVERIFY(QFile::remove(QString::fromStdString(dir / "fieldprog/settings")));
        frmFieldProg form;
        form.ExecutablePath = downloader;
        ModalWatcher modals;
        modals.On<frmComport>([&](frmComport* shown) {
            QVERIFY(QTest::qWaitForWindowActive(shown));
            QCOMPARE(shown->focusWidget()->objectName(), QString(row.offered));
            QTest::keyClick(shown->focusWidget(), row.key);
            QTest::keyClick(shown->focusWidget(), Qt::Key_Return);
        });
        bool pressed = false;
        QTimer watch;  // presses the button once the window waits, closes it once it waits again
        QObject::connect(&watch, &QTimer::timeout, [&] {
            const auto done = "DEVICE " + std::to_string(row.device) + " EXPECT MATCH";
            if (!form.isVisible()) return;
            if (!row.device || (emu.Process().Stdout().find(done) != std::string::npos &&
                                form.pbProgress->isHidden()))
                form.close();
            else if (!std::exchange(pressed, true))
                emu.Press();
        });
        watch.start(20);
        form.Form_Load();
        QVERIFY(modals.unexpected.isEmpty());
    }
    ::close(master);
    ::close(slave);
}

QTEST_MAIN(tst_frmFieldProg)
#include "tst_frmFieldProg.moc"
