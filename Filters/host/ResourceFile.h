// The platform's resource container: what a module's resource section is on
// this system. A resource instance handle points at one of these.
//
// File layout (all integers little-endian):
//   "PXRS", uint32 count, then count entries of
//   uint32 type (four-character code), int32 id, uint32 length, length bytes.
// Types: 'PiPL' filter property lists, 'STR ' strings (UTF-8, no NUL),
// 'DLOG' dialog templates, 'PXST' a filter's settings, 'BMP ' bitmaps and
// 'CURS' cursors (two-level pictures: width, height, [hot spot,] a byte a pixel).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "PluginTypes.h"

constexpr uint32_t kResourcePIPL = FourCC("PiPL");
constexpr uint32_t kResourceString = FourCC("STR ");
constexpr uint32_t kResourceDialog = FourCC("DLOG");
constexpr uint32_t kResourceSettings = FourCC("PXST");
constexpr uint32_t kResourceBitmap = FourCC("BMP ");
constexpr uint32_t kResourceCursor = FourCC("CURS");

// Little-endian fields of the module's own resource records.
class ByteWriter {
public:
    void u32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(v >> (8 * i)));
    }
    void f64(double v)
    {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        for (int i = 0; i < 8; ++i)
            bytes.push_back(uint8_t(bits >> (8 * i)));
    }
    void text(const std::string& s)  // a 32-bit length, then the bytes
    {
        u32(uint32_t(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    std::vector<uint8_t> bytes;
};

// Reads what a ByteWriter wrote; `ok` turns false at the first field that
// does not fit, and every later field reads as zero.
class ByteReader {
public:
    explicit ByteReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    uint32_t u32()
    {
        if (!take(4))
            return 0;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(bytes_[at_ - 4 + size_t(i)]) << (8 * i);
        return v;
    }
    double f64()
    {
        if (!take(8))
            return 0;
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i)
            bits |= uint64_t(bytes_[at_ - 8 + size_t(i)]) << (8 * i);
        double v;
        std::memcpy(&v, &bits, 8);
        return v;
    }
    std::string text()
    {
        const uint32_t n = u32();
        if (!take(n))
            return {};
        return std::string(bytes_.begin() + long(at_ - n), bytes_.begin() + long(at_));
    }
    bool ok = true;

private:
    bool take(size_t n)
    {
        if (!ok || bytes_.size() - at_ < n)
            return ok = false;
        at_ += n;
        return true;
    }
    const std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
};

class ResourceFile {
public:
    using Bytes = std::vector<uint8_t>;

    void add(uint32_t type, int32_t id, Bytes data) { entries_[{type, id}] = std::move(data); }
    void addString(int32_t id, const std::string& text) { add(kResourceString, id, Bytes(text.begin(), text.end())); }

    const Bytes* find(uint32_t type, int32_t id) const
    {
        auto it = entries_.find({type, id});
        return it == entries_.end() ? nullptr : &it->second;
    }

    // Ids of every resource of a type, ascending.
    std::vector<int32_t> ids(uint32_t type) const
    {
        std::vector<int32_t> result;
        for (const auto& [key, data] : entries_)
            if (key.first == type)
                result.push_back(key.second);
        return result;
    }

    Bytes serialise() const
    {
        Bytes out{'P', 'X', 'R', 'S'};
        auto put32 = [&out](uint32_t v) {
            for (int i = 0; i < 4; ++i)
                out.push_back(uint8_t(v >> (8 * i)));
        };
        put32(uint32_t(entries_.size()));
        for (const auto& [key, data] : entries_) {
            put32(key.first);
            put32(uint32_t(key.second));
            put32(uint32_t(data.size()));
            out.insert(out.end(), data.begin(), data.end());
        }
        return out;
    }

    // False (and an empty container) when the bytes are not a whole resource file.
    bool parse(const Bytes& in)
    {
        entries_.clear();
        size_t at = 0;
        auto get32 = [&](uint32_t& v) {
            if (in.size() - at < 4)
                return false;
            v = uint32_t(in[at]) | uint32_t(in[at + 1]) << 8 | uint32_t(in[at + 2]) << 16 | uint32_t(in[at + 3]) << 24;
            at += 4;
            return true;
        };
        uint32_t magic = 0, count = 0;
        if (!get32(magic) || std::memcmp(in.data(), "PXRS", 4) != 0 || !get32(count)) {
            entries_.clear();
            return false;
        }
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t type = 0, id = 0, length = 0;
            if (!get32(type) || !get32(id) || !get32(length) || in.size() - at < length) {
                entries_.clear();
                return false;
            }
            entries_[{type, int32_t(id)}] = Bytes(in.begin() + long(at), in.begin() + long(at + length));
            at += length;
        }
        return true;
    }

    bool load(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        if (!file)
            return false;
        Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        return parse(bytes);
    }

private:
    std::map<std::pair<uint32_t, int32_t>, Bytes> entries_;
};

// Copies string resource `id` into buffer (at most capacity - 1 bytes and a
// NUL); returns the length copied, 0 when the instance has no such string.
inline int LoadStringResource(const ResourceFile* instance, int32_t id, char* buffer, int capacity)
{
    const ResourceFile::Bytes* text = instance ? instance->find(kResourceString, id) : nullptr;
    if (!text || capacity <= 0)
        return 0;
    const size_t n = std::min(text->size(), size_t(capacity - 1));
    std::memcpy(buffer, text->data(), n);
    buffer[n] = '\0';
    return int(n);
}
