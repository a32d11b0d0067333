#include "pictra/PixelRoutines.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

namespace pictra {
namespace {

// A block of samples in the host's encoding, allocated to exactly its size
// (halo included, nothing after the last row) so that AddressSanitizer reports
// any access beyond it. Padding bytes after the other rows start as a
// sentinel that a routine must leave alone.
class Samples {
public:
    Samples(int32_t columns, int32_t rows, int bits, int32_t halo, int32_t rowPadding = 0)
        : columns_(columns),
          rows_(rows),
          bits_(bits),
          halo_(halo),
          rowBytes_((columns + 2 * halo) * bits / 8 + rowPadding),
          bytes_(size_t(rows + 2 * halo - 1) * rowBytes_ + size_t(columns + 2 * halo) * bits / 8, kSentinel)
    {
    }

    int32_t columns() const { return columns_; }
    int32_t rows() const { return rows_; }
    int32_t rowBytes() const { return rowBytes_; }
    // x and y run from -halo to columns / rows + halo - 1.
    uint8_t* address(int32_t x, int32_t y) { return bytes_.data() + offset(x, y); }
    const uint8_t* address(int32_t x, int32_t y) const { return bytes_.data() + offset(x, y); }
    uint8_t* origin() { return address(0, 0); }
    const uint8_t* origin() const { return address(0, 0); }

    double get(int32_t x, int32_t y) const
    {
        const uint8_t* p = address(x, y);
        if (bits_ == 8)
            return p[0];
        if (bits_ == 16)
            return p[0] * 256 + p[1];
        float value;
        std::memcpy(&value, p, sizeof value);
        return value;
    }

    void set(int32_t x, int32_t y, double value)
    {
        uint8_t* p = address(x, y);
        if (bits_ == 8) {
            p[0] = uint8_t(value);
        } else if (bits_ == 16) {
            p[0] = uint8_t(int(value) >> 8);
            p[1] = uint8_t(int(value) & 255);
        } else {
            const float single = float(value);
            std::memcpy(p, &single, sizeof single);
        }
    }

    template <typename Generate>
    void fill(Generate generate)
    {
        for (int32_t y = -halo_; y < rows_ + halo_; ++y)
            for (int32_t x = -halo_; x < columns_ + halo_; ++x)
                set(x, y, generate(x, y));
    }

    bool paddingUntouched() const
    {
        const size_t usedBytes = size_t(columns_ + 2 * halo_) * bits_ / 8;
        for (size_t row = 0; row + 1 < size_t(rows_ + 2 * halo_); ++row)
            for (size_t i = row * rowBytes_ + usedBytes; i < (row + 1) * rowBytes_; ++i)
                if (bytes_[i] != kSentinel)
                    return false;
        return true;
    }

private:
    size_t offset(int32_t x, int32_t y) const { return size_t(y + halo_) * rowBytes_ + size_t(x + halo_) * bits_ / 8; }

    static constexpr uint8_t kSentinel = 0xA5;
    int32_t columns_, rows_, bits_, halo_, rowBytes_;
    std::vector<uint8_t> bytes_;
};

double FullScale(int bits) { return bits == 8 ? 255 : bits == 16 ? 65535 : 1; }
double EdgeContrast(int bits) { return bits == 8 ? 16 : bits == 16 ? 4096 : 0.0625; }

auto Noise(std::mt19937& random, double low, double high, int bits)
{
    return [&random, low, high, bits](int32_t, int32_t) {
        if (bits == 32)
            return double(std::uniform_real_distribution<float>(float(low), float(high))(random));
        return double(std::uniform_int_distribution<int>(int(low), int(high))(random));
    };
}

enum class Routine { Blur, BlurMore, Sharpen, SharpenMore, SharpenEdges };
constexpr Routine kRoutines[] = {Routine::Blur, Routine::BlurMore, Routine::Sharpen, Routine::SharpenMore,
                                 Routine::SharpenEdges};
const char* Name(Routine routine)
{
    constexpr const char* kNames[] = {"Blur3x3", "BlurMore3x3", "Sharpen3x3", "SharpenMore3x3", "SharpenEdges3x3"};
    return kNames[int(routine)];
}

// Goes through the table wherever it serves the depth, as the module does;
// the blur kernels at 16 and 32 bits are reached directly.
void RunRoutine(Routine routine, int bits, int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination,
                int32_t sourceRowBytes, int32_t destinationRowBytes)
{
    const HostPixelRoutines& table = PixelRoutineTable();
    const auto blur = [&](auto eightBit, auto sixteenBit, auto floatingPoint) {
        (bits == 8    ? eightBit
         : bits == 16 ? sixteenBit
                      : floatingPoint)(rows, columns, source, destination, sourceRowBytes, destinationRowBytes);
    };
    switch (routine) {
    case Routine::Blur: return blur(table.Blur3x3, Blur3x3<BigEndian16>, Blur3x3<float>);
    case Routine::BlurMore: return blur(table.BlurMore3x3, BlurMore3x3<BigEndian16>, BlurMore3x3<float>);
    case Routine::Sharpen:
        return table.Sharpen3x3(rows, columns, source, destination, sourceRowBytes, destinationRowBytes, bits);
    case Routine::SharpenMore:
        return table.SharpenMore3x3(rows, columns, source, destination, sourceRowBytes, destinationRowBytes, bits);
    case Routine::SharpenEdges:
        return table.SharpenEdges3x3(rows, columns, source, destination, sourceRowBytes, destinationRowBytes, bits);
    }
}

Samples Apply(Routine routine, int bits, const Samples& in)
{
    Samples out(in.columns(), in.rows(), bits, 0, 3);
    RunRoutine(routine, bits, in.rows(), in.columns(), in.origin(), out.origin(), in.rowBytes(), out.rowBytes());
    return out;
}

// The routines' arithmetic written out plainly, in double precision, with
// floor for the integer rounding.
double Reference(Routine routine, int bits, const Samples& in, int32_t x, int32_t y)
{
    double n[3][3];
    double sum = 0, lowest = std::numeric_limits<double>::max(), highest = -lowest;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            const double v = in.get(x + dx, y + dy);
            n[dy + 1][dx + 1] = v;
            sum += v;
            lowest = std::min(lowest, v);
            highest = std::max(highest, v);
        }
    const double c = n[1][1];
    const bool isFloat = bits == 32;
    const auto sharpened = [&](double difference) {
        return isFloat ? c + difference / 4 : std::clamp(c + std::floor((difference + 2) / 4), 0.0, FullScale(bits));
    };
    switch (routine) {
    case Routine::Blur: {
        const double weighted =
            n[0][0] + 2 * n[0][1] + n[0][2] + 2 * n[1][0] + 4 * c + 2 * n[1][2] + n[2][0] + 2 * n[2][1] + n[2][2];
        return isFloat ? weighted / 16 : std::floor((weighted + 8) / 16);
    }
    case Routine::BlurMore: return isFloat ? sum / 9 : std::floor((sum + 4) / 9);
    case Routine::Sharpen: return sharpened(4 * c - n[0][1] - n[2][1] - n[1][0] - n[1][2]);
    case Routine::SharpenMore: return sharpened(9 * c - sum);
    case Routine::SharpenEdges: {
        // Floats decide on the range as a float, like the routine.
        const double range = isFloat ? double(float(highest - lowest)) : highest - lowest;
        return range >= EdgeContrast(bits) ? sharpened(9 * c - sum) : c;
    }
    }
    return 0;
}

void ExpectSamplesEqual(const Samples& actual, const Samples& expected)
{
    for (int32_t y = 0; y < expected.rows(); ++y)
        for (int32_t x = 0; x < expected.columns(); ++x) {
            ASSERT_EQ(actual.get(x, y), expected.get(x, y)) << "at " << x << "," << y;
        }
}

TEST(PixelRoutines, MatchReferenceOnNoiseAtEveryDepthAndBlockShape)
{
    struct Shape {
        int32_t columns, rows;
    };
    // Single pixels, single rows and columns, and widths either side of the
    // vector lengths so every loop tail runs.
    const Shape shapes[] = {{1, 1},  {19, 1}, {1, 19}, {2, 2},  {7, 3},  {9, 2},
                            {15, 2}, {16, 3}, {17, 2}, {31, 2}, {33, 5}, {67, 3}};
    std::mt19937 random(2024);
    for (int bits : {8, 16, 32}) {
        const double full = FullScale(bits), contrast = EdgeContrast(bits);
        // Full-range noise clamps often; noise around mid-grey with ranges either side of
        // the edge threshold exercises the rounding and both branches of Sharpen Edges.
        const double textures[][2] = {{0, full}, {full / 2 - 0.75 * contrast, full / 2 + 0.75 * contrast}};
        for (Routine routine : kRoutines)
            for (const Shape& shape : shapes)
                for (const auto& texture : textures) {
                    SCOPED_TRACE(testing::Message() << Name(routine) << " " << bits << "-bit " << shape.columns << "x"
                                                    << shape.rows << " noise " << texture[0] << ".." << texture[1]);
                    Samples in(shape.columns, shape.rows, bits, 1);
                    in.fill(Noise(random, texture[0], texture[1], bits));
                    const Samples out = Apply(routine, bits, in);
                    EXPECT_TRUE(out.paddingUntouched());
                    for (int32_t y = 0; y < shape.rows; ++y)
                        for (int32_t x = 0; x < shape.columns; ++x) {
                            const double expected = Reference(routine, bits, in, x, y);
                            if (bits == 32)
                                ASSERT_NEAR(out.get(x, y), expected, 1e-5) << "at " << x << "," << y;
                            else
                                ASSERT_EQ(out.get(x, y), expected) << "at " << x << "," << y;
                        }
                }
    }
}

TEST(PixelRoutines, FlatAreasStayFlat)
{
    for (int bits : {8, 16, 32}) {
        const double level = bits == 8 ? 137 : bits == 16 ? 40000 : 0.25;
        Samples in(21, 3, bits, 1);
        in.fill([level](int32_t, int32_t) { return level; });
        for (Routine routine : kRoutines) {
            SCOPED_TRACE(testing::Message() << Name(routine) << " " << bits << "-bit");
            ExpectSamplesEqual(Apply(routine, bits, in), in);
        }
    }
}

TEST(PixelRoutines, RoundingAroundASingleBrightPixel)
{
    // A pixel `bright` levels above a flat background; what the routine leaves at x, y above the background.
    const struct {
        Routine routine;
        int bright;
        int32_t x, y;
        int expected;
    } cases[] = {// 8 weighted 4, 2 and 1 over 16 gives 2, 1 and 0.5, which rounds up; 7/16 rounds down.
                 {Routine::Blur, 8, 2, 2, 2},
                 {Routine::Blur, 8, 2, 1, 1},
                 {Routine::Blur, 8, 1, 1, 1},
                 {Routine::Blur, 8, 0, 0, 0},
                 {Routine::Blur, 7, 3, 3, 0},
                 // 5/9 rounds up, 4/9 down.
                 {Routine::BlurMore, 5, 1, 3, 1},
                 {Routine::BlurMore, 4, 1, 3, 0},
                 // Beside a pixel 3 levels brighter, -3/4 becomes -1 (floor, not truncation);
                 // beside one 2 brighter, -1/2 rounds up to 0.
                 {Routine::Sharpen, 3, 2, 2, 6},
                 {Routine::Sharpen, 3, 2, 1, -1},
                 {Routine::Sharpen, 3, 3, 2, -1},
                 {Routine::Sharpen, 3, 1, 1, 0},
                 {Routine::Sharpen, 2, 1, 2, 0},
                 {Routine::SharpenMore, 3, 2, 2, 9},
                 {Routine::SharpenMore, 3, 1, 1, -1},
                 {Routine::SharpenMore, 3, 3, 3, -1},
                 {Routine::SharpenMore, 3, 0, 0, 0}};
    for (int bits : {8, 16})
        for (const auto& c : cases) {
            const double background = bits == 8 ? 100 : 30000;
            Samples in(5, 5, bits, 1);
            in.fill([background](int32_t, int32_t) { return background; });
            in.set(2, 2, background + c.bright);
            EXPECT_EQ(Apply(c.routine, bits, in).get(c.x, c.y), background + c.expected)
                << Name(c.routine) << " " << bits << "-bit, " << c.bright << " brighter, at " << c.x << "," << c.y;
        }
}

TEST(PixelRoutines, SharpenEdgesLeavesLowContrastAloneAndSharpensEdges)
{
    for (int bits : {8, 16}) {
        SCOPED_TRACE(testing::Message() << bits << "-bit");
        const double threshold = EdgeContrast(bits), base = bits == 8 ? 100 : 30000;
        // A vertical step one level short of the threshold is kept; at the threshold the
        // two columns beside it move apart by floor((3 x step + 2) / 4).
        const double push = bits == 8 ? 12 : 3072;
        for (double step : {threshold - 1, threshold}) {
            Samples edge(6, 4, bits, 1);
            edge.fill([&](int32_t x, int32_t) { return x < 3 ? base : base + step; });
            const Samples out = Apply(Routine::SharpenEdges, bits, edge);
            for (int32_t y = 0; y < 4; ++y)
                for (int32_t x = 0; x < 6; ++x) {
                    double expected = edge.get(x, y);
                    if (step == threshold && x == 2)
                        expected -= push;
                    if (step == threshold && x == 3)
                        expected += push;
                    EXPECT_EQ(out.get(x, y), expected) << "step " << step << " at " << x << "," << y;
                }
        }
    }
}

TEST(PixelRoutines, ResultsDoNotDependOnHowTheBlockIsCut)
{
    std::mt19937 random(99);
    for (int bits : {8, 16}) {
        Samples in(23, 11, bits, 1);
        in.fill(Noise(random, 0, FullScale(bits), bits));
        for (Routine routine : kRoutines) {
            const Samples whole = Apply(routine, bits, in);
            for (auto [pieceColumns, pieceRows] : {std::pair{1, 11}, {23, 1}, {5, 4}}) {
                SCOPED_TRACE(testing::Message() << Name(routine) << " " << bits << "-bit in " << pieceColumns << "x"
                                                << pieceRows << " pieces");
                Samples pieces(23, 11, bits, 0);
                for (int32_t top = 0; top < 11; top += pieceRows)
                    for (int32_t left = 0; left < 23; left += pieceColumns)
                        RunRoutine(routine, bits, std::min(pieceRows, 11 - top), std::min(pieceColumns, 23 - left),
                                   in.address(left, top), pieces.address(left, top), in.rowBytes(), pieces.rowBytes());
                ExpectSamplesEqual(pieces, whole);
            }
        }
    }
}

TEST(PixelRoutines, InvertBytesComplementsTheBlockOnly)
{
    const auto invert = PixelRoutineTable().InvertBytes;
    std::mt19937 random(5);
    Samples block(13, 4, 8, 0, 5);
    block.fill(Noise(random, 0, 255, 8));
    const Samples original = block;
    invert(4, 13, block.origin(), block.rowBytes());
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 13; ++x)
            ASSERT_EQ(block.get(x, y), 255 - original.get(x, y));
    EXPECT_TRUE(block.paddingUntouched());
    invert(4, 13, block.origin(), block.rowBytes());
    ExpectSamplesEqual(block, original);

    // Deep samples pass columns x 2 bytes; rows without padding are one run.
    Samples deep(3, 2, 16, 0);
    deep.fill([](int32_t, int32_t) { return 1000; });
    invert(2, 3 * 2, deep.origin(), deep.rowBytes());
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 3; ++x)
            EXPECT_EQ(deep.get(x, y), 64535);
}

TEST(PixelRoutines, RejectUnsupportedDepthsAndIgnoreEmptyBlocks)
{
    const HostPixelRoutines& table = PixelRoutineTable();
    Samples in(4, 4, 8, 1), out(4, 4, 8, 0);
    for (auto routine : {table.Sharpen3x3, table.SharpenMore3x3, table.SharpenEdges3x3})
        for (int32_t bits : {0, 1, 12, 24, 64})
            EXPECT_THROW(routine(4, 4, in.origin(), out.origin(), in.rowBytes(), out.rowBytes(), bits),
                         std::invalid_argument);
    EXPECT_THAT(
        [&] { table.Sharpen3x3(4, 4, in.origin(), out.origin(), in.rowBytes(), out.rowBytes(), 12); },
        testing::ThrowsMessage<std::invalid_argument>("Sharpen3x3: bits per sample must be 8, 16 or 32, not 12"));

    // Null addresses would crash if an empty block were touched at all.
    for (auto [rows, columns] : {std::pair{0, 4}, {4, 0}, {-1, 4}}) {
        table.InvertBytes(rows, columns, nullptr, 4);
        table.Blur3x3(rows, columns, nullptr, nullptr, 4, 4);
        table.BlurMore3x3(rows, columns, nullptr, nullptr, 4, 4);
        for (int32_t bits : {8, 16, 32}) {
            table.Sharpen3x3(rows, columns, nullptr, nullptr, 4, 4, bits);
            table.SharpenMore3x3(rows, columns, nullptr, nullptr, 4, 4, bits);
            table.SharpenEdges3x3(rows, columns, nullptr, nullptr, 4, 4, bits);
        }
    }
}

}  // namespace
}  // namespace pictra
