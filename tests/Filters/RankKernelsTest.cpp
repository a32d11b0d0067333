// The square's maximum and minimum called directly, as a filter outside the
// rank family calls them, against a brute-force reference: every output is
// the extreme of its (2r + 1)^2 window, read from a source that holds exactly
// the band and its halo. Odd row counts leave a last row without its pair,
// and the output rows have padding that must stay untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include <fmt/format.h>

#include "framework/Samples.h"
#include "neighbourhood/RankKernels.h"

namespace px {
namespace {

struct Size {
    int32_t rows;
    int32_t columns;
};

constexpr Size kSizes[] = {{1, 1}, {1, 5}, {7, 13}, {9, 33}, {4, 3}};
constexpr int kRadii[] = {1, 3};
constexpr int32_t kPadding = 5;  // bytes past the end of each output row
constexpr uint8_t kUntouched = 0xa5;

// A band of samples with `radius` rows and columns of input on every side,
// in a buffer no larger than that: a read past the halo reads another row's
// samples or past the buffer.
template <class S>
struct HaloBand {
    HaloBand(Size size, int radius, uint32_t seed)
        : size(size),
          radius(radius),
          rowBytes((size.columns + 2 * radius) * S::kBytes),
          bytes(size_t(rowBytes) * size_t(size.rows + 2 * radius))
    {
        std::mt19937 random(seed);
        for (uint8_t& byte : bytes)
            byte = uint8_t(random());
        if constexpr (sizeof(typename S::Key) == 4) {
            // Finite floats of both signs, some equal.
            std::uniform_int_distribution<int> value(-40, 40);
            for (int32_t y = 0; y < size.rows + 2 * radius; ++y)
                for (int32_t x = 0; x < size.columns + 2 * radius; ++x) {
                    const float sample = float(value(random)) * 0.37f;
                    std::memcpy(&bytes[size_t(y) * rowBytes + size_t(x) * 4], &sample, 4);
                }
        }
    }

    // The input under the first output.
    const uint8_t* origin() const { return bytes.data() + size_t(radius) * rowBytes + size_t(radius) * S::kBytes; }

    Size size;
    int radius;
    int32_t rowBytes;
    std::vector<uint8_t> bytes;
};

template <class S, bool largest>
std::vector<typename S::Key> Reference(const HaloBand<S>& band)
{
    std::vector<typename S::Key> extremes;
    for (int32_t y = 0; y < band.size.rows; ++y)
        for (int32_t x = 0; x < band.size.columns; ++x) {
            auto extreme = S::Load(band.origin() + intptr_t(y) * band.rowBytes, x);
            for (int dy = -band.radius; dy <= band.radius; ++dy)
                for (int dx = -band.radius; dx <= band.radius; ++dx) {
                    const auto key = S::Load(band.origin() + intptr_t(y + dy) * band.rowBytes, x + dx);
                    extreme = largest ? std::max(extreme, key) : std::min(extreme, key);
                }
            extremes.push_back(extreme);
        }
    return extremes;
}

template <class S, bool largest>
void ExpectTheSquaresExtremes()
{
    const auto kernel = largest ? SquareKernels<S>::Maximum : SquareKernels<S>::Minimum;
    const char* name = largest ? "maximum" : "minimum";
    uint32_t seed = 1;
    for (const Size size : kSizes)
        for (const int radius : kRadii) {
            SCOPED_TRACE(fmt::format("{} rows {} columns {} radius {}", name, size.rows, size.columns, radius));
            const HaloBand<S> band(size, radius, seed++);
            const int32_t outRowBytes = size.columns * S::kBytes + kPadding;
            std::vector<uint8_t> out(size_t(outRowBytes) * size.rows, kUntouched);
            std::vector<uint8_t> scratch(SquareExtremeScratchBytes(size.columns, radius, S::kBytes));
            kernel(size.rows, size.columns, band.origin(), band.rowBytes, out.data(), outRowBytes, radius,
                   scratch.data());

            const std::vector<typename S::Key> expected = Reference<S, largest>(band);
            for (int32_t y = 0; y < size.rows; ++y) {
                const uint8_t* row = out.data() + size_t(y) * outRowBytes;
                for (int32_t x = 0; x < size.columns; ++x)
                    ASSERT_EQ(uint64_t(S::Load(row, x)), uint64_t(expected[size_t(y) * size.columns + x]))
                        << "x " << x << " y " << y;
                for (int32_t i = size.columns * S::kBytes; i < outRowBytes; ++i)
                    ASSERT_EQ(row[i], kUntouched) << "padding byte " << i << " of row " << y;
            }
        }
}

TEST(SquareExtremes, EightBitMaximumAndMinimumAreTheSquaresExtremes)
{
    ExpectTheSquaresExtremes<Samples8, true>();
    ExpectTheSquaresExtremes<Samples8, false>();
}

TEST(SquareExtremes, SixteenBitMaximumAndMinimumAreTheSquaresExtremes)
{
    ExpectTheSquaresExtremes<Samples16, true>();
    ExpectTheSquaresExtremes<Samples16, false>();
}

TEST(SquareExtremes, FloatMaximumAndMinimumAreTheSquaresExtremes)
{
    ExpectTheSquaresExtremes<Samples32, true>();
    ExpectTheSquaresExtremes<Samples32, false>();
}

TEST(SquareExtremes, ScratchIsThreeRowsOfTheColumnsAndTheirHalo)
{
    EXPECT_EQ(SquareExtremeScratchBytes(13, 1, 1), 3u * 15);
    EXPECT_EQ(SquareExtremeScratchBytes(13, 3, 2), 3u * 19 * 2);
    EXPECT_EQ(SquareExtremeScratchBytes(4096, 16, 4), 3u * 4128 * 4);
}

}  // namespace
}  // namespace px
