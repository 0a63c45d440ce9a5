// The port dialog on its own: which options SetupForm enables and selects, what Comport reads
// back after OK or the close box, the layout and the device paths it shows.

#include <QLabel>
#include <QtTest>

#include "GuiBench.h"

class tst_frmComport : public QObject {
    Q_OBJECT
  private slots:
    void choice_data();
    void choice();
    void layoutAndDevicePath();
};

void tst_frmComport::choice_data() {
    QTest::addColumn<QString>("ports");
    QTest::addColumn<QString>("enabled");  // one letter per option: y enabled, n disabled
    QTest::addColumn<int>("click");        // option index clicked before leaving, -1 none
    QTest::addColumn<bool>("closeBox");    // leave by the close box instead of OK
    QTest::addColumn<int>("port");
    // clang-format off
    QTest::newRow("OK at once")            << "2,3"        << "nyyn" << -1 << false << 1;
    QTest::newRow("junk elements ignored") << "1,x,7,0,,3" << "ynyn" << 2  << false << 3;
    QTest::newRow("close box gives Com 1") << "2,3"        << "nyyn" << 2  << true  << 1;
    // clang-format on
}

void tst_frmComport::choice() {
    QFETCH(QString, ports);
    QFETCH(QString, enabled);
    QFETCH(int, click);
    QFETCH(bool, closeBox);
    frmComport dialog;
    dialog.SetupForm(0, ports, "Pick one", "Go");
    QCOMPARE(dialog.windowTitle() + '|' + dialog.cmdOK->text(), QStringLiteral("Pick one|Go"));
    QString state;
    for (auto* option : dialog.optCom) state += option->isEnabled() ? 'y' : 'n';
    QCOMPARE(state, enabled);
    QVERIFY(dialog.optCom[0]->isChecked());  // preselected even when disabled

    ModalWatcher modals;
    modals.On<frmComport>([&](frmComport* shown) {
        if (click >= 0) QTest::mouseClick(shown->optCom[click], Qt::LeftButton);
        closeBox ? void(shown->close()) : QTest::mouseClick(shown->cmdOK, Qt::LeftButton);
    });
    QCOMPARE(dialog.exec(), int(closeBox ? QDialog::Rejected : QDialog::Accepted));
    QTEST(int(dialog.Comport()), "port");
}

void tst_frmComport::layoutAndDevicePath() {
    qputenv("FIELDPROG_COM2", "/dev/pts/fieldprog-test");
    frmComport dialog;
    qunsetenv("FIELDPROG_COM2");
    QCOMPARE(dialog.lblDevice[1]->text(), QStringLiteral("/dev/pts/fieldprog-test"));
    QVERIFY(dialog.optCom[1]->toolTip().contains("/dev/pts/fieldprog-test"));

    // Com 1 | Com 3 over Com 2 | Com 4.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto at = [&](int i) { return dialog.optCom[i]->mapTo(&dialog, QPoint(0, 0)); };
    QVERIFY(at(0).y() == at(2).y() && at(0).x() < at(2).x());
    QVERIFY(at(1).y() == at(3).y() && at(1).x() < at(3).x());
    QVERIFY(at(0).y() < at(1).y() && at(0).x() == at(1).x());
}

QTEST_MAIN(tst_frmComport)
#include "tst_frmComport.moc"
