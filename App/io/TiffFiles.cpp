// TIFF through libtiff.
//
// Reading takes the file's first image in any layout libtiff decodes (strips
// or tiles, chunky or planar, any compression it has a codec for) and maps the
// samples onto the host's conventions:
// - MinIsWhite gray is inverted, as the host's 0 is black. A lone 1-bit
//   sample is a bitmap (the host's set bit is white); other 1-, 2- and 4-bit
//   gray is scaled to 8 bits.
// - Separated inks (CMYK, multi-ink) are inverted: files count ink, the host
//   has 255 for none.
// - CIELab's signed a and b are offset by 128 (8-bit) or rescaled from 1/256
//   to the host's 1/257 steps (16-bit); float CIELab (L 0..100, a and b
//   -128..127) goes to 0..1. ICCLab is stored the host's way already.
// - The first extra sample marked as alpha is the transparency plane.
//
// Writing is uncompressed and chunky, in native byte order, so any reader
// takes it; files past classic TIFF's 4 GB limit are written as BigTIFF.
// Alpha is written unassociated (straight colour). 16-bit Lab goes out as
// ICCLab, whose steps of 1/257 are the host's own, so it round-trips exactly
// where CIELab's 1/256 steps could not.
#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <mutex>

#include <fmt/format.h>

#include "io/Codecs.h"

namespace pictra::io {
namespace {

// A tile may be larger than the image, but not absurdly so: a block buffer
// beyond the image's own size plus this margin is refused.
constexpr uint64_t kBlockSlackBytes = uint64_t(64) << 20;

// libtiff reports through per-file handlers; the first error is usually the
// cause, the rest its consequences.
struct TiffMessages {
    char firstError[512];

    void clear() { firstError[0] = '\0'; }
    std::string text(const char* fallback) const { return firstError[0] ? firstError : fallback; }
};

int KeepTiffError(TIFF*, void* userData, const char*, const char* format, va_list args)
{
    auto* messages = static_cast<TiffMessages*>(userData);
    if (messages->firstError[0] == '\0')
        std::vsnprintf(messages->firstError, sizeof messages->firstError, format, args);
    return 1;
}

int IgnoreTiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

class TiffHandle {
public:
    TiffHandle(const std::string& openPath, const char* mode, TiffMessages& messages, const std::string& shownPath)
    {
        // Whatever libtiff reports outside a file's own handlers must not reach stderr either.
        static std::once_flag silenced;
        std::call_once(silenced, [] {
            TIFFSetErrorHandler(nullptr);
            TIFFSetWarningHandler(nullptr);
        });
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        if (!options)
            Fail(shownPath, "out of memory");
        TIFFOpenOptionsSetErrorHandlerExtR(options, KeepTiffError, &messages);
        TIFFOpenOptionsSetWarningHandlerExtR(options, IgnoreTiffWarning, nullptr);
        tiff_ = TIFFOpenExt(openPath.c_str(), mode, options);
        TIFFOpenOptionsFree(options);
    }
    ~TiffHandle()
    {
        if (tiff_)
            TIFFClose(tiff_);
    }
    TiffHandle(const TiffHandle&) = delete;
    TiffHandle& operator=(const TiffHandle&) = delete;

    TIFF* get() const { return tiff_; }
    void close()
    {
        TIFFClose(tiff_);
        tiff_ = nullptr;
    }

private:
    TIFF* tiff_ = nullptr;
};

// How a file sample becomes a host sample and back.
enum class SampleKind {
    Plain,
    Inverted,  // MinIsWhite gray, separated inks
    Index,  // palette index: low bit depths are not scaled
    CieLabL,
    CieLabAB,
};

// One file sample routed to one host plane.
struct SampleRoute {
    int sample;  // within a pixel of the file's rows
    int plane;
    SampleKind kind;
};

float LoadFloat(const uint8_t* p)
{
    float value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

void StoreFloat(uint8_t* p, float value) { std::memcpy(p, &value, sizeof value); }

uint16_t LoadNative16(const uint8_t* p)
{
    uint16_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

void StoreNative16(uint8_t* p, uint16_t value) { std::memcpy(p, &value, sizeof value); }

// 16-bit CIELab a/b count 1/256 of a unit from -128; the host counts 1/257 of
// a unit from 0 with 128 at 128 * 257.
uint16_t CieLab16ToHost(uint16_t stored)
{
    const int32_t fromMinimum = int32_t(int16_t(stored)) + 32768;
    return uint16_t(std::min<int32_t>(65535, (fromMinimum * 257 + 128) / 256));
}

template <class Map>
void MapRow8(const uint8_t* in, int stride, uint32_t count, uint8_t* out, Map map)
{
    for (uint32_t i = 0; i < count; ++i)
        out[i] = map(in[size_t(i) * size_t(stride)]);
}

template <class Map>
void MapRow16(const uint8_t* in, int stride, uint32_t count, uint8_t* out, Map map)
{
    for (uint32_t i = 0; i < count; ++i)
        StoreSample16(out + 2 * size_t(i), map(LoadNative16(in + 2 * size_t(i) * size_t(stride))));
}

template <class Map>
void MapRowFloat(const uint8_t* in, int stride, uint32_t count, uint8_t* out, Map map)
{
    for (uint32_t i = 0; i < count; ++i)
        StoreFloat(out + 4 * size_t(i), map(LoadFloat(in + 4 * size_t(i) * size_t(stride))));
}

// One sample of `count` pixels from a row of the file (pixels `stride`
// samples apart, the wanted one at `route.sample`) into the host's plane at
// pixel x0.
void ReadSamples(const uint8_t* in, int stride, int bits, const SampleRoute& route, uint32_t count, Image& image,
                 int32_t y, uint32_t x0)
{
    uint8_t* rowStart = image.row(route.plane, y);
    const bool inverted = route.kind == SampleKind::Inverted;
    if (image.depth() == 1) {
        // One bit per pixel and a single sample: whole bytes, as blocks start
        // on multiples of 8 pixels (strips at 0, tiles at multiples of 16).
        uint8_t* out = rowStart + x0 / 8;
        for (uint32_t i = 0; i < (count + 7) / 8; ++i)
            out[i] = inverted ? uint8_t(~in[i]) : in[i];
        return;
    }
    if (bits < 8) {
        const uint32_t maximum = (1u << bits) - 1;
        uint8_t* out = rowStart + x0;
        for (uint32_t i = 0; i < count; ++i) {
            const size_t bit = (size_t(i) * size_t(stride) + size_t(route.sample)) * size_t(bits);
            uint32_t value = (in[bit / 8] >> (8 - bits - bit % 8)) & maximum;
            if (inverted)
                value = maximum - value;
            out[i] = uint8_t(route.kind == SampleKind::Index ? value : value * 255 / maximum);
        }
        return;
    }
    const size_t sampleBytes = size_t(bits / 8);
    const uint8_t* first = in + size_t(route.sample) * sampleBytes;
    uint8_t* out = rowStart + size_t(x0) * sampleBytes;
    switch (bits) {
    case 8:
        if (inverted)
            MapRow8(first, stride, count, out, [](uint8_t v) { return uint8_t(255 - v); });
        else if (route.kind == SampleKind::CieLabAB)
            MapRow8(first, stride, count, out, [](uint8_t v) { return uint8_t(v ^ 0x80); });
        else
            MapRow8(first, stride, count, out, [](uint8_t v) { return v; });
        break;
    case 16:
        if (inverted)
            MapRow16(first, stride, count, out, [](uint16_t v) { return uint16_t(65535 - v); });
        else if (route.kind == SampleKind::CieLabAB)
            MapRow16(first, stride, count, out, CieLab16ToHost);
        else
            MapRow16(first, stride, count, out, [](uint16_t v) { return v; });
        break;
    default:
        if (inverted)
            MapRowFloat(first, stride, count, out, [](float v) { return 1.0f - v; });
        else if (route.kind == SampleKind::CieLabL)
            MapRowFloat(first, stride, count, out, [](float v) { return v / 100.0f; });
        else if (route.kind == SampleKind::CieLabAB)
            MapRowFloat(first, stride, count, out, [](float v) { return (v + 128.0f) / 255.0f; });
        else
            MapRowFloat(first, stride, count, out, [](float v) { return v; });
    }
}

// The inverse of ReadSamples for one whole row, at 8, 16 or 32 bits.
void WriteSamples(const uint8_t* in, int depth, const SampleRoute& route, int32_t width, int stride, uint8_t* row)
{
    const size_t sampleBytes = size_t(depth / 8);
    uint8_t* first = row + size_t(route.sample) * sampleBytes;
    const size_t step = sampleBytes * size_t(stride);
    const bool inverted = route.kind == SampleKind::Inverted;
    for (int32_t x = 0; x < width; ++x) {
        uint8_t* out = first + size_t(x) * step;
        switch (depth) {
        case 8: {
            const uint8_t v = in[x];
            *out = inverted ? uint8_t(255 - v) : route.kind == SampleKind::CieLabAB ? uint8_t(v ^ 0x80) : v;
            break;
        }
        case 16: {
            const uint16_t v = LoadSample16(in + 2 * x);
            StoreNative16(out, inverted ? uint16_t(65535 - v) : v);
            break;
        }
        default: {
            const float v = LoadFloat(in + 4 * x);
            StoreFloat(out, inverted                             ? 1.0f - v
                            : route.kind == SampleKind::CieLabL  ? v * 100.0f
                            : route.kind == SampleKind::CieLabAB ? v * 255.0f - 128.0f
                                                                 : v);
        }
        }
    }
}

template <class T>
T GetDefaulted(TIFF* tiff, uint32_t tag, T fallback)
{
    T value = fallback;
    TIFFGetFieldDefaulted(tiff, tag, &value);
    return value;
}

// What the file's tags say the image is, checked against what the host holds.
struct TiffPlan {
    int16_t mode = kModeGrayscale;
    int colourPlanes = 1;
    int depth = 8;
    int alphaSample = -1;
    bool associatedAlpha = false;
    std::vector<SampleRoute> routes;  // colour planes first, then alpha
};

TiffPlan PlanTiffRead(TIFF* tiff, const std::string& path)
{
    const auto bits = GetDefaulted<uint16_t>(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    const auto samplesPerPixel = GetDefaulted<uint16_t>(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    const auto sampleFormat = GetDefaulted<uint16_t>(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    const auto compression = GetDefaulted<uint16_t>(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    const auto inkSet = GetDefaulted<uint16_t>(tiff, TIFFTAG_INKSET, INKSET_CMYK);
    uint16_t photometric = 0;
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric))
        Fail(path, "invalid TIFF file: no photometric interpretation");
    uint16_t extraCount = 0;
    uint16_t* extraTypes = nullptr;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes);
    if (extraCount >= samplesPerPixel)
        Fail(path, "invalid TIFF file: no colour samples besides the extra ones");

    TiffPlan plan;
    for (int i = 0; i < extraCount; ++i) {
        if (extraTypes[i] == EXTRASAMPLE_ASSOCALPHA || extraTypes[i] == EXTRASAMPLE_UNASSALPHA) {
            plan.alphaSample = samplesPerPixel - extraCount + i;
            plan.associatedAlpha = extraTypes[i] == EXTRASAMPLE_ASSOCALPHA;
            break;
        }
    }
    int colourSamples = samplesPerPixel - extraCount;
    // libtiff files every separated sample past the fourth as an unspecified
    // extra sample; for multi-ink files the count of inks says which are colour.
    uint16_t inks = 0;
    if (photometric == PHOTOMETRIC_SEPARATED && inkSet != INKSET_CMYK &&
        TIFFGetField(tiff, TIFFTAG_NUMBEROFINKS, &inks) && inks > colourSamples &&
        inks <= (plan.alphaSample >= 0 ? plan.alphaSample : samplesPerPixel))
        colourSamples = inks;

    SampleKind colourKind = SampleKind::Plain;
    int neededSamples = 1;
    switch (photometric) {
    case PHOTOMETRIC_MINISWHITE: colourKind = SampleKind::Inverted; break;
    case PHOTOMETRIC_MINISBLACK: break;
    case PHOTOMETRIC_PALETTE:
        plan.mode = kModeIndexed;
        colourKind = SampleKind::Index;
        break;
    case PHOTOMETRIC_YCBCR:
        // libtiff converts YCbCr to RGB only inside its JPEG codec.
        if (compression != COMPRESSION_JPEG)
            Fail(path, "YCbCr TIFF is supported only with JPEG compression");
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        [[fallthrough]];
    case PHOTOMETRIC_RGB:
        plan.mode = kModeRGB;
        neededSamples = 3;
        break;
    case PHOTOMETRIC_SEPARATED:
        colourKind = SampleKind::Inverted;
        if (inkSet == INKSET_CMYK && colourSamples >= 4) {
            plan.mode = kModeCMYK;
            neededSamples = 4;
        } else {
            plan.mode = kModeMultichannel;
            neededSamples = colourSamples;
        }
        break;
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
        plan.mode = kModeLab;
        neededSamples = 3;
        break;
    default: Fail(path, fmt::format("TIFF photometric interpretation {} is not supported", photometric));
    }
    if (colourSamples < neededSamples)
        Fail(path, fmt::format("invalid TIFF file: {} colour samples per pixel, {} needs {}", colourSamples,
                               ModeName(plan.mode), neededSamples));
    plan.colourPlanes = neededSamples;

    const bool isFloat = sampleFormat == SAMPLEFORMAT_IEEEFP;
    const bool isLab = plan.mode == kModeLab;
    const bool signedLab = sampleFormat == SAMPLEFORMAT_INT && photometric == PHOTOMETRIC_CIELAB;
    const bool unsignedInteger = sampleFormat == SAMPLEFORMAT_UINT || sampleFormat == SAMPLEFORMAT_VOID;
    const bool lowDepthAllowed = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE ||
                                 photometric == PHOTOMETRIC_PALETTE;
    bool supported = false;
    if (isFloat)
        supported = bits == 32 && plan.mode != kModeIndexed && photometric != PHOTOMETRIC_ICCLAB;
    else if (unsignedInteger || signedLab)
        supported = bits == 8 || bits == 16 || (lowDepthAllowed && (bits == 1 || bits == 2 || bits == 4));
    if (!supported || (plan.mode == kModeIndexed && bits > 8))
        Fail(path, fmt::format("{}-bit {} samples in a {} TIFF are not supported", bits,
                               isFloat           ? "floating-point"
                               : unsignedInteger ? "integer"
                                                 : "signed",
                               ModeName(plan.mode)));

    if (plan.mode == kModeIndexed && plan.alphaSample >= 0)
        Fail(path, "palette TIFF with transparency is not supported");

    // A bitmap is a lone 1-bit sample; 1-bit gray beside other samples is read as 8-bit gray.
    if (bits == 1 && plan.mode == kModeGrayscale && samplesPerPixel == 1)
        plan.mode = kModeBitmap;
    plan.depth = plan.mode == kModeBitmap ? 1 : bits <= 8 ? 8 : bits;
    for (int plane = 0; plane < plan.colourPlanes; ++plane) {
        SampleKind kind = colourKind;
        if (isLab && photometric == PHOTOMETRIC_CIELAB)
            kind = plane == 0 ? SampleKind::CieLabL : SampleKind::CieLabAB;
        plan.routes.push_back({plane, plane, kind});
    }
    if (plan.alphaSample >= 0)
        plan.routes.push_back({plan.alphaSample, plan.colourPlanes, SampleKind::Plain});
    return plan;
}

std::vector<std::array<uint8_t, 3>> ReadColourMap(TIFF* tiff, int bits, const std::string& path)
{
    uint16_t* red = nullptr;
    uint16_t* green = nullptr;
    uint16_t* blue = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_COLORMAP, &red, &green, &blue))
        Fail(path, "invalid TIFF file: palette image without a colour map");
    const size_t entries = size_t(1) << bits;
    // Some writers store 8-bit values in the 16-bit map; if every entry fits
    // in a byte, that is what they are.
    bool eightBit = true;
    for (size_t i = 0; i < entries; ++i)
        eightBit = eightBit && red[i] < 256 && green[i] < 256 && blue[i] < 256;
    const auto toByte = [eightBit](uint16_t v) { return uint8_t(eightBit ? v : (uint32_t(v) * 255 + 32767) / 65535); };
    std::vector<std::array<uint8_t, 3>> palette(entries);
    for (size_t i = 0; i < entries; ++i)
        palette[i] = {toByte(red[i]), toByte(green[i]), toByte(blue[i])};
    return palette;
}

double ReadResolution(TIFF* tiff, double fallback)
{
    float pixelsPerUnit = 0;
    if (!TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &pixelsPerUnit) || !(pixelsPerUnit > 0) ||
        !std::isfinite(pixelsPerUnit))
        return fallback;
    switch (GetDefaulted<uint16_t>(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH)) {
    case RESUNIT_INCH: return pixelsPerUnit;
    case RESUNIT_CENTIMETER: return PixelsPerInchFromMetre(pixelsPerUnit * 100.0);
    default: return fallback;
    }
}

uint64_t SizeOfFile(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) ? uint64_t(status.st_size) : UINT64_MAX;
}

// Decodes every strip or tile the routes need and routes their samples into
// the image. With planar data each route reads its own sample's blocks.
void ReadPixels(TIFF* tiff, TiffMessages& messages, const TiffPlan& plan, Image& image, const std::string& path)
{
    const uint32_t width = uint32_t(image.width());
    const uint32_t height = uint32_t(image.height());
    const auto bits = GetDefaulted<uint16_t>(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    const auto samplesPerPixel = GetDefaulted<uint16_t>(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    const bool planar = samplesPerPixel > 1 && GetDefaulted<uint16_t>(tiff, TIFFTAG_PLANARCONFIG,
                                                                      PLANARCONFIG_CONTIG) == PLANARCONFIG_SEPARATE;
    const bool tiled = TIFFIsTiled(tiff) != 0;
    const char* blockName = tiled ? "tile" : "strip";
    uint32_t blockWidth = width;
    uint32_t blockHeight = 0;
    if (tiled) {
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &blockWidth);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &blockHeight);
    } else {
        blockHeight = std::min(GetDefaulted<uint32_t>(tiff, TIFFTAG_ROWSPERSTRIP, height), height);
    }
    messages.clear();
    const tmsize_t blockBytes = tiled ? TIFFTileSize(tiff) : TIFFStripSize(tiff);
    const tmsize_t rowBytes = tiled ? TIFFTileRowSize(tiff) : TIFFScanlineSize(tiff);
    if (blockWidth == 0 || blockHeight == 0 || blockBytes <= 0 || rowBytes <= 0 ||
        uint64_t(rowBytes) * blockHeight > uint64_t(blockBytes))
        Fail(path, fmt::format("invalid TIFF file: {}", messages.text("bad strip or tile layout")));
    const uint64_t imageBytes = uint64_t(TIFFScanlineSize(tiff)) * height;
    if (uint64_t(blockBytes) > imageBytes + kBlockSlackBytes)
        Fail(path, fmt::format("invalid TIFF file: {} {} x {} is far larger than the image", blockName, blockWidth,
                               blockHeight));

    const uint64_t fileSize = SizeOfFile(path);
    const int stride = planar ? 1 : samplesPerPixel;
    std::vector<uint8_t> block(static_cast<size_t>(blockBytes));
    const size_t passes = planar ? plan.routes.size() : 1;
    for (size_t pass = 0; pass < passes; ++pass) {
        const uint16_t blockSample = planar ? uint16_t(plan.routes[pass].sample) : 0;
        for (uint32_t y0 = 0; y0 < height; y0 += blockHeight) {
            for (uint32_t x0 = 0; x0 < width; x0 += blockWidth) {
                const uint32_t index =
                    tiled ? TIFFComputeTile(tiff, x0, y0, 0, blockSample) : TIFFComputeStrip(tiff, y0, blockSample);
                const uint64_t offset = TIFFGetStrileOffset(tiff, index);
                const uint64_t byteCount = TIFFGetStrileByteCount(tiff, index);
                if (offset > fileSize || byteCount > fileSize - offset)
                    Fail(path, fmt::format("truncated {} {}", blockName, index));
                const uint32_t rows = std::min(blockHeight, height - y0);
                const uint32_t columns = std::min(blockWidth, width - x0);
                const tmsize_t expected = tiled ? blockBytes : rowBytes * tmsize_t(rows);
                messages.clear();
                const tmsize_t decoded = tiled ? TIFFReadEncodedTile(tiff, index, block.data(), expected)
                                               : TIFFReadEncodedStrip(tiff, index, block.data(), expected);
                if (decoded < 0)
                    Fail(path, fmt::format("cannot decode {} {}: {}", blockName, index, messages.text("read error")));
                if (decoded < expected)
                    Fail(path, fmt::format("truncated {} {}", blockName, index));
                for (uint32_t row = 0; row < rows; ++row) {
                    const uint8_t* in = block.data() + size_t(row) * size_t(rowBytes);
                    for (size_t route = planar ? pass : 0; route < (planar ? pass + 1 : plan.routes.size()); ++route) {
                        SampleRoute routed = plan.routes[route];
                        if (planar)
                            routed.sample = 0;
                        ReadSamples(in, stride, bits, routed, columns, image, int32_t(y0 + row), x0);
                    }
                }
            }
        }
    }
}

}  // namespace

Image ReadTiff(const std::string& path)
{
    TiffMessages messages{};
    TiffHandle handle(path, "rm", messages, path);
    TIFF* tiff = handle.get();
    if (!tiff)
        Fail(path, fmt::format("invalid TIFF file: {}", messages.text("cannot read the header")));
    uint32_t width = 0;
    uint32_t height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    CheckDimensions(path, width, height);

    const TiffPlan plan = PlanTiffRead(tiff, path);
    Image image(int32_t(width), int32_t(height), plan.mode, plan.depth, plan.alphaSample >= 0, plan.colourPlanes,
                WorkingMarginFor(plan.depth));
    if (plan.mode == kModeIndexed)
        image.palette = ReadColourMap(tiff, GetDefaulted<uint16_t>(tiff, TIFFTAG_BITSPERSAMPLE, 1), path);
    ReadPixels(tiff, messages, plan, image, path);
    ClearPaddingBits(image);
    if (plan.associatedAlpha)
        MatteAssociatedColour(image);
    else if (plan.alphaSample >= 0)
        MatteColour(image);
    image.resolution = ReadResolution(tiff, image.resolution);
    return image;
}

void WriteTiff(const Image& image, const std::string& tempPath, const std::string& path)
{
    const int colourPlanes = image.colourPlanes();
    const int planes = image.planeCount();
    const bool indexed = image.mode() == kModeIndexed;
    const size_t colours = image.palette.size();
    const int bits = !indexed ? image.depth() : colours <= 2 ? 1 : colours <= 4 ? 2 : colours <= 16 ? 4 : 8;

    uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    SampleKind colourKind = SampleKind::Plain;
    switch (image.mode()) {
    case kModeIndexed: photometric = PHOTOMETRIC_PALETTE; break;
    case kModeRGB: photometric = PHOTOMETRIC_RGB; break;
    case kModeCMYK:
    case kModeMultichannel:
        photometric = PHOTOMETRIC_SEPARATED;
        colourKind = SampleKind::Inverted;
        break;
    case kModeLab: photometric = image.depth() == 16 ? PHOTOMETRIC_ICCLAB : PHOTOMETRIC_CIELAB; break;
    default: break;
    }
    std::vector<SampleRoute> routes;
    for (int plane = 0; plane < planes; ++plane) {
        SampleKind kind = plane < colourPlanes ? colourKind : SampleKind::Plain;
        if (photometric == PHOTOMETRIC_CIELAB && plane < 3)
            kind = plane == 0 ? SampleKind::CieLabL : SampleKind::CieLabAB;
        routes.push_back({plane, plane, kind});
    }

    // Pixels plus a generous allowance for the directory and strip tables.
    constexpr uint64_t kClassicTiffLimit = uint64_t(0xf0000000);
    const uint64_t pixelBytes =
        (uint64_t(image.width()) * uint64_t(planes) * uint64_t(bits) + 7) / 8 * uint64_t(image.height());
    TiffMessages messages{};
    TiffHandle handle(tempPath, pixelBytes > kClassicTiffLimit ? "w8" : "w", messages, path);
    TIFF* tiff = handle.get();
    if (!tiff)
        Fail(path, fmt::format("cannot write TIFF: {}", messages.text("cannot create the file")));
    const auto fail = [&]() { Fail(path, fmt::format("cannot write TIFF: {}", messages.text("libtiff refused"))); };

    bool tagsSet = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(image.width())) &&
                   TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(image.height())) &&
                   TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(bits)) &&
                   TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(planes)) &&
                   TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT,
                                uint16_t(image.depth() == 32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT)) &&
                   TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, photometric) &&
                   TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG)) &&
                   TIFFSetField(tiff, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_NONE)) &&
                   TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0));
    if (tagsSet && image.resolution > 0 && std::isfinite(image.resolution)) {
        tagsSet = TIFFSetField(tiff, TIFFTAG_XRESOLUTION, float(image.resolution)) &&
                  TIFFSetField(tiff, TIFFTAG_YRESOLUTION, float(image.resolution)) &&
                  TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, uint16_t(RESUNIT_INCH));
    }
    if (tagsSet && image.hasTransparency()) {
        uint16_t alphaType = EXTRASAMPLE_UNASSALPHA;
        tagsSet = TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, uint16_t(1), &alphaType);
    }
    if (tagsSet && photometric == PHOTOMETRIC_SEPARATED) {
        tagsSet = image.mode() == kModeCMYK ? TIFFSetField(tiff, TIFFTAG_INKSET, uint16_t(INKSET_CMYK))
                                            : TIFFSetField(tiff, TIFFTAG_INKSET, uint16_t(INKSET_MULTIINK)) &&
                                                  TIFFSetField(tiff, TIFFTAG_NUMBEROFINKS, uint16_t(colourPlanes));
    }
    std::vector<uint16_t> colourMap[3];
    if (tagsSet && indexed) {
        // The map has an entry for every index the bit depth allows; the rest are black.
        for (auto& channel : colourMap)
            channel.assign(size_t(1) << bits, 0);
        for (size_t entry = 0; entry < colours; ++entry)
            for (int channel = 0; channel < 3; ++channel)
                colourMap[channel][entry] = uint16_t(image.palette[entry][size_t(channel)] * 257);
        tagsSet = TIFFSetField(tiff, TIFFTAG_COLORMAP, colourMap[0].data(), colourMap[1].data(), colourMap[2].data());
    }
    if (!tagsSet)
        fail();

    std::vector<uint8_t> row(size_t(TIFFScanlineSize(tiff)));
    StraightRows source(image);
    for (int32_t y = 0; y < image.height(); ++y) {
        if (image.mode() == kModeBitmap) {
            // MinIsBlack: a set bit is white in the file as in the host.
            std::memcpy(row.data(), image.row(0, y), row.size());
        } else if (indexed) {
            std::fill(row.begin(), row.end(), 0);
            const uint8_t* index = image.row(0, y);
            for (int32_t x = 0; x < image.width(); ++x) {
                const size_t bit = size_t(x) * size_t(bits);
                row[bit / 8] = uint8_t(row[bit / 8] | index[x] << (8 - bits - int(bit % 8)));
            }
        } else {
            const uint8_t* const* planeRows = source.row(y);
            for (const SampleRoute& route : routes)
                WriteSamples(planeRows[route.plane], image.depth(), route, image.width(), planes, row.data());
        }
        if (TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0) < 0)
            fail();
    }
    if (!TIFFFlush(tiff))
        fail();
    messages.clear();
    handle.close();
    if (messages.firstError[0])
        fail();
}

}  // namespace pictra::io
