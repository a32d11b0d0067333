// advanceState over the host's image: the snapshot, the rectangles and plane
// ranges served from it, the borders, the interleaved and 8-bit buffers, the
// write-back, and the selection blend after the run.
//
// The image is filtered in place. Filters read a snapshot of it (so a
// neighbourhood never sees pixels already filtered, whatever the tiling) and
// write the image. The snapshot is taken row by row as advanceState first
// reaches a row, before anything can write it: the copy then happens while
// the filter is about to read the same rows, and rows a filter never touches
// are never copied. The snapshot also restores the image when the filter
// fails and is the "before" of the selection blend. Its planes carry a
// margin, so a neighbourhood filter's border is laid around the snapshot in
// place instead of copying each plane into a padded buffer. When nothing
// needs the "before" and the filter overwrites a whole plane, a plane of an
// image with the same margin is swapped into the snapshot instead of copied.
//
// The host's copies (snapshot, padding, interleaving, write-back) run on the
// same workers as the filter's bands: left on one thread they would cap what
// a second core can give a fast filter.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "ByteSpans.h"
#include "FilterRun.h"

namespace pictra {

namespace {

// The depths of a document's samples; all but 1 give every sample whole bytes.
constexpr bool IsDepth(int depth) { return depth == 1 || depth == 8 || depth == 16 || depth == 32; }
constexpr bool IsWholeByteDepth(int depth) { return depth == 8 || depth == 16 || depth == 32; }

// Conversions between a document's samples and the 8-bit rendition the host
// hands filters that do not take deep data: down by the high byte, up by
// x257, so an 8-bit value a filter leaves alone comes back exactly.
uint8_t To8(const uint8_t* sample, int depth)
{
    assert(IsWholeByteDepth(depth));
    switch (depth) {
    case 16: return sample[0];
    case 32: {
        float f;
        std::memcpy(&f, sample, 4);
        return uint8_t(std::lround(std::clamp(f, 0.0f, 1.0f) * 255.0f));
    }
    default: return *sample;
    }
}

void From8(uint8_t value, uint8_t* sample, int depth)
{
    assert(IsWholeByteDepth(depth));
    switch (depth) {
    case 16: StoreSample16(sample, uint16_t(value * 257)); break;
    case 32: {
        const float f = float(value) / 255.0f;
        std::memcpy(sample, &f, 4);
        break;
    }
    default: *sample = value;
    }
}

bool Inside(const Rect16& r, const Image& image)
{
    return r.top >= 0 && r.left >= 0 && r.bottom <= image.height() && r.right <= image.width();
}

// Inside the image and its margin.
bool WithinMargin(const Rect16& r, const Image& image)
{
    const int32_t m = image.margin();
    return r.top >= -m && r.left >= -m && r.bottom <= image.height() + m && r.right <= image.width() + m;
}

// Bytes from the start of a row to a column, and the bytes a row of a
// rectangle spans; 1-bit rows follow the image's byte grid.
ptrdiff_t ColumnOffset(int32_t x, int depth)
{
    assert(IsDepth(depth));
    return depth == 1 ? ptrdiff_t(x >> 3) : ptrdiff_t(x) * (depth / 8);
}

int32_t RowSpan(const Rect16& r, int depth, int planes)
{
    assert(IsDepth(depth) && planes >= 1 && !r.empty());
    if (depth == 1)
        return ((r.right - 1) >> 3) - (r.left >> 3) + 1;
    return r.width() * planes * (depth / 8);
}

// The areas handed out as inData and outData share no byte: only a pointwise
// request served in place gets one area for both.
[[maybe_unused]] bool AreasApart(const FilterRecord& record, int depth)
{
    if (!record.inData || !record.outData)
        return true;
    const int inPlanes = record.inHiPlane - record.inLoPlane + 1;
    const int outPlanes = record.outHiPlane - record.outLoPlane + 1;
    return !Overlap(
        SpanOfRows(record.inData, record.inRect.height(), record.inRowBytes, RowSpan(record.inRect, depth, inPlanes)),
        SpanOfRows(record.outData, record.outRect.height(), record.outRowBytes,
                   RowSpan(record.outRect, depth, outPlanes)));
}

}  // namespace

void Host::Run::snapshotRows(int lo, int hi, int32_t top, int32_t bottom)
{
    assert(0 <= lo && lo <= hi && hi < image.planeCount());
    top = std::max<int32_t>(top, 0);
    bottom = std::min<int32_t>(bottom, image.height());
    const size_t rowBytes = size_t(image.rowBytes());
    for (int p = lo; p <= hi; ++p) {
        std::vector<uint8_t>& done = snapshotted[size_t(p)];
        forRows(top, bottom, rowBytes, [&](int32_t from, int32_t to) {
            for (int32_t y = from; y < to; ++y)
                if (!done[size_t(y)]) {
                    std::memcpy(source.row(p, y), image.row(p, y), rowBytes);
                    done[size_t(y)] = 1;
                }
        });
    }
}

// For a plane the filter overwrites whole, in a run that keeps no "before",
// of an image laid out like its snapshot: the image's memory becomes the
// snapshot's and the filter writes into the snapshot's old memory, so the
// plane is never copied.
void Host::Run::swapIntoSnapshot(int plane)
{
    std::swap(image.plane(plane), source.plane(plane));
    std::fill(snapshotted[size_t(plane)].begin(), snapshotted[size_t(plane)].end(), uint8_t(1));
}

void Host::Run::restoreImage()
{
    for (int p = 0; p < image.planeCount(); ++p)
        for (int32_t y = 0; y < image.height(); ++y)
            if (isSnapshotted(p, y))
                std::memcpy(image.row(p, y), source.row(p, y), size_t(image.rowBytes()));
}

void Host::Run::prepareImageRecord()
{
    channels.assign(size_t(image.planeCount()), HostChannelEntry{1, {}});
    imageRecord.mode = image.mode();
    imageRecord.selectionState = options.mask ? 2 : 0;
    imageRecord.colourChannels = image.colourPlanes();
    imageRecord.channelCount = image.planeCount();
    imageRecord.channels = channels.data();
    imageRecord.liveUpdate = host.livePreview ? 1 : 0;
    if (!image.hasTransparency())
        return;
    const int plane = image.transparencyPlane();
    // Point filters read the transparency plane through the matte from any band.
    snapshotRows(plane, plane, 0, image.height());
    if (source.depth() == 8) {
        transparencyView = {source.row(plane, 0), source.rowBytes(), source.width(), source.height()};
    } else {
        transparency8.resize(size_t(source.width()) * size_t(source.height()));
        for (int32_t y = 0; y < source.height(); ++y)
            for (int32_t x = 0; x < source.width(); ++x)
                transparency8[size_t(y) * size_t(source.width()) + size_t(x)] =
                    To8(source.row(plane, y) + ColumnOffset(x, source.depth()), source.depth());
        transparencyView = {transparency8.data(), source.width(), source.width(), source.height()};
    }
    layer = {1, 1, &transparencyView};
    imageRecord.layer = &layer;
    imageRecord.currentMapIndex = 0;
}

int16_t Host::Run::advance()
{
    flushOutput();
    const int depth = hostBlock.workingDepth;
    const int documentDepth = source.depth();
    const bool depthOk = depth == documentDepth || (depth == 8 && documentDepth != 1);
    auto planesOk = [&](int lo, int hi) { return lo >= 0 && lo <= hi && hi < image.planeCount(); };
    if (!depthOk)
        return kParamErr;

    const bool inPlace = hostBlock.inPlace != 0;
    const bool overwrites = hostBlock.overwritesOutput != 0;
    hostBlock.inPlace = 0;
    hostBlock.overwritesOutput = 0;
    const bool keepsBefore = options.restoreOnFailure || options.mask;

    // A pointwise request that needs no "before" (no restore, no selection
    // blend) gets the image itself as both input and output: no snapshot.
    if (inPlace && !keepsBefore && record.inRect == record.outRect && record.inLoPlane == record.outLoPlane &&
        record.inHiPlane == record.outHiPlane && record.outLoPlane == record.outHiPlane && depth == documentDepth &&
        !record.outRect.empty() && Inside(record.outRect, image) && planesOk(record.outLoPlane, record.outHiPlane) &&
        !anySnapshotted(record.outLoPlane)) {
        const int error = deliverOutput(record.outRect, record.outLoPlane, record.outHiPlane, depth);
        record.inData = record.outData;
        record.inRowBytes = record.outRowBytes;
        return int16_t(error);
    }

    // A whole plane the filter overwrites, at the document's depth and
    // needing no "before": swapped into the snapshot rather than copied.
    if (overwrites && !keepsBefore && record.outLoPlane == record.outHiPlane && depth == documentDepth && depth != 1 &&
        planesOk(record.outLoPlane, record.outHiPlane) &&
        record.outRect == Rect16{0, 0, int16_t(image.height()), int16_t(image.width())} &&
        image.margin() == source.margin() && !anySnapshotted(record.outLoPlane))
        swapIntoSnapshot(record.outLoPlane);

    record.inData = nullptr;
    if (!record.inRect.empty()) {
        if (!planesOk(record.inLoPlane, record.inHiPlane))
            return kParamErr;
        // A border beyond the image repeats its edge rows, so those are read too.
        const int32_t lastRow = image.height() - 1;
        snapshotRows(record.inLoPlane, record.inHiPlane, std::clamp<int32_t>(record.inRect.top, 0, lastRow),
                     std::clamp<int32_t>(record.inRect.bottom, 1, lastRow + 1));
        deliverInput(record.inRect, record.inLoPlane, record.inHiPlane, depth);
    }
    record.outData = nullptr;
    if (!record.outRect.empty()) {
        if (!planesOk(record.outLoPlane, record.outHiPlane) || !Inside(record.outRect, image))
            return kParamErr;
        snapshotRows(record.outLoPlane, record.outHiPlane, record.outRect.top, record.outRect.bottom);
        const int16_t result = deliverOutput(record.outRect, record.outLoPlane, record.outHiPlane, depth);
        assert(AreasApart(record, depth));
        return result;
    }
    return kNoErr;
}

// inData: straight into the snapshot when one plane at the document's depth
// lies inside the image and its margin, with the border laid in the margin;
// otherwise a buffer of interleaved samples with the area outside the image
// padded as the filter asked.
void Host::Run::deliverInput(const Rect16& rect, int lo, int hi, int depth)
{
    assert(!rect.empty() && 0 <= lo && lo <= hi && hi < source.planeCount());
    const int documentDepth = source.depth();
    const bool replicate = record.inputPadding == kPadEdgeReplicate;
    const uint8_t padValue = uint8_t(std::clamp<int>(record.inputPadding, 0, 255));
    if (lo == hi && depth == documentDepth && WithinMargin(rect, source)) {
        layBorder(rect, lo, replicate, padValue);
        record.inData = source.row(lo, rect.top) + ColumnOffset(rect.left, depth);
        record.inRowBytes = source.rowBytes();
        return;
    }
    const int planes = hi - lo + 1;
    const int32_t rowBytes = RowSpan(rect, depth, planes);
    inBuffer.resize(size_t(rowBytes) * size_t(rect.height()));
    const int bytes = depth / 8;
    record.inData = inBuffer.data();
    record.inRowBytes = rowBytes;
    if (planes == 1 && depth == documentDepth && depth != 1) {
        padPlane(rect, lo, replicate, padValue);
        return;
    }
    if (depth == 1)
        std::fill(inBuffer.begin(), inBuffer.end(), uint8_t(0));  // bits are set one by one
    forRows(rect.top, rect.bottom, size_t(rowBytes), [&](int32_t from, int32_t to) {
        for (int32_t y = from; y < to; ++y) {
            uint8_t* outRow = inBuffer.data() + size_t(y - rect.top) * size_t(rowBytes);
            const bool rowInside = y >= 0 && y < source.height();
            const int32_t sy = std::clamp<int32_t>(y, 0, source.height() - 1);
            for (int p = lo; p <= hi; ++p) {
                const uint8_t* inRow = source.row(p, sy);
                for (int32_t x = rect.left; x < rect.right; ++x) {
                    const bool inside = rowInside && x >= 0 && x < source.width();
                    const int32_t sx = std::clamp<int32_t>(x, 0, source.width() - 1);
                    if (depth == 1) {
                        const int bit = inside || replicate ? (inRow[sx >> 3] >> (7 - (sx & 7))) & 1 : padValue != 0;
                        const int32_t column = x - (rect.left & ~7);
                        if (bit)
                            outRow[column >> 3] |= uint8_t(0x80 >> (column & 7));
                        continue;
                    }
                    uint8_t* sample = outRow + (size_t(x - rect.left) * planes + size_t(p - lo)) * bytes;
                    if (!inside && !replicate)
                        From8(padValue, sample, depth);
                    else if (depth == documentDepth)
                        std::memcpy(sample, inRow + ColumnOffset(sx, depth), size_t(bytes));
                    else
                        *sample = To8(inRow + ColumnOffset(sx, documentDepth), documentDepth);
                }
            }
        }
    });
}

// One plane at its own depth with a border wider than the snapshot's
// margin: the part inside the image is copied row by row, the border
// repeats the edge samples or takes the pad value.
void Host::Run::padPlane(const Rect16& rect, int plane, bool replicate, uint8_t padValue)
{
    const int depth = source.depth();
    assert(IsWholeByteDepth(depth) && inBuffer.size() >= size_t(record.inRowBytes) * size_t(rect.height()));
    const size_t bytes = size_t(depth / 8);
    const int32_t width = source.width();
    const int32_t insideLeft = std::clamp<int32_t>(rect.left, 0, width);
    const int32_t insideRight = std::clamp<int32_t>(rect.right, 0, width);
    uint8_t pad[4];
    From8(padValue, pad, depth);
    forRows(rect.top, rect.bottom, size_t(record.inRowBytes), [&](int32_t from, int32_t to) {
        for (int32_t y = from; y < to; ++y) {
            uint8_t* out = inBuffer.data() + size_t(y - rect.top) * size_t(record.inRowBytes);
            const bool rowInside = y >= 0 && y < source.height();
            const uint8_t* in = source.row(plane, std::clamp<int32_t>(y, 0, source.height() - 1));
            auto put = [&](int32_t x, const uint8_t* sample) {
                std::memcpy(out + size_t(x - rect.left) * bytes, sample, bytes);
            };
            if (!rowInside && !replicate) {
                for (int32_t x = rect.left; x < rect.right; ++x)
                    put(x, pad);
                continue;
            }
            for (int32_t x = rect.left; x < insideLeft; ++x)
                put(x, replicate ? in : pad);
            if (insideRight > insideLeft)
                std::memcpy(out + size_t(insideLeft - rect.left) * bytes, in + size_t(insideLeft) * bytes,
                            size_t(insideRight - insideLeft) * bytes);
            for (int32_t x = std::max<int32_t>(insideRight, rect.left); x < rect.right; ++x)
                put(x, replicate ? in + size_t(width - 1) * bytes : pad);
        }
    });
}

// The part of `rect` outside the image, laid in the snapshot's margin: the
// edge samples repeated or the pad value. The columns beside the image come
// first, on every row from the first to the last the rect reaches (clamped
// into the image), so the rows above and below can then copy whole spans
// from the edge rows.
void Host::Run::layBorder(const Rect16& rect, int plane, bool replicate, uint8_t padValue)
{
    // The border is written into the snapshot's plane memory: past its margin it would land outside.
    assert(WithinMargin(rect, source));
    if (Inside(rect, source))
        return;
    const int depth = source.depth();
    const size_t bytes = size_t(depth / 8);
    const int32_t width = source.width();
    const int32_t lastRow = source.height() - 1;
    uint8_t pad[4];
    From8(padValue, pad, depth);
    auto fill = [&](uint8_t* row, int32_t from, int32_t to, const uint8_t* sample) {
        if (bytes == 1 && from < to)
            std::memset(row + from, *sample, size_t(to - from));
        else
            for (int32_t x = from; x < to; ++x)
                std::memcpy(row + ColumnOffset(x, depth), sample, bytes);
    };
    // Each row's two ends are two cache misses: over thousands of rows that
    // is worth splitting among the workers, as a copy of the rows would be.
    const int32_t firstEdgeRow = std::clamp<int32_t>(rect.top, 0, lastRow);
    const int32_t lastEdgeRow = std::clamp<int32_t>(rect.bottom - 1, 0, lastRow);
    if (rect.left < 0 || rect.right > width)
        forRows(firstEdgeRow, lastEdgeRow + 1, size_t(source.rowBytes()), [&](int32_t from, int32_t to) {
            for (int32_t y = from; y < to; ++y) {
                uint8_t* row = source.row(plane, y);
                fill(row, rect.left, std::min<int32_t>(rect.right, 0), replicate ? row : pad);
                fill(row, std::max<int32_t>(rect.left, width), rect.right,
                     replicate ? row + ColumnOffset(width - 1, depth) : pad);
            }
        });
    const ptrdiff_t start = ColumnOffset(rect.left, depth);
    const size_t span = size_t(rect.width()) * bytes;
    for (int32_t y = rect.top; y < rect.bottom; ++y) {
        if (y >= 0 && y <= lastRow)
            continue;
        uint8_t* row = source.row(plane, y);
        if (replicate)
            std::memcpy(row + start, source.row(plane, std::clamp<int32_t>(y, 0, lastRow)) + start, span);
        else
            fill(row, rect.left, rect.right, pad);
    }
}

// outData: straight into the image when one plane at the document's depth is
// asked for; otherwise a buffer holding the current pixels, written back at
// the next advanceState or at the end of the pass.
int16_t Host::Run::deliverOutput(const Rect16& rect, int lo, int hi, int depth)
{
    assert(Inside(rect, image) && 0 <= lo && lo <= hi && hi < image.planeCount());
    const int documentDepth = image.depth();
    if (lo == hi && depth == documentDepth) {
        record.outData = image.row(lo, rect.top) + ColumnOffset(rect.left, depth);
        record.outRowBytes = image.rowBytes();
        return kNoErr;
    }
    const int planes = hi - lo + 1;
    out.buffered = true;
    out.rect = rect;
    out.lo = lo;
    out.hi = hi;
    out.depth = depth;
    out.rowBytes = RowSpan(rect, depth, planes);
    out.buffer.resize(size_t(out.rowBytes) * size_t(rect.height()));
    const int bytes = depth / 8;
    forRows(rect.top, rect.bottom, size_t(out.rowBytes), [&](int32_t from, int32_t to) {
        for (int32_t y = from; y < to; ++y) {
            uint8_t* outRow = out.buffer.data() + size_t(y - rect.top) * size_t(out.rowBytes);
            for (int p = lo; p <= hi; ++p) {
                const uint8_t* imageRow = image.row(p, y);
                for (int32_t x = rect.left; x < rect.right; ++x) {
                    uint8_t* sample = outRow + (size_t(x - rect.left) * planes + size_t(p - lo)) * bytes;
                    if (depth == documentDepth)
                        std::memcpy(sample, imageRow + ColumnOffset(x, depth), size_t(bytes));
                    else
                        *sample = To8(imageRow + ColumnOffset(x, documentDepth), documentDepth);
                }
            }
        }
    });
    if (depth != documentDepth)
        out.delivered = out.buffer;
    record.outData = out.buffer.data();
    record.outRowBytes = out.rowBytes;
    return kNoErr;
}

// A converted sample is stored back only when the filter changed it, so the
// deep value of a sample the filter left alone survives its 8-bit rendition.
void Host::Run::flushOutput()
{
    if (!out.buffered)
        return;
    out.buffered = false;
    const int documentDepth = image.depth();
    const int planes = out.hi - out.lo + 1;
    const int bytes = out.depth / 8;
    const bool converted = out.depth != documentDepth;
    assert(Inside(out.rect, image) && out.buffer.size() >= size_t(out.rowBytes) * size_t(out.rect.height()));
    assert(!converted || out.delivered.size() == out.buffer.size());
    forRows(out.rect.top, out.rect.bottom, size_t(out.rowBytes), [&](int32_t from, int32_t to) {
        for (int32_t y = from; y < to; ++y) {
            const size_t rowStart = size_t(y - out.rect.top) * size_t(out.rowBytes);
            for (int p = out.lo; p <= out.hi; ++p) {
                uint8_t* imageRow = image.row(p, y);
                for (int32_t x = out.rect.left; x < out.rect.right; ++x) {
                    const size_t at = rowStart + (size_t(x - out.rect.left) * planes + size_t(p - out.lo)) * bytes;
                    if (!converted)
                        std::memcpy(imageRow + ColumnOffset(x, documentDepth), &out.buffer[at], size_t(bytes));
                    else if (out.buffer[at] != out.delivered[at])
                        From8(out.buffer[at], imageRow + ColumnOffset(x, documentDepth), documentDepth);
                }
            }
        }
    });
}

// Inside the selection's bounds, each sample becomes before + (after - before) x mask / 255.
void Host::Run::blendSelection()
{
    const Image* mask = options.mask;
    if (!mask)
        return;
    const Rect16 r = record.filterRect;
    for (int p = 0; p < image.planeCount(); ++p)
        forRows(r.top, r.bottom, size_t(image.rowBytes()), [&](int32_t from, int32_t to) {
            for (int32_t y = from; y < to; ++y) {
                if (!isSnapshotted(p, y))
                    continue;  // never handed out, so unchanged
                const uint8_t* weights = mask->row(0, y);
                for (int32_t x = r.left; x < r.right; ++x) {
                    const int m = weights[x];
                    if (m == 255)
                        continue;
                    const double before = source.sample(p, x, y);
                    const double after = image.sample(p, x, y);
                    double value;
                    if (image.depth() == 1)
                        value = m >= 128 ? after : before;
                    else if (image.depth() == 32)
                        value = before + (after - before) * m / 255.0;
                    else
                        value = double((int64_t(before) * (255 - m) + int64_t(after) * m + 127) / 255);
                    image.setSample(p, x, y, value);
                }
            }
        });
}

}  // namespace pictra
