// Settings-file streams: big-endian values, bounded reads, whole files only.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "HostInternal.h"
#include "TestSupport.h"

namespace pictra::test {
namespace {

std::vector<uint8_t> Bytes(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(FileStreams, WriteBigEndianAndReadWithinBounds)
{
    char pattern[] = "/tmp/pictra-streams-XXXXXX";
    const std::filesystem::path folder = mkdtemp(pattern);
    const std::string path = (folder / "values.bin").string();
    const HostFileServices& files = *CallbackTable()->files;

    int16_t error = 1;
    HostStream* out = files.OpenStream(path.c_str(), 1, &error);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(files.WriteInt16(out, -2), 0);
    EXPECT_EQ(files.WriteFloat64(out, 1.5), 0);
    EXPECT_EQ(files.WriteBytes(out, "ok", 2), 0);
    EXPECT_FALSE(std::filesystem::exists(path)) << "the file appears only when it is whole";
    ASSERT_EQ(files.CloseStream(out), 0);
    EXPECT_EQ(Bytes(path), (std::vector<uint8_t>{0xFF, 0xFE, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0, 'o', 'k'}));

    HostStream* in = files.OpenStream(path.c_str(), 0, &error);
    ASSERT_NE(in, nullptr);
    int16_t small = 0;
    EXPECT_EQ(files.ReadInt16(in, &small, 0, 10), kValueRangeErr) << "-2 is out of 0..10";
    EXPECT_EQ(small, 0);
    EXPECT_EQ(files.CloseStream(in), kValueRangeErr);

    in = files.OpenStream(path.c_str(), 0, &error);
    double real = 0;
    char text[3] = {};
    EXPECT_EQ(files.ReadInt16(in, &small, -5, 5), 0);
    EXPECT_EQ(small, -2);
    EXPECT_EQ(files.ReadFloat64(in, &real, 0, 2), 0);
    EXPECT_EQ(real, 1.5);
    EXPECT_EQ(files.ReadBytes(in, text, 2), 0);
    EXPECT_STREQ(text, "ok");
    EXPECT_EQ(files.ReadInt16(in, &small, -5, 5), kEndOfFileErr);
    EXPECT_EQ(files.CloseStream(in), kEndOfFileErr);

    EXPECT_EQ(files.OpenStream((folder / "none").c_str(), 0, &error), nullptr);
    EXPECT_EQ(error, kFileNotFoundErr);
    EXPECT_EQ(files.OpenStream((folder / "no" / "dir").c_str(), 1, &error), nullptr);
    EXPECT_EQ(error, kIoErr);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace pictra::test
