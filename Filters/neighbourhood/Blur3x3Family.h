// Blur Edges' own kernel, for its tests.
#pragma once

#include <cstdint>

namespace px {

// Restores the centre sample wherever the 3x3 neighbourhood's range is below
// `edgeRange`: `source` has a one-pixel halo, `destination` holds the blur.
void KeepFlatAreas(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                   uint8_t* destination, int32_t destinationRowBytes, int edgeRange);

}  // namespace px
