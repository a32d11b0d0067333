// Parameter records: what the module keeps in the host's settings store.
// Every filter's parameter block is one byte value, and the named presets of
// the colour-brightness filter a family of typed values. All keys live in
// kStoreNamespace.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace px {

// Parameter blocks live under "FD_<filter id>_<record>" in upper-case hexadecimal
// (FD_4218_100). A block is taken only when exactly `size` bytes are stored:
// a block of another size is from another layout of the filter's settings, so
// the read returns false and `block` is left untouched.
bool ReadFilterRecord(int32_t filterId, int32_t record, void* block, int32_t size);
void WriteFilterRecord(int32_t filterId, int32_t record, const void* block, int32_t size);

// One brightness range of a preset.
struct PresetSegment {
    double from = 0;
    double to = 0;
    int32_t absolute = 0;
    uint8_t fromColour[24] = {};
    uint8_t toColour[24] = {};
    uint8_t gradient = 0;
    bool operator==(const PresetSegment&) const = default;
};

// A preset's name is stored cut to this many characters, and looked up the same way.
constexpr int kPresetNameLimit = 255;

// The presets are numbered 0 to PresetCount() - 1 without gaps.
int32_t PresetCount();
// The index of the first preset called `name` (compared byte by byte), or -1.
int32_t FindPreset(const char* name);
// Replaces `segments` with the preset's; false, with `segments` unchanged, when there is none.
bool LoadPreset(const char* name, std::vector<PresetSegment>& segments);
// Saves under a new name at the end; an existing name is rewritten only when
// the user answers "Yes" to "Rewrite?". False when nothing was written.
bool SavePreset(std::span<const PresetSegment> segments, const char* name);
// Removes the preset and moves every later one down by one; false when there is none.
bool DeletePreset(const char* name);
void DeleteAllPresets();

}  // namespace px
