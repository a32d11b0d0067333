// The Analyzer: capture, fit, table text, and the image left untouched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "analysis/Analyzer.h"
#include "TestSupport.h"

namespace pictra::test {
namespace {

constexpr int32_t kAnalyzer = 18000;

std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(Analyzer, FitsALinearRowNearOne)
{
    uint8_t ramp[256];
    for (int i = 0; i < 256; ++i)
        ramp[i] = uint8_t(i);
    EXPECT_NEAR(px::FitRowExponent(ramp), 1.0, 0.01);
    // A square-law row fits near 2.
    uint8_t square[256];
    for (int i = 0; i < 256; ++i)
        square[i] = uint8_t(255.0 * (i / 255.0) * (i / 255.0) + 0.5);
    EXPECT_NEAR(px::FitRowExponent(square), 2.0, 0.1);
}

TEST(Analyzer, TableTextHasSixteenLinesOfSixteen)
{
    uint8_t ramp[256];
    for (int i = 0; i < 256; ++i)
        ramp[i] = uint8_t(i);
    const std::string text = px::LookupTableText(ramp);
    EXPECT_THAT(text, ::testing::StartsWith("static unsigned char gLut[256]=\n{\n0, 1, 2, "));
    EXPECT_THAT(text, ::testing::HasSubstr(", 14, 15,\n16, 17, "));
    EXPECT_THAT(text, ::testing::EndsWith("253, 254, 255\n};\n"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 19);
}

TEST(Analyzer, NeverChangesTheImageAndCapturesAtMost256Square)
{
    char pattern[] = "/tmp/pictra-analyzer-XXXXXX";
    const std::filesystem::path folder = mkdtemp(pattern);
    auto host = LoadedHost(HostSettings{.settingsPath = (folder / "s.db").string()});
    const Image original = RandomImage(10, 12, kModeGrayscale, 8, false, 4);
    Image image = original;
    host->dialogScript = ParseDialogScript(
        "set 100 5; click \"Fit\"; click \"Write Table...\"; set 100 200; "
        "click \"Write Table...\"; ok");
    host->fileAnswers = {(folder / "row5").string(), (folder / "row200.h").string()};
    EXPECT_EQ(host->runFilter(kAnalyzer, image), kUserCanceledErr) << "Analyzer always ends with -128";
    EXPECT_EQ(image, original);

    // Row 5 holds the image's 10 samples, then the capture's 255 filler.
    std::string expected = "static unsigned char gLut[256]=\n{\n";
    for (int i = 0; i < 256; ++i) {
        expected += std::to_string(i < 10 ? int(original.sample(0, i, 5)) : 255);
        expected += i == 255 ? "\n" : i % 16 == 15 ? ",\n" : ", ";
    }
    expected += "};\n";
    EXPECT_EQ(ReadText(folder / "row5.h"), expected) << "the saved name gets the table's extension";
    EXPECT_THAT(ReadText(folder / "row200.h"), ::testing::StartsWith("static unsigned char gLut[256]=\n{\n255, 255, "));

    // A table that cannot be written is reported, and nothing else changes.
    host->dialogScript = ParseDialogScript("click \"Write Table...\"; cancel");
    host->fileAnswers = {(folder / "missing" / "t.h").string()};
    EXPECT_EQ(host->runFilter(kAnalyzer, image), kUserCanceledErr);
    ASSERT_FALSE(host->alerts.empty());
    EXPECT_EQ(host->alerts.back(), "Could not write the lookup table: the file cannot be read or written.");
    EXPECT_EQ(image, original);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace pictra::test
