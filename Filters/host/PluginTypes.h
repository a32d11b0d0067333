// Basic types shared by the module and the host: rectangles, four-character
// codes, result codes and the filter selectors.
#pragma once

#include <cstdint>

struct Rect16 {
    int16_t top = 0;
    int16_t left = 0;
    int16_t bottom = 0;  // exclusive
    int16_t right = 0;  // exclusive

    int32_t height() const { return bottom - top; }
    int32_t width() const { return right - left; }
    bool empty() const { return bottom <= top || right <= left; }
    friend bool operator==(const Rect16&, const Rect16&) = default;
};

// A band handed to a BandCallback is a plain rectangle.
using Band = Rect16;

struct Point16 {
    int16_t v = 0;
    int16_t h = 0;
};

// Four-character codes are stored as 32-bit integers, first character in the
// most significant byte ("8BIM" == 0x3842494D).
constexpr uint32_t FourCC(const char (&code)[5])
{
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) | (uint32_t(uint8_t(code[2])) << 8) |
           uint32_t(uint8_t(code[3]));
}

// Result codes passed through a FilterEntry's result word.
inline constexpr int16_t kNoErr = 0;
inline constexpr int16_t kFailedErr = -1;  // a failed run, or a foreign scripting key
inline constexpr int16_t kUserCanceledErr = -128;  // Cancel in a dialog, or abort during the pass
inline constexpr int16_t kMemFullErr = -108;  // the host could not provide a block
inline constexpr int16_t kParamErr = -50;  // a host service was called with impossible arguments
inline constexpr int16_t kMissingChannelErr = -5555;

// Filter selectors (the first argument of a FilterEntry).
enum : int16_t {
    filterSelectorAbout = 0,
    filterSelectorParameters = 1,
    filterSelectorPrepare = 2,
    filterSelectorStart = 3,
    filterSelectorContinue = 4,
    filterSelectorFinish = 5,
    kSelectorResetPlanes = 26,
    kSelectorProcessPlane = 27,
    kSelectorSetParams = 28,
    kSelectorTranslateDescriptor = 29,
    kSelectorParameterSize = 30,
};

// Image modes as they appear in FilterRecord::imageMode and the host's image record.
enum : int16_t {
    kModeBitmap = 0,
    kModeGrayscale = 1,
    kModeIndexed = 2,
    kModeRGB = 3,
    kModeCMYK = 4,
    kModeHSL = 5,
    kModeHSB = 6,
    kModeMultichannel = 7,
    kModeDuotone = 8,
    kModeLab = 9,
};

// Bit of a PIPL 'mode' mask for an image mode: bitmap is the top bit.
constexpr uint16_t ModeMaskBit(int16_t mode) { return uint16_t(0x8000u >> mode); }
