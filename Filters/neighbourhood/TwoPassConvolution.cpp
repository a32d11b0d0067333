#include "neighbourhood/TwoPassConvolution.h"

#include <algorithm>
#include <cstddef>

#include "framework/Module.h"

namespace px {

namespace {

// A cache line, the unit of the pitches and of the fetches ahead.
constexpr int32_t kLineBytes = 64;

// A pitch of an odd number of cache lines: a column's samples then spread
// over every cache set, where a power-of-two pitch (a 4096-pixel row) would
// pile them into a few and every access would miss.
int32_t SpreadPitch(int32_t bytes) { return ((bytes + kLineBytes - 1) / kLineBytes | 1) * kLineBytes; }

// The vertical pass convolves a band's columns kTileRows rows at a time into
// the band's tile, whose rows are then copied to the output: output rows are
// the image's own, whose pitch the filter cannot choose. A tile of 256 x 256
// samples (80 KiB at 8 bits, 144 KiB at 16 and 272 KiB at 32 with the spread
// pitch) stays in a core's L2 cache (512 KiB on the machines this is
// measured on) with the unfiltered samples fetched ahead for it, until the
// combination reads them back; and a column of 256 samples is long enough to
// repay each call of the host's line routine.
constexpr int32_t kTileRows = 256;
constexpr int32_t kTileColumns = 256;

void ConvolveLine(const FilterRecord& record, const LineKernel& kernel, int32_t count, const uint8_t* source,
                  int32_t sourceStep, uint8_t* destination, int32_t destinationStep)
{
    const int32_t bits = record.hostProc->workingDepth;
    if (bits == 8)
        PixelRoutines().ConvolveLine8(count, source, sourceStep, destination, destinationStep, kernel.weights,
                                      kernel.table, kernel.n);
    else
        PixelRoutines().ConvolveLineDeep(count, source, sourceStep, destination, destinationStep, bits, kernel.weights,
                                         kernel.n);
}

}  // namespace

void ConvolveRowBand(const Band& band, const FilterRecord& record, const TwoPassPlane& plane)
{
    const int32_t bytes = BytesPerSample(record);
    const auto* input = static_cast<const uint8_t*>(record.inData);
    for (int32_t y = band.top; y < band.bottom; ++y) {
        const int32_t row = y - record.inRect.top;
        const uint8_t* source = input + ptrdiff_t(row) * record.inRowBytes + (band.left - record.inRect.left) * bytes;
        uint8_t* destination =
            PlaneScratch(*plane.run) + ptrdiff_t(row) * plane.rowBytes + (band.left - record.outRect.left) * bytes;
        ConvolveLine(record, plane.kernel, band.width(), source, bytes, destination, bytes);
    }
}

void ConvolveColumnBand(const Band& band, const FilterRecord& record, const TwoPassPlane& plane)
{
    const int32_t bytes = BytesPerSample(record);
    uint8_t* tile = BandScratch(*plane.run, &band);
    const int32_t column = band.left - record.outRect.left;
    const uint8_t* firstRow =
        PlaneScratch(*plane.run) + ptrdiff_t(record.outRect.top - record.inRect.top) * plane.rowBytes + column * bytes;
    auto* output = static_cast<uint8_t*>(record.outData) + column * bytes;
    const uint8_t* unfiltered = static_cast<const uint8_t*>(record.inData) +
                                ptrdiff_t(record.outRect.top - record.inRect.top) * record.inRowBytes +
                                (band.left - record.inRect.left) * bytes;
    const int32_t rows = record.outRect.height();
    for (int32_t top = 0; top < rows; top += kTileRows) {
        const int32_t count = std::min(kTileRows, rows - top);
        for (int32_t left = 0; left < band.width(); left += kTileColumns) {
            const int32_t columns = std::min(kTileColumns, band.width() - left);
            const uint8_t* tileInput = unfiltered + ptrdiff_t(top) * record.inRowBytes + left * bytes;
            // The combination reads the tile's unfiltered samples, a short
            // run from each of many rows, which the processor does not fetch
            // ahead by itself: their cache lines are asked for evenly over
            // the columns while the columns convolve, into the outer caches
            // only (locality 2), since the combination reads them after the
            // whole tile has convolved.
            const int32_t linesPerRow = (columns * bytes + kLineBytes - 1) / kLineBytes;
            const int32_t lines = plane.combine ? count * linesPerRow : 0;
            for (int32_t x = 0; x < columns; ++x) {
                for (int32_t line = x * lines / columns; line < (x + 1) * lines / columns; ++line)
                    __builtin_prefetch(tileInput + ptrdiff_t(line / linesPerRow) * record.inRowBytes +
                                           (line % linesPerRow) * kLineBytes,
                                       0, 2);
                ConvolveLine(record, plane.kernel, count,
                             firstRow + ptrdiff_t(top) * plane.rowBytes + (left + x) * bytes, plane.rowBytes,
                             tile + x * bytes, plane.tileRowBytes);
            }
            uint8_t* target = output + ptrdiff_t(top) * record.outRowBytes + left * bytes;
            if (plane.combine)
                plane.combine(record, count, columns, tileInput, tile, plane.tileRowBytes, target);
            else
                CopyBand(count, columns * bytes, tile, plane.tileRowBytes, target, record.outRowBytes);
        }
    }
}

int16_t RunTwoPasses(FilterRecord& record, TwoPassPlane& plane, BandCallback rowBands, BandCallback columnBands)
{
    RunState& run = *plane.run;
    FilterHostBlock& host = *record.hostProc;
    const int32_t bytes = BytesPerSample(record);
    const Rect16 scratchRect{record.inRect.top, record.outRect.left, record.inRect.bottom, record.outRect.right};
    const int columnCount = SplitPassIntoBands(run, 0, host.bandCount, record.outRect);
    const int32_t widest = run.bands[0].width();
    plane.rowBytes = SpreadPitch(scratchRect.width() * bytes);
    plane.tileRowBytes = SpreadPitch(std::min(widest, kTileColumns) * bytes);
    const size_t rowsBytes = size_t(scratchRect.height()) * size_t(plane.rowBytes);
    const size_t tileBytes = size_t(std::min(record.outRect.height(), kTileRows)) * size_t(plane.tileRowBytes);
    if (ReserveScratch(run, rowsBytes, tileBytes, columnCount) != kNoErr)
        return kMemFullErr;
    // The horizontal pass needs no scratch of its own bands: they write the
    // pass's rows.
    Band rowBandList[kMaxBands];
    host.ForEachBand(SplitIntoBands(1, host.bandCount, scratchRect, rowBandList), rowBandList, rowBands, 0);
    host.ForEachBand(columnCount, run.bands, columnBands, 0);
    return kNoErr;
}

}  // namespace px
