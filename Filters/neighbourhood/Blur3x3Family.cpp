// The fixed 3x3 blur and sharpen filters. Each hands every band to one 3x3
// routine of the host; a one-pixel halo of edge copies around the tile
// gives border pixels a full neighbourhood. The blurs work on 8-bit samples
// and smooth the transparency plane too; the sharpeners work at the image's
// own depth and leave transparency alone.
#include <algorithm>
#include <cstdlib>

#include "FilterList.h"
#include "neighbourhood/Blur3x3Family.h"
#include "framework/FilterProtocol.h"
#include "framework/Module.h"

namespace px {

// Blur Edges blurs only where the 3x3 neighbourhood spans at least this many
// levels, the same edge test as Sharpen Edges, so the pair blur and sharpen
// exactly the same pixels.
constexpr int kEdgeRange8 = 16;

// Restores the centre sample wherever the neighbourhood's range is below
// `edgeRange`: `source` has a one-pixel halo, `destination` holds the blur.
void KeepFlatAreas(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                   int32_t destinationRowBytes, int edgeRange)
{
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* above = source + (y - 1) * intptr_t(sourceRowBytes);
        const uint8_t* centre = above + sourceRowBytes;
        const uint8_t* below = centre + sourceRowBytes;
        uint8_t* out = destination + size_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x) {
            int low = 255, high = 0;
            for (const uint8_t* row : {above, centre, below})
                for (int dx = -1; dx <= 1; ++dx) {
                    low = std::min<int>(low, row[x + dx]);
                    high = std::max<int>(high, row[x + dx]);
                }
            if (high - low < edgeRange)
                out[x] = centre[x];
        }
    }
}

namespace {

enum class Routine { kBlur, kBlurMore, kSharpen, kSharpenMore, kSharpenEdges };

template <Routine routine>
void FilterBand(const Band* band, FilterRecord* record)
{
    const HostPixelRoutines& routines = PixelRoutines();
    const int bitsPerSample = record->hostProc->workingDepth;
    const BandAddress a = AddressBand(*band, *record, bitsPerSample / 8);
    switch (routine) {
    case Routine::kBlur:
        routines.Blur3x3(a.rows, a.columns, a.source, a.destination, a.sourceRowBytes, a.destinationRowBytes);
        break;
    case Routine::kBlurMore:
        routines.BlurMore3x3(a.rows, a.columns, a.source, a.destination, a.sourceRowBytes, a.destinationRowBytes);
        break;
    case Routine::kSharpen:
        routines.Sharpen3x3(a.rows, a.columns, a.source, a.destination, a.sourceRowBytes, a.destinationRowBytes,
                            bitsPerSample);
        break;
    case Routine::kSharpenMore:
        routines.SharpenMore3x3(a.rows, a.columns, a.source, a.destination, a.sourceRowBytes, a.destinationRowBytes,
                                bitsPerSample);
        break;
    case Routine::kSharpenEdges:
        routines.SharpenEdges3x3(a.rows, a.columns, a.source, a.destination, a.sourceRowBytes, a.destinationRowBytes,
                                 bitsPerSample);
        break;
    }
}

void BlurEdgesBand(const Band* band, FilterRecord* record)
{
    const BandAddress a = AddressBand(*band, *record, 1);
    PixelRoutines().Blur3x3(a.rows, a.columns, a.source, a.destination, a.sourceRowBytes, a.destinationRowBytes);
    KeepFlatAreas(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes, kEdgeRange8);
}

// Every routine here writes each output sample.
constexpr PlanePass Blur8(BandCallback bands)
{
    return {.halo = 1, .transparency = Transparency::kFilter, .bands8 = bands, .overwritesOutput = true};
}
constexpr PlanePass SharpenAnyDepth(BandCallback bands)
{
    return {
        .halo = 1, .transparency = Transparency::kLeave, .bands8 = bands, .bandsDeep = bands, .overwritesOutput = true};
}

constexpr PlainFilter kBlur{18021, Blur8(FilterBand<Routine::kBlur>)};
constexpr PlainFilter kBlurEdges{18022, Blur8(BlurEdgesBand)};
constexpr PlainFilter kBlurMore{18023, Blur8(FilterBand<Routine::kBlurMore>)};
constexpr PlainFilter kSharpen{18080, SharpenAnyDepth(FilterBand<Routine::kSharpen>)};
constexpr PlainFilter kSharpenEdges{18081, SharpenAnyDepth(FilterBand<Routine::kSharpenEdges>)};
constexpr PlainFilter kSharpenMore{18082, SharpenAnyDepth(FilterBand<Routine::kSharpenMore>)};

}  // namespace

constinit const FilterUnit BlurFilter = PlainFilterUnit<kBlur>();
constinit const FilterUnit BlurEdgesFilter = PlainFilterUnit<kBlurEdges>();
constinit const FilterUnit BlurMoreFilter = PlainFilterUnit<kBlurMore>();
constinit const FilterUnit SharpenFilter = PlainFilterUnit<kSharpen>();
constinit const FilterUnit SharpenEdgesFilter = PlainFilterUnit<kSharpenEdges>();
constinit const FilterUnit SharpenMoreFilter = PlainFilterUnit<kSharpenMore>();

}  // namespace px
