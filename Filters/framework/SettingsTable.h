// A filter's settings, one row each: what users and scripts call a setting
// (its name, descriptor key, range, default, unit), where it lives in the
// parameter block, the dialog controls that show it and how its slider maps
// to it, and where selector 28's block carries it. Everything else is
// derived from the rows: the defaults, the clamps, the descriptor reader and
// writer, the standard dialog's sliders and fields, and, through the
// resource compiler, the command line's settings and the dialog fields' ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "host/FilterRecord.h"

namespace px {

// The C++ type of the block member (or of the selector-28 slot) holding a value.
enum class MemberType : uint8_t { kNone, kUInt8, kInt16, kInt32, kDouble };

template <class T>
constexpr MemberType MemberTypeOf()
{
    if constexpr (std::is_same_v<T, uint8_t>)
        return MemberType::kUInt8;
    else if constexpr (std::is_same_v<T, int16_t>)
        return MemberType::kInt16;
    else if constexpr (std::is_same_v<T, int32_t>)
        return MemberType::kInt32;
    else {
        static_assert(std::is_same_v<T, double>, "a setting lives in a uint8_t, int16_t, int32_t or double");
        return MemberType::kDouble;
    }
}

// A value's place: its offset in a block and its type.
struct BlockMember {
    uint16_t offset = 0;
    MemberType type = MemberType::kNone;
};

// The member of `Block` named `member` (an array element such as weights[3] too).
#define PX_MEMBER(Block, member)                                                               \
    ::px::BlockMember                                                                          \
    {                                                                                          \
        uint16_t(offsetof(Block, member)),                                                     \
            ::px::MemberTypeOf<std::remove_cvref_t<decltype(std::declval<Block&>().member)>>() \
    }

// A slot of the block selector 28 hands over: its offset and type.
constexpr BlockMember Slot(uint16_t offset, MemberType type) { return {offset, type}; }

// How a slider (0 ... 1) shows a value and which value a position gives, in
// block units: a straight line from `low` over `span`, or a curve of the
// filter's own. A position's value is truncated to a whole number for whole
// settings, after `rounding` is added (0.5 picks the nearest).
struct SliderMapping {
    double low = 0;
    double span = 0;
    double rounding = 0;
    double (*position)(double value) = nullptr;
    double (*valueAt)(double position) = nullptr;
};

constexpr SliderMapping Linear(double low, double span) { return {low, span}; }
constexpr SliderMapping LinearToNearest(double low, double span) { return {low, span, 0.5}; }
constexpr SliderMapping Curve(double (*position)(double), double (*valueAt)(double))
{
    return {.position = position, .valueAt = valueAt};
}

struct Setting {
    const char* name;  // "levels", as the command line spells it
    uint32_t key;  // descriptor key
    uint32_t altKey = 0;  // also accepted when reading; 0 for none
    uint32_t type = typeInteger;  // typeInteger (whole values) or typeFloat
    double minimum = 0;  // in user units
    double maximum = 0;
    double defaultValue = 0;
    double scale = 1;  // block and descriptor value = user value x scale
    const char* unit = "";
    const char* description = "";
    BlockMember member;
    // A byte of the block that records whether the value was given: set to
    // (stored value != 0) whenever the value arrives from anywhere but its
    // own control (the defaults, a script, selector 28).
    std::optional<uint16_t> givenFlag;
    // Its dialog controls, 0 for none: a slider and the number field beside
    // it, which shows the user value.
    int32_t slider = 0;
    int32_t field = 0;
    SliderMapping mapping;
    // The lowest value the dialog offers, when it offers less than the
    // setting's range (user units).
    std::optional<double> dialogMinimum;
    // Where selector 28's block carries the value (block units), if it does.
    BlockMember scripted;

    constexpr bool whole() const { return type == typeInteger; }
    constexpr double lowest() const { return minimum * scale; }
    constexpr double highest() const { return maximum * scale; }
    constexpr double dialogLowest() const { return dialogMinimum.value_or(minimum) * scale; }
};

using SettingsTable = std::span<const Setting>;

// Custom has the most: its scale, its offset and 25 weights.
constexpr int kMaxSettings = 32;

// The setting whose dialog slider or field `item` is, or null.
const Setting* SettingOfItem(SettingsTable settings, int32_t item);

// The value of a block member, and a value stored into one: clamped to the
// setting's range (not a number counts as its minimum), truncated when the
// setting is whole.
double MemberValue(const void* block, BlockMember member);
void StoreSetting(void* block, const Setting& setting, double value);

// Every setting to its default, the given flags with them.
void ApplyDefaults(void* block, SettingsTable settings);

// Every setting held to its range: a block read from the store or kept by
// the host is another run's memory.
void ClampSettings(void* block, SettingsTable settings);

// Selector 28: every setting the block carries, from it.
void ReadScriptingBlock(void* block, SettingsTable settings, const void* scripting);

// Reads the record's play descriptor into the block: every item must be one
// of the settings' keys with its type, else the reading stops and the block
// is left unchanged. Returns the reader's error, 0 when there was nothing to read.
int16_t ReadScriptedSettings(FilterRecord& record, SettingsTable settings, void* block);

// Writes every setting under its key into a new descriptor, replacing (and
// disposing) the one the record held.
int16_t WriteScriptedSettings(FilterRecord& record, SettingsTable settings, const void* block);

// Selector 29: words[0] holds a descriptor, words[1] the address of the
// handle that receives its translation, made with the record's descriptor
// procedures: every item, read under either of its setting's keys, is
// written under the setting's key with its value as it was. A foreign key or
// a wrong type gives -1, disposes what was built and leaves the handle alone.
int16_t TranslateScriptedSettings(FilterRecord& record, SettingsTable settings, const intptr_t* words);

}  // namespace px
