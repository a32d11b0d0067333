// Custom: the convolution arithmetic, the halo and the plumbing through the
// host, the dialog's cells, scripting, and ".ACF" kernel files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "neighbourhood/Custom.h"
#include "TestSupport.h"
#include "pictra/SettingsStore.h"

namespace pictra::test {
namespace {

// A kernel, row by row from the top left.
struct Weights {
    int16_t cell[25];
};

constexpr Weights kDefaultWeights{{0, 0, 0, 0, 0, 0, 0, -5, 0, 0, 0, -5, 1, -5, 0, 0, 0, -5, 0, 0, 0, 0, 0, 0, 0}};
constexpr const char* kStoreKey = "FD_4074_100";

// The dialog played from a script, the file dialog answered with `files`.
int16_t RunDialog(StoreHost& c, Image& image, const std::string& script, std::deque<std::string> files = {})
{
    c.host->dialogScript = ParseDialogScript(script);
    c.host->fileAnswers = std::move(files);
    return c.host->runFilter(kCustom, image, RunOptions{.showDialog = true});
}

std::vector<uint8_t> StoredBlock(StoreHost& c)
{
    return c.host->settingsStore().getBytes(kStoreNamespace, kStoreKey).value_or(std::vector<uint8_t>{});
}

std::string CellText(const StoreHost& c, int cell)
{
    for (const DialogItemState& item : c.host->lastDialogItems)
        if (item.id == 105 + cell)
            return item.text;
    return "(no cell)";
}

int16_t StoredInt16(const std::vector<uint8_t>& block, size_t at)
{
    return int16_t(block.at(at) | block.at(at + 1) << 8);
}

// Every plane convolved sample by sample, neighbours outside the image taken from its edge.
Image Reference(const Image& image, const Weights& weights, int scale, int offset)
{
    Image result = image;
    for (int p = 0; p < image.planeCount(); ++p)
        for (int32_t y = 0; y < image.height(); ++y)
            for (int32_t x = 0; x < image.width(); ++x) {
                int32_t sum = 0;
                for (int cell = 0; cell < 25; ++cell) {
                    const int32_t sx = std::clamp(x + cell % 5 - 2, 0, image.width() - 1);
                    const int32_t sy = std::clamp(y + cell / 5 - 2, 0, image.height() - 1);
                    sum += weights.cell[cell] * int32_t(image.sample(p, sx, sy));
                }
                const double value = scale == 0 ? image.sample(p, x, y) : std::clamp(offset + sum / scale, 0, 255);
                result.setSample(p, x, y, value);
            }
    return result;
}

HostDescriptor KernelDescriptor(const Weights& weights, int scale, int offset)
{
    HostDescriptor d;
    d.putInteger(FourCC("Scl "), scale);
    d.putInteger(FourCC("Ofst"), offset);
    for (int cell = 0; cell < 25; ++cell) {
        const char code[5] = {'W', 't', char('0' + cell / 10), char('0' + cell % 10), '\0'};
        d.putInteger(FourCC(code), weights.cell[cell]);
    }
    return d;
}

std::vector<uint8_t> BigEndian(const std::vector<int>& values)
{
    std::vector<uint8_t> bytes;
    for (int v : values) {
        bytes.push_back(uint8_t(uint16_t(v) >> 8));
        bytes.push_back(uint8_t(v));
    }
    return bytes;
}

std::vector<uint8_t> ReadBytes(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// One output sample of the kernel over a flat 5 x 5 neighbourhood of `level`.
int OnFlat(const Weights& weights, int level, int scale, int offset)
{
    const std::vector<uint8_t> flat(25, uint8_t(level));
    uint8_t out = 0;
    px::Convolve5x5(1, 1, flat.data() + 12, 5, &out, 1, weights.cell, scale, offset);
    return out;
}

TEST(Custom, KernelArithmetic)
{
    for (int v = 0; v <= 255; ++v)
        EXPECT_EQ(OnFlat(kDefaultWeights, v, 1, 128), std::max(128 - 19 * v, 0)) << "level " << v;

    Weights single{};
    single.cell[12] = -7;
    EXPECT_EQ(OnFlat(single, 1, 2, 100), 97) << "-7 / 2 is -3, toward zero";
    single.cell[12] = 7;
    EXPECT_EQ(OnFlat(single, 1, 2, 100), 103);
    EXPECT_EQ(OnFlat(single, 255, 1, 0), 255) << "clamped";
    EXPECT_EQ(OnFlat(single, 200, 0, -500), 200) << "scale 0 copies";

    // A lone weight at each cell moves the picture by that cell's distance
    // from the centre: rows of the kernel are rows of the image.
    uint8_t source[9 * 9];
    for (int i = 0; i < 81; ++i)
        source[i] = uint8_t(i);
    for (int cell = 0; cell < 25; ++cell) {
        Weights lone{};
        lone.cell[cell] = 1;
        uint8_t out[5 * 5];
        px::Convolve5x5(5, 5, source + 2 * 9 + 2, 9, out, 5, lone.cell, 1, 0);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 5; ++x)
                ASSERT_EQ(out[y * 5 + x], (y + cell / 5) * 9 + x + cell % 5) << "cell " << cell << " " << x << "," << y;
    }
}

TEST(Custom, CellTextIsTruncatedHeldOrRefused)
{
    int16_t weight = 77;
    bool used = true;
    for (const char* blank : {"", "  ", "\t"}) {
        ASSERT_TRUE(px::ReadKernelCell(blank, weight, used)) << '"' << blank << '"';
        EXPECT_EQ(weight, 0);
        EXPECT_FALSE(used);
    }
    const std::pair<const char*, int16_t> numbers[] = {{" 3 ", 3},  {"2.9", 2},   {"-2.9", -2},
                                                       {"-0.5", 0}, {"1e9", 999}, {"-1000", -999}};
    for (const auto& [text, expected] : numbers) {
        ASSERT_TRUE(px::ReadKernelCell(text, weight, used)) << text;
        EXPECT_EQ(weight, expected) << text;
        EXPECT_TRUE(used) << text;
    }
    for (const char* refused : {"abc", "12x", "--1", "nan", "1 2"})
        EXPECT_FALSE(px::ReadKernelCell(refused, weight, used)) << refused;
}

// A kernel of its own in tiles on two workers (SweepTest cuts the work
// every way with the default kernel).
TEST(Custom, EveryPlaneMatchesTheReference)
{
    const Weights weights{{1, -2, 0, 3, 0, 4, 0, -5, 0, 0, 2, 0, 9, 0, -1, 0, 0, 6, 0, 0, -3, 0, 0, 1, 2}};
    const HostDescriptor descriptor = KernelDescriptor(weights, 3, 40);
    const Image original = RandomImage(37, 29, kModeRGB, 8, true, 21);
    const Image expected = Reference(original, weights, 3, 40);
    ASSERT_NE(expected.samples(3), original.samples(3)) << "the transparency plane must change too";

    auto host = LoadedHost(HostSettings{.threads = 2});
    Image image = original;
    ASSERT_EQ(host->runFilter(kCustom, image, RunOptions{.tileSize = 5, .bandCount = 16, .descriptor = &descriptor}),
              0);
    EXPECT_EQ(image, expected);
}

TEST(Custom, BordersSeeEdgeCopiesAndDeepImagesTheirEightBitRendition)
{
    auto host = LoadedHost();
    const Weights weights{{3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, -1, 0, 5}};
    const HostDescriptor descriptor = KernelDescriptor(weights, 5, 7);

    // A one-pixel-wide image still gets a full neighbourhood of edge copies.
    for (const auto& [width, height] : {std::pair{1, 7}, std::pair{1, 1}, std::pair{6, 1}}) {
        Image thin = RandomImage(width, height, kModeGrayscale, 8, false, 5);
        const Image expected = Reference(thin, weights, 5, 7);
        ASSERT_EQ(host->runFilter(kCustom, thin, RunOptions{.descriptor = &descriptor}), 0);
        EXPECT_EQ(thin, expected) << width << "x" << height;
    }

    // A one-pixel-wide area inside the image reads its real neighbours.
    const Image original = RandomImage(9, 7, kModeGrayscale, 8, false, 6);
    const Image whole = Reference(original, weights, 5, 7);
    Image column = original;
    ASSERT_EQ(host->runFilter(kCustom, column, RunOptions{.rect = Rect16{0, 4, 7, 5}, .descriptor = &descriptor}), 0);
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 9; ++x)
            EXPECT_EQ(column.sample(0, x, y), (x == 4 ? whole : original).sample(0, x, y)) << x << "," << y;

    // 1000 at 16 bits is 3 at 8: the default kernel gives 128 - 57 = 71, back up by x257.
    Image deep = ConstantImage(4, 3, kModeGrayscale, 16, 1000);
    const HostDescriptor defaults = KernelDescriptor(kDefaultWeights, 1, 128);
    ASSERT_EQ(host->runFilter(kCustom, deep, RunOptions{.descriptor = &defaults}), 0);
    EXPECT_EQ(deep, ConstantImage(4, 3, kModeGrayscale, 16, 71 * 257));
}

TEST(Custom, DialogCellsAreCheckedAndTheBlockIsStoredWhole)
{
    StoreHost c;
    Image image = ConstantImage(5, 5, kModeGrayscale, 8, 4);
    ASSERT_EQ(RunDialog(c, image, "ok"), 0);
    EXPECT_EQ(image, ConstantImage(5, 5, kModeGrayscale, 8, 128 - 19 * 4)) << "the default kernel";
    for (int cell = 0; cell < 25; ++cell)
        EXPECT_EQ(CellText(c, cell), cell == 12 ? "1" : kDefaultWeights.cell[cell] ? "-5" : "") << "cell " << cell;

    image = RandomImage(8, 6, kModeGrayscale, 8, false, 8);
    const Image original = image;
    ASSERT_EQ(RunDialog(c, image,
                        "set 105 2.9; set 106 -2.9; set 107 abc; set 108 5000; set 130 2.5; "
                        "set 131 -20000; ok"),
              0);
    EXPECT_EQ(c.host->beeps, 1) << "\"abc\" is refused";
    EXPECT_EQ(CellText(c, 0), "2");
    EXPECT_EQ(CellText(c, 1), "-2");
    EXPECT_EQ(CellText(c, 2), "") << "the refused cell shows its weight again";
    EXPECT_EQ(CellText(c, 3), "999");

    Weights weights = kDefaultWeights;
    weights.cell[0] = 2;
    weights.cell[1] = -2;
    weights.cell[3] = 999;
    EXPECT_EQ(image, Reference(original, weights, 2, -9999));

    const std::vector<uint8_t> block = StoredBlock(c);
    ASSERT_EQ(block.size(), 92u);
    EXPECT_EQ(StoredInt16(block, 0), 2);
    EXPECT_EQ(StoredInt16(block, 2), -9999);
    for (int cell = 0; cell < 25; ++cell) {
        EXPECT_EQ(StoredInt16(block, 4 + 2 * size_t(cell)), weights.cell[cell]) << "cell " << cell;
        EXPECT_EQ(block[54 + size_t(cell)], weights.cell[cell] != 0 ? 1 : 0) << "cell " << cell;
    }
    EXPECT_EQ(StoredInt16(block, 88), 1) << "preview on";

    // A scale of 0 from the dialog makes the filter a copy.
    ASSERT_EQ(RunDialog(c, image, "set 130 0; set 131 20000; ok"), 0);
    EXPECT_EQ(image, Reference(original, weights, 2, -9999));
    EXPECT_EQ(StoredInt16(StoredBlock(c), 2), 9999);

    // A stored block with values beyond the limits is held to them, and an
    // empty cell weighs nothing whatever it holds.
    std::vector<uint8_t> odd = StoredBlock(c);
    const int16_t oddValues[][2] = {{0, 30000}, {2, 20}, {4, 50}, {6, 3000}};  // scale, offset, cells 0 and 1
    for (const auto& [at, value] : oddValues) {
        odd[size_t(at)] = uint8_t(value);
        odd[size_t(at) + 1] = uint8_t(uint16_t(value) >> 8);
    }
    odd[54] = 0;
    odd[55] = 1;
    c.host->settingsStore().set(kStoreNamespace, kStoreKey, StoreValue(odd));
    auto next = LoadedHost(HostSettings{.settingsPath = (c.folder / "settings.db").string()});
    image = original;
    ASSERT_EQ(next->runFilter(kCustom, image), 0);
    weights.cell[0] = 0;
    weights.cell[1] = 999;
    EXPECT_EQ(image, Reference(original, weights, 9999, 20));
}

TEST(Custom, ScriptingUsesTheDescribedSettings)
{
    StoreHost c;
    const std::vector<SettingInfo> settings = c.host->settingsOf(kCustom);
    ASSERT_EQ(settings.size(), 27u);
    EXPECT_EQ(settings[0].name, "scale");
    EXPECT_EQ(settings[1].name, "offset");
    EXPECT_EQ(settings[14].name, "weights[12]");
    EXPECT_EQ(settings[14].key, FourCC("Wt12"));

    // The described defaults are the filter's own.
    HostDescriptor described;
    for (const SettingInfo& s : settings)
        described.putInteger(s.key, int32_t(s.defaultValue));
    const Image original = RandomImage(10, 8, kModeRGB, 8, false, 12);
    Image fromDefaults = original;
    ASSERT_EQ(c.host->runFilter(kCustom, fromDefaults), 0);
    Image fromDescription = original;
    ASSERT_EQ(c.host->runFilter(kCustom, fromDescription, RunOptions{.descriptor = &described}), 0);
    EXPECT_EQ(fromDescription, fromDefaults);
    EXPECT_EQ(fromDefaults, Reference(original, kDefaultWeights, 1, 128));

    // The run records every setting it used.
    Weights weights{};
    weights.cell[24] = -3;
    const HostDescriptor scripted = KernelDescriptor(weights, 4, 9);
    Image image = original;
    ASSERT_EQ(c.host->runFilter(kCustom, image, RunOptions{.descriptor = &scripted}), 0);
    EXPECT_EQ(image, Reference(original, weights, 4, 9));
    ASSERT_TRUE(c.host->recordedDescriptor);
    EXPECT_EQ(c.host->recordedDescriptor->items.size(), 27u);
    EXPECT_EQ(std::get<int32_t>(c.host->recordedDescriptor->find(FourCC("Wt24"))->value), -3);
    EXPECT_EQ(std::get<int32_t>(c.host->recordedDescriptor->find(FourCC("Scl "))->value), 4);
}

TEST(Custom, KernelFilesSaveAndLoadBackExactly)
{
    StoreHost saver;
    Image image = RandomImage(9, 9, kModeGrayscale, 8, false, 14);
    const Image original = image;
    ASSERT_EQ(RunDialog(saver, image,
                        "set 105 -999; set 129 999; set 117 7; set 130 9999; set 131 -9999; "
                        "click 1002; ok",
                        {(saver.folder / "kernel").string()}),
              0);
    EXPECT_EQ(saver.host->fileRequests, std::vector<std::string>{"Save Settings"});
    EXPECT_TRUE(saver.host->alerts.empty());
    Weights weights = kDefaultWeights;
    weights.cell[0] = -999;
    weights.cell[24] = 999;
    weights.cell[12] = 7;
    std::vector<int> values(std::begin(weights.cell), std::end(weights.cell));
    values.push_back(9999);
    values.push_back(-9999);
    const std::filesystem::path file = saver.folder / "kernel.ACF";
    EXPECT_EQ(ReadBytes(file), BigEndian(values)) << "27 big-endian values; the name gets the extension";

    // A host with no settings loads it, shows it, previews it, and saves the same bytes.
    StoreHost loader;
    Image loaded = original;
    ASSERT_EQ(RunDialog(loader, loaded, "click 1001; idle; click 1002; ok",
                        {file.string(), (loader.folder / "again.ACF").string()}),
              0);
    EXPECT_EQ(loader.host->fileRequests, (std::vector<std::string>{"Load Settings", "Save Settings"}));
    EXPECT_TRUE(loader.host->alerts.empty());
    EXPECT_EQ(CellText(loader, 0), "-999");
    EXPECT_EQ(CellText(loader, 1), "") << "a zero from a file is an empty cell";
    EXPECT_EQ(CellText(loader, 12), "7");
    EXPECT_EQ(ReadBytes(loader.folder / "again.ACF"), BigEndian(values));
    EXPECT_EQ(loaded, Reference(original, weights, 9999, -9999));
    ASSERT_TRUE(loader.host->previewImage);
    EXPECT_EQ(*loader.host->previewImage, loaded) << "the preview follows the loaded kernel";
    EXPECT_EQ(StoredBlock(loader), StoredBlock(saver));
}

TEST(Custom, BadKernelFilesAreRefusedWholeAndChangeNothing)
{
    StoreHost c;
    Image image = RandomImage(6, 6, kModeGrayscale, 8, false, 15);
    ASSERT_EQ(RunDialog(c, image, "set 105 3; set 131 50; ok"), 0);
    const std::vector<uint8_t> before = StoredBlock(c);
    ASSERT_EQ(before.size(), 92u);

    std::vector<int> good(25, 4);
    good.push_back(2);
    good.push_back(0);
    auto with = [&](size_t at, int value) {
        std::vector<int> v = good;
        v.at(at) = value;
        return BigEndian(v);
    };
    std::vector<uint8_t> shortFile = BigEndian(good);
    shortFile.pop_back();
    std::vector<uint8_t> oneByteMore = BigEndian(good);
    oneByteMore.push_back(0);
    std::vector<uint8_t> oneValueMore = BigEndian(good);
    oneValueMore.insert(oneValueMore.end(), {0, 1});
    const std::string range = "Could not load the kernel settings: the file holds a value out of range.";
    const std::string tooLong = "Could not load the kernel settings: the file cannot be read or written.";
    const std::pair<std::vector<uint8_t>, std::string> files[] = {
        {with(24, 1000), range},
        {with(5, -1000), range},
        {with(25, 0), range},
        {with(25, 10000), range},
        {with(26, -10000), range},
        {shortFile, "Could not load the kernel settings: the file ends too early."},
        {{}, "Could not load the kernel settings: the file ends too early."},
        {oneByteMore, tooLong},
        {oneValueMore, tooLong},
    };
    const std::filesystem::path path = c.folder / "bad.ACF";
    for (size_t i = 0; i < std::size(files); ++i) {
        WriteBytes(path, files[i].first);
        c.host->alerts.clear();
        ASSERT_EQ(RunDialog(c, image, "click 1001; ok", {path.string()}), 0) << "file " << i;
        ASSERT_EQ(c.host->alerts.size(), 1u) << "file " << i;
        EXPECT_EQ(c.host->alerts[0], files[i].second) << "file " << i;
        EXPECT_EQ(CellText(c, 0), "3") << "file " << i;
        EXPECT_EQ(StoredBlock(c), before) << "file " << i;
    }

    c.host->alerts.clear();
    ASSERT_EQ(RunDialog(c, image, "click 1001; ok", {(c.folder / "missing.ACF").string()}), 0);
    EXPECT_EQ(c.host->alerts, std::vector<std::string>{"Could not load the kernel settings: the file does not exist."});

    // A file the user does not pick is no failure; one that cannot be written is.
    c.host->alerts.clear();
    ASSERT_EQ(RunDialog(c, image, "click 1001; click 1002; ok"), 0);
    EXPECT_TRUE(c.host->alerts.empty());
    ASSERT_EQ(RunDialog(c, image, "click 1002; ok", {(c.folder / "no" / "k.ACF").string()}), 0);
    EXPECT_EQ(c.host->alerts,
              std::vector<std::string>{"Could not save the kernel settings: the file cannot be read or written."});
    EXPECT_FALSE(std::filesystem::exists(c.folder / "no"));
    EXPECT_EQ(StoredBlock(c), before);
}

}  // namespace
}  // namespace pictra::test
