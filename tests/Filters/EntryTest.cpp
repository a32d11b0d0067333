// stdtool driven through the real host: refusal of old hosts, registration,
// entry lookup, the command selectors, and the selectors every entry answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FilterList.h"
#include "TestSupport.h"

namespace pictra::test {
namespace {

using ::testing::ElementsAre;

// The registrations every host gets, in the order it gets them: id, group,
// flagA, flagB (kCap: the host's answer to the scientific capability). Then
// the scientific set, or instead of it the set of a host without it.
constexpr int kCap = -1;
struct ExpectedRegistration {
    int id, group, flagA, flagB;
};
const std::vector<ExpectedRegistration> kMenuOrder = {
    {16000, 0, 0, 0},     {16010, 0, 0, 0},     {16020, 0, 1, 0},     {16030, 0, 1, kCap},  {16100, 0, 1, 0},
    {16110, 0, 1, kCap},  {16120, 0, 1, 0},     {16130, 0, 1, 0},     {16200, 0, 0, 0},     {16210, 0, 0, 0},
    {16300, 0, 1, 0},     {16310, 0, 1, 0},     {16320, 0, 1, 0},     {16330, 0, 1, 0},     {16400, 0, 0, 0},
    {16410, 0, 0, 0},     {16420, 0, 0, 0},     {16430, 0, 0, 0},     {16500, 0, 0, 0},     {16510, 0, 1, kCap},
    {16520, 0, 1, kCap},  {16530, 0, 1, 0},     {16540, 0, 0, 0},     {16600, 0, 0, 0},     {16040, 0, 0, 0},
    {17200, 0, 0, 0},     {17100, 0, 1, 0},     {17000, 0, 1, 0},     {17010, 0, 1, 0},     {17020, 0, 1, 0},
    {17030, 0, 1, 0},     {16550, 0, 0, 0},     {16900, 0, 1, 0},     {16910, 0, 0, 0},     {16920, 0, 0, 0},
    {18247, 0, 0, 0},     {17247, 0, 0, 0},     {18248, 0, 0, 0},     {18249, 0, 0, 0},     {18250, 0, 0, 0},
    {18252, 16014, 0, 0}, {18253, 16011, 0, 0}, {18255, 16010, 0, 0}, {16440, 16012, 0, 0}, {18256, 16013, 0, 0}};
const std::vector<ExpectedRegistration> kScientificOrder = {
    {18300, 0, 1, 1}, {18301, 0, 1, 1}, {18302, 0, 1, 0}, {18303, 0, 1, 1}, {18304, 0, 1, 1},
    {18305, 0, 0, 0}, {18306, 0, 0, 0}, {18307, 0, 0, 0}, {18308, 0, 0, 0}, {18309, 0, 0, 0},
    {18310, 0, 0, 0}, {18311, 0, 0, 0}, {18312, 0, 0, 0}, {18313, 0, 0, 0}, {18314, 0, 1, 1},
    {18316, 0, 1, 1}};
const std::vector<ExpectedRegistration> kNonScientificOrder = {{16800, 0, 0, 0}};

// The expected registrations of the filters this module has, in order; the
// capability answers `capability`.
std::vector<Registration> ExpectedFor(bool capability)
{
    std::vector<Registration> expected;
    auto add = [&](const std::vector<ExpectedRegistration>& rows) {
        for (const ExpectedRegistration& row : rows)
            if (px::FindFilter(row.id))
                expected.push_back(Registration{int16_t(row.id), row.id, int16_t(row.group), row.flagA,
                                                row.flagB == kCap ? int(capability) : row.flagB});
    };
    add(kMenuOrder);
    add(capability ? kScientificOrder : kNonScientificOrder);
    return expected;
}

std::vector<int> IdsOf(const std::vector<Registration>& registrations)
{
    std::vector<int> ids;
    for (const Registration& r : registrations)
        ids.push_back(r.filterId);
    return ids;
}

std::unique_ptr<Host> HostLoading(const std::string& toolName, HostSettings settings = {},
                                  std::vector<int16_t> refusedFilters = {})
{
    auto host = std::make_unique<Host>(settings);
    host->echoAlerts = false;
    host->refusedFilters = std::move(refusedFilters);
    host->loadModule(PICTRA_MODULE_PATH, toolName);
    return host;
}

std::vector<int> RegisteredIds(const Host& host)
{
    return IdsOf(std::vector<Registration>(host.registrations().begin(), host.registrations().end()));
}

TEST(Entry, OldHostGetsOneAlertAndNoFilters)
{
    const auto host = HostLoading("RUREROZI.PXT", HostSettings{.versionFlag = 0});
    EXPECT_THAT(host->alerts, ElementsAre("Could not load the tool named RUREROZI.PXT because the Pictra application "
                                          "is an older version."));
    EXPECT_TRUE(host->registrations().empty());
    EXPECT_TRUE(host->commands().empty());

    // The message lives in a 255-byte buffer: a long name is cut, never overflows.
    const auto longName = HostLoading(std::string(400, 'n'), HostSettings{.versionFlag = 0});
    EXPECT_THAT(longName->alerts, ElementsAre("Could not load the tool named " + std::string(224, 'n')));
}

TEST(Entry, RegistersInTableOrderWithFlagsAndCreatesTheCommands)
{
    for (bool capability : {true, false}) {
        const auto host = LoadedHost(HostSettings{.scientific = capability});
        const std::vector<Registration> expected = ExpectedFor(capability);
        ASSERT_EQ(RegisteredIds(*host), IdsOf(expected)) << "capability " << capability;
        for (size_t i = 0; i < expected.size(); ++i) {
            const Registration& r = host->registrations()[i];
            EXPECT_EQ(r.commandId, r.filterId);
            EXPECT_EQ(r.groupId, expected[i].groupId) << r.filterId;
            EXPECT_EQ(std::pair(r.flagA, r.flagB), std::pair(expected[i].flagA, expected[i].flagB)) << r.filterId;
        }
        // Asked afresh at each registration that passes it on, and once more for the scientific set.
        const auto asks = std::count_if(kMenuOrder.begin(), kMenuOrder.end(), [](const ExpectedRegistration& row) {
            return row.flagB == kCap && px::FindFilter(row.id);
        });
        EXPECT_EQ(host->capabilityQueries, asks + 1);
    }
    // Every filter of the list that is meant for a menu is registered by some host.
    for (const px::FilterRow& row : px::FilterList()) {
        const bool listed = std::any_of(kMenuOrder.begin(), kMenuOrder.end(), [&](auto& e) { return e.id == row.id; }) ||
                            std::any_of(kScientificOrder.begin(), kScientificOrder.end(),
                                        [&](auto& e) { return e.id == row.id; }) ||
                            row.id == kNonScientificOrder[0].id;
        EXPECT_EQ(listed, row.listing != px::Listing::kEntryOnly) << row.id;
    }

    // A refused registration does not stop the others.
    const auto host = LoadedHost();
    std::vector<int> withoutSharpen = RegisteredIds(*host);
    std::erase(withoutSharpen, kSharpen);
    EXPECT_EQ(RegisteredIds(*HostLoading("RUREROZI.PXT", {}, {kSharpen})), withoutSharpen);

    ASSERT_EQ(host->commands().size(), 2u);
    const MenuCommand& colorRange = host->commands()[0];
    const MenuCommand& feather = host->commands()[1];
    EXPECT_EQ(colorRange.label, "Color Range...");
    EXPECT_EQ(colorRange.commandNumber, 2);
    EXPECT_EQ(colorRange.helpId, 17017);
    EXPECT_EQ(colorRange.menuId, 1232);
    EXPECT_EQ(colorRange.kind, FourCC("filt"));
    EXPECT_EQ(feather.label, "Feather...");
    EXPECT_EQ(feather.commandNumber, 1);
    EXPECT_EQ(feather.helpId, 17018);
}

TEST(Entry, LooksUpEntriesOnlyForFiltersWithOne)
{
    auto host = LoadedHost();
    for (const px::FilterRow& row : px::FilterList())
        EXPECT_NE(host->filterEntry(row.id), nullptr) << row.id;
    // Property lists without an entry, and ids the module does not know, leave the out member alone.
    const FilterEntry sentinel = reinterpret_cast<FilterEntry>(uintptr_t(0x5a5a));
    for (int id : {16700, 16710, 18010, 18254, 18315, 12345}) {
        FilterEntryRequest request{id, sentinel};
        EXPECT_EQ(host->callTool(kToolGetFilterEntry, &request), 0);
        EXPECT_EQ(request.entry, sentinel) << id;
    }
}

TEST(Entry, CommandSelectorsAndUnknownSelectors)
{
    auto host = LoadedHost();
    Image rgb(4, 4, kModeRGB, 8, false);
    Image bitmap(8, 4, kModeBitmap, 1, false);

    MenuItem item;
    CommandRequest colorRange{&item, kCommandColorRange};
    CommandRequest feather{&item, kCommandFeather};
    EXPECT_EQ(host->callTool(kToolUpdateCommandItem, &colorRange), 0);
    EXPECT_FALSE(item.enabled) << "no image: greyed";
    host->currentImage = &rgb;
    host->callTool(kToolUpdateCommandItem, &colorRange);
    EXPECT_TRUE(item.enabled);
    host->callTool(kToolUpdateCommandItem, &feather);
    EXPECT_FALSE(item.enabled) << "no selection to feather";
    host->currentImageHasSelection = true;
    host->callTool(kToolUpdateCommandItem, &feather);
    EXPECT_TRUE(item.enabled);
    host->currentImage = &bitmap;
    host->callTool(kToolUpdateCommandItem, &colorRange);
    EXPECT_FALSE(item.enabled) << "no colour range on bitmaps";

    for (int32_t number : {int32_t(kCommandFeather), int32_t(kCommandColorRange), 16430, 99}) {
        CommandRequest help{nullptr, number};
        EXPECT_EQ(host->callTool(kToolCommandHelp, &help), 0);
    }
    EXPECT_THAT(host->statusTexts,
                ElementsAre("Feather the mask of selected pixels", "Select a range of colors in the image",
                            "Apply spherical and other quadric surface projections to images"));

    int16_t radius = 4;
    CommandReplayRequest wrongSize{kCommandIdFeather, &radius, 4, 0};
    EXPECT_EQ(host->callTool(kToolCommandReplay, &wrongSize), 1);
    CommandInvokeRequest invoke{1, 99999, nullptr, 77};
    EXPECT_EQ(host->callTool(kToolCommandInvoke, &invoke), 1);
    EXPECT_EQ(invoke.result, 77) << "an unknown command id does nothing";
    EXPECT_EQ(host->callTool(0x12345678, nullptr), 0);
    EXPECT_TRUE(host->alerts.empty());
}

TEST(Entry, EveryFilterAnswersTheCommonSelectors)
{
    auto host = LoadedHost();
    FilterRecord record{};
    for (const px::FilterRow& row : px::FilterList()) {
        if (!host->settingsOf(row.id).empty())
            continue;  // filters with settings take them through selectors 28 to 30
        const int32_t id = row.id;
        const FilterEntry entry = host->filterEntry(id);
        for (int16_t selector = 6; selector <= 25; ++selector) {
            int16_t result = 1234;
            intptr_t data = 99;
            host->callEntry(entry, selector, record, data, result);
            EXPECT_EQ(result, 1234) << id << " selector " << selector;
            EXPECT_EQ(data, 99);
        }
        int16_t result = 1234;
        intptr_t data = 99;
        host->callEntry(entry, kSelectorParameterSize, record, data, result);
        EXPECT_EQ(data, 0) << id;
        EXPECT_EQ(result, 1234) << "selector 30 writes no result";
        for (int16_t selector : {kSelectorSetParams, kSelectorTranslateDescriptor}) {
            host->callEntry(entry, selector, record, data, result);
            EXPECT_EQ(result, 1234) << id << " has no settings to take";
        }
        for (int16_t selector :
             {filterSelectorParameters, filterSelectorPrepare, filterSelectorContinue, filterSelectorFinish}) {
            result = 1234;
            host->callEntry(entry, selector, record, data, result);
            EXPECT_EQ(result, 0);
        }
        EXPECT_EQ(record.parameters, nullptr) << "filters without settings never touch the parameters";
    }
}

TEST(Entry, AboutShowsTheTitleAndTheCreditLine)
{
    auto host = LoadedHost();
    FilterRecord record{};
    int16_t result = 1;
    intptr_t data = 0;
    for (int id : {kInvert, kGaussianBlur, kHighPass, kUnsharpMask})
        host->callEntry(host->filterEntry(id), filterSelectorAbout, record, data, result);
    EXPECT_EQ(result, 0);
    EXPECT_THAT(host->alerts, ElementsAre("Invert\r\nRUREROZI filter package for Pictra.",
                                          "Gaussian Blur\r\nRUREROZI filter package for Pictra.",
                                          "High Pass\r\nRUREROZI filter package for Pictra.",
                                          "Unsharp Mask\r\nRUREROZI filter package for Pictra."));
}

TEST(Entry, PropertyListsDescribeEveryFilterWithAnEntry)
{
    auto host = LoadedHost();
    const auto invert = host->properties(kInvert);
    ASSERT_TRUE(invert);
    EXPECT_EQ(invert->name, "Invert");
    EXPECT_EQ(invert->category, "Adjust");
    EXPECT_TRUE(invert->acceptsMode(kModeBitmap));
    EXPECT_FALSE(invert->acceptsMode(kModeIndexed));
    const auto sharpen = host->properties(kSharpen);
    ASSERT_TRUE(sharpen);
    EXPECT_EQ(sharpen->modes, 0x5fc0);
    EXPECT_FALSE(sharpen->acceptsMode(kModeBitmap));
    EXPECT_TRUE(sharpen->acceptsMode(kModeLab));
    const auto blurEdges = host->properties(kBlurEdges);
    ASSERT_TRUE(blurEdges);
    EXPECT_EQ(blurEdges->help, "Blur only high-contrast areas in the image");
    EXPECT_EQ(blurEdges->event, FourCC("BlrE"));
}

}  // namespace
}  // namespace pictra::test
