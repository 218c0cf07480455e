#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/os/clock.h"
#include "platform/os/handles.h"
#include "platform/os/log.h"

namespace {

// Sets (or with nullptr removes) an environment variable.
void setVariable(const char* name, const char* value) {
#ifdef _WIN32
    ::_putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
}

TEST(TickCount, DifferencesSurviveTheWrap) {
    EXPECT_EQ(os::ticksSince(0xFFFFFFF0u, 0x00000010u), 0x20u);
    os::VirtualClock clock(0xFFFFFFFFull - 5);
    os::ScopedClock scoped(clock);
    const os::Tick start = os::tickCount();
    os::sleepMs(20);
    EXPECT_LT(os::tickCount(), start);  // wrapped
    EXPECT_EQ(os::ticksSince(start, os::tickCount()), 20u);
}

TEST(VirtualClock, SleepAdvancesAtOnceAndTellsListeners) {
    os::VirtualClock clock(1000);
    std::uint64_t seen = 0;
    clock.onAdvance([&](std::uint64_t now) { seen = now; });
    os::ScopedClock scoped(clock);
    os::sleepMs(15000);
    EXPECT_EQ(clock.nowMs(), 16000u);
    EXPECT_EQ(seen, 16000u);
}

struct FakeObject : os::HandleObject {
    bool closeSucceeds = true;
    std::uint32_t read(void*, std::uint32_t length) override { return length / 2; }
    std::uint32_t write(const void*, std::uint32_t length) override { return length; }
    bool close() override { return closeSucceeds; }
};

TEST(Handles, TransfersReportTheTransportCountAndCloseMayFail) {
    auto object = std::make_unique<FakeObject>();
    FakeObject* raw = object.get();
    const std::size_t before = os::openHandleCount();
    const os::Handle h = os::openHandle(std::move(object));
    ASSERT_NE(h, os::kNoHandle);
    char buffer[8] = {};
    EXPECT_EQ(os::readFile(h, buffer, 8), 4u);
    EXPECT_EQ(os::writeFile(h, buffer, 8), 8u);

    raw->closeSucceeds = false;
    EXPECT_FALSE(os::closeHandle(h));
    EXPECT_EQ(os::writeFile(h, buffer, 8), 8u);  // still open
    raw->closeSucceeds = true;
    EXPECT_TRUE(os::closeHandle(h));
    EXPECT_EQ(os::openHandleCount(), before);

    EXPECT_EQ(os::writeFile(h, buffer, 8), 0u);
    EXPECT_EQ(os::readFile(os::kNoHandle, buffer, 8), 0u);
    EXPECT_FALSE(os::closeHandle(h));
}

// Lines from several threads reach standard error whole, one per call, with the program's name.
TEST(Log, WholePrefixedLinesOnStandardErrorFromManyThreads) {
    const std::string path = ::testing::TempDir() + "log-test-stderr.txt";
    std::FILE* file = std::fopen(path.c_str(), "w+");
    ASSERT_NE(file, nullptr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(file), STDERR_FILENO);
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                os::log("thread %d line %d %s", t, i, std::string(300, 'x').c_str());
        });
    for (auto& thread : threads)
        thread.join();
    os::logLine(std::string(2 * os::kMaxLogLine, 'y'));
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::fclose(file);

    std::ifstream in(path);
    std::string line;
    int count = 0;
    while (std::getline(in, line) && line[line.size() - 1] == 'x') {
        ++count;
        EXPECT_EQ(line.rfind("pv4410s-updater: thread ", 0), 0u) << line;
        EXPECT_EQ(line.find(std::string(300, 'x')), line.size() - 300) << line;
    }
    EXPECT_EQ(count, 800);
    EXPECT_EQ(line.size(), os::kMaxLogLine - 1);  // the long line is cut, newline kept
}

TEST(Log, TraceFollowsTheVariableAndStampsTheInstalledClock) {
    os::CapturedLog captured;
    setVariable(os::kTraceVariable, "0");
    os::traceFromEnvironment();
    os::trace("hidden %d", 1);
    EXPECT_TRUE(captured.lines().empty());

    setVariable(os::kTraceVariable, "1");
    os::traceFromEnvironment();
    os::setLogProgramName("tool");
    os::trace("write %u bytes", 4096u);
    os::VirtualClock clock(1500);
    {
        os::ScopedClock scoped(clock);
        os::traceLine("wait 500 ms");
    }
    os::log("plain");
    os::setLogProgramName("pv4410s-updater");
    os::setTraceOn(false);
    setVariable(os::kTraceVariable, nullptr);

    const auto lines = captured.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("tool: [") && lines[0].ends_with(" ms] write 4096 bytes"))
        << lines[0];
    EXPECT_TRUE(lines[1].ends_with(" ms, clock 1500] wait 500 ms")) << lines[1];
    EXPECT_EQ(lines[2], "tool: plain");
}

}  // namespace
