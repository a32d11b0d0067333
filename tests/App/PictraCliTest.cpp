// pictra as a user runs it: real files in, real files out, exit codes and
// one-line messages, nothing half-written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>

#include "IoTestSupport.h"
#include "pictra/Image.h"

namespace pictra::test {
namespace {

using ::testing::HasSubstr;

struct Result {
    int status = -1;
    std::string output;  // stdout and stderr together
};

class Pictra {
public:
    Pictra() : settings_(folder.path("settings.db")) {}

    Result run(const std::string& arguments) const
    {
        const std::string command = std::string("PICTRA_SETTINGS='") + settings_ + "' " + PICTRA_BINARY_DIR +
                                    "/bin/pictra " + arguments + " 2>&1";
        Result result;
        FILE* pipe = popen(command.c_str(), "r");
        std::array<char, 4096> buffer;
        size_t n;
        while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
            result.output.append(buffer.data(), n);
        const int status = pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }
    std::string path(const std::string& name) const { return folder.path(name); }
    // A run that fails: a non-zero status, one line that says why, and `output` not written.
    void fails(const std::string& arguments, const std::string& message, const std::string& output) const
    {
        const Result result = run(arguments);
        EXPECT_NE(result.status, 0) << arguments;
        EXPECT_THAT(result.output, HasSubstr(message)) << arguments;
        EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << "one line: " << result.output;
        EXPECT_FALSE(std::filesystem::exists(output)) << arguments;
    }

    ScratchFolder folder;

private:
    std::string settings_;
};

std::string Asset(const std::string& name) { return IoData("pngsuite/" + name); }

TEST(PictraCli, ListsAndDescribesFilters)
{
    Pictra pictra;
    const Result json = pictra.run("filters --json");
    ASSERT_EQ(json.status, 0) << json.output;
    EXPECT_THAT(json.output, HasSubstr(R"({"id": 16900, "name": "Invert", "category": "Adjust")"));
    EXPECT_THAT(json.output, HasSubstr(R"("modes": ["bitmap", "grayscale", "rgb")"));
    EXPECT_THAT(json.output, ::testing::Not(HasSubstr("16005"))) << "Blur Edges is not in the menu";

    const Result describe = pictra.run("describe 'POSTERIZE...'");
    ASSERT_EQ(describe.status, 0) << describe.output;
    EXPECT_THAT(describe.output, HasSubstr("levels=4"));
    EXPECT_THAT(describe.output, HasSubstr("2 to 255"));
}

TEST(PictraCli, InvertTwiceRestoresTheFileAndThreadsDoNotMatter)
{
    Pictra pictra;
    const std::string input = pictra.path("in.png");
    Image image(64, 40, kModeRGB, 16, true);
    for (int p = 0; p < 4; ++p)
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 64; ++x)
                image.setSample(p, x, y, p == 3 ? 65535 : (x * 1031 + y * 77 + p * 5000) % 65536);
    WriteImage(image, input);
    ASSERT_EQ(pictra.run("run invert " + input + " " + pictra.path("once.png")).status, 0);
    ASSERT_EQ(pictra.run("run 16900 " + pictra.path("once.png") + " " + pictra.path("twice.png")).status, 0);
    EXPECT_EQ(ReadImage(pictra.path("twice.png")), image);

    ASSERT_EQ(pictra.run("run sharpen-more " + input + " " + pictra.path("one.png") + " --threads 1 --bands 1").status,
              0);
    ASSERT_EQ(
        pictra.run("run 'Sharpen More' " + input + " " + pictra.path("two.png") + " --threads 2 --bands 7 --tile 13")
            .status,
        0);
    EXPECT_EQ(ReadBytes(pictra.path("one.png")), ReadBytes(pictra.path("two.png")));
}

TEST(PictraCli, FailuresSayWhyAndWriteNothing)
{
    Pictra pictra;
    const std::string input = pictra.path("gray.png");
    WriteImage(Image(8, 8, kModeGrayscale, 8, false), input);
    const std::string output = pictra.path("out.png");

    const auto failsWith = [&](const std::string& arguments, const std::string& message) {
        pictra.fails(arguments, message, output);
    };
    failsWith("run nosuchfilter " + input + " " + output, "unknown filter 'nosuchfilter'");
    failsWith("run invert " + pictra.path("missing.png") + " " + output, "missing.png");
    failsWith("run posterize " + input + " " + output + " levels=1", "levels 1 is out of range: 2 to 255");
    failsWith("run posterize " + input + " " + output + " levels=2.5", "levels takes steps of 1");
    failsWith("run posterize " + input + " " + output + " depth=3",
              "Posterize... has no setting 'depth' (it has: levels)");
    failsWith("run blur " + input + " " + output + " radius=3", "Blur has no settings");
    failsWith("run invert " + input + " " + output + " --rect 4,4,8,8", "--rect '4,4,8,8' lies outside the 8x8 image");
    failsWith("run posterize " + input + " " + output + " --dialog 'set 999 3; ok'", "the dialog has no item 999");
    failsWith("run posterize " + input + " " + output + " --dialog 'set 101 3; cancel'",
              "cancelled by the user (-128)");
    failsWith("run posterize " + input + " " + output + " --dialog 'twist 3'", "unknown command");
    failsWith("run invert " + Asset("xcrn0g04.png") + " " + output, "xcrn0g04.png");
    failsWith("run invert " + input + " " + pictra.path("no/such/folder/out.png"), "no/such/folder");
    failsWith("run sharpen " + Asset("basn0g01.png") + " " + output, "Sharpen does not work on bitmap images");
}

TEST(PictraCli, DialogSettingsPersistAcrossRuns)
{
    Pictra pictra;
    const std::string input = pictra.path("ramp.png");
    Image ramp(256, 1, kModeGrayscale, 8, false);
    for (int x = 0; x < 256; ++x)
        ramp.setSample(0, x, 0, x);
    WriteImage(ramp, input);

    const Result dialog = pictra.run("run posterize " + input + " " + pictra.path("six.png") +
                                     " --dialog 'set 101 6; idle; ok' --preview-out " + pictra.path("preview.png"));
    ASSERT_EQ(dialog.status, 0) << dialog.output;
    EXPECT_EQ(ReadImage(pictra.path("preview.png")), ReadImage(pictra.path("six.png")));
    ASSERT_EQ(pictra.run("run posterize " + input + " " + pictra.path("again.png")).status, 0);
    EXPECT_EQ(ReadImage(pictra.path("again.png")), ReadImage(pictra.path("six.png")));
    ASSERT_EQ(pictra.run("run posterize " + input + " " + pictra.path("scripted.png") + " levels=6").status, 0);
    EXPECT_EQ(ReadImage(pictra.path("scripted.png")), ReadImage(pictra.path("six.png")));

    const Result list = pictra.run("settings list");
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_THAT(list.output, HasSubstr("FD_4218_100"));
    const Result show = pictra.run("settings show FD_4218_100");
    EXPECT_THAT(show.output, HasSubstr("00000000  06 00 ")) << "six levels, little-endian";
    EXPECT_THAT(show.output, ::testing::EndsWith("00000110\n")) << "272 bytes";
    EXPECT_EQ(pictra.run("settings show FD_0_0").status, 1);

    const Result items = pictra.run("dialog posterize " + input);
    ASSERT_EQ(items.status, 0) << items.output;
    EXPECT_THAT(items.output, HasSubstr("101  number"));
    EXPECT_THAT(items.output, HasSubstr("value 6 range 2 to 255"));

    ASSERT_EQ(pictra.run("settings delete 'FD_*'").status, 0);
    ASSERT_EQ(pictra.run("run posterize " + input + " " + pictra.path("default.png")).status, 0);
    EXPECT_EQ(ReadImage(pictra.path("default.png")).sample(0, 100, 0), 85) << "back to the default 4 levels";
}

TEST(PictraCli, ListSettingsAndSettingsFiles)
{
    Pictra pictra;
    const std::string input = pictra.path("in.png");
    WriteImage(Image(12, 9, kModeGrayscale, 8, false), input);
    const std::string kernel = "weights=0,0,0,0,0,0,0,1,0,0,0,1,2,1,0,0,0,1,0,0,0,0,0,0,0 scale=6 offset=3";
    const Result saved = pictra.run("run custom " + input + " " + pictra.path("a.png") + " " + kernel + " --save " +
                                    pictra.path("kernel"));
    ASSERT_EQ(saved.status, 0) << saved.output;
    EXPECT_EQ(ReadBytes(pictra.path("kernel.ACF")).size(), 54u) << "27 values, the extension added";
    ASSERT_EQ(pictra.run("settings delete 'FD_*'").status, 0);
    ASSERT_EQ(
        pictra.run("run custom " + input + " " + pictra.path("b.png") + " --load " + pictra.path("kernel.ACF")).status,
        0);
    EXPECT_EQ(ReadBytes(pictra.path("a.png")), ReadBytes(pictra.path("b.png")));
    EXPECT_EQ(ReadImage(pictra.path("b.png")).sample(0, 4, 4), 3) << "a black image gives the offset";

    const std::string output = pictra.path("c.png");
    pictra.fails("run custom " + input + " " + output + " weights=1,2,3",
                 "weights takes 25 comma-separated values, not 3", output);
    pictra.fails("run custom " + input + " " + output + " --load " + pictra.path("none.acf"),
                 "Could not load the kernel settings: the file does not exist.", output);
}

TEST(PictraCli, DemoWritesOnePictureAFilter)
{
    Pictra pictra;
    const Result demo = pictra.run("demo " + pictra.path("demo") + " --quiet");
    ASSERT_EQ(demo.status, 0) << demo.output;
    const Result list = pictra.run("filters");
    const size_t filters = size_t(std::count(list.output.begin(), list.output.end(), '\n'));
    size_t pictures = 0;
    for (const auto& entry : std::filesystem::directory_iterator(pictra.path("demo")))
        pictures += entry.path().extension() == ".png" ? 1 : 0;
    EXPECT_EQ(pictures, filters + 1) << "one per filter and the sample";
    const Image sample = ReadImage(pictra.path("demo") + "/sample.png");
    const Image inverted = ReadImage(pictra.path("demo") + "/16900-invert.png");
    EXPECT_EQ(inverted.sample(0, 10, 10), 255 - sample.sample(0, 10, 10));
}

}  // namespace
}  // namespace pictra::test
