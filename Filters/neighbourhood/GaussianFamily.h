// The Gaussian family's kernels and slider scale, for their tests.
#pragma once

#include <cstdint>

namespace px {

// Gaussian Blur's integer kernel at scale 2048 from n one-sided weights
// (2n - 1 taps, or 3 equal ones for n = 1, made up to a sum of 2047 or 2048);
// returns its length.
int32_t BuildGaussianKernel(const double* weights, int32_t n, int32_t* kernel);

// The radius slider's scale (radii in tenths; the divisor of its upper
// segment is 4750, or 4875 for Unsharp Mask).
double RadiusSliderPosition(int32_t radius, double upperDivisor);
int16_t RadiusFromSlider(double position, double upperDivisor);

// Unsharp Mask's combination of source samples with their blur into
// `destination` (which may be `blurred`).
void UnsharpCombine8(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                     const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination,
                     int32_t destinationRowBytes, double amount, int16_t threshold);
void UnsharpCombine16(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                      const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination,
                      int32_t destinationRowBytes, double amount, int16_t threshold);

}  // namespace px
