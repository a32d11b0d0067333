// The settings tables: values held to their rows, defaults, selector 28's
// slots, and what the resource compiler made of every filter's table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "FilterList.h"
#include "TestSupport.h"
#include "framework/Module.h"
#include "framework/SettingsTable.h"
#include "pictra/Dialogs.h"
#include "pictra/Pipl.h"

namespace pictra::test {
namespace {

using px::MemberType;
using px::Setting;

struct Block {
    uint8_t level;
    uint8_t given;
    int16_t tenths;
    double amount;
};

constexpr Setting kSettings[] = {
    {.name = "level",
     .key = FourCC("levl"),
     .minimum = 2,
     .maximum = 255,
     .defaultValue = 4,
     .member = PX_MEMBER(Block, level),
     .givenFlag = uint16_t(offsetof(Block, given)),
     .slider = 100,
     .field = 101,
     .scripted = px::Slot(0, MemberType::kInt16)},
    {.name = "radius",
     .key = FourCC("radi"),
     .minimum = 0.1,
     .maximum = 250,
     .defaultValue = 1,
     .scale = 10,
     .member = PX_MEMBER(Block, tenths),
     .field = 103,
     .scripted = px::Slot(8, MemberType::kDouble)},
    {.name = "amount",
     .key = FourCC("amnt"),
     .type = typeFloat,
     .minimum = 1,
     .maximum = 500,
     .defaultValue = 100,
     .member = PX_MEMBER(Block, amount),
     .slider = 104},
};

TEST(SettingsTable, ValuesAreHeldToTheirRowsTruncatedWhenWholeAndScaled)
{
    Block block{};
    px::StoreSetting(&block, kSettings[0], 300);
    EXPECT_EQ(block.level, 255) << "a value above the range takes the maximum, not the low byte";
    px::StoreSetting(&block, kSettings[0], 9.99);
    EXPECT_EQ(block.level, 9);
    px::StoreSetting(&block, kSettings[0], std::nan(""));
    EXPECT_EQ(block.level, 2) << "not a number counts as the minimum";
    px::StoreSetting(&block, kSettings[1], 0.5);
    EXPECT_EQ(block.tenths, 1) << "0.1 pixels, in tenths";
    px::StoreSetting(&block, kSettings[1], 31.7);
    EXPECT_EQ(block.tenths, 31);
    px::StoreSetting(&block, kSettings[2], 123.45);
    EXPECT_DOUBLE_EQ(block.amount, 123.45) << "a float setting keeps its fraction";
    px::StoreSetting(&block, kSettings[2], -std::numeric_limits<double>::infinity());
    EXPECT_DOUBLE_EQ(block.amount, 1);

    Block garbage{.level = 1, .given = 0, .tenths = -7, .amount = std::nan("")};
    px::ClampSettings(&garbage, kSettings);
    EXPECT_EQ(garbage.level, 2);
    EXPECT_EQ(garbage.tenths, 1);
    EXPECT_DOUBLE_EQ(garbage.amount, 1);
}

TEST(SettingsTable, DefaultsAndScriptingBlocksSetTheGivenFlags)
{
    Block block{.level = 77, .given = 9, .tenths = 0, .amount = 0};
    px::ApplyDefaults(&block, kSettings);
    EXPECT_EQ(block.level, 4);
    EXPECT_EQ(block.given, 1);
    EXPECT_EQ(block.tenths, 10);
    EXPECT_DOUBLE_EQ(block.amount, 100);

    // Selector 28's block: a 16-bit level at 0, the radius in tenths as a double at 8.
    uint8_t scripting[16] = {};
    const int16_t level = 1000;
    const double tenths = 57.9;
    std::memcpy(scripting, &level, sizeof level);
    std::memcpy(scripting + 8, &tenths, sizeof tenths);
    px::ReadScriptingBlock(&block, kSettings, scripting);
    EXPECT_EQ(block.level, 255);
    EXPECT_EQ(block.tenths, 57);
    EXPECT_DOUBLE_EQ(block.amount, 100) << "a setting the block does not carry is kept";

    const int16_t none = 0;
    std::memcpy(scripting, &none, sizeof none);
    px::ReadScriptingBlock(&block, kSettings, scripting);
    EXPECT_EQ(block.level, 2);
    EXPECT_EQ(block.given, 1) << "the flag follows the value stored";
    block.given = 0;
    px::ReadScriptingBlock(&block, kSettings, scripting);
    EXPECT_EQ(block.given, 1) << "a value from a script sets the flag";

    EXPECT_EQ(px::SettingOfItem(kSettings, 101), &kSettings[0]);
    EXPECT_EQ(px::SettingOfItem(kSettings, 104), &kSettings[2]);
    EXPECT_EQ(px::SettingOfItem(kSettings, 102), nullptr);
    EXPECT_EQ(px::SettingOfItem(kSettings, 0), nullptr) << "0 is no control";
}

// The resource compiler writes every filter's settings and the ranges of its
// dialog's fields from the filter's table: what the host reads back must be
// the table's.
TEST(SettingsTable, ResourcesCarryEveryFiltersTableAndItsDialogRanges)
{
    auto host = LoadedHost();
    const ResourceFile* resources = px::ModuleInstance();
    ASSERT_NE(resources, nullptr);
    int fields = 0;
    for (const px::FilterRow& row : px::FilterList()) {
        const std::vector<SettingInfo> read = host->settingsOf(row.id);
        ASSERT_EQ(read.size(), row.unit->settings.size()) << row.id;
        for (size_t i = 0; i < read.size(); ++i) {
            const Setting& s = row.unit->settings[i];
            EXPECT_EQ(read[i].name, s.name) << row.id;
            EXPECT_EQ(read[i].key, s.key) << row.id << " " << s.name;
            EXPECT_EQ(read[i].altKey, s.altKey) << row.id << " " << s.name;
            EXPECT_EQ(read[i].type, s.type) << row.id << " " << s.name;
            EXPECT_EQ(read[i].minimum, s.minimum) << row.id << " " << s.name;
            EXPECT_EQ(read[i].maximum, s.maximum) << row.id << " " << s.name;
            EXPECT_EQ(read[i].defaultValue, s.defaultValue) << row.id << " " << s.name;
            EXPECT_EQ(read[i].scale, s.scale) << row.id << " " << s.name;
        }
        if (row.unit->dialog == 0)
            continue;
        const ResourceFile::Bytes* bytes = resources->find(kResourceDialog, row.unit->dialog);
        ASSERT_NE(bytes, nullptr) << row.id;
        DialogTemplate dialog;
        ASSERT_TRUE(ParseDialogTemplate(*bytes, dialog)) << row.id;
        for (const Setting& s : row.unit->settings) {
            for (const DialogItemState& item : dialog.items) {
                if (s.field != 0 && item.id == s.field) {
                    ++fields;
                    EXPECT_EQ(item.kind, kItemNumber) << row.id << " " << s.name;
                    EXPECT_DOUBLE_EQ(item.minimum, s.dialogLowest() / s.scale) << row.id << " " << s.name;
                    EXPECT_DOUBLE_EQ(item.maximum, s.maximum) << row.id << " " << s.name;
                    EXPECT_DOUBLE_EQ(item.value, s.defaultValue) << row.id << " " << s.name;
                }
                if (s.slider != 0 && item.id == s.slider) {
                    EXPECT_EQ(item.kind, kItemSlider) << row.id << " " << s.name;
                }
            }
        }
    }
    EXPECT_GE(fields, 10) << "the dialogs' fields were found";
}

}  // namespace
}  // namespace pictra::test
