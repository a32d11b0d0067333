// Each filter's settings as scripts and users see them: one table, compiled
// from the same declarative rows the host reads from the resources, used by
// the descriptor reader and writer and by the dialogs' clamps.
#pragma once

#include <cstdint>
#include <span>

#include "host/FilterRecord.h"

namespace px {

struct SettingFact {
    int32_t filterId;
    const char* name;  // "levels", as the command line spells it
    uint32_t key;  // descriptor key
    uint32_t altKey;  // also accepted when reading; 0 for none
    uint32_t type;  // typeInteger or typeFloat
    double minimum, maximum;  // user units
    double defaultValue;
    double scale;  // descriptor value = user value x scale
    const char* unit;
    const char* description;
};

// Custom has the most: its scale, its offset and 25 weights.
constexpr int kMaxSettings = 32;

std::span<const SettingFact> SettingsOf(int32_t filterId);

// Values in descriptor units, one per fact, and which of them a descriptor held.
struct ScriptedValues {
    double value[kMaxSettings] = {};
    bool present[kMaxSettings] = {};
};

// Reads the record's play descriptor: every item must be one of the
// filter's keys with its type, else the reading stops and nothing is
// returned as present (the caller leaves its block unchanged). Values are
// clamped to the fact's range. Returns the reader's error, 0 when there was
// nothing to read.
int16_t ReadScriptedSettings(FilterRecord& record, std::span<const SettingFact> facts, ScriptedValues& values);

// Writes every value under its key into a new descriptor, replacing (and
// disposing) the one the record held.
int16_t WriteScriptedSettings(FilterRecord& record, std::span<const SettingFact> facts, const double* values);

// Selector 29: words[0] holds a descriptor, words[1] the address of the
// handle that receives its translation, made with the record's descriptor
// procedures: every item, read under either of its fact's keys, is written
// under the fact's key with its value as it was. A foreign key or a wrong
// type gives -1, disposes what was built and leaves the handle alone.
int16_t TranslateScriptedSettings(FilterRecord& record, std::span<const SettingFact> facts, const intptr_t* words);

}  // namespace px
