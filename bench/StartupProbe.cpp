// Preloaded into the downloader to time its start-up without touching the program: it picks
// the first offered port in the port dialog as a user would, and when the main window is shown
// it prints the wall-clock moment and ends the process. LD_PRELOAD=libfp_startup_probe.so.
// With FP_PROBE_WAIT_MS=N it lets the window sit N ms longer (waiting for the button) and
// prints its resident and peak resident memory before ending.

#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QMetaObject>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

long StatusKb(const char* field) {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kb = -1;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, field, n) == 0) kb = std::atol(line + n);
    }
    std::fclose(status);
    return kb;
}

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
            const char* wait = std::getenv("FP_PROBE_WAIT_MS");
            if (wait == nullptr) _exit(0);
            // The window now sits in its wait for the button, which runs the event loop.
            QTimer::singleShot(std::atoi(wait), [] {
                std::printf("WAITING_RSS_KB %ld PEAK_RSS_KB %ld\n", StatusKb("VmRSS:"),
                            StatusKb("VmHWM:"));
                std::fflush(stdout);
                _exit(0);
            });
        }
        return false;
    }
};

void InstallProbe() {
    qApp->installEventFilter(new StartupProbe(qApp));
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(InstallProbe)
