// Point-map filters: each output sample depends on its own pixel alone.
// Invert, Solarize and Desaturate have no settings; Threshold and Posterize
// keep a parameter block and have a dialog. Invert, Solarize and Threshold
// see straight colour on layers with transparency (the white matte);
// Posterize and Desaturate work on the stored values.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "FilterList.h"
#include "adjust/PointMaps.h"
#include "framework/Dialog.h"
#include "framework/FilterProtocol.h"
#include "framework/Module.h"
#include "framework/SettingsFilter.h"
#include "framework/WhiteMatte.h"

namespace px {

// ---------------------------------------------------------------------------
// Parameter blocks.

struct ThresholdBlock {
    uint8_t level;
    uint8_t showDialog;
    uint8_t reserved[2];
    ProgressCounters counters;
    int32_t previewEnable;
};
static_assert(sizeof(ThresholdBlock) == 16 && offsetof(ThresholdBlock, counters) == 4 &&
              offsetof(ThresholdBlock, previewEnable) == 12);

struct PosterizeBlock {
    int16_t levels;
    uint8_t showDialog;
    uint8_t reserved;
    ProgressCounters counters;
    uint8_t table[256];
    int32_t previewEnable;
};
static_assert(sizeof(PosterizeBlock) == 272 && offsetof(PosterizeBlock, counters) == 4 &&
              offsetof(PosterizeBlock, table) == 12 && offsetof(PosterizeBlock, previewEnable) == 268);

namespace {

// What the Threshold dialog shows beside the level: the gray histogram of
// the filter rectangle, gathered when it opens.
struct ThresholdRun {
    uint32_t histogram[256] = {};
};

constexpr Setting kThresholdSettings[] = {
    {.name = "level",
     .key = FourCC("thlv"),
     .minimum = 0,
     .maximum = 255,
     .defaultValue = 128,
     .description = "pixels whose gray is at or above it turn white",
     .member = PX_MEMBER(ThresholdBlock, level),
     .slider = 100,
     .field = 101,
     .mapping = Linear(0, 255),
     // Auto may find 0 (an image of one value), but a level the user sets
     // starts at 1: at 0 every pixel would turn white.
     .dialogMinimum = 1,
     .scripted = Slot(0, MemberType::kInt16)},
};

constexpr Setting kPosterizeSettings[] = {
    {.name = "levels",
     .key = 0x8abc,
     .altKey = FourCC("ptlv"),
     .minimum = 2,
     .maximum = 255,
     .defaultValue = 4,
     .description = "brightness levels kept in each channel",
     .member = PX_MEMBER(PosterizeBlock, levels),
     .slider = 100,
     .field = 101,
     .mapping = Linear(0, 255),
     .scripted = Slot(0, MemberType::kInt16)},
};

// ---------------------------------------------------------------------------
// Invert: every sample complemented; bitmaps bit by bit.

// Copies a band row by row and complements each row while it is still in
// cache; deep samples are complemented byte by byte, which maps v to max - v.
void CopyAndInvertRows(const BandAddress& a, int32_t rowBytes)
{
    const HostPixelRoutines& routines = PixelRoutines();
    const bool inPlace = a.source == a.destination;
    for (int32_t y = 0; y < a.rows; ++y) {
        uint8_t* out = a.destination + size_t(y) * a.destinationRowBytes;
        if (!inPlace)
            std::memcpy(out, a.source + size_t(y) * a.sourceRowBytes, size_t(rowBytes));
        routines.InvertBytes(1, rowBytes, out, a.destinationRowBytes);
    }
}

void InvertBands8(const Band* band, FilterRecord* record)
{
    if (record->imageMode == kModeBitmap) {
        const BandAddress a = AddressBand(*band, *record, 0);
        CopyBits(a.rows, a.columns, a.bitOffset, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes);
        ComplementBits(a.rows, a.columns, a.bitOffset, a.destination, a.destinationRowBytes);
        return;
    }
    if (!FindWhiteMatte(*record)) {
        CopyAndInvertRows(AddressBand(*band, *record, InterleavedPlanes(*record)),
                          band->width() * InterleavedPlanes(*record));
        return;
    }
    MattedPointBand(*band, *record, [](const BandAddress& a, int planes) {
        PixelRoutines().InvertBytes(a.rows, a.columns * planes, a.destination, a.destinationRowBytes);
    });
}

void InvertBandsDeep(const Band* band, FilterRecord* record)
{
    const int bytesPerPixel = BytesPerSample(*record) * InterleavedPlanes(*record);
    const BandAddress a = AddressBand(*band, *record, bytesPerPixel);
    CopyAndInvertRows(a, a.columns * bytesPerPixel);
}

constexpr PlainFilter kInvert{.aboutTitle = 18063,
                              .pass = {.halo = 0,
                                       .transparency = Transparency::kLeave,
                                       .bands8 = InvertBands8,
                                       .bandsDeep = InvertBandsDeep,
                                       .pointwise = true}};

// ---------------------------------------------------------------------------
// Solarize: samples with the top bit set are complemented.

void SolarizeBands(const Band* band, FilterRecord* record)
{
    MattedPointBand(*band, *record, [](const BandAddress& a, int planes) {
        for (int32_t y = 0; y < a.rows; ++y) {
            uint8_t* row = a.destination + size_t(y) * a.destinationRowBytes;
            for (int32_t x = 0; x < a.columns * planes; ++x)
                row[x] = row[x] < 128 ? row[x] : uint8_t(255 - row[x]);
        }
    });
}

constexpr PlainFilter kSolarize{
    .aboutTitle = 18083,
    .pass = {.halo = 0, .transparency = Transparency::kLeave, .bands8 = SolarizeBands, .pointwise = true}};

// ---------------------------------------------------------------------------
// Desaturate: the lightness (max + min) / 2 of each pixel's colour. RGB,
// CMYK (K kept) and Lab (L kept, a and b neutral) run as one interleaved
// pass; any other mode is refused with a beep.

// Planes of the one interleaved pass, by mode; 0 for a mode it refuses.
int DesaturatePlanes(int16_t mode)
{
    switch (mode) {
    case kModeRGB:
    case kModeLab: return 3;
    case kModeCMYK: return 4;
    default: return 0;
    }
}

void DesaturateBands(const Band* band, FilterRecord* record)
{
    const int planes = InterleavedPlanes(*record);
    const BandAddress a = AddressBand(*band, *record, planes);
    const bool lab = record->imageMode == kModeLab;
    for (int32_t y = 0; y < a.rows; ++y) {
        const uint8_t* in = a.source + size_t(y) * a.sourceRowBytes;
        uint8_t* out = a.destination + size_t(y) * a.destinationRowBytes;
        for (int32_t x = 0; x < a.columns; ++x, in += planes, out += planes) {
            if (lab) {
                out[0] = in[0];
                out[1] = out[2] = 128;
                continue;
            }
            const uint8_t high = std::max({in[0], in[1], in[2]});
            const uint8_t low = std::min({in[0], in[1], in[2]});
            out[0] = out[1] = out[2] = uint8_t((high + low) >> 1);
            if (planes == 4)
                out[3] = in[3];
        }
    }
}

void DesaturateResetPlanes(FilterRecord& record)
{
    const int planes = DesaturatePlanes(record.imageMode);
    if (planes == 0)
        return;
    record.outLoPlane = 0;
    record.outHiPlane = int16_t(planes - 1);
}

// One pass over all colour planes at once, then the pass is over.
int16_t DesaturatePass(FilterRecord& record, RunState& run)
{
    if (DesaturatePlanes(record.imageMode) == 0) {
        Host().platform->MessageBeep(0);
        EndPass(record);
        return kNoErr;
    }
    if (const int16_t error = RequestTile(record, {}); error != kNoErr)
        return error;
    const int count = SplitPassIntoBands(run, 1, record.hostProc->bandCount, record.outRect);
    record.hostProc->ForEachBand(count, run.bands, DesaturateBands, 0);
    const int16_t result = FinishPass(
        record, run.counters,
        uint32_t(InterleavedPlanes(record)) * uint32_t(record.outRect.height()) * uint32_t(record.outRect.width()));
    EndPass(record);
    return result;
}

constexpr PlainFilter kDesaturate{.aboutTitle = 18043,
                                  .pass = {.transparency = Transparency::kLeave, .bands8 = DesaturateBands},
                                  .processPlane = DesaturatePass,
                                  .resetPlanes = DesaturateResetPlanes};

// ---------------------------------------------------------------------------
// Threshold: every pixel black or white by its gray value against the level.

// Gray of one pixel of interleaved samples, by mode: RGB weighs its
// channels 77 : 150 : 28 of 255 (about 0.30, 0.59, 0.11); CMYK darkens K by
// how light the inks C + M + Y (at most 765) leave the pixel.
uint8_t GrayOf(const uint8_t* pixel, int16_t mode)
{
    if (mode == kModeRGB)
        return uint8_t((77 * pixel[0] + 150 * pixel[1] + 28 * pixel[2]) / 255);
    if (mode == kModeCMYK) {
        const int k = pixel[3];
        return uint8_t(k - ((765 - (pixel[0] + pixel[1] + pixel[2])) * k) / 765);
    }
    return pixel[0];
}

// Plane range of one Threshold step: the colour planes of RGB and CMYK
// together, other modes one plane at a time.
int ThresholdPlanesTogether(int16_t mode) { return mode == kModeRGB ? 3 : mode == kModeCMYK ? 4 : 1; }

bool ThresholdWrites(int16_t mode)
{
    return mode != kModeBitmap && mode != kModeIndexed && mode != kModeHSL && mode != kModeHSB;
}

void ThresholdResetPlanes(FilterRecord& record)
{
    record.outLoPlane = 0;
    record.outHiPlane = int16_t(ThresholdPlanesTogether(record.imageMode) - 1);
}

// The whole tile as one band: gray values into scratch sized from the band,
// thresholded, then written back by the mode's rule.
int16_t ThresholdBand(FilterRecord& record, const ThresholdBlock& block)
{
    const HostPixelRoutines& routines = PixelRoutines();
    const int planes = InterleavedPlanes(record);
    const Band band = record.outRect;
    const BandAddress a = AddressBand(band, record, planes);
    const int16_t mode = record.imageMode;
    const bool lab = mode == kModeLab;
    if (lab && record.outLoPlane > 0) {
        routines.FillSamples(a.rows, a.columns, a.destination, a.destinationRowBytes, 1, 128);
        return kNoErr;
    }
    if (planes == 1 && (mode != kModeGrayscale || lab)) {
        routines.ThresholdBytes(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes,
                                block.level);
        return kNoErr;
    }
    const HostPlaneView* matte = FindWhiteMatte(record);
    const uint8_t* alpha = matte ? AlphaAt(*matte, band) : nullptr;
    if (matte)
        UnmatteBand(a.rows, a.columns, planes, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes, alpha,
                    matte->rowBytes);
    else
        CopyBand(a.rows, a.columns * planes, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes);

    RunState& run = RunOf<ThresholdBlock>(record);
    if (const int16_t error = ReserveScratch(run, size_t(a.rows) * size_t(a.columns), 0, 0); error != kNoErr)
        return error;
    uint8_t* gray = PlaneScratch(run);
    for (int32_t y = 0; y < a.rows; ++y) {
        const uint8_t* row = a.destination + size_t(y) * a.destinationRowBytes;
        for (int32_t x = 0; x < a.columns; ++x)
            gray[size_t(y) * a.columns + x] = GrayOf(row + x * planes, mode);
    }
    routines.ThresholdBytes(a.rows, a.columns, gray, a.columns, gray, a.columns, block.level);
    for (int32_t y = 0; y < a.rows; ++y) {
        uint8_t* row = a.destination + size_t(y) * a.destinationRowBytes;
        const uint8_t* g = gray + size_t(y) * a.columns;
        if (mode == kModeCMYK) {
            for (int p = 0; p < 3; ++p)
                routines.FillSamples(1, a.columns, row + p, a.destinationRowBytes, 4, 255);
            for (int32_t x = 0; x < a.columns; ++x)
                row[x * 4 + 3] = g[x];
        } else {
            for (int32_t x = 0; x < a.columns; ++x)
                for (int p = 0; p < planes; ++p)
                    row[x * planes + p] = g[x];
        }
    }
    if (matte)
        RematteBand(a.rows, a.columns, planes, a.destination, a.destinationRowBytes, alpha, matte->rowBytes);
    return kNoErr;
}

int16_t ThresholdPass(FilterRecord& record, ThresholdBlock& block)
{
    if (const int16_t error = RequestTile(record, {}); error != kNoErr)
        return error;
    if (ThresholdWrites(record.imageMode))
        if (const int16_t error = ThresholdBand(record, block); error != kNoErr)
            return error;
    const int planes = InterleavedPlanes(record);
    const int16_t result =
        FinishPass(record, RunOf<ThresholdBlock>(record).counters,
                   uint32_t(planes) * uint32_t(record.outRect.height()) * uint32_t(record.outRect.width()));
    const int16_t next = int16_t(record.outHiPlane + 1);
    if (planes > 1 || next >= PlanesToProcess(record, Transparency::kLeave)) {
        record.outRect = Rect16{};
        record.outLoPlane = record.outHiPlane = 0;
    } else {
        record.outLoPlane = record.outHiPlane = next;
    }
    record.inRect = record.outRect;
    record.inLoPlane = record.outLoPlane;
    record.inHiPlane = record.outHiPlane;
    return result;
}

// "Auto": the smallest level at which the count at or above it exceeds the
// count below it by the least non-negative margin, when that margin is
// smaller than the total; else 0. The margin is taken as an unsigned 32-bit
// value, so levels with more below than above never win.
uint8_t AutoThresholdLevel(const uint32_t (&histogram)[256])
{
    uint32_t total = 0;
    for (uint32_t count : histogram)
        total += count;
    uint32_t bestAbove = total, bestBelow = 0;
    uint8_t level = 0;
    uint32_t below = 0;
    for (int t = 0; t < 256; ++t) {
        const uint32_t above = total - below;
        if (above - below < bestAbove - bestBelow) {
            bestAbove = above;
            bestBelow = below;
            level = uint8_t(t);
        }
        below += histogram[t];
    }
    return level;
}

// The gray histogram of the filter rectangle, read through advanceState
// with the same gray rule as the filter.
void GatherThresholdHistogram(FilterRecord& record, uint32_t (&histogram)[256])
{
    std::fill(std::begin(histogram), std::end(histogram), 0u);
    const int planes = ThresholdPlanesTogether(record.imageMode);
    if (record.filterRect.empty() || RequestInput(record, record.filterRect, 0, int16_t(planes - 1)) != kNoErr)
        return;
    const auto* data = static_cast<const uint8_t*>(record.inData);
    for (int32_t y = 0; y < record.inRect.height(); ++y) {
        const uint8_t* row = data + size_t(y) * record.inRowBytes;
        for (int32_t x = 0; x < record.inRect.width(); ++x)
            ++histogram[GrayOf(row + x * planes, record.imageMode)];
    }
    record.inRect = Rect16{};
}

// The gray values of a 128 x 128 tile: what start sets aside, so a run that
// cannot have it fails before any pixel changes. A larger tile grows it.
constexpr size_t kThresholdStartScratch = 16384;

int16_t ThresholdAcquire(FilterRecord& record, ThresholdBlock&)
{
    return ReserveScratch(RunOf<ThresholdBlock>(record), kThresholdStartScratch, 0, 0);
}

void ThresholdDialogOpened(HostDialog*, FilterRecord& record, ThresholdBlock&)
{
    GatherThresholdHistogram(record, RunDataOf<ThresholdBlock, ThresholdRun>(record).histogram);
}

constexpr int32_t kAutoButton = 201;

bool ThresholdDialogItem(HostDialog* dialog, FilterRecord& record, ThresholdBlock& block, int32_t item)
{
    if (item != kAutoButton)
        return false;
    record.hostProc->StopPreview();
    block.level = AutoThresholdLevel(RunDataOf<ThresholdBlock, ThresholdRun>(record).histogram);
    ShowSettings(dialog, kThresholdSettings, &block);
    return true;
}

constexpr SettingsFilter<ThresholdBlock, ThresholdRun> kThreshold{
    .filterId = 16910,
    .aboutTitle = 18086,
    .settings = kThresholdSettings,
    .acquire = ThresholdAcquire,
    .dialog = 5243,
    .dialogTitle = 18087,
    .dialogOpened = ThresholdDialogOpened,
    .dialogItem = ThresholdDialogItem,
    .scriptingSize = 2,
    .pass = {.transparency = Transparency::kLeave},
    .processPlane = ThresholdPass,
    .resetPlanes = ThresholdResetPlanes,
};

// ---------------------------------------------------------------------------
// Posterize: each sample through a table of `levels` evenly spaced values.

void PosterizeBands(const Band* band, FilterRecord* record)
{
    const auto& block = *static_cast<const PosterizeBlock*>(record->parameters);
    const BandAddress a = AddressBand(*band, *record, 1);
    for (int32_t y = 0; y < a.rows; ++y) {
        const uint8_t* in = a.source + size_t(y) * a.sourceRowBytes;
        uint8_t* out = a.destination + size_t(y) * a.destinationRowBytes;
        for (int32_t x = 0; x < a.columns; ++x)
            out[x] = block.table[in[x]];
    }
}

void PosterizeDerive(PosterizeBlock& block) { BuildPosterizeTable(block.levels, block.table); }

constexpr SettingsFilter<PosterizeBlock> kPosterize{
    .filterId = 16920,
    .aboutTitle = 18079,
    .settings = kPosterizeSettings,
    .derive = PosterizeDerive,
    .dialog = 5242,
    .dialogTitle = 18078,
    .scriptingSize = 2,
    .pass = {.halo = 0, .transparency = Transparency::kFilter, .bands8 = PosterizeBands, .pointwise = true},
};

}  // namespace

// table[i] = trunc(q x 255 / (L - 1)) with q = trunc(i x L / 255), table[255] = 255.
// Both truncations are taken exactly, in integers: in floating point,
// (L - 1) x (255 / (L - 1)) falls just short of 255 for some L and the top
// level would appear twice (254 and 255), giving L + 1 values.
void BuildPosterizeTable(int levels, uint8_t* table)
{
    for (int i = 0; i < 255; ++i) {
        const int q = i * levels / 255;
        table[i] = uint8_t(q * 255 / (levels - 1));
    }
    table[255] = 255;
}

uint8_t ThresholdAutoLevel(const uint32_t (&histogram)[256]) { return AutoThresholdLevel(histogram); }

constinit const FilterUnit InvertFilter = PlainFilterUnit<kInvert>();
constinit const FilterUnit SolarizeFilter = PlainFilterUnit<kSolarize>();
constinit const FilterUnit DesaturateFilter = PlainFilterUnit<kDesaturate>();
constinit const FilterUnit ThresholdFilter = SettingsFilterUnit<kThreshold>();
constinit const FilterUnit PosterizeFilter = SettingsFilterUnit<kPosterize>();

}  // namespace px
