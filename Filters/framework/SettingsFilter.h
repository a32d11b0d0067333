// The entry of a filter with settings. The filter describes itself with a
// SettingsFilter (its block's defaults, the tables derived from it, its
// dialog, its scripting) and the template below does the protocol:
//
//   1 parameters  create the block (or refill it) from the store or the
//                 defaults, and ask for the dialog
//   2 prepare     the same without the dialog when the host skipped 1
//   3 start       scripting in, derived tables, registration, the dialog and
//                 the saving of confirmed settings, scripting out
//   5 finish      the run's resources released
//   26, 27        the host pass
//   28            settings from a host block of the scripting size
//   29, 30        descriptor translation and a parameter size of 0, when the filter answers them
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
    // Where the block is kept between runs: the settings store record of
    // storeId (0: the filter's own id) and storeRecord. A block that is not
    // stored keeps its settings only as long as the host keeps `parameters`.
    bool stored = true;
    int32_t storeId = 0;
    int32_t storeRecord = kParameterRecord;
    // Resources a run keeps beside the block (scratch memory, host tables):
    // acquired at start, before the scripted settings are read or, with
    // acquireAfterScripting, just after them; released at finish and when
    // start fails. A failure to acquire is start's result.
    int16_t (*acquire)(FilterRecord& record, Block& block) = nullptr;
    bool acquireAfterScripting = false;
    void (*release)(FilterRecord& record, Block& block) = nullptr;
    // Start's preparation that may fail (tables the host builds), after
    // derive and before the registration; its error ends start.
    int16_t (*prepareRun)(FilterRecord& record, Block& block) = nullptr;
    // Selector 29 translates a descriptor to the filter's keys; selector 30 reports a parameter size of 0.
    bool translatesDescriptors = false;
    bool reportsParameterSize = false;
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
        case filterSelectorParameters: *result = Parameters(*record); break;
        case filterSelectorPrepare: *result = Prepare(*record); break;
        case filterSelectorStart: *result = Start(*record); break;
        case filterSelectorContinue: *result = kNoErr; break;
        case filterSelectorFinish:
            Release(*record);
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
        case kSelectorTranslateDescriptor:
            if constexpr (filter.translatesDescriptors)
                *result = TranslateScriptedSettings(*record, SettingsOf(filter.filterId), data);
            break;
        case kSelectorParameterSize:
            if constexpr (filter.reportsParameterSize)
                *reinterpret_cast<int32_t*>(data) = 0;
            break;
        default: break;
        }
    }

    static Block& BlockOf(FilterRecord& record) { return *static_cast<Block*>(record.parameters); }

private:
    static constexpr bool HasDialog() { return filter.dialog != nullptr; }

    static constexpr int32_t StoreId() { return filter.storeId != 0 ? filter.storeId : filter.filterId; }

    static int16_t Parameters(FilterRecord& record)
    {
        const bool created = !record.parameters;
        if (const int16_t error = CreateParameterBlock(record, sizeof(Block)); error != kNoErr)
            return error;
        Block& block = BlockOf(record);
        if (filter.stored ? !ReadFilterRecord(StoreId(), filter.storeRecord, &block, sizeof(Block)) : created)
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
        const int16_t result = StartRun(record, BlockOf(record));
        if (result != kNoErr)
            Release(record);
        return result;
    }

    static int16_t StartRun(FilterRecord& record, Block& block)
    {
        if (const int16_t error = Acquire(record, block, false); error != kNoErr)
            return error;
        ScriptedValues scripted;
        if (const int16_t error = ReadScriptedSettings(record, SettingsOf(filter.filterId), scripted); error != kNoErr)
            return error;
        filter.fromValues(block, scripted);
        if (const int16_t error = Acquire(record, block, true); error != kNoErr)
            return error;
        filter.derive(block);
        if constexpr (filter.prepareRun != nullptr)
            if (const int16_t error = filter.prepareRun(record, block); error != kNoErr)
                return error;
        int16_t result = record.hostProc->RegisterFilterEntry(&Entry, 0);
        block.counters = ProgressCounters{};
        const int planes = PlanesToProcess(record, filter.pass.transparency);
        if (result == kNoErr && block.showDialog && HasDialog()) {
            block.showDialog = 0;
            // A cancelled dialog leaves the settings as they were, for this
            // host's next run as much as for the store.
            const Block before = block;
            result = filter.dialog(record, block);
            if (result != kNoErr)
                block = before;
            else if (filter.stored)
                WriteFilterRecord(StoreId(), filter.storeRecord, &block, sizeof(Block));
        }
        block.showDialog = 0;
        ResetProgress(block.counters, record, planes);
        if (result == kNoErr)
            result = ScriptingOut(record, block);
        return result;
    }

    // The run's resources, when it is their turn: before or after the scripted settings.
    static int16_t Acquire(FilterRecord& record, Block& block, bool afterScripting)
    {
        if constexpr (filter.acquire != nullptr)
            if (afterScripting == filter.acquireAfterScripting)
                return filter.acquire(record, block);
        return kNoErr;
    }

    static void Release(FilterRecord& record)
    {
        if constexpr (filter.release != nullptr)
            if (record.parameters)
                filter.release(record, BlockOf(record));
    }

    static int16_t ScriptingOut(FilterRecord& record, const Block& block)
    {
        double values[kMaxSettings] = {};
        filter.toValues(block, values);
        return WriteScriptedSettings(record, SettingsOf(filter.filterId), values);
    }

    static int16_t SetParams(FilterRecord& record, void** handle)
    {
        if (!record.parameters || !handle || !*handle || Host().platform->BlockSize(*handle) != filter.scriptingSize)
            return kNoErr;
        Block& block = BlockOf(record);
        filter.fromScriptingBlock(block, *handle);
        filter.derive(block);
        return ScriptingOut(record, block);
    }
};

}  // namespace px
