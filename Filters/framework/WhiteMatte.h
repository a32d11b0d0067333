// The white matte of 8-bit point operations. The host stores colour on
// layers with transparency matted against white; a point operation must see
// the straight colour, so the band is un-matted on its way into the
// destination and re-matted after the operation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/BandDriver.h"
#include "host/FilterRecord.h"
#include "host/HostServices.h"

namespace px {

// The transparency map to matte with, or null when the matte does not apply:
// no map on the layer, or no colour channel targeted (an image with a single
// colour channel always counts as targeted). It only reads the host's
// records, so bands may ask.
const HostPlaneView* FindWhiteMatte(const FilterRecord& record);

// c' = ((c - 255) + a) x 255 / a for a > 0, 0 for a = 0 (integer division; a
// colour darker than its alpha allows keeps the low 8 bits of the negative
// intermediate). `samplesPerPixel` (1 to 4) interleaved samples share one alpha.
void UnmatteBand(int32_t rows, int32_t columns, int samplesPerPixel, const uint8_t* source, int32_t sourceRowBytes,
                 uint8_t* destination, int32_t destinationRowBytes, const uint8_t* alpha, int32_t alphaRowBytes);

// c = (255 - a) + a x c' / 255, in place.
void RematteBand(int32_t rows, int32_t columns, int samplesPerPixel, uint8_t* data, int32_t rowBytes,
                 const uint8_t* alpha, int32_t alphaRowBytes);

// The alpha sample under a band's first pixel.
inline const uint8_t* AlphaAt(const HostPlaneView& map, const Band& band)
{
    return map.base + size_t(band.top) * size_t(map.rowBytes) + size_t(band.left);
}

// The shape of an 8-bit point operation on the planes delivered together:
// the band un-matted into the destination (or copied), transform(address,
// planes) applied to the destination in place, then re-matted.
template <class Transform>
void MattedPointBand(const Band& band, const FilterRecord& record, Transform transform)
{
    const int planes = InterleavedPlanes(record);
    const BandAddress a = AddressBand(band, record, planes);
    const HostPlaneView* matte = FindWhiteMatte(record);
    if (!matte) {
        CopyBand(a.rows, a.columns * planes, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes);
        transform(a, planes);
        return;
    }
    const uint8_t* alpha = AlphaAt(*matte, band);
    UnmatteBand(a.rows, a.columns, planes, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes, alpha,
                matte->rowBytes);
    transform(a, planes);
    RematteBand(a.rows, a.columns, planes, a.destination, a.destinationRowBytes, alpha, matte->rowBytes);
}

}  // namespace px
