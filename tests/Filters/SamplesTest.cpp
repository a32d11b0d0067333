// Sample access at every depth: byte and bit order, keys that order like the
// values, and columns left of the row pointer.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "framework/Samples.h"

namespace px {
namespace {

TEST(Samples, BitsAreMostSignificantFirstOnTheRowsByteGrid)
{
    const uint8_t row[] = {0b1000'0001, 0b0100'0000};
    std::vector<int> bits;
    for (int32_t x = 0; x < 16; ++x)
        bits.push_back(Samples1::Load(row, x));
    EXPECT_EQ(bits, (std::vector<int>{1, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0}));
    // Left of the row pointer: the previous byte, its last bit first.
    EXPECT_EQ(Samples1::Load(row + 1, -1), 1);
    EXPECT_EQ(Samples1::Load(row + 1, -8), 1);
    EXPECT_EQ(Samples1::Load(row + 1, -2), 0);
}

TEST(Samples, StoringABitKeepsTheOthers)
{
    uint8_t row[] = {0b1010'1010, 0b0000'0000};
    Samples1::Store(row, 0, 0);
    Samples1::Store(row, 3, 1);
    Samples1::Store(row, 14, 1);
    Samples1::Store(row + 1, -1, 1);
    EXPECT_EQ(row[0], 0b0011'1011);
    EXPECT_EQ(row[1], 0b0000'0010);
}

TEST(Samples, SixteenBitsAreMostSignificantByteFirst)
{
    uint8_t row[] = {0x12, 0x34, 0xfe, 0x01};
    EXPECT_EQ(Samples16::Load(row, 0), 0x1234);
    EXPECT_EQ(Samples16::Load(row + 2, -1), 0x1234);
    EXPECT_EQ(Samples16::Load(row, 1), 0xfe01);
    Samples16::Store(row, 1, 0xabcd);
    EXPECT_EQ(row[2], 0xab);
    EXPECT_EQ(row[3], 0xcd);
    Samples16::StoreValue(row, 0, 513.99);  // truncated
    EXPECT_EQ(row[0], 0x02);
    EXPECT_EQ(row[1], 0x01);
}

TEST(Samples, FloatKeysOrderLikeTheFloats)
{
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    const std::vector<float> ordered = {-kInfinity, -3.0e38f, -2.0f, -1.0f, -1e-30f, -0.0f,
                                        1e-45f,     1e-30f,   0.25f, 1.0f,  3.0e38f, kInfinity};
    std::vector<uint8_t> row(ordered.size() * 4);
    std::memcpy(row.data(), ordered.data(), row.size());
    for (size_t i = 0; i < ordered.size(); ++i) {
        const Samples32::Key key = Samples32::Load(row.data(), int32_t(i));
        EXPECT_EQ(Samples32::Value(key), double(ordered[i])) << i;
        if (i > 0) {
            EXPECT_LT(Samples32::Load(row.data(), int32_t(i - 1)), key) << i;
        }
        // A key stores back the bits it was read from.
        uint8_t stored[4] = {};
        Samples32::Store(stored, 0, key);
        EXPECT_EQ(std::memcmp(stored, &row[4 * i], 4), 0) << i;
    }
    // -0 and +0 are equal values but distinct bits: +0's key is the next one up.
    const float zero = 0.0f;
    uint8_t positive[4];
    std::memcpy(positive, &zero, 4);
    EXPECT_EQ(Samples32::Load(positive, 0), Samples32::Load(row.data(), 5) + 1);
}

TEST(Samples, ByteAddressedSamplesAreFoundFromTheOrigin)
{
    const std::vector<uint8_t> plane(100);
    const uint8_t* origin = plane.data() + 40;
    EXPECT_EQ(SampleAt<Samples8>(origin, 10, 2, -3), plane.data() + 57);
    EXPECT_EQ(SampleAt<Samples16>(origin, 10, -1, 2), plane.data() + 34);
    EXPECT_EQ(SampleAt<Samples32>(origin, 20, 1, -1), plane.data() + 56);
}

}  // namespace
}  // namespace px
