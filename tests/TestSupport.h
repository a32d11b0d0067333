// Shared by the tests: the built module, a host that has loaded it, and
// small deterministic images.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "pictra/Host.h"
#include "pictra/Image.h"

namespace pictra::test {

inline std::unique_ptr<Host> LoadedHost(HostSettings settings = {})
{
    auto host = std::make_unique<Host>(settings);
    host->echoAlerts = false;
    host->loadModule(PICTRA_MODULE_PATH);
    return host;
}

// A host whose settings store is a fresh file of the test's own.
struct StoreHost {
    std::filesystem::path folder;
    std::unique_ptr<Host> host;
    StoreHost()
    {
        char pattern[] = "/tmp/pictra-test-XXXXXX";
        folder = mkdtemp(pattern);
        host = LoadedHost(HostSettings{.settingsPath = settingsPath()});
    }
    std::string settingsPath() const { return (folder / "settings.db").string(); }
    ~StoreHost() { std::filesystem::remove_all(folder); }
    StoreHost(const StoreHost&) = delete;
    StoreHost& operator=(const StoreHost&) = delete;
};

// Every sample drawn uniformly from the depth's range (floats 0..1), from a fixed seed.
inline Image RandomImage(int32_t width, int32_t height, int16_t mode, int depth, bool transparency = false,
                         uint32_t seed = 1)
{
    Image image(width, height, mode, depth, transparency);
    std::mt19937 random(seed);
    for (int p = 0; p < image.planeCount(); ++p)
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x) {
                const uint32_t r = random();
                const double value = depth == 1    ? double(r & 1)
                                     : depth == 8  ? double(r & 0xFF)
                                     : depth == 16 ? double(r & 0xFFFF)
                                                   : double(r % 1001) / 1000.0;
                image.setSample(p, x, y, value);
            }
    return image;
}

inline Image ConstantImage(int32_t width, int32_t height, int16_t mode, int depth, double value,
                           bool transparency = false)
{
    Image image(width, height, mode, depth, transparency);
    for (int p = 0; p < image.planeCount(); ++p)
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x)
                image.setSample(p, x, y, value);
    return image;
}

// `image` laid out with the working margin of a run's snapshot, as images
// read from files are, its margin bytes set to junk a filter must never see.
inline Image WithWorkingMargin(const Image& image)
{
    Image laid(image.width(), image.height(), image.mode(), image.depth(), image.hasTransparency(),
               image.colourPlanes(), WorkingMarginFor(image.depth()));
    for (int p = 0; p < image.planeCount(); ++p) {
        std::fill(laid.plane(p).begin(), laid.plane(p).end(), uint8_t(0xA5));
        const std::vector<uint8_t> samples = image.samples(p);
        const size_t rowBytes = samples.size() / size_t(image.height());
        for (int32_t y = 0; y < image.height(); ++y)
            std::copy_n(samples.begin() + ptrdiff_t(size_t(y) * rowBytes), rowBytes, laid.row(p, y));
    }
    return laid;
}

// Filter ids used across the tests.
enum : int32_t {
    kBlur = 16000,
    kBlurEdges = 16005,
    kBlurMore = 16010,
    kGaussianBlur = 16020,
    kAverage = 16030,
    kMedian = 16110,
    kDustAndScratches = 16120,
    kDespeckle = 16130,
    kSharpen = 16300,
    kSharpenMore = 16310,
    kSharpenEdges = 16320,
    kUnsharpMask = 16330,
    kSolarize = 16400,
    kCustom = 16500,
    kMaximum = 16510,
    kMinimum = 16520,
    kHighPass = 16530,
    kInvert = 16900,
    kThreshold = 16910,
    kPosterize = 16920,
    kDesaturate = 17200,
};

}  // namespace pictra::test
