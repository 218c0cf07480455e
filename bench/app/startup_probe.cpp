// Start-up probe: linked into a copy of the program (its own main() and libraries, unchanged), it
// watches the application's events from the moment the toolkit application exists and records
// when the main window is shown and first painted, and the peak resident memory by then. It then
// closes the main window, so the program ends as it does when the user closes it.
//
// Figures go to the file named by PV_STARTUP_REPORT as key=value lines:
//   outcome             shown | error-box (the start-up message box came instead) | no-paint
//   exec_to_show_ms     from the moment the launcher exec'd this program (PV_STARTUP_EXEC_NS, a
//                       CLOCK_MONOTONIC time) to the main window's Show event
//   exec_to_paint_ms    ... to the end of the main window's first paint
//   fork_to_show_ms     from the process's start time in /proc/self/stat (clock ticks, usually
//                       10 ms) to the Show event: a coarse cross-check that includes the fork
//   peak_rss_kb         getrusage(RUSAGE_SELF).ru_maxrss once the first paint is done

#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr char kMainWindowTitle[] = "Software Upgrade Application for PV4410S";
constexpr char kStartUpBoxTitle[] = "Error";
// Without an expose the offscreen platform never paints; the probe gives up after this long.
constexpr int kPaintTimeoutMs = 5000;

double nowMs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// CLOCK_MONOTONIC time of the exec, in ms, or a negative number when no launcher stamped it.
double execStampMs() {
    const char* stamp = std::getenv("PV_STARTUP_EXEC_NS");
    return stamp != nullptr ? std::strtod(stamp, nullptr) / 1e6 : -1;
}

// The process's start, in CLOCK_BOOTTIME ms (field 22 of /proc/self/stat, in clock ticks).
double processStartMs() {
    std::ifstream in("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    const auto afterName = stat.rfind(')');
    if (afterName == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(afterName + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    return std::strtod(field.c_str(), nullptr) * 1e3 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-union-access): the C library declares it so
    return usage.ru_maxrss;
}

class StartUpProbe : public QObject {
  public:
    explicit StartUpProbe(QObject* parent)
        : QObject(parent), execMs_(execStampMs()), startMs_(processStartMs()) {
        paintTimeout_.setSingleShot(true);
        paintTimeout_.setInterval(kPaintTimeoutMs);
        connect(&paintTimeout_, &QTimer::timeout, this, [this] { finish("no-paint"); });
        // The Paint event arrives before the painting; a zero timer runs once it is done.
        afterPaint_.setSingleShot(true);
        afterPaint_.setInterval(0);
        connect(&afterPaint_, &QTimer::timeout, this, &StartUpProbe::onPaintDone);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show)
            onShow(watched);
        else if (event->type() == QEvent::Paint && watched == mainWindow_ && !painted_)
            onFirstPaint();
        return false;
    }

  private:
    void onShow(QObject* watched) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr || !widget->isWindow() || mainWindow_ || done_)
            return;
        if (widget->windowTitle() == kMainWindowTitle) {
            const double monotonic = nowMs(CLOCK_MONOTONIC);
            const double boot = nowMs(CLOCK_BOOTTIME);
            mainWindow_ = widget;
            report_ << "fork_to_show_ms=" << boot - startMs_ << "\n";
            if (execMs_ >= 0)
                report_ << "exec_to_show_ms=" << monotonic - execMs_ << "\n";
            paintTimeout_.start();
        } else if (widget->windowTitle() == kStartUpBoxTitle) {
            finish("error-box");
            QMetaObject::invokeMethod(widget, "close", Qt::QueuedConnection);
        }
    }

    void onFirstPaint() {
        painted_ = true;
        afterPaint_.start();
    }

    void onPaintDone() {
        if (execMs_ >= 0)
            report_ << "exec_to_paint_ms=" << nowMs(CLOCK_MONOTONIC) - execMs_ << "\n";
        finish("shown");
    }

    void finish(const char* outcome) {
        if (done_)
            return;
        done_ = true;
        report_ << "peak_rss_kb=" << peakRssKb() << "\n";
        write(outcome);
        if (mainWindow_)
            mainWindow_->close();
    }

    void write(const char* outcome) {
        const char* path = std::getenv("PV_STARTUP_REPORT");
        std::FILE* out = path != nullptr ? std::fopen(path, "w") : stdout;
        if (out == nullptr)
            return;
        std::fprintf(out, "outcome=%s\n%s", outcome, report_.str().c_str());
        if (out != stdout)
            std::fclose(out);
    }

    const double execMs_;
    const double startMs_;
    QPointer<QWidget> mainWindow_;
    QTimer paintTimeout_;
    QTimer afterPaint_;
    bool painted_ = false;
    bool done_ = false;
    std::ostringstream report_;
};

// Runs inside the toolkit application's constructor, before the program does anything with it.
void installProbe() {
    auto* app = QCoreApplication::instance();
    app->installEventFilter(new StartUpProbe(app));
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
