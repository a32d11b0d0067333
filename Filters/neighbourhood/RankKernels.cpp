// The square's extremes, mean and median. At 8 bits each output costs O(r):
// the mean slides sums of columns, the median slides a histogram along the
// row and moves its median level from the previous one, and the extremes
// take the extreme of column extremes. Deep samples: the extremes work the
// same way; the median is selected from each gathered window; the mean is
// truncated at 16 bits like at 8, and formed in double precision for floats.
// At radius 1 and 2 the 8- and 16-bit medians come from selection networks
// run on many outputs at once, which beat both for windows that small.
//
// The routines marked [[PX_ALSO_FOR_AVX2 ...]] are built here, in the
// translation unit that instantiates them, with everything they call inlined.
#include "neighbourhood/RankKernels.h"

#include <algorithm>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "framework/BandDriver.h"
#include "framework/Samples.h"
#include "neighbourhood/MedianNetworks.h"

namespace px {

namespace {

constexpr int kLargestSide = 2 * kLargestSquareRadius + 1;

// The span of input columns a band's rows read: its columns and r either side.
size_t SpanOf(int32_t columns, int radius) { return size_t(columns) + 2 * size_t(radius); }

// ---------------------------------------------------------------------------
// Maximum and Minimum. `scratch` holds three rows of columns + 2r keys: the
// shared rows' extremes, and the runs of the row being doubled, in and out.

template <class S, bool largest>
struct Extremes {
    using Key = typename S::Key;

    static Key Pick(Key a, Key b) { return largest ? std::max(a, b) : std::min(a, b); }

    [[PX_ALSO_FOR_AVX2 gnu::flatten]] static void Rows(int32_t rows, int32_t columns, const uint8_t* source,
                                                       int32_t sourceRowBytes, uint8_t* destination,
                                                       int32_t destinationRowBytes, int radius, Key* scratch)
    {
        const int32_t span = columns + 2 * radius;
        Key* shared = scratch;
        Key* runs = scratch + span;
        Key* doubled = scratch + 2 * span;
        for (int32_t y = 0; y < rows; y += 2) {
            const uint8_t* first = SampleAt<S>(source, sourceRowBytes, y - radius + 1, -radius);
            for (int32_t x = 0; x < span; ++x)
                shared[x] = S::Load(first, x);
            for (int dy = 1; dy < 2 * radius; ++dy) {
                const uint8_t* row = first + intptr_t(dy) * sourceRowBytes;
                for (int32_t x = 0; x < span; ++x)
                    shared[x] = Pick(shared[x], S::Load(row, x));
            }
            const uint8_t* top = first - sourceRowBytes;
            Row(columns, span, radius, shared, top, runs, doubled, destination + size_t(y) * destinationRowBytes);
            if (y + 1 < rows) {
                const uint8_t* bottom = first + intptr_t(2 * radius) * sourceRowBytes;
                Row(columns, span, radius, shared, bottom, runs, doubled,
                    destination + size_t(y + 1) * destinationRowBytes);
            }
        }
    }

    // One output row: the shared rows' extremes with one more row, then along the row.
    static void Row(int32_t columns, int32_t span, int radius, const Key* shared, const uint8_t* extra, Key* runs,
                    Key* doubled, uint8_t* out)
    {
        const int side = 2 * radius + 1;
        for (int32_t x = 0; x < span; ++x)
            runs[x] = Pick(shared[x], S::Load(extra, x));
        int width = 1;
        for (; 2 * width <= side; width *= 2) {
            for (int32_t x = 0; x + 2 * width <= span; ++x)
                doubled[x] = Pick(runs[x], runs[x + width]);
            std::swap(runs, doubled);
        }
        for (int32_t x = 0; x < columns; ++x)
            S::Store(out, x, Pick(runs[x], runs[x + side - width]));
    }
};

// ---------------------------------------------------------------------------
// Average.

// floor(sum / count) for every sum below 2^27 (65535 x 1089 < 2^27) by one
// multiplication: with m = floor(2^40 / count) + 1 the product exceeds
// sum / count by less than 2^27 / 2^40 = 2^-13, while the quotient's
// fraction stays at least 1 / count >= 1 / 1089 > 2^-11 below the next whole number.
struct ExactDivision {
    explicit ExactDivision(uint32_t count) : multiplier((uint64_t(1) << 40) / count + 1) {}
    uint32_t operator()(uint32_t sum) const { return uint32_t((uint64_t(sum) * multiplier) >> 40); }
    uint64_t multiplier;
};

// 8- and 16-bit samples: the mean of the window truncated, from exact integer
// sums. Sums of the 2r + 1 window rows are kept per column and slid down one
// row at a time; along the row the window's sum is slid one column at a
// time. `columnSums` holds columns + 2r sums.
template <class S>
void AverageRows(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                 int32_t destinationRowBytes, int radius, uint32_t* columnSums)
{
    const int side = 2 * radius + 1;
    const int32_t span = columns + 2 * radius;
    const ExactDivision divide(uint32_t(side * side));
    std::fill(columnSums, columnSums + span, 0u);
    for (int dy = -radius; dy <= radius; ++dy) {
        const uint8_t* row = SampleAt<S>(source, sourceRowBytes, dy, -radius);
        for (int32_t x = 0; x < span; ++x)
            columnSums[x] += S::Load(row, x);
    }
    for (int32_t y = 0; y < rows; ++y) {
        if (y > 0) {
            const uint8_t* entering = SampleAt<S>(source, sourceRowBytes, y + radius, -radius);
            const uint8_t* leaving = SampleAt<S>(source, sourceRowBytes, y - radius - 1, -radius);
            for (int32_t x = 0; x < span; ++x)
                columnSums[x] = columnSums[x] + uint32_t(S::Load(entering, x)) - uint32_t(S::Load(leaving, x));
        }
        uint32_t sum = 0;
        for (int x = 0; x < side; ++x)
            sum += columnSums[x];
        uint8_t* out = destination + size_t(y) * destinationRowBytes;
        for (int32_t x = 0; x + 1 < columns; ++x) {
            S::Store(out, x, typename S::Key(divide(sum)));
            sum = sum + columnSums[x + side] - columnSums[x];
        }
        S::Store(out, columns - 1, typename S::Key(divide(sum)));
    }
}

// Floats: the window's sum in double precision, formed afresh for every
// pixel in the same order (rows of each column, then the columns).
// `columnSums` holds columns + 2r sums.
void AverageRowsFloat(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                      uint8_t* destination, int32_t destinationRowBytes, int radius, double* columnSums)
{
    const int side = 2 * radius + 1;
    const int32_t span = columns + 2 * radius;
    const double count = double(side) * side;
    for (int32_t y = 0; y < rows; ++y) {
        std::fill(columnSums, columnSums + span, 0.0);
        for (int dy = -radius; dy <= radius; ++dy) {
            const uint8_t* row = SampleAt<Samples32>(source, sourceRowBytes, y + dy, -radius);
            for (int32_t x = 0; x < span; ++x)
                columnSums[x] += Samples32::Value(Samples32::Load(row, x));
        }
        uint8_t* out = destination + size_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x) {
            double sum = 0;
            for (int dx = 0; dx < side; ++dx)
                sum += columnSums[x + dx];
            Samples32::StoreValue(out, x, sum / count);
        }
    }
}

// ---------------------------------------------------------------------------
// Median at 8 bits: a histogram of the window and its median level, slid
// along each row.

// The window's histogram and a pointer to its median: `below` counts the
// samples under `level`, and the level is the median while
// below <= rank < below + count[level]. Swapping samples moves `below` by
// the ones that cross the level; the level then moves bin by bin, from
// where it was, until it is the median again.
struct MedianHistogram {
    uint16_t count[256] = {};  // a window holds at most 33 x 33 = 1089 samples
    int level = 0;
    int below = 0;
    int rank = 0;

    void swap(uint8_t leaving, uint8_t entering)
    {
        if (leaving == entering)
            return;
        --count[leaving];
        ++count[entering];
        below += int(entering < level) - int(leaving < level);
    }

    void settle()
    {
        while (below > rank) {
            --level;
            below -= count[level];
        }
        rise();
    }

    // Up only: enough for a new histogram with the level at 0.
    void rise()
    {
        while (below + count[level] <= rank) {
            below += count[level];
            ++level;
        }
    }
};

// Writes the median of each window; with `thresholded`, only where the
// sample differs from it by more than `threshold`, keeping what the output
// held elsewhere.
template <bool thresholded>
void MedianRows8(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                 int32_t destinationRowBytes, int radius, int threshold)
{
    const int side = 2 * radius + 1;
    const uint8_t* window[kLargestSide];
    for (int32_t y = 0; y < rows; ++y) {
        for (int k = 0; k < side; ++k)
            window[k] = source + intptr_t(y - radius + k) * sourceRowBytes;
        MedianHistogram histogram;
        histogram.rank = (side * side - 1) / 2;
        for (int k = 0; k < side; ++k)
            for (int dx = -radius; dx <= radius; ++dx)
                ++histogram.count[window[k][dx]];
        histogram.rise();
        const uint8_t* centre = window[radius];
        uint8_t* out = destination + size_t(y) * destinationRowBytes;
        for (int32_t x = 0;; ++x) {
            const int median = histogram.level;
            if (!thresholded || std::abs(centre[x] - median) > threshold)
                out[x] = uint8_t(median);
            if (x + 1 == columns)
                break;
            for (int k = 0; k < side; ++k)
                histogram.swap(window[k][x - radius], window[k][x + radius + 1]);
            histogram.settle();
        }
    }
}

// ---------------------------------------------------------------------------
// Median on deep samples: the window gathered for each pixel and its middle
// element found by partition selection.

// The element of rank k (from 0) of values[0..n): partitions around the
// median of the first, middle and last elements, then keeps to the side
// holding rank k. Keys are integers, so the order is total.
template <class Key>
Key SelectRank(Key* values, int n, int k)
{
    int low = 0;
    int high = n - 1;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (values[middle] < values[low])
            std::swap(values[middle], values[low]);
        if (values[high] < values[low])
            std::swap(values[high], values[low]);
        if (values[high] < values[middle])
            std::swap(values[high], values[middle]);
        const Key pivot = values[middle];
        int i = low;
        int j = high;
        while (i <= j) {
            while (values[i] < pivot)
                ++i;
            while (pivot < values[j])
                --j;
            if (i <= j)
                std::swap(values[i++], values[j--]);
        }
        if (k <= j)
            high = j;
        else if (k >= i)
            low = i;
        else
            return values[k];
    }
    return values[k];
}

// `threshold` is in sample units; `gathered` holds (2r + 1)^2 keys.
template <class S, bool thresholded>
void MedianRowsDeep(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                    int32_t destinationRowBytes, int radius, double threshold, typename S::Key* gathered)
{
    const int side = 2 * radius + 1;
    const int count = side * side;
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* centre = source + intptr_t(y) * sourceRowBytes;
        uint8_t* out = destination + size_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x) {
            int n = 0;
            for (int dy = -radius; dy <= radius; ++dy) {
                const uint8_t* row = centre + intptr_t(dy) * sourceRowBytes;
                for (int dx = -radius; dx <= radius; ++dx)
                    gathered[n++] = S::Load(row, x + dx);
            }
            const typename S::Key median = SelectRank(gathered, count, (count - 1) / 2);
            if (!thresholded || std::abs(S::Value(S::Load(centre, x)) - S::Value(median)) > threshold)
                S::Store(out, x, median);
        }
    }
}

template <class S>
void MedianRowsDeep(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                    int32_t destinationRowBytes, int radius, MedianRule rule, void* scratch)
{
    auto* gathered = static_cast<typename S::Key*>(scratch);
    if (rule.thresholded)
        MedianRowsDeep<S, true>(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, radius,
                                rule.threshold, gathered);
    else
        MedianRowsDeep<S, false>(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, radius,
                                 rule.threshold, gathered);
}

// ---------------------------------------------------------------------------
// Median at radius 1 and 2 by the selection networks, for rows at least a
// lane wide; false for the others.

template <class S, int radius>
[[PX_ALSO_FOR_AVX2 gnu::flatten]] void NetworkMedianRows(int32_t rows, int32_t columns, const uint8_t* source,
                                                         int32_t sourceRowBytes, uint8_t* destination,
                                                         int32_t destinationRowBytes, bool thresholded,
                                                         typename S::Key threshold, typename S::Key* scratch)
{
    median::SmallMedian<S, radius>::Rows(rows, columns, source, sourceRowBytes, destination, destinationRowBytes,
                                         thresholded, threshold, scratch);
}

template <class S>
bool NetworkMedian(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                   int32_t destinationRowBytes, int radius, MedianRule rule, void* scratch)
{
    using Key = typename S::Key;
    if (radius > median::kLargestNetworkRadius || columns < median::SmallMedian<S, 1>::kLanes)
        return false;
    const auto rowsOfRadius = radius == 1 ? NetworkMedianRows<S, 1> : NetworkMedianRows<S, 2>;
    rowsOfRadius(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, rule.thresholded,
                 Key(rule.threshold), static_cast<Key*>(scratch));
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// The kernels.

template <class S>
void SquareKernels<S>::Maximum(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                               uint8_t* destination, int32_t destinationRowBytes, int radius, void* scratch)
{
    Extremes<S, true>::Rows(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, radius,
                            static_cast<typename S::Key*>(scratch));
}

template <class S>
void SquareKernels<S>::Minimum(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                               uint8_t* destination, int32_t destinationRowBytes, int radius, void* scratch)
{
    Extremes<S, false>::Rows(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, radius,
                             static_cast<typename S::Key*>(scratch));
}

template <class S>
void SquareKernels<S>::Mean(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                            uint8_t* destination, int32_t destinationRowBytes, int radius, void* scratch)
{
    if constexpr (std::is_same_v<S, Samples32>)
        AverageRowsFloat(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, radius,
                         static_cast<double*>(scratch));
    else
        AverageRows<S>(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, radius,
                       static_cast<uint32_t*>(scratch));
}

template <class S>
void SquareKernels<S>::Median(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                              uint8_t* destination, int32_t destinationRowBytes, int radius, MedianRule rule,
                              void* scratch)
{
    if constexpr (!std::is_same_v<S, Samples32>) {
        if (NetworkMedian<S>(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, radius, rule,
                             scratch))
            return;
    }
    if constexpr (std::is_same_v<S, Samples8>) {
        if (rule.thresholded)
            MedianRows8<true>(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, radius,
                              int(rule.threshold));
        else
            MedianRows8<false>(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, radius, 0);
    } else {
        MedianRowsDeep<S>(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, radius, rule,
                          scratch);
    }
}

template struct SquareKernels<Samples8>;
template struct SquareKernels<Samples16>;
template struct SquareKernels<Samples32>;

size_t SquareExtremeScratchBytes(int32_t columns, int radius, int bytesPerSample)
{
    return 3 * SpanOf(columns, radius) * size_t(bytesPerSample);
}

// A row of column sums: exact 32-bit integers, doubles for floats.
size_t SquareMeanScratchBytes(int32_t columns, int radius, int bytesPerSample)
{
    return SpanOf(columns, radius) * (bytesPerSample == 4 ? sizeof(double) : sizeof(uint32_t));
}

// Room for either median's work: the networks' 2r rows of sorted columns or
// one gathered window (the histogram needs none).
size_t SquareMedianScratchBytes(int32_t columns, int radius, int bytesPerSample)
{
    const size_t side = 2 * size_t(radius) + 1;
    return std::max(2 * size_t(radius) * SpanOf(columns, radius), side * side) * size_t(bytesPerSample);
}

}  // namespace px
