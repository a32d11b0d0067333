// The host on its own: blocks, descriptors, the thread pool, property lists,
// and advanceState as a filter of the test's own making sees it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "HostInternal.h"
#include "TestSupport.h"
#include "ThreadPool.h"

namespace pictra::test {
namespace {

TEST(HostBlocks, NewBlocksAreZeroedAndKeepTheirContentsWhenResized)
{
    void* block = nullptr;
    ASSERT_EQ(NewHostBlock(&block, 272), 0);
    EXPECT_EQ(HostBlockSize(block), 272);
    const std::vector<uint8_t> zeros(272, 0);
    EXPECT_EQ(std::memcmp(block, zeros.data(), 272), 0);
    std::memset(block, 7, 272);
    ASSERT_EQ(CallbackTable()->platform->ResizeBlock(&block, 1000), 0);
    EXPECT_EQ(HostBlockSize(block), 1000);
    EXPECT_EQ(static_cast<uint8_t*>(block)[271], 7);
    EXPECT_EQ(static_cast<uint8_t*>(block)[272], 0) << "the grown part is zeroed";
    FreeHostBlock(block);
    EXPECT_EQ(HostBlockSize(nullptr), 0);
    EXPECT_NE(NewHostBlock(&block, -1), 0);
}

TEST(HostDescriptors, ItemsComeBackInOrderWithTheirTypes)
{
    WriteDescriptorProcs& write = *WriteDescriptorTable();
    ReadDescriptorProcs& read = *ReadDescriptorTable();
    PIWriteDescriptor writer = write.openWriteDescriptorProc();
    const double amount = 1.5;
    write.putIntegerProc(writer, 0x8abc, 6);
    write.putFloatProc(writer, FourCC("uamt"), &amount);
    write.putBooleanProc(writer, 3, 1);
    write.putTextProc(writer, 4, "levels");
    PIDescriptorHandle descriptor = nullptr;
    ASSERT_EQ(write.closeWriteDescriptorProc(writer, &descriptor), 0);
    ASSERT_NE(descriptor, nullptr);

    PIReadDescriptor reader = read.openReadDescriptorProc(descriptor, nullptr);
    uint32_t key = 0, type = 0;
    int32_t flags = 0, integer = 0;
    double real = 0;
    uint8_t boolean = 0;
    char text[4];
    ASSERT_TRUE(read.getKeyProc(reader, &key, &type, &flags));
    EXPECT_EQ(key, 0x8abcu);
    EXPECT_EQ(type, typeInteger);
    EXPECT_EQ(read.getFloatProc(reader, &real), kDescriptorTypeErr) << "an integer is not a float";
    EXPECT_EQ(read.getIntegerProc(reader, &integer), 0);
    EXPECT_EQ(integer, 6);
    ASSERT_TRUE(read.getKeyProc(reader, &key, &type, &flags));
    EXPECT_EQ(read.getFloatProc(reader, &real), 0);
    EXPECT_EQ(real, 1.5);
    ASSERT_TRUE(read.getKeyProc(reader, &key, &type, &flags));
    EXPECT_EQ(read.getBooleanProc(reader, &boolean), 0);
    EXPECT_EQ(boolean, 1);
    ASSERT_TRUE(read.getKeyProc(reader, &key, &type, &flags));
    EXPECT_EQ(read.getTextProc(reader, text, sizeof text), 0);
    EXPECT_STREQ(text, "lev") << "cut to the buffer";
    EXPECT_FALSE(read.getKeyProc(reader, &key, &type, &flags));
    EXPECT_EQ(read.closeReadDescriptorProc(reader), kDescriptorTypeErr) << "close reports the mismatch met";
    EXPECT_EQ(read.openReadDescriptorProc(nullptr, nullptr), nullptr);
    DisposeDescriptor(descriptor);
}

TEST(HostThreadPool, RunsEveryIndexExactlyOnceAcrossRepeatedCalls)
{
    for (int threads : {1, 2, 4}) {
        ThreadPool pool(threads);
        for (int round = 0; round < 50; ++round) {
            // Now and then the workers have stopped watching and gone to sleep.
            if (round % 10 == 9)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::vector<std::atomic<int>> hits(16);
            pool.parallelFor(16, [&](int i) { ++hits[size_t(i)]; });
            for (auto& h : hits)
                ASSERT_EQ(h.load(), 1);
        }
        pool.parallelFor(0, [](int) { FAIL(); });
    }
}

TEST(HostPipl, RejectsDamagedPropertyLists)
{
    auto host = LoadedHost();
    const ResourceFile::Bytes good = [&] {
        ResourceFile resources;
        EXPECT_TRUE(resources.load(
            std::string(PICTRA_MODULE_PATH).substr(0, std::string(PICTRA_MODULE_PATH).size() - 4) + ".rsrc"));
        return *resources.find(kResourcePIPL, 16900);
    }();
    ASSERT_TRUE(ParsePipl(16900, good));
    for (size_t cut : {size_t(0), size_t(9), size_t(20), good.size() - 1}) {
        const ResourceFile::Bytes truncated(good.begin(), good.begin() + long(cut));
        EXPECT_FALSE(ParsePipl(16900, truncated)) << cut;
    }
    ResourceFile::Bytes wrongSignature = good;
    wrongSignature[0] = 2;
    EXPECT_FALSE(ParsePipl(16900, wrongSignature));
}

// A filter of the test's own: asks for the rectangle, planes, depth and
// padding the test sets, and copies what it received for the test to see.
struct Probe {
    Rect16 inRect;
    int16_t lo = 0, hi = 0;
    int16_t padding = 0;
    int16_t depth = 8;
    std::vector<uint8_t> received;
    int32_t rowBytes = 0;
    int16_t error = 0;
};
Probe* gProbe = nullptr;

void ProbeEntry(int16_t selector, FilterRecord* record, intptr_t*, int16_t* result)
{
    Probe& probe = *gProbe;
    switch (selector) {
    case filterSelectorStart: *result = record->hostProc->RegisterFilterEntry(ProbeEntry, 0); break;
    case kSelectorProcessPlane: {
        record->inRect = probe.inRect;
        record->inLoPlane = probe.lo;
        record->inHiPlane = probe.hi;
        record->outRect = Rect16{};
        record->inputPadding = probe.padding;
        record->hostProc->workingDepth = probe.depth;
        probe.error = record->advanceState();
        if (probe.error == 0) {
            probe.rowBytes = record->inRowBytes;
            const auto* in = static_cast<const uint8_t*>(record->inData);
            const size_t span =
                size_t(probe.inRect.width()) * size_t(probe.hi - probe.lo + 1) * size_t(probe.depth / 8);
            probe.received.clear();
            for (int32_t y = 0; y < probe.inRect.height(); ++y, in += record->inRowBytes)
                probe.received.insert(probe.received.end(), in, in + span);
        }
        record->outRect = Rect16{};
        *result = probe.error;
        break;
    }
    default: *result = 0;
    }
}

TEST(HostAdvanceState, PadsInterleavesAndConvertsAsAsked)
{
    auto host = LoadedHost();
    Image image(3, 2, kModeRGB, 8, false);
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                image.setSample(p, x, y, 100 * p + 10 * y + x);
    Probe probe;
    gProbe = &probe;

    // Two planes interleaved, one pixel beyond the left and top edges, replicated.
    probe.inRect = Rect16{-1, -1, 1, 2};
    probe.lo = 1;
    probe.hi = 2;
    probe.padding = kPadEdgeReplicate;
    ASSERT_EQ(host->runEntry(1, ProbeEntry, image), 0);
    EXPECT_EQ(probe.rowBytes, 6);
    EXPECT_EQ(probe.received, (std::vector<uint8_t>{100, 200, 100, 200, 101, 201,  // row -1 = row 0
                                                    100, 200, 100, 200, 101, 201}));

    // One plane with a border: a constant pad value, then edge copies on the
    // same host, within the snapshot's margin and far beyond it.
    auto expected = [&](int plane, int pad) {
        std::vector<uint8_t> samples;
        for (int32_t y = probe.inRect.top; y < probe.inRect.bottom; ++y)
            for (int32_t x = probe.inRect.left; x < probe.inRect.right; ++x) {
                const bool inside = x >= 0 && x < 3 && y >= 0 && y < 2;
                samples.push_back(pad >= 0 && !inside
                                      ? uint8_t(pad)
                                      : uint8_t(image.sample(plane, std::clamp(x, 0, 2), std::clamp(y, 0, 1))));
            }
        return samples;
    };
    probe.inRect = Rect16{1, 2, 3, 4};
    probe.lo = probe.hi = 0;
    probe.padding = 9;
    ASSERT_EQ(host->runEntry(1, ProbeEntry, image), 0);
    EXPECT_EQ(probe.received, (std::vector<uint8_t>{12, 9, 9, 9}));
    for (const Rect16 rect : {Rect16{-3, -2, 4, 5}, Rect16{-90, -80, 95, 85}, Rect16{-5, 4, -2, 6}}) {
        probe.inRect = rect;
        probe.lo = probe.hi = 2;
        probe.padding = 7;
        ASSERT_EQ(host->runEntry(1, ProbeEntry, image), 0);
        EXPECT_EQ(probe.received, expected(2, 7)) << rect.top << " " << rect.left;
        probe.padding = kPadEdgeReplicate;
        ASSERT_EQ(host->runEntry(1, ProbeEntry, image), 0);
        EXPECT_EQ(probe.received, expected(2, -1)) << rect.top << " " << rect.left;
    }
    probe.lo = probe.hi = 0;

    // A 16-bit image seen at 8 bits: the high byte.
    Image deep(2, 1, kModeGrayscale, 16, false);
    deep.setSample(0, 0, 0, 0x1234);
    deep.setSample(0, 1, 0, 0xFFFF);
    probe.inRect = Rect16{0, 0, 1, 2};
    probe.depth = 8;
    ASSERT_EQ(host->runEntry(1, ProbeEntry, deep), 0);
    EXPECT_EQ(probe.received, (std::vector<uint8_t>{0x12, 0xFF}));
    probe.depth = 16;
    ASSERT_EQ(host->runEntry(1, ProbeEntry, deep), 0);
    EXPECT_EQ(probe.received, (std::vector<uint8_t>{0x12, 0x34, 0xFF, 0xFF})) << "most significant byte first";

    // Impossible requests are refused with an error, not served.
    probe.depth = 12;
    EXPECT_EQ(host->runEntry(1, ProbeEntry, deep), kParamErr);
    probe.depth = 8;
    probe.hi = 3;
    EXPECT_EQ(host->runEntry(1, ProbeEntry, image), kParamErr);
    gProbe = nullptr;
}

}  // namespace
}  // namespace pictra::test
