// PNM (PBM, PGM and PPM), plain (P1-P3) and raw (P4-P6), by hand: a header
// of decimal numbers and then the samples.
//
// PBM's 1 is black, the host's set bit white, so bitmaps are inverted both
// ways. Samples up to 255 read as 8 bits, above as 16 (raw 16-bit samples are
// big-endian, as the host's); a maximum other than 255 or 65535 is scaled to
// the full range.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "io/Codecs.h"

namespace pictra::io {
namespace {

bool IsPnmSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads the header's numbers and the plain formats' samples, skipping
// whitespace and # comments.
class PnmScanner {
public:
    PnmScanner(std::FILE* file, const std::string& path) : file_(file), path_(path) {}

    const std::string& path() const { return path_; }
    int get() { return std::getc(file_); }

    // The next non-space character that is not in a comment.
    int nextSignificant()
    {
        for (;;) {
            int c = get();
            if (c == '#') {
                while (c != '\n' && c != '\r' && c != EOF)
                    c = get();
            }
            if (c == EOF)
                Fail(path_, "truncated PNM file");
            if (!IsPnmSpace(c))
                return c;
        }
    }

    uint32_t number(const char* what)
    {
        int c = nextSignificant();
        if (c < '0' || c > '9')
            Fail(path_, fmt::format("invalid PNM file: expected the {}, found '{}'", what, char(c)));
        uint64_t value = 0;
        for (; c >= '0' && c <= '9'; c = get())
            value = std::min<uint64_t>(value * 10 + uint64_t(c - '0'), UINT32_MAX);
        if (c != EOF)
            std::ungetc(c, file_);
        return uint32_t(value);
    }

private:
    std::FILE* file_;
    const std::string& path_;
};

// Maps samples of 0..maxval onto the image's full 8- or 16-bit range, rounding.
class SampleScale {
public:
    SampleScale(uint32_t maxval, int depth, const std::string& path)
        : maxval_(maxval), full_(depth == 16 ? 65535u : 255u), path_(path)
    {
    }

    uint32_t operator()(uint32_t value) const
    {
        if (value > maxval_)
            Fail(path_, fmt::format("invalid PNM file: sample {} is above the maximum {}", value, maxval_));
        return (value * full_ + maxval_ / 2) / maxval_;
    }

    bool identity() const { return maxval_ == full_; }

private:
    uint32_t maxval_;
    uint32_t full_;
    const std::string& path_;
};

void StoreSample(Image& image, int plane, int32_t x, int32_t y, uint32_t value)
{
    uint8_t* row = image.row(plane, y);
    if (image.depth() == 16)
        StoreSample16(row + 2 * x, uint16_t(value));
    else
        row[x] = uint8_t(value);
}

void ReadPlainSamples(PnmScanner& scanner, bool bitmap, const SampleScale& scale, Image& image)
{
    for (int32_t y = 0; y < image.height(); ++y) {
        for (int32_t x = 0; x < image.width(); ++x) {
            if (bitmap) {
                // Plain PBM digits need no separator between them.
                const int c = scanner.nextSignificant();
                if (c != '0' && c != '1')
                    Fail(scanner.path(), fmt::format("invalid PNM file: '{}' in a bitmap", char(c)));
                image.setSample(0, x, y, c == '0' ? 1 : 0);
                continue;
            }
            for (int plane = 0; plane < image.colourPlanes(); ++plane)
                StoreSample(image, plane, x, y, scale(scanner.number("sample")));
        }
    }
}

void ReadRawSamples(std::FILE* file, const std::string& path, bool bitmap, const SampleScale& scale, Image& image)
{
    const int planes = image.colourPlanes();
    const int sampleBytes = image.depth() == 16 ? 2 : 1;
    const size_t rowBytes =
        bitmap ? size_t(image.rowBytes()) : size_t(image.width()) * size_t(planes) * size_t(sampleBytes);
    std::vector<uint8_t> row(rowBytes);
    for (int32_t y = 0; y < image.height(); ++y) {
        if (std::fread(row.data(), 1, rowBytes, file) != rowBytes)
            Fail(path, std::ferror(file) ? fmt::format("cannot read: {}", std::strerror(errno)) : "truncated PNM file");
        if (bitmap) {
            uint8_t* out = image.row(0, y);
            for (size_t i = 0; i < rowBytes; ++i)
                out[i] = uint8_t(~row[i]);
        } else if (scale.identity()) {
            DeinterleaveRow(row.data(), planes, sampleBytes, image, y);
        } else {
            for (int32_t x = 0; x < image.width(); ++x) {
                for (int plane = 0; plane < planes; ++plane) {
                    const uint8_t* in = row.data() + (size_t(x) * size_t(planes) + size_t(plane)) * size_t(sampleBytes);
                    StoreSample(image, plane, x, y, scale(sampleBytes == 2 ? LoadSample16(in) : *in));
                }
            }
        }
    }
}

}  // namespace

Image ReadPnm(std::FILE* file, const std::string& path)
{
    const uint64_t fileSize = FileSize(file, path);
    PnmScanner scanner(file, path);
    const int magic = scanner.get();
    const int kind = scanner.get() - '0';
    if (magic != 'P' || kind < 1 || kind > 7)
        Fail(path, "not a PNM file (bad signature)");
    if (kind == 7)
        Fail(path, "PAM (P7) files are not supported");
    const bool bitmap = kind == 1 || kind == 4;
    const bool raw = kind >= 4;
    const uint32_t width = scanner.number("width");
    const uint32_t height = scanner.number("height");
    const uint32_t maxval = bitmap ? 1 : scanner.number("maximum sample value");
    if (maxval == 0 || maxval > 65535)
        Fail(path, fmt::format("invalid PNM file: maximum sample value {} is outside 1 to 65535", maxval));
    // Raw samples start after exactly one whitespace character.
    if (raw && !IsPnmSpace(scanner.get()))
        Fail(path, "invalid PNM file: no whitespace between header and pixels");
    CheckDimensions(path, width, height);

    const int planes = kind == 3 || kind == 6 ? 3 : 1;
    const int depth = bitmap ? 1 : maxval > 255 ? 16 : 8;
    // The header's size is not trusted: the rest of the file must be able to
    // hold the samples before the image is allocated (a plain sample takes at
    // least one character, a raw one its bytes).
    const uint64_t samples = uint64_t(width) * height * uint64_t(planes);
    const uint64_t needed = !raw ? samples : bitmap ? (uint64_t(width) + 7) / 8 * height : samples * (depth / 8);
    const long position = std::ftell(file);
    if (position >= 0 && fileSize - uint64_t(position) < needed)
        Fail(path, "truncated PNM file");

    Image image(int32_t(width), int32_t(height),
                bitmap        ? kModeBitmap
                : planes == 3 ? kModeRGB
                              : kModeGrayscale,
                depth, false, -1, WorkingMarginFor(depth));
    const SampleScale scale(maxval, depth, path);
    if (raw)
        ReadRawSamples(file, path, bitmap, scale, image);
    else
        ReadPlainSamples(scanner, bitmap, scale, image);
    ClearPaddingBits(image);
    return image;
}

void WritePnm(const Image& image, const std::string& tempPath, const std::string& path)
{
    CFile out(tempPath, "wb", path);
    const bool bitmap = image.mode() == kModeBitmap;
    const int planes = image.colourPlanes();
    const std::string header = bitmap ? fmt::format("P4\n{} {}\n", image.width(), image.height())
                                      : fmt::format("P{}\n{} {}\n{}\n", planes == 3 ? 6 : 5, image.width(),
                                                    image.height(), image.depth() == 16 ? 65535 : 255);
    const size_t rowBytes =
        bitmap ? size_t(image.rowBytes()) : size_t(image.width()) * size_t(planes) * size_t(image.depth() / 8);
    std::vector<uint8_t> row(rowBytes);
    std::vector<const uint8_t*> planeRows(static_cast<size_t>(planes));
    // Bits past the last pixel of a PBM row are written as 0.
    const int usedBitsInLastByte = image.width() % 8;
    const uint8_t lastByteMask = usedBitsInLastByte == 0 ? 0xff : uint8_t(0xff << (8 - usedBitsInLastByte));

    const auto put = [&](const void* data, size_t size) {
        if (std::fwrite(data, 1, size, out.get()) != size)
            Fail(path, fmt::format("cannot write: {}", std::strerror(errno)));
    };
    put(header.data(), header.size());
    for (int32_t y = 0; y < image.height(); ++y) {
        if (bitmap) {
            const uint8_t* in = image.row(0, y);
            for (size_t i = 0; i < rowBytes; ++i)
                row[i] = uint8_t(~in[i]);
            row[rowBytes - 1] &= lastByteMask;
        } else {
            for (int plane = 0; plane < planes; ++plane)
                planeRows[size_t(plane)] = image.row(plane, y);
            InterleaveRow(planeRows.data(), planes, image.depth() / 8, image.width(), row.data());
        }
        put(row.data(), rowBytes);
    }
    out.close();
}

}  // namespace pictra::io
