// Start-up and peak memory of pv4410s-update against a virtual printer in real time, hosted in
// this process (as pv4410s-virtual-printer hosts it), so that the moment the printer receives a
// request is taken on the same clock as the moment the program was started.
//
//   cli_bench startup [--runs N] [--warm-up N]
//       Starts `pv4410s-update check` N times (after the warm-up runs). Each run: the monotonic
//       time just before fork and exec, to the moment the printer receives the program's first
//       printer request, the device-ID request of the model check (the program lists the
//       attached printers first, so this is later than its first USB transfer). The run is then
//       ended with SIGTERM. Prints "startup_to_first_request_ms: median=.. min=.. max=..".
//       Exit status 2 when the median is above 20 ms.
//   cli_bench check [--runs N]
//       Runs `pv4410s-update check` N times (default 30) to its end against one printer. Each
//       run: the time from the printer's first request (the device-ID request of the model check)
//       to the program's exit, which holds its whole USB work: the look at the running printer in
//       read-back mode and the release of the printer. Prints "check_usb_work_ms: median=..
//       min=.. max=..". Exit status 2 when the median is above 1,500 ms or a run failed.
//   cli_bench rss [--main-version CODE]
//       One whole `pv4410s-update --json update --yes` (default a "301" printer: both images),
//       and the program's peak RSS (wait4's ru_maxrss, which counts the umockdev preload library
//       the test bus needs). Prints "update_peak_rss_mb: value=.. status=.. wall_s=..". Exit
//       status 2 when above 12 MB or when the update did not succeed.
//   cli_bench fleet [--printers N] [--jobs J] [--main-version CODE]
//       N printers (default 8, serials VIRTUAL-0001...) on one emulated bus, and one whole
//       `pv4410s-update --json update --all --yes --jobs J` (default J = N): its wall time from
//       fork to exit and its peak RSS as above. Prints "fleet_update: printers=.. jobs=..
//       wall_s=.. peak_rss_mb=.. status=.. updated=..". Exit status 2 when a printer was not
//       updated or the peak RSS is above 20 MB.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "model/printer.h"
#include "usb/preload.h"
#include "usb/usb_printer.h"

namespace {

constexpr double kTargetStartUpMs = 20;
constexpr double kTargetCheckMs = 1500;
constexpr double kTargetPeakRssMb = 12;
constexpr double kTargetFleetRssMb = 20;

std::int64_t nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Forks and execs `words` with the umockdev preload library (`preload`, worked out beforehand so
// that a timed start does not include reading the program's ELF headers).
pid_t launch(const std::vector<std::string>& words, const std::string& preload, bool quiet) {
    const pid_t child = fork();
    if (child != 0)
        return child;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    if (quiet && (std::freopen("/dev/null", "w", stdout) == nullptr ||
                  std::freopen("/dev/null", "w", stderr) == nullptr))
        _exit(127);
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (const auto& w : words)
        argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    std::perror(argv[0]);
    _exit(127);
}

int startup(int runs, int warmUp) {
    vprinter::RealClock clock;
    vprinter::Printer printer({}, clock);
    std::atomic<std::int64_t> requestUs{0};
    printer.trace().addSink([&](const vprinter::TraceEvent& e) {
        if (e.name == "device-id" && requestUs.load() == 0)
            requestUs.store(nowUs());
    });
    vprinter::UsbPrinter usb(printer);
    usb.startRealTimeSync();

    const std::string preload = vprinter::preloadFor(PV4410S_UPDATE);
    std::vector<double> ms;
    for (int i = 0; i < warmUp + runs; ++i) {
        requestUs.store(0);
        const std::int64_t start = nowUs();
        const pid_t child = launch({PV4410S_UPDATE, "check"}, preload, true);
        while (requestUs.load() == 0 && nowUs() - start < 10'000'000)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        kill(child, SIGTERM);
        int status = 0;
        waitpid(child, &status, 0);
        if (requestUs.load() == 0) {
            std::fprintf(stderr, "cli_bench: run %d saw no request\n", i + 1);
            return 1;
        }
        if (i >= warmUp)
            ms.push_back(static_cast<double>(requestUs.load() - start) / 1000.0);
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    std::printf("startup_to_first_request_ms: median=%.2f min=%.2f max=%.2f runs=%zu\n", median,
                ms.front(), ms.back(), ms.size());
    return median <= kTargetStartUpMs ? 0 : 2;
}

int check(int runs) {
    vprinter::RealClock clock;
    vprinter::Printer printer({}, clock);
    std::atomic<std::int64_t> requestUs{0};
    printer.trace().addSink([&](const vprinter::TraceEvent& e) {
        if (e.name == "device-id" && requestUs.load() == 0)
            requestUs.store(nowUs());
    });
    vprinter::UsbPrinter usb(printer);
    usb.startRealTimeSync();
    const std::string preload = vprinter::preloadFor(PV4410S_UPDATE);
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        requestUs.store(0);
        const pid_t child = launch({PV4410S_UPDATE, "check"}, preload, true);
        int status = 0;
        waitpid(child, &status, 0);
        const std::int64_t end = nowUs();
        if (requestUs.load() == 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "cli_bench: check run %d failed (status %d)\n", i + 1, status);
            return 2;
        }
        ms.push_back(static_cast<double>(end - requestUs.load()) / 1000.0);
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    std::printf("check_usb_work_ms: median=%.2f min=%.2f max=%.2f runs=%zu\n", median, ms.front(),
                ms.back(), ms.size());
    return median <= kTargetCheckMs ? 0 : 2;
}

int rss(const std::string& mainVersion) {
    vprinter::Options options;
    options.mainVersion = mainVersion;
    vprinter::RealClock clock;
    vprinter::Printer printer(options, clock);
    vprinter::UsbPrinter usb(printer);
    usb.startRealTimeSync();
    const std::string preload = vprinter::preloadFor(PV4410S_UPDATE);
    const std::int64_t start = nowUs();
    const pid_t child = launch({PV4410S_UPDATE, "--json", "update", "--yes"}, preload, true);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-union-access): the C library declares it so
    const double mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    const int exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("update_peak_rss_mb: value=%.2f status=%d wall_s=%.1f\n", mb, exit,
                static_cast<double>(nowUs() - start) / 1e6);
    return exit == 0 && mb <= kTargetPeakRssMb ? 0 : 2;
}

int fleet(const std::string& mainVersion, int count, int jobs) {
    vprinter::RealClock clock;
    vprinter::UsbBus bus;
    std::vector<std::unique_ptr<vprinter::Printer>> printers;
    std::vector<std::unique_ptr<vprinter::UsbPrinter>> devices;
    for (int i = 0; i < count; ++i) {
        vprinter::Options options;
        options.mainVersion = mainVersion;
        char serial[32];
        std::snprintf(serial, sizeof serial, "VIRTUAL-%04d", i + 1);
        options.serial = serial;
        printers.push_back(std::make_unique<vprinter::Printer>(options, clock));
    }
    for (auto& printer : printers) {
        devices.push_back(std::make_unique<vprinter::UsbPrinter>(bus, *printer));
        devices.back()->startRealTimeSync();
    }
    const std::string preload = vprinter::preloadFor(PV4410S_UPDATE);
    const std::string jobsText = std::to_string(jobs);
    const std::int64_t start = nowUs();
    const pid_t child = launch(
        {PV4410S_UPDATE, "--json", "update", "--all", "--yes", "--jobs", jobsText}, preload, true);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double wallS = static_cast<double>(nowUs() - start) / 1e6;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-union-access): the C library declares it so
    const double mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    const int exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    int updated = 0;
    for (auto& usb : devices)
        usb->withPrinter([&](vprinter::Printer& p) {
            p.update();
            updated += p.boots() == 1 && p.mainVersion() != mainVersion ? 1 : 0;
        });
    std::printf(
        "fleet_update: printers=%d jobs=%d wall_s=%.1f peak_rss_mb=%.2f status=%d "
        "updated=%d\n",
        count, jobs, wallS, mb, exit, updated);
    return exit == 0 && updated == count && mb <= kTargetFleetRssMb ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: cli_bench startup [--runs N] [--warm-up N] | check [--runs N] | rss "
                     "[--main-version CODE] | fleet [--printers N] [--jobs J] "
                     "[--main-version CODE]\n");
        return 1;
    }
    const std::string mode = argv[1];
    int runs = 30;
    int warmUp = 3;
    std::string mainVersion = "301B10";
    int printers = 8;
    int jobs = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--runs")
            runs = static_cast<int>(std::strtol(argv[i + 1], nullptr, 10));
        else if (option == "--warm-up")
            warmUp = static_cast<int>(std::strtol(argv[i + 1], nullptr, 10));
        else if (option == "--main-version")
            mainVersion = argv[i + 1];
        else if (option == "--printers")
            printers = static_cast<int>(std::strtol(argv[i + 1], nullptr, 10));
        else if (option == "--jobs")
            jobs = static_cast<int>(std::strtol(argv[i + 1], nullptr, 10));
    }
    if (mode == "startup")
        return startup(std::max(runs, 1), std::max(warmUp, 0));
    if (mode == "check")
        return check(std::max(runs, 1));
    if (mode == "rss")
        return rss(mainVersion);
    if (mode == "fleet")
        return fleet(mainVersion, std::max(printers, 1), jobs > 0 ? jobs : std::max(printers, 1));
    return 1;
}
