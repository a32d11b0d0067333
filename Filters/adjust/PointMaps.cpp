// Point-map filters: each output sample depends on its own input sample only.
// Invert complements every sample of the colour planes.
#include <cstring>

#include "FilterEntries.h"
#include "framework/FilterProtocol.h"
#include "framework/Module.h"
#include "framework/WhiteMatte.h"

namespace px {

namespace {

// Planes delivered together in one pass are interleaved.
int InterleavedPlanes(const FilterRecord& record) { return record.outHiPlane - record.outLoPlane + 1; }

// Copies a band row by row and complements each row while it is still in
// cache; deep samples are complemented byte by byte, which maps v to max - v.
void CopyAndInvertRows(const BandAddress& a, int32_t rowBytes)
{
    const HostPixelRoutines& routines = PixelRoutines();
    for (int32_t y = 0; y < a.rows; ++y) {
        uint8_t* out = a.destination + size_t(y) * a.destinationRowBytes;
        std::memcpy(out, a.source + size_t(y) * a.sourceRowBytes, size_t(rowBytes));
        routines.InvertBytes(1, rowBytes, out, a.destinationRowBytes);
    }
}

void InvertBands8(const Band* band, FilterRecord* record)
{
    if (record->imageMode == kModeBitmap) {
        const BandAddress a = AddressBand(*band, *record, 0);
        CopyBits(a.rows, a.columns, a.bitOffset, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes);
        ComplementBits(a.rows, a.columns, a.bitOffset, a.destination, a.destinationRowBytes);
        return;
    }
    const int planes = InterleavedPlanes(*record);
    const BandAddress a = AddressBand(*band, *record, planes);
    const HostPlaneView* matte = FindWhiteMatte(*record);
    if (!matte) {
        CopyAndInvertRows(a, a.columns * planes);
        return;
    }
    const uint8_t* alpha = AlphaAt(*matte, *band);
    UnmatteBand(a.rows, a.columns, planes, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes, alpha,
                matte->rowBytes);
    PixelRoutines().InvertBytes(a.rows, a.columns * planes, a.destination, a.destinationRowBytes);
    RematteBand(a.rows, a.columns, planes, a.destination, a.destinationRowBytes, alpha, matte->rowBytes);
}

void InvertBandsDeep(const Band* band, FilterRecord* record)
{
    const int bytesPerPixel = BytesPerSample(*record) * InterleavedPlanes(*record);
    const BandAddress a = AddressBand(*band, *record, bytesPerPixel);
    CopyAndInvertRows(a, a.columns * bytesPerPixel);
}

constexpr PlainFilter kInvert{18063, {.halo = 0, .transparency = Transparency::kLeave,
                                      .bands8 = InvertBands8, .bandsDeep = InvertBandsDeep}};

}  // namespace

const FilterEntry InvertEntry = PlainFilterEntry<kInvert>;

}  // namespace px
