// The module's parameter records and named presets, run in-process through
// the real host's store services.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "HostInternal.h"
#include "TestSupport.h"
#include "framework/Module.h"
#include "framework/ParameterRecords.h"
#include "pictra/SettingsStore.h"

namespace pictra::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

px::PresetSegment Segment(double from, double to, uint8_t colour, uint8_t gradient = 0)
{
    px::PresetSegment segment;
    segment.from = from;
    segment.to = to;
    segment.absolute = int32_t(colour) % 2;
    std::memset(segment.fromColour, colour, sizeof segment.fromColour);
    std::memset(segment.toColour, 255 - colour, sizeof segment.toColour);
    segment.gradient = gradient;
    return segment;
}

// Module code reaches the host through px::gModule, as after a stdtool call.
class ModuleSettingsTest : public ::testing::Test {
protected:
    ModuleSettingsTest() : host_(store_.host), scope_(host_.get(), nullptr), saved_(px::gModule)
    {
        px::gModule.callbacks = CallbackTable();
    }
    ~ModuleSettingsTest() override { px::gModule = saved_; }

    std::vector<std::string> keys(const char* pattern)
    {
        return host_->settingsStore().enumerate(kStoreNamespace, pattern);
    }
    std::vector<px::PresetSegment> load(const char* name)
    {
        std::vector<px::PresetSegment> segments;
        EXPECT_TRUE(px::LoadPreset(name, segments)) << name;
        return segments;
    }

    StoreHost store_;
    std::unique_ptr<Host>& host_;
    ActiveScope scope_;
    px::ModuleContext saved_;
};

TEST_F(ModuleSettingsTest, FilterRecordsUseUpperCaseHexKeysAndOnlyTheirExactSize)
{
    uint8_t block[40];
    for (int i = 0; i < 40; ++i)
        block[i] = uint8_t(i + 1);
    px::WriteFilterRecord(16920, 256, block, 40);
    px::WriteFilterRecord(16910, 256, block, 24);
    EXPECT_THAT(keys("*"), ElementsAre("FD_420E_100", "FD_4218_100"));

    uint8_t read[40] = {};
    EXPECT_TRUE(px::ReadFilterRecord(16920, 256, read, 40));
    EXPECT_EQ(std::memcmp(read, block, 40), 0);

    uint8_t untouched[48];
    std::memset(untouched, 0xAA, sizeof untouched);
    EXPECT_FALSE(px::ReadFilterRecord(16920, 256, untouched, 48)) << "40 bytes stored, 48 wanted";
    EXPECT_FALSE(px::ReadFilterRecord(16920, 256, untouched, 32)) << "40 bytes stored, 32 wanted";
    EXPECT_FALSE(px::ReadFilterRecord(16000, 256, untouched, 4)) << "nothing stored";
    host_->settingsStore().set(kStoreNamespace, "FD_3E80_100", 7);
    EXPECT_FALSE(px::ReadFilterRecord(16000, 256, untouched, 4)) << "an int is not a block";
    EXPECT_EQ(std::count(untouched, untouched + 48, 0xAA), 48);
}

TEST_F(ModuleSettingsTest, PresetsAreStoredFieldByFieldAndFoundByExactName)
{
    const std::vector<px::PresetSegment> warm{Segment(0, 50, 10), Segment(50, 100, 20, 7)};
    const std::vector<px::PresetSegment> cold{Segment(-1.5, 2.25, 30, 1)};
    EXPECT_TRUE(px::SavePreset(warm, "Warm"));
    EXPECT_TRUE(px::SavePreset(cold, "Cold"));

    SettingsStore& store = host_->settingsStore();
    EXPECT_THAT(store.entries(kStoreNamespace, "Clrze_1_*"),
                ElementsAre(StoreEntry{"Clrze_1_Abs_0", 0}, StoreEntry{"Clrze_1_CFrom_0", StoreBytes(24, 30)},
                            StoreEntry{"Clrze_1_CTo_0", StoreBytes(24, 225)}, StoreEntry{"Clrze_1_Count", 1},
                            StoreEntry{"Clrze_1_From_0", -1.5}, StoreEntry{"Clrze_1_Grad_0", 1},
                            StoreEntry{"Clrze_1_Name", std::string("Cold")}, StoreEntry{"Clrze_1_To_0", 2.25}));
    EXPECT_EQ(store.getInt(kStoreNamespace, "Clrze_Count"), 2);
    EXPECT_EQ(store.getInt(kStoreNamespace, "Clrze_0_Grad_1"), 1) << "a non-zero flag byte is stored as 1";

    EXPECT_EQ(px::FindPreset("Cold"), 1);
    EXPECT_EQ(px::FindPreset("cold"), -1);
    EXPECT_EQ(load("Cold"), cold);
    std::vector<px::PresetSegment> expected = warm;
    expected[1].gradient = 1;
    EXPECT_EQ(load("Warm"), expected);

    std::vector<px::PresetSegment> unchanged = cold;
    EXPECT_FALSE(px::LoadPreset("Hot", unchanged));
    EXPECT_EQ(unchanged, cold);

    // A name longer than a stored name can be is kept cut, and found again by the same cut.
    const std::string longName(300, 'n');
    EXPECT_TRUE(px::SavePreset(cold, longName.c_str()));
    EXPECT_EQ(store.getString(kStoreNamespace, "Clrze_2_Name"), std::string(255, 'n'));
    EXPECT_EQ(px::FindPreset(longName.c_str()), 2);
}

TEST_F(ModuleSettingsTest, RewritingAPresetNeedsAYes)
{
    EXPECT_TRUE(px::SavePreset(std::vector{Segment(0, 10, 1)}, "Warm"));
    const std::vector<StoreEntry> before = host_->settingsStore().entries(kStoreNamespace, "*");
    const std::vector<px::PresetSegment> other{Segment(5, 6, 2), Segment(7, 8, 3)};
    for (int answer : {1, 3}) {
        host_->alertAnswer = answer;
        EXPECT_FALSE(px::SavePreset(other, "Warm"));
        EXPECT_EQ(host_->settingsStore().entries(kStoreNamespace, "*"), before) << "answer " << answer;
    }
    EXPECT_THAT(host_->alerts, ElementsAre("Rewrite?", "Rewrite?"));

    host_->alertAnswer = 2;
    EXPECT_TRUE(px::SavePreset(other, "Warm"));
    EXPECT_EQ(px::PresetCount(), 1);
    EXPECT_EQ(load("Warm"), other);
}

TEST_F(ModuleSettingsTest, DeletingAPresetMovesTheLaterOnesDown)
{
    for (const char* name : {"a", "b", "c"})
        px::SavePreset(std::vector{Segment(name[0], 0, uint8_t(name[0]))}, name);
    EXPECT_FALSE(px::DeletePreset("z"));
    EXPECT_TRUE(px::DeletePreset("a"));
    EXPECT_EQ(px::PresetCount(), 2);
    EXPECT_EQ(px::FindPreset("b"), 0);
    EXPECT_EQ(px::FindPreset("c"), 1);
    EXPECT_EQ(load("c"), std::vector{Segment('c', 0, 'c')});
    EXPECT_TRUE(keys("Clrze_2_*").empty());

    // Preset 1's pattern must not reach presets 10 and 11.
    host_->settingsStore().set(kStoreNamespace, "ClrzeX", 1);
    px::DeleteAllPresets();
    EXPECT_THAT(keys("*"), ElementsAre("ClrzeX"));
    for (int k = 0; k < 12; ++k)
        px::SavePreset(std::vector{Segment(k, k, uint8_t(k))}, std::to_string(k).c_str());
    EXPECT_TRUE(px::DeletePreset("1"));
    ASSERT_EQ(px::PresetCount(), 11);
    for (int k = 0; k < 11; ++k) {
        const int old = k < 1 ? k : k + 1;
        EXPECT_EQ(px::FindPreset(std::to_string(old).c_str()), k);
        EXPECT_EQ(load(std::to_string(old).c_str()), std::vector{Segment(old, old, uint8_t(old))});
    }
    EXPECT_TRUE(keys("Clrze_11_*").empty());
}

TEST_F(ModuleSettingsTest, AFailedEnumerationSkipsThatPresetsRenaming)
{
    for (const char* name : {"a", "b", "c"})
        px::SavePreset(std::vector{Segment(1, 2, 3)}, name);
    HostCallbackTable failing = *CallbackTable();
    failing.EnumerateStoreKeys = [](uint32_t, const char*, char***, int32_t*) -> int16_t { return kFailedErr; };
    px::gModule.callbacks = &failing;
    EXPECT_TRUE(px::DeletePreset("a"));
    EXPECT_TRUE(keys("Clrze_0_*").empty());
    EXPECT_EQ(keys("Clrze_1_*").size(), 8u);
    EXPECT_EQ(keys("Clrze_2_*").size(), 8u);
    EXPECT_EQ(px::PresetCount(), 2);
}

TEST_F(ModuleSettingsTest, AnUnreadableStoreGivesDefaultsOneWarningAndAReportedWrite)
{
    const std::string path = (store_.folder / "settings.db").string();
    std::ofstream(path, std::ios::binary) << std::string(5000, 'x');
    uint8_t block[8] = {};
    std::vector<px::PresetSegment> segments;
    EXPECT_FALSE(px::ReadFilterRecord(16920, 256, block, 8));
    EXPECT_EQ(px::PresetCount(), 0);
    EXPECT_FALSE(px::LoadPreset("Warm", segments));
    ASSERT_EQ(host_->warnings.size(), 1u);
    EXPECT_THAT(host_->warnings[0], HasSubstr(path));
    EXPECT_TRUE(host_->storeError.empty());

    px::WriteFilterRecord(16920, 256, block, 8);
    px::SavePreset(std::vector{Segment(1, 2, 3)}, "Warm");
    EXPECT_EQ(host_->storeError, "cannot write the settings store " + path +
                                     ": it is not a settings database or it is damaged (the file is left as it is)");
    std::ifstream file(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), std::string(5000, 'x'));
}

}  // namespace
}  // namespace pictra::test
