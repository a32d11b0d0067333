// The state of one filter run, shared by the selector sequence
// (FilterRun.cpp) and advanceState over the host's image (AdvanceState.cpp).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "HostInternal.h"
#include "ThreadPool.h"

namespace pictra {

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

    // The selector sequence (FilterRun.cpp).
    void setUp(const Rect16& area);
    int16_t hostPass();
    int16_t preview();
    std::vector<uint8_t> lastPreviewSettings;

    // advanceState and the host's copies (AdvanceState.cpp).
    int16_t advance();
    void deliverInput(const Rect16& rect, int lo, int hi, int depth);
    void padPlane(const Rect16& rect, int plane, bool replicate, uint8_t padValue);
    void layBorder(const Rect16& rect, int plane, bool replicate, uint8_t padValue);
    int16_t deliverOutput(const Rect16& rect, int lo, int hi, int depth);
    void flushOutput();
    void prepareImageRecord();
    void blendSelection();
};

}  // namespace pictra
