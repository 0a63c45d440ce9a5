// The port dialog on its own: the options SetupForm enables and selects, what the close box
// leaves chosen, the layout and the device paths it shows.

#include <QLabel>
#include <QtTest>

#include "GuiBench.h"

class tst_frmComport : public QObject {
    Q_OBJECT
  private slots:
    void optionsLayoutAndCloseBox();
};

void tst_frmComport::optionsLayoutAndCloseBox() {
    qputenv("FIELDPROG_COM2", "/dev/pts/fieldprog-test");
    frmComport dialog;
    qunsetenv("FIELDPROG_COM2");
    QCOMPARE(dialog.lblDevice[1]->text(), QStringLiteral("/dev/pts/fieldprog-test"));
    QVERIFY(dialog.optCom[1]->toolTip().contains("/dev/pts/fieldprog-test"));

    // Elements that are no port number are ignored; the first option stays selected even when
    // its port is not free.
    dialog.SetupForm(0, "x,3,7,0,,2", "Pick one", "Go");
    QString state;
    for (auto* option : dialog.optCom) state += option->isEnabled() ? 'y' : 'n';
    QCOMPARE(state, QStringLiteral("nyyn"));
    QVERIFY(dialog.optCom[0]->isChecked());
    QCOMPARE(dialog.windowTitle() + '|' + dialog.cmdOK->text(), QStringLiteral("Pick one|Go"));

    // Com 1 | Com 3 over Com 2 | Com 4.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto at = [&](int i) { return dialog.optCom[i]->mapTo(&dialog, QPoint(0, 0)); };
    QVERIFY(at(0).y() == at(2).y() && at(0).x() < at(2).x());
    QVERIFY(at(1).y() == at(3).y() && at(1).x() < at(3).x());
    QVERIFY(at(0).y() < at(1).y() && at(0).x() == at(1).x());
    dialog.hide();

    // The close box gives Com 1 whatever was clicked; OK gives the option clicked.
    for (const bool closeBox : {true, false}) {
        ModalWatcher modals;
        modals.On<frmComport>([&](frmComport* shown) {
            QTest::mouseClick(shown->optCom[2], Qt::LeftButton);
            closeBox ? void(shown->close()) : QTest::mouseClick(shown->cmdOK, Qt::LeftButton);
        });
        QCOMPARE(dialog.exec(), int(closeBox ? QDialog::Rejected : QDialog::Accepted));
        QCOMPARE(int(dialog.Comport()), closeBox ? 1 : 3);
    }
}

QTEST_MAIN(tst_frmComport)
#include "tst_frmComport.moc"
