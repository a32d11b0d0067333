// The host's pixel routines (HostPixelRoutines), reached from HostGlobals.
//
// Sample encoding in every buffer: 8-bit samples as bytes; 16-bit samples as
// two bytes, most significant first, whatever the machine's byte order;
// 32-bit samples as native floats. Rows are `rowBytes` apart; within a row,
// samples are `bitsPerSample / 8` bytes apart unless a routine says otherwise.
//
// Neighbourhood routines read one pixel beyond the block on every side: the
// caller guarantees those pixels are addressable (a halo, edge-replicated).
// Source and destination of a neighbourhood routine never overlap.
#pragma once

#include <cstddef>
#include <cstdint>

// The table 8-bit line convolutions run from (126, 127, 130). Filters keep it
// inside their parameter blocks, so its 1040 bytes are a stored layout. The
// host names the single-precision kernel it builds by the 32-bit `lookup` id:
// that id means nothing once the bytes have been stored and read back, and a
// table whose `lookup` is 0 holds nothing to release.
struct KernelTable {
    int32_t taps;  // n of the weights it was built from
    uint8_t unused[1024];  // part of the stored layout the host does not need
    int32_t lookup;  // the host's id of the built kernel; 0 when there is none
    uint8_t unusedTail[8];
};
static_assert(sizeof(KernelTable) == 1040 && offsetof(KernelTable, lookup) == 1028);

struct HostPixelRoutines {
    // Complements every byte of a block in place (v -> 255 - v). Deep samples
    // pass columns x bytes per sample, so a 16-bit v becomes 65535 - v.
    void (*InvertBytes)(int32_t rows, int32_t columns, uint8_t* data, int32_t rowBytes);

    // 101: 8-bit samples at or above `level` become 255, the others 0.
    void (*ThresholdBytes)(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                           uint8_t* destination, int32_t destinationRowBytes, int32_t level);
    // Sets the first byte of each of `columns` pixels, `pixelStride` bytes apart, to `value`.
    void (*FillSamples)(int32_t rows, int32_t columns, uint8_t* destination, int32_t rowBytes, int32_t pixelStride,
                        int32_t value);

    // 131: 8-bit 3x3 blur, weights 1 2 1 / 2 4 2 / 1 2 1, sum / 16 rounded half up.
    void (*Blur3x3)(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
                    int32_t destinationRowBytes);
    // 132: 8-bit 3x3 box blur, sum of the nine / 9 rounded half up.
    void (*BlurMore3x3)(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination,
                        int32_t sourceRowBytes, int32_t destinationRowBytes);

    // 134: c + (4c - N - S - W - E) / 4, the quarter rounded half up (toward
    // +infinity, so -1/2 becomes 0) and the result clamped to the sample range;
    // bitsPerSample 8, 16 or 32 (floats are neither rounded nor clamped); any
    // other depth throws std::invalid_argument.
    void (*Sharpen3x3)(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination,
                       int32_t sourceRowBytes, int32_t destinationRowBytes, int32_t bitsPerSample);
    // 137: Sharpen More where the 3x3 neighbourhood's range (max - min) is at
    // least 1/16 of full scale (16 levels at 8 bits, 4096 at 16 bits, 0.0625
    // for floats), an exact copy of the centre elsewhere.
    void (*SharpenEdges3x3)(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination,
                            int32_t sourceRowBytes, int32_t destinationRowBytes, int32_t bitsPerSample);
    // 138: c + (8c - sum of the eight neighbours) / 4, rounded and clamped as 134.
    void (*SharpenMore3x3)(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination,
                           int32_t sourceRowBytes, int32_t destinationRowBytes, int32_t bitsPerSample);

    // Gaussian line convolutions. A line's source and destination address its
    // first output sample; steps are in bytes between neighbouring samples; the
    // routine reads n - 1 samples beyond each end of the source and never
    // overlaps source and destination.

    // 129: the n one-sided weights of a Gaussian of `sigma` pixels, centre
    // first: every tap within 3 sigma of the centre (n = floor(3 sigma) + 1), at
    // most 512 so that a full kernel of 2n - 1 taps fits 1023 entries, normalised
    // so that the full kernel sums to 1. A sigma that is not positive gives n = 1.
    void (*GaussianWeights)(double sigma, double* weights, int32_t* n);
    // 126: builds `table` for ConvolveLine8 from n (1..512) weights; 0, -50 for
    // an impossible n, -108 when there is no memory.
    int16_t (*BuildKernelTable)(const double* weights, int32_t n, KernelTable* table);
    // 127: frees what 126 built and empties the table; an empty table is left alone.
    void (*ReleaseKernelTable)(KernelTable* table);
    // 130: `count` samples of sum w[|k|] x s[k], k = -(n-1)..n-1, in single
    // precision, rounded half up and clamped to 0..255. `table` must come from
    // the same weights and n (anything else throws std::invalid_argument).
    void (*ConvolveLine8)(int32_t count, const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                          int32_t destinationStep, const double* weights, const KernelTable* table, int32_t n);
    // 141: the same at 16 bits (rounded half up, clamped to 0..65535) or 32
    // bits (floats, neither rounded nor clamped); other depths throw std::invalid_argument.
    void (*ConvolveLineDeep)(int32_t count, const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                             int32_t destinationStep, int32_t bitsPerSample, const double* weights, int32_t n);
    // 84: (unfiltered - blurred) x gain + offset, clamped to 0..255. The
    // destination may be the blurred block itself.
    void (*DifferenceOffset8)(int32_t rows, int32_t columns, const uint8_t* unfiltered, int32_t unfilteredRowBytes,
                              const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination,
                              int32_t destinationRowBytes, int32_t gain, int32_t offset);
    // 87: the same at 16 bits, the offset given in 8-bit levels and scaled by
    // 257 (128 is 32896), rounded half up and clamped; at 32 bits the offset is
    // divided by 255 and nothing is rounded or clamped; other depths throw std::invalid_argument.
    void (*DifferenceOffsetDeep)(int32_t rows, int32_t columns, const uint8_t* unfiltered, int32_t unfilteredRowBytes,
                                 const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination,
                                 int32_t destinationRowBytes, int32_t bitsPerSample, double gain, double offset);
};
