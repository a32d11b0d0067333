// The rank filters give every sample a value taken from the square of
// (2r + 1) x (2r + 1) samples centred on it, r from 1 to 16: Maximum its
// largest, Minimum its smallest, Median its middle value, Average its mean
// (truncated), and Dust & Scratches its median only where the sample stands
// out from that median by more than a threshold. All of them work at the
// image's own depth on every plane, transparency too, and read edge copies
// around the tile, so border pixels have full neighbourhoods. The kernels
// are RankKernels.h's. Thresholds stay in 8-bit levels: Dust & Scratches
// scales its threshold by 257 at 16 bits (so 255 still spans the range) and
// by 1 / 255 for floats.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "FilterList.h"
#include "framework/BandDriver.h"
#include "framework/Samples.h"
#include "framework/SettingsFilter.h"
#include "neighbourhood/RankKernels.h"

namespace px {

// ---------------------------------------------------------------------------
// The parameter block.

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

namespace {

constexpr int kLargestRadius = kLargestSquareRadius;
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

// ---------------------------------------------------------------------------
// Settings.

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

constexpr Setting kMaximumSettings[] = {
    RadiusSetting("half the side of the square each pixel takes the largest value of")};
constexpr Setting kMinimumSettings[] = {
    RadiusSetting("half the side of the square each pixel takes the smallest value of")};
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
// The plane pass: one plane per call through the framework's band pass with
// a halo of r edge copies.

// One 8-bit level in sample units: 255 of them span 65535 at 16 bits and 1.0 for floats.
template <class S>
constexpr double kLevel = std::is_same_v<S, Samples16>   ? 257
                          : std::is_same_v<S, Samples32> ? 1.0 / 255
                                                         : 1;

// What a band works in, for bands of `columns` columns at the working depth.
template <RankKind kind>
size_t RankScratchBytes(int32_t columns, const FilterRecord& record)
{
    const int radius = RadiusOf(*static_cast<const RankSettings*>(record.parameters));
    const int bytes = record.hostProc->workingDepth / 8;
    if constexpr (kind == RankKind::kMaximum || kind == RankKind::kMinimum)
        return SquareExtremeScratchBytes(columns, radius, bytes);
    else if constexpr (kind == RankKind::kAverage)
        return SquareMeanScratchBytes(columns, radius, bytes);
    else
        return SquareMedianScratchBytes(columns, radius, bytes);
}

template <RankKind kind, class S>
void RankBand(const Band& band, const FilterRecord& record)
{
    if (band.empty())
        return;
    using Kernels = SquareKernels<S>;
    const auto& settings = *static_cast<const RankSettings*>(record.parameters);
    const int radius = RadiusOf(settings);
    const BandAddress a = AddressBand(band, record, S::kBytes);
    uint8_t* scratch = BandScratch(RunOf<RankSettings>(record), &band);
    if constexpr (kind == RankKind::kMaximum) {
        Kernels::Maximum(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes, radius,
                         scratch);
    } else if constexpr (kind == RankKind::kMinimum) {
        Kernels::Minimum(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes, radius,
                         scratch);
    } else if constexpr (kind == RankKind::kAverage) {
        Kernels::Mean(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes, radius,
                      scratch);
    } else {
        const int threshold = std::clamp<int>(settings.threshold, 0, kLargestThreshold);
        const MedianRule rule{.thresholded = kind == RankKind::kDustAndScratches, .threshold = threshold * kLevel<S>};
        Kernels::Median(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes, radius,
                        rule, scratch);
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

}  // namespace

constinit const FilterUnit MaximumFilter = SettingsFilterUnit<kRankFilter<RankKind::kMaximum>>();
constinit const FilterUnit MinimumFilter = SettingsFilterUnit<kRankFilter<RankKind::kMinimum>>();
constinit const FilterUnit MedianFilter = SettingsFilterUnit<kRankFilter<RankKind::kMedian>>();
constinit const FilterUnit AverageFilter = SettingsFilterUnit<kRankFilter<RankKind::kAverage>>();
constinit const FilterUnit DustAndScratchesFilter = SettingsFilterUnit<kRankFilter<RankKind::kDustAndScratches>>();

}  // namespace px
