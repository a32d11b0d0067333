// Invert through the host at every depth, with transparency, selections,
// rectangles, progress and abort. (SweepTest cuts its work every way.)
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace pictra::test {
namespace {

TEST(Invert, TwiceRestoresEveryDepth)
{
    auto host = LoadedHost();
    for (const auto& [mode, depth] : std::vector<std::pair<int16_t, int>>{
             {kModeBitmap, 1}, {kModeGrayscale, 8}, {kModeRGB, 8}, {kModeRGB, 16}, {kModeCMYK, 16}, {kModeLab, 8}}) {
        const Image original = RandomImage(37, 11, mode, depth);
        Image image = original;
        ASSERT_EQ(host->runFilter(kInvert, image), 0);
        EXPECT_NE(image, original);
        ASSERT_EQ(host->runFilter(kInvert, image), 0);
        EXPECT_EQ(image, original) << ModeName(mode) << " " << depth;
    }
}

TEST(Invert, ComplementsSamplesAtTheirOwnDepth)
{
    auto host = LoadedHost();
    Image deep(3, 1, kModeGrayscale, 16, false);
    deep.setSample(0, 0, 0, 0);
    deep.setSample(0, 1, 0, 1000);
    deep.setSample(0, 2, 0, 65535);
    ASSERT_EQ(host->runFilter(kInvert, deep), 0);
    EXPECT_EQ(deep.sample(0, 0, 0), 65535);
    EXPECT_EQ(deep.sample(0, 1, 0), 64535);
    EXPECT_EQ(deep.sample(0, 2, 0), 0);

    Image eight = ConstantImage(5, 5, kModeRGB, 8, 0);
    eight.setSample(1, 2, 2, 200);
    ASSERT_EQ(host->runFilter(kInvert, eight), 0);
    EXPECT_EQ(eight.sample(0, 0, 0), 255);
    EXPECT_EQ(eight.sample(1, 2, 2), 55);
}

TEST(Invert, LeavesTransparencyAloneAndInvertsTheStraightColour)
{
    auto host = LoadedHost();
    Image image(4, 1, kModeRGB, 8, true);
    const uint8_t alpha[4] = {255, 128, 0, 51};
    const uint8_t straight[4] = {200, 100, 70, 250};
    for (int x = 0; x < 4; ++x) {
        image.setSample(3, x, 0, alpha[x]);
        for (int p = 0; p < 3; ++p)
            image.setSample(p, x, 0, MatteAgainstWhite(straight[x], alpha[x]));
    }
    const Image before = image;
    ASSERT_EQ(host->runFilter(kInvert, image), 0);
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(image.sample(3, x, 0), alpha[x]) << "transparency untouched";
        // The filter un-mattes with truncating division: c' = ((m - 255) + a) x 255 / a.
        const int a = alpha[x];
        const int straightColour = a == 0 ? 0 : ((int(before.sample(0, x, 0)) - 255) + a) * 255 / a;
        const uint8_t expected = MatteAgainstWhite(uint8_t(255 - straightColour), alpha[x]);
        for (int p = 0; p < 3; ++p)
            EXPECT_EQ(image.sample(p, x, 0), expected) << "pixel " << x << " plane " << p;
    }
    EXPECT_EQ(image.sample(0, 0, 0), 55) << "opaque pixels invert plainly";
    EXPECT_EQ(image.sample(0, 2, 0), 255) << "a fully transparent pixel stays white";
}

TEST(Invert, BitmapBandStartingInsideAByteKeepsTheBitsBeforeIt)
{
    auto host = LoadedHost();
    Image image(16, 2, kModeBitmap, 1, false);
    RunOptions options;
    options.rect = Rect16{0, 5, 2, 16};
    ASSERT_EQ(host->runFilter(kInvert, image, options), 0);
    for (int y = 0; y < 2; ++y) {
        EXPECT_EQ(image.row(0, y)[0], 0x07) << "first five bits alone, last three complemented";
        EXPECT_EQ(image.row(0, y)[1], 0xFF);
    }
}

TEST(Invert, SelectionBlendsAndRectLimitsTheArea)
{
    auto host = LoadedHost();
    Image mask = ConstantImage(8, 8, kModeGrayscale, 8, 0);
    mask.setSample(0, 2, 3, 255);
    mask.setSample(0, 4, 3, 51);
    Image image = ConstantImage(8, 8, kModeGrayscale, 8, 100);
    ASSERT_EQ(host->runFilter(kInvert, image, RunOptions{.mask = &mask}), 0);
    EXPECT_EQ(image.sample(0, 2, 3), 155);
    EXPECT_EQ(image.sample(0, 4, 3), (100 * 204 + 155 * 51 + 127) / 255);
    EXPECT_EQ(image.sample(0, 3, 3), 100) << "inside the bounds but unselected";
    EXPECT_EQ(image.sample(0, 0, 0), 100);

    Image rectImage = ConstantImage(8, 8, kModeGrayscale, 8, 100);
    ASSERT_EQ(host->runFilter(kInvert, rectImage, RunOptions{.rect = Rect16{1, 1, 3, 4}}), 0);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(rectImage.sample(0, x, y), y >= 1 && y < 3 && x >= 1 && x < 4 ? 155 : 100) << x << "," << y;
}

TEST(Invert, ReportsProgressPerPlaneAndAbortsAfterThePlane)
{
    auto host = LoadedHost();
    Image image = RandomImage(10, 10, kModeRGB, 8, true);
    std::vector<std::pair<uint32_t, uint32_t>> reports;
    RunOptions options;
    options.progress = [&](uint32_t done, uint32_t total) { reports.emplace_back(done, total); };
    ASSERT_EQ(host->runFilter(kInvert, image, options), 0);
    EXPECT_EQ(reports, (std::vector<std::pair<uint32_t, uint32_t>>{{100, 300}, {200, 300}, {300, 300}}))
        << "three colour planes, transparency not counted";

    const Image original = image;
    int polls = 0;
    options.progress = nullptr;
    options.abort = [&] { return ++polls == 2; };
    EXPECT_EQ(host->runFilter(kInvert, image, options), kUserCanceledErr);
    EXPECT_EQ(polls, 2) << "no plane after the abort";
    EXPECT_EQ(image, original) << "an aborted run leaves the image as it was";
}

TEST(Invert, RefusesModesItsPropertiesExclude)
{
    auto host = LoadedHost();
    Image indexed(4, 4, kModeIndexed, 8, false);
    EXPECT_THROW(host->runFilter(kInvert, indexed), HostError);
    Image gray(4, 4, kModeGrayscale, 8, false);
    EXPECT_THROW(host->runFilter(99999, gray), HostError);
    Image bitmap(8, 8, kModeBitmap, 1, false);
    try {
        host->runFilter(kSharpen, bitmap);
        FAIL() << "Sharpen took a bitmap";
    } catch (const HostError& error) {
        EXPECT_STREQ(error.what(), "Sharpen does not work on bitmap images");
    }
}

}  // namespace
}  // namespace pictra::test
