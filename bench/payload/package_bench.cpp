// How long the package check takes on the largest image, next to copying the same bytes.
// The check should take at most four times as long as the copy.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "payload/embedded_images.h"
#include "payload/image_table.h"
#include "payload/package.h"

namespace {

using pv::payload::embeddedImages;
using pv::payload::kTableImage;

// The table image as the catalogue sees it after assembly: a heap copy.
const std::vector<std::uint8_t>& tableImage() {
    static const std::vector<std::uint8_t> image = [] {
        const auto stored = embeddedImages().image(kTableImage);
        return std::vector<std::uint8_t>(stored.begin(), stored.end());
    }();
    return image;
}

void checkTable(benchmark::State& state) {
    const auto& image = tableImage();
    for ([[maybe_unused]] auto _ : state) {
        bool valid =
            pv::payload::checkPackage(image.data(), static_cast<std::uint32_t>(image.size()));
        benchmark::DoNotOptimize(valid);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.size()));
}

void copyTable(benchmark::State& state) {
    const auto& image = tableImage();
    std::vector<std::uint8_t> target(image.size());
    for ([[maybe_unused]] auto _ : state) {
        std::memcpy(target.data(), image.data(), image.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.size()));
}

// Both in each iteration, timed separately; the counter `ratio` is check time / copy time.
void checkVersusCopy(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const auto& image = tableImage();
    std::vector<std::uint8_t> target(image.size());
    Clock::duration checking{};
    Clock::duration copying{};
    for ([[maybe_unused]] auto _ : state) {
        const auto t0 = Clock::now();
        bool valid =
            pv::payload::checkPackage(image.data(), static_cast<std::uint32_t>(image.size()));
        benchmark::DoNotOptimize(valid);
        const auto t1 = Clock::now();
        std::memcpy(target.data(), image.data(), image.size());
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        checking += t1 - t0;
        copying += t2 - t1;
        if (!valid)
            state.SkipWithError("the table image fails its check");
    }
    const auto micros = [&](Clock::duration d) {
        return std::chrono::duration<double, std::micro>(d).count() /
               static_cast<double>(state.iterations());
    };
    state.counters["check_us"] = micros(checking);
    state.counters["memcpy_us"] = micros(copying);
    state.counters["ratio"] = micros(checking) / micros(copying);
}

BENCHMARK(checkTable)->Unit(benchmark::kMicrosecond);
BENCHMARK(copyTable)->Unit(benchmark::kMicrosecond);
BENCHMARK(checkVersusCopy)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
