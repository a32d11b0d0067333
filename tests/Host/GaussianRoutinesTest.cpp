// The host's Gaussian routines: the weights for a sigma, the kernel table,
// the line convolutions at every depth and step, and High Pass's difference.
// Buffers are allocated to exactly what a routine may touch, so that
// AddressSanitizer reports any read beyond the n - 1 samples of each end.
#include "pictra/PixelRoutines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "pictra/Image.h"

namespace pictra {
namespace {

std::vector<double> Weights(double sigma, int32_t& n)
{
    std::vector<double> weights(1024);
    GaussianWeights(sigma, weights.data(), &n);
    return weights;
}

// The sum each output sample is: single precision, taps in order from the far left.
float LineSum(const std::vector<float>& samples, size_t first, const double* weights, int32_t n)
{
    float sum = 0;
    for (int32_t k = 0; k < 2 * n - 1; ++k)
        sum += float(weights[std::abs(k - (n - 1))]) * samples[first + size_t(k)];
    return sum;
}

TEST(GaussianRoutines, WeightsReachThreeSigmaAndMakeAFullKernelOfOne)
{
    const struct {
        double sigma;
        int32_t n;
    } cases[] = {{0.1, 1}, {0.33, 1}, {0.34, 2}, {1, 4}, {2, 7}, {10, 31}, {170.3, 511}, {250, 512}, {1e9, 512}};
    for (const auto& c : cases) {
        int32_t n = 0;
        const std::vector<double> w = Weights(c.sigma, n);
        ASSERT_EQ(n, c.n) << c.sigma;
        double sum = w[0];
        for (int32_t i = 1; i < n; ++i) {
            sum += 2 * w[i];
            EXPECT_LE(w[i], w[i - 1]) << c.sigma << " tap " << i;
            EXPECT_NEAR(w[i] / w[0], std::exp(-double(i) * i / (2 * c.sigma * c.sigma)), 1e-12);
        }
        EXPECT_NEAR(sum, 1.0, 1e-12) << c.sigma;
    }
    for (double sigma : {0.0, -3.0, std::nan("")}) {
        int32_t n = 0;
        const std::vector<double> w = Weights(sigma, n);
        EXPECT_EQ(n, 1) << sigma;
        EXPECT_EQ(w[0], 1.0);
    }
}

TEST(GaussianRoutines, KernelTablesAreBuiltReleasedAndChecked)
{
    int32_t n = 0;
    const std::vector<double> w = Weights(1.5, n);
    KernelTable table{}, other{};
    EXPECT_EQ(BuildKernelTable(w.data(), 0, &table), kParamErr);
    EXPECT_EQ(BuildKernelTable(w.data(), 513, &table), kParamErr);
    EXPECT_EQ(BuildKernelTable(nullptr, n, &table), kParamErr);
    EXPECT_EQ(table.lookup, 0);

    ASSERT_EQ(BuildKernelTable(w.data(), n, &table), kNoErr);
    ASSERT_EQ(BuildKernelTable(w.data(), n, &other), kNoErr);
    EXPECT_EQ(table.taps, n);
    EXPECT_NE(table.lookup, 0);
    EXPECT_NE(table.lookup, other.lookup) << "every table has its own kernel";

    const std::vector<uint8_t> line(size_t(8 + 2 * (n - 1)), 100);
    std::vector<uint8_t> out(8);
    EXPECT_THROW(ConvolveLine8(8, line.data() + n - 1, 1, out.data(), 1, w.data(), &table, n - 1),
                 std::invalid_argument)
        << "a table of another n";
    ReleaseKernelTable(&table);
    EXPECT_EQ(table.lookup, 0);
    ReleaseKernelTable(&table);
    EXPECT_THROW(ConvolveLine8(8, line.data() + n - 1, 1, out.data(), 1, w.data(), &table, n), std::invalid_argument)
        << "a released table";
    ConvolveLine8(8, line.data() + n - 1, 1, out.data(), 1, w.data(), &other, n);
    EXPECT_EQ(out, std::vector<uint8_t>(8, 100)) << "releasing one table leaves the other";
    ReleaseKernelTable(&other);
}

TEST(GaussianRoutines, LineConvolution8ReadsNMinusOneBeyondEachEndAtAnyStep)
{
    for (double sigma : {0.2, 1.5, 7.0}) {
        int32_t n = 0;
        const std::vector<double> w = Weights(sigma, n);
        KernelTable table{};
        ASSERT_EQ(BuildKernelTable(w.data(), n, &table), kNoErr);
        const int32_t count = 45;
        const size_t samples = size_t(count + 2 * (n - 1));
        std::vector<uint8_t> line(samples);
        std::mt19937 random(7);
        std::generate(line.begin(), line.end(), [&] { return uint8_t(random()); });
        std::vector<uint8_t> out(static_cast<size_t>(count));
        ConvolveLine8(count, line.data() + n - 1, 1, out.data(), 1, w.data(), &table, n);

        const std::vector<float> asFloats(line.begin(), line.end());
        for (int32_t x = 0; x < count; ++x) {
            const float sum = LineSum(asFloats, size_t(x), w.data(), n);
            EXPECT_EQ(out[size_t(x)], uint8_t(std::floor(sum + 0.5f))) << sigma << " at " << x;
        }

        // The same samples as a column of a block three bytes wide, written to
        // every second byte: the other bytes stay as they were.
        const int32_t rowBytes = 3;
        std::vector<uint8_t> block(samples * rowBytes, 9);
        for (size_t i = 0; i < samples; ++i)
            block[i * rowBytes + 1] = line[i];
        std::vector<uint8_t> spaced(size_t(2 * count - 1), 0xEE);
        ConvolveLine8(count, block.data() + (n - 1) * rowBytes + 1, rowBytes, spaced.data(), 2, w.data(), &table, n);
        for (int32_t x = 0; x < count; ++x) {
            EXPECT_EQ(spaced[size_t(2 * x)], out[size_t(x)]) << sigma << " column at " << x;
            if (x + 1 < count) {
                EXPECT_EQ(spaced[size_t(2 * x + 1)], 0xEE);
            }
        }

        // Cut in two, as tiles cut a line, the line gives the same samples.
        std::vector<uint8_t> pieces(static_cast<size_t>(count));
        ConvolveLine8(17, line.data() + n - 1, 1, pieces.data(), 1, w.data(), &table, n);
        ConvolveLine8(count - 17, line.data() + n - 1 + 17, 1, pieces.data() + 17, 1, w.data(), &table, n);
        EXPECT_EQ(pieces, out) << sigma;
        ReleaseKernelTable(&table);
    }
}

TEST(GaussianRoutines, DeepLinesKeepTheirRangeAndByteOrder)
{
    int32_t n = 0;
    const std::vector<double> w = Weights(2.5, n);
    const int32_t count = 40;
    const size_t samples = size_t(count + 2 * (n - 1));

    std::vector<uint8_t> line(samples * 2);
    std::vector<float> values(samples);
    std::mt19937 random(3);
    for (size_t i = 0; i < samples; ++i) {
        const auto v = uint16_t(random());
        StoreSample16(&line[2 * i], v);
        values[i] = v;
    }
    std::vector<uint8_t> out(static_cast<size_t>(count) * 2);
    ConvolveLineDeep(count, line.data() + 2 * (n - 1), 2, out.data(), 2, 16, w.data(), n);
    for (int32_t x = 0; x < count; ++x)
        EXPECT_EQ(LoadSample16(&out[size_t(2 * x)]),
                  uint16_t(std::floor(LineSum(values, size_t(x), w.data(), n) + 0.5f)))
            << x;

    // Full scale stays full scale: the sum's rounding error is clamped away.
    std::vector<uint8_t> white(samples * 2, 0xFF);
    ConvolveLineDeep(count, white.data() + 2 * (n - 1), 2, out.data(), 2, 16, w.data(), n);
    EXPECT_EQ(out, std::vector<uint8_t>(size_t(count) * 2, 0xFF));

    std::vector<float> floats(samples);
    for (size_t i = 0; i < samples; ++i)
        floats[i] = float(i % 7) / 6.0f - 0.25f;
    std::vector<float> floatOut(static_cast<size_t>(count));
    ConvolveLineDeep(count, reinterpret_cast<const uint8_t*>(floats.data() + n - 1), 4,
                     reinterpret_cast<uint8_t*>(floatOut.data()), 4, 32, w.data(), n);
    for (int32_t x = 0; x < count; ++x)
        EXPECT_EQ(floatOut[size_t(x)], LineSum(floats, size_t(x), w.data(), n))
            << "floats are neither rounded nor clamped";

    EXPECT_THROW(ConvolveLineDeep(count, line.data() + n - 1, 1, out.data(), 1, 8, w.data(), n), std::invalid_argument);
}

TEST(GaussianRoutines, DifferenceOffsetCentresOnMidGray)
{
    const uint8_t unfiltered[2][3] = {{200, 10, 255}, {77, 0, 128}};
    uint8_t blurred[2][3] = {{100, 200, 0}, {77, 255, 0}};
    DifferenceOffset8(2, 3, &unfiltered[0][0], 3, &blurred[0][0], 3, &blurred[0][0], 3, 1, 128);
    const uint8_t expected[2][3] = {{228, 0, 255}, {128, 0, 255}};
    EXPECT_EQ(std::memcmp(blurred, expected, sizeof expected), 0) << "in place, clamped both ways";
    uint8_t doubled = 0;
    const uint8_t u = 30, b = 20;
    DifferenceOffset8(1, 1, &u, 1, &b, 1, &doubled, 1, 2, 5);
    EXPECT_EQ(doubled, 25);

    // Every pair of samples, in rows whose width is no multiple of a vector,
    // for gains and offsets whose sums fit 16 bits and ones that do not.
    constexpr int32_t kRows = 331, kColumns = 199;
    std::vector<uint8_t> everyU(kRows * kColumns), everyB(kRows * kColumns), results(kRows * kColumns);
    for (int32_t i = 0; i < kRows * kColumns; ++i) {
        everyU[size_t(i)] = uint8_t(i >> 8);
        everyB[size_t(i)] = uint8_t(i);
    }
    const struct {
        int32_t gain, offset;
    } settings[] = {{1, 128}, {-3, 0}, {128, 127}, {129, 0}, {200, -300}, {1, 40000}, {-70000, 7}};
    for (const auto [gain, offset] : settings) {
        DifferenceOffset8(kRows, kColumns, everyU.data(), kColumns, everyB.data(), kColumns, results.data(), kColumns,
                          gain, offset);
        int32_t wrong = 0;
        for (size_t i = 0; i < results.size(); ++i)
            wrong += results[i] != std::clamp<int64_t>(int64_t(everyU[i] - everyB[i]) * gain + offset, 0, 255);
        EXPECT_EQ(wrong, 0) << "gain " << gain << ", offset " << offset;
    }

    uint8_t deepU[6], deepB[6], deepOut[6];
    const uint16_t us[3] = {1000, 65535, 0}, bs[3] = {1000, 0, 40000};
    for (int i = 0; i < 3; ++i) {
        StoreSample16(deepU + 2 * i, us[i]);
        StoreSample16(deepB + 2 * i, bs[i]);
    }
    DifferenceOffsetDeep(1, 3, deepU, 6, deepB, 6, deepOut, 6, 16, 1.0, 128.0);
    EXPECT_EQ(LoadSample16(deepOut), 32896) << "128 levels x 257";
    EXPECT_EQ(LoadSample16(deepOut + 2), 65535);
    EXPECT_EQ(LoadSample16(deepOut + 4), 0);

    const float fu = 0.25f, fb = 0.5f;
    float fout = 0;
    DifferenceOffsetDeep(1, 1, reinterpret_cast<const uint8_t*>(&fu), 4, reinterpret_cast<const uint8_t*>(&fb), 4,
                         reinterpret_cast<uint8_t*>(&fout), 4, 32, 1.0, 128.0);
    EXPECT_FLOAT_EQ(fout, 0.25f - 0.5f + 128.0f / 255.0f);
    EXPECT_THROW(DifferenceOffsetDeep(1, 1, deepU, 2, deepB, 2, deepOut, 2, 8, 1.0, 128.0), std::invalid_argument);
}

}  // namespace
}  // namespace pictra
