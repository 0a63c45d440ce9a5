// The main window in virtual time, on a port where no device ever answers: start-up, port
// choice, the wait running out, Reset, Quit, close, About and the file dialog.

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QtTest>

#include "GuiBench.h"
#include "Version.h"
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
    void startUp_data();
    void startUp();
    void noFreePortEndsAfterOneMessage();
    void stopWhileWaitingEndsQuietly_data();
    void stopWhileWaitingEndsQuietly();
    void waitRunsOutThenResetWaitsAgain();
    void missingBinaryAsksForAFileEachTime();
};

void tst_frmFieldProg::startUp_data() {
    QTest::addColumn<int>("language");
    QTest::addColumn<QString>("free");     // the free ports
    QTest::addColumn<QString>("options");  // per option: * selected, y enabled, n disabled
    QTest::addColumn<int>("port");         // the one chosen
    QTest::addColumn<QString>("texts");    // port dialog caption | Quit | status
    // clang-format off
    QTest::newRow("English") << 0 << "1234" << "*yyy" << 1
        << "Please select a Comm Port.|Quit|" + kPress;
    QTest::newRow("French") << 1 << "1234" << "*yyy" << 1
        << "Veuillez choisir un port de COMM.|Quitté|"
           "Appuyez sur le bouton sur le dessus du programmeur de zone au téléchargement.";
    QTest::newRow("German, only port 4 free") << 2 << "4" << "*nny" << 4
        << "Wählen Sie bitte einen Kommunikationkanal aus.|Beendet|"
           "Betätigen Sie die Taste auf die Oberseite des Feldprogrammierers zum Download.";
    // clang-format on
}

// The port dialog in the record's language, the waiting window, and an About box that shows
// freshly composed texts each time it opens.
void tst_frmFieldProg::startUp() {
    QFETCH(QString, free);
    QFETCH(int, port);
    QFETCH(QString, texts);
    std::set<int> ports;
    for (QChar c : free) ports.insert(c.digitValue());
    Bench bench;
    QFETCH(int, language);
    frmFieldProg& form = bench.Form(language, ports);
    QString options, caption;
    bench.modals.On<frmComport>([&](frmComport* d) {
        for (auto* o : d->optCom) options += o->isChecked() ? '*' : o->isEnabled() ? 'y' : 'n';
        caption = d->windowTitle() + '|' + d->cmdOK->text();
        d->optCom[port - 1]->click();
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
                           form.cmdAbout->text() == "About";
        waiting = form.windowTitle() + '|' + form.cmdQuit->text() + '|' + form.lblStatus->text() +
                  (shown ? "" : " (controls wrong)");
    });
    bench.ClickAt(1000, form.cmdAbout);
    bench.ClickAt(1500, form.cmdAbout);
    bench.ClickAt(3000, form.cmdQuit);
    form.Form_Load();

    QTEST(options, "options");
    QCOMPARE(caption, texts.section('|', 0, 0) + "|OK");
    QCOMPARE(waiting, QStringLiteral("CC46-EURO - COM %1|").arg(port) + texts.section('|', 1));
    QCOMPARE(bench.openedPort, port);
    const QString v = QStringLiteral("%1.%2.%3")
                          .arg(fieldprog_version::kMajor)
                          .arg(fieldprog_version::kMinor)
                          .arg(fieldprog_version::kRevision);
    const QString expected = QStringLiteral("About CC46-EURO|%1|(%1)").arg(v);
    QCOMPARE(about, (QStringList{expected, expected}));
}

void tst_frmFieldProg::noFreePortEndsAfterOneMessage() {
    Bench bench;
    frmFieldProg& form = bench.Form(2, {});
    QString shown;
    bench.modals.On<QMessageBox>([&](QMessageBox* box) {
        shown = box->windowTitle() + '|' + box->text();
        QCOMPARE(box->icon(), QMessageBox::Warning);
        box->button(QMessageBox::Ok)->click();
    });
    form.Form_Load();

    QCOMPARE(bench.modals.seen, QStringList{"QMessageBox"});
    QCOMPARE(shown, "CC46-EURO|Es gibt keine freien Kommunikationkanäle und beendet Anwendung.");
    QVERIFY(!form.IsLoaded() && !form.isVisible() && form.Device() == nullptr);
    QCOMPARE(bench.openedPort, 0);
}

void tst_frmFieldProg::stopWhileWaitingEndsQuietly_data() {
    QTest::addColumn<bool>("useQuit");
    QTest::newRow("Quit button") << true;
    QTest::newRow("close box") << false;
}

void tst_frmFieldProg::stopWhileWaitingEndsQuietly() {
    QFETCH(bool, useQuit);
    Bench bench;
    frmFieldProg& form = bench.Form(0);
    bench.ChoosePort(1);
    // The empty Description button does nothing while the window waits.
    bench.ClickAt(1000, form.cmdDescription);
    bool descriptionIgnored = false;
    bench.clock->At(1500, [&] {
        descriptionIgnored =
            !form.Stopped() && !form.ResetPending() && form.lblStatus->text() == kPress;
    });
    bench.ClickAt(3000, useQuit ? form.cmdQuit : nullptr);
    form.Form_Load();

    QVERIFY(descriptionIgnored);
    QVERIFY(!form.IsLoaded() && form.Device() == nullptr);
    QCOMPARE(form.CurrentPicture(), 1);
    QCOMPARE(form.lblStatus->text(), kPress);
    QVERIFY(bench.clock->NowMs() < 10000);  // the wait ended at the stop, not at its limit
    // Loading the unloaded window again starts nothing.
    form.Form_Load();
    QCOMPARE(bench.modals.seen, QStringList{"frmComport"});
}

void tst_frmFieldProg::waitRunsOutThenResetWaitsAgain() {
    Bench bench;
    frmFieldProg& form = bench.Form(0);
    bench.ChoosePort(1);
    form.Form_Load();  // nobody presses the button: the sequence ends with the wait's failure

    QVERIFY(form.IsLoaded());
    QVERIFY(bench.clock->NowMs() >= 1000 * 50);
    QCOMPARE(form.lblStatus->text(),
             "Error: Failed to connect to the Field Programmer, "
             "please check it is correctly connected.");
    QCOMPARE(form.cmdDescription->text(), "Reset");
    QVERIFY(form.ResetPending() && ButtonsShown(form));
    QCOMPARE(form.CurrentPicture(), 3);

    // Reset: the texts of the waiting state and a fresh wait, ended here by Quit.
    const std::int64_t resetAt = bench.clock->NowMs();
    bool waitingAgain = false;
    bench.clock->At(resetAt + 1000, [&] {
        waitingAgain = form.lblStatus->text() == kPress && form.cmdDescription->text().isEmpty() &&
                       !form.ResetPending() && form.CurrentPicture() == 1;
    });
    bench.ClickAt(resetAt + 2000, form.cmdQuit);
    form.cmdDescription->click();
    QVERIFY(waitingAgain);
    QVERIFY(!form.IsLoaded());
}

void tst_frmFieldProg::missingBinaryAsksForAFileEachTime() {
    Bench bench;
    const QString plain = bench.dir.path() + "/plain.exe";
    QFile file(plain);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("no payload here") > 0);
    file.close();
    frmFieldProg& form = bench.Form(0, {1, 2, 3, 4}, plain);
    bench.ChoosePort(1);
    QStringList asked;
    form.OpenFileDialog = [&](QWidget*, const QString& title, const QString& folder,
                              const QString& filter) {
        asked << title + '|' + folder + '|' + filter;
        return QString();
    };
    form.Form_Load();

    QCOMPARE(asked.size(), 1);
    QVERIFY(asked[0].startsWith("Select Binary File|" + bench.dir.path() + "|Binary File (*.BIN"));
    QCOMPARE(form.lblStatus->text(), "Error: Failed to extract binary information.");
    QCOMPARE(form.cmdDescription->text(), "Reset");
    form.cmdDescription->click();
    QCOMPARE(asked.size(), 2);
    QCOMPARE(form.CurrentPicture(), 3);
}

QTEST_MAIN(tst_frmFieldProg)
#include "tst_frmFieldProg.moc"
