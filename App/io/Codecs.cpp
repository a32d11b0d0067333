#include "io/Codecs.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

namespace pictra::io {

void Fail(const std::string& path, const std::string& what) { throw ImageFileError(fmt::format("{}: {}", path, what)); }

void CheckDimensions(const std::string& path, uint64_t width, uint64_t height)
{
    if (width == 0 || height == 0)
        Fail(path, fmt::format("image has no pixels ({} x {})", width, height));
    if (width > 32767 || height > 32767)
        Fail(path, fmt::format("image is {} x {} pixels; at most 32767 a side is supported", width, height));
}

double PixelsPerInchFromMetre(double pixelsPerMetre)
{
    constexpr double kMetresPerInch = 0.0254;
    const double pixelsPerInch = pixelsPerMetre * kMetresPerInch;
    const double whole = std::round(pixelsPerInch);
    return whole >= 1 && std::abs(whole / kMetresPerInch - pixelsPerMetre) <= 1.0 ? whole : pixelsPerInch;
}

void ClearPaddingBits(Image& image)
{
    const int usedBits = image.width() % 8;
    if (image.depth() != 1 || usedBits == 0)
        return;
    const uint8_t mask = uint8_t(0xff << (8 - usedBits));
    for (int32_t y = 0; y < image.height(); ++y)
        image.row(0, y)[image.rowBytes() - 1] &= mask;
}

CFile::CFile(const std::string& openPath, const char* mode, const std::string& shownPath)
    : file_(std::fopen(openPath.c_str(), mode)), shownPath_(shownPath)
{
    if (!file_)
        Fail(shownPath, fmt::format("cannot open: {}", std::strerror(errno)));
}

CFile::~CFile()
{
    if (file_)
        std::fclose(file_);
}

void CFile::close()
{
    std::FILE* file = file_;
    file_ = nullptr;
    const bool failedBefore = std::ferror(file) != 0;
    if (std::fclose(file) != 0)
        Fail(shownPath_, fmt::format("cannot write: {}", std::strerror(errno)));
    if (failedBefore)
        Fail(shownPath_, "cannot write: output error");
}

uint64_t FileSize(std::FILE* file, const std::string& path)
{
    struct stat status {};
    if (fstat(fileno(file), &status) != 0)
        Fail(path, fmt::format("cannot read: {}", std::strerror(errno)));
    return S_ISREG(status.st_mode) ? uint64_t(status.st_size) : UINT64_MAX;
}

namespace {

// The white matte c_m = (max - a) + a * c / max with truncating division, as
// MatteAgainstWhite does at 8 bits, and its inverse. Matted values below
// max - a cannot come from any straight colour; they un-matte as 0 instead of
// wrapping.
uint16_t MatteAgainstWhite16(uint32_t c, uint32_t a) { return uint16_t((65535 - a) + a * c / 65535); }

uint16_t UnmatteFromWhite16(uint32_t matted, uint32_t a)
{
    if (a == 0)
        return 0;
    return uint16_t((std::max(matted, 65535 - a) - (65535 - a)) * 65535 / a);
}

uint8_t UnmatteFromWhiteClamped(uint8_t matted, uint8_t a)
{
    return UnmatteFromWhite(std::max(matted, uint8_t(255 - a)), a);
}

float LoadFloat(const uint8_t* p)
{
    float value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

void StoreFloat(uint8_t* p, float value) { std::memcpy(p, &value, sizeof value); }

// Applies colour = convert(colour, alpha) to every colour sample, at the
// image's depth.
template <class Convert8, class Convert16, class ConvertFloat>
void ConvertColourByAlpha(Image& image, Convert8 convert8, Convert16 convert16, ConvertFloat convertFloat)
{
    const int alphaPlane = image.transparencyPlane();
    if (alphaPlane < 0)
        return;
    for (int plane = 0; plane < image.colourPlanes(); ++plane) {
        for (int32_t y = 0; y < image.height(); ++y) {
            uint8_t* colour = image.row(plane, y);
            const uint8_t* alpha = image.row(alphaPlane, y);
            for (int32_t x = 0; x < image.width(); ++x) {
                switch (image.depth()) {
                case 8: colour[x] = convert8(colour[x], alpha[x]); break;
                case 16:
                    StoreSample16(colour + 2 * x, convert16(LoadSample16(colour + 2 * x), LoadSample16(alpha + 2 * x)));
                    break;
                default: StoreFloat(colour + 4 * x, convertFloat(LoadFloat(colour + 4 * x), LoadFloat(alpha + 4 * x)));
                }
            }
        }
    }
}

}  // namespace

void MatteColour(Image& image)
{
    ConvertColourByAlpha(
        image, [](uint8_t c, uint8_t a) { return MatteAgainstWhite(c, a); },
        [](uint16_t c, uint16_t a) { return MatteAgainstWhite16(c, a); },
        [](float c, float a) { return (1.0f - a) + a * c; });
}

void MatteAssociatedColour(Image& image)
{
    // A premultiplied colour above its alpha is out of range; it mattes to white.
    ConvertColourByAlpha(
        image, [](uint8_t c, uint8_t a) { return uint8_t(std::min(255, c + 255 - a)); },
        [](uint16_t c, uint16_t a) { return uint16_t(std::min(65535, c + 65535 - a)); },
        [](float c, float a) { return c + (1.0f - a); });
}

StraightRows::StraightRows(const Image& image) : image_(image), rows_(size_t(image.planeCount()))
{
    if (image.hasTransparency())
        straight_.assign(size_t(image.colourPlanes()), std::vector<uint8_t>(size_t(image.rowBytes())));
}

const uint8_t* const* StraightRows::row(int32_t y)
{
    const int alphaPlane = image_.transparencyPlane();
    for (int plane = 0; plane < image_.planeCount(); ++plane) {
        if (alphaPlane < 0 || plane == alphaPlane) {
            rows_[size_t(plane)] = image_.row(plane, y);
            continue;
        }
        const uint8_t* matted = image_.row(plane, y);
        const uint8_t* alpha = image_.row(alphaPlane, y);
        uint8_t* out = straight_[size_t(plane)].data();
        for (int32_t x = 0; x < image_.width(); ++x) {
            switch (image_.depth()) {
            case 8: out[x] = UnmatteFromWhiteClamped(matted[x], alpha[x]); break;
            case 16:
                StoreSample16(out + 2 * x,
                              UnmatteFromWhite16(LoadSample16(matted + 2 * x), LoadSample16(alpha + 2 * x)));
                break;
            default: {
                const float a = LoadFloat(alpha + 4 * x);
                StoreFloat(out + 4 * x, a == 0.0f ? 0.0f : (LoadFloat(matted + 4 * x) - (1.0f - a)) / a);
            }
            }
        }
        rows_[size_t(plane)] = out;
    }
    return rows_.data();
}

void InterleaveRow(const uint8_t* const* planes, int planeCount, int sampleBytes, int32_t width, uint8_t* out)
{
    const size_t pixelBytes = size_t(planeCount) * size_t(sampleBytes);
    for (int plane = 0; plane < planeCount; ++plane) {
        const uint8_t* in = planes[plane];
        uint8_t* dst = out + size_t(plane) * size_t(sampleBytes);
        if (sampleBytes == 1) {
            for (int32_t x = 0; x < width; ++x)
                dst[size_t(x) * pixelBytes] = in[x];
        } else {
            for (int32_t x = 0; x < width; ++x)
                std::memcpy(dst + size_t(x) * pixelBytes, in + size_t(x) * size_t(sampleBytes), size_t(sampleBytes));
        }
    }
}

void DeinterleaveRow(const uint8_t* in, int planeCount, int sampleBytes, Image& image, int32_t y)
{
    const size_t pixelBytes = size_t(planeCount) * size_t(sampleBytes);
    for (int plane = 0; plane < planeCount; ++plane) {
        uint8_t* out = image.row(plane, y);
        const uint8_t* src = in + size_t(plane) * size_t(sampleBytes);
        if (sampleBytes == 1) {
            for (int32_t x = 0; x < image.width(); ++x)
                out[x] = src[size_t(x) * pixelBytes];
        } else {
            for (int32_t x = 0; x < image.width(); ++x)
                std::memcpy(out + size_t(x) * size_t(sampleBytes), src + size_t(x) * pixelBytes, size_t(sampleBytes));
        }
    }
}

}  // namespace pictra::io
