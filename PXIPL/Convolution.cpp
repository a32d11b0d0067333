// The separable convolution of 8-bit images.
//
// The region goes strip by strip, kStripWidth columns at a time, so that the
// rows a strip keeps stay in cache. Each source row the strip needs is
// convolved with the row kernel once, into a ring as deep as the column
// kernel (the blocked vector loop of the host's line convolutions); each
// output row is then the column kernel over the ring. Sums are of integers
// whose magnitudes stay below 2^24 (iplCreateConvKernel bounds the weights),
// so single-precision arithmetic is exact: the vector loops give the integer
// results in any order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "BlockedConvolution.h"
#include "ipl.h"

namespace {

using pictra::ConvolveBlocks;
using pictra::kConvolutionBlock;
using pictra::kVectorsPerBlock;
using pictra::Vector8;
using pictra::VectorAt;

constexpr int kStripWidth = 512;

// One direction of the convolution; a missing kernel is the identity.
struct Pass {
    std::vector<float> weights;
    int anchor = 0;
    int shift = 0;
    int taps() const { return int(weights.size()); }
};

Pass PassOf(const IplConvKernel* kernel)
{
    Pass pass;
    if (!kernel) {
        pass.weights = {1.0f};
        return pass;
    }
    const int taps = kernel->nCols * kernel->nRows;
    pass.weights.assign(kernel->values, kernel->values + taps);
    pass.anchor = kernel->nRows == 1 ? kernel->anchorX : kernel->anchorY;
    pass.shift = kernel->nShiftR;
    return pass;
}

struct Region {
    int left = 0, top = 0, width = 0, height = 0;
};

// The region of interest cut to the image, or the whole image.
Region RegionOf(const IplImage& image)
{
    if (!image.roi)
        return {0, 0, image.width, image.height};
    const IplROI& roi = *image.roi;
    const int left = std::max(roi.xOffset, 0);
    const int top = std::max(roi.yOffset, 0);
    const int right = std::min(roi.xOffset + roi.width, image.width);
    const int bottom = std::min(roi.yOffset + roi.height, image.height);
    return {left, top, std::max(right - left, 0), std::max(bottom - top, 0)};
}

inline float Saturated(int value) { return float(std::clamp(value, 0, 255)); }

// Samples x0 .. x0 + count - 1 of source row y as floats, outside the image
// as its border modes say: rows first, so a corner follows the top or bottom side.
[[gnu::always_inline]] inline void FetchRow(const IplImage& image, int y, int x0, int count, float* out)
{
    const int rowSide = y < 0 ? IPL_SIDE_TOP_INDEX : y >= image.height ? IPL_SIDE_BOTTOM_INDEX : -1;
    if (rowSide >= 0 && image.borderMode[rowSide] != IPL_BORDER_REPLICATE) {
        std::fill(out, out + count, Saturated(image.borderConst[rowSide]));
        return;
    }
    const auto* row = reinterpret_cast<const uint8_t*>(image.imageData) +
                      ptrdiff_t(std::clamp(y, 0, image.height - 1)) * image.widthStep;
    auto edge = [&](int side, uint8_t nearest) {
        return image.borderMode[side] == IPL_BORDER_REPLICATE ? float(nearest) : Saturated(image.borderConst[side]);
    };
    const int insideBegin = std::clamp(-x0, 0, count);
    const int insideEnd = std::clamp(image.width - x0, insideBegin, count);
    std::fill(out, out + insideBegin, edge(IPL_SIDE_LEFT_INDEX, row[0]));
    for (int i = insideBegin; i < insideEnd; ++i)
        out[i] = float(row[x0 + i]);
    std::fill(out + insideEnd, out + count, edge(IPL_SIDE_RIGHT_INDEX, row[image.width - 1]));
}

// Two output rows at once: first[x] = sum over j of weights[j] x rows[j][x],
// second[x] the same over rows[j + 1][x]. Each ring row is loaded once for
// both, which halves the loads per multiply-add.
[[gnu::always_inline]] inline void ConvolveAcross(const float* const* rows, const float* weights, int taps,
                                                  float* first, float* second, int outputs)
{
    constexpr int kHalf = kVectorsPerBlock / 2;
    for (int x = 0; x < outputs; x += kConvolutionBlock / 2) {
        Vector8 upper[kHalf] = {}, lower[kHalf] = {};
        for (int j = 0; j <= taps; ++j) {
            const float* at = rows[j] + x;
            const float upperWeight = j < taps ? weights[j] : 0.0f;
            const float lowerWeight = j > 0 ? weights[j - 1] : 0.0f;
            for (int v = 0; v < kHalf; ++v) {
                const Vector8 samples = VectorAt(at + 8 * v);
                upper[v] += upperWeight * samples;
                lower[v] += lowerWeight * samples;
            }
        }
        for (int v = 0; v < kHalf; ++v) {
            VectorAt(first + x + 8 * v) = upper[v];
            VectorAt(second + x + 8 * v) = lower[v];
        }
    }
}

// (sum + half) >> shift, saturated to a byte; the sums are exact integers.
[[gnu::always_inline]] inline int Scaled(float sum, int shift)
{
    const int half = shift > 0 ? 1 << (shift - 1) : 0;
    return std::clamp((int(sum) + half) >> shift, 0, 255);
}

struct Strip {
    const IplImage* image;
    Region in;  // the source region
    int x0;  // first column of the strip within the region
    int outputs;  // the strip's width rounded up to whole blocks
    int firstRow;  // the source row under output row 0's first column-kernel tap
    int ringRows;  // the column kernel's taps and one more, for two output rows
    std::vector<float> line, sums, lowerSums, ring;
    std::vector<const float*> slots;  // ring rows, twice round, so any ringRows consecutive slots are in order
};

// Source row r through the row kernel into its slot of the ring.
[[gnu::always_inline]] inline void FillRing(Strip& strip, const Pass& across, int r)
{
    FetchRow(*strip.image, r, strip.in.left + strip.x0 - across.anchor, strip.outputs + across.taps() - 1,
             strip.line.data());
    ConvolveBlocks(strip.line.data(), across.weights.data(), across.taps(), strip.sums.data(), strip.outputs);
    float* slot = strip.ring.data() + size_t((r - strip.firstRow) % strip.ringRows) * size_t(strip.outputs);
    for (int x = 0; x < strip.outputs; ++x)
        slot[x] = float(Scaled(strip.sums[size_t(x)], across.shift));
}

[[gnu::always_inline]] inline void StoreRow(const std::vector<float>& sums, int shift, uint8_t* row, int columns)
{
    for (int x = 0; x < columns; ++x)
        row[x] = uint8_t(Scaled(sums[size_t(x)], shift));
}

[[gnu::always_inline]] inline void ConvolveRegion(const IplImage& source, const Region& in, uint8_t* out,
                                                  int outRowBytes, int width, int height, const Pass& across,
                                                  const Pass& down)
{
    Strip strip{&source, in, 0, 0, in.top - down.anchor, down.taps() + 1, {}, {}, {}, {}, {}};
    for (strip.x0 = 0; strip.x0 < width; strip.x0 += kStripWidth) {
        const int columns = std::min(kStripWidth, width - strip.x0);
        strip.outputs = (columns + kConvolutionBlock - 1) / kConvolutionBlock * kConvolutionBlock;
        strip.line.resize(size_t(strip.outputs + across.taps() - 1));
        strip.sums.resize(size_t(strip.outputs));
        strip.lowerSums.resize(size_t(strip.outputs));
        strip.ring.resize(size_t(strip.ringRows) * size_t(strip.outputs));
        strip.slots.resize(size_t(2 * strip.ringRows));
        for (int i = 0; i < 2 * strip.ringRows; ++i)
            strip.slots[size_t(i)] = strip.ring.data() + size_t(i % strip.ringRows) * size_t(strip.outputs);

        // Output rows y and y + 1 read source rows firstRow + y to firstRow + y + taps;
        // a last, odd row reads one row past its taps (an edge copy, or the border).
        for (int r = strip.firstRow; r < strip.firstRow + down.taps() - 1; ++r)
            FillRing(strip, across, r);
        for (int y = 0; y < height; y += 2) {
            FillRing(strip, across, strip.firstRow + y + down.taps() - 1);
            FillRing(strip, across, strip.firstRow + y + down.taps());
            ConvolveAcross(strip.slots.data() + y % strip.ringRows, down.weights.data(), down.taps(), strip.sums.data(),
                           strip.lowerSums.data(), strip.outputs);
            StoreRow(strip.sums, down.shift, out + ptrdiff_t(y) * outRowBytes + strip.x0, columns);
            if (y + 1 < height)
                StoreRow(strip.lowerSums, down.shift, out + ptrdiff_t(y + 1) * outRowBytes + strip.x0, columns);
        }
    }
}

using RegionConvolution = void (*)(const IplImage&, const Region&, uint8_t*, int, int, int, const Pass&, const Pass&);

[[gnu::target("avx2,fma")]] void ConvolveRegionAvx2(const IplImage& source, const Region& in, uint8_t* out,
                                                    int outRowBytes, int width, int height, const Pass& across,
                                                    const Pass& down)
{
    ConvolveRegion(source, in, out, outRowBytes, width, height, across, down);
}

void ConvolveRegionBaseline(const IplImage& source, const Region& in, uint8_t* out, int outRowBytes, int width,
                            int height, const Pass& across, const Pass& down)
{
    ConvolveRegion(source, in, out, outRowBytes, width, height, across, down);
}

RegionConvolution BestRegionConvolution()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? ConvolveRegionAvx2
                                                                           : ConvolveRegionBaseline;
}

}  // namespace

extern "C" void iplConvolveSep2D(const IplImage* source, IplImage* destination, const IplConvKernel* xKernel,
                                 const IplConvKernel* yKernel)
{
    if (!source || !destination || !source->imageData || !destination->imageData || (xKernel && xKernel->nRows != 1) ||
        (yKernel && yKernel->nCols != 1))
        return;
    const Region in = RegionOf(*source);
    const Region out = RegionOf(*destination);
    const int width = std::min(in.width, out.width);
    const int height = std::min(in.height, out.height);
    if (width <= 0 || height <= 0)
        return;
    static const RegionConvolution convolve = BestRegionConvolution();
    auto* first =
        reinterpret_cast<uint8_t*>(destination->imageData) + ptrdiff_t(out.top) * destination->widthStep + out.left;
    convolve(*source, in, first, destination->widthStep, width, height, PassOf(xKernel), PassOf(yKernel));
}
