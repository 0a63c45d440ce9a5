// Preloaded into the downloader to time its start-up without touching the program: it picks
// the first offered port in the port dialog as a user would, and when the main window is shown
// it prints the wall-clock moment and ends the process. LD_PRELOAD=libfp_startup_probe.so.

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QMetaObject>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

class StartupProbe : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show || !watched->isWidgetType()) return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (!widget->isWindow()) return false;
        const QByteArray kind = widget->metaObject()->className();
        if (kind == "frmComport") {
            // Press the dialog's OK once it is up, with the port the dialog preselected.
            QTimer::singleShot(0, widget, [widget] {
                for (QPushButton* button : widget->findChildren<QPushButton*>()) {
                    if (button->isVisible() && button->isEnabled()) {
                        button->click();
                        return;
                    }
                }
            });
        } else if (kind == "frmFieldProg") {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            std::printf("WINDOW_SHOWN_NS %lld\n",
                        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
            std::fflush(stdout);
            _exit(0);
        }
        return false;
    }
};

void InstallProbe() { qApp->installEventFilter(new StartupProbe(qApp)); }

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(InstallProbe)
