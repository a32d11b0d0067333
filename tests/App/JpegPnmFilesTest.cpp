// JPEG (lossy: sizes, modes, ink polarity, truncation) and PNM (parsing,
// scaling, damage, exact round trips).
#include <algorithm>
#include <string_view>

#include "App/IoTestSupport.h"

namespace pictra::test {
namespace {

using namespace std::string_view_literals;

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(JpegFiles, ReadsAPhotoAndRoundTripsEachModeClosely)
{
    const Image rocket = ReadImage(IoData("images/rocket.jpg"));
    EXPECT_EQ(rocket.width(), 640);
    EXPECT_EQ(rocket.height(), 427);
    EXPECT_EQ(rocket.mode(), kModeRGB);
    EXPECT_EQ(rocket.depth(), 8);
    EXPECT_FALSE(rocket.hasTransparency());

    ScratchFolder folder;
    for (const int16_t mode : {kModeGrayscale, kModeRGB, kModeCMYK}) {
        SCOPED_TRACE(ModeName(mode));
        Image image = RampImage(64, 48, mode);
        image.resolution = 300;
        const std::string path = folder.path("ramp.jpg");
        WriteImage(image, path);
        const Image back = ReadImage(path);
        ASSERT_EQ(back.mode(), mode);
        ASSERT_EQ(back.width(), 64);
        ASSERT_EQ(back.height(), 48);
        for (int plane = 0; plane < image.planeCount(); ++plane) {
            EXPECT_LT(Differences(back, image, plane).mean, 1.5);
            EXPECT_LE(Differences(back, image, plane).largest, 12);
        }
        // JFIF carries the resolution; CMYK files have no JFIF marker.
        EXPECT_EQ(back.resolution, mode == kModeCMYK ? 72 : 300);
    }
}

TEST(JpegFiles, CmykFromAnotherWriterHasTheHostsInkPolarity)
{
    // That writer stores 255 for no ink and says so with an Adobe marker;
    // the raw file holds its ink amounts.
    const Image cmyk = ReadImage(IoData("made/cmyk.jpg"));
    const std::vector<uint8_t> inks = ReadBytes(IoData("made/cmyk8.raw"));
    ASSERT_EQ(cmyk.mode(), kModeCMYK);
    Image expected(cmyk.width(), cmyk.height(), kModeCMYK, 8, false);
    for (int32_t y = 0; y < cmyk.height(); ++y)
        for (int32_t x = 0; x < cmyk.width(); ++x)
            for (int plane = 0; plane < 4; ++plane)
                expected.setSample(plane, x, y, 255 - inks[size_t(y * cmyk.width() + x) * 4 + size_t(plane)]);
    for (int plane = 0; plane < 4; ++plane)
        EXPECT_LT(Differences(cmyk, expected, plane).mean, 3) << plane;

    ScratchFolder folder;
    const std::string path = folder.path("cmyk.jpg");
    WriteImage(cmyk, path);
    const std::vector<uint8_t> written = ReadBytes(path);
    const std::string_view adobe = "Adobe";
    EXPECT_NE(std::search(written.begin(), written.end(), adobe.begin(), adobe.end()), written.end());
}

TEST(JpegFiles, TruncatedAndDamagedFilesAreErrors)
{
    ScratchFolder folder;
    const std::vector<uint8_t> whole = ReadBytes(IoData("images/rocket.jpg"));
    const std::string path = folder.path("cut.jpg");
    WriteBytes(path, std::vector<uint8_t>(whole.begin(), whole.begin() + long(whole.size() / 2)));
    EXPECT_EQ(ErrorOf([&] { ReadImage(path); }), path + ": truncated JPEG file");
    WriteBytes(path, std::vector<uint8_t>(whole.begin(), whole.begin() + 100));
    EXPECT_EQ(ErrorOf([&] { ReadImage(path); }), path + ": truncated JPEG file");
    // A frame header claiming 12-bit samples, which this build of the codec cannot decode.
    std::vector<uint8_t> twelveBit = whole;
    const uint8_t frameMarker[] = {0xff, 0xc0};
    const auto frame = std::search(twelveBit.begin(), twelveBit.end(), std::begin(frameMarker), std::end(frameMarker));
    ASSERT_NE(frame, twelveBit.end());
    frame[4] = 12;
    WriteBytes(path, twelveBit);
    EXPECT_EQ(ErrorOf([&] { ReadImage(path); }), path + ": invalid JPEG file: Unsupported JPEG data precision 12");
}

TEST(PnmFiles, ReadsPlainAndRawKindsWithCommentsAndScaling)
{
    ScratchFolder folder;
    const std::string path = folder.path("x.pnm");
    const struct {
        std::string_view content;
        int16_t mode;
        int depth;
        std::vector<uint8_t> planes;  // one after the other
    } files[] = {
        // Plain bitmap digits may run together; 1 is black.
        {"P1\n# a comment\n3 2\n1 0 1\n011", kModeBitmap, 1, {0b0100'0000, 0b1000'0000}},
        // Raw bitmap: padding bits, white once inverted, come back clear.
        {"P4 3 2\n\x40\xa0", kModeBitmap, 1, {0b1010'0000, 0b0100'0000}},
        // A maximum of 15 scales to 0..255, rounding to nearest.
        {"P2 4 1 15 0 1 8 15", kModeGrayscale, 8, {0, 17, 136, 255}},
        // Above 255 the image is 16-bit; 1000 scales to 0..65535.
        {"P3#c\n1 1 1000 0 500 1000", kModeRGB, 16, {0, 0, 0x80, 0, 0xff, 0xff}},
        {"P5 2 1 65535\n\x12\x34\xfe\xdc", kModeGrayscale, 16, {0x12, 0x34, 0xfe, 0xdc}},
        {"P6\n1 1\n100\n\x00\x32\x64"sv, kModeRGB, 8, {0, 128, 255}},
    };
    for (const auto& f : files) {
        WriteBytes(path, Bytes(f.content));
        const Image image = ReadImage(path);
        EXPECT_EQ(image.mode(), f.mode) << f.content;
        EXPECT_EQ(image.depth(), f.depth) << f.content;
        std::vector<uint8_t> planes;
        for (int p = 0; p < image.planeCount(); ++p) {
            const std::vector<uint8_t> samples = image.samples(p);
            planes.insert(planes.end(), samples.begin(), samples.end());
        }
        EXPECT_EQ(planes, f.planes) << f.content;
    }

    // Files from another writer.
    EXPECT_EQ(ReadImage(IoData("made/gray_plain.pgm")).samples(0), ReadImage(IoData("made/ref_gray8.png")).samples(0));
}

TEST(PnmFiles, DamagedHeadersAndPixelsAreErrors)
{
    ScratchFolder folder;
    const std::string path = folder.path("bad.pgm");
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"P5 4 4 255\n0123456789", "truncated PNM file"},
        {"P2 2 2 255 1 2 3", "truncated PNM file"},
        {"P2 2 1 9 3 10", "invalid PNM file: sample 10 is above the maximum 9"},
        {"P5 2 1 0\n\x01\x02", "invalid PNM file: maximum sample value 0 is outside 1 to 65535"},
        {"P5 2 1 70000\n\x01\x02", "invalid PNM file: maximum sample value 70000 is outside 1 to 65535"},
        {"P5 40000 1 255\n", "image is 40000 x 1 pixels; at most 32767 a side is supported"},
        {"P5 x", "invalid PNM file: expected the width, found 'x'"},
        {"P5 2 1 255x\x01\x02", "invalid PNM file: no whitespace between header and pixels"},
        {"P1 2 1 0 2", "invalid PNM file: '2' in a bitmap"},
        {"P7\nWIDTH 1\n", "PAM (P7) files are not supported"},
        {"P5 2", "truncated PNM file"},
    };
    for (const auto& [content, message] : cases) {
        WriteBytes(path, Bytes(content));
        EXPECT_EQ(ErrorOf([&] { ReadImage(path); }), path + ": " + std::string(message)) << content;
    }
}

TEST(PnmFiles, WritesRawKindsThatRoundTripExactly)
{
    ScratchFolder folder;
    Image bitmap(11, 2, kModeBitmap, 1, false);
    bitmap.setSample(0, 0, 0, 1);
    bitmap.setSample(0, 10, 1, 1);
    const std::string pbm = folder.path("b.pbm");
    WriteImage(bitmap, pbm);
    EXPECT_EQ(ReadBytes(pbm), Bytes("P4\n11 2\n\x7f\xe0\xff\xc0"));
    EXPECT_EQ(ReadImage(pbm), bitmap);

    const Image gray16 = RandomImage(5, 3, kModeGrayscale, 16, false, 11);
    WriteImage(gray16, folder.path("g.pgm"));
    EXPECT_EQ(ReadBytes(folder.path("g.pgm")).size(), std::string("P5\n5 3\n65535\n").size() + 30);
    for (const Image& image :
         {gray16, RandomImage(5, 3, kModeGrayscale, 8, false, 12), RandomImage(5, 3, kModeRGB, 8, false, 13),
          RandomImage(5, 3, kModeRGB, 16, false, 14), RandomImage(17, 3, kModeBitmap, 1, false, 15)}) {
        const std::string path = folder.path("any.pnm");
        WriteImage(image, path);
        EXPECT_EQ(ReadImage(path), image) << ModeName(image.mode()) << " " << image.depth();
    }
}

}  // namespace
}  // namespace pictra::test
