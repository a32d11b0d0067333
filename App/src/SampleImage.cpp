#include "SampleImage.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace pictra {

namespace {

// A small deterministic generator, so the sample is the same on every machine.
uint32_t NextNoise(uint32_t& state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

}  // namespace

Image MakeSampleImage(int16_t mode)
{
    constexpr int kSize = 256;
    Image rgb(kSize, kSize, kModeRGB, 8, false);
    uint32_t state = 0x9e3779b9u;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            double r = 40 + 180.0 * x / kSize;
            double g = 60 + 150.0 * y / kSize;
            double b = 200 - 120.0 * (x + y) / (2 * kSize);
            const double dx = x - 90, dy = y - 100;
            if (dx * dx + dy * dy < 45 * 45) {
                r = 230;
                g = 200;
                b = 40;
            }
            if (x > 150 && x < 230 && y > 40 && y < 110) {
                r = 20;
                g = 30;
                b = 60;
            }
            if (y > 170 && x > 130)
                r = g = b = 128 + 100 * std::sin(x * 0.8 + y * 0.3);
            const double noise = int(NextNoise(state) % 13) - 6;
            const double rgbValues[3] = {r + noise, g + noise, b + noise};
            for (int p = 0; p < 3; ++p)
                rgb.setSample(p, x, y, std::clamp(std::round(rgbValues[p]), 0.0, 255.0));
        }
    if (mode == kModeRGB)
        return rgb;
    Image gray(kSize, kSize, kModeGrayscale, 8, false);
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x)
            gray.setSample(0, x, y,
                           (77 * rgb.sample(0, x, y) + 150 * rgb.sample(1, x, y) + 28 * rgb.sample(2, x, y)) / 255);
    return gray;
}

}  // namespace pictra
