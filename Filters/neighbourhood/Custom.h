// Custom's kernels, for their tests.
#pragma once

#include <cstdint>

namespace px {

// The 5 x 5 convolution of 8-bit samples (`source` has a two-pixel halo;
// weights row by row; scale 0 copies).
void Convolve5x5(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                 int32_t destinationRowBytes, const int16_t (&weights)[25], int scale, int offset);

// A kernel cell as the user typed it: blank is an empty cell (weight 0), a
// number is truncated and held to -999..999, anything else is refused (false).
bool ReadKernelCell(const char* text, int16_t& weight, bool& used);

}  // namespace px
