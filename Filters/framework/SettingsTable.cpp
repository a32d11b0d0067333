#include "framework/SettingsTable.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

namespace px {

namespace {

template <class T>
T Load(const void* block, uint16_t offset)
{
    T value;
    std::memcpy(&value, static_cast<const uint8_t*>(block) + offset, sizeof value);
    return value;
}

template <class T>
void Store(void* block, uint16_t offset, T value)
{
    std::memcpy(static_cast<uint8_t*>(block) + offset, &value, sizeof value);
}

// Stores a value already within the member type's range.
void StoreMember(void* block, BlockMember member, double value)
{
    switch (member.type) {
    case MemberType::kUInt8: Store(block, member.offset, uint8_t(value)); break;
    case MemberType::kInt16: Store(block, member.offset, int16_t(value)); break;
    case MemberType::kInt32: Store(block, member.offset, int32_t(value)); break;
    case MemberType::kDouble: Store(block, member.offset, value); break;
    case MemberType::kNone: assert(false && "a setting without a member"); break;
    }
}

// A value that arrives from anywhere but its own control, with its given flag.
void StoreGiven(void* block, const Setting& setting, double value)
{
    StoreSetting(block, setting, value);
    if (setting.givenFlag)
        Store(block, *setting.givenFlag, uint8_t(MemberValue(block, setting.member) != 0 ? 1 : 0));
}

// The setting a descriptor item stands for: its key in either form, and its type.
const Setting* FindSetting(SettingsTable settings, uint32_t key, uint32_t type)
{
    const auto found = std::find_if(settings.begin(), settings.end(), [&](const Setting& s) {
        return (s.key == key || (s.altKey != 0 && s.altKey == key)) && s.type == type;
    });
    return found == settings.end() ? nullptr : &*found;
}

}  // namespace

const Setting* SettingOfItem(SettingsTable settings, int32_t item)
{
    for (const Setting& setting : settings)
        if (item != 0 && (item == setting.slider || item == setting.field))
            return &setting;
    return nullptr;
}

double MemberValue(const void* block, BlockMember member)
{
    switch (member.type) {
    case MemberType::kUInt8: return Load<uint8_t>(block, member.offset);
    case MemberType::kInt16: return Load<int16_t>(block, member.offset);
    case MemberType::kInt32: return Load<int32_t>(block, member.offset);
    case MemberType::kDouble: return Load<double>(block, member.offset);
    case MemberType::kNone: break;
    }
    assert(false && "a setting without a member");
    return 0;
}

void StoreSetting(void* block, const Setting& setting, double value)
{
    value = std::isnan(value) ? setting.lowest() : std::clamp(value, setting.lowest(), setting.highest());
    if (setting.whole())
        value = std::trunc(value);
    StoreMember(block, setting.member, value);
}

void ApplyDefaults(void* block, SettingsTable settings)
{
    for (const Setting& setting : settings)
        StoreGiven(block, setting, setting.defaultValue * setting.scale);
}

void ClampSettings(void* block, SettingsTable settings)
{
    for (const Setting& setting : settings)
        StoreSetting(block, setting, MemberValue(block, setting.member));
}

void ReadScriptingBlock(void* block, SettingsTable settings, const void* scripting)
{
    for (const Setting& setting : settings)
        if (setting.scripted.type != MemberType::kNone)
            StoreGiven(block, setting, MemberValue(scripting, setting.scripted));
}

int16_t ReadScriptedSettings(FilterRecord& record, SettingsTable settings, void* block)
{
    PIDescriptorParameters* parameters = record.descriptorParameters;
    if (!parameters || !parameters->descriptor || settings.empty())
        return kNoErr;
    assert(settings.size() <= size_t(kMaxSettings));
    ReadDescriptorProcs& procs = *parameters->readDescriptorProcs;
    PIReadDescriptor reader = procs.openReadDescriptorProc(parameters->descriptor, nullptr);
    if (!reader)
        return kFailedErr;
    double read[kMaxSettings] = {};
    bool present[kMaxSettings] = {};
    bool mismatch = false;
    uint32_t key = 0, type = 0;
    int32_t flags = 0;
    while (!mismatch && procs.getKeyProc(reader, &key, &type, &flags)) {
        const Setting* setting = FindSetting(settings, key, type);
        if (!setting) {
            mismatch = true;
            break;
        }
        const size_t index = size_t(setting - settings.data());
        double value = 0;
        if (type == typeInteger) {
            int32_t integer = 0;
            mismatch = procs.getIntegerProc(reader, &integer) != kNoErr;
            value = integer;
        } else {
            mismatch = procs.getFloatProc(reader, &value) != kNoErr || !std::isfinite(value);
        }
        read[index] = value;
        present[index] = true;
    }
    const int16_t error = procs.closeReadDescriptorProc(reader);
    if (mismatch || error != kNoErr)
        return mismatch ? kNoErr : error;
    for (size_t i = 0; i < settings.size(); ++i)
        if (present[i])
            StoreGiven(block, settings[i], read[i]);
    return error;
}

int16_t WriteScriptedSettings(FilterRecord& record, SettingsTable settings, const void* block)
{
    PIDescriptorParameters* parameters = record.descriptorParameters;
    if (!parameters || settings.empty())
        return kNoErr;
    WriteDescriptorProcs& procs = *parameters->writeDescriptorProcs;
    PIWriteDescriptor writer = procs.openWriteDescriptorProc();
    if (!writer)
        return kFailedErr;
    for (const Setting& setting : settings) {
        const double value = MemberValue(block, setting.member);
        if (setting.type == typeInteger)
            procs.putIntegerProc(writer, setting.key, int32_t(value));
        else
            procs.putFloatProc(writer, setting.key, &value);
    }
    if (parameters->descriptor && record.handleProcs)
        record.handleProcs->disposeProc(parameters->descriptor);
    parameters->descriptor = nullptr;
    return procs.closeWriteDescriptorProc(writer, &parameters->descriptor);
}

int16_t TranslateScriptedSettings(FilterRecord& record, SettingsTable settings, const intptr_t* words)
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
        const Setting* setting = FindSetting(settings, key, type);
        refused = !setting;
        if (refused)
            break;
        if (type == typeInteger) {
            int32_t integer = 0;
            refused = reading.getIntegerProc(reader, &integer) != kNoErr;
            if (!refused)
                writing.putIntegerProc(writer, setting->key, integer);
        } else {
            double value = 0;
            refused = reading.getFloatProc(reader, &value) != kNoErr;
            if (!refused)
                writing.putFloatProc(writer, setting->key, &value);
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
