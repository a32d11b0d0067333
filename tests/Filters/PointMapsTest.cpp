// Solarize, Desaturate, Threshold and Posterize through the host, with
// their dialogs, scripting and stored settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "FilterEntries.h"
#include "Host/src/HostInternal.h"
#include "TestSupport.h"
#include "pictra/SettingsStore.h"

namespace pictra::test {
namespace {

Image GrayRamp()
{
    Image image(256, 1, kModeGrayscale, 8, false);
    for (int x = 0; x < 256; ++x)
        image.setSample(0, x, 0, x);
    return image;
}

TEST(PointMaps, PosterizeTablesSplitTheRangeEvenly)
{
    uint8_t table[256];
    px::BuildPosterizeTable(4, table);
    for (int v = 0; v < 256; ++v)
        EXPECT_EQ(table[v], v < 64 ? 0 : v < 128 ? 85 : v < 192 ? 170 : 255) << v;
    px::BuildPosterizeTable(2, table);
    for (int v = 0; v < 256; ++v)
        EXPECT_EQ(table[v], v < 128 ? 0 : 255) << v;
    // Every level count gives exactly that many values, from 0 to 255, never decreasing.
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
    EXPECT_EQ(image.sample(0, 0, 0), 0);
    EXPECT_EQ(image.sample(0, 127, 0), 127);
    EXPECT_EQ(image.sample(0, 128, 0), 127);
    EXPECT_EQ(image.sample(0, 255, 0), 0);
}

TEST(PointMaps, DesaturateByModeAndBeepsOnOthers)
{
    StoreHost s;
    Image rgb(1, 1, kModeRGB, 8, false);
    rgb.setSample(0, 0, 0, 200);
    rgb.setSample(1, 0, 0, 100);
    rgb.setSample(2, 0, 0, 0);
    ASSERT_EQ(s.host->runFilter(kDesaturate, rgb), 0);
    for (int p = 0; p < 3; ++p)
        EXPECT_EQ(rgb.sample(p, 0, 0), 100);

    Image cmyk(1, 1, kModeCMYK, 8, false);
    const double cmykValues[4] = {10, 200, 51, 77};
    for (int p = 0; p < 4; ++p)
        cmyk.setSample(p, 0, 0, cmykValues[p]);
    ASSERT_EQ(s.host->runFilter(kDesaturate, cmyk), 0);
    EXPECT_EQ(cmyk.sample(0, 0, 0), 105);
    EXPECT_EQ(cmyk.sample(2, 0, 0), 105);
    EXPECT_EQ(cmyk.sample(3, 0, 0), 77) << "K is kept";

    Image lab = RandomImage(5, 4, kModeLab, 8);
    const Image labBefore = lab;
    ASSERT_EQ(s.host->runFilter(kDesaturate, lab), 0);
    EXPECT_EQ(lab.plane(0), labBefore.plane(0));
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

    Image rgb(2, 1, kModeRGB, 8, false);
    const double left[3] = {100, 100, 100}, right[3] = {255, 0, 100};  // grays 100 and (77x255 + 28x100) / 255 = 87
    for (int p = 0; p < 3; ++p) {
        rgb.setSample(p, 0, 0, left[p]);
        rgb.setSample(p, 1, 0, right[p]);
    }
    ASSERT_EQ(s.host->runFilter(kThreshold, rgb, RunOptions{.descriptor = &descriptor}), 0);
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(rgb.sample(p, 0, 0), 255) << "gray 100 at level 100 is white";
        EXPECT_EQ(rgb.sample(p, 1, 0), 0);
    }

    Image cmyk(1, 1, kModeCMYK, 8, false);
    const double cmykValues[4] = {0, 0, 0, 200};  // g = 200 - 765 x 200 / 765 = 0
    for (int p = 0; p < 4; ++p)
        cmyk.setSample(p, 0, 0, cmykValues[p]);
    ASSERT_EQ(s.host->runFilter(kThreshold, cmyk, RunOptions{.descriptor = &descriptor}), 0);
    EXPECT_EQ(cmyk.sample(0, 0, 0), 255);
    EXPECT_EQ(cmyk.sample(2, 0, 0), 255);
    EXPECT_EQ(cmyk.sample(3, 0, 0), 0);

    Image lab = ConstantImage(2, 2, kModeLab, 8, 150);
    ASSERT_EQ(s.host->runFilter(kThreshold, lab, RunOptions{.descriptor = &descriptor}), 0);
    EXPECT_EQ(lab.sample(0, 1, 1), 255);
    EXPECT_EQ(lab.sample(1, 1, 1), 128);
    EXPECT_EQ(lab.sample(2, 0, 0), 128);

    Image rgba = ConstantImage(2, 2, kModeRGB, 8, 90, true);
    rgba.setSample(3, 0, 0, 255);
    ASSERT_EQ(s.host->runFilter(kThreshold, rgba, RunOptions{.descriptor = &descriptor}), 0);
    EXPECT_EQ(rgba.sample(3, 0, 0), 255) << "transparency untouched";
    EXPECT_EQ(rgba.sample(3, 1, 1), 90);
    EXPECT_EQ(rgba.sample(0, 0, 0), 0) << "opaque 90 is below 100";
}

TEST(PointMaps, PosterizeDialogSavesSettingsThatThePlainRunUses)
{
    StoreHost s;
    Image image = GrayRamp();
    s.host->dialogScript = ParseDialogScript("set 101 6; ok");
    ASSERT_EQ(s.host->runFilter(kPosterize, image, RunOptions{.showDialog = true}), 0);
    const auto stored = s.host->settingsStore().getBytes(kStoreNamespace, "FD_4218_100");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), 272u);
    int16_t levels = 0;
    std::memcpy(&levels, stored->data(), 2);
    EXPECT_EQ(levels, 6);

    // A new host (a new process) without dialog or settings repeats the stored 6 levels.
    auto next = LoadedHost(HostSettings{.settingsPath = (s.folder / "settings.db").string()});
    Image again = GrayRamp();
    ASSERT_EQ(next->runFilter(kPosterize, again), 0);
    uint8_t table[256];
    px::BuildPosterizeTable(6, table);
    for (int x = 0; x < 256; ++x)
        EXPECT_EQ(again.sample(0, x, 0), table[x]) << x;
}

TEST(PointMaps, AStoredBlockOfAnotherSizeMeansDefaults)
{
    StoreHost s;
    const std::vector<uint8_t> wrong(270, 0x07);
    s.host->settingsStore().set(kStoreNamespace, "FD_4218_100", StoreValue(wrong));
    Image image = GrayRamp();
    ASSERT_EQ(s.host->runFilter(kPosterize, image), 0);
    EXPECT_EQ(image.sample(0, 100, 0), 85) << "the default 4 levels";
}

TEST(PointMaps, SliderPastItsEndClampsAndTheFieldShowsIt)
{
    StoreHost s;
    Image image = GrayRamp();
    s.host->dialogScript = ParseDialogScript("set 100 1.7; ok");
    ASSERT_EQ(s.host->runFilter(kPosterize, image, RunOptions{.showDialog = true}), 0);
    auto item = [&](int id) {
        for (const DialogItemState& i : s.host->lastDialogItems)
            if (i.id == id)
                return i.value;
        return -1.0;
    };
    EXPECT_EQ(item(101), 255);
    EXPECT_EQ(item(100), 1.0);
    s.host->dialogScript = ParseDialogScript("set 101 1; ok");
    ASSERT_EQ(s.host->runFilter(kPosterize, image, RunOptions{.showDialog = true}), 0);
    EXPECT_EQ(item(101), 2) << "two levels at least";
}

TEST(PointMaps, OkWaitsForTheHostCancelChangesNothing)
{
    StoreHost s;
    const Image original = GrayRamp();
    Image image = original;
    s.host->canCloseRefusals = 1;
    s.host->dialogScript = ParseDialogScript("set 101 3; ok; set 101 5; ok");
    ASSERT_EQ(s.host->runFilter(kPosterize, image, RunOptions{.showDialog = true}), 0);
    uint8_t table[256];
    px::BuildPosterizeTable(5, table);
    EXPECT_EQ(image.sample(0, 100, 0), table[100]) << "the refused OK kept the dialog open";

    s.host->canCloseRefusals = 1;
    s.host->dialogScript = ParseDialogScript("ok");
    image = original;
    EXPECT_NE(s.host->runFilter(kPosterize, image, RunOptions{.showDialog = true}), 0);
    EXPECT_FALSE(s.host->dialogError.empty());

    const auto before = s.host->settingsStore().getBytes(kStoreNamespace, "FD_4218_100");
    s.host->dialogScript = ParseDialogScript("set 101 9; cancel");
    image = original;
    EXPECT_EQ(s.host->runFilter(kPosterize, image, RunOptions{.showDialog = true}), kUserCanceledErr);
    EXPECT_EQ(image, original);
    EXPECT_EQ(s.host->settingsStore().getBytes(kStoreNamespace, "FD_4218_100"), before);
    // The same host's next run without a dialog repeats the confirmed 5 levels, not the cancelled 9.
    ASSERT_EQ(s.host->runFilter(kPosterize, image), 0);
    EXPECT_EQ(image.sample(0, 100, 0), table[100]);
}

TEST(PointMaps, PreviewShowsWhatTheRunWrites)
{
    StoreHost s;
    Image image = RandomImage(40, 30, kModeRGB, 8, false, 9);
    s.host->dialogScript = ParseDialogScript("click \"Auto\"; idle; ok");
    ASSERT_EQ(s.host->runFilter(kThreshold, image, RunOptions{.rect = Rect16{5, 5, 25, 30}, .showDialog = true}), 0);
    ASSERT_TRUE(s.host->previewImage);
    EXPECT_EQ(*s.host->previewImage, image);
}

TEST(PointMaps, ScriptsThatCannotRunAreRefusedBeforeAnything)
{
    StoreHost s;
    EXPECT_THROW(ParseDialogScript("set 101"), HostError);
    EXPECT_THROW(ParseDialogScript("jump 3"), HostError);
    EXPECT_THROW(ParseDialogScript("click x"), HostError);
    const Image original = GrayRamp();
    Image image = original;
    s.host->dialogScript = ParseDialogScript("set 999 3; ok");
    EXPECT_NE(s.host->runFilter(kPosterize, image, RunOptions{.showDialog = true}), 0);
    EXPECT_EQ(s.host->dialogError, "the dialog has no item 999");
    EXPECT_EQ(image, original);
    EXPECT_FALSE(s.host->settingsStore().getBytes(kStoreNamespace, "FD_4218_100"));
}

TEST(PointMaps, SelectorTwentyEightTakesOnlyTwoBytes)
{
    StoreHost s;
    FilterRecord record{};
    intptr_t data = 0;
    int16_t result = 1;
    const FilterEntry entry = s.host->filterEntry(kPosterize);
    void* parameters = nullptr;
    // The block comes from the host's block service, as in a run.
    s.host->callEntry(entry, filterSelectorPrepare, record, data, result);
    ASSERT_EQ(result, 0);
    parameters = record.parameters;
    ASSERT_NE(parameters, nullptr);
    EXPECT_EQ(*static_cast<int16_t*>(parameters), 4);

    void* handle = nullptr;
    ASSERT_EQ(CallbackTable()->NewBlock(&handle, 2), 0);
    *static_cast<int16_t*>(handle) = 7;
    data = reinterpret_cast<intptr_t>(handle);  // the data word holds the handle
    s.host->callEntry(entry, kSelectorSetParams, record, data, result);
    EXPECT_EQ(*static_cast<int16_t*>(parameters), 7);

    void* wrongSize = nullptr;
    ASSERT_EQ(CallbackTable()->NewBlock(&wrongSize, 4), 0);
    *static_cast<int16_t*>(wrongSize) = 9;
    data = reinterpret_cast<intptr_t>(wrongSize);
    result = 1;
    s.host->callEntry(entry, kSelectorSetParams, record, data, result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(*static_cast<int16_t*>(parameters), 7);
    CallbackTable()->platform->FreeBlock(handle);
    CallbackTable()->platform->FreeBlock(wrongSize);
    CallbackTable()->platform->FreeBlock(parameters);
}

}  // namespace
}  // namespace pictra::test
