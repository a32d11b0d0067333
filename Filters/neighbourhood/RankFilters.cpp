// The rank filters give every sample a value taken from the square of
// (2r + 1) x (2r + 1) samples centred on it, r from 1 to 16: Maximum its
// largest, Minimum its smallest, Median its middle value, Average its mean
// (truncated), and Dust & Scratches its median only where the sample stands
// out from that median by more than a threshold. Despeckle, in the same
// spirit, takes a fixed 3 x 3 weighted mean only where the sample differs
// little from it. All of them work at the image's own depth on every plane,
// transparency too, and read edge copies around the tile, so border pixels
// have full neighbourhoods.
//
// At 8 bits each output costs O(r): the mean slides sums of columns, the
// median slides a histogram along the row and moves its median level from
// the previous one, and the extremes take the extreme of column extremes.
// Deep samples: the extremes work the same way; the median is selected
// from each gathered window; the mean is truncated at 16 bits like at 8,
// and formed in double precision for floats. At radius 1 and 2 the 8- and
// 16-bit medians come from selection networks run on many outputs at once,
// which beat both for windows that small. Thresholds stay in 8-bit
// levels: Dust & Scratches scales its threshold by 257 at 16 bits (so 255
// still spans the range) and by 1 / 255 for floats.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "FilterList.h"
#include "framework/BandDriver.h"
#include "framework/Dialog.h"
#include "framework/Module.h"
#include "framework/SettingsFilter.h"

namespace px {

// ---------------------------------------------------------------------------
// Parameter blocks.

// Shared by the five rank filters. It is not kept in the settings store: the
// settings last for as long as the host keeps the filter's parameters.
struct RankSettings {
    int16_t radius;
    int16_t threshold;  // Dust & Scratches, in 8-bit levels
    uint8_t showDialog;
    uint8_t reserved[3];
    ProgressCounters counters;
    int32_t previewEnable;
};
static_assert(sizeof(RankSettings) == 20 && offsetof(RankSettings, threshold) == 2 &&
              offsetof(RankSettings, showDialog) == 4 && offsetof(RankSettings, counters) == 8 &&
              offsetof(RankSettings, previewEnable) == 16);

// Despeckle's block, kept whole in the settings store.
struct DespeckleSettings {
    int16_t threshold;  // in 8-bit levels
    uint8_t showDialog;
    uint8_t reserved;
    ProgressCounters counters;
    int32_t previewEnable;
};
static_assert(sizeof(DespeckleSettings) == 16 && offsetof(DespeckleSettings, showDialog) == 2 &&
              offsetof(DespeckleSettings, counters) == 4 && offsetof(DespeckleSettings, previewEnable) == 12);

namespace {

constexpr int kLargestRadius = 16;
constexpr int kLargestSide = 2 * kLargestRadius + 1;
constexpr int kLargestThreshold = 255;

// The operation, named by the id of its dialog.
enum class RankKind : int16_t {
    kMaximum = 5236,
    kMinimum = 5240,
    kMedian = 5258,
    kAverage = 5262,
    kDustAndScratches = 5283,
};

struct RankFacts {
    int32_t filterId;
    int32_t aboutTitle;
    int32_t dialogTitle;
};

constexpr RankFacts FactsOf(RankKind kind)
{
    switch (kind) {
    case RankKind::kMaximum: return {16510, 18069, 18261};
    case RankKind::kMinimum: return {16520, 18072, 18262};
    case RankKind::kMedian: return {16110, 18070, 18263};
    case RankKind::kAverage: return {16030, 18071, 18264};
    case RankKind::kDustAndScratches: return {16120, 18073, 18265};
    }
    return {};
}

int RadiusOf(const RankSettings& settings) { return std::clamp<int>(settings.radius, 1, kLargestRadius); }

// The radius of every rank filter, "rnkr", and the threshold of Dust &
// Scratches, "rnkt": the module's own keys, in the units the dialogs show.
// The radius slider rounds to the nearest radius.
constexpr Setting RadiusSetting(const char* description)
{
    return {.name = "radius",
            .key = FourCC("rnkr"),
            .minimum = 1,
            .maximum = kLargestRadius,
            .defaultValue = 1,
            .unit = "pixels",
            .description = description,
            .member = PX_MEMBER(RankSettings, radius),
            .slider = 100,
            .field = 101,
            .mapping = LinearToNearest(1, kLargestRadius - 1)};
}

constexpr Setting kMaximumSettings[] = {RadiusSetting("half the side of the square each pixel takes the largest value of")};
constexpr Setting kMinimumSettings[] = {RadiusSetting("half the side of the square each pixel takes the smallest value of")};
constexpr Setting kMedianSettings[] = {RadiusSetting("half the side of the square each pixel takes the median of")};
constexpr Setting kAverageSettings[] = {RadiusSetting("half the side of the square each pixel takes the mean of")};
constexpr Setting kDustAndScratchesSettings[] = {
    RadiusSetting("half the side of the square each pixel takes the median of"),
    {.name = "threshold",
     .key = FourCC("rnkt"),
     .minimum = 0,
     .maximum = kLargestThreshold,
     .defaultValue = 0,
     .unit = "levels",
     .description = "pixels differing from the median by more than this are replaced by it",
     .member = PX_MEMBER(RankSettings, threshold),
     .slider = 104,
     .field = 105,
     .mapping = Linear(0, kLargestThreshold)},
};

constexpr SettingsTable SettingsOf(RankKind kind)
{
    switch (kind) {
    case RankKind::kMaximum: return kMaximumSettings;
    case RankKind::kMinimum: return kMinimumSettings;
    case RankKind::kMedian: return kMedianSettings;
    case RankKind::kAverage: return kAverageSettings;
    case RankKind::kDustAndScratches: return kDustAndScratchesSettings;
    }
    return {};
}

// ---------------------------------------------------------------------------
// Samples. Each depth is read as keys that order like its values: bytes and
// 16-bit samples (most significant byte first) as themselves, floats as their
// bits with the sign bit set, or with every bit flipped for negative
// numbers, so that keys compared as unsigned integers compare the floats.

struct Samples8 {
    using Key = uint8_t;
    using Lanes = Key __attribute__((vector_size(32)));  // what the small medians take at once
    static constexpr int kBytes = 1;
    static constexpr double kPerLevel = 1;  // one 8-bit level in sample units
    static Key Load(const uint8_t* row, int32_t x) { return row[x]; }
    static void Store(uint8_t* row, int32_t x, Key key) { row[x] = key; }
    static double Value(Key key) { return key; }
};

struct Samples16 {
    using Key = uint16_t;
    using Lanes = Key __attribute__((vector_size(32)));  // what the small medians take at once
    static constexpr int kBytes = 2;
    static constexpr double kPerLevel = 257;  // 255 levels span 65535
    static Key Load(const uint8_t* row, int32_t x)
    {
        const uint8_t* p = row + 2 * intptr_t(x);
        return Key((p[0] << 8) | p[1]);
    }
    static void Store(uint8_t* row, int32_t x, Key key)
    {
        uint8_t* p = row + 2 * intptr_t(x);
        p[0] = uint8_t(key >> 8);
        p[1] = uint8_t(key);
    }
    static double Value(Key key) { return key; }
    // Truncated, as the 8-bit integer arithmetic truncates.
    static void StoreValue(uint8_t* row, int32_t x, double value) { Store(row, x, Key(value)); }
};

struct Samples32 {
    using Key = uint32_t;
    static constexpr int kBytes = 4;
    static constexpr double kPerLevel = 1.0 / 255;
    static constexpr uint32_t kSign = 0x80000000u;
    static Key Load(const uint8_t* row, int32_t x)
    {
        uint32_t bits;
        std::memcpy(&bits, row + 4 * intptr_t(x), 4);
        return (bits & kSign) ? ~bits : bits | kSign;
    }
    static void Store(uint8_t* row, int32_t x, Key key)
    {
        const uint32_t bits = (key & kSign) ? key & ~kSign : ~key;
        std::memcpy(row + 4 * intptr_t(x), &bits, 4);
    }
    static double Value(Key key)
    {
        const uint32_t bits = (key & kSign) ? key & ~kSign : ~key;
        float value;
        std::memcpy(&value, &bits, 4);
        return value;
    }
    static void StoreValue(uint8_t* row, int32_t x, double value)
    {
        const float sample = float(value);
        std::memcpy(row + 4 * intptr_t(x), &sample, 4);
    }
};

// Row y of a band relative to its first output row, from column -radius.
template <class S>
const uint8_t* WindowRow(const uint8_t* source, int32_t sourceRowBytes, int32_t y, int radius)
{
    return source + intptr_t(y) * sourceRowBytes - intptr_t(radius) * S::kBytes;
}

// ---------------------------------------------------------------------------
// Maximum and Minimum: for each output row the extremes of its 2r + 1 window
// rows are taken column by column, then the extreme of 2r + 1 neighbouring
// column extremes. Rows are taken in pairs: the 2r rows both windows share
// are reduced once. Along the row, runs of columns are doubled in width
// until one more doubling would pass the window, and two overlapping runs
// cover it. Every step is a whole row of one operation, which vectorises;
// a second copy built for AVX2, chosen when the module loads on a processor
// that has it, takes twice the samples per instruction.
// `scratch` holds three rows of columns + 2r keys.

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
            const uint8_t* first = WindowRow<S>(source, sourceRowBytes, y - radius + 1, radius);
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
        const uint8_t* row = WindowRow<S>(source, sourceRowBytes, dy, radius);
        for (int32_t x = 0; x < span; ++x)
            columnSums[x] += S::Load(row, x);
    }
    for (int32_t y = 0; y < rows; ++y) {
        if (y > 0) {
            const uint8_t* entering = WindowRow<S>(source, sourceRowBytes, y + radius, radius);
            const uint8_t* leaving = WindowRow<S>(source, sourceRowBytes, y - radius - 1, radius);
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
// pixel in the same order (rows of each column, then the columns), so a
// pixel's mean does not depend on where its band or tile starts.
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
            const uint8_t* row = WindowRow<Samples32>(source, sourceRowBytes, y + dy, radius);
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
// Median and Dust & Scratches at 8 bits: a histogram of the window and its
// median level, slid along each row.

// The window's histogram and a pointer to its median: `below` counts the
// samples under `level`, and the level is the median while
// below <= rank < below + count[level]. Swapping samples moves `below` by
// the ones that cross the level; the level then moves bin by bin, from
// where it was, until it is the median again.
struct MedianHistogram {
    uint16_t count[256] = {};
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

// Writes the median of each window, the ((2r + 1)^2 + 1) / 2-th smallest
// sample; with `thresholded`, only where the sample differs from it by more
// than `threshold`, keeping what the output held elsewhere.
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
// Median and Dust & Scratches on deep samples: the window gathered for each
// pixel and its middle element found by partition selection.

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

// ---------------------------------------------------------------------------
// Median and Dust & Scratches at radius 1 and 2 on 8- and 16-bit samples:
// selection networks of minima and maxima, run on 32 bytes of neighbouring
// outputs at once. Windows of 9 and 25 samples are too small for the
// histogram's fixed cost per pixel (or the partition of each gathered window).
//
// Output rows go in pairs, whose windows share 2r rows. Each column of the
// shared rows is sorted once per pair, and a window merges its 2r + 1 sorted
// columns. Of those 2r(2r + 1) shared samples only the 2r + 2 ranked from
// k - (2r + 1) to k can be the median, k = ((2r + 1)^2 - 1) / 2: each one
// below has more than half of the window at or above it, each one above has
// more than half at or below it, and as many drop out on either side. So a
// window's median is the median of those 2r + 2 and the 2r + 1 samples of the
// row it has beyond the shared ones. The networks are built while compiling
// from Batcher's merges, and pruned to the steps whose results reach a median.

// Lanes are loaded and stored as bytes in memory order.
static_assert(std::endian::native == std::endian::little);

// A lane's worth of keys, loaded into a local first: copied straight into an
// array element, a lane is written in two halves and read back whole, which
// stalls until both halves land.
template <class V>
void LoadLanes(V& keys, const void* at)
{
    V loaded;
    std::memcpy(&loaded, at, sizeof loaded);
    keys = loaded;
}

// The keys at column x of a row of samples.
template <class S, class V>
void LoadKeys(V& keys, const uint8_t* row, int32_t x)
{
    LoadLanes(keys, row + intptr_t(x) * S::kBytes);
    if constexpr (S::kBytes == 2)
        keys = V((keys << 8) | (keys >> 8));  // most significant byte first
}

template <class S, class V>
void StoreKeys(uint8_t* row, int32_t x, const V& keys)
{
    V stored = keys;
    if constexpr (S::kBytes == 2)
        stored = V((stored << 8) | (stored >> 8));
    std::memcpy(row + intptr_t(x) * S::kBytes, &stored, sizeof stored);
}

// Comparator networks, built while compiling (a network that outgrew its
// arrays would not compile). A step leaves the smaller of the values on two
// wires on its first wire and the larger on its second; once pruned, it keeps
// a side only where a later step or a result reads it.
struct Step {
    uint8_t low = 0;
    uint8_t high = 0;
    bool keepLow = true;
    bool keepHigh = true;
};

constexpr size_t kMaxWires = 32;

// Wires in the order of their values, once the steps so far have run.
struct Wires {
    std::array<uint8_t, kMaxWires> at{};
    size_t size = 0;

    static constexpr Wires Range(size_t first, size_t count)
    {
        Wires wires;
        for (size_t i = 0; i < count; ++i)
            wires.at[wires.size++] = uint8_t(first + i);
        return wires;
    }

    constexpr Wires slice(size_t first, size_t count = kMaxWires, size_t stride = 1) const
    {
        Wires wires;
        for (size_t i = first; i < size && wires.size < count; i += stride)
            wires.at[wires.size++] = at[i];
        return wires;
    }
};

struct Network {
    std::array<Step, 128> steps{};
    size_t size = 0;

    // Batcher's odd-even merge of two ordered lists: the wires in even and
    // in odd places are merged apart, then one step on neighbours interleaves them.
    constexpr Wires merge(const Wires& a, const Wires& b)
    {
        if (a.size == 0)
            return b;
        if (b.size == 0)
            return a;
        Wires merged;
        if (a.size == 1 && b.size == 1) {
            steps[size++] = {a.at[0], b.at[0]};
            merged.at[0] = a.at[0];
            merged.at[1] = b.at[0];
            merged.size = 2;
            return merged;
        }
        const Wires evens = merge(a.slice(0, kMaxWires, 2), b.slice(0, kMaxWires, 2));
        const Wires odds = merge(a.slice(1, kMaxWires, 2), b.slice(1, kMaxWires, 2));
        merged.at[merged.size++] = evens.at[0];
        size_t i = 0;
        for (; i < odds.size && i + 1 < evens.size; ++i) {
            steps[size++] = {odds.at[i], evens.at[i + 1]};
            merged.at[merged.size++] = odds.at[i];
            merged.at[merged.size++] = evens.at[i + 1];
        }
        for (; i < odds.size; ++i)
            merged.at[merged.size++] = odds.at[i];
        for (; i + 1 < evens.size; ++i)
            merged.at[merged.size++] = evens.at[i + 1];
        return merged;
    }

    // Sorted halves merged.
    constexpr Wires sort(const Wires& wires)
    {
        if (wires.size <= 1)
            return wires;
        const size_t half = wires.size / 2;
        return merge(sort(wires.slice(0, half)), sort(wires.slice(half, wires.size - half)));
    }

    // Groups [first, first + count) of `group` ordered wires each, merged halves first.
    constexpr Wires mergeGroups(size_t first, size_t count, size_t group)
    {
        if (count == 1)
            return Wires::Range(first * group, group);
        return merge(mergeGroups(first, count / 2, group), mergeGroups(first + count / 2, count - count / 2, group));
    }

    // Keeps only what reaches `results`, from the last step back.
    constexpr void prune(const Wires& results)
    {
        std::array<bool, kMaxWires> read{};
        for (size_t i = 0; i < results.size; ++i)
            read[results.at[i]] = true;
        size_t kept = size;
        for (size_t i = size; i-- > 0;) {
            Step step = steps[i];
            step.keepLow = read[step.low];
            step.keepHigh = read[step.high];
            if (step.keepLow || step.keepHigh) {
                read[step.low] = read[step.high] = true;
                steps[--kept] = step;
            }
        }
        std::copy(steps.begin() + kept, steps.begin() + size, steps.begin());
        size -= kept;
    }
};

// A network and the wires its results end on.
struct Pruned {
    Network network;
    Wires results;
};

// Lanes go through references only: a 32-byte vector passed by value would
// change the calling convention between the AVX2 and the default copies.
// The steps read and write a local array at indices checked while compiling,
// so sanitizers have nothing to find there; instrumented, the hundreds of
// steps cost sanitized builds most of a minute to compile this file.
#define PX_NOT_SANITIZED gnu::no_sanitize("address", "undefined")

template <class V>
[[PX_NOT_SANITIZED]] void Smaller(const V& a, const V& b, V& smaller)
{
    smaller = a < b ? a : b;
}

template <class V>
[[PX_NOT_SANITIZED]] void Larger(const V& a, const V& b, V& larger)
{
    larger = a < b ? b : a;
}

template <Step step, class V, size_t N>
[[PX_NOT_SANITIZED]] void Apply(std::array<V, N>& values)
{
    static_assert(step.low < N && step.high < N);
    const V a = values[step.low];
    const V b = values[step.high];
    if constexpr (step.keepLow)
        Smaller(a, b, values[step.low]);
    if constexpr (step.keepHigh)
        Larger(a, b, values[step.high]);
}

// The steps run in place on `values`, one wire each.
template <const Network& network, class V, size_t N>
[[PX_NOT_SANITIZED]] void Run(std::array<V, N>& values)
{
    [&]<size_t... i>(std::index_sequence<i...>) { (Apply<network.steps[i]>(values), ...); }
    (std::make_index_sequence<network.size>{});
}

// The networks of the windows of one radius.
template <int radius>
struct MedianNetworks {
    static constexpr size_t kSide = 2 * radius + 1;
    static constexpr size_t kShared = 2 * radius;  // rows both windows of a pair hold
    static constexpr size_t kMiddle = (kSide * kSide - 1) / 2;

    // Sorts a column of the shared rows.
    static constexpr Network kColumn = [] {
        Network network;
        network.sort(Wires::Range(0, kShared));
        return network;
    }();

    // From the shared rows' sorted columns, column c's j-th smallest on wire
    // c x kShared + j, to the candidates: the shared ranks kMiddle - kSide to kMiddle.
    static constexpr Pruned kCandidates = [] {
        Network network;
        const Wires candidates = network.mergeGroups(0, kSide, kShared).slice(kMiddle - kSide, kSide + 1);
        network.prune(candidates);
        return Pruned{network, candidates};
    }();

    // From the candidates on wires 0 to kSide and the window's own row after
    // them to its median, the median of those 2 kSide + 1.
    static constexpr Pruned kWindow = [] {
        Network network;
        const Wires row = network.sort(Wires::Range(kSide + 1, kSide));
        const Wires median = network.merge(Wires::Range(0, kSide + 1), row).slice(kSide, 1);
        network.prune(median);
        return Pruned{network, median};
    }();
};

// Rows are covered in whole lanes, the last one moved back to end where the
// row ends (the outputs it repeats come out the same again); rows narrower
// than a lane take the histogram or the partition instead. `scratch` holds
// 2r rows of columns + 2r keys.
template <class S, int radius>
struct SmallMedian {
    using Key = typename S::Key;
    using Lanes = typename S::Lanes;
    using Networks = MedianNetworks<radius>;
    static constexpr int32_t kLanes = sizeof(Lanes) / sizeof(Key);
    static constexpr size_t kSide = Networks::kSide;
    static constexpr size_t kShared = Networks::kShared;

    // Where one pair of output rows reads and writes.
    struct Pair {
        const Key* sorted;  // kShared rows of `span` keys from column -r, each column sorted
        int32_t span;
        int outputs;  // 2, or 1 for a band's last row
        bool thresholded;  // the median only where it differs from the sample by more than `threshold`
        Key threshold;
        const uint8_t* beyond[2] = {};  // the row each window has beyond the shared ones, from column -r
        const uint8_t* centre[2] = {};
        uint8_t* out[2] = {};
    };

    [[PX_ALSO_FOR_AVX2 gnu::flatten]] static void Rows(int32_t rows, int32_t columns, const uint8_t* source,
                                                       int32_t sourceRowBytes, uint8_t* destination,
                                                       int32_t destinationRowBytes, bool thresholded, Key threshold,
                                                       Key* scratch)
    {
        const int32_t span = columns + 2 * radius;
        for (int32_t y = 0; y < rows; y += 2) {
            const uint8_t* shared = WindowRow<S>(source, sourceRowBytes, y - radius + 1, radius);
            for (int32_t x = 0; x < span; x += kLanes)
                SortColumns(shared, sourceRowBytes, std::min(x, span - kLanes), scratch, span);
            Pair pair{.sorted = scratch,
                      .span = span,
                      .outputs = std::min(rows - y, 2),
                      .thresholded = thresholded,
                      .threshold = threshold};
            for (int o = 0; o < pair.outputs; ++o) {
                pair.beyond[o] = WindowRow<S>(source, sourceRowBytes, o == 0 ? y - radius : y + 1 + radius, radius);
                pair.centre[o] = source + intptr_t(y + o) * sourceRowBytes;
                pair.out[o] = destination + size_t(y + o) * destinationRowBytes;
            }
            for (int32_t x = 0; x < columns; x += kLanes)
                Medians(pair, std::min(x, columns - kLanes));
        }
    }

    // A lane's worth of the shared rows' columns from x (counted from column -r), sorted into `sorted`.
    static void SortColumns(const uint8_t* shared, int32_t sourceRowBytes, int32_t x, Key* sorted, int32_t span)
    {
        std::array<Lanes, kShared> column;
        for (size_t r = 0; r < kShared; ++r)
            LoadKeys<S>(column[r], shared + intptr_t(r) * sourceRowBytes, x);
        Run<Networks::kColumn>(column);
        for (size_t r = 0; r < kShared; ++r)
            std::memcpy(sorted + r * span + x, &column[r], sizeof(Lanes));
    }

    // A lane's worth of windows from column x, in both rows of the pair.
    static void Medians(const Pair& pair, int32_t x)
    {
        std::array<Lanes, kSide * kShared> shared;
        for (size_t c = 0; c < kSide; ++c)
            for (size_t r = 0; r < kShared; ++r)
                LoadLanes(shared[c * kShared + r], pair.sorted + r * pair.span + x + c);
        Run<Networks::kCandidates.network>(shared);
        for (int o = 0; o < pair.outputs; ++o) {
            std::array<Lanes, 2 * kSide + 1> window;
            for (size_t i = 0; i <= kSide; ++i)
                window[i] = shared[Networks::kCandidates.results.at[i]];
            for (size_t c = 0; c < kSide; ++c)
                LoadKeys<S>(window[kSide + 1 + c], pair.beyond[o], x + int32_t(c));
            Run<Networks::kWindow.network>(window);
            Lanes median = window[Networks::kWindow.results.at[0]];
            if (pair.thresholded) {
                // What the output holds is written back where the sample stays.
                Lanes sample, held, low, high;
                LoadKeys<S>(sample, pair.centre[o], x);
                LoadKeys<S>(held, pair.out[o], x);
                Smaller(sample, median, low);
                Larger(sample, median, high);
                median = high - low > pair.threshold ? median : held;
            }
            StoreKeys<S>(pair.out[o], x, median);
        }
    }
};

// ---------------------------------------------------------------------------
// The plane pass: one plane per call through the framework's band pass with
// a halo of r edge copies.

// What a band works in, for bands of `columns` columns at the working
// depth: the extremes keep three rows of column extremes, the mean a row of
// column sums (doubles for floats), the small medians 2r rows of sorted
// columns, and the deep medians one gathered window.
template <RankKind kind>
size_t RankScratchBytes(int32_t columns, const FilterRecord& record)
{
    const int radius = RadiusOf(*static_cast<const RankSettings*>(record.parameters));
    const int side = 2 * radius + 1;
    const size_t span = size_t(columns) + 2 * size_t(radius);
    const size_t keyBytes = size_t(record.hostProc->workingDepth / 8);
    if constexpr (kind == RankKind::kMaximum || kind == RankKind::kMinimum)
        return 3 * span * keyBytes;
    else if constexpr (kind == RankKind::kAverage)
        return span * (keyBytes == 4 ? sizeof(double) : sizeof(uint32_t));
    else
        return std::max(2 * size_t(radius) * span, size_t(side) * size_t(side)) * keyBytes;
}

template <RankKind kind, class S>
void RankBand(const Band& band, const FilterRecord& record)
{
    if (band.empty())
        return;
    using Key = typename S::Key;
    const auto& settings = *static_cast<const RankSettings*>(record.parameters);
    const int radius = RadiusOf(settings);
    const BandAddress a = AddressBand(band, record, S::kBytes);
    uint8_t* scratch = BandScratch(RunOf<RankSettings>(record), &band);
    if constexpr (kind == RankKind::kMaximum || kind == RankKind::kMinimum) {
        Extremes<S, kind == RankKind::kMaximum>::Rows(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination,
                                                      a.destinationRowBytes, radius, reinterpret_cast<Key*>(scratch));
    } else if constexpr (kind == RankKind::kAverage) {
        if constexpr (std::is_same_v<S, Samples32>)
            AverageRowsFloat(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes,
                             radius, reinterpret_cast<double*>(scratch));
        else
            AverageRows<S>(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes, radius,
                           reinterpret_cast<uint32_t*>(scratch));
    } else {
        constexpr bool thresholded = kind == RankKind::kDustAndScratches;
        const int threshold = std::clamp<int>(settings.threshold, 0, kLargestThreshold);
        if constexpr (!std::is_same_v<S, Samples32>) {
            if (radius <= 2 && a.columns >= SmallMedian<S, 1>::kLanes) {
                const auto smallMedianRows = radius == 1 ? SmallMedian<S, 1>::Rows : SmallMedian<S, 2>::Rows;
                smallMedianRows(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes,
                                thresholded, Key(threshold * S::kPerLevel), reinterpret_cast<Key*>(scratch));
                return;
            }
        }
        if constexpr (std::is_same_v<S, Samples8>)
            MedianRows8<thresholded>(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination,
                                     a.destinationRowBytes, radius, threshold);
        else
            MedianRowsDeep<S, thresholded>(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination,
                                           a.destinationRowBytes, radius, threshold * S::kPerLevel,
                                           reinterpret_cast<Key*>(scratch));
    }
}

template <RankKind kind>
void RankBands8(const Band* band, FilterRecord* record)
{
    RankBand<kind, Samples8>(*band, *record);
}

template <RankKind kind>
void RankBandsDeep(const Band* band, FilterRecord* record)
{
    if (record->hostProc->workingDepth == 16)
        RankBand<kind, Samples16>(*band, *record);
    else
        RankBand<kind, Samples32>(*band, *record);
}

template <RankKind kind>
int16_t RankPlane(FilterRecord& record, RankSettings& settings)
{
    // Dust & Scratches writes only the samples it replaces.
    const PlanePass pass{.halo = RadiusOf(settings),
                         .transparency = Transparency::kFilter,
                         .bands8 = RankBands8<kind>,
                         .bandsDeep = RankBandsDeep<kind>,
                         .overwritesOutput = kind != RankKind::kDustAndScratches,
                         .bandScratch = RankScratchBytes<kind>};
    return ProcessPlane(record, pass, RunOf<RankSettings>(record));
}

// ---------------------------------------------------------------------------
// The rank filters' entries.

template <RankKind kind>
constexpr SettingsFilter<RankSettings> kRankFilter{
    .filterId = FactsOf(kind).filterId,
    .aboutTitle = FactsOf(kind).aboutTitle,
    .settings = SettingsOf(kind),
    .dialog = int16_t(kind),
    .dialogTitle = FactsOf(kind).dialogTitle,
    .pass = {.transparency = Transparency::kFilter},
    .processPlane = RankPlane<kind>,
    .resetPlanes = nullptr,
    .stored = false,
    .reportsParameterSize = true,
};

// ---------------------------------------------------------------------------
// Despeckle: m = (2 x (N + S + W + c + E) + NW + NE + SW + SE) / 14 where
// |m - c| is below the threshold; elsewhere the sample is left as it is.

constexpr int32_t kDespeckleId = 16130;
// Kept in the settings store under this id and record.
constexpr int32_t kDespeckleStoreId = 16040;
constexpr int32_t kDespeckleStoreRecord = 0x101;
constexpr int kDespeckleLowest = 16;
constexpr int kDespeckleHighest = 256;

// 8 bits: m by unsigned integer division. The weighted sum fits 16 bits and
// a sample left alone is written back as it was, so the loop vectorises.
void DespeckleRows8(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                    int32_t destinationRowBytes, int threshold)
{
    const uint16_t limit = uint16_t(threshold);
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* centre = source + intptr_t(y) * sourceRowBytes;
        const uint8_t* above = centre - sourceRowBytes;
        const uint8_t* below = centre + sourceRowBytes;
        uint8_t* out = destination + size_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x) {
            const uint16_t c = centre[x];
            const uint16_t sum = uint16_t(2 * (above[x] + below[x] + centre[x - 1] + c + centre[x + 1]) + above[x - 1] +
                                          above[x + 1] + below[x - 1] + below[x + 1]);
            const uint16_t m = uint16_t(sum / 14);
            const uint16_t difference = uint16_t(m > c ? m - c : c - m);
            out[x] = difference < limit ? uint8_t(m) : out[x];
        }
    }
}

// Deep samples: m in floating point, compared in 8-bit units (a 16-bit
// sample is 256 of them, a float's 1.0 is 255) and written at the sample's
// depth (16 bits truncated).
template <class S>
void DespeckleRowsDeep(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                       uint8_t* destination, int32_t destinationRowBytes, int threshold)
{
    constexpr double kLevelsPerUnit = std::is_same_v<S, Samples16> ? 1.0 / 256 : 255.0;
    const auto at = [](const uint8_t* row, int32_t x) { return S::Value(S::Load(row, x)); };
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* centre = source + intptr_t(y) * sourceRowBytes;
        const uint8_t* above = centre - sourceRowBytes;
        const uint8_t* below = centre + sourceRowBytes;
        uint8_t* out = destination + size_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x) {
            const double c = at(centre, x);
            const double m = (2 * (at(above, x) + at(below, x) + at(centre, x - 1) + c + at(centre, x + 1)) +
                              at(above, x - 1) + at(above, x + 1) + at(below, x - 1) + at(below, x + 1)) /
                             14;
            if (std::abs(m - c) * kLevelsPerUnit < threshold)
                S::StoreValue(out, x, m);
        }
    }
}

int DespeckleThresholdOf(const FilterRecord& record)
{
    const auto& settings = *static_cast<const DespeckleSettings*>(record.parameters);
    return std::clamp<int>(settings.threshold, kDespeckleLowest, kDespeckleHighest);
}

void DespeckleBands8(const Band* band, FilterRecord* record)
{
    const BandAddress a = AddressBand(*band, *record, 1);
    DespeckleRows8(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes,
                   DespeckleThresholdOf(*record));
}

void DespeckleBandsDeep(const Band* band, FilterRecord* record)
{
    const int threshold = DespeckleThresholdOf(*record);
    if (record->hostProc->workingDepth == 16) {
        const BandAddress a = AddressBand(*band, *record, Samples16::kBytes);
        DespeckleRowsDeep<Samples16>(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination,
                                     a.destinationRowBytes, threshold);
    } else {
        const BandAddress a = AddressBand(*band, *record, Samples32::kBytes);
        DespeckleRowsDeep<Samples32>(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination,
                                     a.destinationRowBytes, threshold);
    }
}

constexpr Setting kDespeckleSettings[] = {
    {.name = "threshold",
     .key = FourCC("dspt"),
     .minimum = kDespeckleLowest,
     .maximum = kDespeckleHighest,
     .defaultValue = 64,
     .unit = "levels",
     .description = "pixels closer than this to their weighted mean take the mean",
     .member = PX_MEMBER(DespeckleSettings, threshold),
     .slider = 8002,
     .field = 8001,
     .mapping = LinearToNearest(kDespeckleLowest, kDespeckleHighest - kDespeckleLowest)},
};

constexpr SettingsFilter<DespeckleSettings> kDespeckle{
    .filterId = kDespeckleId,
    .aboutTitle = 18044,
    .settings = kDespeckleSettings,
    .dialog = 5230,
    .dialogTitle = 18207,
    // Despeckle's Preview check box has an id of its own.
    .previewItem = 8003,
    .pass = {.halo = 1,
             .transparency = Transparency::kFilter,
             .bands8 = DespeckleBands8,
             .bandsDeep = DespeckleBandsDeep},
    .processPlane = nullptr,
    .resetPlanes = nullptr,
    .storeId = kDespeckleStoreId,
    .storeRecord = kDespeckleStoreRecord,
};

}  // namespace

constinit const FilterUnit MaximumFilter = SettingsFilterUnit<kRankFilter<RankKind::kMaximum>>();
constinit const FilterUnit MinimumFilter = SettingsFilterUnit<kRankFilter<RankKind::kMinimum>>();
constinit const FilterUnit MedianFilter = SettingsFilterUnit<kRankFilter<RankKind::kMedian>>();
constinit const FilterUnit AverageFilter = SettingsFilterUnit<kRankFilter<RankKind::kAverage>>();
constinit const FilterUnit DustAndScratchesFilter = SettingsFilterUnit<kRankFilter<RankKind::kDustAndScratches>>();
constinit const FilterUnit DespeckleFilter = SettingsFilterUnit<kDespeckle>();

}  // namespace px
