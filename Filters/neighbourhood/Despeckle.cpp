// Despeckle gives a sample the weighted mean of its 3 x 3 neighbourhood,
//   m = (2 x (N + S + W + c + E) + NW + NE + SW + SE) / 14
// (the weights' sum), only where it differs little from it: where |m - c| is
// below the threshold. Elsewhere the sample is left as it is, so edges stay
// sharp. It works at the image's own depth on every plane, transparency too,
// and reads one edge copy around the tile. The threshold is in 8-bit levels.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "FilterList.h"
#include "framework/BandDriver.h"
#include "framework/Samples.h"
#include "framework/SettingsFilter.h"

namespace px {

// The parameter block, kept whole in the settings store.
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

constexpr int32_t kDespeckleId = 16130;
// Kept in the settings store under this id and record.
constexpr int32_t kDespeckleStoreId = 16040;
constexpr int32_t kDespeckleStoreRecord = 0x101;
constexpr int kDespeckleLowest = 16;
constexpr int kDespeckleHighest = 256;

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

// ---------------------------------------------------------------------------
// Kernels.

// Row routines: `out` from the rows above, at and below it, each read from
// column -1 to column `columns`.

// 8 bits: m by unsigned integer division. The weighted sum fits 16 bits and
// a sample left alone is written back as it was, so the loop vectorises.
void DespeckleRow8(int32_t columns, const uint8_t* above, const uint8_t* centre, const uint8_t* below, uint8_t* out,
                   int threshold)
{
    const uint16_t limit = uint16_t(threshold);
    for (int32_t x = 0; x < columns; ++x) {
        const uint16_t c = centre[x];
        const uint16_t sum = uint16_t(2 * (above[x] + below[x] + centre[x - 1] + c + centre[x + 1]) + above[x - 1] +
                                      above[x + 1] + below[x - 1] + below[x + 1]);
        const uint16_t m = uint16_t(sum / 14);
        const uint16_t difference = uint16_t(m > c ? m - c : c - m);
        out[x] = difference < limit ? uint8_t(m) : out[x];
    }
}

// Deep samples: m in floating point, compared in 8-bit units and written at
// the sample's depth (16 bits truncated). A 16-bit sample counts 256 per
// level here, not the 257 that would make 255 levels span 65535: a 16-bit
// sample is compared as its high byte and a fraction. A float's 1.0 is 255.
template <class S>
void DespeckleRowDeep(int32_t columns, const uint8_t* above, const uint8_t* centre, const uint8_t* below, uint8_t* out,
                      int threshold)
{
    constexpr double kLevelsPerUnit = std::is_same_v<S, Samples16> ? 1.0 / 256 : 255.0;
    const auto at = [](const uint8_t* row, int32_t x) { return S::Value(S::Load(row, x)); };
    for (int32_t x = 0; x < columns; ++x) {
        const double c = at(centre, x);
        const double m = (2 * (at(above, x) + at(below, x) + at(centre, x - 1) + c + at(centre, x + 1)) +
                          at(above, x - 1) + at(above, x + 1) + at(below, x - 1) + at(below, x + 1)) /
                         14;
        if (std::abs(m - c) * kLevelsPerUnit < threshold)
            S::StoreValue(out, x, m);
    }
}

// A band of S samples.
template <class S>
void DespeckleRows(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                   int32_t destinationRowBytes, int threshold)
{
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* centre = source + intptr_t(y) * sourceRowBytes;
        uint8_t* out = destination + size_t(y) * destinationRowBytes;
        if constexpr (std::is_same_v<S, Samples8>)
            DespeckleRow8(columns, centre - sourceRowBytes, centre, centre + sourceRowBytes, out, threshold);
        else
            DespeckleRowDeep<S>(columns, centre - sourceRowBytes, centre, centre + sourceRowBytes, out, threshold);
    }
}

// ---------------------------------------------------------------------------
// The plane pass: a halo of one edge copy, every plane.

template <class S>
void DespeckleBand(const Band& band, const FilterRecord& record)
{
    const auto& settings = *static_cast<const DespeckleSettings*>(record.parameters);
    const BandAddress a = AddressBand(band, record, S::kBytes);
    DespeckleRows<S>(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes,
                     std::clamp<int>(settings.threshold, kDespeckleLowest, kDespeckleHighest));
}

void DespeckleBands8(const Band* band, FilterRecord* record) { DespeckleBand<Samples8>(*band, *record); }

void DespeckleBandsDeep(const Band* band, FilterRecord* record)
{
    if (record->hostProc->workingDepth == 16)
        DespeckleBand<Samples16>(*band, *record);
    else
        DespeckleBand<Samples32>(*band, *record);
}

// Despeckle writes only the samples it changes, so it does not declare that
// it overwrites the output.
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

constinit const FilterUnit DespeckleFilter = SettingsFilterUnit<kDespeckle>();

}  // namespace px
