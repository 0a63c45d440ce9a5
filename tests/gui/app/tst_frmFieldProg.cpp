// The main window in virtual time, on a port where no device ever answers: start-up, port
// choice, the wait running out, Reset, Quit, close, About and the file dialog.

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "GuiBench.h"
#include "Version.h"
#include "frmAbout.h"
#include "frmComport.h"

namespace {
const QString kPress =
    QStringLiteral("Press the button on the top of the Field Programmer to download.");
bool ButtonsShown(const frmFieldProg& f) {
    return !f.picDescription->isHidden() && !f.picQuit->isHidden() && !f.picAbout->isHidden() &&
           f.picQuit->isEnabled();
}
}  // namespace

class tst_frmFieldProg : public QObject {
    Q_OBJECT
  private slots:
    void startUpFollowsRecordLanguage_data();
    void startUpFollowsRecordLanguage();
    void onlyFreePortIsOffered();
    void noFreePortEndsAfterOneMessage();
    void stopWhileWaitingEndsQuietly_data();
    void stopWhileWaitingEndsQuietly();
    void waitRunsOutThenResetWaitsAgain();
    void progressGoesToItsBar_data();
    void progressGoesToItsBar();
    void aboutBoxShowsFreshVersionsEachTime();
    void missingBinaryAsksForAFileEachTime();
};

void tst_frmFieldProg::startUpFollowsRecordLanguage_data() {
    QTest::addColumn<int>("language");
    QTest::addColumn<QString>("dialogTitle");
    QTest::addColumn<QString>("quit");
    QTest::addColumn<QString>("status");
    QTest::newRow("English") << 0 << "Please select a Comm Port."
                             << "Quit" << kPress;
    QTest::newRow("French")
        << 1 << "Veuillez choisir un port de COMM."
        << "Quitté"
        << "Appuyez sur le bouton sur le dessus du programmeur de zone au téléchargement.";
    QTest::newRow("German")
        << 2 << "Wählen Sie bitte einen Kommunikationkanal aus."
        << "Beendet"
        << "Betätigen Sie die Taste auf die Oberseite des Feldprogrammierers zum Download.";
}

void tst_frmFieldProg::startUpFollowsRecordLanguage() {
    QFETCH(int, language);
    QFETCH(QString, dialogTitle);
    QFETCH(QString, quit);
    QFETCH(QString, status);
    Bench bench;
    frmFieldProg& form = bench.Form(language);
    QString dialog;
    bench.modals.On<frmComport>([&](frmComport* d) {
        dialog = d->windowTitle() + QLatin1Char('|') + d->cmdOK->text();
        d->cmdOK->click();
    });
    bool waiting = false;
    bench.clock->At(2000, [&] {
        waiting = form.isVisible() && form.lblStatus->text() == status && ButtonsShown(form) &&
                  form.pbProgress->isHidden() && form.pbProgressClear->isHidden() &&
                  form.cmdDescription->text().isEmpty() && form.cmdQuit->text() == quit &&
                  form.cmdAbout->text() == QLatin1String("About");
    });
    bench.ClickAt(3000, form.cmdQuit);
    form.Form_Load();

    QCOMPARE(dialog, dialogTitle + QStringLiteral("|OK"));
    QVERIFY(waiting);
    QCOMPARE(form.windowTitle(), QStringLiteral("CC46-EURO - COM 1"));
}

void tst_frmFieldProg::onlyFreePortIsOffered() {
    Bench bench;
    frmFieldProg& form = bench.Form(0, {4});
    QString options;
    bench.modals.On<frmComport>([&](frmComport* d) {
        for (auto* o : d->optCom)
            options += QLatin1Char(o->isChecked() ? '*' : o->isEnabled() ? 'y' : 'n');
        d->optCom[3]->click();
        d->cmdOK->click();
    });
    bench.ClickAt(2000, form.cmdQuit);
    form.Form_Load();

    QCOMPARE(options, QStringLiteral("*nny"));  // port 1 preselected although not free
    QCOMPARE(bench.openedPort, 4);
    QCOMPARE(form.windowTitle(), QStringLiteral("CC46-EURO - COM 4"));
}

void tst_frmFieldProg::noFreePortEndsAfterOneMessage() {
    Bench bench;
    frmFieldProg& form = bench.Form(2, {});
    QString shown;
    bench.modals.On<QMessageBox>([&](QMessageBox* box) {
        shown = box->windowTitle() + QLatin1Char('|') + box->text();
        QCOMPARE(box->icon(), QMessageBox::Warning);
        box->button(QMessageBox::Ok)->click();
    });
    form.Form_Load();

    QCOMPARE(bench.modals.seen, QStringList{QStringLiteral("QMessageBox")});
    QCOMPARE(shown,
             QStringLiteral(
                 "CC46-EURO|Es gibt keine freien Kommunikationkanäle und beendet Anwendung."));
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
    bench.clock->At(
        3000, [&] { Post(&form, [&] { useQuit ? form.cmdQuit->click() : void(form.close()); }); });
    form.Form_Load();

    QVERIFY(descriptionIgnored);
    QVERIFY(!form.IsLoaded() && form.Device() == nullptr);
    QCOMPARE(form.CurrentPicture(), 1);
    QCOMPARE(form.lblStatus->text(), kPress);
    QVERIFY(bench.clock->NowMs() < 10000);  // the wait ended at the stop, not at its limit
    // Loading the unloaded window again starts nothing.
    form.Form_Load();
    QCOMPARE(bench.modals.seen, QStringList{QStringLiteral("frmComport")});
}

void tst_frmFieldProg::waitRunsOutThenResetWaitsAgain() {
    Bench bench;
    frmFieldProg& form = bench.Form(0);
    bench.ChoosePort(1);
    form.Form_Load();  // nobody presses the button: the sequence ends with the wait's failure

    QVERIFY(form.IsLoaded());
    QVERIFY(bench.clock->NowMs() >= 1000 * 50);
    QCOMPARE(form.lblStatus->text(),
             QStringLiteral("Error: Failed to connect to the Field Programmer, "
                            "please check it is correctly connected."));
    QCOMPARE(form.cmdDescription->text(), QStringLiteral("Reset"));
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

void tst_frmFieldProg::progressGoesToItsBar_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("percent");
    QTest::addColumn<int>("clearBar");
    QTest::addColumn<int>("mainBar");
    QTest::newRow("clearing 50") << 3 << 50 << 50 << 7;
    QTest::newRow("clearing 0") << 3 << 0 << 0 << 7;
    QTest::newRow("download 50") << 5 << 50 << 7 << 50;
    QTest::newRow("read-back 100") << 1 << 100 << 7 << 100;
    QTest::newRow("clearing 101 ignored") << 3 << 101 << 7 << 7;
    QTest::newRow("download -1 ignored") << 5 << -1 << 7 << 7;
}

void tst_frmFieldProg::progressGoesToItsBar() {
    QFETCH(int, type);
    QFETCH(int, percent);
    frmFieldProg form;
    form.pbProgressClear->setValue(7);
    form.pbProgress->setValue(7);
    form.MyLocalSerial_Progress(static_cast<std::int16_t>(percent), type);
    QTEST(form.pbProgressClear->value(), "clearBar");
    QTEST(form.pbProgress->value(), "mainBar");
}

void tst_frmFieldProg::aboutBoxShowsFreshVersionsEachTime() {
    Bench bench;
    frmFieldProg& form = bench.Form(0);
    bench.ChoosePort(1);
    QStringList shown;
    bench.modals.On<frmAbout>([&](frmAbout* about) {
        shown << about->windowTitle() + QLatin1Char('|') + about->lblVersion->text() +
                     QLatin1Char('|') + about->lblSubVersion->text();
        about->lblVersion->setText(QStringLiteral("stale"));
        about->cmdOK->click();
    });
    bench.ClickAt(1000, form.cmdAbout);
    bench.ClickAt(2000, form.cmdAbout);
    bench.ClickAt(3000, form.cmdQuit);
    form.Form_Load();

    const QString v = QStringLiteral("%1.%2.%3")
                          .arg(fieldprog_version::kMajor)
                          .arg(fieldprog_version::kMinor)
                          .arg(fieldprog_version::kRevision);
    const QString expected = QStringLiteral("About CC46-EURO|%1|(%1)").arg(v);
    QCOMPARE(shown, (QStringList{expected, expected}));
}

void tst_frmFieldProg::missingBinaryAsksForAFileEachTime() {
    Bench bench;
    const QString plain = bench.dir.path() + QStringLiteral("/plain.exe");
    QFile file(plain);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("no payload here") > 0);
    file.close();
    frmFieldProg& form = bench.Form(plain);
    bench.ChoosePort(1);
    QStringList asked;
    form.OpenFileDialog = [&](QWidget*, const QString& title, const QString& folder,
                              const QString& filter) {
        asked << title + QLatin1Char('|') + folder + QLatin1Char('|') + filter;
        return QString();
    };
    form.Form_Load();

    QCOMPARE(asked.size(), 1);
    QVERIFY(asked[0].startsWith(QStringLiteral("Select Binary File|") + bench.dir.path() +
                                QStringLiteral("|Binary File (*.BIN")));
    QCOMPARE(form.lblStatus->text(),
             QStringLiteral("Error: Failed to extract binary information."));
    QCOMPARE(form.cmdDescription->text(), QStringLiteral("Reset"));
    form.cmdDescription->click();
    QCOMPARE(asked.size(), 2);
    QCOMPARE(form.CurrentPicture(), 3);
}

QTEST_MAIN(tst_frmFieldProg)
#include "tst_frmFieldProg.moc"
