#include "framework/ParameterRecords.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "framework/Module.h"

namespace px {

namespace {

constexpr const char* kPresetPrefix = "Clrze";
constexpr int32_t kAnswerYes = 2;
constexpr int32_t kColourBytes = sizeof PresetSegment::fromColour;

// The key of a filter's parameter block; the host's key buffer for it holds 32 characters.
struct FilterRecordKey {
    char text[32];
    FilterRecordKey(int32_t filterId, int32_t record)
    {
        std::snprintf(text, sizeof text, "FD_%X_%X", unsigned(filterId), unsigned(record));
    }
};

// "Clrze_Count"
std::string PresetKey(const char* field) { return std::string(kPresetPrefix) + '_' + field; }

// "Clrze_<index>_<field>"
std::string PresetKey(int32_t index, const char* field)
{
    return std::string(kPresetPrefix) + '_' + std::to_string(index) + '_' + field;
}

// "Clrze_<index>_<field>_<segment>"
std::string SegmentKey(int32_t index, const char* field, size_t segment)
{
    return PresetKey(index, field) + '_' + std::to_string(segment);
}

// Every key of preset `index`: "Clrze_<index>_*".
std::string PresetPattern(int32_t index) { return PresetKey(index, "*"); }

std::string_view StoredName(const char* name) { return std::string_view(name).substr(0, kPresetNameLimit); }

int32_t GetInt(const std::string& key, int32_t absent)
{
    int32_t value = absent;
    return Host().GetStoreInt(kStoreNamespace, key.c_str(), &value) ? value : absent;
}

void SetInt(const std::string& key, int32_t value) { Host().SetStoreInt(kStoreNamespace, key.c_str(), value); }

// Preset `from`'s keys become preset `to`'s, field by field: the part after
// the key's second underscore ("From_2" of "Clrze_5_From_2") is kept.
void RenumberPreset(int32_t from, int32_t to)
{
    char** keys = nullptr;
    int32_t count = 0;
    if (Host().EnumerateStoreKeys(kStoreNamespace, PresetPattern(from).c_str(), &keys, &count) != kNoErr)
        return;
    for (int32_t i = 0; i < count; ++i) {
        const char* firstUnderscore = std::strchr(keys[i], '_');
        const char* secondUnderscore = firstUnderscore ? std::strchr(firstUnderscore + 1, '_') : nullptr;
        if (secondUnderscore)
            Host().RenameStoreKey(kStoreNamespace, keys[i], PresetKey(to, secondUnderscore + 1).c_str());
    }
    Host().platform->FreeBlock(keys);
}

}  // namespace

bool ReadFilterRecord(int32_t filterId, int32_t record, void* block, int32_t size)
{
    if (!block || size <= 0)
        return false;
    // Read aside: a shorter stored block is delivered too, and must not reach `block`.
    std::vector<uint8_t> stored(size_t(size), 0);
    const FilterRecordKey key(filterId, record);
    if (Host().GetStoreBytes(kStoreNamespace, key.text, size, stored.data()) != size)
        return false;
    std::memcpy(block, stored.data(), stored.size());
    return true;
}

void WriteFilterRecord(int32_t filterId, int32_t record, const void* block, int32_t size)
{
    const FilterRecordKey key(filterId, record);
    Host().SetStoreBytes(kStoreNamespace, key.text, size, block);
}

int32_t PresetCount() { return GetInt(PresetKey("Count"), 0); }

int32_t FindPreset(const char* name)
{
    if (!name)
        return -1;
    const std::string_view wanted = StoredName(name);
    const int32_t count = PresetCount();
    for (int32_t index = 0; index < count; ++index) {
        char stored[kPresetNameLimit + 1];
        if (Host().GetStoreString(kStoreNamespace, PresetKey(index, "Name").c_str(), sizeof stored, stored) &&
            wanted == stored)
            return index;
    }
    return -1;
}

bool LoadPreset(const char* name, std::vector<PresetSegment>& segments)
{
    const int32_t index = FindPreset(name);
    if (index < 0)
        return false;
    std::vector<PresetSegment> loaded;
    const int32_t count = GetInt(PresetKey(index, "Count"), 0);
    for (int32_t j = 0; j < count; ++j) {
        PresetSegment& segment = loaded.emplace_back();
        Host().GetStoreDouble(kStoreNamespace, SegmentKey(index, "From", j).c_str(), &segment.from);
        Host().GetStoreDouble(kStoreNamespace, SegmentKey(index, "To", j).c_str(), &segment.to);
        segment.absolute = GetInt(SegmentKey(index, "Abs", j), 0);
        Host().GetStoreBytes(kStoreNamespace, SegmentKey(index, "CFrom", j).c_str(), kColourBytes, segment.fromColour);
        Host().GetStoreBytes(kStoreNamespace, SegmentKey(index, "CTo", j).c_str(), kColourBytes, segment.toColour);
        segment.gradient = GetInt(SegmentKey(index, "Grad", j), 0) != 0 ? 1 : 0;
    }
    segments = std::move(loaded);
    return true;
}

bool SavePreset(std::span<const PresetSegment> segments, const char* name)
{
    if (!name)
        return false;
    const int32_t count = PresetCount();
    int32_t index = FindPreset(name);
    const bool isNew = index < 0;
    if (isNew)
        index = count;
    else if (Host().ShowAlert("Rewrite?", "No", "Yes", "") != kAnswerYes)
        return false;

    SetInt(PresetKey(index, "Count"), int32_t(segments.size()));
    Host().SetStoreString(kStoreNamespace, PresetKey(index, "Name").c_str(), std::string(StoredName(name)).c_str());
    for (size_t j = 0; j < segments.size(); ++j) {
        const PresetSegment& segment = segments[j];
        Host().SetStoreDouble(kStoreNamespace, SegmentKey(index, "From", j).c_str(), segment.from);
        Host().SetStoreDouble(kStoreNamespace, SegmentKey(index, "To", j).c_str(), segment.to);
        SetInt(SegmentKey(index, "Abs", j), segment.absolute);
        Host().SetStoreBytes(kStoreNamespace, SegmentKey(index, "CFrom", j).c_str(), kColourBytes, segment.fromColour);
        Host().SetStoreBytes(kStoreNamespace, SegmentKey(index, "CTo", j).c_str(), kColourBytes, segment.toColour);
        SetInt(SegmentKey(index, "Grad", j), segment.gradient != 0 ? 1 : 0);
    }
    // Counted only once whole: a save cut short leaves no half preset in the list.
    if (isNew)
        SetInt(PresetKey("Count"), count + 1);
    return true;
}

bool DeletePreset(const char* name)
{
    const int32_t index = FindPreset(name);
    if (index < 0)
        return false;
    const int32_t count = PresetCount();
    Host().DeleteStoreKeys(kStoreNamespace, PresetPattern(index).c_str());
    for (int32_t later = index + 1; later < count; ++later)
        RenumberPreset(later, later - 1);
    SetInt(PresetKey("Count"), count - 1);
    return true;
}

void DeleteAllPresets() { Host().DeleteStoreKeys(kStoreNamespace, PresetKey("*").c_str()); }

}  // namespace px
