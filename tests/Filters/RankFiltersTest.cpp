// Maximum, Minimum, Median, Average, Dust & Scratches and Despeckle through
// the host. The expected pictures come from plain brute-force references
// written here (every window gathered with edge copies, sorted or summed),
// so the module's sliding and selecting arithmetic is checked against
// arithmetic it does not share.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "TestSupport.h"
#include "pictra/SettingsStore.h"

namespace pictra::test {
namespace {

// kDust: Dust & Scratches with a threshold of kDustThreshold levels.
enum class Rank { kMaximum, kMinimum, kMedian, kAverage, kDust };
constexpr int kDustThreshold = 10;

int32_t FilterOf(Rank rank)
{
    switch (rank) {
    case Rank::kMaximum: return kMaximum;
    case Rank::kMinimum: return kMinimum;
    case Rank::kMedian: return kMedian;
    case Rank::kAverage: return kAverage;
    case Rank::kDust: return kDustAndScratches;
    }
    return 0;
}

// The (2r + 1)^2 samples of the square around (x, y), edges replicated.
std::vector<double> Window(const Image& image, int plane, int32_t x, int32_t y, int radius)
{
    std::vector<double> window;
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx)
            window.push_back(image.sample(plane, std::clamp(x + dx, 0, image.width() - 1),
                                          std::clamp(y + dy, 0, image.height() - 1)));
    return window;
}

double RankOf(Rank rank, std::vector<double> window, int depth)
{
    std::sort(window.begin(), window.end());
    const double sum = std::accumulate(window.begin(), window.end(), 0.0);
    switch (rank) {
    case Rank::kMaximum: return window.back();
    case Rank::kMinimum: return window.front();
    case Rank::kMedian:
    case Rank::kDust: return window[(window.size() - 1) / 2];
    case Rank::kAverage:
        return depth == 32 ? double(float(sum / double(window.size()))) : std::floor(sum / double(window.size()));
    }
    return 0;
}

// Every sample of every plane replaced by `value(window, centre)`.
Image Reference(const Image& image, int radius, const std::function<double(const std::vector<double>&, double)>& value)
{
    Image result = image;
    for (int p = 0; p < image.planeCount(); ++p)
        for (int32_t y = 0; y < image.height(); ++y)
            for (int32_t x = 0; x < image.width(); ++x)
                result.setSample(p, x, y, value(Window(image, p, x, y, radius), image.sample(p, x, y)));
    return result;
}

Image RankReference(const Image& image, Rank rank, int radius)
{
    return Reference(image, radius,
                     [&](const std::vector<double>& w, double) { return RankOf(rank, w, image.depth()); });
}

// Dust & Scratches: the median where the sample differs from it by more than `limit` sample units.
Image DustReference(const Image& image, int radius, double limit)
{
    return Reference(image, radius, [&](const std::vector<double>& w, double centre) {
        const double median = RankOf(Rank::kMedian, w, image.depth());
        return std::abs(centre - median) > limit ? median : centre;
    });
}

Image Expected(const Image& image, Rank rank, int radius)
{
    // One 8-bit level in each depth's units, as the filter scales its threshold.
    const double level = image.depth() == 8 ? 1 : image.depth() == 16 ? 257 : 1.0 / 255;
    return rank == Rank::kDust ? DustReference(image, radius, kDustThreshold * level)
                               : RankReference(image, rank, radius);
}

// The first sample differing by more than `tolerance`, or "" when there is none.
std::string Difference(const Image& actual, const Image& expected, double tolerance = 0)
{
    for (int p = 0; p < expected.planeCount(); ++p)
        for (int32_t y = 0; y < expected.height(); ++y)
            for (int32_t x = 0; x < expected.width(); ++x)
                if (std::abs(actual.sample(p, x, y) - expected.sample(p, x, y)) > tolerance)
                    return fmt::format("plane {} ({}, {}): {} instead of {}", p, x, y, actual.sample(p, x, y),
                                       expected.sample(p, x, y));
    return "";
}

HostDescriptor Settings(int radius, int threshold = -1)
{
    HostDescriptor descriptor;
    descriptor.putInteger(FourCC("rnkr"), radius);
    if (threshold >= 0)
        descriptor.putInteger(FourCC("rnkt"), threshold);
    return descriptor;
}

HostDescriptor DespeckleSettings(int threshold)
{
    HostDescriptor descriptor;
    descriptor.putInteger(FourCC("dspt"), threshold);
    return descriptor;
}

double DialogItem(const Host& host, int32_t id)
{
    for (const DialogItemState& item : host.lastDialogItems)
        if (item.id == id)
            return item.value;
    return -1;
}

TEST(RankFilters, AgreeWithABruteForceReferenceAtEveryDepth)
{
    auto host = LoadedHost();
    struct Shape {
        int32_t width, height;
        std::vector<int> radii;
    };
    // 37 x 23 is narrower than the largest window, so windows reach past both
    // edges at once. Medians at radius 1 and 2 take rows in pairs and 32
    // bytes of outputs at once (32 8-bit or 16 16-bit samples), the last
    // lanes of a row overlapping, narrower rows another way: lone rows and
    // single pairs; rows narrower than a lane, one lane, lanes and a part.
    // The largest image has windows enough that a network fault showing in
    // one window of a thousand shows.
    const std::vector<Shape> shapes = {{37, 23, {1, 2, 5, 16}}, {1, 2, {1, 2, 5, 16}}, {2, 1, {1, 2, 5, 16}},
                                       {17, 2, {1, 2, 5}},      {32, 1, {1, 2}},       {33, 5, {1, 2, 5}},
                                       {70, 3, {1, 2, 5}},      {150, 41, {1, 2}}};
    for (int depth : {8, 16, 32})
        for (const Shape& shape : shapes) {
            const Image original = RandomImage(shape.width, shape.height, kModeGrayscale, depth, depth != 32, 7);
            for (Rank rank : {Rank::kMaximum, Rank::kMinimum, Rank::kMedian, Rank::kAverage, Rank::kDust})
                for (int radius : shape.radii) {
                    Image image = original;
                    const HostDescriptor settings = Settings(radius, rank == Rank::kDust ? kDustThreshold : -1);
                    ASSERT_EQ(host->runFilter(FilterOf(rank), image, RunOptions{.descriptor = &settings}), 0);
                    const double tolerance = depth == 32 && rank == Rank::kAverage ? 1e-6 : 0;
                    EXPECT_EQ(Difference(image, Expected(original, rank, radius), tolerance), "")
                        << "filter " << FilterOf(rank) << ", " << depth << " bits, " << shape.width << " x "
                        << shape.height << ", radius " << radius;
                }
        }
}

TEST(RankFilters, AverageTruncatesAndMedianDropsALonePixelInACorner)
{
    auto host = LoadedHost();
    // The centre's window is the whole image: 8 x 255 + 254 = 2294, and 2294 / 9 = 254.9.
    Image nine = ConstantImage(3, 3, kModeGrayscale, 8, 255);
    nine.setSample(0, 1, 1, 254);
    ASSERT_EQ(host->runFilter(kAverage, nine), 0);
    EXPECT_EQ(nine.sample(0, 1, 1), 254);

    Image deep = ConstantImage(3, 3, kModeGrayscale, 16, 1000);
    deep.setSample(0, 1, 1, 1008);
    ASSERT_EQ(host->runFilter(kAverage, deep), 0);
    EXPECT_EQ(deep.sample(0, 1, 1), 1000) << "9008 / 9 truncates at 16 bits too";

    // The corner pixel's window holds it four times (edge copies), the background five.
    Image corner = ConstantImage(6, 5, kModeGrayscale, 8, 20);
    corner.setSample(0, 0, 0, 255);
    ASSERT_EQ(host->runFilter(kMedian, corner), 0);
    EXPECT_EQ(corner, ConstantImage(6, 5, kModeGrayscale, 8, 20));
}

TEST(RankFilters, DustAndScratchesReplacesOnlyPixelsBeyondTheThreshold)
{
    auto host = LoadedHost();
    const Image original = RandomImage(29, 21, kModeRGB, 8, false, 3);
    auto run = [&](Image image, int radius, int threshold) {
        const HostDescriptor settings = Settings(radius, threshold);
        EXPECT_EQ(host->runFilter(kDustAndScratches, image, RunOptions{.descriptor = &settings}), 0);
        return image;
    };
    EXPECT_EQ(run(original, 3, 255), original) << "no 8-bit difference exceeds 255";
    EXPECT_EQ(Difference(run(original, 2, 0), RankReference(original, Rank::kMedian, 2)), "")
        << "threshold 0 replaces every pixel that differs from its median";
    EXPECT_EQ(Difference(run(original, 4, 40), DustReference(original, 4, 40)), "");

    // The threshold in each depth's units: 8 bits t, 16 bits t x 257, floats t / 255
    // (rows a lane wide, for the small medians).
    struct Case {
        int depth;
        double background, kept, replaced;
    };
    for (const Case& c : {Case{8, 100, 110, 111}, Case{16, 30000, 30000 + 2570, 30000 + 2571},
                          Case{32, 0.5, 0.5 + 0.039, 0.5 + 0.04}}) {
        Image image = ConstantImage(40, 9, kModeGrayscale, c.depth, c.background);
        image.setSample(0, 2, 2, c.kept);
        image.setSample(0, 6, 6, c.replaced);
        image = run(image, 1, 10);
        EXPECT_EQ(image.sample(0, 2, 2), c.depth == 32 ? double(float(c.kept)) : c.kept) << c.depth << " bits";
        EXPECT_EQ(image.sample(0, 6, 6), c.depth == 32 ? double(float(c.background)) : c.background)
            << c.depth << " bits";
    }
}

TEST(Despeckle, SmoothsOnlyWhereTheWeightedMeanIsCloserThanTheThreshold)
{
    auto host = LoadedHost();
    // m = (2 x (4 x 50 + 150) + 4 x 50) / 14 = 64, 86 levels from the pixel.
    auto speck = [&](int depth, double scale, int threshold) {
        Image image = ConstantImage(7, 7, kModeGrayscale, depth, 50 * scale);
        image.setSample(0, 3, 3, 150 * scale);
        const HostDescriptor settings = DespeckleSettings(threshold);
        EXPECT_EQ(host->runFilter(kDespeckle, image, RunOptions{.descriptor = &settings}), 0);
        return image.sample(0, 3, 3);
    };
    EXPECT_EQ(speck(8, 1, 86), 150);
    EXPECT_EQ(speck(8, 1, 87), 64);
    // Deep samples keep the fraction: m = 230400 / 14 = 16457.1, 85.7 levels of 256 from the pixel.
    EXPECT_EQ(speck(16, 256, 85), 150 * 256);
    EXPECT_EQ(speck(16, 256, 86), 16457);

    // At 256 every 8-bit pixel takes its weighted mean, borders from edge copies.
    const Image original = RandomImage(13, 11, kModeRGB, 8, true, 5);
    Image image = original;
    const HostDescriptor settings = DespeckleSettings(256);
    ASSERT_EQ(host->runFilter(kDespeckle, image, RunOptions{.descriptor = &settings}), 0);
    const Image expected = Reference(original, 1, [](const std::vector<double>& w, double) {
        return std::floor((2 * (w[1] + w[3] + w[4] + w[5] + w[7]) + w[0] + w[2] + w[6] + w[8]) / 14);
    });
    EXPECT_EQ(Difference(image, expected), "") << "transparency is smoothed too";
}

// Windows wider than the default, in tiles narrower than the window and
// bands of odd heights (the medians at radius 2 take rows in pairs), on two
// workers (SweepTest cuts the work every way at the default radius of 1).
TEST(RankFilters, WideWindowsInNarrowTilesAgreeWithTheReference)
{
    auto host = LoadedHost(HostSettings{.threads = 2});
    for (const Image& original :
         {RandomImage(45, 38, kModeRGB, 8, true, 11), RandomImage(31, 26, kModeGrayscale, 16, false, 12),
          RandomImage(23, 19, kModeGrayscale, 32, false, 13)})
        for (Rank rank : {Rank::kMaximum, Rank::kMinimum, Rank::kMedian, Rank::kAverage, Rank::kDust})
            for (int radius : {2, 4}) {
                const HostDescriptor settings = Settings(radius, rank == Rank::kDust ? kDustThreshold : -1);
                Image image = original;
                ASSERT_EQ(host->runFilter(FilterOf(rank), image,
                                          RunOptions{.tileSize = 3, .bandCount = 2, .descriptor = &settings}),
                          0);
                const double tolerance = original.depth() == 32 && rank == Rank::kAverage ? 1e-6 : 0;
                EXPECT_EQ(Difference(image, Expected(original, rank, radius), tolerance), "")
                    << "filter " << FilterOf(rank) << " at " << original.depth() << " bits, radius " << radius;
            }
}

TEST(RankFilters, SettingsLastAsLongAsTheHostKeepsTheBlock)
{
    StoreHost s;
    const Image original = RandomImage(20, 17, kModeGrayscale, 8, false, 21);
    Image image = original;
    s.host->dialogScript = ParseDialogScript("set 101 4; ok");
    ASSERT_EQ(s.host->runFilter(kMedian, image, RunOptions{.showDialog = true}), 0);
    EXPECT_EQ(Difference(image, RankReference(original, Rank::kMedian, 4)), "");
    EXPECT_TRUE(s.host->settingsStore().enumerate(kStoreNamespace, "*").empty()) << "nothing is stored";

    image = original;
    s.host->dialogScript = ParseDialogScript("set 101 9; cancel");
    EXPECT_EQ(s.host->runFilter(kMedian, image, RunOptions{.showDialog = true}), kUserCanceledErr);
    EXPECT_EQ(image, original);
    ASSERT_EQ(s.host->runFilter(kMedian, image), 0);
    EXPECT_EQ(Difference(image, RankReference(original, Rank::kMedian, 4)), "") << "the host kept radius 4";
    ASSERT_TRUE(s.host->recordedDescriptor);
    const HostDescriptor::Item* radius = s.host->recordedDescriptor->find(FourCC("rnkr"));
    ASSERT_TRUE(radius);
    EXPECT_EQ(std::get<int32_t>(radius->value), 4);

    auto next = LoadedHost(HostSettings{.settingsPath = s.settingsPath()});
    image = original;
    ASSERT_EQ(next->runFilter(kMedian, image), 0);
    EXPECT_EQ(Difference(image, RankReference(original, Rank::kMedian, 1)), "") << "a new host starts at radius 1";
}

TEST(Despeckle, ConfirmedSettingsAreStoredWhole)
{
    StoreHost s;
    Image image = ConstantImage(4, 4, kModeGrayscale, 8, 9);
    s.host->dialogScript = ParseDialogScript("set 8001 99; ok");
    ASSERT_EQ(s.host->runFilter(kDespeckle, image, RunOptions{.showDialog = true}), 0);
    const auto stored = s.host->settingsStore().getBytes(kStoreNamespace, "FD_3EA8_101");
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 16u);
    EXPECT_EQ((*stored)[0] | ((*stored)[1] << 8), 99);

    auto next = LoadedHost(HostSettings{.settingsPath = s.settingsPath()});
    next->dialogScript = ParseDialogScript("ok");
    ASSERT_EQ(next->runFilter(kDespeckle, image, RunOptions{.showDialog = true}), 0);
    EXPECT_EQ(DialogItem(*next, 8001), 99) << "the dialog opens on the stored threshold";
}

TEST(RankFilters, SlidersAndFieldsScaleAndClamp)
{
    auto host = LoadedHost();
    Image image = ConstantImage(5, 5, kModeGrayscale, 8, 60);
    auto play = [&](int id, const std::string& script) {
        host->dialogScript = ParseDialogScript(script + "; ok");
        EXPECT_EQ(host->runFilter(id, image, RunOptions{.showDialog = true}), 0) << script;
    };
    // Radius from the slider: trunc(s x 15 + 1.5), the nearest radius.
    play(kMaximum, "set 100 1");
    EXPECT_EQ(DialogItem(*host, 101), 16);
    play(kMaximum, "set 100 0.5");
    EXPECT_EQ(DialogItem(*host, 101), 9);
    EXPECT_DOUBLE_EQ(DialogItem(*host, 100), 8.0 / 15);
    play(kMinimum, "set 100 0.03");
    EXPECT_EQ(DialogItem(*host, 101), 1);
    play(kMinimum, "set 100 0.04");
    EXPECT_EQ(DialogItem(*host, 101), 2);
    play(kAverage, "set 101 40");
    EXPECT_EQ(DialogItem(*host, 101), 16);
    EXPECT_EQ(DialogItem(*host, 100), 1);
    play(kAverage, "set 101 0");
    EXPECT_EQ(DialogItem(*host, 101), 1);
    EXPECT_EQ(DialogItem(*host, 100), 0);

    // Threshold from the slider: trunc(s x 255).
    play(kDustAndScratches, "set 104 0.5");
    EXPECT_EQ(DialogItem(*host, 105), 127);
    play(kDustAndScratches, "set 105 300");
    EXPECT_EQ(DialogItem(*host, 105), 255);
    EXPECT_EQ(DialogItem(*host, 104), 1);

    // Despeckle's slider spans 16 to 256.
    play(kDespeckle, "set 8002 1");
    EXPECT_EQ(DialogItem(*host, 8001), 256);
    play(kDespeckle, "set 8002 0.5");
    EXPECT_EQ(DialogItem(*host, 8001), 136);
    play(kDespeckle, "set 8001 3");
    EXPECT_EQ(DialogItem(*host, 8001), 16);
    EXPECT_EQ(DialogItem(*host, 8002), 0);
}

TEST(RankFilters, PreviewShowsWhatTheRunWrites)
{
    auto host = LoadedHost();
    const Image original = RandomImage(24, 18, kModeRGB, 8, false, 31);
    for (const auto& [id, script] : {std::pair{kDustAndScratches, "set 101 2; set 105 12; idle"},
                                     std::pair{kDespeckle, "set 8001 70; click 8003; click 8003"}}) {
        Image image = original;
        host->previewImage.reset();
        host->dialogScript = ParseDialogScript(std::string(script) + "; ok");
        ASSERT_EQ(host->runFilter(id, image, RunOptions{.rect = Rect16{2, 3, 15, 20}, .showDialog = true}), 0);
        ASSERT_TRUE(host->previewImage) << id;
        EXPECT_EQ(*host->previewImage, image) << id;
        EXPECT_NE(image, original) << id;
    }
}

TEST(RankFilters, RegistrationPropertiesAndCommonSelectors)
{
    for (bool scientific : {true, false}) {
        auto host = LoadedHost(HostSettings{.scientific = scientific});
        std::vector<int32_t> order;
        for (const Registration& r : host->registrations())
            order.push_back(r.filterId);
        auto position = [&](int32_t id) { return std::find(order.begin(), order.end(), id) - order.begin(); };
        // Other filters between ours, where the module has them.
        std::vector<int32_t> relative;
        for (int32_t id : {kBlurMore, kAverage, kMedian, kDustAndScratches, kDespeckle, kSharpen, kSolarize, kCustom,
                           kMaximum, kMinimum})
            if (position(id) < std::ssize(order) || id == kAverage || id == kMedian || id == kDustAndScratches ||
                id == kDespeckle || id == kMaximum || id == kMinimum)
                relative.push_back(id);
        for (size_t i = 0; i + 1 < relative.size(); ++i)
            EXPECT_LT(position(relative[i]), position(relative[i + 1])) << relative[i] << " before " << relative[i + 1];
        for (const Registration& r : host->registrations()) {
            const bool asks =
                r.filterId == kAverage || r.filterId == kMedian || r.filterId == kMaximum || r.filterId == kMinimum;
            if (asks || r.filterId == kDustAndScratches || r.filterId == kDespeckle) {
                EXPECT_EQ(r.flagA, 1) << r.filterId;
                EXPECT_EQ(r.flagB, asks && scientific ? 1 : 0) << r.filterId;
            }
        }
    }

    auto host = LoadedHost();
    struct Expected {
        int32_t id;
        const char* name;
        const char* category;
        const char* about;
    };
    for (const Expected& e :
         {Expected{kMaximum, "Maximum...", "Other", "Maximum"}, Expected{kMinimum, "Minimum...", "Other", "Minimum"},
          Expected{kMedian, "Median...", "Noise", "Median"}, Expected{kAverage, "Average...", "Blur", "Average"},
          Expected{kDustAndScratches, "Dust & Scratches...", "Noise", "Dust & Scratches"},
          Expected{kDespeckle, "Despeckle...", "Noise", "Despeckle"}}) {
        const auto properties = host->properties(e.id);
        ASSERT_TRUE(properties) << e.id;
        EXPECT_EQ(properties->name, e.name);
        EXPECT_EQ(properties->category, e.category);
        EXPECT_EQ(properties->modes, 0x5fc0);
        host->alerts.clear();
        FilterRecord record{};
        intptr_t data = 99;
        int16_t result = 1;
        host->callEntry(host->filterEntry(e.id), filterSelectorAbout, record, data, result);
        EXPECT_EQ(result, 0);
        ASSERT_EQ(host->alerts.size(), 1u);
        EXPECT_EQ(host->alerts[0], std::string(e.about) + "\r\nRUREROZI filter package for Pictra.");
        if (e.id != kDespeckle) {
            result = 1234;
            host->callEntry(host->filterEntry(e.id), kSelectorParameterSize, record, data, result);
            EXPECT_EQ(data, 0) << e.id;
            EXPECT_EQ(result, 1234) << "selector 30 writes no result";
        }
    }

    const std::vector<SettingInfo> dust = host->settingsOf(kDustAndScratches);
    ASSERT_EQ(dust.size(), 2u);
    EXPECT_EQ(dust[0].name, "radius");
    EXPECT_EQ(dust[0].minimum, 1);
    EXPECT_EQ(dust[0].maximum, 16);
    EXPECT_EQ(dust[1].name, "threshold");
    EXPECT_EQ(dust[1].maximum, 255);
    const std::vector<SettingInfo> despeckle = host->settingsOf(kDespeckle);
    ASSERT_EQ(despeckle.size(), 1u);
    EXPECT_EQ(despeckle[0].minimum, 16);
    EXPECT_EQ(despeckle[0].maximum, 256);
    EXPECT_EQ(despeckle[0].defaultValue, 64);
}

TEST(RankFilters, ProgressCountsEveryPlaneTransparencyIncluded)
{
    auto host = LoadedHost();
    Image image = RandomImage(10, 6, kModeRGB, 8, true);
    uint32_t lastDone = 0, lastTotal = 0;
    RunOptions options{.progress = [&](uint32_t done, uint32_t total) {
        lastDone = done;
        lastTotal = total;
    }};
    ASSERT_EQ(host->runFilter(kMaximum, image, options), 0);
    EXPECT_EQ(lastTotal, 10u * 6u * 4u);
    EXPECT_EQ(lastDone, lastTotal);
}

}  // namespace
}  // namespace pictra::test
