// The entry of a filter with settings. The filter describes itself with a
// SettingsFilter (its block's defaults, the tables derived from it, its
// dialog, its scripting) and the template below does the protocol:
//
//   1 parameters  create the block (or refill it) from the store or the
//                 defaults, and ask for the dialog
//   2 prepare     the same without the dialog when the host skipped 1
//   3 start       scripting in, derived tables, registration, the dialog and
//                 the saving of confirmed settings, scripting out
//   26, 27        the host pass
//   28            settings from a host block of the scripting size
//
// The block type starts with the filter's own values and holds, at offsets
// the filter chooses, `showDialog` (a byte) and `counters` (done, total).
#pragma once

#include <cstdint>
#include <cstring>

#include "framework/BandDriver.h"
#include "framework/FilterProtocol.h"
#include "framework/Module.h"
#include "framework/Settings.h"
#include "framework/SettingsStore.h"

namespace px {

constexpr int32_t kParameterRecord = 256;

template <class Block>
struct SettingsFilter {
    int32_t filterId;
    int32_t aboutTitle;
    void (*defaults)(Block& block);
    // Rebuilds whatever the block derives from its settings (tables).
    void (*derive)(Block& block);
    // The settings in descriptor units, in the order of SettingsOf(filterId).
    void (*toValues)(const Block& block, double* values);
    void (*fromValues)(Block& block, const ScriptedValues& values);
    // Runs the dialog on the block; 0 for OK. Null: the filter has no dialog.
    int16_t (*dialog)(FilterRecord& record, Block& block);
    // Selector 28: the size of the block it takes (0: not handled) and how.
    int32_t scriptingSize;
    void (*fromScriptingBlock)(Block& block, const void* data);
    // The host pass: either a plane pass the framework drives, or the filter's own.
    PlanePass pass;
    int16_t (*processPlane)(FilterRecord& record, Block& block);
    void (*resetPlanes)(FilterRecord& record);
};

// Creates the parameter block when the record has none; the host's error otherwise.
int16_t CreateParameterBlock(FilterRecord& record, int32_t size);

template <class Block, const SettingsFilter<Block>& filter>
class SettingsFilterProtocol {
public:
    static void Entry(int16_t selector, FilterRecord* record, intptr_t* data, int16_t* result)
    {
        switch (selector) {
        case filterSelectorAbout:
            ShowAbout(filter.aboutTitle);
            *result = kNoErr;
            break;
        case filterSelectorParameters:
            *result = Parameters(*record);
            break;
        case filterSelectorPrepare:
            *result = Prepare(*record);
            break;
        case filterSelectorStart:
            *result = Start(*record);
            break;
        case filterSelectorContinue:
        case filterSelectorFinish:
            *result = kNoErr;
            break;
        case kSelectorResetPlanes:
            if constexpr (filter.resetPlanes != nullptr)
                filter.resetPlanes(*record);
            else
                ResetPlanes(*record);
            *result = kNoErr;
            break;
        case kSelectorProcessPlane:
            if constexpr (filter.processPlane != nullptr)
                *result = filter.processPlane(*record, BlockOf(*record));
            else
                *result = ProcessPlane(*record, filter.pass, BlockOf(*record).counters);
            break;
        case kSelectorSetParams:
            if constexpr (filter.scriptingSize > 0)
                *result = SetParams(*record, reinterpret_cast<void**>(data));
            break;
        default:
            break;
        }
    }

    static Block& BlockOf(FilterRecord& record) { return *static_cast<Block*>(record.parameters); }

private:
    static constexpr bool HasDialog() { return filter.dialog != nullptr; }

    static int16_t Parameters(FilterRecord& record)
    {
        if (const int16_t error = CreateParameterBlock(record, sizeof(Block)); error != kNoErr)
            return error;
        Block& block = BlockOf(record);
        if (!ReadFilterRecord(filter.filterId, kParameterRecord, &block, sizeof(Block)))
            filter.defaults(block);
        block.showDialog = 1;
        return kNoErr;
    }

    static int16_t Prepare(FilterRecord& record)
    {
        if (record.parameters)
            return kNoErr;
        const int16_t result = Parameters(record);
        if (result == kNoErr)
            BlockOf(record).showDialog = 0;
        return result;
    }

    static int16_t Start(FilterRecord& record)
    {
        Block& block = BlockOf(record);
        ScriptedValues scripted;
        if (const int16_t error = ReadScriptedSettings(record, SettingsOf(filter.filterId), scripted); error != kNoErr)
            return error;
        filter.fromValues(block, scripted);
        filter.derive(block);
        int16_t result = record.hostProc->RegisterFilterEntry(&Entry, 0);
        block.counters = ProgressCounters{};
        const int planes = PlanesToProcess(record, filter.pass.transparency);
        if (result == kNoErr && block.showDialog && HasDialog()) {
            block.showDialog = 0;
            result = filter.dialog(record, block);
            if (result == kNoErr)
                WriteFilterRecord(filter.filterId, kParameterRecord, &block, sizeof(Block));
        }
        block.showDialog = 0;
        ResetProgress(block.counters, record, planes);
        if (result == kNoErr)
            result = ScriptingOut(record, block);
        return result;
    }

    static int16_t ScriptingOut(FilterRecord& record, const Block& block)
    {
        double values[kMaxSettings] = {};
        filter.toValues(block, values);
        return WriteScriptedSettings(record, SettingsOf(filter.filterId), values);
    }

    static int16_t SetParams(FilterRecord& record, void** handle)
    {
        if (!record.parameters || !handle || !*handle ||
            Host().platform->BlockSize(*handle) != filter.scriptingSize)
            return kNoErr;
        Block& block = BlockOf(record);
        filter.fromScriptingBlock(block, *handle);
        filter.derive(block);
        return ScriptingOut(record, block);
    }
};

}  // namespace px
