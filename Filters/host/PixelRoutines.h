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

#include <cstdint>

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
    void (*Blur3x3)(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination,
                    int32_t sourceRowBytes, int32_t destinationRowBytes);
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
};
