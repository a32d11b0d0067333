#include "framework/WhiteMatte.h"

#include "framework/Module.h"

namespace px {

const HostPlaneView* FindWhiteMatte(const FilterRecord& record)
{
    HostImageMap* map = record.hostProc->imageMap;
    const HostImageRecord* image = Host().GetImageRecord(map);
    if (!image || !image->layer || (image->layer->flags & 1) == 0)
        return nullptr;
    const HostLayerRecord& layer = *image->layer;
    if (image->currentMapIndex < 0 || image->currentMapIndex >= layer.mapCount)
        return nullptr;
    const HostPlaneView* transparency = &layer.transparencyMaps[image->currentMapIndex];

    bool colourTargeted = image->colourChannels == 1;
    const PicaBasicSuite* basic = nullptr;
    const void* suite = nullptr;
    if (!colourTargeted && Host().GetBasicSuite(&basic) == kNoErr &&
        basic->AcquireSuite(kPESessionSuiteName, 1, &suite) == kNoErr) {
        const auto* session = static_cast<const PESessionSuite*>(suite);
        const int32_t channels = session->ChannelCount(map);
        for (int32_t i = 0; i < channels && i < image->colourChannels; ++i)
            colourTargeted = colourTargeted || session->ChannelTargeted(map, i) != 0;
        basic->ReleaseSuite(kPESessionSuiteName, 1);
    }
    return colourTargeted ? transparency : nullptr;
}

void UnmatteBand(int32_t rows, int32_t columns, int samplesPerPixel, const uint8_t* source, int32_t sourceRowBytes,
                 uint8_t* destination, int32_t destinationRowBytes, const uint8_t* alpha, int32_t alphaRowBytes)
{
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* in = source + size_t(y) * sourceRowBytes;
        uint8_t* out = destination + size_t(y) * destinationRowBytes;
        const uint8_t* a = alpha + size_t(y) * alphaRowBytes;
        for (int32_t x = 0; x < columns; ++x) {
            const int32_t alphaValue = a[x];
            for (int s = 0; s < samplesPerPixel; ++s) {
                const int32_t c = in[x * samplesPerPixel + s];
                out[x * samplesPerPixel + s] =
                    alphaValue == 0 ? 0 : uint8_t(((c - 255) + alphaValue) * 255 / alphaValue);
            }
        }
    }
}

void RematteBand(int32_t rows, int32_t columns, int samplesPerPixel, uint8_t* data, int32_t rowBytes,
                 const uint8_t* alpha, int32_t alphaRowBytes)
{
    for (int32_t y = 0; y < rows; ++y) {
        uint8_t* row = data + size_t(y) * rowBytes;
        const uint8_t* a = alpha + size_t(y) * alphaRowBytes;
        for (int32_t x = 0; x < columns; ++x) {
            const int32_t alphaValue = a[x];
            for (int s = 0; s < samplesPerPixel; ++s) {
                uint8_t& c = row[x * samplesPerPixel + s];
                c = uint8_t((255 - alphaValue) + alphaValue * c / 255);
            }
        }
    }
}

}  // namespace px
