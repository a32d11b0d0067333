// The host-driven pixel pass: selector 26 resets the plane cursor, every
// selector 27 processes one plane of the host's tile, cut into bands that
// the host's band iterator may run concurrently. A filter declares its pass
// (halo, planes, depths, band routines); the driver does the plumbing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/FilterRecord.h"

// A band kernel marked [[PX_ALSO_FOR_AVX2 ...]] is built twice, and the copy
// for the processor is chosen when the module loads. Not under
// ThreadSanitizer: the chooser would run before the sanitizer has started in
// test programs that link the kernels in.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define PX_ALSO_FOR_AVX2 gnu::target_clones("avx2", "default"),
#else
#define PX_ALSO_FOR_AVX2
#endif

namespace px {

constexpr int kMaxBands = 16;

// Cuts `rect` into at most n bands of rows (direction 1) or columns
// (direction 0). Fewer rows than n give one band per row; otherwise the
// band size is rounded up, so trailing bands may be empty. Returns the count written.
int SplitIntoBands(int direction, int n, const Rect16& rect, Band* bands);

// Progress in pixels, kept per filter.
struct ProgressCounters {
    uint32_t doneCount = 0;
    uint32_t totalCount = 0;
};

// Start of a run: counters reset and the total set to planes x the filter
// rectangle's area (only the planes the pass will process are counted).
void ResetProgress(ProgressCounters& counters, const FilterRecord& record, int planesToProcess);

// What a run keeps while it lasts: its progress, the bands of the pass in
// progress, and the scratch memory its passes asked for. Filters with
// settings keep one beside their parameter block; a band finds its own
// scratch by its place in `bands`, since the host hands each callback a
// pointer into the array it was given.
struct RunState {
    ProgressCounters counters;
    Band bands[kMaxBands] = {};
    int bandCount = 0;
    uint8_t* scratch = nullptr;
    size_t scratchBytes = 0;
    size_t planeScratchBytes = 0;  // at the start of `scratch`, for the pass as a whole
    size_t bandScratchBytes = 0;  // then one part a band, each starting on a cache line of its own

    RunState() = default;
    ~RunState();
    RunState(const RunState&) = delete;
    RunState& operator=(const RunState&) = delete;
};

// Scratch for the pass about to run: `planeBytes` for the pass, then
// `bandBytes` for each of `bands` bands. The memory is reused from plane to
// plane and grown only when a pass needs more (a wider tile, a preview at a
// larger radius); its contents are not kept. The host's error when it has
// no memory.
int16_t ReserveScratch(RunState& run, size_t planeBytes, size_t bandBytes, int bands);
inline uint8_t* PlaneScratch(const RunState& run) { return run.scratch; }
// The scratch of a band of the pass in progress (from `run.bands`).
uint8_t* BandScratch(const RunState& run, const Band* band);

// Cuts `rect` into `run.bands` for the pass in progress; returns the count.
int SplitPassIntoBands(RunState& run, int direction, int n, const Rect16& rect);

enum class Transparency { kLeave, kFilter };

struct PlanePass {
    int halo = 0;  // pixels of input around the tile, edge-replicated
    Transparency transparency = Transparency::kLeave;
    BandCallback bands8 = nullptr;  // 8-bit data (and 1-bit data of bitmaps)
    BandCallback bandsDeep = nullptr;  // 16/32-bit data; null keeps the host's 8-bit rendition
    // Each output sample comes from its own input sample, read before it is
    // written: the host may let input and output share memory.
    bool pointwise = false;
    // Every output sample is written, none read from the output first: the
    // host may hand out memory that does not hold the image.
    bool overwritesOutput = false;
    // The scratch each band needs, for bands of `columns` columns at the
    // working depth, given the run's record; null for none.
    size_t (*bandScratch)(int32_t columns, const FilterRecord& record) = nullptr;
};

// Planes a pass touches: all, or all but the transparency plane.
int PlanesToProcess(const FilterRecord& record, Transparency transparency);

// Selector 26.
void ResetPlanes(FilterRecord& record);


// One step's request to the host: the tile with `halo` pixels of edge
// copies around it, the planes at the plane cursor (outLoPlane to
// outHiPlane), at the document's depth when the step takes deep data.
struct TileRequest {
    int halo = 0;
    bool deep = false;
    bool pointwise = false;  // as PlanePass
    bool overwritesOutput = false;  // as PlanePass
};

// Sets up the records' rectangles, planes, padding and depth for `request`
// and asks the host for the data. Returns the advanceState error.
int16_t RequestTile(FilterRecord& record, const TileRequest& request);

// Asks the host for planes lo..hi of `area` to read only (no output).
// Returns the advanceState error; an empty area is not asked for.
int16_t RequestInput(FilterRecord& record, const Rect16& area, int16_t loPlane, int16_t hiPlane);

// After the pixels of a step: `pixels` more done, progress reported and
// abort polled (not when there is nothing to report). -128 on abort.
int16_t FinishPass(FilterRecord& record, ProgressCounters& counters, uint32_t pixels);

// After a plane's pixels: the plane cursor moves on, progress and abort, and
// after the last plane the pass is over (outRect and the planes emptied).
int16_t FinishPlane(FilterRecord& record, ProgressCounters& counters, Transparency transparency);

// The pass is over: outRect and the planes emptied, and the input with them.
void EndPass(FilterRecord& record);

// Selector 27: one plane of the host's tile through the band iterator, then
// progress and abort. Returns 0, the advanceState error, the host's error
// when the pass's scratch cannot be had, or -128 on abort.
int16_t ProcessPlane(FilterRecord& record, const PlanePass& pass, RunState& run);

// Planes delivered together in the step in progress, interleaved.
inline int InterleavedPlanes(const FilterRecord& record) { return record.outHiPlane - record.outLoPlane + 1; }

// Bytes of one sample in the data of the current pass (0 for 1-bit data).
int BytesPerSample(const FilterRecord& record);

// A band's place in inData and outData.
struct BandAddress {
    int32_t rows = 0;
    int32_t columns = 0;
    const uint8_t* source = nullptr;
    uint8_t* destination = nullptr;
    int32_t sourceRowBytes = 0;
    int32_t destinationRowBytes = 0;
    int bitOffset = 0;  // 1-bit data: the band's first bit within its first byte (image byte grid)
};

// Addresses a band of interleaved samples (`bytesPerPixel` = bytes per sample
// x planes delivered). For 1-bit data pass bytesPerPixel 0.
BandAddress AddressBand(const Band& band, const FilterRecord& record, int bytesPerPixel);

// Copies `rowBytes` bytes of each row; nothing when source and destination are one buffer.
void CopyBand(int32_t rows, int32_t rowBytes, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
              int32_t destinationRowBytes);

// 1-bit rows: bits [bitOffset, bitOffset + columns) of every row, a head of
// partial bits, whole bytes, then a tail; bits outside the range are kept.
void CopyBits(int32_t rows, int32_t columns, int bitOffset, const uint8_t* source, int32_t sourceRowBytes,
              uint8_t* destination, int32_t destinationRowBytes);
void ComplementBits(int32_t rows, int32_t columns, int bitOffset, uint8_t* data, int32_t rowBytes);

}  // namespace px
