// The tone tables' mapping at every depth and entry size.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "framework/LevelTable.h"

namespace pictra::test {
namespace {

// 256 entries of `bytes`, most significant first, holding level(i) in 8.24
// fixed point cut to the entry's size.
std::vector<uint8_t> Table(int bytes, double (*level)(int))
{
    std::vector<uint8_t> table(256 * size_t(bytes));
    for (int i = 0; i < 256; ++i) {
        const auto fixed = uint32_t(level(i) * 16777216.0);
        for (int b = 0; b < bytes; ++b)
            table[size_t(i * bytes + b)] = uint8_t(fixed >> (24 - 8 * b));
    }
    return table;
}

double Identity(int i) { return i; }
double Inverse(int i) { return 255 - i; }
double HalfAbove(int i) { return std::min(i + 0.5, 255.0); }

std::vector<uint16_t> Map16(const std::vector<uint16_t>& samples, const std::vector<uint8_t>& table, int bytes)
{
    std::vector<uint8_t> in(samples.size() * 2), out(in.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        in[2 * i] = uint8_t(samples[i] >> 8);
        in[2 * i + 1] = uint8_t(samples[i]);
    }
    px::ApplyLevelTable(1, int32_t(samples.size()), in.data(), 0, out.data(), 0, 16, table.data(), bytes);
    std::vector<uint16_t> mapped(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
        mapped[i] = uint16_t((out[2 * i] << 8) | out[2 * i + 1]);
    return mapped;
}

float MapFloat(float sample, const std::vector<uint8_t>& table, int bytes)
{
    uint8_t in[4], out[4];
    std::memcpy(in, &sample, 4);
    px::ApplyLevelTable(1, 1, in, 4, out, 4, 32, table.data(), bytes);
    float mapped;
    std::memcpy(&mapped, out, 4);
    return mapped;
}

TEST(LevelTable, EightBitSamplesTakeTheEntrysWholeLevelInPlaceAndBetweenBuffers)
{
    for (int bytes : {1, 2, 4, 3}) {
        const std::vector<uint8_t> inverse = Table(bytes, Inverse);
        std::vector<uint8_t> block(2 * 256);
        for (int i = 0; i < 256; ++i)
            block[size_t(i)] = block[size_t(256 + i)] = uint8_t(i);
        std::vector<uint8_t> out(block.size(), 7);
        px::ApplyLevelTable(2, 200, block.data(), 256, out.data(), 256, 8, inverse.data(), bytes);
        for (int i = 0; i < 200; ++i) {
            EXPECT_EQ(out[size_t(i)], 255 - i) << bytes << "-byte entries";
            EXPECT_EQ(out[size_t(256 + i)], 255 - i) << bytes << "-byte entries";
        }
        EXPECT_EQ(out[200], 7) << "columns beyond the block stay";
        px::ApplyLevelTable(1, 256, block.data(), 0, block.data(), 0, 8, Table(bytes, HalfAbove).data(), bytes);
        EXPECT_EQ(block[10], 10) << "the fraction is not rounded in";
    }
}

TEST(LevelTable, SixteenBitSamplesInterpolateAndNeverPass65280)
{
    const std::vector<uint8_t> identity = Table(4, Identity);
    // 256 x level: the identity gives every sample back below the top
    // entry's span, whose samples all take 255 x 256.
    EXPECT_EQ(Map16({0, 1, 255, 256, 4660, 65279, 65280, 65535}, identity, 4),
              (std::vector<uint16_t>{0, 1, 255, 256, 4660, 65279, 65280, 65280}));
    // Between entries h and h + 1 the levels are interpolated, and truncated.
    const std::vector<uint8_t> inverse = Table(4, Inverse);
    EXPECT_EQ(Map16({0x1080, 0x10FF, 0xFF00}, inverse, 4),
              (std::vector<uint16_t>{uint16_t((255 - 16.5) * 256),
                                     uint16_t(std::trunc((255 - (16 + 255 / 256.0)) * 256)), 0}));
    // Two-byte entries keep a fraction of a level, one-byte entries none.
    EXPECT_EQ(Map16({0x1080}, Table(2, HalfAbove), 2), (std::vector<uint16_t>{17 * 256}));
    EXPECT_EQ(Map16({0x1080}, Table(1, HalfAbove), 1), (std::vector<uint16_t>{uint16_t(16.5 * 256)}));
}

TEST(LevelTable, FloatSamplesInterpolateOverTheLevelRange)
{
    const std::vector<uint8_t> identity = Table(4, Identity);
    for (float sample : {0.0f, 0.1f, 0.5f, 0.999f})
        EXPECT_NEAR(MapFloat(sample, identity, 4), sample, 1e-6) << sample;
    EXPECT_FLOAT_EQ(MapFloat(0.25f, Table(4, Inverse), 4), 0.75f);
    EXPECT_EQ(MapFloat(1.0f, Table(4, Inverse), 4), 0.0f) << "the top of the range takes entry 255";
    EXPECT_EQ(MapFloat(-3.0f, Table(4, Inverse), 4), 1.0f) << "below the range counts as level 0";
    EXPECT_EQ(MapFloat(7.0f, identity, 4), 1.0f) << "above the range counts as level 255";
    EXPECT_EQ(MapFloat(std::nanf(""), Table(4, Inverse), 4), 1.0f) << "not a number counts as level 0";
}

}  // namespace
}  // namespace pictra::test
