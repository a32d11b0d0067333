#include "pictra/PixelRoutines.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "ByteSpans.h"

namespace pictra {
namespace {

// Arithmetic per sample encoding. Value is a sample as the kernels compute on
// it; Sum holds a weighted 3x3 sum (at most 16 x full scale) plus its rounding
// term; Signed holds 8c minus the eight neighbours and the sharpened value
// before clamping. Each is the narrowest type that fits, so the 8-bit path
// vectorises on 16-bit lanes.
template <typename Sample>
struct SampleArithmetic;

template <>
struct SampleArithmetic<uint8_t> {
    using Value = uint8_t;
    using Sum = uint16_t;
    using Signed = int16_t;
    static constexpr size_t kBytes = 1;
    static constexpr Value kFullScale = 255;
    static constexpr Value kEdgeContrast = 16;
};

template <>
struct SampleArithmetic<BigEndian16> {
    using Value = uint16_t;
    using Sum = uint32_t;
    using Signed = int32_t;
    static constexpr size_t kBytes = 2;
    static constexpr Value kFullScale = 65535;
    static constexpr Value kEdgeContrast = 4096;
};

template <>
struct SampleArithmetic<float> {
    using Value = float;
    using Sum = float;
    using Signed = float;
    static constexpr size_t kBytes = 4;
    static constexpr Value kEdgeContrast = 1.0f / 16;
};

template <typename Sample>
using ValueOf = typename SampleArithmetic<Sample>::Value;

template <typename Sample>
constexpr bool kIsFloat = std::is_same_v<Sample, float>;

// c + floor((difference + 2) / 4), clamped. The arithmetic shift rounds toward
// minus infinity, which with the + 2 rounds halves up for either sign.
template <typename Sample>
inline ValueOf<Sample> Sharpened(typename SampleArithmetic<Sample>::Signed centre,
                                 typename SampleArithmetic<Sample>::Signed difference)
{
    using Arithmetic = SampleArithmetic<Sample>;
    using Signed = typename Arithmetic::Signed;
    if constexpr (kIsFloat<Sample>) {
        return centre + difference / 4;
    } else {
        const Signed sharpened = Signed(centre + ((difference + 2) >> 2));
        return ValueOf<Sample>(std::clamp<Signed>(sharpened, 0, Arithmetic::kFullScale));
    }
}

// Row kernels. `above`, `centre` and `below` address column 0 of the three
// input rows around the output row; columns -1 and `columns` are the halo.
// The loops are plain per-column arithmetic so the compiler vectorises them.

template <typename Sample>
void Blur3x3Row(const ValueOf<Sample>* __restrict above, const ValueOf<Sample>* __restrict centre,
                const ValueOf<Sample>* __restrict below, ValueOf<Sample>* __restrict out, int32_t columns)
{
    using Sum = typename SampleArithmetic<Sample>::Sum;
    for (int32_t x = 0; x < columns; ++x) {
        const Sum top = Sum(above[x - 1] + 2 * above[x] + above[x + 1]);
        const Sum middle = Sum(centre[x - 1] + 2 * centre[x] + centre[x + 1]);
        const Sum bottom = Sum(below[x - 1] + 2 * below[x] + below[x + 1]);
        const Sum weighted = Sum(top + 2 * middle + bottom);
        if constexpr (kIsFloat<Sample>)
            out[x] = weighted / 16;
        else
            out[x] = ValueOf<Sample>(Sum(weighted + 8) >> 4);
    }
}

template <typename Sample>
void BlurMore3x3Row(const ValueOf<Sample>* __restrict above, const ValueOf<Sample>* __restrict centre,
                    const ValueOf<Sample>* __restrict below, ValueOf<Sample>* __restrict out, int32_t columns)
{
    using Sum = typename SampleArithmetic<Sample>::Sum;
    for (int32_t x = 0; x < columns; ++x) {
        const Sum top = Sum(above[x - 1] + above[x] + above[x + 1]);
        const Sum middle = Sum(centre[x - 1] + centre[x] + centre[x + 1]);
        const Sum bottom = Sum(below[x - 1] + below[x] + below[x + 1]);
        const Sum sum = Sum(top + middle + bottom);
        if constexpr (kIsFloat<Sample>)
            out[x] = sum / 9;
        else
            out[x] = ValueOf<Sample>(Sum(sum + 4) / 9);
    }
}

template <typename Sample>
void Sharpen3x3Row(const ValueOf<Sample>* __restrict above, const ValueOf<Sample>* __restrict centre,
                   const ValueOf<Sample>* __restrict below, ValueOf<Sample>* __restrict out, int32_t columns)
{
    using Signed = typename SampleArithmetic<Sample>::Signed;
    for (int32_t x = 0; x < columns; ++x) {
        const Signed c = centre[x];
        const Signed difference = Signed(4 * c - above[x] - below[x] - centre[x - 1] - centre[x + 1]);
        out[x] = Sharpened<Sample>(c, difference);
    }
}

template <typename Sample>
inline typename SampleArithmetic<Sample>::Signed EightNeighbours(const ValueOf<Sample>* __restrict above,
                                                                 const ValueOf<Sample>* __restrict centre,
                                                                 const ValueOf<Sample>* __restrict below, int32_t x)
{
    using Signed = typename SampleArithmetic<Sample>::Signed;
    return Signed(Signed(above[x - 1] + above[x] + above[x + 1]) + Signed(centre[x - 1] + centre[x + 1]) +
                  Signed(below[x - 1] + below[x] + below[x + 1]));
}

template <typename Sample>
void SharpenMore3x3Row(const ValueOf<Sample>* __restrict above, const ValueOf<Sample>* __restrict centre,
                       const ValueOf<Sample>* __restrict below, ValueOf<Sample>* __restrict out, int32_t columns)
{
    using Signed = typename SampleArithmetic<Sample>::Signed;
    for (int32_t x = 0; x < columns; ++x) {
        const Signed c = centre[x];
        const Signed difference = Signed(8 * c - EightNeighbours<Sample>(above, centre, below, x));
        out[x] = Sharpened<Sample>(c, difference);
    }
}

// Minimum and maximum without branches. Floats use the quiet comparison: an
// ordinary < may trap on NaN, which keeps the compiler from turning the
// selects into vector blends.
template <typename Value>
inline bool Below(Value a, Value b)
{
    if constexpr (std::is_floating_point_v<Value>)
        return std::isless(a, b);
    else
        return a < b;
}
template <typename Value>
inline Value Lower(Value a, Value b)
{
    return Below(b, a) ? b : a;
}
template <typename Value>
inline Value Higher(Value a, Value b)
{
    return Below(a, b) ? b : a;
}

// Sharpens every pixel first, then puts the centre back where the contrast is
// low. Two passes over an L1-resident row keep both loops free of arithmetic
// under a condition, which the compiler will not vectorise for floats.
template <typename Sample>
void SharpenEdges3x3Row(const ValueOf<Sample>* __restrict above, const ValueOf<Sample>* __restrict centre,
                        const ValueOf<Sample>* __restrict below, ValueOf<Sample>* __restrict out, int32_t columns)
{
    using Value = ValueOf<Sample>;
    SharpenMore3x3Row<Sample>(above, centre, below, out, columns);
    for (int32_t x = 0; x < columns; ++x) {
        const Value left = Lower(Lower(above[x - 1], centre[x - 1]), below[x - 1]);
        const Value middle = Lower(Lower(above[x], centre[x]), below[x]);
        const Value right = Lower(Lower(above[x + 1], centre[x + 1]), below[x + 1]);
        const Value lowest = Lower(Lower(left, middle), right);
        const Value leftHigh = Higher(Higher(above[x - 1], centre[x - 1]), below[x - 1]);
        const Value middleHigh = Higher(Higher(above[x], centre[x]), below[x]);
        const Value rightHigh = Higher(Higher(above[x + 1], centre[x + 1]), below[x + 1]);
        const Value highest = Higher(Higher(leftHigh, middleHigh), rightHigh);
        const bool isEdge = !Below(Value(highest - lowest), SampleArithmetic<Sample>::kEdgeContrast);
        out[x] = isEdge ? out[x] : centre[x];
    }
}

constexpr uint16_t ByteSwapped(uint16_t value) { return uint16_t(value << 8 | value >> 8); }

// Deep rows are converted to native values on the way in and back on the way
// out, so the row kernels see the same plain arrays at every depth.
template <typename Sample>
void LoadRow(const uint8_t* bytes, ValueOf<Sample>* values, size_t count)
{
    if constexpr (std::is_same_v<Sample, BigEndian16> && std::endian::native != std::endian::big) {
        for (size_t i = 0; i < count; ++i) {
            uint16_t stored;
            std::memcpy(&stored, bytes + 2 * i, 2);
            values[i] = ByteSwapped(stored);
        }
    } else {
        std::memcpy(values, bytes, count * sizeof(ValueOf<Sample>));
    }
}

template <typename Sample>
void StoreRow(const ValueOf<Sample>* values, uint8_t* bytes, size_t count)
{
    if constexpr (std::is_same_v<Sample, BigEndian16> && std::endian::native != std::endian::big) {
        for (size_t i = 0; i < count; ++i) {
            const uint16_t stored = ByteSwapped(values[i]);
            std::memcpy(bytes + 2 * i, &stored, 2);
        }
    } else {
        std::memcpy(bytes, values, count * sizeof(ValueOf<Sample>));
    }
}

// The rows a neighbourhood kernel reads, halo included, and the rows it
// writes share no byte, nor do two output rows: no output then depends on
// the order in which the rows are done.
template <typename Sample>
bool BlocksApart(int32_t rows, int32_t columns, const uint8_t* source, const uint8_t* destination,
                 int32_t sourceRowBytes, int32_t destinationRowBytes)
{
    constexpr auto bytes = ptrdiff_t(SampleArithmetic<Sample>::kBytes);
    const bool rowsApart = rows == 1 || std::abs(ptrdiff_t(destinationRowBytes)) >= columns * bytes;
    return rowsApart &&
           !Overlap(SpanOfRows(source - sourceRowBytes - bytes, rows + 2, sourceRowBytes, (columns + 2) * bytes),
                    SpanOfRows(destination, rows, destinationRowBytes, columns * bytes));
}

// Runs RowKernel for every row of the block. 8-bit rows are used in place;
// deeper rows pass through a sliding window of three converted rows, so each
// input row is converted once however many output rows read it.
template <typename Sample, auto RowKernel>
void ApplyByRows(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
                 int32_t destinationRowBytes)
{
    if (rows <= 0 || columns <= 0)
        return;
    assert(source && destination);
    assert((BlocksApart<Sample>(rows, columns, source, destination, sourceRowBytes, destinationRowBytes)));
    if constexpr (std::is_same_v<Sample, uint8_t>) {
        for (int32_t y = 0; y < rows; ++y) {
            const uint8_t* centre = source + ptrdiff_t(y) * sourceRowBytes;
            RowKernel(centre - sourceRowBytes, centre, centre + sourceRowBytes,
                      destination + ptrdiff_t(y) * destinationRowBytes, columns);
        }
    } else {
        using Value = ValueOf<Sample>;
        const size_t haloWidth = size_t(columns) + 2;
        std::vector<Value> buffers(3 * haloWidth + size_t(columns));
        Value* window[3] = {buffers.data(), buffers.data() + haloWidth, buffers.data() + 2 * haloWidth};
        Value* out = buffers.data() + 3 * haloWidth;
        const uint8_t* haloColumn = source - SampleArithmetic<Sample>::kBytes;
        LoadRow<Sample>(haloColumn - sourceRowBytes, window[0], haloWidth);
        LoadRow<Sample>(haloColumn, window[1], haloWidth);
        for (int32_t y = 0; y < rows; ++y) {
            LoadRow<Sample>(haloColumn + ptrdiff_t(y + 1) * sourceRowBytes, window[2], haloWidth);
            RowKernel(window[0] + 1, window[1] + 1, window[2] + 1, out, columns);
            StoreRow<Sample>(out, destination + ptrdiff_t(y) * destinationRowBytes, size_t(columns));
            std::rotate(window, window + 1, window + 3);
        }
    }
}

using NeighbourhoodKernel = void (*)(int32_t, int32_t, const uint8_t*, uint8_t*, int32_t, int32_t);

// The sharpen entries of the table take the depth per call; it is dispatched
// once per block, never per pixel.
NeighbourhoodKernel KernelForDepth(const char* routine, int32_t bitsPerSample, NeighbourhoodKernel eightBit,
                                   NeighbourhoodKernel sixteenBit, NeighbourhoodKernel floatingPoint)
{
    switch (bitsPerSample) {
    case 8: return eightBit;
    case 16: return sixteenBit;
    case 32: return floatingPoint;
    default:
        throw std::invalid_argument(std::string(routine) + ": bits per sample must be 8, 16 or 32, not " +
                                    std::to_string(bitsPerSample));
    }
}

void TableSharpen3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
                     int32_t destinationRowBytes, int32_t bitsPerSample)
{
    KernelForDepth("Sharpen3x3", bitsPerSample, Sharpen3x3<uint8_t>, Sharpen3x3<BigEndian16>, Sharpen3x3<float>)(
        rows, columns, source, destination, sourceRowBytes, destinationRowBytes);
}

void TableSharpenEdges3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination,
                          int32_t sourceRowBytes, int32_t destinationRowBytes, int32_t bitsPerSample)
{
    KernelForDepth("SharpenEdges3x3", bitsPerSample, SharpenEdges3x3<uint8_t>, SharpenEdges3x3<BigEndian16>,
                   SharpenEdges3x3<float>)(rows, columns, source, destination, sourceRowBytes, destinationRowBytes);
}

void TableSharpenMore3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination,
                         int32_t sourceRowBytes, int32_t destinationRowBytes, int32_t bitsPerSample)
{
    KernelForDepth("SharpenMore3x3", bitsPerSample, SharpenMore3x3<uint8_t>, SharpenMore3x3<BigEndian16>,
                   SharpenMore3x3<float>)(rows, columns, source, destination, sourceRowBytes, destinationRowBytes);
}

void InvertRun(uint8_t* __restrict bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        bytes[i] = uint8_t(~bytes[i]);
}

}  // namespace

void InvertBytes(int32_t rows, int32_t columns, uint8_t* data, int32_t rowBytes)
{
    if (rows <= 0 || columns <= 0)
        return;
    // Rows that shared bytes would have those bytes inverted twice.
    assert(data && (rows == 1 || std::abs(rowBytes) >= columns));
    // Rows without padding between them are one run, so narrow blocks pay no per-row overhead.
    if (rowBytes == columns) {
        InvertRun(data, size_t(rows) * size_t(columns));
        return;
    }
    for (int32_t y = 0; y < rows; ++y)
        InvertRun(data + ptrdiff_t(y) * rowBytes, size_t(columns));
}

template <typename Sample>
void Blur3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
             int32_t destinationRowBytes)
{
    ApplyByRows<Sample, Blur3x3Row<Sample>>(rows, columns, source, destination, sourceRowBytes, destinationRowBytes);
}

template <typename Sample>
void BlurMore3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
                 int32_t destinationRowBytes)
{
    ApplyByRows<Sample, BlurMore3x3Row<Sample>>(rows, columns, source, destination, sourceRowBytes,
                                                destinationRowBytes);
}

template <typename Sample>
void Sharpen3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
                int32_t destinationRowBytes)
{
    ApplyByRows<Sample, Sharpen3x3Row<Sample>>(rows, columns, source, destination, sourceRowBytes, destinationRowBytes);
}

template <typename Sample>
void SharpenMore3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
                    int32_t destinationRowBytes)
{
    ApplyByRows<Sample, SharpenMore3x3Row<Sample>>(rows, columns, source, destination, sourceRowBytes,
                                                   destinationRowBytes);
}

template <typename Sample>
void SharpenEdges3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
                     int32_t destinationRowBytes)
{
    ApplyByRows<Sample, SharpenEdges3x3Row<Sample>>(rows, columns, source, destination, sourceRowBytes,
                                                    destinationRowBytes);
}

#define PICTRA_INSTANTIATE_KERNELS(Sample)                                                              \
    template void Blur3x3<Sample>(int32_t, int32_t, const uint8_t*, uint8_t*, int32_t, int32_t);        \
    template void BlurMore3x3<Sample>(int32_t, int32_t, const uint8_t*, uint8_t*, int32_t, int32_t);    \
    template void Sharpen3x3<Sample>(int32_t, int32_t, const uint8_t*, uint8_t*, int32_t, int32_t);     \
    template void SharpenMore3x3<Sample>(int32_t, int32_t, const uint8_t*, uint8_t*, int32_t, int32_t); \
    template void SharpenEdges3x3<Sample>(int32_t, int32_t, const uint8_t*, uint8_t*, int32_t, int32_t);

PICTRA_INSTANTIATE_KERNELS(uint8_t)
PICTRA_INSTANTIATE_KERNELS(BigEndian16)
PICTRA_INSTANTIATE_KERNELS(float)

#undef PICTRA_INSTANTIATE_KERNELS

void ThresholdBytes(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                    int32_t destinationRowBytes, int32_t level)
{
    assert((source == destination && sourceRowBytes == destinationRowBytes) ||
           !Overlap(SpanOfRows(source, rows, sourceRowBytes, columns),
                    SpanOfRows(destination, rows, destinationRowBytes, columns)));
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* in = source + ptrdiff_t(y) * sourceRowBytes;
        uint8_t* out = destination + ptrdiff_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x)
            out[x] = in[x] >= level ? 255 : 0;
    }
}

void FillSamples(int32_t rows, int32_t columns, uint8_t* destination, int32_t rowBytes, int32_t pixelStride,
                 int32_t value)
{
    assert(pixelStride >= 1);
    for (int32_t y = 0; y < rows; ++y) {
        uint8_t* out = destination + ptrdiff_t(y) * rowBytes;
        for (int32_t x = 0; x < columns; ++x)
            out[ptrdiff_t(x) * pixelStride] = uint8_t(value);
    }
}

const HostPixelRoutines& PixelRoutineTable()
{
    static const HostPixelRoutines table = {
        .InvertBytes = InvertBytes,
        .ThresholdBytes = ThresholdBytes,
        .FillSamples = FillSamples,
        .Blur3x3 = Blur3x3<uint8_t>,
        .BlurMore3x3 = BlurMore3x3<uint8_t>,
        .Sharpen3x3 = TableSharpen3x3,
        .SharpenEdges3x3 = TableSharpenEdges3x3,
        .SharpenMore3x3 = TableSharpenMore3x3,
        .GaussianWeights = GaussianWeights,
        .BuildKernelTable = BuildKernelTable,
        .ReleaseKernelTable = ReleaseKernelTable,
        .ConvolveLine8 = ConvolveLine8,
        .ConvolveLineDeep = ConvolveLineDeep,
        .DifferenceOffset8 = DifferenceOffset8,
        .DifferenceOffsetDeep = DifferenceOffsetDeep,
    };
    return table;
}

}  // namespace pictra
