#include "framework/BandDriver.h"

#include <cassert>
#include <cstring>

#include "framework/Module.h"

namespace px {

int SplitIntoBands(int direction, int n, const Rect16& rect, Band* bands)
{
    assert(direction == 0 || direction == 1);
    const int start = direction == 1 ? rect.top : rect.left;
    const int end = direction == 1 ? rect.bottom : rect.right;
    const int length = end - start;
    if (n > kMaxBands)
        n = kMaxBands;
    if (length <= 0 || n <= 0)
        return 0;
    const bool perLine = length < n;
    const int count = perLine ? length : n;
    const int step = perLine ? 1 : (length + n - 1) / n;
    int from = start;
    for (int i = 0; i < count; ++i) {
        const int to = from + step < end ? from + step : end;
        Band band = rect;
        if (direction == 1) {
            band.top = int16_t(from);
            band.bottom = int16_t(to);
        } else {
            band.left = int16_t(from);
            band.right = int16_t(to);
        }
        bands[i] = band;
        from = to;
    }
    return count;
}

int PlanesToProcess(const FilterRecord& record, Transparency transparency)
{
    const bool skipLast = transparency == Transparency::kLeave && record.outTransparencyMask != 0;
    return record.planes - (skipLast ? 1 : 0);
}

void ResetProgress(ProgressCounters& counters, const FilterRecord& record, int planesToProcess)
{
    const Rect16& r = record.filterRect;
    counters.doneCount = 0;
    counters.totalCount = r.empty() ? 0 : uint32_t(planesToProcess) * uint32_t(r.height()) * uint32_t(r.width());
}

void ResetPlanes(FilterRecord& record)
{
    record.outLoPlane = 0;
    record.outHiPlane = 0;
}

int BytesPerSample(const FilterRecord& record)
{
    if (record.imageMode == kModeBitmap)
        return 0;
    return record.hostProc->workingDepth / 8;
}

int16_t FinishPass(FilterRecord& record, ProgressCounters& counters, uint32_t pixels)
{
    counters.doneCount += pixels;
    if (counters.totalCount == 0)
        return kNoErr;
    record.progressProc(counters.doneCount, counters.totalCount);
    return record.abortProc() ? kUserCanceledErr : kNoErr;
}

RunState::~RunState()
{
    if (scratch)
        Host().platform->FreeBlock(scratch);
}

namespace {
// Bands' scratch starts on cache lines of their own, so two workers never
// write the same line.
constexpr size_t kCacheLine = 64;
constexpr size_t WholeLines(size_t bytes) { return (bytes + kCacheLine - 1) / kCacheLine * kCacheLine; }
}  // namespace

int16_t ReserveScratch(RunState& run, size_t planeBytes, size_t bandBytes, int bands)
{
    assert(bands >= 0 && bands <= kMaxBands);
    const size_t planePart = WholeLines(planeBytes);
    const size_t bandPart = WholeLines(bandBytes);
    const size_t needed = planePart + bandPart * size_t(bands);
    if (needed > run.scratchBytes) {
        if (run.scratch)
            Host().platform->FreeBlock(run.scratch);
        run.scratch = nullptr;
        run.scratchBytes = 0;
        void* block = nullptr;
        if (needed > size_t(INT32_MAX))
            return kMemFullErr;
        if (const int16_t error = Host().NewBlock(&block, int32_t(needed)); error != kNoErr)
            return error;
        run.scratch = static_cast<uint8_t*>(block);
        run.scratchBytes = needed;
    }
    run.planeScratchBytes = planePart;
    run.bandScratchBytes = bandPart;
    return kNoErr;
}

uint8_t* BandScratch(const RunState& run, const Band* band)
{
    const ptrdiff_t index = band - run.bands;
    assert(index >= 0 && index < run.bandCount && run.bandScratchBytes > 0);
    return run.scratch + run.planeScratchBytes + size_t(index) * run.bandScratchBytes;
}

int SplitPassIntoBands(RunState& run, int direction, int n, const Rect16& rect)
{
    run.bandCount = SplitIntoBands(direction, n, rect, run.bands);
    return run.bandCount;
}

int16_t RequestTile(FilterRecord& record, const TileRequest& request)
{
    FilterHostBlock& hostBlock = *record.hostProc;
    record.outRect = hostBlock.tileRect;
    record.inLoPlane = record.outLoPlane;
    record.inHiPlane = record.outHiPlane;
    record.inRect = record.outRect;
    if (request.halo > 0) {
        record.inRect.top = int16_t(record.inRect.top - request.halo);
        record.inRect.left = int16_t(record.inRect.left - request.halo);
        record.inRect.bottom = int16_t(record.inRect.bottom + request.halo);
        record.inRect.right = int16_t(record.inRect.right + request.halo);
        record.inputPadding = kPadEdgeReplicate;
    }
    if (request.deep)
        hostBlock.workingDepth = hostBlock.documentDepth;
    hostBlock.inPlace = request.pointwise && request.halo == 0 ? 1 : 0;
    hostBlock.overwritesOutput = request.overwritesOutput ? 1 : 0;
    return record.advanceState();
}

int16_t RequestInput(FilterRecord& record, const Rect16& area, int16_t loPlane, int16_t hiPlane)
{
    record.inRect = area;
    record.inLoPlane = loPlane;
    record.inHiPlane = hiPlane;
    record.outRect = Rect16{};
    return area.empty() ? kNoErr : record.advanceState();
}

int16_t ProcessPlane(FilterRecord& record, const PlanePass& pass, RunState& run)
{
    FilterHostBlock& hostBlock = *record.hostProc;
    const bool deep = pass.bandsDeep && hostBlock.documentDepth > 8;
    const TileRequest request{
        .halo = pass.halo, .deep = deep, .pointwise = pass.pointwise, .overwritesOutput = pass.overwritesOutput};
    if (const int16_t error = RequestTile(record, request); error != kNoErr)
        return error;

    const int count = SplitPassIntoBands(run, 1, hostBlock.bandCount, record.outRect);
    if (pass.bandScratch && count > 0) {
        const size_t bytes = pass.bandScratch(run.bands[0].width(), record);
        if (const int16_t error = ReserveScratch(run, 0, bytes, count); error != kNoErr)
            return error;
    }
    hostBlock.ForEachBand(count, run.bands, deep ? pass.bandsDeep : pass.bands8, 0);

    return FinishPlane(record, run.counters, pass.transparency);
}

int16_t FinishPlane(FilterRecord& record, ProgressCounters& counters, Transparency transparency)
{
    record.outLoPlane = int16_t(record.outLoPlane + 1);
    record.outHiPlane = record.outLoPlane;
    const int16_t result =
        FinishPass(record, counters, uint32_t(record.outRect.height()) * uint32_t(record.outRect.width()));
    if (record.outLoPlane >= PlanesToProcess(record, transparency))
        EndPass(record);
    record.inRect = record.outRect;
    record.inLoPlane = record.outLoPlane;
    record.inHiPlane = record.outHiPlane;
    return result;
}

void EndPass(FilterRecord& record)
{
    record.outRect = Rect16{};
    record.outLoPlane = 0;
    record.outHiPlane = 0;
    record.inRect = record.outRect;
    record.inLoPlane = record.outLoPlane;
    record.inHiPlane = record.outHiPlane;
}

namespace {
// A band lies within the pass's output and its input, which holds the
// output and its halo.
[[maybe_unused]] bool Contains(const Rect16& outer, const Band& band)
{
    return band.top >= outer.top && band.bottom <= outer.bottom && band.left >= outer.left &&
           band.right <= outer.right && band.top <= band.bottom && band.left <= band.right;
}
}  // namespace

BandAddress AddressBand(const Band& band, const FilterRecord& record, int bytesPerPixel)
{
    assert(bytesPerPixel >= 0 && Contains(record.outRect, band) && Contains(record.inRect, band));
    BandAddress a;
    a.rows = band.height();
    a.columns = band.width();
    a.sourceRowBytes = record.inRowBytes;
    a.destinationRowBytes = record.outRowBytes;
    const int32_t inColumn = band.left - record.inRect.left;
    const int32_t outColumn = band.left - record.outRect.left;
    const size_t inRow = size_t(band.top - record.inRect.top) * size_t(record.inRowBytes);
    const size_t outRow = size_t(band.top - record.outRect.top) * size_t(record.outRowBytes);
    if (bytesPerPixel == 0) {
        // 1-bit rows are delivered on the image's byte grid: the first byte of a
        // row holds the rectangle's left column at bit (left mod 8).
        a.source = static_cast<const uint8_t*>(record.inData) + inRow + ((band.left >> 3) - (record.inRect.left >> 3));
        a.destination =
            static_cast<uint8_t*>(record.outData) + outRow + ((band.left >> 3) - (record.outRect.left >> 3));
        a.bitOffset = band.left & 7;
    } else {
        a.source = static_cast<const uint8_t*>(record.inData) + inRow + size_t(inColumn) * bytesPerPixel;
        a.destination = static_cast<uint8_t*>(record.outData) + outRow + size_t(outColumn) * bytesPerPixel;
    }
    return a;
}

void CopyBand(int32_t rows, int32_t rowBytes, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
              int32_t destinationRowBytes)
{
    assert(rows >= 0 && rowBytes >= 0);
    if (source == destination && sourceRowBytes == destinationRowBytes)
        return;  // the host handed out one buffer for both
    for (int32_t y = 0; y < rows; ++y)
        std::memmove(destination + size_t(y) * destinationRowBytes, source + size_t(y) * sourceRowBytes,
                     size_t(rowBytes));
}

namespace {

// Calls op(byte, mask) for the head byte, every whole byte (mask 0xFF) and
// the tail byte of bits [bitOffset, bitOffset + columns).
template <class Op>
void ForEachBitByte(int32_t columns, int bitOffset, Op op)
{
    if (columns <= 0)
        return;
    int32_t index = 0;
    int32_t remaining = columns;
    if (bitOffset != 0) {
        const int headBits = 8 - bitOffset < remaining ? 8 - bitOffset : remaining;
        const uint8_t mask = uint8_t((0xFF >> bitOffset) & (0xFF << (8 - bitOffset - headBits)));
        op(index++, mask);
        remaining -= headBits;
    }
    for (; remaining >= 8; remaining -= 8)
        op(index++, uint8_t(0xFF));
    if (remaining > 0)
        op(index, uint8_t(0xFF << (8 - remaining)));
}

}  // namespace

void CopyBits(int32_t rows, int32_t columns, int bitOffset, const uint8_t* source, int32_t sourceRowBytes,
              uint8_t* destination, int32_t destinationRowBytes)
{
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* in = source + size_t(y) * sourceRowBytes;
        uint8_t* out = destination + size_t(y) * destinationRowBytes;
        ForEachBitByte(columns, bitOffset,
                       [&](int32_t i, uint8_t mask) { out[i] = uint8_t((out[i] & ~mask) | (in[i] & mask)); });
    }
}

void ComplementBits(int32_t rows, int32_t columns, int bitOffset, uint8_t* data, int32_t rowBytes)
{
    for (int32_t y = 0; y < rows; ++y) {
        uint8_t* row = data + size_t(y) * rowBytes;
        ForEachBitByte(columns, bitOffset, [&](int32_t i, uint8_t mask) { row[i] ^= mask; });
    }
}

}  // namespace px
