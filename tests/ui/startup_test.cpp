// Start-up's refusal paths against a stand-in USB port, the USB identity's lifetime, and a second
// copy of the real program ending silently while the lock is held.

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/updater_app.h"
#include "link/usb_identity.h"
#include "modal_watcher.h"
#include "platform/os/handles.h"
#include "platform/usbport/usbport.h"

#ifndef PV4410S_UPDATER_PATH
#error "PV4410S_UPDATER_PATH must name the program"
#endif

namespace pv::app {
namespace {

class NullHandle final : public os::HandleObject {
  public:
    std::uint32_t read(void*, std::uint32_t) override { return 0; }
    std::uint32_t write(const void*, std::uint32_t length) override { return length; }
    bool close() override { return true; }
};

// A printer that is absent (nothing opens) or present with the given device ID.
class StandInPort final : public usbport::Port {
  public:
    bool present = false;
    std::string deviceId;

    bool SetVenderID(std::uint16_t vendorId) override { return vendorId != 0; }
    bool SetProductID(const std::uint16_t*, std::uint16_t) override { return true; }
    os::Handle UsbOpenCont(std::uint32_t, std::uint32_t) override { return open(); }
    os::Handle UsbOpenBulk(const char*, std::uint32_t) override { return open(); }
    bool UsbDeviceIoControl(os::Handle, std::uint32_t, const void*, std::uint32_t, void* output,
                            std::uint32_t outputSize, std::uint32_t* bytesReturned) override {
        const auto n =
            std::min<std::uint32_t>(outputSize, static_cast<std::uint32_t>(deviceId.size()));
        std::memcpy(output, deviceId.data(), n);
        if (bytesReturned != nullptr)
            *bytesReturned = n;
        return true;
    }

  private:
    os::Handle open() {
        return present ? os::openHandle(std::make_unique<NullHandle>()) : os::kNoHandle;
    }
};

struct StartResult {
    bool initResult = true;
    std::vector<ui::testing::SeenModal> seen;
};

StartResult startWith(StandInPort& port) {
    usbport::ScopedPort installed(port);
    UpdaterApp app;
    ui::testing::ModalWatcher watcher;
    StartResult result;
    result.initResult = app.InitInstance();
    result.seen = watcher.seen();
    EXPECT_EQ(link::usbIdentity().vendorId, 0x7A3C);
    EXPECT_EQ(link::usbIdentity().productIdCount, 1);
    app.ExitInstance();
    EXPECT_EQ(link::usbIdentity().productIdCount, 0);
    EXPECT_EQ(link::usbIdentity().productIds, nullptr);
    return result;
}

TEST(StartUp, NoPrinterShowsNotConnectedWithoutOwnerAndNeverTheMainWindow) {
    StandInPort port;
    const std::size_t handlesBefore = os::openHandleCount();
    const StartResult result = startWith(port);
    EXPECT_FALSE(result.initResult);
    ASSERT_EQ(result.seen.size(), 1u);
    EXPECT_EQ(result.seen[0].title, "Error");
    EXPECT_EQ(result.seen[0].text, "Printer is not connected.");
    EXPECT_EQ(result.seen[0].icon, QMessageBox::Warning);
    EXPECT_EQ(os::openHandleCount(), handlesBefore);
}

TEST(StartUp, WrongModelShowsIllegalPrinterTypeAndClosesTheLink) {
    StandInPort port;
    port.present = true;
    port.deviceId = "MFG:Other;MDL:PV4400 ;CMD:ESC;";
    const std::size_t handlesBefore = os::openHandleCount();
    const StartResult result = startWith(port);
    EXPECT_FALSE(result.initResult);
    ASSERT_EQ(result.seen.size(), 1u);
    EXPECT_EQ(result.seen[0].title, "Error");
    EXPECT_EQ(result.seen[0].text, "Illegal Printer Type.");
    EXPECT_EQ(os::openHandleCount(), handlesBefore);
}

TEST(StartUp, RightPrinterRunsTheMainWindowUntilItCloses) {
    StandInPort port;
    port.present = true;
    port.deviceId = "MFG:Maker;MDL:PV4410S ;CMD:ESC;";
    const StartResult result = startWith(port);
    EXPECT_FALSE(result.initResult);  // start-up always ends once the window has closed
    ASSERT_EQ(result.seen.size(), 1u);
    EXPECT_EQ(result.seen[0].title, "Software Upgrade Application for PV4410S");
}

TEST(StartUp, ASecondCopyEndsSilentlyWhileTheFirstHoldsTheLock) {
    os::SingleInstanceLock first;
    ASSERT_TRUE(first.acquire(kInstanceLockName));

    StandInPort port;
    port.present = true;
    port.deviceId = "MDL:PV4410S ;";
    usbport::ScopedPort installed(port);
    UpdaterApp second;
    ui::testing::ModalWatcher watcher;
    EXPECT_FALSE(second.InitInstance());
    EXPECT_TRUE(watcher.seen().empty());

    // The real program too: it ends at once, with no window and nothing on its output.
    const auto started = std::chrono::steady_clock::now();
    const std::string command = std::string(PV4410S_UPDATER_PATH) + " 2>&1";
    FILE* output = ::popen(command.c_str(), "r");
    ASSERT_NE(output, nullptr);
    std::string text;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, output) != nullptr)
        text += buffer;
    const int status = ::pclose(output);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(text, "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// Without a private runtime folder the lock is an abstract socket name, which another user can
// take first: start-up names that user and the program ends with a failure status.
TEST(StartUp, AnotherUserHoldingTheNameIsReportedAndFails) {
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string runtimeBefore = runtime != nullptr ? runtime : "";
    ::unsetenv("XDG_RUNTIME_DIR");
    const std::string full = std::string(kInstanceLockName) + " uid " + std::to_string(::getuid());
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t squatter = ::fork();
    if (squatter == 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, full.data(), full.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const bool bound =
            ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
            ::bind(fd, reinterpret_cast<const sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + full.size())) ==
                0 &&
            ::listen(fd, 1) == 0;
        (void)!::write(fds[1], bound ? "y" : "n", 1);
        for (;;)
            ::pause();
    }
    char answer = 'n';
    (void)!::read(fds[0], &answer, 1);
    ASSERT_EQ(answer, 'y');
    StandInPort port;
    usbport::ScopedPort installed(port);
    UpdaterApp app;
    ui::testing::ModalWatcher watcher;
    EXPECT_FALSE(app.InitInstance());
    ASSERT_EQ(watcher.seen().size(), 1u);
    EXPECT_EQ(watcher.seen()[0].title, "Error");
    EXPECT_NE(watcher.seen()[0].text.find(full + "\" (an abstract socket, used without a private "
                                                 "XDG_RUNTIME_DIR) is held by user nobody"),
              std::string::npos)
        << watcher.seen()[0].text;
    EXPECT_NE(app.ExitInstance(), 0);
    ::kill(squatter, SIGKILL);
    ::waitpid(squatter, nullptr, 0);
    if (!runtimeBefore.empty())
        ::setenv("XDG_RUNTIME_DIR", runtimeBefore.c_str(), 1);
}

}  // namespace
}  // namespace pv::app
