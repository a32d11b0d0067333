// TIFF: files from other writers in every layout, ink and Lab conventions,
// round trips, and damaged files.
#include <algorithm>
#include <cstring>

#include "App/IoTestSupport.h"

namespace pictra::test {
namespace {

void ExpectSamePixels(const Image& actual, const Image& expected, double tolerance = 0)
{
    ASSERT_EQ(actual.mode(), expected.mode());
    ASSERT_EQ(actual.depth(), expected.depth());
    ASSERT_EQ(actual.planeCount(), expected.planeCount());
    ASSERT_EQ(actual.width(), expected.width());
    ASSERT_EQ(actual.height(), expected.height());
    for (int plane = 0; plane < actual.planeCount(); ++plane) {
        if (tolerance == 0)
            EXPECT_EQ(actual.samples(plane), expected.samples(plane)) << "plane " << plane;
        else
            EXPECT_LE(Differences(actual, expected, plane).largest, tolerance) << "plane " << plane;
    }
}

// Interleaved samples as another program wrote them raw, `bytes` each, big-endian.
double RawSample(const std::vector<uint8_t>& raw, int planes, int bytes, const Image& image, int plane, int32_t x,
                 int32_t y)
{
    const size_t at = (size_t(y * image.width() + x) * size_t(planes) + size_t(plane)) * size_t(bytes);
    return bytes == 2 ? raw[at] * 256 + raw[at + 1] : raw[at];
}

TEST(TiffFiles, LittleAndBigEndianSixteenBitFilesReadAlikeAndUnreduced)
{
    const Image little = ReadImage(IoData("images/chessboard_GRAY_U16.tif"));
    const Image big = ReadImage(IoData("images/chessboard_GRAY_U16B.tif"));
    EXPECT_EQ(little, big);
    EXPECT_EQ(little.mode(), kModeGrayscale);
    EXPECT_EQ(little.depth(), 16);
    // The chessboard's samples run from 0 to 255 in a 16-bit range: read as 8
    // bits (or with the wrong byte order) they would come out 0 or multiples of 256.
    double brightest = 0;
    for (int32_t y = 0; y < little.height(); ++y)
        for (int32_t x = 0; x < little.width(); ++x)
            brightest = std::max(brightest, little.sample(0, x, y));
    EXPECT_EQ(brightest, 255);
    EXPECT_EQ(little.sample(0, 0, 0), 255);
}

TEST(TiffFiles, EveryLayoutAndCompressionReadsTheSamePixels)
{
    const Image rgb8 = ReadImage(IoData("made/ref_rgb8.png")), rgb16 = ReadImage(IoData("made/ref_rgb16.png"));
    for (const auto& [name, reference] : {std::pair{"rgb8_lzw_strips.tif", &rgb8},
                                          {"rgb8_planar_zip.tif", &rgb8},
                                          {"rgb8_tiled.tif", &rgb8},
                                          {"rgb8_bigendian.tif", &rgb8},
                                          {"rgb8_vips_tiled_lzw.tif", &rgb8},
                                          {"rgb16_planar_zip_be.tif", &rgb16},
                                          {"rgb16_vips_deflate.tif", &rgb16},
                                          {"rgb16.ppm", &rgb16}}) {
        SCOPED_TRACE(name);
        ExpectSamePixels(ReadImage(IoData(std::string("made/") + name)), *reference);
    }
    // JPEG inside TIFF: YCbCr converted to RGB, and gray.
    const Image ycbcr = ReadImage(IoData("made/rgb8_ycbcr_jpeg.tif"));
    ExpectSamePixels(ycbcr, rgb8, 40);
    const Image gray8 = ReadImage(IoData("made/ref_gray8.png"));
    const Image grayJpeg = ReadImage(IoData("made/gray8_vips_jpeg.tif"));
    ExpectSamePixels(grayJpeg, gray8, 40);
    for (int plane = 0; plane < 3; ++plane)
        EXPECT_LT(Differences(ycbcr, rgb8, plane).mean, 4);
    EXPECT_LT(Differences(grayJpeg, gray8, 0).mean, 3);
    // vips stores 72 ppi as 28.34 pixels per centimetre.
    EXPECT_EQ(grayJpeg.resolution, 72);
}

TEST(TiffFiles, InksAreInvertedAndLabIsOffsetIntoTheHostsConventions)
{
    for (const int depth : {8, 16}) {
        SCOPED_TRACE(depth);
        const std::string suffix = std::to_string(depth);
        const Image cmyk = ReadImage(IoData("made/cmyk" + suffix + ".tif"));
        const std::vector<uint8_t> inks = ReadBytes(IoData("made/cmyk" + suffix + ".raw"));
        ASSERT_EQ(cmyk.mode(), kModeCMYK);
        ASSERT_EQ(cmyk.depth(), depth);
        const double full = depth == 16 ? 65535 : 255;
        for (int plane = 0; plane < 4; ++plane)
            for (int32_t y = 0; y < cmyk.height(); ++y)
                for (int32_t x = 0; x < cmyk.width(); ++x)
                    ASSERT_EQ(cmyk.sample(plane, x, y), full - RawSample(inks, 4, depth / 8, cmyk, plane, x, y));
    }

    // The raw file holds the writer's own 8-bit Lab: L over the full range as
    // the host's, a and b centred on 127.5 where the host centres them on 128.
    const Image lab8 = ReadImage(IoData("made/lab8.tif"));
    const std::vector<uint8_t> raw = ReadBytes(IoData("made/lab8.raw"));
    ASSERT_EQ(lab8.mode(), kModeLab);
    ASSERT_EQ(lab8.depth(), 8);
    for (int plane = 0; plane < 3; ++plane)
        for (int32_t y = 0; y < lab8.height(); ++y)
            for (int32_t x = 0; x < lab8.width(); ++x)
                ASSERT_NEAR(lab8.sample(plane, x, y), RawSample(raw, 3, 1, lab8, plane, x, y) + (plane ? 0.5 : 0), 1)
                    << plane << " at " << x << "," << y;

    // 16-bit and float CIELab against the L*, a*, b* they were made from:
    // the host has L over the full range and a, b as (value + 128) / 255 of it.
    // That writer truncates L to 15 bits and doubles it, so 16-bit L may be
    // up to three below.
    const Image lab16 = ReadImage(IoData("made/lab16_vips.tif"));
    const Image lab32 = ReadImage(IoData("made/lab32_vips.tif"));
    const std::vector<uint8_t> floats = ReadBytes(IoData("made/lab_float.raw"));
    ASSERT_EQ(lab16.depth(), 16);
    ASSERT_EQ(lab32.depth(), 32);
    ASSERT_EQ(floats.size(), size_t(lab16.width()) * size_t(lab16.height()) * 3 * sizeof(float));
    for (int32_t y = 0; y < lab16.height(); ++y) {
        for (int32_t x = 0; x < lab16.width(); ++x) {
            for (int plane = 0; plane < 3; ++plane) {
                float value;
                std::memcpy(&value, &floats[(size_t(y * lab16.width() + x) * 3 + size_t(plane)) * sizeof value],
                            sizeof value);
                const double expected = plane == 0 ? value / 100.0 : (value + 128.0) / 255.0;
                ASSERT_NEAR(lab16.sample(plane, x, y), expected * 65535, plane == 0 ? 3 : 1.5)
                    << plane << " at " << x << "," << y;
                ASSERT_NEAR(lab32.sample(plane, x, y), expected, 1e-6) << plane << " at " << x << "," << y;
            }
        }
    }
}

TEST(TiffFiles, PalettesBitmapsFloatsAndAlphaFromAnotherWriter)
{
    // The colour map's 16-bit entries are not multiples of 257: the other
    // program truncates them to 8 bits, the reader rounds.
    const Image palette = ReadImage(IoData("made/palette.tif"));
    const Image truecolour = ReadImage(IoData("made/ref_palette_rgb.png"));
    ASSERT_EQ(palette.mode(), kModeIndexed);
    ASSERT_EQ(palette.palette.size(), 4u);
    for (int32_t y = 0; y < palette.height(); ++y)
        for (int32_t x = 0; x < palette.width(); ++x)
            for (int channel = 0; channel < 3; ++channel)
                ASSERT_NEAR(palette.palette[size_t(palette.sample(0, x, y))][size_t(channel)],
                            truecolour.sample(channel, x, y), 1);

    const Image bilevel = ReadImage(IoData("made/ref_bilevel.png"));
    ASSERT_EQ(bilevel.mode(), kModeBitmap);
    for (const char* name : {"bilevel_miniswhite_g4.tif", "bilevel_minisblack.tif", "bilevel.pbm", "bilevel_plain.pbm"})
        EXPECT_EQ(ReadImage(IoData(std::string("made/") + name)).samples(0), bilevel.samples(0)) << name;

    // 4-bit gray scales to 8 bits as the PNG reader scales it.
    ExpectSamePixels(ReadImage(IoData("made/gray4.tif")), ReadImage(IoData("made/gray4.png")));

    const Image gray32 = ReadImage(IoData("made/gray32.tif"));
    const Image gray8 = ReadImage(IoData("made/ref_gray8.png"));
    ASSERT_EQ(gray32.depth(), 32);
    for (int32_t x = 0; x < gray8.width(); ++x)
        EXPECT_NEAR(gray32.sample(0, x, 7) * 255, gray8.sample(0, x, 7), 1e-3);
    const Image rgb32 = ReadImage(IoData("made/rgb32.tif"));
    const Image rgb16 = ReadImage(IoData("made/ref_rgb16.png"));
    for (int plane = 0; plane < 3; ++plane)
        for (int32_t x = 0; x < rgb16.width(); ++x)
            EXPECT_NEAR(rgb32.sample(plane, x, 11) * 65535, rgb16.sample(plane, x, 11), 0.01);

    // Straight alpha mattes exactly as the PNG does; premultiplied colour was
    // rounded once more by its writer.
    const Image rgba = ReadImage(IoData("made/ref_rgba8.png"));
    ExpectSamePixels(ReadImage(IoData("made/rgba8_unassociated.tif")), rgba);
    ExpectSamePixels(ReadImage(IoData("made/rgba8_planar.tif")), rgba);
    const Image associated = ReadImage(IoData("made/rgba8_associated.tif"));
    EXPECT_EQ(associated.samples(3), rgba.samples(3));
    ExpectSamePixels(associated, rgba, 1);
}

TEST(TiffFiles, EveryModeAndDepthRoundTrips)
{
    ScratchFolder folder;
    const std::string path = folder.path("round.tif");
    const struct {
        int16_t mode;
        int depth;
        int colourPlanes;
        int paletteSize;
    } exact[] = {
        {kModeBitmap, 1, -1, 0},       {kModeGrayscale, 8, -1, 0}, {kModeGrayscale, 16, -1, 0},
        {kModeGrayscale, 32, -1, 0},   {kModeRGB, 8, -1, 0},       {kModeRGB, 16, -1, 0},
        {kModeRGB, 32, -1, 0},         {kModeCMYK, 8, -1, 0},      {kModeCMYK, 16, -1, 0},
        {kModeLab, 8, -1, 0},          {kModeLab, 16, -1, 0},      {kModeMultichannel, 8, 2, 0},
        {kModeMultichannel, 16, 5, 0}, {kModeIndexed, 8, -1, 16},  {kModeIndexed, 8, -1, 256},
    };
    for (const auto& c : exact) {
        Image image =
            RandomImage(19, 7, c.mode, c.depth, false, uint32_t(c.mode * 100 + c.depth), c.colourPlanes, c.paletteSize);
        image.resolution = 240;
        WriteImage(image, path);
        EXPECT_EQ(ReadImage(path), image) << ModeName(c.mode) << " " << c.depth << " bits";
    }

    // Inverting floats (inks) and scaling them (Lab) costs a rounding step.
    for (const int16_t mode : {kModeCMYK, kModeLab}) {
        const Image image = RandomImage(19, 7, mode, 32, false, 7);
        WriteImage(image, path);
        ExpectSamePixels(ReadImage(path), image, 1e-6);
    }

    // A palette is stored with as many entries as its index width allows.
    const Image fiveColours = RandomImage(19, 7, kModeIndexed, 8, false, 8, -1, 5);
    WriteImage(fiveColours, path);
    const Image padded = ReadImage(path);
    EXPECT_EQ(padded.samples(0), fiveColours.samples(0));
    ASSERT_EQ(padded.palette.size(), 16u);
    EXPECT_TRUE(std::equal(fiveColours.palette.begin(), fiveColours.palette.end(), padded.palette.begin()));

    // Transparency goes out as straight colour with unassociated alpha.
    for (const int16_t mode : {kModeRGB, kModeCMYK, kModeGrayscale}) {
        for (const int depth : {8, 16, 32}) {
            SCOPED_TRACE(std::string(ModeName(mode)) + std::to_string(depth));
            Image matted = RandomImage(19, 7, mode, depth, true, 9);
            WriteImage(matted, path);
            matted = ReadImage(path);
            WriteImage(matted, path);
            const Image back = ReadImage(path);
            EXPECT_EQ(back.samples(back.transparencyPlane()), matted.samples(matted.transparencyPlane()));
            ExpectSamePixels(back, matted, depth == 32 ? 1e-5 : 1);
        }
    }
}

// A little-endian 8-bit gray TIFF with the directory ahead of the pixels and
// `rowsPerStrip` rows to a strip, so that cutting the file cuts pixels only.
// Pixel i holds i * 7 (mod 256).
std::vector<uint8_t> GrayTiff(uint32_t width, uint32_t height, uint32_t rowsPerStrip, bool minIsWhite = false)
{
    const uint32_t strips = (height + rowsPerStrip - 1) / rowsPerStrip;
    const uint32_t entries = 9;
    const uint32_t arrays = 8 + 2 + entries * 12 + 4;
    const uint32_t pixels = arrays + 8 * strips;
    std::vector<uint8_t> file = {'I', 'I', 42, 0, 8, 0, 0, 0};
    const auto put16 = [&](uint32_t v) { file.insert(file.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    const auto put32 = [&](uint32_t v) {
        file.insert(file.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    };
    const auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        put16(tag);
        put16(type);
        put32(count);
        put32(value);
    };
    put16(entries);
    entry(256, 4, 1, width);
    entry(257, 4, 1, height);
    entry(258, 3, 1, 8);
    entry(259, 3, 1, 1);
    entry(262, 3, 1, minIsWhite ? 0 : 1);
    entry(273, 4, strips, strips == 1 ? pixels : arrays);
    entry(277, 3, 1, 1);
    entry(278, 4, 1, rowsPerStrip);
    entry(279, 4, strips, strips == 1 ? width * height : arrays + 4 * strips);
    put32(0);
    if (strips > 1) {
        for (uint32_t strip = 0; strip < strips; ++strip)
            put32(pixels + strip * rowsPerStrip * width);
        for (uint32_t strip = 0; strip < strips; ++strip)
            put32(std::min(rowsPerStrip, height - strip * rowsPerStrip) * width);
    }
    for (uint32_t i = 0; i < width * height; ++i)
        file.push_back(uint8_t(i * 7));
    return file;
}

TEST(TiffFiles, DamagedFilesAndImpossibleSizesAreClearErrors)
{
    ScratchFolder folder;
    const std::string path = folder.path("gray.tif");
    const std::vector<uint8_t> whole = GrayTiff(10, 8, 2);
    WriteBytes(path, whole);
    EXPECT_EQ(ReadImage(path).sample(0, 3, 5), uint8_t((5 * 10 + 3) * 7));
    WriteBytes(path, GrayTiff(10, 8, 2, true));
    EXPECT_EQ(ReadImage(path).sample(0, 3, 5), 255 - uint8_t((5 * 10 + 3) * 7));

    // Cut inside the third of four strips of 20 bytes.
    WriteBytes(path, std::vector<uint8_t>(whole.begin(), whole.end() - 30));
    EXPECT_EQ(ErrorOf([&] { ReadImage(path); }), path + ": truncated strip 2");
    WriteBytes(path, std::vector<uint8_t>(whole.begin(), whole.begin() + 30));
    EXPECT_EQ(ErrorOf([&] { ReadImage(path); }).rfind(path + ": invalid TIFF file: ", 0), 0u);

    WriteBytes(path, GrayTiff(40000, 1, 1));
    EXPECT_EQ(ErrorOf([&] { ReadImage(path); }),
              path + ": image is 40000 x 1 pixels; at most 32767 a side is supported");
}

}  // namespace
}  // namespace pictra::test
