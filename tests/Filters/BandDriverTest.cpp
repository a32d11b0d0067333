// The band driver's pieces on their own: band cutting, a run's scratch, 1-bit
// rows and the white matte arithmetic.
#include <gtest/gtest.h>

#include <vector>

#include "HostInternal.h"
#include "TestSupport.h"
#include "framework/BandDriver.h"
#include "framework/Module.h"
#include "framework/WhiteMatte.h"

namespace px {
namespace {

TEST(SplitIntoBands, FewerRowsThanBandsGivesOneRowEach)
{
    Band bands[kMaxBands];
    const Rect16 rect{10, 4, 13, 50};
    ASSERT_EQ(SplitIntoBands(1, 8, rect, bands), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(bands[i], (Rect16{int16_t(10 + i), 4, int16_t(11 + i), 50}));
}

TEST(SplitIntoBands, RoundedUpBandsLeaveTrailingBandsEmpty)
{
    Band bands[kMaxBands];
    ASSERT_EQ(SplitIntoBands(1, 16, Rect16{0, 0, 100, 7}, bands), 16);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(bands[i], (Rect16{int16_t(7 * i), 0, int16_t(7 * i + 7), 7})) << i;
    EXPECT_EQ(bands[14], (Rect16{98, 0, 100, 7}));
    EXPECT_EQ(bands[15], (Rect16{100, 0, 100, 7}));
    EXPECT_TRUE(bands[15].empty());

    ASSERT_EQ(SplitIntoBands(0, 4, Rect16{0, 2, 5, 12}, bands), 4);
    EXPECT_EQ(bands[0], (Rect16{0, 2, 5, 5}));
    EXPECT_EQ(bands[3], (Rect16{0, 11, 5, 12}));
    EXPECT_EQ(SplitIntoBands(1, 16, Rect16{}, bands), 0);
}

// Module code reaches the host's block service through gModule.
TEST(RunState, BandsFindTheirOwnScratchOnCacheLinesOfTheirOwn)
{
    auto host = pictra::test::LoadedHost();
    pictra::ActiveScope scope(host.get(), nullptr);
    const ModuleContext saved = gModule;
    gModule.callbacks = pictra::CallbackTable();
    {
        RunState run;
        ASSERT_EQ(SplitPassIntoBands(run, 1, 3, Rect16{0, 0, 10, 5}), 3);
        ASSERT_EQ(ReserveScratch(run, 100, 10, 3), kNoErr);
        EXPECT_EQ(PlaneScratch(run), run.scratch);
        EXPECT_EQ(BandScratch(run, &run.bands[0]), run.scratch + 128) << "the pass's part rounded up to cache lines";
        EXPECT_EQ(BandScratch(run, &run.bands[2]), run.scratch + 128 + 2 * 64);
        uint8_t* const first = run.scratch;
        ASSERT_EQ(ReserveScratch(run, 0, 64, 3), kNoErr);
        EXPECT_EQ(run.scratch, first) << "enough memory is reused";
        EXPECT_EQ(BandScratch(run, &run.bands[1]), first + 64);
        ASSERT_EQ(ReserveScratch(run, 4096, 4096, 3), kNoErr);
        EXPECT_GE(run.scratchBytes, size_t(4 * 4096)) << "a larger pass grows it";
        std::fill_n(run.scratch, run.scratchBytes, uint8_t(1));
    }
    gModule = saved;
}

TEST(Bits, HeadWholeBytesAndTailKeepTheBitsOutsideTheBand)
{
    // Columns 5 to 21 of a 4-byte row: 3 head bits, 1 whole byte, 6 tail bits.
    std::vector<uint8_t> row = {0x00, 0x00, 0x00, 0x00};
    ComplementBits(1, 17, 5, row.data(), 4);
    EXPECT_EQ(row, (std::vector<uint8_t>{0x07, 0xFF, 0xFC, 0x00}));

    // A band inside one byte: only its own bits move.
    std::vector<uint8_t> narrow = {0xFF};
    ComplementBits(1, 2, 3, narrow.data(), 1);
    EXPECT_EQ(narrow[0], 0xE7);

    const std::vector<uint8_t> source = {0xAA, 0xAA, 0xAA, 0xAA};
    std::vector<uint8_t> destination = {0x00, 0x00, 0x00, 0xFF};
    CopyBits(1, 17, 5, source.data(), 4, destination.data(), 4);
    EXPECT_EQ(destination, (std::vector<uint8_t>{0x02, 0xAA, 0xA8, 0xFF}));
}

TEST(WhiteMatte, UnmatteAndRematteUseTruncatingIntegerArithmetic)
{
    // c' = ((c - 255) + a) x 255 / a;  c = (255 - a) + a x c' / 255.
    const uint8_t alpha[4] = {0, 128, 255, 100};
    const uint8_t matted[4] = {200, 200, 37, 100};
    uint8_t straight[4];
    UnmatteBand(1, 4, 1, matted, 4, straight, 4, alpha, 4);
    EXPECT_EQ(straight[0], 0);
    EXPECT_EQ(straight[1], uint8_t((200 - 255 + 128) * 255 / 128));  // 145
    EXPECT_EQ(straight[2], 37);
    // Darker than alpha 100 allows (100 < 155): (-55 x 255) / 100 = -140, kept as its low 8 bits.
    EXPECT_EQ(straight[3], 116);

    uint8_t values[4] = {0, 145, 37, 10};
    RematteBand(1, 4, 1, values, 4, alpha, 4);
    EXPECT_EQ(values[0], 255) << "fully transparent colour is white";
    EXPECT_EQ(values[1], (255 - 128) + 128 * 145 / 255);
    EXPECT_EQ(values[2], 37);

    // Interleaved samples share the pixel's alpha.
    const uint8_t rgb[6] = {255, 200, 128, 255, 255, 255};
    const uint8_t twoAlphas[2] = {128, 0};
    uint8_t out[6];
    UnmatteBand(1, 2, 3, rgb, 6, out, 6, twoAlphas, 2);
    EXPECT_EQ(out[0], 255);
    EXPECT_EQ(out[1], (200 - 255 + 128) * 255 / 128);
    EXPECT_EQ(out[2], (128 - 255 + 128) * 255 / 128);
    EXPECT_EQ(out[3], 0);
}

}  // namespace
}  // namespace px
