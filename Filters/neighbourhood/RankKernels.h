// Kernels over the (2r + 1) x (2r + 1) square centred on each sample, r from
// 1 to kLargestSquareRadius: its largest, smallest, mean and median value.
// They are plain functions of a band: `rows` x `columns` outputs written at
// `destination`, read from `source`, which points at the input under the
// first output and has r rows and columns of input (edge copies at the
// image's borders) on every side. Samples are the host's (framework/Samples.h):
// 8 bits, 16 bits most significant byte first, or 32-bit floats. `scratch`
// holds the bytes that the kernel's ...ScratchBytes function states for that
// many columns and that radius.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/Samples.h"

namespace px {

// The rank filters' largest radius. The mean's division and the median's
// counts are exact for windows up to 33 x 33, no larger.
constexpr int kLargestSquareRadius = 16;

// Which outputs a median writes: every one, or (thresholded) only those
// whose sample differs from the median by more than `threshold` (in sample
// units), the output keeping what it held elsewhere.
struct MedianRule {
    bool thresholded = false;
    double threshold = 0;
};

// The kernels for samples S: Samples8, Samples16 or Samples32.
template <class S>
struct SquareKernels {
    // The largest and the smallest sample of every square: for each output
    // row the extremes of its 2r + 1 window rows are taken column by column,
    // then the extreme of 2r + 1 neighbouring column extremes. Rows are taken
    // in pairs: the 2r rows both windows share are reduced once. Along the
    // row, runs of columns are doubled in width until one more doubling would
    // pass the window, and two overlapping runs cover it. Every step is a
    // whole row of one operation, which vectorises; a second copy built for
    // AVX2, chosen when the module loads on a processor that has it, takes
    // twice the samples per instruction. Scratch: SquareExtremeScratchBytes.
    static void Maximum(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                        uint8_t* destination, int32_t destinationRowBytes, int radius, void* scratch);
    static void Minimum(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                        uint8_t* destination, int32_t destinationRowBytes, int radius, void* scratch);

    // The mean of every square: truncated at 8 and 16 bits, from exact
    // integer sums slid down the rows and along them; formed afresh in double
    // precision for every float, so a pixel's mean does not depend on where
    // its band starts. Scratch: SquareMeanScratchBytes.
    static void Mean(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                     int32_t destinationRowBytes, int radius, void* scratch);

    // The median of every square, its ((2r + 1)^2 + 1) / 2-th smallest
    // sample. At radius 1 and 2 the 8- and 16-bit medians come from selection
    // networks run on many outputs at once (MedianNetworks.h); otherwise
    // 8-bit ones slide a histogram along the row, and deep ones select from
    // each gathered window. Scratch: SquareMedianScratchBytes.
    static void Median(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                       uint8_t* destination, int32_t destinationRowBytes, int radius, MedianRule rule, void* scratch);
};

extern template struct SquareKernels<Samples8>;
extern template struct SquareKernels<Samples16>;
extern template struct SquareKernels<Samples32>;

// The scratch each kernel needs for rows of `columns` samples of
// `bytesPerSample` bytes at `radius`.
size_t SquareExtremeScratchBytes(int32_t columns, int radius, int bytesPerSample);
size_t SquareMeanScratchBytes(int32_t columns, int radius, int bytesPerSample);
size_t SquareMedianScratchBytes(int32_t columns, int radius, int bytesPerSample);

}  // namespace px
