#include "framework/BandDriver.h"

#include <cstring>

#include "framework/Module.h"

namespace px {

int SplitIntoBands(int direction, int n, const Rect16& rect, Band* bands)
{
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

int16_t ProcessPlane(FilterRecord& record, const PlanePass& pass, ProgressCounters& counters)
{
    FilterHostBlock& hostBlock = *record.hostProc;
    record.outRect = hostBlock.tileRect;
    record.inLoPlane = record.outLoPlane;
    record.inHiPlane = record.outHiPlane;
    record.inRect = record.outRect;
    if (pass.halo > 0) {
        record.inRect.top = int16_t(record.inRect.top - pass.halo);
        record.inRect.left = int16_t(record.inRect.left - pass.halo);
        record.inRect.bottom = int16_t(record.inRect.bottom + pass.halo);
        record.inRect.right = int16_t(record.inRect.right + pass.halo);
        record.inputPadding = kPadEdgeReplicate;
    }
    BandCallback callback = pass.bands8;
    if (pass.bandsDeep && hostBlock.documentDepth > 8) {
        hostBlock.workingDepth = hostBlock.documentDepth;
        callback = pass.bandsDeep;
    }

    hostBlock.inPlace = pass.pointwise && pass.halo == 0 ? 1 : 0;
    hostBlock.overwritesOutput = pass.overwritesOutput ? 1 : 0;
    if (const int16_t error = record.advanceState(); error != kNoErr)
        return error;

    Band bands[kMaxBands];
    const int count = SplitIntoBands(1, hostBlock.bandCount, record.outRect, bands);
    hostBlock.ForEachBand(count, bands, callback, 0);

    return FinishPlane(record, counters, pass.transparency);
}

int16_t FinishPlane(FilterRecord& record, ProgressCounters& counters, Transparency transparency)
{
    record.outLoPlane = int16_t(record.outLoPlane + 1);
    record.outHiPlane = record.outLoPlane;
    const int16_t result =
        FinishPass(record, counters, uint32_t(record.outRect.height()) * uint32_t(record.outRect.width()));
    if (record.outLoPlane >= PlanesToProcess(record, transparency)) {
        record.outRect = Rect16{};
        record.outLoPlane = 0;
        record.outHiPlane = 0;
    }
    record.inRect = record.outRect;
    record.inLoPlane = record.outLoPlane;
    record.inHiPlane = record.outHiPlane;
    return result;
}

BandAddress AddressBand(const Band& band, const FilterRecord& record, int bytesPerPixel)
{
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
