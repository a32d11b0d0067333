// PNG: the whole PngSuite, reference decodes, corrupt files, round trips.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "App/IoTestSupport.h"

namespace pictra::test {
namespace {

std::vector<std::string> SuiteFiles(bool corrupt)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(IoData("pngsuite"))) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() == ".png" && (name[0] == 'x') == corrupt)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Pixels as [r, g, b, a, ...] from the reference decodes.
std::vector<double> ReadJsonNumbers(const std::string& path)
{
    std::ifstream in(path);
    std::vector<double> numbers;
    std::string token;
    for (char c; in.get(c);) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            token += c;
        } else if (!token.empty()) {
            numbers.push_back(std::stod(token));
            token.clear();
        }
    }
    return numbers;
}

Image RoundTrip(const Image& image, const std::string& path)
{
    WriteImage(image, path);
    return ReadImage(path);
}

// Matted colour cannot survive straight colour exactly where alpha is
// partial (both directions truncate), but it comes within one level.
void ExpectMatteRoundTrip(const Image& original, const Image& back)
{
    ASSERT_EQ(back.planeCount(), original.planeCount());
    const int alpha = original.transparencyPlane();
    const double opaque = original.depth() == 16 ? 65535 : 255;
    EXPECT_EQ(back.samples(alpha), original.samples(alpha));
    for (int plane = 0; plane < alpha; ++plane) {
        for (int32_t y = 0; y < original.height(); ++y) {
            for (int32_t x = 0; x < original.width(); ++x) {
                const double difference = std::abs(back.sample(plane, x, y) - original.sample(plane, x, y));
                const double allowed = original.sample(alpha, x, y) == opaque ? 0 : 1;
                ASSERT_LE(difference, allowed) << "plane " << plane << " at " << x << "," << y;
            }
        }
    }
}

TEST(PngFiles, EveryValidSuiteFileReadsInTheModeItsNameGives)
{
    const std::vector<std::string> names = SuiteFiles(false);
    ASSERT_EQ(names.size(), 161u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const Image image = ReadImage(IoData("pngsuite/" + name));
        const char colourType = name[4];
        const int bits = std::stoi(name.substr(6, 2));
        const bool trns = name.rfind("tb", 0) == 0 || name.rfind("tm", 0) == 0 || name.rfind("tp1", 0) == 0;
        const bool alpha = trns || colourType == '4' || colourType == '6';
        EXPECT_EQ(image.hasTransparency(), alpha);
        if (colourType == '3' && !trns) {
            EXPECT_EQ(image.mode(), kModeIndexed);
            EXPECT_EQ(image.depth(), 8);
            EXPECT_GE(image.palette.size(), 1u);
            EXPECT_LE(image.palette.size(), size_t(1) << bits);
        } else if (colourType == '0' && bits == 1 && !trns) {
            EXPECT_EQ(image.mode(), kModeBitmap);
            EXPECT_EQ(image.depth(), 1);
        } else {
            EXPECT_EQ(image.mode(), colourType == '0' || colourType == '4' ? kModeGrayscale : kModeRGB);
            EXPECT_EQ(image.depth(), bits == 16 ? 16 : 8);
        }
        if (name[0] == 's') {
            const int side = std::stoi(name.substr(1, 2));
            EXPECT_EQ(image.width(), side);
            EXPECT_EQ(image.height(), side);
        }
    }
}

TEST(PngFiles, InterlacedFilesReadLikeTheirPlainTwins)
{
    int pairs = 0;
    for (const std::string& name : SuiteFiles(false)) {
        if (name[3] != 'i' || (name.rfind("bas", 0) != 0 && name[0] != 's'))
            continue;
        std::string twin = name;
        twin[3] = 'n';
        EXPECT_EQ(ReadImage(IoData("pngsuite/" + name)), ReadImage(IoData("pngsuite/" + twin))) << name;
        ++pairs;
    }
    EXPECT_EQ(pairs, 33);
}

TEST(PngFiles, AgreesWithTheReferenceDecodes)
{
    for (const char* name :
         {"basn0g01", "basn0g02", "basn0g16", "basn2c08", "basn2c16", "basn3p02", "basn4a08", "basn6a08", "basn6a16"}) {
        SCOPED_TRACE(name);
        const Image image = ReadImage(IoData(std::string("pngsuite/") + name + ".png"));
        const std::vector<double> pixels =
            ReadJsonNumbers(IoData(std::string("pngsuite/reference_json/") + name + ".json"));
        ASSERT_EQ(pixels.size(), size_t(4 * image.width() * image.height()));
        const double full = image.depth() == 16 ? 65535 : 255;
        for (int32_t y = 0; y < image.height(); ++y) {
            for (int32_t x = 0; x < image.width(); ++x) {
                const double* expected = &pixels[4 * size_t(y * image.width() + x)];
                const double alpha = expected[3];
                for (int channel = 0; channel < 3; ++channel) {
                    double actual = 0;
                    switch (image.mode()) {
                    case kModeBitmap: actual = image.sample(0, x, y) * 255; break;
                    case kModeIndexed: actual = image.palette[size_t(image.sample(0, x, y))][size_t(channel)]; break;
                    case kModeGrayscale: actual = image.sample(0, x, y); break;
                    default: actual = image.sample(channel, x, y);
                    }
                    // The host keeps colour matted against white, with truncation.
                    const double matted = (full - alpha) + std::floor(alpha * expected[channel] / full);
                    ASSERT_EQ(actual, matted) << "channel " << channel << " at " << x << "," << y;
                }
                const double actualAlpha =
                    image.hasTransparency() ? image.sample(image.transparencyPlane(), x, y) : full;
                ASSERT_EQ(actualAlpha, alpha) << x << "," << y;
            }
        }
    }
}

TEST(PngFiles, EveryCorruptSuiteFileIsRejectedWithOneLine)
{
    const std::vector<std::string> names = SuiteFiles(true);
    ASSERT_EQ(names.size(), 14u);
    for (const std::string& name : names) {
        const std::string path = IoData("pngsuite/" + name);
        const std::string message = ErrorOf([&] { ReadImage(path); });
        EXPECT_EQ(message.rfind(path + ": ", 0), 0u) << name << ": " << message;
        EXPECT_GT(message.size(), path.size() + 10) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        if (name.rfind("xs", 0) == 0 || name == "xcrn0g04.png" || name == "xlfn0g04.png")
            EXPECT_EQ(message, path + ": not a PNG file (bad signature)");
        else
            EXPECT_EQ(message.rfind(path + ": invalid PNG file: ", 0), 0u) << message;
    }
    // The header faults are named, not just "Invalid IHDR data".
    const std::pair<const char*, const char*> named[] = {
        {"xd9n2c08.png", "Invalid bit depth in IHDR"},
        {"xc9n2c08.png", "Invalid color type in IHDR"},
        {"xcsn0g01.png", "IDAT: CRC error"},
    };
    for (const auto& [name, fault] : named) {
        const std::string path = IoData(std::string("pngsuite/") + name);
        EXPECT_EQ(ErrorOf([&] { ReadImage(path); }), path + ": invalid PNG file: " + fault);
    }
}

uint32_t Crc32(const std::vector<uint8_t>& bytes, size_t from)
{
    uint32_t crc = 0xffffffff;
    for (size_t i = from; i < bytes.size(); ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

void AppendChunk(std::vector<uint8_t>& file, const char* type, const std::vector<uint8_t>& data)
{
    const auto appendBigEndian = [&](uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            file.push_back(uint8_t(value >> shift));
    };
    appendBigEndian(uint32_t(data.size()));
    const size_t start = file.size();
    file.insert(file.end(), type, type + 4);
    file.insert(file.end(), data.begin(), data.end());
    appendBigEndian(Crc32(file, start));
}

// A valid signature and header for an 8-bit gray image of the given size,
// with a few bytes of image data that could never hold it.
std::vector<uint8_t> PngClaiming(uint32_t width, uint32_t height)
{
    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
    AppendChunk(file, "IHDR",
                {uint8_t(width >> 24), uint8_t(width >> 16), uint8_t(width >> 8), uint8_t(width), uint8_t(height >> 24),
                 uint8_t(height >> 16), uint8_t(height >> 8), uint8_t(height), 8, 0, 0, 0, 0});
    AppendChunk(file, "IDAT", {0x78, 0x9c, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01});
    AppendChunk(file, "IEND", {});
    return file;
}

TEST(PngFiles, HeaderSizesAreNotTrustedAndTruncationIsAnError)
{
    ScratchFolder folder;
    const std::string wide = folder.path("wide.png");
    WriteBytes(wide, PngClaiming(40000, 10));
    EXPECT_EQ(ErrorOf([&] { ReadImage(wide); }),
              wide + ": image is 40000 x 10 pixels; at most 32767 a side is supported");
    const std::string huge = folder.path("huge.png");
    WriteBytes(huge, PngClaiming(32767, 32767));
    EXPECT_EQ(ErrorOf([&] { ReadImage(huge); }),
              huge + ": truncated PNG file: 66 bytes cannot hold 32767 x 32767 pixels");
    const std::string noRows = folder.path("no-rows.png");
    WriteBytes(noRows, PngClaiming(0, 10));
    EXPECT_EQ(ErrorOf([&] { ReadImage(noRows); }).rfind(noRows + ": invalid PNG file: ", 0), 0u);

    std::vector<uint8_t> bytes = ReadBytes(IoData("pngsuite/basn2c08.png"));
    for (const size_t keep : {size_t(40), bytes.size() / 2, bytes.size() - 12}) {
        const std::string cut = folder.path("cut.png");
        WriteBytes(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(keep)));
        EXPECT_EQ(ErrorOf([&] { ReadImage(cut); }), cut + ": truncated PNG file") << keep;
    }
}

TEST(PngFiles, EveryWritableModeAndDepthRoundTripsExactly)
{
    ScratchFolder folder;
    const std::string path = folder.path("round.png");
    std::vector<Image> images = {
        RandomImage(13, 5, kModeBitmap, 1, false, 1),     RandomImage(13, 5, kModeGrayscale, 8, false, 2),
        RandomImage(13, 5, kModeGrayscale, 16, false, 3), RandomImage(13, 5, kModeRGB, 8, false, 4),
        RandomImage(13, 5, kModeRGB, 16, false, 5),
    };
    // Palettes of 2, 3, 16, 17 and 256 colours go out as 1, 2, 4 and 8-bit indices.
    for (const int colours : {2, 3, 16, 17, 256})
        images.push_back(RandomImage(13, 5, kModeIndexed, 8, false, uint32_t(colours), -1, colours));
    images[1].resolution = 300;
    images[4].resolution = 150;
    for (const Image& image : images)
        EXPECT_EQ(RoundTrip(image, path), image) << ModeName(image.mode()) << " " << image.depth() << " bits";
}

TEST(PngFiles, TransparencyRoundTripsWithinTheMatte)
{
    ScratchFolder folder;
    for (const int16_t mode : {kModeGrayscale, kModeRGB}) {
        for (const int depth : {8, 16}) {
            Image image = RandomImage(40, 30, mode, depth, true, uint32_t(mode * depth));
            // Fully transparent and fully opaque pixels besides the random ones.
            for (int32_t x = 0; x < image.width(); ++x) {
                image.setSample(image.transparencyPlane(), x, 0, 0);
                image.setSample(image.transparencyPlane(), x, 1, depth == 16 ? 65535 : 255);
            }
            Image matted = RoundTrip(image, folder.path("matte.png"));
            SCOPED_TRACE(std::string(ModeName(mode)) + std::to_string(depth));
            ExpectMatteRoundTrip(matted, RoundTrip(matted, folder.path("again.png")));
        }
    }

    const Image dice = ReadImage(IoData("images/PNG_transparency_demonstration_1.png"));
    ASSERT_EQ(dice.mode(), kModeRGB);
    ASSERT_TRUE(dice.hasTransparency());
    ExpectMatteRoundTrip(dice, RoundTrip(dice, folder.path("dice.png")));
    // Fully transparent pixels are pure white in the host.
    for (int32_t x = 0; x < dice.width(); ++x) {
        if (dice.sample(3, x, 0) == 0) {
            ASSERT_EQ(dice.sample(0, x, 0) + dice.sample(1, x, 0) + dice.sample(2, x, 0), 3 * 255);
        }
    }
}

TEST(PngFiles, SixteenBitSamplesAndResolutionAreKept)
{
    const Image chessboard = ReadImage(IoData("images/chessboard_RGB.png"));
    EXPECT_EQ(chessboard.mode(), kModeRGB);
    EXPECT_EQ(chessboard.depth(), 16);
    EXPECT_EQ(chessboard.sample(0, 0, 0) + chessboard.sample(0, 199, 0), 65535);

    // pHYs in pixels per metre; without a unit it is only an aspect ratio.
    EXPECT_NEAR(ReadImage(IoData("pngsuite/cdun2c08.png")).resolution, 25.4, 1e-9);
    EXPECT_EQ(ReadImage(IoData("pngsuite/cdfn2c08.png")).resolution, 72);
}

}  // namespace
}  // namespace pictra::test
