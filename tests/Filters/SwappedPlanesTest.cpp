// Runs that keep no "before" on images with the working margin: a plane the
// filter overwrites whole is swapped into the snapshot instead of copied.
// The result must be the copying run's, for every filter, plane and depth.
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace pictra::test {
namespace {

TEST(SwappedPlanes, GiveTheCopyingRunsResultAndOnlyForFiltersThatOverwriteTheirOutput)
{
    auto copying = LoadedHost(HostSettings{.threads = 1});
    auto swapping = LoadedHost(HostSettings{.threads = 2});
    const Image rgba = RandomImage(41, 35, kModeRGB, 8, true, 3);
    const Image gray16 = RandomImage(29, 37, kModeGrayscale, 16, false, 4);
    // Dust & Scratches and Despeckle write only the samples they replace;
    // Blur, Blur More and Custom filter deep images in an 8-bit rendition,
    // which is written back.
    const struct {
        int id;
        bool swaps, deep;
    } filters[] = {{kBlur, true, false},       {kBlurMore, true, false},         {kSharpen, true, true},
                   {kSharpenMore, true, true}, {kSharpenEdges, true, true},      {kCustom, true, false},
                   {kMaximum, true, true},     {kMinimum, true, true},           {kMedian, true, true},
                   {kAverage, true, true},     {kGaussianBlur, true, true},      {kUnsharpMask, true, true},
                   {kHighPass, true, true},    {kDustAndScratches, false, true}, {kDespeckle, false, true}};
    for (const Image* original : {&rgba, &gray16})
        for (const auto& filter : filters) {
            const std::string what = std::to_string(filter.id) + " at " + std::to_string(original->depth()) + " bits";
            Image expected = *original;
            ASSERT_EQ(copying->runFilter(filter.id, expected), 0) << what;
            // Twice on one host: the second run finds the first image's planes in its snapshot.
            for (int run = 0; run < 2; ++run) {
                Image image = WithWorkingMargin(*original);
                const uint8_t* firstPlane = image.plane(0).data();
                ASSERT_EQ(swapping->runFilter(filter.id, image, RunOptions{.restoreOnFailure = false}), 0) << what;
                EXPECT_EQ(image, expected) << what << ", run " << run;
                EXPECT_EQ(image.plane(0).data() != firstPlane, filter.swaps && (filter.deep || original->depth() == 8))
                    << what;
            }
        }

    // Planes are copied when the caller keeps the "before", or a pass covers only part of the image.
    const RunOptions copies[] = {RunOptions{}, RunOptions{.tileSize = 16, .restoreOnFailure = false},
                                 RunOptions{.rect = Rect16{3, 2, 30, 40}, .restoreOnFailure = false}};
    for (const RunOptions& options : copies) {
        Image expected = rgba;
        ASSERT_EQ(copying->runFilter(kMaximum, expected, options), 0);
        Image image = WithWorkingMargin(rgba);
        const uint8_t* firstPlane = image.plane(0).data();
        ASSERT_EQ(swapping->runFilter(kMaximum, image, options), 0);
        EXPECT_EQ(image, expected) << "tile " << options.tileSize;
        EXPECT_EQ(image.plane(0).data(), firstPlane) << "tile " << options.tileSize;
    }
}

}  // namespace
}  // namespace pictra::test
