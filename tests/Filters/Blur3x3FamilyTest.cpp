// The 3x3 family through the host: the halo of edge copies, and which
// planes and depths each filter takes (SweepTest cuts the work every way).
// The expected pictures come from the host's kernels run once over a whole
// plane padded by hand, so these tests check the plumbing, not the kernels.
#include <gtest/gtest.h>

#include <functional>

#include "neighbourhood/Blur3x3Family.h"
#include "TestSupport.h"
#include "pictra/PixelRoutines.h"

namespace pictra::test {
namespace {

using Kernel = std::function<void(int32_t, int32_t, const uint8_t*, uint8_t*, int32_t, int32_t)>;

// The plane with a one-pixel border of edge copies, at the image's depth.
std::vector<uint8_t> PaddedPlane(const Image& image, int plane, int32_t& rowBytes)
{
    const int bytes = image.depth() / 8;
    rowBytes = (image.width() + 2) * bytes;
    std::vector<uint8_t> padded(size_t(rowBytes) * size_t(image.height() + 2));
    for (int32_t y = -1; y <= image.height(); ++y)
        for (int32_t x = -1; x <= image.width(); ++x) {
            const int32_t sx = std::clamp(x, 0, image.width() - 1);
            const int32_t sy = std::clamp(y, 0, image.height() - 1);
            std::memcpy(&padded[size_t(y + 1) * rowBytes + size_t(x + 1) * bytes], image.row(plane, sy) + sx * bytes,
                        size_t(bytes));
        }
    return padded;
}

// The whole plane through a kernel in one call.
Image Expected(const Image& image, const std::vector<int>& planes, const Kernel& kernel)
{
    Image result = image;
    for (int plane : planes) {
        int32_t rowBytes = 0;
        const std::vector<uint8_t> padded = PaddedPlane(image, plane, rowBytes);
        kernel(image.height(), image.width(), padded.data() + rowBytes + image.depth() / 8, result.row(plane, 0),
               rowBytes, result.rowBytes());
    }
    return result;
}

TEST(Blur3x3Family, BorderPixelsSeeEdgeCopies)
{
    auto host = LoadedHost();
    const Image original = RandomImage(9, 7, kModeGrayscale, 8);
    const Image blurred = Expected(original, {0}, Blur3x3<uint8_t>);

    Image whole = original;
    ASSERT_EQ(host->runFilter(kBlur, whole), 0);
    EXPECT_EQ(whole, blurred);

    // A one-pixel-wide area on the left edge still gets a full neighbourhood.
    Image column = original;
    ASSERT_EQ(host->runFilter(kBlur, column, RunOptions{.rect = Rect16{0, 0, 7, 1}}), 0);
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 9; ++x)
            EXPECT_EQ(column.sample(0, x, y), x == 0 ? blurred.sample(0, x, y) : original.sample(0, x, y))
                << x << "," << y;

    // A single pixel in the middle reads its real neighbours, not edge copies.
    Image single = original;
    ASSERT_EQ(host->runFilter(kSharpenMore, single, RunOptions{.rect = Rect16{3, 4, 4, 5}}), 0);
    const Image sharpened = Expected(original, {0}, SharpenMore3x3<uint8_t>);
    EXPECT_EQ(single.sample(0, 4, 3), sharpened.sample(0, 4, 3));
}

TEST(Blur3x3Family, BlursSmoothTransparencySharpenersLeaveIt)
{
    auto host = LoadedHost();
    const Image original = RandomImage(12, 9, kModeRGB, 8, true, 3);

    Image blurred = original;
    ASSERT_EQ(host->runFilter(kBlurMore, blurred), 0);
    EXPECT_EQ(blurred, Expected(original, {0, 1, 2, 3}, BlurMore3x3<uint8_t>));

    for (int id : {kSharpen, kSharpenMore, kSharpenEdges}) {
        Image sharpened = original;
        ASSERT_EQ(host->runFilter(id, sharpened), 0);
        EXPECT_EQ(sharpened.samples(3), original.samples(3)) << id << " touched transparency";
        EXPECT_NE(sharpened.samples(0), original.samples(0)) << id;
    }
}

TEST(Blur3x3Family, SharpenersWorkAtSixteenBitsBlursOnTheEightBitRendition)
{
    auto host = LoadedHost();
    const Image original = RandomImage(10, 8, kModeGrayscale, 16, false, 5);
    for (const auto& [id, kernel] :
         std::vector<std::pair<int, Kernel>>{{kSharpen, Sharpen3x3<BigEndian16>},
                                             {kSharpenMore, SharpenMore3x3<BigEndian16>},
                                             {kSharpenEdges, SharpenEdges3x3<BigEndian16>}}) {
        Image image = original;
        ASSERT_EQ(host->runFilter(id, image), 0);
        EXPECT_EQ(image, Expected(original, {0}, kernel)) << id;
    }

    // The blurs see v >> 8; a sample whose 8-bit value does not change keeps its deep value.
    Image flat = ConstantImage(6, 6, kModeGrayscale, 16, 1000);
    ASSERT_EQ(host->runFilter(kBlur, flat), 0);
    EXPECT_EQ(flat, ConstantImage(6, 6, kModeGrayscale, 16, 1000));
    Image edge = ConstantImage(6, 6, kModeGrayscale, 16, 0);
    for (int y = 0; y < 6; ++y)
        edge.setSample(0, 3, y, 65535);
    ASSERT_EQ(host->runFilter(kBlur, edge), 0);
    EXPECT_EQ(edge.sample(0, 2, 0), 64 * 257) << "(255 x 4 + 8) >> 4 = 64, back up by x257";
    EXPECT_EQ(edge.sample(0, 3, 0), 128 * 257);
}

TEST(Blur3x3Family, BlurEdgesBlursOnlyHighContrastAreas)
{
    // A left half of 100 with gentle noise and a right half of 200.
    Image image = ConstantImage(8, 6, kModeGrayscale, 8, 100);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x)
            image.setSample(0, x, y, x < 4 ? 100 + (x + y) % 3 : 200);
    auto host = LoadedHost();
    Image blurred = image;
    ASSERT_EQ(host->runFilter(kBlurEdges, blurred), 0);
    const Image fullBlur = Expected(image, {0}, Blur3x3<uint8_t>);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) {
            const bool nearEdge = x == 3 || x == 4;
            EXPECT_EQ(blurred.sample(0, x, y), nearEdge ? fullBlur.sample(0, x, y) : image.sample(0, x, y))
                << x << "," << y;
        }
}

}  // namespace
}  // namespace pictra::test
