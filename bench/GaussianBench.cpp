// Gaussian convolution throughput: the host's line routine and the imaging
// library's separable convolution on one 4096 x 4096 plane (one thread, so
// pixels per second per core), and whole Gaussian Blur runs through the host
// on a 4096 x 4096 RGB image at 8 and 16 bits, with one and two band threads,
// as the command line runs them (an image read from a file, nothing kept to
// restore).
// Radii are in pixels (the filter's sigma).
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "ipl.h"
#include "pictra/Host.h"
#include "pictra/PixelRoutines.h"

namespace {

constexpr int32_t kSide = 4096;
constexpr int32_t kGaussianBlurId = 16020;

std::vector<uint8_t> Noise(size_t bytes)
{
    std::vector<uint8_t> noise(bytes);
    std::mt19937 random(42);
    for (uint8_t& b : noise)
        b = uint8_t(random());
    return noise;
}

struct Weights {
    std::vector<double> values = std::vector<double>(1024);
    int32_t n = 0;
    explicit Weights(int64_t radius) { pictra::GaussianWeights(double(radius), values.data(), &n); }
};

void ReportPixels(benchmark::State& state, int64_t pixelsPerIteration)
{
    state.SetItemsProcessed(state.iterations() * pixelsPerIteration);
}

// ConvolveLine8 over a plane as High Pass and Unsharp Mask call it: every
// row (columns = 0), or every column in runs of 256 rows into a tile of 256
// columns (columns = 1), between buffers whose pitch is an odd number of
// cache lines.
void BM_ConvolveLine8(benchmark::State& state)
{
    const Weights w(state.range(0));
    const bool columns = state.range(1) != 0;
    KernelTable table{};
    pictra::BuildKernelTable(w.values.data(), w.n, &table);
    const int32_t halo = w.n - 1;
    const int32_t pitch = ((kSide + 2 * halo + 63) / 64 | 1) * 64;
    const std::vector<uint8_t> source = Noise(size_t(pitch) * size_t(kSide + 2 * halo));
    constexpr int32_t kTile = 256, kTilePitch = 320;
    std::vector<uint8_t> out(size_t(pitch) * kSide), tile(size_t(kTilePitch) * kTile);
    for (auto _ : state) {
        if (!columns) {
            for (int32_t y = 0; y < kSide; ++y)
                pictra::ConvolveLine8(kSide, &source[size_t(y) * pitch + size_t(halo)], 1, &out[size_t(y) * pitch], 1,
                                      w.values.data(), &table, w.n);
        } else {
            for (int32_t top = 0; top < kSide; top += kTile)
                for (int32_t x = 0; x < kSide; ++x)
                    pictra::ConvolveLine8(kTile, &source[size_t(top + halo) * pitch + size_t(x)], pitch,
                                          &tile[size_t(x % kTile)], kTilePitch, w.values.data(), &table, w.n);
        }
        benchmark::ClobberMemory();
    }
    pictra::ReleaseKernelTable(&table);
    ReportPixels(state, int64_t(kSide) * kSide);
}

// High Pass's combination over a plane: the difference of two planes plus 128.
void BM_DifferenceOffset8(benchmark::State& state)
{
    const std::vector<uint8_t> unfiltered = Noise(size_t(kSide) * kSide);
    const std::vector<uint8_t> blurred = Noise(size_t(kSide) * kSide + 1);
    std::vector<uint8_t> out(size_t(kSide) * kSide);
    for (auto _ : state) {
        pictra::DifferenceOffset8(kSide, kSide, unfiltered.data(), kSide, blurred.data() + 1, kSide, out.data(), kSide,
                                  1, 128);
        benchmark::ClobberMemory();
    }
    ReportPixels(state, int64_t(kSide) * kSide);
}

// One call of the library on a plane with a halo around its region of
// interest, with a kernel of Gaussian Blur's length and scale.
void BM_IplConvolveSep2D(benchmark::State& state)
{
    const Weights w(state.range(0));
    std::vector<int> kernel(1024);
    kernel.resize(size_t(2 * w.n - 1));
    for (int32_t k = 0; k < 2 * w.n - 1; ++k)
        kernel[size_t(k)] = int(2048 * w.values[size_t(std::abs(k - (w.n - 1)))]);
    const int32_t halo = w.n;
    const int32_t inSide = kSide + 2 * halo;
    std::vector<uint8_t> source = Noise(size_t(inSide) * inSide), out(size_t(kSide) * kSide);
    IplROI roi{0, halo, halo, kSide, kSide};
    IplImage* in = iplCreateImageHeader(1, 0, IPL_DEPTH_8U, "GRAY", "GRAY", IPL_DATA_ORDER_PIXEL, IPL_ORIGIN_TL,
                                        IPL_ALIGN_QWORD, inSide, inSide, &roi, nullptr, nullptr, nullptr);
    IplImage* dst = iplCreateImageHeader(1, 0, IPL_DEPTH_8U, "GRAY", "GRAY", IPL_DATA_ORDER_PIXEL, IPL_ORIGIN_TL,
                                         IPL_ALIGN_QWORD, kSide, kSide, nullptr, nullptr, nullptr, nullptr);
    in->imageData = reinterpret_cast<char*>(source.data());
    in->widthStep = inSide;
    dst->imageData = reinterpret_cast<char*>(out.data());
    dst->widthStep = kSide;
    iplSetBorderMode(in, IPL_BORDER_REPLICATE, IPL_SIDE_ALL, 0);
    const int length = int(kernel.size());
    IplConvKernel* rows = iplCreateConvKernel(length, 1, length / 2, 0, kernel.data(), 11);
    IplConvKernel* columns = iplCreateConvKernel(1, length, 0, length / 2, kernel.data(), 11);
    for (auto _ : state) {
        iplConvolveSep2D(in, dst, rows, columns);
        benchmark::ClobberMemory();
    }
    iplDeleteConvKernel(rows);
    iplDeleteConvKernel(columns);
    iplDeallocate(in, IPL_IMAGE_HEADER);
    iplDeallocate(dst, IPL_IMAGE_HEADER);
    ReportPixels(state, int64_t(kSide) * kSide);
}

pictra::Host& HostWithThreads(int threads)
{
    static std::map<int, std::unique_ptr<pictra::Host>> hosts;
    std::unique_ptr<pictra::Host>& host = hosts[threads];
    if (!host) {
        host = std::make_unique<pictra::Host>(pictra::HostSettings{.threads = threads});
        host->echoAlerts = false;
        host->loadModule(PICTRA_MODULE_PATH);
    }
    return *host;
}

pictra::Image RgbImage(int depth)
{
    pictra::Image image(kSide, kSide, kModeRGB, depth, false, -1, pictra::kWorkingMargin);
    std::mt19937 random(7);
    for (int p = 0; p < 3; ++p)
        for (uint8_t& b : image.plane(p))
            b = uint8_t(random());
    return image;
}

// Arguments: radius in pixels, band threads, bits per sample.
void BM_GaussianBlurRun(benchmark::State& state)
{
    pictra::Host& host = HostWithThreads(int(state.range(1)));
    pictra::Image image = RgbImage(int(state.range(2)));
    HostDescriptor settings;
    settings.putInteger(0x8982, int32_t(state.range(0) * 10));
    for (auto _ : state) {
        if (host.runFilter(kGaussianBlurId, image,
                           pictra::RunOptions{.descriptor = &settings, .restoreOnFailure = false}) != 0)
            state.SkipWithError("Gaussian Blur failed");
        benchmark::ClobberMemory();
    }
    ReportPixels(state, int64_t(kSide) * kSide * 3);
}

BENCHMARK(BM_ConvolveLine8)
    ->ArgNames({"radius", "columns"})
    ->ArgsProduct({{2, 10}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_DifferenceOffset8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IplConvolveSep2D)->Arg(2)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GaussianBlurRun)
    ->ArgNames({"radius", "threads", "bits"})
    ->ArgsProduct({{2, 10}, {1, 2}, {8, 16}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
