#include "App/IoTestSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace pictra::test {

namespace fs = std::filesystem;

std::string IoData(const std::string& name) { return std::string(PICTRA_TEST_DATA) + "/io/" + name; }

ScratchFolder::ScratchFolder()
{
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    folder_ = (fs::temp_directory_path() /
               ("pictra-io-" + std::to_string(getpid()) + "-" + test->test_suite_name() + "-" + test->name()))
                  .string();
    fs::remove_all(folder_);
    fs::create_directories(folder_);
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::string ScratchFolder::path(const std::string& name) const { return folder_ + "/" + name; }

std::vector<std::string> ScratchFolder::entries() const
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Image RandomImage(int32_t width, int32_t height, int16_t mode, int depth, bool transparency, uint32_t seed,
                  int colourPlanes, int paletteSize)
{
    Image image(width, height, mode, depth, transparency, colourPlanes);
    std::mt19937 random(seed);
    if (mode == kModeIndexed) {
        for (int entry = 0; entry < paletteSize; ++entry)
            image.palette.push_back({uint8_t(random()), uint8_t(random()), uint8_t(random())});
    }
    for (int plane = 0; plane < image.planeCount(); ++plane) {
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < width; ++x) {
                switch (depth) {
                case 1: image.setSample(plane, x, y, random() & 1); break;
                case 8:
                    image.setSample(plane, x, y, mode == kModeIndexed ? random() % paletteSize : random() & 0xff);
                    break;
                case 16: image.setSample(plane, x, y, random() & 0xffff); break;
                default: image.setSample(plane, x, y, float(random() % 1000001) / 1e6f);
                }
            }
        }
    }
    return image;
}

Image RampImage(int32_t width, int32_t height, int16_t mode)
{
    Image image(width, height, mode, 8, false);
    for (int plane = 0; plane < image.planeCount(); ++plane)
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x)
                image.setSample(plane, x, y, (x * 255 / width + y * 255 / height + plane * 60) / 3);
    return image;
}

SampleDifferences Differences(const Image& a, const Image& b, int plane)
{
    SampleDifferences differences;
    for (int32_t y = 0; y < a.height(); ++y)
        for (int32_t x = 0; x < a.width(); ++x) {
            const double difference = std::abs(a.sample(plane, x, y) - b.sample(plane, x, y));
            differences.largest = std::max(differences.largest, difference);
            differences.mean += difference;
        }
    differences.mean /= double(a.width()) * a.height();
    return differences;
}

std::string ErrorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ImageFileError& error) {
        return error.what();
    }
    return "";
}

}  // namespace pictra::test
