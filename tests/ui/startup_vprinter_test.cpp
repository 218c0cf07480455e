// Start-up against the virtual printer on an emulated USB bus: absent, of the wrong model, and
// the right one.

#include <gtest/gtest.h>

#include "app/updater_app.h"
#include "modal_watcher.h"
#include "support/virtual_printer.h"

namespace pv::app {
namespace {

class StartUpOnBus : public pvtest::VirtualPrinterTest {
  protected:
    std::vector<ui::testing::SeenModal> start() {
        UpdaterApp app;
        ui::testing::ModalWatcher watcher;
        EXPECT_FALSE(app.InitInstance());
        app.ExitInstance();
        return watcher.seen();
    }
};

TEST_F(StartUpOnBus, NoPrinterOnTheBus) {
    const auto seen = start();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].title, "Error");
    EXPECT_EQ(seen[0].text, "Printer is not connected.");
}

TEST_F(StartUpOnBus, DeviceWithoutTheModelEntry) {
    vprinter::Options options;
    options.faults.deviceId = vprinter::DeviceIdFault::NoModel;
    startPrinter(options);
    const auto seen = start();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].title, "Error");
    EXPECT_EQ(seen[0].text, "Illegal Printer Type.");
}

TEST_F(StartUpOnBus, ThePrinterFoundRunsTheMainWindow) {
    startPrinter();
    const auto seen = start();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].title, "Software Upgrade Application for PV4410S");
}

}  // namespace
}  // namespace pv::app
