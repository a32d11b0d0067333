// A plane convolved with a symmetric kernel in two passes through the host's
// line routines: rows of the input (the tile and a halo of edge copies) into
// the run's plane scratch, then columns of that scratch, a tile at a time,
// into each band's scratch, whose rows go to the output through the filter's
// combination while they are still in cache.
#pragma once

#include <cstdint>

#include "framework/BandDriver.h"
#include "host/FilterRecord.h"
#include "host/PixelRoutines.h"

namespace px {

// The kernel: n one-sided weights, the centre's first, and the host's table
// built from them, which its 8-bit line routine takes.
struct LineKernel {
    const double* weights = nullptr;
    int32_t n = 0;
    const KernelTable* table = nullptr;
};

// Writes a tile of `rows` x `columns` samples to `output` (at the record's
// outRowBytes) from its blur and the unfiltered samples under it (at the
// record's inRowBytes).
using TileCombination = void (*)(const FilterRecord& record, int32_t rows, int32_t columns, const uint8_t* unfiltered,
                                 const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* output);

// A plane between its two passes, which the band routines read.
struct TwoPassPlane {
    LineKernel kernel;
    TileCombination combine = nullptr;  // null: the blur is the output
    RunState* run = nullptr;  // whose scratch holds the passes' rows and tiles
    int32_t rowBytes = 0;  // of the horizontal pass's rows
    int32_t tileRowBytes = 0;
};

// Where the plane in progress is kept (the run's own data): band routines
// get only the band and the record.
using TwoPassPlaneOf = TwoPassPlane& (*)(const FilterRecord& record);

// The passes' band routines: rows of the input into the plane scratch (bands
// are rows), and columns of the scratch through each band's tile to the
// output (bands are columns).
void ConvolveRowBand(const Band& band, const FilterRecord& record, const TwoPassPlane& plane);
void ConvolveColumnBand(const Band& band, const FilterRecord& record, const TwoPassPlane& plane);

// Lays out the plane's run's scratch for the tile that `record` holds (the
// plane requested with a halo of n - 1 or more) and runs both passes with
// the band routines given. The host's error when the scratch cannot be had.
int16_t RunTwoPasses(FilterRecord& record, TwoPassPlane& plane, BandCallback rowBands, BandCallback columnBands);

// One plane of the requested tile convolved with `kernel`, then combined.
template <TwoPassPlaneOf planeOf>
int16_t ConvolvePlaneTwice(FilterRecord& record, RunState& run, const LineKernel& kernel, TileCombination combine)
{
    struct Bands {
        static void Rows(const Band* band, FilterRecord* record) { ConvolveRowBand(*band, *record, planeOf(*record)); }
        static void Columns(const Band* band, FilterRecord* record)
        {
            ConvolveColumnBand(*band, *record, planeOf(*record));
        }
    };
    TwoPassPlane& plane = planeOf(record);
    plane = TwoPassPlane{.kernel = kernel, .combine = combine, .run = &run};
    return RunTwoPasses(record, plane, Bands::Rows, Bands::Columns);
}

}  // namespace px
