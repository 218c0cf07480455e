#include "download_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

namespace pv::download::testing {
namespace {

constexpr std::uint16_t kProductIds[] = {0x0512};
constexpr std::uint16_t kVendorId = 0x7A3C;

}  // namespace

vprinter::Options printerOptions(const std::string& mainVersion,
                                 const std::vector<std::string>& faults) {
    vprinter::Options options;
    options.mainVersion = mainVersion;
    for (const auto& fault : faults) {
        const std::string error = vprinter::applyFault(fault, options.faults);
        EXPECT_EQ(error, "") << fault;
    }
    return options;
}

const payload::FirmwareCatalogue& DownloadOnPrinter::embedded() {
    static const payload::FirmwareCatalogue catalogue;
    return catalogue;
}

void DownloadOnPrinter::SetUp() {
    VirtualPrinterTest::SetUp();
    link::setUsbIdentity(kProductIds, 1, kVendorId);
}

void DownloadOnPrinter::TearDown() {
    link::releaseUsbIdentity();
    VirtualPrinterTest::TearDown();
}

void DownloadOnPrinter::run(const vprinter::Options& options,
                            const std::vector<vprinter::Options>& others) {
    if (others.empty()) {
        printers = {&startPrinter(options)};
    } else {
        std::vector<vprinter::Options> all = {options};
        all.insert(all.end(), others.begin(), others.end());
        printers = startPrinters(std::move(all));
    }
    // The program sleeps on this thread; the printer takes its time on the USB worker's.
    printer().clock().onAdvance([this, last = printer().clock().nowMs(),
                                 self = std::this_thread::get_id()](std::uint64_t now) mutable {
        if (std::this_thread::get_id() != self)
            transferTime.emplace_back(now, now - last);
        last = now;
    });
    outcome = DownloadProcedure(window, *catalogue, standInImages).runDownload();
}

Names DownloadOnPrinter::commands() {
    return commands(printer());
}

Names DownloadOnPrinter::commands(pvtest::VirtualPrinter& printer) {
    Names names;
    for (const auto& event : printer.trace("command"))
        names.push_back(event.field("name"));
    return names;
}

std::vector<vprinter::TraceEvent> DownloadOnPrinter::events(const std::string& name) {
    return printer().trace(name);
}

void DownloadOnPrinter::expectOneBox(const std::string& caption, const std::string& text,
                                     BoxIcon icon) {
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].caption, caption);
    EXPECT_EQ(window.boxes[0].text, text);
    EXPECT_EQ(window.boxes[0].icon, icon);
}

std::uint64_t DownloadOnPrinter::longestUndrained() {
    if (window.eventTimes.empty())
        return 0;
    std::vector<std::uint64_t> marks(window.drainTimes.begin(), window.drainTimes.end());
    marks.push_back(window.eventTimes.front());
    marks.push_back(window.eventTimes.back());
    std::sort(marks.begin(), marks.end());
    std::uint64_t longest = 0;
    for (std::size_t i = 1; i < marks.size(); ++i) {
        std::uint64_t gap = marks[i] - marks[i - 1];
        for (const auto& [at, taken] : transferTime)
            if (at > marks[i - 1] && at <= marks[i])
                gap -= std::min(gap, taken);
        longest = std::max(longest, gap);
    }
    return longest;
}

void DownloadOnPrinter::expectCleanEnd() {
    const auto& selection = window.selection_;
    EXPECT_EQ(selection.mainImageData, nullptr);
    EXPECT_EQ(selection.tableImageData, nullptr);
    EXPECT_EQ(selection.mainImageSize, 0u);
    EXPECT_EQ(selection.tableImageSize, 0u);
    EXPECT_EQ(window.openProgressWindows(), 0);

    ASSERT_GE(window.events.size(), 4u);
    EXPECT_EQ(window.events[0], "disable 1000");
    EXPECT_EQ(window.events[1], "disable 1001");
    const auto last = window.events.end();
    EXPECT_EQ(Names(last - 2, last), (Names{"enable 1000", "focus 1000"}));
    EXPECT_TRUE(window.enabled.at(kDownLoadButton));
    EXPECT_FALSE(window.enabled.at(kGetChecksumButton));
    EXPECT_EQ(std::count(window.events.begin(), window.events.end(), "enable 1001"), 0);
    EXPECT_EQ(window.focused, kDownLoadButton);

    // The printer was without firmware it could start from exactly while the window was told so:
    // from the first erase it accepted until its reset (or the run's end, without one).
    const Names& done = commands();
    const auto erase = std::find_if(done.begin(), done.end(),
                                    [](const std::string& c) { return c.starts_with("erase"); });
    const auto& seen = window.events;
    const auto on = std::find(seen.begin(), seen.end(), "writing on");
    EXPECT_EQ(on != seen.end(), erase != done.end());
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "writing on"),
              std::count(on, seen.end(), "writing off"))
        << "each stretch ends, after it began";
}

}  // namespace pv::download::testing
