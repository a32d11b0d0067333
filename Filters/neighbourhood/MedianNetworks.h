// The median of the (2r + 1) x (2r + 1) square at radius 1 and 2 on 8- and
// 16-bit samples: selection networks of minima and maxima, run on a lane of
// 32 bytes of neighbouring outputs at once. Windows of 9 and 25 samples are
// too small for the histogram's fixed cost per pixel (or the partition of
// each gathered window).
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
//
// Only the kernels' translation unit includes this: it builds the row
// routine into the copies it makes for each processor.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "framework/Samples.h"

namespace px::median {

// Lanes are loaded and stored as bytes in memory order.
static_assert(std::endian::native == std::endian::little);

// 32 bytes of keys, the width of an AVX2 register; the copy built without
// AVX2 works each lane as two 16-byte halves.
constexpr size_t kLaneBytes = 32;

// The networks serve radius 1 and 2 only: their steps grow with the square
// of the window's side, the histogram's work per output only with the side,
// and radius 3's candidates (7 sorted columns of 6, 42 wires) would outgrow
// the networks' wires below.
constexpr int kLargestNetworkRadius = 2;

// A lane of keys of each width. Spelled out for each: GCC drops the vector
// attribute from a type that depends on a template's parameter.
template <class Key>
struct LanesOf;
template <>
struct LanesOf<uint8_t> {
    typedef uint8_t Type __attribute__((vector_size(kLaneBytes)));
};
template <>
struct LanesOf<uint16_t> {
    typedef uint16_t Type __attribute__((vector_size(kLaneBytes)));
};

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

// Room for the largest network, radius 2's candidates: 5 sorted columns of
// 4 merged, 20 wires and 72 steps before pruning (60 after). A wire is a byte.
constexpr size_t kMaxWires = 32;
constexpr size_t kMaxSteps = 128;

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
    std::array<Step, kMaxSteps> steps{};
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
// steps cost sanitized builds most of a minute to compile the kernels.
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
// row ends (the outputs it repeats come out the same again), so rows must be
// at least a lane wide (kLanes columns). `scratch` holds 2r rows of
// columns + 2r keys. Samples are S (Samples8 or Samples16).
template <class S, int radius>
struct SmallMedian {
    using Key = typename S::Key;
    using Lanes = typename LanesOf<Key>::Type;
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

    static void Rows(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                     int32_t destinationRowBytes, bool thresholded, Key threshold, Key* scratch)
    {
        const int32_t span = columns + 2 * radius;
        for (int32_t y = 0; y < rows; y += 2) {
            const uint8_t* shared = SampleAt<S>(source, sourceRowBytes, y - radius + 1, -radius);
            for (int32_t x = 0; x < span; x += kLanes)
                SortColumns(shared, sourceRowBytes, std::min(x, span - kLanes), scratch, span);
            Pair pair{.sorted = scratch,
                      .span = span,
                      .outputs = std::min(rows - y, 2),
                      .thresholded = thresholded,
                      .threshold = threshold};
            for (int o = 0; o < pair.outputs; ++o) {
                pair.beyond[o] = SampleAt<S>(source, sourceRowBytes, o == 0 ? y - radius : y + 1 + radius, -radius);
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

}  // namespace px::median
