// Gaussian Blur, Unsharp Mask and High Pass: the integer kernel, the imaging
// library against a plain separable convolution, the passes through the host
// at every depth and with kernels wider than a tile, the combinations, the
// dialogs' scales, the stored blocks and the scripting selectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <numeric>

#include "neighbourhood/GaussianFamily.h"
#include "HostInternal.h"
#include "TestSupport.h"
#include "ipl.h"
#include "pictra/PixelRoutines.h"
#include "pictra/SettingsStore.h"

namespace pictra::test {
namespace {

HostDescriptor Radius(uint32_t key, int32_t tenths)
{
    HostDescriptor d;
    d.putInteger(key, tenths);
    return d;
}

std::vector<double> WeightsForRadius(int radius, int32_t& n)
{
    std::vector<double> weights(1024);
    GaussianWeights(radius / 10.0, weights.data(), &n);
    return weights;
}

std::vector<int32_t> KernelForRadius(int radius)
{
    int32_t n = 0;
    const std::vector<double> weights = WeightsForRadius(radius, n);
    std::vector<int32_t> kernel(1024);
    kernel.resize(size_t(px::BuildGaussianKernel(weights.data(), n, kernel.data())));
    return kernel;
}

// The plain separable convolution: rows then columns, each sum shifted by 11
// with halves rounded up and kept as bytes, edge pixels repeated outside.
std::vector<uint8_t> SeparableReference(std::vector<uint8_t> plane, int width, int height,
                                        const std::vector<int32_t>& kernel)
{
    const int anchor = int(kernel.size()) / 2;
    for (const bool alongRows : {true, false}) {
        std::vector<uint8_t> pass(plane.size());
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                int64_t sum = 0;
                for (int i = 0; i < int(kernel.size()); ++i) {
                    const int at = alongRows ? y * width + std::clamp(x + i - anchor, 0, width - 1)
                                             : std::clamp(y + i - anchor, 0, height - 1) * width + x;
                    sum += kernel[size_t(i)] * plane[size_t(at)];
                }
                pass[size_t(y * width + x)] = uint8_t(std::clamp<int64_t>((sum + 1024) >> 11, 0, 255));
            }
        plane = pass;
    }
    return plane;
}

// The host's line routine over every row of the first plane, then over every
// column of the result, edge samples repeated beyond each end.
std::vector<uint8_t> TwoPassReference(const Image& image, int radius)
{
    int32_t n = 0;
    const std::vector<double> w = WeightsForRadius(radius, n);
    KernelTable table{};
    EXPECT_EQ(BuildKernelTable(w.data(), n, &table), 0);
    const int32_t bytes = image.depth() / 8, width = image.width(), height = image.height(), halo = n - 1;
    const auto convolve = [&](const uint8_t* first, int32_t count, int32_t step, uint8_t* out, int32_t outStep) {
        std::vector<uint8_t> line(size_t((count + 2 * halo) * bytes));
        for (int32_t i = 0; i < count + 2 * halo; ++i)
            std::memcpy(&line[size_t(i * bytes)], first + std::clamp(i - halo, 0, count - 1) * step, size_t(bytes));
        if (bytes == 1)
            ConvolveLine8(count, &line[size_t(halo * bytes)], bytes, out, outStep, w.data(), &table, n);
        else
            ConvolveLineDeep(count, &line[size_t(halo * bytes)], bytes, out, outStep, 16, w.data(), n);
    };
    std::vector<uint8_t> across(size_t(width * height * bytes)), result(across.size());
    for (int32_t y = 0; y < height; ++y)
        convolve(image.row(0, y), width, bytes, &across[size_t(y * width * bytes)], bytes);
    for (int32_t x = 0; x < width; ++x)
        convolve(&across[size_t(x * bytes)], height, width * bytes, &result[size_t(x * bytes)], width * bytes);
    ReleaseKernelTable(&table);
    return result;
}

double Item(const Host& host, int id)
{
    for (const DialogItemState& item : host.lastDialogItems)
        if (item.id == id)
            return item.value;
    return -1;
}

std::vector<uint8_t> StoredBlock(StoreHost& s, const char* key)
{
    return s.host->settingsStore().getBytes(kStoreNamespace, key).value_or(std::vector<uint8_t>{});
}

template <class T>
T At(const void* bytes, size_t offset)
{
    T value{};
    std::memcpy(&value, static_cast<const uint8_t*>(bytes) + offset, sizeof value);
    return value;
}

template <class T>
void Put(void* bytes, size_t offset, T value)
{
    std::memcpy(static_cast<uint8_t*>(bytes) + offset, &value, sizeof value);
}

// A descriptor's keys and values, in order.
using KeyValue = std::pair<uint32_t, decltype(HostDescriptor::Item::value)>;
std::vector<KeyValue> Items(const HostDescriptor* descriptor)
{
    std::vector<KeyValue> items;
    for (const auto& item : descriptor ? descriptor->items : std::vector<HostDescriptor::Item>{})
        items.emplace_back(item.key, item.value);
    return items;
}

TEST(GaussianFamily, IntegerKernelSumsTo2048Or2047AtEveryRadius)
{
    EXPECT_EQ(KernelForRadius(1), (std::vector<int32_t>{683, 682, 682}))
        << "one weight: three equal taps of a third, the first raised by the correction";
    for (int radius = 1; radius <= 2500; ++radius) {
        const std::vector<int32_t> kernel = KernelForRadius(radius);
        const int32_t sum = std::accumulate(kernel.begin(), kernel.end(), 0);
        ASSERT_TRUE(sum == 2048 || sum == 2047) << "radius " << radius << " sums to " << sum;
        ASSERT_TRUE(kernel.size() % 2 == 1 && kernel.size() <= 1024) << radius;
        ASSERT_GE(*std::min_element(kernel.begin(), kernel.end()), 0) << radius;
    }

    // Taps of 1040.8, 100.9, 200.9, 150.9 and 50.9 lose 8 units: the centre
    // takes one, then pairs n - j and n - 2 - j take one each while more than
    // one unit is left (so the centre takes a second at j = 1).
    const double weights[5] = {1040.8 / 2048, 100.9 / 2048, 200.9 / 2048, 150.9 / 2048, 50.9 / 2048};
    int32_t kernel[9];
    ASSERT_EQ(px::BuildGaussianKernel(weights, 5, kernel), 9);
    EXPECT_EQ(std::vector<int32_t>(kernel, kernel + 9),
              (std::vector<int32_t>{50, 151, 201, 102, 1042, 101, 200, 150, 50}));
}

TEST(GaussianFamily, LibraryAgreesWithAPlainSeparableConvolution)
{
    StoreHost s;
    const Image original = RandomImage(37, 29, kModeGrayscale, 8, false, 4);
    // 1: the three-tap box; 120: a kernel longer than the image is wide.
    for (int radius : {1, 7, 25, 120}) {
        Image image = original;
        const HostDescriptor d = Radius(0x8982, radius);
        ASSERT_EQ(s.host->runFilter(kGaussianBlur, image, RunOptions{.descriptor = &d}), 0);
        EXPECT_EQ(image.samples(0), SeparableReference(original.samples(0), 37, 29, KernelForRadius(radius))) << radius;
    }
}

TEST(GaussianFamily, LibraryRegionsBordersAndKernels)
{
    const int width = 20, height = 12;
    std::vector<uint8_t> pixels(size_t(width * height));
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = uint8_t(i * 37 % 251);
    const std::vector<int32_t> kernel = KernelForRadius(15);  // 9 taps
    const std::vector<uint8_t> whole = SeparableReference(pixels, width, height, kernel);

    // A region at the image's corner reads edge copies from the library's own border.
    const auto header = [](int channels, const char* model, int w, int h, IplROI* roi) {
        return iplCreateImageHeader(channels, 0, IPL_DEPTH_8U, model, model, IPL_DATA_ORDER_PIXEL, IPL_ORIGIN_TL,
                                    IPL_ALIGN_QWORD, w, h, roi, nullptr, nullptr, nullptr);
    };
    IplROI roi{0, 13, 6, 7, 6};
    IplImage* source = header(1, "GRAY", width, height, &roi);
    IplImage* destination = header(1, "GRAY", 7, 6, nullptr);
    ASSERT_TRUE(source && destination);
    EXPECT_EQ(destination->widthStep, 8);
    std::vector<uint8_t> out(48, 0xEE);
    source->imageData = reinterpret_cast<char*>(pixels.data());
    source->widthStep = width;
    destination->imageData = reinterpret_cast<char*>(out.data());
    iplSetBorderMode(source, IPL_BORDER_REPLICATE, IPL_SIDE_ALL, 0);
    const int length = int(kernel.size());
    IplConvKernel* rows = iplCreateConvKernel(length, 1, length / 2, 0, kernel.data(), 11);
    IplConvKernel* columns = iplCreateConvKernel(1, length, 0, length / 2, kernel.data(), 11);
    iplConvolveSep2D(source, destination, rows, columns);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 7; ++x)
            EXPECT_EQ(out[size_t(y * 8 + x)], whole[size_t((6 + y) * width + 13 + x)]) << x << "," << y;
        EXPECT_EQ(out[size_t(y * 8 + 7)], 0xEE) << "the row's padding is not written";
    }

    // A constant border, an asymmetric kernel (anchor 0: the output sits over
    // the first tap) and no column kernel.
    iplSetBorderMode(source, IPL_BORDER_CONSTANT, IPL_SIDE_RIGHT, 300);
    const int lopsided[2] = {1024, 1024};
    IplConvKernel* pair = iplCreateConvKernel(2, 1, 0, 0, lopsided, 11);
    iplConvolveSep2D(source, destination, pair, nullptr);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 7; ++x) {
            const int right = 13 + x + 1 < width ? pixels[size_t((6 + y) * width + 14 + x)] : 255;
            EXPECT_EQ(out[size_t(y * 8 + x)], (pixels[size_t((6 + y) * width + 13 + x)] + right + 1) / 2)
                << x << "," << y;
        }

    const int huge[2] = {40000, 30000};
    EXPECT_EQ(iplCreateConvKernel(2, 1, 0, 0, huge, 11), nullptr) << "sums would no longer be exact";
    EXPECT_EQ(iplCreateConvKernel(2, 1, 2, 0, lopsided, 11), nullptr) << "anchor outside";
    EXPECT_EQ(iplCreateConvKernel(2, 1, 0, 0, lopsided, 31), nullptr);
    EXPECT_EQ(header(3, "RGB", 4, 4, nullptr), nullptr);
    for (IplConvKernel* k : {rows, columns, pair})
        iplDeleteConvKernel(k);
    iplDeallocate(source, IPL_IMAGE_HEADER);
    iplDeallocate(destination, IPL_IMAGE_HEADER);
}

// Kernels that reach past a tile into the tiles around it give the whole
// image's result (SweepTest cuts the work every way at the default radius).
TEST(GaussianFamily, KernelsWiderThanATileGiveTheWholeImagesResult)
{
    auto single = LoadedHost(HostSettings{.threads = 1});
    auto pair = LoadedHost(HostSettings{.threads = 2});
    const Image rgba = RandomImage(45, 38, kModeRGB, 8, true, 11);
    const Image deep = RandomImage(41, 33, kModeRGB, 16, false, 12);
    const struct {
        int id;
        const Image* image;
        HostDescriptor settings;
    } runs[] = {{kGaussianBlur, &rgba, Radius(0x8982, 35)},
                {kGaussianBlur, &deep, Radius(0x8982, 22)},
                {kHighPass, &rgba, Radius(0x8a13, 18)},
                {kUnsharpMask, &deep, Radius(0x8acb, 27)}};
    for (const auto& run : runs) {
        Image reference = *run.image;
        ASSERT_EQ(single->runFilter(run.id, reference, RunOptions{.bandCount = 1, .descriptor = &run.settings}), 0);
        EXPECT_NE(reference, *run.image) << run.id;
        Image image = *run.image;
        ASSERT_EQ(
            pair->runFilter(run.id, image, RunOptions{.tileSize = 7, .bandCount = 3, .descriptor = &run.settings}), 0);
        EXPECT_EQ(image, reference) << run.id << " at " << run.image->depth() << " bits";
    }
}

TEST(GaussianFamily, DeepImagesTakeTwoPassesAtTheirOwnDepthFloatsSharpenAsEightBits)
{
    StoreHost s;
    const Image original = RandomImage(23, 19, kModeGrayscale, 16, false, 9);
    Image image = original;
    const HostDescriptor d = Radius(0x8982, 31);
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, image, RunOptions{.tileSize = 8, .descriptor = &d}), 0);
    EXPECT_EQ(image.samples(0), TwoPassReference(original, 31));

    // Unsharp Mask sharpens the 8-bit rendition: a bright dot gains, the flat area keeps its value.
    Image dot = ConstantImage(9, 9, kModeGrayscale, 32, 0.5);
    dot.setSample(0, 4, 4, 0.8);
    ASSERT_EQ(s.host->runFilter(kUnsharpMask, dot), 0);
    EXPECT_GT(dot.sample(0, 4, 4), 0.8);
    EXPECT_EQ(dot.sample(0, 0, 0), 0.5);
}

TEST(GaussianFamily, FlatAreasBlurToThemselvesAndHighPassToMidGrayAtEveryDepth)
{
    StoreHost s;
    const struct {
        int id;
        int16_t mode;
        int depth;
        double level, expected;
    } flats[] = {{kGaussianBlur, kModeGrayscale, 16, 51234, 51234},
                 {kGaussianBlur, kModeGrayscale, 32, 0.3, 0.3},
                 {kHighPass, kModeRGB, 8, 93, 128},
                 {kHighPass, kModeGrayscale, 16, 4000, 32896},
                 {kHighPass, kModeGrayscale, 32, 0.3, 128 / 255.0}};
    for (const auto& f : flats) {
        Image image = ConstantImage(11, 7, f.mode, f.depth, f.level);
        ASSERT_EQ(s.host->runFilter(f.id, image), 0);
        for (int p = 0; p < image.planeCount(); ++p)
            for (int32_t y = 0; y < 7; ++y)
                for (int32_t x = 0; x < 11; ++x)
                    ASSERT_NEAR(image.sample(p, x, y), f.expected, 1e-6) << f.id << " at " << f.depth << " bits";
    }
}

TEST(GaussianFamily, OnlyGaussianBlurTouchesTransparency)
{
    StoreHost s;
    const Image original = RandomImage(16, 12, kModeRGB, 8, true, 5);
    for (int id : {kGaussianBlur, kHighPass, kUnsharpMask}) {
        Image image = original;
        ASSERT_EQ(s.host->runFilter(id, image), 0);
        EXPECT_NE(image.samples(0), original.samples(0)) << id;
        EXPECT_EQ(image.samples(3) == original.samples(3), id != kGaussianBlur) << id;
    }
}

TEST(GaussianFamily, UnsharpCombinationGainThresholdAndSaturation)
{
    // 8 bits: at 100 % the gain is 1; at 500 % it is 160 / 32 = 5; at 1 % it
    // truncates to 0. Only samples brighter than their blur by more than the
    // threshold change.
    const uint8_t source[6] = {120, 120, 120, 100, 200, 250};
    const std::array<uint8_t, 6> blur = {100, 110, 109, 140, 100, 200};
    const struct {
        double amount;
        int16_t threshold;
        std::array<uint8_t, 6> expected;
    } cases[] = {{100, 10, {140, 120, 131, 100, 255, 255}},
                 {500, 0, {220, 170, 175, 100, 255, 255}},
                 {1, 0, {120, 120, 120, 100, 200, 250}}};
    for (const auto& c : cases) {
        std::array<uint8_t, 6> out{};
        px::UnsharpCombine8(1, 6, source, 6, blur.data(), 6, out.data(), 6, c.amount, c.threshold);
        EXPECT_EQ(out, c.expected) << c.amount << " %, threshold " << c.threshold;
    }

    // Every pair of 8-bit samples, in rows whose width is no multiple of a
    // vector, against the formula in 32-bit arithmetic.
    constexpr int32_t kRows = 331, kColumns = 199;
    std::vector<uint8_t> everySource(kRows * kColumns), everyBlur(kRows * kColumns), results(kRows * kColumns);
    for (int32_t i = 0; i < kRows * kColumns; ++i) {
        everySource[size_t(i)] = uint8_t(i >> 8);
        everyBlur[size_t(i)] = uint8_t(i);
    }
    for (const double amount : {1.0, 50.0, 100.0, 313.0, 500.0})
        for (const int16_t threshold : {0, 1, 37, 255}) {
            px::UnsharpCombine8(kRows, kColumns, everySource.data(), kColumns, everyBlur.data(), kColumns,
                                results.data(), kColumns, amount, threshold);
            const auto gain = int32_t(amount * 160.0 / 500.0);
            int32_t wrong = 0;
            for (size_t i = 0; i < results.size(); ++i) {
                const int32_t difference = everySource[i] - everyBlur[i];
                const int32_t expected = difference > threshold
                                             ? std::clamp(everySource[i] + ((difference * gain) >> 5), 0, 255)
                                             : everySource[i];
                wrong += results[i] != expected;
            }
            EXPECT_EQ(wrong, 0) << amount << " %, threshold " << threshold;
        }

    // 16 bits, in units of 256: the result is v x 65280 / 255, so it saturates at 65280.
    uint8_t deepSource[6], deepOut[6];
    const uint16_t sources[3] = {60000, 30000, 65535}, blurs[3] = {40000, 30500, 65535};
    for (int i = 0; i < 3; ++i) {
        StoreSample16(deepSource + 2 * i, sources[i]);
        StoreSample16(deepOut + 2 * i, blurs[i]);
    }
    px::UnsharpCombine16(1, 3, deepSource, 6, deepOut, 6, deepOut, 6, 100, 0);
    EXPECT_EQ(LoadSample16(deepOut), 65280);
    EXPECT_EQ(LoadSample16(deepOut + 2), 30000) << "darker than its blur: unchanged";
    EXPECT_EQ(LoadSample16(deepOut + 4), 65535) << "unchanged samples keep their value";
    StoreSample16(deepSource, 20000);
    StoreSample16(deepOut, 19000);
    px::UnsharpCombine16(1, 1, deepSource, 6, deepOut, 6, deepOut, 6, 100, 3);
    EXPECT_EQ(LoadSample16(deepOut), 21000) << "1000 / 256 = 3.9 levels is above a threshold of 3";
}

TEST(GaussianFamily, HighPassAndUnsharpMaskCombineTheHostsBlur)
{
    StoreHost s;
    const Image original = RandomImage(21, 17, kModeGrayscale, 8, false, 21);
    const std::vector<uint8_t> blur = TwoPassReference(original, 10);
    Image highPass = original, sharpened = original;
    ASSERT_EQ(s.host->runFilter(kHighPass, highPass), 0);
    ASSERT_EQ(s.host->runFilter(kUnsharpMask, sharpened), 0);
    int changed = 0;
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 21; ++x) {
            const int v = int(original.sample(0, x, y)), b = blur[size_t(y * 21 + x)];
            EXPECT_EQ(highPass.sample(0, x, y), std::clamp(v - b + 128, 0, 255)) << x << "," << y;
            // Threshold 0, 100 %: brighter than the blur doubles the difference, darker is left alone.
            EXPECT_EQ(sharpened.sample(0, x, y), v > b ? std::min(2 * v - b, 255) : v) << x << "," << y;
            changed += v > b;
        }
    EXPECT_GT(changed, 50);

    // A bright dot on gray at 16 bits and 500 % saturates.
    Image dot = ConstantImage(9, 9, kModeGrayscale, 16, 30000);
    dot.setSample(0, 4, 4, 50000);
    HostDescriptor strong;
    strong.putFloat(FourCC("uamt"), 500);
    ASSERT_EQ(s.host->runFilter(kUnsharpMask, dot, RunOptions{.descriptor = &strong}), 0);
    EXPECT_EQ(dot.sample(0, 4, 4), 65280);
    EXPECT_EQ(dot.sample(0, 0, 0), 30000);
}

TEST(GaussianFamily, SlidersAtTheirRightEndGive250Pixels)
{
    const struct {
        int id, slider;
        const char* title;
    } dialogs[] = {
        {kGaussianBlur, 100, "Gaussian Blur"}, {kHighPass, 100, "High Pass"}, {kUnsharpMask, 102, "Unsharp Mask"}};
    for (const auto& d : dialogs) {
        StoreHost s;
        std::string title;
        double openedAt = -1;
        s.host->onDialogOpened = [&](const std::string& t, const std::vector<DialogItemState>& items) {
            title = t;
            for (const DialogItemState& item : items)
                openedAt = item.id == d.slider ? item.value : openedAt;
        };
        Image image = RandomImage(8, 8, kModeGrayscale, 8);
        s.host->dialogScript = ParseDialogScript("set " + std::to_string(d.slider) + " 1; ok");
        ASSERT_EQ(s.host->runFilter(d.id, image, RunOptions{.showDialog = true}), 0) << s.host->dialogError;
        EXPECT_EQ(title, d.title);
        EXPECT_DOUBLE_EQ(openedAt, 10 / 334.0) << "the default radius 1.0 on the slider";
        EXPECT_EQ(Item(*s.host, d.slider + 1), 250.0) << d.title;
        ASSERT_TRUE(s.host->recordedDescriptor);
        EXPECT_EQ(std::get<int32_t>(s.host->recordedDescriptor->items[0].value), 2500);
    }
}

TEST(GaussianFamily, RadiusSliderScaleHasThreeSegments)
{
    constexpr double kGaussian = 4750, kUnsharp = 4875;
    const struct {
        double position, divisor;
        int16_t radius;
    } toRadius[] = {{0.2, kGaussian, 66},  {0.3, kGaussian, 100},  {0.31, kGaussian, 120}, {0.45, kGaussian, 350},
                    {0.6, kGaussian, 600}, {0.7, kGaussian, 1080}, {0.7, kUnsharp, 1090},  {1.0, kUnsharp, 2500},
                    {0.0, kGaussian, 1},   {-0.5, kGaussian, 1},   {7.0, kGaussian, 2500}};
    for (const auto& c : toRadius)
        EXPECT_EQ(px::RadiusFromSlider(c.position, c.divisor), c.radius) << c.position << " / " << c.divisor;
    // The dialogs' tests pin the positions of the lower segments; whole pixels find their way back.
    for (const double divisor : {kGaussian, kUnsharp})
        for (int radius = 110; radius <= 2500; radius += 10)
            EXPECT_EQ(px::RadiusFromSlider(px::RadiusSliderPosition(radius, divisor), divisor), radius) << divisor;
}

TEST(GaussianFamily, DialogControlsFollowEachOtherAndOkStoresTheBlock)
{
    StoreHost s;
    Image image = RandomImage(10, 10, kModeGrayscale, 8);
    s.host->dialogScript = ParseDialogScript("set 101 35; ok");
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, image, RunOptions{.showDialog = true}), 0);
    EXPECT_DOUBLE_EQ(Item(*s.host, 100), 250 / 1667.0 + 0.3);
    const std::vector<uint8_t> gaussian = StoredBlock(s, "FD_3E94_200");
    ASSERT_EQ(gaussian.size(), 12320u);
    EXPECT_EQ(At<int16_t>(gaussian.data(), 0), 350);
    EXPECT_EQ(At<int32_t>(gaussian.data(), 4), 106) << "n for sigma 35";
    EXPECT_EQ(At<int32_t>(gaussian.data(), 12296), 11);
    EXPECT_EQ(At<int32_t>(gaussian.data(), 12300), 211);

    s.host->dialogScript = ParseDialogScript("set 100 0.7; ok");
    ASSERT_EQ(s.host->runFilter(kHighPass, image, RunOptions{.showDialog = true}), 0);
    EXPECT_EQ(Item(*s.host, 101), 108.0);
    const std::vector<uint8_t> highPass = StoredBlock(s, "FD_4092_100");
    ASSERT_EQ(highPass.size(), 9256u);
    EXPECT_EQ(At<int16_t>(highPass.data(), 0), 1080);
    EXPECT_EQ(At<int32_t>(highPass.data(), 8), 325) << "the table's taps are stored";
    EXPECT_EQ(At<int32_t>(highPass.data(), 1036), 0) << "the table's lookup is never stored";

    // Amount from its slider is not rounded; threshold from its slider is truncated.
    s.host->dialogScript = ParseDialogScript("set 100 0.3333; set 104 0.5; set 103 2.5; ok");
    ASSERT_EQ(s.host->runFilter(kUnsharpMask, image, RunOptions{.showDialog = true}), 0);
    EXPECT_DOUBLE_EQ(Item(*s.host, 101), 0.3333 * 500);
    EXPECT_EQ(Item(*s.host, 105), 127);
    EXPECT_DOUBLE_EQ(Item(*s.host, 102), 25 / 334.0);
    const std::vector<uint8_t> unsharp = StoredBlock(s, "FD_3FCA_100");
    ASSERT_EQ(unsharp.size(), 13360u);
    EXPECT_EQ(At<int16_t>(unsharp.data(), 0), 25);
    EXPECT_DOUBLE_EQ(At<double>(unsharp.data(), 9240), 0.3333 * 500);
    EXPECT_EQ(At<int16_t>(unsharp.data(), 9248), 127);
    EXPECT_EQ(At<int32_t>(unsharp.data(), 1036), 0);

    // A stored amount beyond 500 opens clamped; Cancel changes nothing.
    std::vector<uint8_t> tooMuch = unsharp;
    Put(tooMuch.data(), 9240, 800.0);
    s.host->settingsStore().set(kStoreNamespace, "FD_3FCA_100", StoreValue(tooMuch));
    const Image before = image;
    s.host->dialogScript = ParseDialogScript("cancel");
    EXPECT_EQ(s.host->runFilter(kUnsharpMask, image, RunOptions{.showDialog = true}), kUserCanceledErr);
    EXPECT_EQ(Item(*s.host, 101), 500);
    EXPECT_EQ(image, before);
    EXPECT_EQ(StoredBlock(s, "FD_3FCA_100"), tooMuch);
}

TEST(GaussianFamily, StoredBlocksOfAnotherSizeMeanDefaults)
{
    StoreHost s;
    const Image original = RandomImage(12, 9, kModeGrayscale, 8, false, 8);
    Image defaults = original, image = original, wider = original;
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, defaults), 0);
    s.host->settingsStore().set(kStoreNamespace, "FD_3E94_200", StoreValue(std::vector<uint8_t>(12319, 0x07)));
    auto fresh = LoadedHost(HostSettings{.settingsPath = (s.folder / "settings.db").string()});
    ASSERT_EQ(fresh->runFilter(kGaussianBlur, image), 0);
    EXPECT_EQ(image, defaults);
    const HostDescriptor wide = Radius(0x8982, 40);
    ASSERT_EQ(fresh->runFilter(kGaussianBlur, wider, RunOptions{.descriptor = &wide}), 0);
    EXPECT_NE(wider, defaults) << "the default radius is 1.0, not 4.0";
}

TEST(GaussianFamily, DescriptorKeysInEitherFormWithTheirTypes)
{
    StoreHost s;
    const Image original = RandomImage(15, 11, kModeGrayscale, 8, false, 6);
    Image byNumber = original, byCode = original, wrongType = original, defaults = original, reset = original;
    const HostDescriptor number = Radius(0x8982, 35), code = Radius(FourCC("radi"), 35), back = Radius(0x8982, 10);
    HostDescriptor asFloat;
    asFloat.putFloat(FourCC("radi"), 35);
    // The host keeps the block between runs, so each run starts from the last one's settings.
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, defaults), 0);
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, wrongType, RunOptions{.descriptor = &asFloat}), 0);
    EXPECT_EQ(wrongType, defaults) << "a key of the wrong type is not taken";
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, byCode, RunOptions{.descriptor = &code}), 0);
    EXPECT_NE(byCode, defaults);
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, reset, RunOptions{.descriptor = &back}), 0);
    EXPECT_EQ(reset, defaults);
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, byNumber, RunOptions{.descriptor = &number}), 0);
    EXPECT_EQ(byNumber, byCode);
    EXPECT_EQ(Items(s.host->recordedDescriptor.get()), (std::vector<KeyValue>{{0x8982, 35}}));

    HostDescriptor unsharp;
    unsharp.putInteger(FourCC("urad"), 22);
    unsharp.putFloat(0x8acc, 250.5);
    unsharp.putInteger(FourCC("uthd"), 4);
    Image image = original;
    ASSERT_EQ(s.host->runFilter(kUnsharpMask, image, RunOptions{.descriptor = &unsharp}), 0);
    EXPECT_EQ(Items(s.host->recordedDescriptor.get()),
              (std::vector<KeyValue>{{0x8acb, 22}, {0x8acc, 250.5}, {0x8acd, 4}}));
}

TEST(GaussianFamily, ScriptingSelectors)
{
    StoreHost s;
    FilterRecord record{}, unsharpRecord{};
    intptr_t data = 0;
    int16_t result = 1;
    const FilterEntry gaussian = s.host->filterEntry(kGaussianBlur), unsharp = s.host->filterEntry(kUnsharpMask);
    s.host->callEntry(gaussian, filterSelectorPrepare, record, data, result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(At<int16_t>(record.parameters, 0), 10);

    // 28: only an 8-byte float64 radius in tenths, truncated. A 24-byte block
    // is Unsharp Mask's: int32 radius, float64 amount at 8, int32 threshold at 16.
    void *radiusBlock = nullptr, *unsharpBlock = nullptr;
    ASSERT_EQ(CallbackTable()->NewBlock(&radiusBlock, 8), 0);
    ASSERT_EQ(CallbackTable()->NewBlock(&unsharpBlock, 24), 0);
    Put(radiusBlock, 0, 35.9);
    Put(unsharpBlock, 0, int32_t(50));
    Put(unsharpBlock, 8, 250.5);
    Put(unsharpBlock, 16, int32_t(7));
    data = reinterpret_cast<intptr_t>(radiusBlock);
    s.host->callEntry(gaussian, kSelectorSetParams, record, data, result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(At<int16_t>(record.parameters, 0), 35);
    data = reinterpret_cast<intptr_t>(unsharpBlock);
    s.host->callEntry(gaussian, kSelectorSetParams, record, data, result);
    EXPECT_EQ(At<int16_t>(record.parameters, 0), 35);

    // 30: a parameter size of 0, without a result.
    data = 99;
    result = 1234;
    s.host->callEntry(gaussian, kSelectorParameterSize, record, data, result);
    EXPECT_EQ(data, 0);
    EXPECT_EQ(result, 1234);

    s.host->callEntry(unsharp, filterSelectorPrepare, unsharpRecord, data, result);
    data = reinterpret_cast<intptr_t>(unsharpBlock);
    s.host->callEntry(unsharp, kSelectorSetParams, unsharpRecord, data, result);
    EXPECT_EQ(At<int16_t>(unsharpRecord.parameters, 0), 50);
    EXPECT_EQ(At<double>(unsharpRecord.parameters, 9240), 250.5);
    EXPECT_EQ(At<int16_t>(unsharpRecord.parameters, 9248), 7);

    // 29: a descriptor translated to the written keys; a foreign key or a wrong type refuses.
    PIDescriptorParameters parameters{};
    parameters.readDescriptorProcs = ReadDescriptorTable();
    parameters.writeDescriptorProcs = WriteDescriptorTable();
    HandleProcs handles{DisposeDescriptor};
    unsharpRecord.descriptorParameters = &parameters;
    unsharpRecord.handleProcs = &handles;
    HostDescriptor codes, foreignKey, wrongType;
    codes.putInteger(FourCC("urad"), 22);
    codes.putFloat(FourCC("uamt"), 80);
    foreignKey.putInteger(FourCC("urad"), 22);
    foreignKey.putInteger(FourCC("Rdus"), 3);
    wrongType.putInteger(FourCC("urad"), 22);
    wrongType.putFloat(FourCC("uthd"), 3);
    for (HostDescriptor* descriptor : {&codes, &foreignKey, &wrongType}) {
        PIDescriptorHandle translated = nullptr;
        // The data word is followed by where the translation goes.
        intptr_t words[2] = {reinterpret_cast<intptr_t>(descriptor), reinterpret_cast<intptr_t>(&translated)};
        s.host->callEntry(unsharp, kSelectorTranslateDescriptor, unsharpRecord, words[0], result);
        if (descriptor != &codes) {
            EXPECT_EQ(result, kFailedErr);
            EXPECT_EQ(translated, nullptr);
            continue;
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(Items(translated), (std::vector<KeyValue>{{0x8acb, 22}, {0x8acc, 80.0}}));
        DisposeDescriptor(translated);
    }

    for (void* b : {radiusBlock, unsharpBlock, record.parameters, unsharpRecord.parameters})
        CallbackTable()->platform->FreeBlock(b);
}

int16_t (*gRealNewBlock)(void**, int32_t) = nullptr;

// The host's block service, refusing anything the size of a scratch buffer.
int16_t NewBlockWithoutScratch(void** block, int32_t size)
{
    return size >= 300000 ? kMemFullErr : gRealNewBlock(block, size);
}

TEST(GaussianFamily, NoScratchMeansOutOfMemoryAndNothingChanges)
{
    StoreHost s;
    HostCallbackTable& table = *CallbackTable();
    gRealNewBlock = table.NewBlock;
    table.NewBlock = NewBlockWithoutScratch;
    const Image original = RandomImage(8, 8, kModeGrayscale, 8);
    for (int id : {kGaussianBlur, kHighPass, kUnsharpMask}) {
        Image image = original;
        EXPECT_EQ(s.host->runFilter(id, image), kMemFullErr) << id;
        EXPECT_EQ(image, original);
    }
    table.NewBlock = gRealNewBlock;
    Image image = original;
    EXPECT_EQ(s.host->runFilter(kHighPass, image), 0) << "the failed runs left nothing behind";
}

}  // namespace
}  // namespace pictra::test
