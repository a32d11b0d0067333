// Solarize, Desaturate, Threshold and Posterize through the host, with
// their dialogs, scripting and stored settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "adjust/PointMaps.h"
#include "HostInternal.h"
#include "TestSupport.h"
#include "pictra/SettingsStore.h"

namespace pictra::test {
namespace {

constexpr const char* kPosterizeKey = "FD_4218_100";

Image GrayRamp()
{
    Image image(256, 1, kModeGrayscale, 8, false);
    for (int x = 0; x < 256; ++x)
        image.setSample(0, x, 0, x);
    return image;
}

// An 8-bit row of pixels, each given plane by plane.
Image Pixels(int16_t mode, const std::vector<std::vector<double>>& pixels)
{
    Image image(int32_t(pixels.size()), 1, mode, 8, false);
    for (size_t x = 0; x < pixels.size(); ++x)
        for (size_t p = 0; p < pixels[x].size(); ++p)
            image.setSample(int(p), int32_t(x), 0, pixels[x][p]);
    return image;
}

std::vector<double> PixelAt(const Image& image, int32_t x, int32_t y = 0)
{
    std::vector<double> samples;
    for (int p = 0; p < image.planeCount(); ++p)
        samples.push_back(image.sample(p, x, y));
    return samples;
}

uint8_t Posterized(int levels, int value)
{
    uint8_t table[256];
    px::BuildPosterizeTable(levels, table);
    return table[value];
}

double Item(const Host& host, int id)
{
    for (const DialogItemState& item : host.lastDialogItems)
        if (item.id == id)
            return item.value;
    return -1;
}

TEST(PointMaps, PosterizeTablesSplitTheRangeEvenly)
{
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(Posterized(4, v), v < 64 ? 0 : v < 128 ? 85 : v < 192 ? 170 : 255) << v;
        EXPECT_EQ(Posterized(2, v), v < 128 ? 0 : 255) << v;
    }
    // Every level count gives exactly that many values, from 0 to 255, never decreasing.
    uint8_t table[256];
    for (int levels = 2; levels <= 255; ++levels) {
        px::BuildPosterizeTable(levels, table);
        EXPECT_TRUE(std::is_sorted(table, table + 256)) << levels;
        EXPECT_EQ(std::set<uint8_t>(table, table + 256).size(), size_t(levels)) << levels;
        EXPECT_EQ(table[0], 0);
        EXPECT_EQ(table[255], 255);
    }
}

TEST(PointMaps, SolarizeComplementsTheUpperHalfOnly)
{
    StoreHost s;
    Image image = GrayRamp();
    ASSERT_EQ(s.host->runFilter(kSolarize, image), 0);
    for (int x = 0; x < 256; ++x)
        EXPECT_EQ(image.sample(0, x, 0), x < 128 ? x : 255 - x) << x;
}

TEST(PointMaps, DesaturateByModeAndBeepsOnOthers)
{
    StoreHost s;
    Image rgb = Pixels(kModeRGB, {{200, 100, 0}});
    Image cmyk = Pixels(kModeCMYK, {{10, 200, 51, 77}});
    ASSERT_EQ(s.host->runFilter(kDesaturate, rgb), 0);
    ASSERT_EQ(s.host->runFilter(kDesaturate, cmyk), 0);
    EXPECT_EQ(PixelAt(rgb, 0), (std::vector<double>{100, 100, 100}));
    EXPECT_EQ(PixelAt(cmyk, 0), (std::vector<double>{105, 105, 105, 77})) << "K is kept";

    Image lab = RandomImage(5, 4, kModeLab, 8);
    const Image labBefore = lab;
    ASSERT_EQ(s.host->runFilter(kDesaturate, lab), 0);
    EXPECT_EQ(lab.samples(0), labBefore.samples(0));
    EXPECT_EQ(lab.sample(1, 3, 2), 128);
    EXPECT_EQ(lab.sample(2, 0, 0), 128);

    Image gray = RandomImage(4, 4, kModeGrayscale, 8);
    const Image grayBefore = gray;
    ASSERT_EQ(s.host->runFilter(kDesaturate, gray), 0);
    EXPECT_EQ(gray, grayBefore);
    EXPECT_EQ(s.host->beeps, 1);
}

TEST(PointMaps, ThresholdAutoLevel)
{
    uint32_t histogram[256] = {};
    histogram[77] = 1000;
    EXPECT_EQ(px::ThresholdAutoLevel(histogram), 0) << "one value: no level splits it";
    histogram[77] = 0;
    histogram[0] = 500;
    histogram[255] = 500;
    EXPECT_EQ(px::ThresholdAutoLevel(histogram), 1);
    histogram[0] = 501;
    EXPECT_EQ(px::ThresholdAutoLevel(histogram), 0) << "more below than above never wins";
}

TEST(PointMaps, ThresholdGrayRulesPerMode)
{
    StoreHost s;
    HostDescriptor descriptor;
    descriptor.putInteger(FourCC("thlv"), 100);
    const RunOptions atLevel100{.descriptor = &descriptor};

    // Grays 100 (white at level 100) and (77 x 255 + 28 x 100) / 255 = 87.
    Image rgb = Pixels(kModeRGB, {{100, 100, 100}, {255, 0, 100}});
    // g = 200 - 765 x 200 / 765 = 0.
    Image cmyk = Pixels(kModeCMYK, {{0, 0, 0, 200}});
    Image lab = ConstantImage(2, 2, kModeLab, 8, 150);
    ASSERT_EQ(s.host->runFilter(kThreshold, rgb, atLevel100), 0);
    ASSERT_EQ(s.host->runFilter(kThreshold, cmyk, atLevel100), 0);
    ASSERT_EQ(s.host->runFilter(kThreshold, lab, atLevel100), 0);
    EXPECT_EQ(PixelAt(rgb, 0), (std::vector<double>{255, 255, 255}));
    EXPECT_EQ(PixelAt(rgb, 1), (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(PixelAt(cmyk, 0), (std::vector<double>{255, 255, 255, 0}));
    EXPECT_EQ(PixelAt(lab, 1, 1), (std::vector<double>{255, 128, 128}));
    EXPECT_EQ(lab.sample(2, 0, 0), 128);

    Image rgba = ConstantImage(2, 2, kModeRGB, 8, 90, true);
    rgba.setSample(3, 0, 0, 255);
    ASSERT_EQ(s.host->runFilter(kThreshold, rgba, atLevel100), 0);
    EXPECT_EQ(rgba.sample(3, 0, 0), 255) << "transparency untouched";
    EXPECT_EQ(rgba.sample(3, 1, 1), 90);
    EXPECT_EQ(rgba.sample(0, 0, 0), 0) << "opaque 90 is below 100";
}

TEST(PointMaps, PosterizeStoresTheConfirmedBlockWholeForTheNextProcess)
{
    StoreHost s;
    s.host->settingsStore().set(kStoreNamespace, kPosterizeKey, StoreValue(std::vector<uint8_t>(270, 0x07)));
    Image image = GrayRamp();
    ASSERT_EQ(s.host->runFilter(kPosterize, image), 0);
    EXPECT_EQ(image.sample(0, 100, 0), 85) << "a stored block of another size means the default 4 levels";

    s.host->dialogScript = ParseDialogScript("set 101 6; ok");
    ASSERT_EQ(s.host->runFilter(kPosterize, image, RunOptions{.showDialog = true}), 0);
    const auto stored = s.host->settingsStore().getBytes(kStoreNamespace, kPosterizeKey);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), 272u);
    EXPECT_EQ(int16_t(stored->at(0) | stored->at(1) << 8), 6);

    // A new host (a new process) without dialog or settings repeats the stored 6 levels.
    auto next = LoadedHost(HostSettings{.settingsPath = (s.folder / "settings.db").string()});
    Image again = GrayRamp();
    ASSERT_EQ(next->runFilter(kPosterize, again), 0);
    for (int x = 0; x < 256; ++x)
        EXPECT_EQ(again.sample(0, x, 0), Posterized(6, x)) << x;
}

TEST(PointMaps, PosterizeDialogClampsWaitsForTheHostAndCancelChangesNothing)
{
    StoreHost s;
    const Image original = GrayRamp();
    Image image = original;
    const auto runDialog = [&](const char* script) {
        s.host->dialogScript = ParseDialogScript(script);
        image = original;
        return s.host->runFilter(kPosterize, image, RunOptions{.showDialog = true});
    };
    ASSERT_EQ(runDialog("set 100 1.7; ok"), 0);
    EXPECT_EQ(Item(*s.host, 101), 255) << "the slider past its end clamps and the field shows it";
    EXPECT_EQ(Item(*s.host, 100), 1.0);
    ASSERT_EQ(runDialog("set 101 1; ok"), 0);
    EXPECT_EQ(Item(*s.host, 101), 2) << "two levels at least";

    s.host->canCloseRefusals = 1;
    ASSERT_EQ(runDialog("set 101 3; ok; set 101 5; ok"), 0);
    EXPECT_EQ(image.sample(0, 100, 0), Posterized(5, 100)) << "the refused OK kept the dialog open";
    s.host->canCloseRefusals = 1;
    EXPECT_NE(runDialog("ok"), 0);
    EXPECT_FALSE(s.host->dialogError.empty());

    const auto before = s.host->settingsStore().getBytes(kStoreNamespace, kPosterizeKey);
    EXPECT_EQ(runDialog("set 101 9; cancel"), kUserCanceledErr);
    EXPECT_EQ(image, original);
    EXPECT_EQ(s.host->settingsStore().getBytes(kStoreNamespace, kPosterizeKey), before);
    // The same host's next run without a dialog repeats the confirmed 5 levels, not the cancelled 9.
    ASSERT_EQ(s.host->runFilter(kPosterize, image), 0);
    EXPECT_EQ(image.sample(0, 100, 0), Posterized(5, 100));
}

TEST(PointMaps, PreviewShowsWhatTheRunWrites)
{
    StoreHost s;
    Image image = RandomImage(40, 30, kModeRGB, 8, false, 9);
    s.host->dialogScript = ParseDialogScript("click \"Auto\"; idle; ok");
    ASSERT_EQ(s.host->runFilter(kThreshold, image, RunOptions{.rect = Rect16{5, 5, 25, 30}, .showDialog = true}), 0);
    ASSERT_TRUE(s.host->previewImage);
    EXPECT_EQ(*s.host->previewImage, image);
    // The preview's progress is its run's own: the block the dialog confirmed
    // counts nothing (the host copies nothing back after a preview).
    const auto stored = s.host->settingsStore().getBytes(kStoreNamespace, "FD_420E_100");
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->size(), 16u);
    EXPECT_EQ(std::vector<uint8_t>(stored->begin() + 4, stored->begin() + 12), std::vector<uint8_t>(8, 0));
}

TEST(PointMaps, ScriptsThatCannotRunAreRefusedBeforeAnything)
{
    StoreHost s;
    for (const char* script : {"set 101", "jump 3", "click x"})
        EXPECT_THROW(ParseDialogScript(script), HostError) << script;
    const Image original = GrayRamp();
    Image image = original;
    s.host->dialogScript = ParseDialogScript("set 999 3; ok");
    EXPECT_NE(s.host->runFilter(kPosterize, image, RunOptions{.showDialog = true}), 0);
    EXPECT_EQ(s.host->dialogError, "the dialog has no item 999");
    EXPECT_EQ(image, original);
    EXPECT_FALSE(s.host->settingsStore().getBytes(kStoreNamespace, kPosterizeKey));
}

TEST(PointMaps, SelectorTwentyEightTakesOnlyTwoBytes)
{
    StoreHost s;
    FilterRecord record{};
    intptr_t data = 0;
    int16_t result = 1;
    const FilterEntry entry = s.host->filterEntry(kPosterize);
    // The block comes from the host's block service, as in a run.
    s.host->callEntry(entry, filterSelectorPrepare, record, data, result);
    ASSERT_EQ(result, 0);
    ASSERT_NE(record.parameters, nullptr);
    const auto levels = [&] { return *static_cast<int16_t*>(record.parameters); };
    EXPECT_EQ(levels(), 4);

    void *twoBytes = nullptr, *fourBytes = nullptr;
    ASSERT_EQ(CallbackTable()->NewBlock(&twoBytes, 2), 0);
    ASSERT_EQ(CallbackTable()->NewBlock(&fourBytes, 4), 0);
    *static_cast<int16_t*>(twoBytes) = 7;
    *static_cast<int16_t*>(fourBytes) = 9;
    for (void* handle : {twoBytes, fourBytes}) {
        data = reinterpret_cast<intptr_t>(handle);  // the data word holds the handle
        result = 1;
        s.host->callEntry(entry, kSelectorSetParams, record, data, result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(levels(), 7) << "a block of another size is not taken";
    }
    for (void* block : {twoBytes, fourBytes, record.parameters})
        CallbackTable()->platform->FreeBlock(block);
}

}  // namespace
}  // namespace pictra::test
