#include "framework/LevelTable.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "framework/BandDriver.h"
#include "framework/WhiteMatte.h"

namespace px {

namespace {

// The level of entry i as a number of levels.
double LevelOf(const uint8_t* table, int entryBytes, int i)
{
    const uint8_t* entry = table + size_t(i) * size_t(entryBytes);
    switch (entryBytes) {
    case 2: return ((entry[0] << 8) | entry[1]) / 256.0;
    case 4: return ((uint32_t(entry[0]) << 24) | (entry[1] << 16) | (entry[2] << 8) | entry[3]) / 16777216.0;
    default: return entry[0];
    }
}

void Map8(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
          int32_t destinationRowBytes, const uint8_t* table, int entryBytes)
{
    uint8_t whole[256];
    for (int i = 0; i < 256; ++i)
        whole[i] = table[size_t(i) * size_t(entryBytes)];
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* in = source + ptrdiff_t(y) * sourceRowBytes;
        uint8_t* out = destination + ptrdiff_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x)
            out[x] = whole[in[x]];
    }
}

void Map16(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
           int32_t destinationRowBytes, const uint8_t* table, int entryBytes)
{
    double level[256];
    for (int i = 0; i < 256; ++i)
        level[i] = LevelOf(table, entryBytes, i);
    const auto top = uint16_t(table[255 * size_t(entryBytes)] << 8);
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* in = source + ptrdiff_t(y) * sourceRowBytes;
        uint8_t* out = destination + ptrdiff_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x) {
            const int sample = (in[2 * x] << 8) | in[2 * x + 1];
            const int h = sample >> 8;
            uint16_t value = top;
            if (h < 255) {
                const double y0 = level[h];
                const double mapped = (level[h + 1] - y0) * (sample / 256.0 - h) + y0;
                value = uint16_t(mapped * 65280.0 / 255.0);
            }
            out[2 * x] = uint8_t(value >> 8);
            out[2 * x + 1] = uint8_t(value);
        }
    }
}

void MapFloat(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
              int32_t destinationRowBytes, const uint8_t* table, int entryBytes)
{
    double level[256];
    for (int i = 0; i < 256; ++i)
        level[i] = LevelOf(table, entryBytes, i);
    const double top = table[255 * size_t(entryBytes)];
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* in = source + ptrdiff_t(y) * sourceRowBytes;
        uint8_t* out = destination + ptrdiff_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x) {
            float sample;
            std::memcpy(&sample, in + 4 * ptrdiff_t(x), 4);
            const double at = std::isnan(sample) ? 0.0 : std::clamp(double(sample) * 255.0, 0.0, 255.0);
            const int h = int(at);
            const double mapped = h < 255 ? (level[h + 1] - level[h]) * (at - h) + level[h] : top;
            const auto value = float(mapped / 255.0);
            std::memcpy(out + 4 * ptrdiff_t(x), &value, 4);
        }
    }
}

}  // namespace

void ApplyLevelTable(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                     int32_t destinationRowBytes, int bitsPerSample, const uint8_t* table, int entryBytes)
{
    assert(rows >= 0 && columns >= 0 && entryBytes >= 1);
    switch (bitsPerSample) {
    case 8: Map8(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, table, entryBytes); break;
    case 16: Map16(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, table, entryBytes); break;
    case 32:
        MapFloat(rows, columns, source, sourceRowBytes, destination, destinationRowBytes, table, entryBytes);
        break;
    default: assert(false && "samples of 8, 16 or 32 bits");
    }
}

void LevelTableBand(const Band& band, const FilterRecord& record, const uint8_t* table, int entryBytes)
{
    const int bits = record.hostProc->workingDepth;
    if (bits == 8) {
        MattedPointBand(band, record, [&](const BandAddress& a, int planes) {
            ApplyLevelTable(a.rows, a.columns * planes, a.destination, a.destinationRowBytes, a.destination,
                            a.destinationRowBytes, 8, table, entryBytes);
        });
        return;
    }
    const int planes = InterleavedPlanes(record);
    const BandAddress a = AddressBand(band, record, bits / 8 * planes);
    CopyBand(a.rows, a.columns * planes * (bits / 8), a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes);
    ApplyLevelTable(a.rows, a.columns * planes, a.destination, a.destinationRowBytes, a.destination,
                    a.destinationRowBytes, bits, table, entryBytes);
}

}  // namespace px
