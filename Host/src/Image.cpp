#include "pictra/Image.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace pictra {

namespace {
constexpr size_t kMappedPlaneBytes = size_t(4) << 20;
}

void* AllocatePlaneMemory(size_t bytes)
{
    if (bytes < kMappedPlaneBytes) {
        void* memory = std::calloc(bytes == 0 ? 1 : bytes, 1);
        if (!memory)
            throw std::bad_alloc();
        return memory;
    }
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    madvise(memory, bytes, MADV_HUGEPAGE);
    return memory;
}

void FreePlaneMemory(void* memory, size_t bytes)
{
    if (bytes < kMappedPlaneBytes)
        std::free(memory);
    else
        munmap(memory, bytes);
}

int ColourPlanesOfMode(int16_t mode)
{
    switch (mode) {
    case kModeBitmap:
    case kModeGrayscale:
    case kModeIndexed:
    case kModeDuotone: return 1;
    case kModeRGB:
    case kModeHSL:
    case kModeHSB:
    case kModeLab: return 3;
    case kModeCMYK: return 4;
    default: return 0;
    }
}

const char* ModeName(int16_t mode)
{
    switch (mode) {
    case kModeBitmap: return "bitmap";
    case kModeGrayscale: return "grayscale";
    case kModeIndexed: return "indexed";
    case kModeRGB: return "rgb";
    case kModeCMYK: return "cmyk";
    case kModeHSL: return "hsl";
    case kModeHSB: return "hsb";
    case kModeMultichannel: return "multichannel";
    case kModeDuotone: return "duotone";
    case kModeLab: return "lab";
    default: return "unknown";
    }
}

Image::Image(int32_t width, int32_t height, int16_t mode, int depth, bool hasTransparency, int colourPlanes,
             int32_t margin)
    : width_(width), height_(height), mode_(mode), depth_(depth), hasTransparency_(hasTransparency), margin_(margin)
{
    if (width < 0 || height < 0 || width > 32767 || height > 32767)
        throw std::invalid_argument("image size must be 0 to 32767 pixels a side");
    if (depth != 1 && depth != 8 && depth != 16 && depth != 32)
        throw std::invalid_argument("image depth must be 1, 8, 16 or 32 bits");
    if (depth == 1 && (mode != kModeBitmap || hasTransparency))
        throw std::invalid_argument("1-bit images are bitmaps without transparency");
    colourPlanes_ = colourPlanes >= 0 ? colourPlanes : ColourPlanesOfMode(mode);
    if (colourPlanes_ <= 0)
        throw std::invalid_argument("image mode has no colour planes");
    if (margin < 0 || margin > 4096 || (margin > 0 && depth == 1))
        throw std::invalid_argument("an image margin is 0 to 4096 samples, and 0 for 1-bit images");
    rowBytes_ = int32_t((int64_t(width + 2 * margin) * depth + 7) / 8);
    origin_ = size_t(margin) * size_t(rowBytes_) + size_t(margin) * size_t(depth / 8);
    planes_.resize(size_t(planeCount()));
    for (PlaneBytes& plane : planes_)
        plane.resize(size_t(rowBytes_) * size_t(height + 2 * margin));
}

namespace {
// The bytes of a row without the margin, 1-bit rows' last partial byte included.
size_t VisibleRowBytes(const Image& image) { return size_t((int64_t(image.width()) * image.depth() + 7) / 8); }
}  // namespace

std::vector<uint8_t> Image::samples(int plane) const
{
    const size_t visible = VisibleRowBytes(*this);
    std::vector<uint8_t> bytes(visible * size_t(height_));
    for (int32_t y = 0; y < height_; ++y)
        std::memcpy(bytes.data() + size_t(y) * visible, row(plane, y), visible);
    return bytes;
}

bool operator==(const Image& a, const Image& b)
{
    if (a.width_ != b.width_ || a.height_ != b.height_ || a.mode_ != b.mode_ || a.depth_ != b.depth_ ||
        a.colourPlanes_ != b.colourPlanes_ || a.hasTransparency_ != b.hasTransparency_ || a.palette != b.palette ||
        a.resolution != b.resolution || a.foreground != b.foreground || a.background != b.background)
        return false;
    const size_t visible = VisibleRowBytes(a);
    for (int p = 0; p < a.planeCount(); ++p)
        for (int32_t y = 0; y < a.height_; ++y)
            if (std::memcmp(a.row(p, y), b.row(p, y), visible) != 0)
                return false;
    return true;
}

double Image::sample(int plane, int32_t x, int32_t y) const
{
    const uint8_t* r = row(plane, y);
    switch (depth_) {
    case 1: return (r[x >> 3] >> (7 - (x & 7))) & 1;
    case 8: return r[x];
    case 16: return LoadSample16(r + 2 * x);
    default: {
        float f;
        std::memcpy(&f, r + 4 * x, 4);
        return f;
    }
    }
}

void Image::setSample(int plane, int32_t x, int32_t y, double value)
{
    uint8_t* r = row(plane, y);
    switch (depth_) {
    case 1: {
        const uint8_t bit = uint8_t(0x80 >> (x & 7));
        r[x >> 3] = value != 0 ? uint8_t(r[x >> 3] | bit) : uint8_t(r[x >> 3] & ~bit);
        break;
    }
    case 8: r[x] = uint8_t(value); break;
    case 16: StoreSample16(r + 2 * x, uint16_t(value)); break;
    default: {
        const float f = float(value);
        std::memcpy(r + 4 * x, &f, 4);
    }
    }
}

}  // namespace pictra
