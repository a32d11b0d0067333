// Gaussian Blur, Unsharp Mask and High Pass: the integer kernel, the imaging
// library against a plain separable convolution, the passes through the host
// at every depth and cut, the combinations, the dialogs' scales, the stored
// blocks and the scripting selectors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <numeric>

#include "FilterEntries.h"
#include "Host/src/HostInternal.h"
#include "TestSupport.h"
#include "ipl.h"
#include "pictra/PixelRoutines.h"
#include "pictra/SettingsStore.h"

namespace pictra::test {
namespace {

std::vector<uint8_t> Bytes(const PlaneBytes& plane) { return {plane.begin(), plane.end()}; }

HostDescriptor Radius(uint32_t key, int32_t tenths)
{
    HostDescriptor d;
    d.putInteger(key, tenths);
    return d;
}

std::vector<int32_t> KernelForRadius(int radius)
{
    std::vector<double> weights(1024);
    int32_t n = 0;
    GaussianWeights(radius / 10.0, weights.data(), &n);
    std::vector<int32_t> kernel(1024);
    kernel.resize(size_t(px::BuildGaussianKernel(weights.data(), n, kernel.data())));
    return kernel;
}

int Saturated(int64_t sum) { return int(std::clamp<int64_t>((sum + 1024) >> 11, 0, 255)); }

// The plain separable convolution: rows then columns, each sum shifted by 11
// with halves rounded up and kept as bytes, edge pixels repeated outside.
std::vector<uint8_t> SeparableReference(const std::vector<uint8_t>& plane, int width, int height,
                                        const std::vector<int32_t>& kernel)
{
    const int anchor = int(kernel.size()) / 2;
    std::vector<uint8_t> across(plane.size()), result(plane.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int64_t sum = 0;
            for (size_t i = 0; i < kernel.size(); ++i)
                sum += kernel[i] * plane[size_t(y * width + std::clamp(x + int(i) - anchor, 0, width - 1))];
            across[size_t(y * width + x)] = uint8_t(Saturated(sum));
        }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int64_t sum = 0;
            for (size_t j = 0; j < kernel.size(); ++j)
                sum += kernel[j] * across[size_t(std::clamp(y + int(j) - anchor, 0, height - 1) * width + x)];
            result[size_t(y * width + x)] = uint8_t(Saturated(sum));
        }
    return result;
}

// The two passes over a whole plane padded by hand: the host's line routine
// over every row, then over every column.
std::vector<uint8_t> TwoPassReference(const Image& image, int plane, int radius)
{
    std::vector<double> w(1024);
    int32_t n = 0;
    GaussianWeights(radius / 10.0, w.data(), &n);
    KernelTable table{};
    EXPECT_EQ(BuildKernelTable(w.data(), n, &table), 0);
    const int32_t bytes = image.depth() / 8;
    auto convolve = [&](int32_t count, const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                        int32_t destinationStep) {
        if (bytes == 1)
            ConvolveLine8(count, source, sourceStep, destination, destinationStep, w.data(), &table, n);
        else
            ConvolveLineDeep(count, source, sourceStep, destination, destinationStep, 16, w.data(), n);
    };
    const int32_t width = image.width(), height = image.height(), halo = n - 1;
    const int32_t rowBytes = (width + 2 * halo) * bytes, outRowBytes = width * bytes;
    std::vector<uint8_t> padded(size_t(rowBytes) * size_t(height + 2 * halo));
    for (int32_t y = -halo; y < height + halo; ++y)
        for (int32_t x = -halo; x < width + halo; ++x)
            std::memcpy(&padded[size_t(y + halo) * rowBytes + size_t(x + halo) * bytes],
                        image.row(plane, std::clamp(y, 0, height - 1)) + bytes * std::clamp(x, 0, width - 1),
                        size_t(bytes));
    std::vector<uint8_t> across(size_t(outRowBytes) * size_t(height + 2 * halo)), result(size_t(outRowBytes) * height);
    for (int32_t y = 0; y < height + 2 * halo; ++y)
        convolve(width, &padded[size_t(y) * rowBytes + size_t(halo) * bytes], bytes, &across[size_t(y) * outRowBytes],
                 bytes);
    for (int32_t x = 0; x < width; ++x)
        convolve(height, &across[size_t(halo) * outRowBytes + size_t(x) * bytes], outRowBytes, &result[size_t(x) * bytes],
                 outRowBytes);
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
    const auto stored = s.host->settingsStore().getBytes(kStoreNamespace, key);
    return stored ? *stored : std::vector<uint8_t>{};
}

template <class T>
T At(const std::vector<uint8_t>& bytes, size_t offset)
{
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
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
    EXPECT_EQ(std::vector<int32_t>(kernel, kernel + 9), (std::vector<int32_t>{50, 151, 201, 102, 1042, 101, 200, 150, 50}));
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
        EXPECT_EQ(Bytes(image.plane(0)), SeparableReference(Bytes(original.plane(0)), 37, 29, KernelForRadius(radius))) << radius;
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
    IplROI roi{0, 13, 6, 7, 6};
    IplImage* source = iplCreateImageHeader(1, 0, IPL_DEPTH_8U, "GRAY", "GRAY", IPL_DATA_ORDER_PIXEL, IPL_ORIGIN_TL,
                                            IPL_ALIGN_QWORD, width, height, &roi, nullptr, nullptr, nullptr);
    IplImage* destination = iplCreateImageHeader(1, 0, IPL_DEPTH_8U, "GRAY", "GRAY", IPL_DATA_ORDER_PIXEL,
                                                 IPL_ORIGIN_TL, IPL_ALIGN_QWORD, 7, 6, nullptr, nullptr, nullptr, nullptr);
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
            EXPECT_EQ(out[size_t(y * 8 + x)], (pixels[size_t((6 + y) * width + 13 + x)] + right + 1) / 2) << x << "," << y;
        }

    const int huge[2] = {40000, 30000};
    EXPECT_EQ(iplCreateConvKernel(2, 1, 0, 0, huge, 11), nullptr) << "sums would no longer be exact";
    EXPECT_EQ(iplCreateConvKernel(2, 1, 2, 0, lopsided, 11), nullptr) << "anchor outside";
    EXPECT_EQ(iplCreateConvKernel(2, 1, 0, 0, lopsided, 31), nullptr);
    EXPECT_EQ(iplCreateImageHeader(3, 0, IPL_DEPTH_8U, "RGB", "RGB", IPL_DATA_ORDER_PIXEL, IPL_ORIGIN_TL,
                                   IPL_ALIGN_QWORD, 4, 4, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    iplDeleteConvKernel(rows);
    iplDeleteConvKernel(columns);
    iplDeleteConvKernel(pair);
    iplDeallocate(source, IPL_IMAGE_HEADER);
    iplDeallocate(destination, IPL_IMAGE_HEADER);
}

TEST(GaussianFamily, SameResultsForAnyThreadsBandsAndTiles)
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
        for (int bands : {3, 16})
            for (int tile : {0, 7, 16}) {
                Image image = *run.image;
                ASSERT_EQ(pair->runFilter(run.id, image,
                                          RunOptions{.tileSize = tile, .bandCount = bands, .descriptor = &run.settings}),
                          0);
                EXPECT_EQ(image, reference) << run.id << " at " << run.image->depth() << " bits: " << bands
                                            << " bands, tile " << tile;
            }
    }
}

TEST(GaussianFamily, DeepImagesTakeTwoPassesAtTheirOwnDepth)
{
    StoreHost s;
    const Image original = RandomImage(23, 19, kModeGrayscale, 16, false, 9);
    Image image = original;
    const HostDescriptor d = Radius(0x8982, 31);
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, image, RunOptions{.tileSize = 8, .descriptor = &d}), 0);
    EXPECT_EQ(Bytes(image.plane(0)), TwoPassReference(original, 0, 31));

    Image flat = ConstantImage(9, 9, kModeGrayscale, 16, 51234);
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, flat, RunOptions{.descriptor = &d}), 0);
    EXPECT_EQ(flat, ConstantImage(9, 9, kModeGrayscale, 16, 51234));
}

TEST(GaussianFamily, FloatImagesBlurAsFloats)
{
    StoreHost s;
    Image flat = ConstantImage(11, 7, kModeGrayscale, 32, 0.3);
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, flat), 0);
    Image highPass = ConstantImage(11, 7, kModeGrayscale, 32, 0.3);
    ASSERT_EQ(s.host->runFilter(kHighPass, highPass), 0);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 11; ++x) {
            EXPECT_NEAR(flat.sample(0, x, y), 0.3, 1e-6);
            EXPECT_NEAR(highPass.sample(0, x, y), 128 / 255.0, 1e-6);
        }
    // Unsharp Mask sharpens the 8-bit rendition: a bright dot gains, the flat area keeps its value.
    Image dot = ConstantImage(9, 9, kModeGrayscale, 32, 0.5);
    dot.setSample(0, 4, 4, 0.8);
    ASSERT_EQ(s.host->runFilter(kUnsharpMask, dot), 0);
    EXPECT_GT(dot.sample(0, 4, 4), 0.8);
    EXPECT_EQ(dot.sample(0, 0, 0), 0.5);
}

TEST(GaussianFamily, OnlyGaussianBlurTouchesTransparency)
{
    StoreHost s;
    const Image original = RandomImage(16, 12, kModeRGB, 8, true, 5);
    for (int id : {kGaussianBlur, kHighPass, kUnsharpMask}) {
        Image image = original;
        ASSERT_EQ(s.host->runFilter(id, image), 0);
        EXPECT_NE(image.plane(0), original.plane(0)) << id;
        if (id == kGaussianBlur)
            EXPECT_NE(image.plane(3), original.plane(3));
        else
            EXPECT_EQ(image.plane(3), original.plane(3)) << id;
    }
}

TEST(GaussianFamily, HighPassIsMidGrayOnFlatAreas)
{
    StoreHost s;
    Image flat = ConstantImage(14, 9, kModeRGB, 8, 93);
    ASSERT_EQ(s.host->runFilter(kHighPass, flat), 0);
    EXPECT_EQ(flat, ConstantImage(14, 9, kModeRGB, 8, 128));
    Image deep = ConstantImage(6, 5, kModeGrayscale, 16, 4000);
    ASSERT_EQ(s.host->runFilter(kHighPass, deep), 0);
    EXPECT_EQ(deep, ConstantImage(6, 5, kModeGrayscale, 16, 32896));

    Image edge = ConstantImage(12, 3, kModeGrayscale, 8, 40);
    for (int y = 0; y < 3; ++y)
        for (int x = 6; x < 12; ++x)
            edge.setSample(0, x, y, 200);
    ASSERT_EQ(s.host->runFilter(kHighPass, edge), 0);
    EXPECT_LT(edge.sample(0, 5, 1), 128) << "dark side of the edge";
    EXPECT_GT(edge.sample(0, 6, 1), 128) << "bright side of the edge";
    EXPECT_EQ(edge.sample(0, 0, 1), 128);
}

TEST(GaussianFamily, UnsharpCombinationGainThresholdAndSaturation)
{
    // 8 bits: at 100 % the gain is 1; at 500 % it is 160 / 32 = 5; at 1 % it
    // truncates to 0. Only samples brighter than their blur by more than the
    // threshold change.
    const uint8_t source[6] = {120, 120, 120, 100, 200, 250};
    const uint8_t blur[6] = {100, 110, 109, 140, 100, 200};
    uint8_t out[6];
    std::memcpy(out, blur, 6);
    px::UnsharpCombine8(1, 6, source, 6, out, 6, 100, 10);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{140, 120, 131, 100, 255, 255}));
    std::memcpy(out, blur, 6);
    px::UnsharpCombine8(1, 6, source, 6, out, 6, 500, 0);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{220, 170, 175, 100, 255, 255}));
    std::memcpy(out, blur, 6);
    px::UnsharpCombine8(1, 6, source, 6, out, 6, 1, 0);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), std::vector<uint8_t>(source, source + 6));

    // 16 bits, in units of 256: the result is v x 65280 / 255, so it saturates at 65280.
    uint8_t deepSource[6], deepOut[6];
    const uint16_t sources[3] = {60000, 30000, 65535}, blurs[3] = {40000, 30500, 65535};
    for (int i = 0; i < 3; ++i) {
        StoreSample16(deepSource + 2 * i, sources[i]);
        StoreSample16(deepOut + 2 * i, blurs[i]);
    }
    px::UnsharpCombine16(1, 3, deepSource, 6, deepOut, 6, 100, 0);
    EXPECT_EQ(LoadSample16(deepOut), 65280);
    EXPECT_EQ(LoadSample16(deepOut + 2), 30000) << "darker than its blur: unchanged";
    EXPECT_EQ(LoadSample16(deepOut + 4), 65535) << "unchanged samples keep their value";
    StoreSample16(deepSource, 20000);
    StoreSample16(deepOut, 19000);
    px::UnsharpCombine16(1, 1, deepSource, 6, deepOut, 6, 100, 3);
    EXPECT_EQ(LoadSample16(deepOut), 21000) << "1000 / 256 = 3.9 levels is above a threshold of 3";
}

TEST(GaussianFamily, HighPassAndUnsharpMaskCombineTheHostsBlur)
{
    StoreHost s;
    const Image original = RandomImage(21, 17, kModeGrayscale, 8, false, 21);
    const std::vector<uint8_t> blur = TwoPassReference(original, 0, 10);
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
    } dialogs[] = {{kGaussianBlur, 100, "Gaussian Blur"}, {kHighPass, 100, "High Pass"}, {kUnsharpMask, 102, "Unsharp Mask"}};
    for (const auto& d : dialogs) {
        StoreHost s;
        std::string title;
        s.host->onDialogOpened = [&](const std::string& t, const std::vector<DialogItemState>& items) {
            title = t;
            for (const DialogItemState& item : items) {
                if (item.id == d.slider) {
                    EXPECT_DOUBLE_EQ(item.value, 10 / 334.0) << "the default radius 1.0 on the slider";
                }
            }
        };
        Image image = RandomImage(8, 8, kModeGrayscale, 8);
        s.host->dialogScript = ParseDialogScript("set " + std::to_string(d.slider) + " 1; ok");
        ASSERT_EQ(s.host->runFilter(d.id, image, RunOptions{.showDialog = true}), 0) << s.host->dialogError;
        EXPECT_EQ(title, d.title);
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
    } toRadius[] = {{0.2, kGaussian, 66},   {0.3, kGaussian, 100},   {0.31, kGaussian, 120}, {0.45, kGaussian, 350},
                    {0.6, kGaussian, 600},  {0.7, kGaussian, 1080},  {0.7, kUnsharp, 1090}, {1.0, kUnsharp, 2500},
                    {0.0, kGaussian, 1},    {-0.5, kGaussian, 1},    {7.0, kGaussian, 2500}};
    for (const auto& c : toRadius)
        EXPECT_EQ(px::RadiusFromSlider(c.position, c.divisor), c.radius) << c.position << " / " << c.divisor;
    EXPECT_DOUBLE_EQ(px::RadiusSliderPosition(10, kGaussian), 10 / 334.0);
    EXPECT_DOUBLE_EQ(px::RadiusSliderPosition(350, kGaussian), 250 / 1667.0 + 0.3);
    EXPECT_DOUBLE_EQ(px::RadiusSliderPosition(1000, kUnsharp), 400 / 4875.0 + 0.6);
    for (int radius = 110; radius <= 2500; radius += 10)
        EXPECT_EQ(px::RadiusFromSlider(px::RadiusSliderPosition(radius, kGaussian), kGaussian), radius);
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
    EXPECT_EQ(At<int16_t>(gaussian, 0), 350);
    EXPECT_EQ(At<int32_t>(gaussian, 4), 106) << "n for sigma 35";
    EXPECT_EQ(At<int32_t>(gaussian, 12296), 11);
    EXPECT_EQ(At<int32_t>(gaussian, 12300), 211);

    s.host->dialogScript = ParseDialogScript("set 100 0.7; ok");
    ASSERT_EQ(s.host->runFilter(kHighPass, image, RunOptions{.showDialog = true}), 0);
    EXPECT_EQ(Item(*s.host, 101), 108.0);
    const std::vector<uint8_t> highPass = StoredBlock(s, "FD_4092_100");
    ASSERT_EQ(highPass.size(), 9256u);
    EXPECT_EQ(At<int16_t>(highPass, 0), 1080);
    EXPECT_EQ(At<int32_t>(highPass, 8), 325) << "the table's taps are stored";
    EXPECT_EQ(At<int32_t>(highPass, 1036), 0) << "the table's lookup is never stored";

    // Amount from its slider is not rounded; threshold from its slider is truncated.
    s.host->dialogScript = ParseDialogScript("set 100 0.3333; set 104 0.5; set 103 2.5; ok");
    ASSERT_EQ(s.host->runFilter(kUnsharpMask, image, RunOptions{.showDialog = true}), 0);
    EXPECT_DOUBLE_EQ(Item(*s.host, 101), 0.3333 * 500);
    EXPECT_EQ(Item(*s.host, 105), 127);
    EXPECT_DOUBLE_EQ(Item(*s.host, 102), 25 / 334.0);
    const std::vector<uint8_t> unsharp = StoredBlock(s, "FD_3FCA_100");
    ASSERT_EQ(unsharp.size(), 13360u);
    EXPECT_EQ(At<int16_t>(unsharp, 0), 25);
    EXPECT_DOUBLE_EQ(At<double>(unsharp, 9240), 0.3333 * 500);
    EXPECT_EQ(At<int16_t>(unsharp, 9248), 127);
    EXPECT_EQ(At<int32_t>(unsharp, 1036), 0);

    // A stored amount beyond 500 opens clamped; Cancel changes nothing.
    std::vector<uint8_t> tooMuch = unsharp;
    const double amount = 800;
    std::memcpy(&tooMuch[9240], &amount, sizeof amount);
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
    Image defaults = original;
    ASSERT_EQ(s.host->runFilter(kGaussianBlur, defaults), 0);
    s.host->settingsStore().set(kStoreNamespace, "FD_3E94_200", StoreValue(std::vector<uint8_t>(12319, 0x07)));
    auto fresh = LoadedHost(HostSettings{.settingsPath = (s.folder / "settings.db").string()});
    Image image = original;
    ASSERT_EQ(fresh->runFilter(kGaussianBlur, image), 0);
    EXPECT_EQ(image, defaults);
    const HostDescriptor wide = Radius(0x8982, 40);
    Image other = original;
    ASSERT_EQ(fresh->runFilter(kGaussianBlur, other, RunOptions{.descriptor = &wide}), 0);
    EXPECT_NE(other, defaults) << "the default radius is 1.0, not 4.0";
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
    ASSERT_EQ(s.host->recordedDescriptor->items.size(), 1u);
    EXPECT_EQ(s.host->recordedDescriptor->items[0].key, 0x8982u);
    EXPECT_EQ(std::get<int32_t>(s.host->recordedDescriptor->items[0].value), 35);

    HostDescriptor unsharp;
    unsharp.putInteger(FourCC("urad"), 22);
    unsharp.putFloat(0x8acc, 250.5);
    unsharp.putInteger(FourCC("uthd"), 4);
    Image image = original;
    ASSERT_EQ(s.host->runFilter(kUnsharpMask, image, RunOptions{.descriptor = &unsharp}), 0);
    const auto& items = s.host->recordedDescriptor->items;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].key, 0x8acbu);
    EXPECT_EQ(std::get<int32_t>(items[0].value), 22);
    EXPECT_EQ(items[1].key, 0x8accu);
    EXPECT_EQ(std::get<double>(items[1].value), 250.5);
    EXPECT_EQ(items[2].key, 0x8acdu);
    EXPECT_EQ(std::get<int32_t>(items[2].value), 4);
}

TEST(GaussianFamily, ScriptingSelectors)
{
    StoreHost s;
    FilterRecord record{};
    intptr_t data = 0;
    int16_t result = 1;
    const FilterEntry gaussian = s.host->filterEntry(kGaussianBlur);
    s.host->callEntry(gaussian, filterSelectorPrepare, record, data, result);
    ASSERT_EQ(result, 0);
    auto* block = static_cast<uint8_t*>(record.parameters);
    EXPECT_EQ(At<int16_t>(std::vector<uint8_t>(block, block + 2), 0), 10);

    // 28: only an 8-byte float64 radius in tenths, truncated.
    void* handle = nullptr;
    ASSERT_EQ(CallbackTable()->NewBlock(&handle, 8), 0);
    const double radius = 35.9;
    std::memcpy(handle, &radius, 8);
    data = reinterpret_cast<intptr_t>(handle);
    s.host->callEntry(gaussian, kSelectorSetParams, record, data, result);
    EXPECT_EQ(result, 0);
    int16_t taken;
    std::memcpy(&taken, block, 2);
    EXPECT_EQ(taken, 35);
    void* wrongSize = nullptr;
    ASSERT_EQ(CallbackTable()->NewBlock(&wrongSize, 24), 0);
    data = reinterpret_cast<intptr_t>(wrongSize);
    s.host->callEntry(gaussian, kSelectorSetParams, record, data, result);
    std::memcpy(&taken, block, 2);
    EXPECT_EQ(taken, 35);

    // 30: a parameter size of 0, without a result.
    data = 99;
    result = 1234;
    s.host->callEntry(gaussian, kSelectorParameterSize, record, data, result);
    EXPECT_EQ(data, 0);
    EXPECT_EQ(result, 1234);

    // Unsharp Mask's 28 takes 24 bytes: int32 radius, float64 amount at 8, int32 threshold at 16.
    FilterRecord unsharpRecord{};
    const FilterEntry unsharp = s.host->filterEntry(kUnsharpMask);
    s.host->callEntry(unsharp, filterSelectorPrepare, unsharpRecord, data, result);
    uint8_t* fields = static_cast<uint8_t*>(wrongSize);
    const int32_t radiusField = 50, thresholdField = 7;
    const double amountField = 250.5;
    std::memcpy(fields, &radiusField, 4);
    std::memcpy(fields + 8, &amountField, 8);
    std::memcpy(fields + 16, &thresholdField, 4);
    data = reinterpret_cast<intptr_t>(wrongSize);
    s.host->callEntry(unsharp, kSelectorSetParams, unsharpRecord, data, result);
    const auto* unsharpBlock = static_cast<const uint8_t*>(unsharpRecord.parameters);
    const std::vector<uint8_t> taken24(unsharpBlock, unsharpBlock + 13360);
    EXPECT_EQ(At<int16_t>(taken24, 0), 50);
    EXPECT_EQ(At<double>(taken24, 9240), 250.5);
    EXPECT_EQ(At<int16_t>(taken24, 9248), 7);

    // 29: a descriptor translated to the written keys; a foreign key or a wrong type refuses.
    PIDescriptorParameters parameters{};
    parameters.readDescriptorProcs = ReadDescriptorTable();
    parameters.writeDescriptorProcs = WriteDescriptorTable();
    HandleProcs handles{DisposeDescriptor};
    unsharpRecord.descriptorParameters = &parameters;
    unsharpRecord.handleProcs = &handles;
    HostDescriptor codes;
    codes.putInteger(FourCC("urad"), 22);
    codes.putFloat(FourCC("uamt"), 80);
    PIDescriptorHandle translated = nullptr;
    intptr_t words[2] = {reinterpret_cast<intptr_t>(&codes), reinterpret_cast<intptr_t>(&translated)};
    s.host->callEntry(unsharp, kSelectorTranslateDescriptor, unsharpRecord, words[0], result);
    EXPECT_EQ(result, 0);
    ASSERT_NE(translated, nullptr);
    ASSERT_EQ(translated->items.size(), 2u);
    EXPECT_EQ(translated->items[0].key, 0x8acbu);
    EXPECT_EQ(std::get<int32_t>(translated->items[0].value), 22);
    EXPECT_EQ(translated->items[1].key, 0x8accu);
    EXPECT_EQ(std::get<double>(translated->items[1].value), 80);
    DisposeDescriptor(translated);
    for (const auto& [key, asFloat] : {std::pair{FourCC("Rdus"), false}, std::pair{FourCC("uthd"), true}}) {
        HostDescriptor bad;
        bad.putInteger(FourCC("urad"), 22);
        if (asFloat)
            bad.putFloat(key, 3);
        else
            bad.putInteger(key, 3);
        translated = nullptr;
        words[0] = reinterpret_cast<intptr_t>(&bad);
        s.host->callEntry(unsharp, kSelectorTranslateDescriptor, unsharpRecord, words[0], result);
        EXPECT_EQ(result, kFailedErr);
        EXPECT_EQ(translated, nullptr);
    }

    for (void* b : {handle, wrongSize, record.parameters, unsharpRecord.parameters})
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

TEST(GaussianFamily, AboutBoxes)
{
    auto host = LoadedHost();
    FilterRecord record{};
    intptr_t data = 0;
    int16_t result = 1;
    for (int id : {kGaussianBlur, kHighPass, kUnsharpMask})
        host->callEntry(host->filterEntry(id), filterSelectorAbout, record, data, result);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(host->alerts.size(), 3u);
    EXPECT_EQ(host->alerts[0], "Gaussian Blur\r\nRUREROZI filter package for Pictra.");
    EXPECT_EQ(host->alerts[1], "High Pass\r\nRUREROZI filter package for Pictra.");
    EXPECT_EQ(host->alerts[2], "Unsharp Mask\r\nRUREROZI filter package for Pictra.");
}

}  // namespace
}  // namespace pictra::test
