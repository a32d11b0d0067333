// The entry of every filter the module has, for the lookup in stdtool.
#pragma once

#include <string>

#include "host/FilterRecord.h"

namespace px {

extern const FilterEntry BlurEntry;
extern const FilterEntry BlurEdgesEntry;
extern const FilterEntry BlurMoreEntry;
extern const FilterEntry SharpenEntry;
extern const FilterEntry SharpenEdgesEntry;
extern const FilterEntry SharpenMoreEntry;
extern const FilterEntry InvertEntry;
extern const FilterEntry SolarizeEntry;
extern const FilterEntry DesaturateEntry;
extern const FilterEntry ThresholdEntry;
extern const FilterEntry PosterizeEntry;
extern const FilterEntry AnalyzerEntryPoint;
extern const FilterEntry CustomEntry;
extern const FilterEntry AverageEntry;
extern const FilterEntry MedianEntry;
extern const FilterEntry DustAndScratchesEntry;
extern const FilterEntry DespeckleEntry;
extern const FilterEntry MaximumEntry;
extern const FilterEntry MinimumEntry;
extern const FilterEntry GaussianBlurEntry;
extern const FilterEntry UnsharpMaskEntry;
extern const FilterEntry HighPassEntry;

// Kernels and tables of the point maps, for their tests.
void BuildPosterizeTable(int levels, uint8_t* table);
uint8_t ThresholdAutoLevel(const uint32_t (&histogram)[256]);

// The Analyzer's fit and table text, for their tests.
double FitRowExponent(const uint8_t* row);
std::string LookupTableText(const uint8_t* row);

// Blur Edges' own kernel, exposed for its tests.
void KeepFlatAreas(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                   int32_t destinationRowBytes, int edgeRange);

// Custom's 5 x 5 convolution of 8-bit samples (`source` has a two-pixel
// halo; weights row by row; scale 0 copies), and a kernel cell as the user
// typed it: blank is an empty cell (weight 0), a number is truncated and
// held to -999..999, anything else is refused (false).
void Convolve5x5(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                 int32_t destinationRowBytes, const int16_t (&weights)[25], int scale, int offset);
bool ReadKernelCell(const char* text, int16_t& weight, bool& used);

// Gaussian Blur's integer kernel at scale 2048 from n one-sided weights
// (2n - 1 taps, or 3 equal ones for n = 1, made up to a sum of 2047 or 2048);
// returns its length. The radius slider's scale (radii in tenths; the
// divisor of its upper segment is 4750, or 4875 for Unsharp Mask). Unsharp
// Mask's combination of source samples with their blur into `destination`
// (which may be `blurred`).
int32_t BuildGaussianKernel(const double* weights, int32_t n, int32_t* kernel);
double RadiusSliderPosition(int32_t radius, double upperDivisor);
int16_t RadiusFromSlider(double position, double upperDivisor);
void UnsharpCombine8(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                     const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination, int32_t destinationRowBytes,
                     double amount, int16_t threshold);
void UnsharpCombine16(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                      const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination,
                      int32_t destinationRowBytes, double amount, int16_t threshold);

}  // namespace px
