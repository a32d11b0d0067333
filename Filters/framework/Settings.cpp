#include "framework/Settings.h"

#include <algorithm>
#include <cmath>

namespace px {

namespace {

constexpr uint32_t KeyOf(uint32_t key) { return key; }
constexpr uint32_t KeyOf(const char (&code)[5]) { return FourCC(code); }

constexpr SettingFact kFacts[] = {
#define PIPL_FILTER(...)
#define STRING(...)
#define DIALOG(...)
#define ITEM(...)
#define END_DIALOG()
#define BITMAP(...)
#define CURSOR(...)
#define SETTING(filter, name, key, altKey, type, minimum, maximum, defaultValue, scale, unit, description) \
    {filter, name, KeyOf(key), KeyOf(altKey), FourCC(type), minimum, maximum, defaultValue, scale, unit, description},
#include "resources/Resources.inc"
#undef PIPL_FILTER
#undef STRING
#undef DIALOG
#undef ITEM
#undef END_DIALOG
#undef BITMAP
#undef CURSOR
#undef SETTING
    {0, "", 0, 0, 0, 0, 0, 0, 1, "", ""},  // end of the table
};

// The fact a descriptor item stands for: its key in either form, and its type.
std::span<const SettingFact>::iterator FindFact(std::span<const SettingFact> facts, uint32_t key, uint32_t type)
{
    return std::find_if(facts.begin(), facts.end(), [&](const SettingFact& f) {
        return (f.key == key || (f.altKey != 0 && f.altKey == key)) && f.type == type;
    });
}

}  // namespace

std::span<const SettingFact> SettingsOf(int32_t filterId)
{
    const SettingFact* first = std::find_if(std::begin(kFacts), std::end(kFacts),
                                            [&](const SettingFact& f) { return f.filterId == filterId; });
    const SettingFact* last =
        std::find_if(first, std::end(kFacts), [&](const SettingFact& f) { return f.filterId != filterId; });
    return {first, last};
}

int16_t ReadScriptedSettings(FilterRecord& record, std::span<const SettingFact> facts, ScriptedValues& values)
{
    values = ScriptedValues{};
    PIDescriptorParameters* parameters = record.descriptorParameters;
    if (!parameters || !parameters->descriptor || facts.empty())
        return kNoErr;
    ReadDescriptorProcs& procs = *parameters->readDescriptorProcs;
    PIReadDescriptor reader = procs.openReadDescriptorProc(parameters->descriptor, nullptr);
    if (!reader)
        return kFailedErr;
    ScriptedValues read;
    bool mismatch = false;
    uint32_t key = 0, type = 0;
    int32_t flags = 0;
    while (!mismatch && procs.getKeyProc(reader, &key, &type, &flags)) {
        const auto fact = FindFact(facts, key, type);
        if (fact == facts.end()) {
            mismatch = true;
            break;
        }
        const size_t index = size_t(fact - facts.begin());
        double value = 0;
        if (type == typeInteger) {
            int32_t integer = 0;
            mismatch = procs.getIntegerProc(reader, &integer) != kNoErr;
            value = integer;
        } else {
            mismatch = procs.getFloatProc(reader, &value) != kNoErr || !std::isfinite(value);
        }
        read.value[index] = std::clamp(value, fact->minimum * fact->scale, fact->maximum * fact->scale);
        read.present[index] = true;
    }
    const int16_t error = procs.closeReadDescriptorProc(reader);
    if (!mismatch)
        values = read;
    return mismatch ? kNoErr : error;
}

int16_t WriteScriptedSettings(FilterRecord& record, std::span<const SettingFact> facts, const double* values)
{
    PIDescriptorParameters* parameters = record.descriptorParameters;
    if (!parameters || facts.empty())
        return kNoErr;
    WriteDescriptorProcs& procs = *parameters->writeDescriptorProcs;
    PIWriteDescriptor writer = procs.openWriteDescriptorProc();
    if (!writer)
        return kFailedErr;
    for (size_t i = 0; i < facts.size(); ++i) {
        if (facts[i].type == typeInteger)
            procs.putIntegerProc(writer, facts[i].key, int32_t(values[i]));
        else
            procs.putFloatProc(writer, facts[i].key, &values[i]);
    }
    if (parameters->descriptor && record.handleProcs)
        record.handleProcs->disposeProc(parameters->descriptor);
    parameters->descriptor = nullptr;
    return procs.closeWriteDescriptorProc(writer, &parameters->descriptor);
}

int16_t TranslateScriptedSettings(FilterRecord& record, std::span<const SettingFact> facts, const intptr_t* words)
{
    PIDescriptorParameters* parameters = record.descriptorParameters;
    auto* translated = reinterpret_cast<PIDescriptorHandle*>(words[1]);
    if (!parameters || !translated)
        return kFailedErr;
    ReadDescriptorProcs& reading = *parameters->readDescriptorProcs;
    WriteDescriptorProcs& writing = *parameters->writeDescriptorProcs;
    PIReadDescriptor reader = reading.openReadDescriptorProc(reinterpret_cast<PIDescriptorHandle>(words[0]), nullptr);
    if (!reader)
        return kFailedErr;
    PIWriteDescriptor writer = writing.openWriteDescriptorProc();
    bool refused = !writer;
    uint32_t key = 0, type = 0;
    int32_t flags = 0;
    while (!refused && reading.getKeyProc(reader, &key, &type, &flags)) {
        const auto fact = FindFact(facts, key, type);
        refused = fact == facts.end();
        if (refused)
            break;
        if (type == typeInteger) {
            int32_t integer = 0;
            refused = reading.getIntegerProc(reader, &integer) != kNoErr;
            if (!refused)
                writing.putIntegerProc(writer, fact->key, integer);
        } else {
            double value = 0;
            refused = reading.getFloatProc(reader, &value) != kNoErr;
            if (!refused)
                writing.putFloatProc(writer, fact->key, &value);
        }
    }
    const int16_t readError = reading.closeReadDescriptorProc(reader);
    PIDescriptorHandle built = nullptr;
    const int16_t writeError = writer ? writing.closeWriteDescriptorProc(writer, &built) : kNoErr;
    if (refused || readError != kNoErr || writeError != kNoErr) {
        if (built && record.handleProcs)
            record.handleProcs->disposeProc(built);
        return kFailedErr;
    }
    *translated = built;
    return kNoErr;
}

}  // namespace px
