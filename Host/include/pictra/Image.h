// The host's image model: planar samples in the byte order filters receive
// them, so a pass can hand out rows without converting.
//
// - Depth 1: rows of packed bits, most significant bit first; a set bit is
//   white (bitmap images are 1-bit grayscale).
// - Depth 8: bytes.
// - Depth 16: two bytes per sample, most significant first.
// - Depth 32: native-endian float, nominally 0.0 to 1.0.
//
// Colour planes come first in the mode's order (R G B, C M Y K, L a b, ...);
// the transparency plane, when present, is last. Colour on an image with
// transparency is stored matted against white (c_m = (255 - a) + a * c / 255
// at 8 bits); file readers and writers convert at the edges.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/PluginTypes.h"

namespace pictra {

// Number of colour planes of a mode (multichannel and duotone need an explicit count).
int ColourPlanesOfMode(int16_t mode);
const char* ModeName(int16_t mode);

// Plane memory comes zeroed from the system without a fill of our own:
// large planes are mapped fresh (the kernel zeroes pages as they are first
// touched) and asked to use huge pages, so a 50 MB image costs a few dozen
// page faults instead of twelve thousand; small planes come from calloc.
void* AllocatePlaneMemory(size_t bytes);
void FreePlaneMemory(void* memory, size_t bytes);

template <class T>
struct PlaneAllocator {
    using value_type = T;
    PlaneAllocator() = default;
    template <class U>
    PlaneAllocator(const PlaneAllocator<U>&) noexcept
    {
    }
    T* allocate(size_t n) { return static_cast<T*>(AllocatePlaneMemory(n * sizeof(T))); }
    void deallocate(T* p, size_t n) noexcept { FreePlaneMemory(p, n * sizeof(T)); }
    // Value-initialising is a no-op: fresh memory is zero already. (A plane is
    // sized once, when its image is made; it is never shrunk and regrown.)
    template <class U>
    void construct(U*) noexcept
    {
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    friend bool operator==(const PlaneAllocator&, const PlaneAllocator&) { return true; }
};

// One plane's samples.
using PlaneBytes = std::vector<uint8_t, PlaneAllocator<uint8_t>>;

struct Colour {
    std::array<uint8_t, 4> samples{};  // in the image's mode, as FilterRecord::foreColor
    friend bool operator==(const Colour&, const Colour&) = default;
};

// The margin of a run's snapshot and of the images read from files (depth 8
// and up). A neighbourhood filter's border is laid in it in place, and a run
// that keeps no "before" swaps such an image's plane with the snapshot's
// instead of copying it. It covers the borders of the common neighbourhoods
// (rank filters, Custom, Gaussians up to a radius of about 20) for about 6 %
// more memory on a 4096-pixel image; wider borders are padded in a buffer.
constexpr int32_t kWorkingMargin = 64;
inline int32_t WorkingMarginFor(int depth) { return depth == 1 ? 0 : kWorkingMargin; }

class Image {
public:
    Image() = default;
    // colourPlanes < 0 takes the mode's own count. A margin of that many
    // samples (rows and columns, depth 8 and up) surrounds each plane, so a
    // neighbourhood's border can be laid around it without copying the plane;
    // row(plane, y) then also reaches rows -margin to height + margin - 1.
    Image(int32_t width, int32_t height, int16_t mode, int depth, bool hasTransparency, int colourPlanes = -1,
          int32_t margin = 0);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    int16_t mode() const { return mode_; }
    int depth() const { return depth_; }
    int colourPlanes() const { return colourPlanes_; }
    bool hasTransparency() const { return hasTransparency_; }
    int planeCount() const { return colourPlanes_ + (hasTransparency_ ? 1 : 0); }
    int transparencyPlane() const { return hasTransparency_ ? colourPlanes_ : -1; }
    int32_t rowBytes() const { return rowBytes_; }
    int32_t margin() const { return margin_; }
    bool empty() const { return width_ == 0 || height_ == 0; }

    uint8_t* row(int plane, int32_t y)
    {
        assert(hasRow(plane, y));
        return planes_[plane].data() + origin_ + ptrdiff_t(y) * rowBytes_;
    }
    const uint8_t* row(int plane, int32_t y) const
    {
        assert(hasRow(plane, y));
        return planes_[plane].data() + origin_ + ptrdiff_t(y) * rowBytes_;
    }
    // Whether row(plane, y) is a row of the image or of its margin.
    bool hasRow(int plane, int32_t y) const
    {
        return plane >= 0 && plane < planeCount() && y >= -margin_ && y < height_ + margin_;
    }
    // A plane's memory, margin included.
    PlaneBytes& plane(int index) { return planes_[index]; }
    const PlaneBytes& plane(int index) const { return planes_[index]; }
    // A plane's samples without its margin, row after row.
    std::vector<uint8_t> samples(int plane) const;

    // Sample access for tests and tools (not for hot loops): 1-bit gives 0/1,
    // 16-bit the host-order value, 32-bit the float.
    double sample(int plane, int32_t x, int32_t y) const;
    void setSample(int plane, int32_t x, int32_t y, double value);

    // Indexed images: RGB triples, at most 256.
    std::vector<std::array<uint8_t, 3>> palette;
    // Pixels per inch.
    double resolution = 72.0;
    Colour foreground;
    Colour background;

    // Same size, mode, samples and metadata; margins are not compared.
    friend bool operator==(const Image&, const Image&);

private:
    int32_t width_ = 0;
    int32_t height_ = 0;
    int16_t mode_ = kModeRGB;
    int depth_ = 8;
    int colourPlanes_ = 0;
    bool hasTransparency_ = false;
    int32_t rowBytes_ = 0;
    int32_t margin_ = 0;
    size_t origin_ = 0;  // bytes from a plane's start to sample (0, 0)
    std::vector<PlaneBytes> planes_;
};

// 16-bit samples in the host's byte order.
inline uint16_t LoadSample16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline void StoreSample16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// White matte at 8 bits: colour c with alpha a <-> matted colour stored by the host.
inline uint8_t MatteAgainstWhite(uint8_t c, uint8_t a) { return uint8_t((255 - a) + a * c / 255); }
// The smallest straight colour that mattes back to `matted` (rounding up,
// where matting rounds down), so an image read from a file the host wrote
// comes back with exactly the stored values; a matted value darker than its
// alpha allows gives 0.
inline uint8_t UnmatteFromWhite(uint8_t matted, uint8_t a)
{
    const int k = matted - 255 + a;
    if (a == 0 || k <= 0)
        return 0;
    return uint8_t(std::min(255, (255 * k + a - 1) / a));
}

}  // namespace pictra
