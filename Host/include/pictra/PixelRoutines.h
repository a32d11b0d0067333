// The host's pixel routines: the table handed to the module, and the kernels
// behind it as templates over the sample encoding, so that tests and
// benchmarks reach every depth directly (the table's blur entries are 8-bit
// only; the kernels are not).
//
// Every kernel takes byte addresses and row strides in bytes, like the table.
// Neighbourhood kernels read exactly one pixel beyond the block on each side
// and write only the block; source and destination must not overlap.
#pragma once

#include <cstdint>

#include "host/PixelRoutines.h"

namespace pictra {

// Sample encodings the kernels are instantiated for: uint8_t (bytes),
// BigEndian16 (two bytes, most significant first) and float (native floats).
struct BigEndian16 {};

// The routines the host hands to the module through its global block.
const HostPixelRoutines& PixelRoutineTable();

// 255 where the sample is at or above `level`, 0 below; in place when source is destination.
void ThresholdBytes(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                    int32_t destinationRowBytes, int32_t level);

// The first byte of each of `columns` pixels, `pixelStride` bytes apart, set to `value`.
void FillSamples(int32_t rows, int32_t columns, uint8_t* destination, int32_t rowBytes, int32_t pixelStride,
                 int32_t value);

// v -> 255 - v for each of `columns` bytes of each row, in place.
void InvertBytes(int32_t rows, int32_t columns, uint8_t* data, int32_t rowBytes);

// (1 2 1 / 2 4 2 / 1 2 1 weighted sum + 8) >> 4; floats: sum / 16.
template <typename Sample>
void Blur3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
             int32_t destinationRowBytes);

// (sum of the nine + 4) / 9; floats: sum / 9.
template <typename Sample>
void BlurMore3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
                 int32_t destinationRowBytes);

// c + floor((4c - N - S - W - E + 2) / 4), clamped to the sample range;
// floats: c + (4c - N - S - W - E) / 4, not clamped.
template <typename Sample>
void Sharpen3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
                int32_t destinationRowBytes);

// c + floor((8c - the eight neighbours + 2) / 4), clamped; floats unrounded and unclamped.
template <typename Sample>
void SharpenMore3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
                    int32_t destinationRowBytes);

// SharpenMore3x3 where max - min of the 3x3 neighbourhood is at least 1/16 of
// full scale (16 at 8 bits, 4096 at 16 bits, 0.0625 for floats); elsewhere
// the centre unchanged, so flat and low-contrast areas keep their noise level.
template <typename Sample>
void SharpenEdges3x3(int32_t rows, int32_t columns, const uint8_t* source, uint8_t* destination, int32_t sourceRowBytes,
                     int32_t destinationRowBytes);

// The Gaussian routines of the table (their contracts are in
// Filters/host/PixelRoutines.h): weights for a sigma, the 8-bit kernel
// table, line convolutions and High Pass's difference with an offset.
void GaussianWeights(double sigma, double* weights, int32_t* n);
int16_t BuildKernelTable(const double* weights, int32_t n, KernelTable* table);
void ReleaseKernelTable(KernelTable* table);
void ConvolveLine8(int32_t count, const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                   int32_t destinationStep, const double* weights, const KernelTable* table, int32_t n);
void ConvolveLineDeep(int32_t count, const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                      int32_t destinationStep, int32_t bitsPerSample, const double* weights, int32_t n);
void DifferenceOffset8(int32_t rows, int32_t columns, const uint8_t* unfiltered, int32_t unfilteredRowBytes,
                       const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination,
                       int32_t destinationRowBytes, int32_t gain, int32_t offset);
void DifferenceOffsetDeep(int32_t rows, int32_t columns, const uint8_t* unfiltered, int32_t unfilteredRowBytes,
                          const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination,
                          int32_t destinationRowBytes, int32_t bitsPerSample, double gain, double offset);

}  // namespace pictra
