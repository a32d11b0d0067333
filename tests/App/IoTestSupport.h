// Helpers shared by the image file tests: data paths, a scratch folder,
// deterministic images and comparisons.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "io/ImageFiles.h"

namespace pictra::test {

// A file under tests/data/io.
std::string IoData(const std::string& name);

// A fresh folder for one test, removed with everything in it afterwards.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string path(const std::string& name) const;
    // Names of everything in the folder, sorted: temporary files left behind show up here.
    std::vector<std::string> entries() const;

private:
    std::string folder_;
};

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Samples spread over each plane's whole range (floats 0..1, bitmaps with
// clear padding bits), the same for the same seed. Indexed images get a
// palette of `paletteSize` colours and indices below it.
Image RandomImage(int32_t width, int32_t height, int16_t mode, int depth, bool transparency, uint32_t seed,
                  int colourPlanes = -1, int paletteSize = 256);

// Smooth ramps, for lossy formats where noise would say little.
Image RampImage(int32_t width, int32_t height, int16_t mode);

// How far apart the two images' samples are in one plane.
struct SampleDifferences {
    double largest = 0;
    double mean = 0;
};
SampleDifferences Differences(const Image& a, const Image& b, int plane);

// The ImageFileError message `action` throws, or "" when it does not throw.
std::string ErrorOf(const std::function<void()>& action);

}  // namespace pictra::test
