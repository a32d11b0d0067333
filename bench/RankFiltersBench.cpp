// Throughput of the rank filters and Despeckle on 4096 x 4096 noise:
//   BM_RankPlane   the filter's plane pass alone: the module's entry
//                  driven as the host drives it, on a plane already padded
//                  with its halo, so none of the host's copies are timed;
//                  8-bit samples, and 16-bit ones for the small medians;
//                  16 bands on 1 thread, or on 2 to show how the kernels
//                  scale;
//   BM_RankRun     whole runs through the host on an RGB image, with 1 and
//                  2 band workers, as the command line runs them (an image
//                  read from a file, nothing kept to restore).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "HostInternal.h"
#include "ThreadPool.h"
#include "pictra/Host.h"

namespace {

constexpr int32_t kSide = 4096;
constexpr int kHalo = 16;  // the largest radius
constexpr int32_t kDespeckle = 16130;
constexpr int32_t kDustAndScratches = 16120;

template <class Bytes>
void Noise(Bytes& bytes, uint32_t seed)
{
    std::mt19937 random(seed);
    for (uint8_t& byte : bytes)
        byte = uint8_t(random());
}

pictra::Host& BenchHost(int threads)
{
    static std::unique_ptr<pictra::Host> hosts[3];
    std::unique_ptr<pictra::Host>& host = hosts[threads];
    if (!host) {
        // A store nobody has written: the filters find no saved settings.
        const std::string store = (std::filesystem::temp_directory_path() / "pictra-rank-bench-unused.db").string();
        host = std::make_unique<pictra::Host>(pictra::HostSettings{.threads = threads, .settingsPath = store});
        host->echoAlerts = false;
        host->loadModule(PICTRA_MODULE_PATH);
    }
    return *host;
}

// Drives one filter entry through prepare, start, then selectors 26 and 27
// per plane, answering advanceState from a padded plane of `depth`-bit
// samples; bands run on a pool of `threads`.
class PlaneDriver {
public:
    PlaneDriver(int32_t filterId, int radius, int threshold, int depth, int threads)
        : bytes_(depth / 8),
          padded_(size_t(kSide + 2 * kHalo) * (kSide + 2 * kHalo) * bytes_),
          output_(size_t(kSide) * kSide * bytes_),
          pool_(threads)
    {
        Noise(padded_, 1);
        entry_ = BenchHost(1).filterEntry(filterId);
        hostBlock_.RegisterFilterEntry = [](FilterEntry, int32_t) -> int16_t { return 0; };
        hostBlock_.tileRect = Rect16{0, 0, int16_t(kSide), int16_t(kSide)};
        hostBlock_.bandCount = 16;  // the host's default
        hostBlock_.ForEachBand = [](int32_t count, const Band* bands, BandCallback callback, intptr_t) {
            gActive->pool_.parallelFor(count, [&](int i) { callback(&bands[i], &gActive->record_); });
        };
        hostBlock_.documentDepth = int16_t(depth);
        hostBlock_.workingDepth = int16_t(depth);
        record_.abortProc = [] { return false; };
        record_.progressProc = [](uint32_t, uint32_t) {};
        record_.planes = 1;
        record_.filterRect = hostBlock_.tileRect;
        record_.hostProc = &hostBlock_;
        record_.imageMode = kModeGrayscale;
        record_.advanceState = [] { return gActive->deliver(); };
        gActive = this;
        call(filterSelectorPrepare);
        // Both blocks start with their setting: the radius, or Despeckle's threshold.
        auto* settings = static_cast<int16_t*>(record_.parameters);
        settings[0] = int16_t(filterId == kDespeckle ? threshold : radius);
        if (filterId != kDespeckle)
            settings[1] = int16_t(threshold);
        if (call(filterSelectorStart) != 0)
            throw std::runtime_error("the filter did not start");
    }

    ~PlaneDriver()
    {
        call(filterSelectorFinish);
        pictra::CallbackTable()->platform->FreeBlock(record_.parameters);
        gActive = nullptr;
    }

    bool runPlane()
    {
        call(kSelectorResetPlanes);
        const int16_t result = call(kSelectorProcessPlane);
        return result == 0 && record_.outRect.empty();
    }

private:
    // Through the host, so that the filter's services (the settings store) find it.
    int16_t call(int16_t selector)
    {
        intptr_t data = 0;
        int16_t result = 0;
        BenchHost(1).callEntry(entry_, selector, record_, data, result);
        return result;
    }

    int16_t deliver()
    {
        const int32_t rowBytes = (kSide + 2 * kHalo) * bytes_;
        const Rect16& in = record_.inRect;
        record_.inData = padded_.data() + size_t(in.top + kHalo) * rowBytes + size_t(in.left + kHalo) * bytes_;
        record_.inRowBytes = rowBytes;
        record_.outData = output_.data();
        record_.outRowBytes = kSide * bytes_;
        return 0;
    }

    static inline PlaneDriver* gActive = nullptr;
    int bytes_;
    pictra::PlaneBytes padded_, output_;
    pictra::ThreadPool pool_;
    FilterEntry entry_ = nullptr;
    FilterHostBlock hostBlock_{};
    FilterRecord record_{};
};

void BM_RankPlane(benchmark::State& state)
{
    PlaneDriver driver(int32_t(state.range(0)), int(state.range(1)), int(state.range(2)), int(state.range(3)),
                       int(state.range(4)));
    for (auto _ : state)
        if (!driver.runPlane())
            state.SkipWithError("the plane pass failed");
    state.SetItemsProcessed(state.iterations() * int64_t(kSide) * kSide);
}

void BM_RankRun(benchmark::State& state)
{
    pictra::Host& host = BenchHost(int(state.range(3)));
    pictra::Image image(kSide, kSide, kModeRGB, 8, false, -1, pictra::kWorkingMargin);
    for (int p = 0; p < 3; ++p)
        Noise(image.plane(p), uint32_t(p + 2));
    HostDescriptor settings;
    if (state.range(0) == kDespeckle) {
        settings.putInteger(FourCC("dspt"), int32_t(state.range(2)));
    } else {
        // A descriptor with a key the filter lacks is refused whole.
        settings.putInteger(FourCC("rnkr"), int32_t(state.range(1)));
        if (state.range(0) == kDustAndScratches)
            settings.putInteger(FourCC("rnkt"), int32_t(state.range(2)));
    }
    const pictra::Image original = image;
    for (auto _ : state) {
        state.PauseTiming();
        image = original;
        state.ResumeTiming();
        if (host.runFilter(int32_t(state.range(0)), image,
                           pictra::RunOptions{.descriptor = &settings, .restoreOnFailure = false}) != 0)
            state.SkipWithError("the filter failed");
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kSide) * kSide * 3);
}

// Filter, radius, threshold (Dust & Scratches 10, Despeckle its default 64),
// depth, threads. Medians at 16 bits only at radius 1 and 2: selecting from
// each gathered window, larger ones take seconds a plane. Two threads at
// radius 5 (and Despeckle) show how the kernels scale.
void PlaneArguments(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"filter", "radius", "threshold", "depth", "threads"});
    for (int64_t filter : {16510, 16520, 16110, 16030, 16120})
        for (int64_t radius : {1, 2, 5, 16})
            b->Args({filter, radius, filter == 16120 ? 10 : 0, 8, 1});
    for (int64_t filter : {16110, 16120})
        for (int64_t radius : {1, 2})
            b->Args({filter, radius, filter == 16120 ? 10 : 0, 16, 1});
    b->Args({kDespeckle, 1, 64, 8, 1});
    for (int64_t filter : {16510, 16520, 16110, 16030, 16120})
        b->Args({filter, 5, filter == 16120 ? 10 : 0, 8, 2});
    b->Args({kDespeckle, 1, 64, 8, 2});
}

void RunArguments(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"filter", "radius", "threshold", "threads"});
    for (int64_t threads : {1, 2}) {
        for (int64_t filter : {16510, 16520, 16110, 16030, 16120})
            b->Args({filter, 5, filter == 16120 ? 10 : 0, threads});
        b->Args({kDespeckle, 1, 64, threads});
    }
}

BENCHMARK(BM_RankPlane)->Apply(PlaneArguments)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RankRun)->Apply(RunArguments)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
