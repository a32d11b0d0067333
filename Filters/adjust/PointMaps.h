// The point maps' tables, for their tests.
#pragma once

#include <cstdint>

namespace px {

// Posterize's table: `levels` evenly spaced values, table[255] = 255.
void BuildPosterizeTable(int levels, uint8_t* table);

// Threshold's "Auto" level from the gray histogram of the filter rectangle.
uint8_t ThresholdAutoLevel(const uint32_t (&histogram)[256]);

}  // namespace px
