// Whole filter runs in-process, through the host and the real module, on a
// 4096x4096 8-bit RGB image laid out as the file readers lay it out, against
// a plain copy of the same bytes; and the band-iterator filters with one and
// two threads, as the command line runs them (nothing kept to restore), to
// show how they scale.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>

#include "pictra/Host.h"

namespace {

constexpr int kSize = 4096;

pictra::Image& BenchImage()
{
    static pictra::Image image = [] {
        pictra::Image made(kSize, kSize, kModeRGB, 8, false, -1, pictra::kWorkingMargin);
        std::mt19937 random(42);
        for (int p = 0; p < 3; ++p)
            for (uint8_t& sample : made.plane(p))
                sample = uint8_t(random());
        return made;
    }();
    return image;
}

pictra::Host& BenchHost()
{
    static const std::unique_ptr<pictra::Host> host = [] {
        auto made = std::make_unique<pictra::Host>();
        made->echoAlerts = false;
        made->loadModule(PICTRA_MODULE_PATH);
        return made;
    }();
    return *host;
}

void BM_RunCopyImage(benchmark::State& state)
{
    const pictra::Image& image = BenchImage();
    std::vector<uint8_t> target(image.plane(0).size() * 3);
    for (auto _ : state) {
        for (int p = 0; p < 3; ++p)
            std::memcpy(target.data() + p * image.plane(0).size(), image.plane(p).data(), image.plane(p).size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(target.size()));
}

void RunFilter(benchmark::State& state, int32_t filterId, bool keepBefore = true)
{
    pictra::Host& host = BenchHost();
    pictra::Image image = BenchImage();
    pictra::RunOptions options;
    options.restoreOnFailure = keepBefore;
    for (auto _ : state) {
        if (host.runFilter(filterId, image, options) != 0)
            state.SkipWithError("the filter failed");
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize) * kSize * 3);
}

// Invert as the library runs it (keeping the image to restore on failure)
// and as the command line does (in place).
void BM_RunInvert(benchmark::State& state) { RunFilter(state, 16900); }
void BM_RunInvertInPlace(benchmark::State& state) { RunFilter(state, 16900, false); }
void BM_RunBlur(benchmark::State& state) { RunFilter(state, 16000); }
void BM_RunSharpen(benchmark::State& state) { RunFilter(state, 16300); }

// Arguments: filter id, threads. Each filter runs with its default settings
// (a store nobody has written).
void BM_RunThreads(benchmark::State& state)
{
    static std::map<int64_t, std::unique_ptr<pictra::Host>> hosts;
    std::unique_ptr<pictra::Host>& host = hosts[state.range(1)];
    if (!host) {
        const auto store = std::filesystem::temp_directory_path() / "pictra-run-bench-unused.db";
        host = std::make_unique<pictra::Host>(
            pictra::HostSettings{.threads = int(state.range(1)), .settingsPath = store.string()});
        host->echoAlerts = false;
        host->loadModule(PICTRA_MODULE_PATH);
    }
    pictra::Image image = BenchImage();
    const pictra::RunOptions options{.restoreOnFailure = false};
    for (auto _ : state) {
        if (host->runFilter(int32_t(state.range(0)), image, options) != 0)
            state.SkipWithError("the filter failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kSize) * kSize * 3);
}

// Blur, Sharpen, Sharpen Edges, Custom, Unsharp Mask, High Pass, Despeckle.
BENCHMARK(BM_RunThreads)
    ->ArgNames({"filter", "threads"})
    ->ArgsProduct({{16000, 16300, 16320, 16500, 16330, 16530, 16130}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RunCopyImage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunInvert)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunInvertInPlace)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunBlur)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunSharpen)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
