// The port dialog on its own: which options SetupForm enables and selects, what Comport
// reads back, the close box, the layout and the device paths it shows.

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "GuiBench.h"
#include "frmComport.h"

class tst_frmComport : public QObject {
    Q_OBJECT
  private slots:
    void setupFormAndChoice_data();
    void setupFormAndChoice();
    void closeBoxYieldsPortOne();
    void optionsSitTwoByTwo();
    void optionShowsItsDevicePath();
};

void tst_frmComport::setupFormAndChoice_data() {
    QTest::addColumn<QString>("ports");
    QTest::addColumn<QString>("enabled");  // one letter per option: y enabled, n disabled
    QTest::addColumn<int>("click");        // option index to click before OK, -1 none
    QTest::addColumn<int>("port");
    // clang-format off
    QTest::newRow("2 and 3 free, OK at once")   << "2,3"        << "nyyn" << -1 << 1;
    QTest::newRow("2 and 3 free, Com 3 chosen") << "2,3"        << "nyyn" << 2  << 3;
    QTest::newRow("only 4 free")                << "4"          << "nnny" << 3  << 4;
    QTest::newRow("junk elements ignored")      << "1,x,7,0,,3" << "ynyn" << 2  << 3;
    // clang-format on
}

void tst_frmComport::setupFormAndChoice() {
    QFETCH(QString, ports);
    QFETCH(QString, enabled);
    QFETCH(int, click);
    QFETCH(int, port);
    frmComport dialog;
    dialog.SetupForm(0, ports, QStringLiteral("Pick one"), QStringLiteral("Go"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Pick one"));
    QCOMPARE(dialog.cmdOK->text(), QStringLiteral("Go"));
    QString state;
    for (auto* option : dialog.optCom)
        state += option->isEnabled() ? QLatin1Char('y') : QLatin1Char('n');
    QCOMPARE(state, enabled);
    // The preselected option stays selected even when disabled.
    QVERIFY(dialog.optCom[0]->isChecked());

    ModalWatcher modals;
    modals.On<frmComport>([click](frmComport* shown) {
        if (click >= 0) QTest::mouseClick(shown->optCom[click], Qt::LeftButton);
        QTest::mouseClick(shown->cmdOK, Qt::LeftButton);
    });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(int(dialog.Comport()), port);
}

void tst_frmComport::closeBoxYieldsPortOne() {
    frmComport dialog;
    dialog.SetupForm(0, QStringLiteral("2,3"), QStringLiteral("t"), QStringLiteral("OK"));
    ModalWatcher modals;
    modals.On<frmComport>([](frmComport* shown) {
        shown->optCom[2]->click();
        shown->close();
    });
    dialog.exec();
    QCOMPARE(int(dialog.Comport()), 1);
}

void tst_frmComport::optionsSitTwoByTwo() {
    frmComport dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto at = [&](int i) { return dialog.optCom[i]->mapTo(&dialog, QPoint(0, 0)); };
    QVERIFY(at(0).y() == at(2).y() && at(0).x() < at(2).x());  // Com 1 | Com 3
    QVERIFY(at(1).y() == at(3).y() && at(1).x() < at(3).x());  // Com 2 | Com 4
    QVERIFY(at(0).y() < at(1).y() && at(0).x() == at(1).x());
}

void tst_frmComport::optionShowsItsDevicePath() {
    qputenv("FIELDPROG_COM2", "/dev/pts/fieldprog-test");
    frmComport dialog;
    qunsetenv("FIELDPROG_COM2");
    QCOMPARE(dialog.lblDevice[1]->text(), QStringLiteral("/dev/pts/fieldprog-test"));
    QVERIFY(dialog.optCom[1]->toolTip().contains(QStringLiteral("/dev/pts/fieldprog-test")));
}

QTEST_MAIN(tst_frmComport)
#include "tst_frmComport.moc"
