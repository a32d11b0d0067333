// PNG through libpng.
//
// Reading keeps what the host can hold as stored: 1-bit gray as a bitmap
// (PNG's 1 is white, as the host's set bit), 8 and 16 bits as they are (both
// big-endian, as the host's), palettes as indexed images. Gray of 2 and 4 bits
// is scaled to 8 bits; a tRNS chunk becomes a transparency plane (a palette
// with tRNS therefore becomes RGB, since a per-entry alpha is not a plane).
#include <png.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "io/Codecs.h"

namespace pictra::io {
namespace {

// Deflate cannot expand data by more than 1032:1, so a file much smaller than
// its pixels over that ratio is truncated; it is refused before the image is
// allocated, so a tiny file cannot claim gigabytes.
constexpr uint64_t kDeflateMaxRatio = 1032;

// libpng reports an error by calling OnPngError, which keeps the message and
// jumps back to the setjmp in RunPngStep. Nothing with a destructor may live
// in the frames it jumps over, so every step is a lambda over plain data and
// buffers prepared outside it.
struct PngErrors {
    char message[256];
    char lastWarning[256];
    bool truncated;
    int writeErrno;
};

void OnPngError(png_structp png, png_const_charp message)
{
    auto* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
    std::snprintf(errors->message, sizeof errors->message, "%s", message);
    png_longjmp(png, 1);
}

// Warnings (a bad ancillary chunk, a known-incorrect colour profile) do not
// stop a read and would only clutter the terminal; the last one is kept
// because libpng names what is wrong with a header only in a warning.
void KeepPngWarning(png_structp png, png_const_charp message)
{
    auto* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
    std::snprintf(errors->lastWarning, sizeof errors->lastWarning, "%s", message);
}

void ReadFromFile(png_structp png, png_bytep data, size_t length)
{
    auto* file = static_cast<std::FILE*>(png_get_io_ptr(png));
    if (std::fread(data, 1, length, file) != length) {
        if (std::feof(file))
            static_cast<PngErrors*>(png_get_error_ptr(png))->truncated = true;
        png_error(png, "read error");
    }
}

void WriteToFile(png_structp png, png_bytep data, size_t length)
{
    if (std::fwrite(data, 1, length, static_cast<std::FILE*>(png_get_io_ptr(png))) != length) {
        static_cast<PngErrors*>(png_get_error_ptr(png))->writeErrno = errno;
        png_error(png, "write error");
    }
}

void FlushFile(png_structp png) { std::fflush(static_cast<std::FILE*>(png_get_io_ptr(png))); }

// Never inlined, so the setjmp stays in a frame of its own with no locals.
template <class Step>
[[gnu::noinline]] bool RunPngStep(png_structp png, Step& step)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    step();
    return true;
}

[[noreturn]] void FailRead(const std::string& path, const PngErrors& errors)
{
    if (errors.truncated)
        Fail(path, "truncated PNG file");
    if (std::strcmp(errors.message, "Invalid IHDR data") == 0 && errors.lastWarning[0] != '\0')
        Fail(path, fmt::format("invalid PNG file: {}", errors.lastWarning));
    Fail(path, fmt::format("invalid PNG file: {}", errors.message));
}

class PngReadStruct {
public:
    PngReadStruct(PngErrors& errors, const std::string& path)
        : png_(png_create_read_struct(PNG_LIBPNG_VER_STRING, &errors, OnPngError, KeepPngWarning)),
          info_(png_ ? png_create_info_struct(png_) : nullptr)
    {
        if (!info_) {
            png_destroy_read_struct(&png_, nullptr, nullptr);
            Fail(path, "out of memory");
        }
    }
    ~PngReadStruct() { png_destroy_read_struct(&png_, &info_, nullptr); }
    PngReadStruct(const PngReadStruct&) = delete;
    PngReadStruct& operator=(const PngReadStruct&) = delete;

    png_structp png() const { return png_; }
    png_infop info() const { return info_; }

private:
    png_structp png_;
    png_infop info_;
};

class PngWriteStruct {
public:
    PngWriteStruct(PngErrors& errors, const std::string& path)
        : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, &errors, OnPngError, KeepPngWarning)),
          info_(png_ ? png_create_info_struct(png_) : nullptr)
    {
        if (!info_) {
            png_destroy_write_struct(&png_, nullptr);
            Fail(path, "out of memory");
        }
    }
    ~PngWriteStruct() { png_destroy_write_struct(&png_, &info_); }
    PngWriteStruct(const PngWriteStruct&) = delete;
    PngWriteStruct& operator=(const PngWriteStruct&) = delete;

    png_structp png() const { return png_; }
    png_infop info() const { return info_; }

private:
    png_structp png_;
    png_infop info_;
};

struct PngHeader {
    png_uint_32 width;
    png_uint_32 height;
    int bitDepth;
    int colourType;
    int channels;
    bool hasTrns;
    png_uint_32 pixelsPerMetre;
    int resolutionUnit;
};

// The rows libpng hands over once the transforms are set.
struct PngRowLayout {
    int channels;
    int bitDepth;
    int passes;
    size_t rowBytes;
    int paletteSize;
    png_color palette[256];
};

}  // namespace

Image ReadPng(std::FILE* file, const std::string& path)
{
    const uint64_t fileSize = FileSize(file, path);
    PngErrors errors{};
    PngReadStruct handle(errors, path);
    png_structp png = handle.png();
    png_infop info = handle.info();

    PngHeader header{};
    auto readHeader = [&] {
        png_set_read_fn(png, file, ReadFromFile);
        // The host's own limit is checked below, with its own message.
        png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
        png_read_info(png, info);
        header.width = png_get_image_width(png, info);
        header.height = png_get_image_height(png, info);
        header.bitDepth = png_get_bit_depth(png, info);
        header.colourType = png_get_color_type(png, info);
        header.channels = png_get_channels(png, info);
        header.hasTrns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
        png_get_pHYs(png, info, &header.pixelsPerMetre, nullptr, &header.resolutionUnit);
    };
    if (!RunPngStep(png, readHeader))
        FailRead(path, errors);
    CheckDimensions(path, header.width, header.height);
    const uint64_t pixelBytes =
        (uint64_t(header.width) * uint64_t(header.channels) * uint64_t(header.bitDepth) + 7) / 8 * header.height;
    if (pixelBytes / kDeflateMaxRatio > fileSize)
        Fail(path, fmt::format("truncated PNG file: {} bytes cannot hold {} x {} pixels", fileSize, header.width,
                               header.height));

    const bool palette = header.colourType == PNG_COLOR_TYPE_PALETTE;
    PngRowLayout layout{};
    auto setUpTransforms = [&] {
        if (header.hasTrns)
            png_set_tRNS_to_alpha(png);  // also expands palettes to RGB and low-depth gray to 8 bits
        else if (palette)
            png_set_packing(png);  // indices of 1, 2 or 4 bits to a byte each, unscaled
        else if (header.colourType == PNG_COLOR_TYPE_GRAY && header.bitDepth > 1 && header.bitDepth < 8)
            png_set_expand_gray_1_2_4_to_8(png);
        layout.passes = png_set_interlace_handling(png);
        png_read_update_info(png, info);
        layout.channels = png_get_channels(png, info);
        layout.bitDepth = png_get_bit_depth(png, info);
        layout.rowBytes = png_get_rowbytes(png, info);
        png_colorp entries = nullptr;
        if (palette && !header.hasTrns && png_get_PLTE(png, info, &entries, &layout.paletteSize))
            std::memcpy(layout.palette, entries, sizeof(png_color) * size_t(layout.paletteSize));
    };
    if (!RunPngStep(png, setUpTransforms))
        FailRead(path, errors);

    const bool indexed = palette && !header.hasTrns;
    const bool bitmap = layout.bitDepth == 1 && !indexed;
    const bool transparent = layout.channels == 2 || layout.channels == 4;
    const int16_t mode = indexed                ? kModeIndexed
                         : bitmap               ? kModeBitmap
                         : layout.channels <= 2 ? kModeGrayscale
                                                : kModeRGB;
    const int depth = bitmap ? 1 : layout.bitDepth == 16 ? 16 : 8;
    Image image(int32_t(header.width), int32_t(header.height), mode, depth, transparent, -1, WorkingMarginFor(depth));
    const int sampleBytes = layout.bitDepth == 16 ? 2 : 1;
    auto storeRow = [&](const uint8_t* row, int32_t y) {
        if (bitmap)
            std::memcpy(image.row(0, y), row, size_t(image.rowBytes()));
        else
            DeinterleaveRow(row, layout.channels, sampleBytes, image, y);
    };

    // Interlaced files need every row at hand for each pass; others go a row
    // at a time, so the file's pixels are never held twice.
    const bool interlaced = layout.passes > 1;
    std::vector<uint8_t> pixels(layout.rowBytes * (interlaced ? header.height : 1));
    std::vector<png_bytep> rows(interlaced ? header.height : 0);
    for (size_t y = 0; y < rows.size(); ++y)
        rows[y] = pixels.data() + y * layout.rowBytes;
    auto readRows = [&] {
        if (interlaced) {
            png_read_image(png, rows.data());
        } else {
            for (int32_t y = 0; y < image.height(); ++y) {
                png_read_row(png, pixels.data(), nullptr);
                storeRow(pixels.data(), y);
            }
        }
        png_read_end(png, nullptr);
    };
    if (!RunPngStep(png, readRows))
        FailRead(path, errors);
    for (size_t y = 0; y < rows.size(); ++y)
        storeRow(rows[y], int32_t(y));

    if (indexed) {
        for (int entry = 0; entry < layout.paletteSize; ++entry) {
            const png_color& colour = layout.palette[entry];
            image.palette.push_back({colour.red, colour.green, colour.blue});
        }
        for (int32_t y = 0; y < image.height(); ++y) {
            const uint8_t* row = image.row(0, y);
            for (int32_t x = 0; x < image.width(); ++x) {
                if (row[x] >= layout.paletteSize)
                    Fail(path, fmt::format("invalid PNG file: pixel {},{} uses colour {} of a {}-colour palette", x, y,
                                           row[x], layout.paletteSize));
            }
        }
    }
    if (transparent)
        MatteColour(image);
    ClearPaddingBits(image);
    if (header.resolutionUnit == PNG_RESOLUTION_METER && header.pixelsPerMetre > 0)
        image.resolution = PixelsPerInchFromMetre(header.pixelsPerMetre);
    return image;
}

void WritePng(const Image& image, const std::string& tempPath, const std::string& path)
{
    CFile out(tempPath, "wb", path);
    PngErrors errors{};
    PngWriteStruct handle(errors, path);
    png_structp png = handle.png();
    png_infop info = handle.info();

    const bool transparent = image.hasTransparency();
    const bool indexed = image.mode() == kModeIndexed;
    const bool oneBytePerPixel = indexed || image.mode() == kModeBitmap;
    int colourType = PNG_COLOR_TYPE_GRAY;
    int bitDepth = image.depth();
    std::vector<png_color> palette;
    if (indexed) {
        colourType = PNG_COLOR_TYPE_PALETTE;
        // The smallest index width that holds the palette; libpng packs the bytes.
        const size_t colours = image.palette.size();
        bitDepth = colours <= 2 ? 1 : colours <= 4 ? 2 : colours <= 16 ? 4 : 8;
        for (const auto& entry : image.palette)
            palette.push_back({entry[0], entry[1], entry[2]});
    } else if (image.mode() == kModeGrayscale) {
        colourType = transparent ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY;
    } else if (image.mode() == kModeRGB) {
        colourType = transparent ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    }
    const double pixelsPerMetre = std::round(image.resolution / 0.0254);
    const bool writeResolution = pixelsPerMetre >= 1 && pixelsPerMetre <= PNG_UINT_31_MAX;

    const int planes = image.planeCount();
    const int sampleBytes = image.depth() / 8;
    std::vector<uint8_t> row(oneBytePerPixel ? 0 : size_t(image.width()) * size_t(planes) * size_t(sampleBytes));
    StraightRows source(image);
    auto write = [&] {
        png_set_write_fn(png, out.get(), WriteToFile, FlushFile);
        png_set_IHDR(png, info, png_uint_32(image.width()), png_uint_32(image.height()), bitDepth, colourType,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (indexed)
            png_set_PLTE(png, info, palette.data(), int(palette.size()));
        if (writeResolution)
            png_set_pHYs(png, info, png_uint_32(pixelsPerMetre), png_uint_32(pixelsPerMetre), PNG_RESOLUTION_METER);
        png_write_info(png, info);
        if (indexed && bitDepth < 8)
            png_set_packing(png);
        for (int32_t y = 0; y < image.height(); ++y) {
            if (oneBytePerPixel) {
                png_write_row(png, image.row(0, y));
            } else {
                InterleaveRow(source.row(y), planes, sampleBytes, image.width(), row.data());
                png_write_row(png, row.data());
            }
        }
        png_write_end(png, info);
    };
    if (!RunPngStep(png, write)) {
        if (errors.writeErrno != 0)
            Fail(path, fmt::format("cannot write: {}", std::strerror(errors.writeErrno)));
        Fail(path, fmt::format("cannot write PNG: {}", errors.message));
    }
    out.close();
}

}  // namespace pictra::io
