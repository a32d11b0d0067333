// Running a filter: the selector sequence, advanceState over the host's
// image, the band iterator, and the selection blend after the run.
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
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "HostInternal.h"
#include "ThreadPool.h"

namespace pictra {

namespace {

// Conversions between a document's samples and the 8-bit rendition the host
// hands filters that do not take deep data: down by the high byte, up by
// x257, so an 8-bit value a filter leaves alone comes back exactly.
uint8_t To8(const uint8_t* sample, int depth)
{
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

Rect16 Intersect(const Rect16& a, const Rect16& b)
{
    Rect16 r{std::max(a.top, b.top), std::max(a.left, b.left), std::min(a.bottom, b.bottom),
             std::min(a.right, b.right)};
    return r.empty() ? Rect16{} : r;
}

// Bytes from the start of a row to a column, and the bytes a row of a
// rectangle spans; 1-bit rows follow the image's byte grid.
ptrdiff_t ColumnOffset(int32_t x, int depth) { return depth == 1 ? ptrdiff_t(x >> 3) : ptrdiff_t(x) * (depth / 8); }

int32_t RowSpan(const Rect16& r, int depth, int planes)
{
    if (depth == 1)
        return ((r.right - 1) >> 3) - (r.left >> 3) + 1;
    return r.width() * planes * (depth / 8);
}

}  // namespace

struct Host::Run {
    Host& host;
    Image& image;
    Image& source;  // the snapshot
    const RunOptions& options;
    FilterRecord record{};
    FilterHostBlock hostBlock{};
    FilterEntry registeredEntry = nullptr;
    HandleProcs handleProcs{};
    PIDescriptorParameters descriptorParameters{};

    HostImageRecord imageRecord{};
    std::vector<HostChannelEntry> channels;
    HostLayerRecord layer{};
    HostPlaneView transparencyView{};
    std::vector<uint8_t> transparency8;  // 8-bit rendition of a deep transparency plane

    // Per plane, the rows already copied into the snapshot.
    std::vector<std::vector<uint8_t>> snapshotted;
    void snapshotRows(int lo, int hi, int32_t top, int32_t bottom);
    bool isSnapshotted(int plane, int32_t y) const { return snapshotted[size_t(plane)][size_t(y)] != 0; }
    bool anySnapshotted(int plane) const
    {
        const std::vector<uint8_t>& rows = snapshotted[size_t(plane)];
        return std::find(rows.begin(), rows.end(), uint8_t(1)) != rows.end();
    }
    void swapIntoSnapshot(int plane);
    void restoreImage();

    // The input and output areas of the last advanceState. Every byte of them
    // is written before it is handed out, so they are not cleared on growth.
    PlaneBytes inBuffer;
    struct Output {
        bool buffered = false;  // outData is a buffer to write back, not the image itself
        Rect16 rect;
        int lo = 0, hi = 0, depth = 8;
        int32_t rowBytes = 0;
        PlaneBytes buffer;
        PlaneBytes delivered;  // what the buffer held, when the depth was converted
    } out;

    Run(Host& h, Image& i, Image& s, const RunOptions& o) : host(h), image(i), source(s), options(o) {}

    int16_t call(FilterEntry entry, int16_t selector, intptr_t* data)
    {
        int16_t result = kNoErr;
        entry(selector, &record, data, &result);
        return result;
    }

    // Bands run on the host's workers, each with this run active.
    void forEachBand(int32_t count, const Band* bands, BandCallback callback)
    {
        host.pool_->parallelFor(count, [&](int i) {
            ActiveScope scope(&host, this);
            callback(&bands[i], &record);
        });
    }
    // job(from, to) over the rows [top, bottom) of a host copy, split among
    // the workers when there are enough bytes to repay the hand-off.
    template <class Job>
    void forRows(int32_t top, int32_t bottom, size_t bytesPerRow, const Job& job)
    {
        constexpr size_t kBytesWorthSplitting = size_t(1) << 20;
        const int32_t rows = bottom - top;
        const int threads = host.pool_->threads();
        if (rows <= 0)
            return;
        if (threads == 1 || rows == 1 || size_t(rows) * bytesPerRow < kBytesWorthSplitting) {
            job(top, bottom);
            return;
        }
        const int32_t chunks = std::min<int32_t>(rows, threads * 4);
        host.pool_->parallelFor(chunks, [&](int i) {
            job(top + int32_t(int64_t(rows) * i / chunks), top + int32_t(int64_t(rows) * (i + 1) / chunks));
        });
    }
    void setUp(const Rect16& area);
    int16_t hostPass();
    int16_t preview();
    std::vector<uint8_t> lastPreviewSettings;

    int16_t advance();
    void deliverInput(const Rect16& rect, int lo, int hi, int depth);
    void padPlane(const Rect16& rect, int plane, bool replicate, uint8_t padValue);
    void layBorder(const Rect16& rect, int plane, bool replicate, uint8_t padValue);
    int16_t deliverOutput(const Rect16& rect, int lo, int hi, int depth);
    void flushOutput();
    void prepareImageRecord();
    void blendSelection();
};

namespace {

Host::Run& ActiveRun() { return *tActiveRun; }

int16_t RegisterFilterEntry(FilterEntry entry, int32_t)
{
    ActiveRun().registeredEntry = entry;
    return kNoErr;
}

int16_t UpdatePreview() { return ActiveRun().preview(); }
void StopPreview() {}
void ShowPreview(int32_t) {}

void ForEachBand(int32_t count, const Band* bands, BandCallback callback, intptr_t)
{
    ActiveRun().forEachBand(count, bands, callback);
}

int16_t AdvanceState() { return ActiveRun().advance(); }

bool Abort()
{
    const Host::Run& run = ActiveRun();
    return run.options.abort && run.options.abort();
}

void Progress(uint32_t done, uint32_t total)
{
    const Host::Run& run = ActiveRun();
    if (run.options.progress)
        run.options.progress(done, total);
}

}  // namespace

const HostImageRecord* RunImageRecord(const Host::Run& run) { return &run.imageRecord; }

void Host::Run::snapshotRows(int lo, int hi, int32_t top, int32_t bottom)
{
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
        return deliverOutput(record.outRect, record.outLoPlane, record.outHiPlane, depth);
    }
    return kNoErr;
}

// inData: straight into the snapshot when one plane at the document's depth
// lies inside the image and its margin, with the border laid in the margin;
// otherwise a buffer of interleaved samples with the area outside the image
// padded as the filter asked.
void Host::Run::deliverInput(const Rect16& rect, int lo, int hi, int depth)
{
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

namespace {

bool FitsAsSnapshot(const Image& snapshot, const Image& image)
{
    return snapshot.width() == image.width() && snapshot.height() == image.height() &&
           snapshot.mode() == image.mode() && snapshot.depth() == image.depth() &&
           snapshot.colourPlanes() == image.colourPlanes() && snapshot.hasTransparency() == image.hasTransparency() &&
           snapshot.margin() == WorkingMarginFor(image.depth());
}

Image SnapshotFor(const Image& image)
{
    return Image(image.width(), image.height(), image.mode(), image.depth(), image.hasTransparency(),
                 image.colourPlanes(), WorkingMarginFor(image.depth()));
}

// The bounds of the selection's non-zero pixels, within `area`.
Rect16 SelectionBounds(const Image& mask, const Rect16& area)
{
    int32_t top = area.bottom, left = area.right, bottom = area.top, right = area.left;
    for (int32_t y = area.top; y < area.bottom; ++y) {
        const uint8_t* row = mask.row(0, y);
        for (int32_t x = area.left; x < area.right; ++x)
            if (row[x] != 0) {
                top = std::min(top, y);
                bottom = std::max(bottom, y + 1);
                left = std::min(left, x);
                right = std::max(right, x + 1);
            }
    }
    if (bottom <= top)
        return Rect16{};
    return Rect16{int16_t(top), int16_t(left), int16_t(bottom), int16_t(right)};
}

}  // namespace

int16_t Host::runFilter(int32_t filterId, Image& image, const RunOptions& options)
{
    const std::optional<FilterProperties> props = properties(filterId);
    FilterEntry entry = filterEntry(filterId);
    if (!props || !entry)
        throw HostError(fmt::format("the module has no filter {}", filterId));
    if (!props->acceptsMode(image.mode()))
        throw HostError(fmt::format("{} does not work on {} images", props->name, ModeName(image.mode())));
    return runEntry(filterId, entry, image, options);
}

void Host::Run::setUp(const Rect16& area)
{
    snapshotted.assign(size_t(image.planeCount()), std::vector<uint8_t>(size_t(image.height()), 0));
    prepareImageRecord();
    hostBlock.RegisterFilterEntry = RegisterFilterEntry;
    hostBlock.UpdatePreview = UpdatePreview;
    hostBlock.StopPreview = StopPreview;
    hostBlock.ShowPreview = ShowPreview;
    hostBlock.bandCount = int16_t(std::clamp(options.bandCount, 1, 16));
    hostBlock.ForEachBand = ForEachBand;
    hostBlock.imageMap = reinterpret_cast<HostImageMap*>(this);
    hostBlock.documentDepth = int16_t(image.depth());
    hostBlock.workingDepth = int16_t(image.depth() == 1 ? 1 : 8);
    handleProcs.disposeProc = DisposeDescriptor;

    record.abortProc = Abort;
    record.progressProc = Progress;
    record.planes = int16_t(image.planeCount());
    record.filterRect = area;
    record.hostProc = &hostBlock;
    record.imageMode = image.mode();
    record.imageHRes = record.imageVRes = int32_t(std::lround(image.resolution * 65536.0));
    record.imageSize = Point16{int16_t(image.height()), int16_t(image.width())};
    record.handleProcs = &handleProcs;
    record.advanceState = AdvanceState;
    record.inLayerPlanes = record.outLayerPlanes = int16_t(image.colourPlanes());
    record.inTransparencyMask = record.outTransparencyMask = image.hasTransparency() ? 1 : 0;
    std::copy(image.foreground.samples.begin(), image.foreground.samples.end(), record.foreColor);
    std::copy(image.background.samples.begin(), image.background.samples.end(), record.backColor);
    if (options.mask) {
        record.haveMask = 1;
        record.maskRect = area;
        record.maskData = const_cast<uint8_t*>(options.mask->row(0, std::max<int>(area.top, 0))) + area.left;
        record.maskRowBytes = options.mask->rowBytes();
    }
}

// Selector 26 then 27 until the filter empties outRect, for every tile of
// the filter rectangle.
int16_t Host::Run::hostPass()
{
    const Rect16 area = record.filterRect;
    if (!registeredEntry || area.empty())
        return kNoErr;
    intptr_t data = 0;
    int16_t result = kNoErr;
    const int tile = options.tileSize > 0 ? options.tileSize : std::max(area.width(), area.height());
    for (int32_t top = area.top; result == kNoErr && top < area.bottom; top += tile)
        for (int32_t left = area.left; result == kNoErr && left < area.right; left += tile) {
            hostBlock.tileRect =
                Rect16{int16_t(top), int16_t(left), int16_t(std::min<int32_t>(top + tile, area.bottom)),
                       int16_t(std::min<int32_t>(left + tile, area.right))};
            result = call(registeredEntry, kSelectorResetPlanes, &data);
            // Each call processes at least one plane; more calls than that is a filter that never stops.
            const int limit = 2 * image.planeCount() * std::max(1, int(hostBlock.passCount)) + 2;
            for (int calls = 0; result == kNoErr; ++calls) {
                if (calls == limit) {
                    result = kFailedErr;
                    break;
                }
                result = call(registeredEntry, kSelectorProcessPlane, &data);
                if (record.outRect.empty())
                    break;
            }
            flushOutput();
        }
    return result;
}

// The dialog's preview: the same pass on a copy of the image, which has not
// been touched yet (the dialog runs inside start). A preview with the same
// settings as the last one would show the same pixels, so it is not run again.
int16_t Host::Run::preview()
{
    if (!registeredEntry || !record.parameters)
        return kNoErr;
    const auto* settings = static_cast<const uint8_t*>(record.parameters);
    std::vector<uint8_t> current(settings, settings + HostBlockSize(record.parameters));
    if (host.previewImage && current == lastPreviewSettings)
        return kNoErr;

    Image previewImage = image;
    Image previewSnapshot = SnapshotFor(image);
    RunOptions previewOptions;
    previewOptions.rect = options.rect;
    previewOptions.mask = options.mask;
    previewOptions.tileSize = options.tileSize;
    previewOptions.bandCount = options.bandCount;
    Run pass(host, previewImage, previewSnapshot, previewOptions);
    pass.setUp(record.filterRect);
    pass.record.parameters = record.parameters;
    pass.registeredEntry = registeredEntry;
    ActiveScope scope(&host, &pass);
    const int16_t result = pass.hostPass();
    if (result != kNoErr)
        return result;
    pass.blendSelection();
    // The pass wrote the filter's progress counters; they are the real run's to set.
    std::memcpy(record.parameters, current.data(), current.size());
    host.previewImage = std::move(previewImage);
    lastPreviewSettings = std::move(current);
    return kNoErr;
}

int16_t Host::runEntry(int32_t filterId, FilterEntry entry, Image& image, const RunOptions& options)
{
    if (options.mask && (options.mask->width() != image.width() || options.mask->height() != image.height() ||
                         options.mask->depth() != 8 || options.mask->colourPlanes() != 1))
        throw HostError("the selection must be an 8-bit grayscale image of the image's size");

    if (!FitsAsSnapshot(snapshot_, image))
        snapshot_ = SnapshotFor(image);
    const Rect16 whole{0, 0, int16_t(image.height()), int16_t(image.width())};
    Rect16 area = options.rect ? Intersect(*options.rect, whole) : whole;
    if (options.mask)
        area = SelectionBounds(*options.mask, area);

    Run run(*this, image, snapshot_, options);
    ActiveScope scope(this, &run);
    run.setUp(area);
    // The filter may dispose the descriptor it is handed, so it gets a copy.
    run.descriptorParameters.descriptor = options.descriptor ? new HostDescriptor(*options.descriptor) : nullptr;
    run.descriptorParameters.readDescriptorProcs = ReadDescriptorTable();
    run.descriptorParameters.writeDescriptorProcs = WriteDescriptorTable();
    run.record.descriptorParameters = &run.descriptorParameters;
    run.record.parameters = parameterBlocks_[filterId];
    previewImage.reset();
    dialogError.clear();

    intptr_t data = 0;
    int16_t result = kNoErr;
    if (options.showDialog)
        result = run.call(entry, filterSelectorParameters, &data);
    if (result == kNoErr)
        result = run.call(entry, filterSelectorPrepare, &data);
    if (result == kNoErr)
        result = run.call(entry, filterSelectorStart, &data);
    if (result == kNoErr)
        result = run.hostPass();
    if (result == kNoErr)
        result = run.call(entry, filterSelectorContinue, &data);
    const int16_t finish = run.call(entry, filterSelectorFinish, &data);
    if (result == kNoErr)
        result = finish;
    parameterBlocks_[filterId] = run.record.parameters;
    std::unique_ptr<HostDescriptor> left(run.descriptorParameters.descriptor);
    recordedDescriptor = result == kNoErr ? std::move(left) : nullptr;

    if (result != kNoErr) {
        run.restoreImage();
        return result;
    }
    run.blendSelection();
    return kNoErr;
}

}  // namespace pictra
