// Tone tables: a sample's new value looked up in a 256-entry table of
// levels, the one mapping that Levels, Curves, Brightness/Contrast and Color
// Balance share. Entries are 1, 2 or 4 bytes, most significant first: the
// first byte is always the whole level, the rest its fraction (a 4-byte
// entry is an 8.24 fixed-point level).
#pragma once

#include <cstdint>

#include "host/FilterRecord.h"

namespace px {

// Maps every sample of a block through `table` (256 entries of
// `entryBytes`), source to destination (which may be one buffer):
//  - 8 bits: the entry's whole level;
//  - 16 bits (most significant byte first): h, the high byte, picks the
//    entries h and h + 1, whose levels are interpolated at sample / 256 and
//    scaled by 65280 / 255 (so a result never exceeds 65280), truncated;
//    h = 255 gives entry 255's whole level x 256;
//  - 32 bits (floats, 0 to 1 the level range): the same interpolation at
//    sample x 255 (held to 0 ... 255), the result divided by 255.
// Entries of another size than 1, 2 or 4 bytes count by their first byte.
void ApplyLevelTable(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                     int32_t destinationRowBytes, int bitsPerSample, const uint8_t* table, int entryBytes);

// One band of a table pass on one plane at the working depth: the band
// copied to the destination (8-bit data un-matted on the way where the
// white matte applies), mapped in place through `table`, and re-matted.
void LevelTableBand(const Band& band, const FilterRecord& record, const uint8_t* table, int entryBytes);

}  // namespace px
