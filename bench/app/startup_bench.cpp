// Start-up time and peak memory of the program on the offscreen platform, against a virtual
// printer in real time. Each run is a separate process tree:
//
//   pv4410s-virtual-printer -- app_startup_bench --exec app_startup_probe
//
// The virtual printer puts the printer on an emulated bus and starts this program in launcher
// mode, which stamps the time and execs the probe: the program itself (its own main() and
// libraries) with the start-up probe linked in (startup_probe.cpp), which reports when the main
// window was shown and the peak RSS, then closes the window. After the warm-up runs, the median
// and the maximum of the timed runs are printed; the exit status is 2 when a target is missed
// (median time from the process's start to the main window shown under 150 ms, peak RSS of every
// run under 40 MB), 1 when the runs could not be measured.
//
// The runs happen in a network namespace of their own when this process may make one, so that a
// copy of the program running elsewhere cannot hold the single-instance lock. Each run has a
// private XDG_RUNTIME_DIR.

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kTargetStartUpMs = 150;
constexpr double kTargetPeakRssMb = 40;
constexpr int kRunTimeoutMs = 30'000;

struct Settings {
    int runs = 20;
    int warmUp = 3;
    std::string probe = PV4410S_STARTUP_PROBE;
    std::string printer = PV4410S_VIRTUAL_PRINTER;
};

using Report = std::map<std::string, std::string>;

[[noreturn]] void execStamped(char* program) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    const long long ns = static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
    setenv("PV_STARTUP_EXEC_NS", std::to_string(ns).c_str(), 1);
    char* args[] = {program, nullptr};
    execv(program, args);
    std::perror(program);
    _exit(127);
}

Report readReport(const std::filesystem::path& file) {
    Report report;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (const auto eq = line.find('='); eq != std::string::npos)
            report[line.substr(0, eq)] = line.substr(eq + 1);
    return report;
}

// Waits for the child; kills its process group after the time-out. Answers the exit status.
int waitBounded(pid_t child) {
    int status = 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunTimeoutMs);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One start of the program; an empty report when it could not be measured.
Report runOnce(const Settings& settings, const std::string& self) {
    char runtimeTemplate[] = "/tmp/pv-startup-XXXXXX";
    const char* runtime = mkdtemp(runtimeTemplate);
    if (runtime == nullptr)
        return {};
    const std::filesystem::path reportFile = std::filesystem::path(runtime) / "report";
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("XDG_RUNTIME_DIR", runtime, 1);
        setenv("PV_STARTUP_REPORT", reportFile.c_str(), 1);
        unsetenv("LD_PRELOAD");
        std::vector<std::string> words = {settings.printer, "--", self, "--exec", settings.probe};
        std::vector<char*> args(words.size() + 1, nullptr);
        std::transform(words.begin(), words.end(), args.begin(), [](auto& w) { return w.data(); });
        execv(args[0], args.data());
        std::perror(args[0]);
        _exit(127);
    }
    const int status = child > 0 ? waitBounded(child) : -1;
    Report report = readReport(reportFile);
    std::filesystem::remove_all(runtime);
    if (status != 0)
        report["outcome"] += " (exit status " + std::to_string(status) + ")";
    return report;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void printFigure(const char* name, const std::vector<double>& values, const char* unit) {
    std::printf("%s: median=%.1f min=%.1f max=%.1f %s\n", name, median(values),
                *std::min_element(values.begin(), values.end()),
                *std::max_element(values.begin(), values.end()), unit);
}

// A count from the command line; -1 when it is not a number from 0 to 10000.
int count(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= 0 && value <= 10'000 ? static_cast<int>(value)
                                                                        : -1;
}

bool parse(int argc, char** argv, Settings& settings) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--runs")
            settings.runs = count(argv[i + 1]);
        else if (option == "--warm-up")
            settings.warmUp = count(argv[i + 1]);
        else if (option == "--probe")
            settings.probe = argv[i + 1];
        else if (option == "--printer")
            settings.printer = argv[i + 1];
        else
            return false;
    }
    return argc % 2 == 1 && settings.runs > 0 && settings.warmUp >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--exec") == 0)
        execStamped(argv[2]);
    Settings settings;
    if (!parse(argc, argv, settings)) {
        std::fprintf(stderr, "Usage: %s [--runs N] [--warm-up N] [--probe PATH] [--printer PATH]\n",
                     argv[0]);
        return 1;
    }
    if (unshare(CLONE_NEWNET) != 0)
        std::fprintf(stderr,
                     "note: no private network namespace (%s); a running copy of the "
                     "program would take the single-instance lock\n",
                     std::strerror(errno));
    const std::string self = std::filesystem::canonical("/proc/self/exe");

    std::vector<double> show;
    std::vector<double> paint;
    std::vector<double> startToShow;
    std::vector<double> rssMb;
    for (int i = 0; i < settings.warmUp + settings.runs; ++i) {
        Report report = runOnce(settings, self);
        const bool timed = i >= settings.warmUp;
        std::printf(
            "run %2d%s: outcome=%s exec_to_show_ms=%s exec_to_paint_ms=%s "
            "fork_to_show_ms=%s peak_rss_kb=%s\n",
            i + 1, timed ? "" : " (warm-up)", report["outcome"].c_str(),
            report["exec_to_show_ms"].c_str(), report["exec_to_paint_ms"].c_str(),
            report["fork_to_show_ms"].c_str(), report["peak_rss_kb"].c_str());
        if (report["outcome"] != "shown") {
            std::fprintf(stderr, "the main window was not shown; measurement abandoned\n");
            return 1;
        }
        if (!timed)
            continue;
        show.push_back(std::stod(report["exec_to_show_ms"]));
        paint.push_back(std::stod(report["exec_to_paint_ms"]));
        startToShow.push_back(std::stod(report["fork_to_show_ms"]));
        rssMb.push_back(std::stod(report["peak_rss_kb"]) / 1024);
    }
    std::printf("timed runs: %d (after %d warm-up runs)\n", settings.runs, settings.warmUp);
    printFigure("exec_to_show_ms", show, "ms");
    printFigure("exec_to_paint_ms", paint, "ms");
    printFigure("fork_to_show_ms", startToShow, "ms");
    printFigure("peak_rss_mb", rssMb, "MB");
    // The process's start time is the conservative one: it is rounded down to a clock tick and
    // includes the launcher's own exec.
    const double startUp = median(startToShow);
    const double peakMb = *std::max_element(rssMb.begin(), rssMb.end());
    const bool met = startUp < kTargetStartUpMs && peakMb < kTargetPeakRssMb;
    std::printf(
        "start-up (process start to main window shown) median %.1f ms (target < %.0f ms), "
        "peak RSS max %.1f MB (target < %.0f MB): %s\n",
        startUp, kTargetStartUpMs, peakMb, kTargetPeakRssMb, met ? "met" : "NOT met");
    return met ? 0 : 2;
}
