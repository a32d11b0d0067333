// Samples as the host delivers them, at every depth, for kernels that are
// written once for all depths. Rows hold samples in the image model's byte
// order: 1-bit rows most significant bit first, 8-bit bytes, 16-bit samples
// most significant byte first, 32-bit native floats.
//
// Each depth reads a sample as a key (`Load`) and writes one (`Store`). Keys
// compared as unsigned integers order like the samples' values: bytes and
// 16-bit samples are their own keys, and a float's key is its bits with the
// sign bit set, or with every bit flipped for negative numbers. `Value` is a
// key's value as a double. Columns count from the row pointer and may be
// negative, to reach a halo of edge copies left of a band.
#pragma once

#include <cstdint>
#include <cstring>

namespace px {

// Bit x of a row on its byte grid: x counts from the most significant bit of
// the row's first byte, so a band that starts inside a byte adds its
// bitOffset (BandAddress). The key is the bit, 0 or 1. Negative columns
// reach the bytes before the row pointer (x >> 3 rounds down). Its samples
// are not whole bytes, so it has no kBytes and SampleAt does not take it.
struct Samples1 {
    using Key = uint8_t;
    static Key Load(const uint8_t* row, int32_t x) { return Key((row[x >> 3] >> (7 - (x & 7))) & 1); }
    static void Store(uint8_t* row, int32_t x, Key key)
    {
        const auto bit = uint8_t(0x80 >> (x & 7));
        uint8_t& byte = row[x >> 3];
        byte = uint8_t(key ? byte | bit : byte & ~bit);
    }
    static double Value(Key key) { return key; }
};

struct Samples8 {
    using Key = uint8_t;
    static constexpr int kBytes = 1;
    static Key Load(const uint8_t* row, int32_t x) { return row[x]; }
    static void Store(uint8_t* row, int32_t x, Key key) { row[x] = key; }
    static double Value(Key key) { return key; }
};

struct Samples16 {
    using Key = uint16_t;
    static constexpr int kBytes = 2;
    static Key Load(const uint8_t* row, int32_t x)
    {
        const uint8_t* p = row + 2 * intptr_t(x);
        return Key((p[0] << 8) | p[1]);
    }
    static void Store(uint8_t* row, int32_t x, Key key)
    {
        uint8_t* p = row + 2 * intptr_t(x);
        p[0] = uint8_t(key >> 8);
        p[1] = uint8_t(key);
    }
    static double Value(Key key) { return key; }
    // Truncated, as integer arithmetic truncates.
    static void StoreValue(uint8_t* row, int32_t x, double value) { Store(row, x, Key(value)); }
};

struct Samples32 {
    using Key = uint32_t;
    static constexpr int kBytes = 4;
    static constexpr uint32_t kSign = 0x80000000u;
    static Key Load(const uint8_t* row, int32_t x)
    {
        uint32_t bits;
        std::memcpy(&bits, row + 4 * intptr_t(x), 4);
        return (bits & kSign) ? ~bits : bits | kSign;
    }
    static void Store(uint8_t* row, int32_t x, Key key)
    {
        const uint32_t bits = (key & kSign) ? key & ~kSign : ~key;
        std::memcpy(row + 4 * intptr_t(x), &bits, 4);
    }
    static double Value(Key key)
    {
        const uint32_t bits = (key & kSign) ? key & ~kSign : ~key;
        float value;
        std::memcpy(&value, &bits, 4);
        return value;
    }
    // Rounded to the nearest float.
    static void StoreValue(uint8_t* row, int32_t x, double value)
    {
        const float sample = float(value);
        std::memcpy(row + 4 * intptr_t(x), &sample, 4);
    }
};

// Sample x of row y of a plane of byte-addressed samples, from its origin.
template <class S>
const uint8_t* SampleAt(const uint8_t* origin, int32_t rowBytes, int32_t y, int32_t x)
{
    return origin + intptr_t(y) * rowBytes + intptr_t(x) * S::kBytes;
}

}  // namespace px
