// The entry of a filter with settings. The filter describes itself with a
// SettingsFilter (its settings table, its dialog, its pass) and the template
// below does the protocol:
//
//   1 parameters  create the block (or refill it) from the store or the
//                 defaults, and ask for the dialog
//   2 prepare     the same without the dialog when the host skipped 1
//   3 start       scripting in, derived tables, registration, the dialog and
//                 the saving of confirmed settings, scripting out
//   5 finish      the run's state released
//   26, 27        the host pass
//   28            settings from a host block of the scripting size
//   29, 30        descriptor translation and a parameter size of 0, when the filter answers them
//
// The block type starts with the filter's own values and holds, at offsets
// the filter chooses, `showDialog` (a byte), `counters` (done, total: kept at
// zero, the live counts are the run's) and `previewEnable`.
//
// A run's state (its progress, its bands' scratch, and the filter's own
// run data `Own`) lives beside the block: the block is created a pointer
// larger than the filter's layout, and that last slot points to the state
// from start to finish. Only the filter's layout is ever stored.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "framework/BandDriver.h"
#include "framework/Dialog.h"
#include "framework/FilterProtocol.h"
#include "framework/FilterUnit.h"
#include "framework/Module.h"
#include "framework/ParameterRecords.h"
#include "framework/SettingsTable.h"

namespace px {

constexpr int32_t kParameterRecord = 256;

// A run that keeps nothing of its own beside the framework's state.
struct NoRunData {};

// The run state of a filter whose own run data is `Own`.
template <class Own>
struct FilterRun : RunState {
    Own own;
};

template <class Block, class Own = NoRunData>
struct SettingsFilter {
    int32_t filterId;
    int32_t aboutTitle;
    SettingsTable settings;
    // Start's first step, before the scripted settings are read: what the
    // run cannot do without (memory); its error ends start.
    int16_t (*acquire)(FilterRecord& record, Block& block) = nullptr;
    // Rebuilds what the block derives from its settings (tables), after the
    // settings are held to their ranges.
    void (*derive)(Block& block) = nullptr;
    // Start's preparation that may fail (tables the host builds), after
    // derive and before the registration; its error ends start. The dialog
    // runs it again when a setting changes.
    int16_t (*prepare)(FilterRecord& record, Block& block) = nullptr;

    // The dialog: its template and title. The standard procedure shows the
    // settings' sliders and fields, the Preview check box (`previewItem`),
    // OK and Cancel; `dialogOpened` and `dialogItem` add what a filter shows
    // beyond them, or `dialogProcedure` replaces it.
    int16_t dialog = 0;
    int32_t dialogTitle = 0;
    int32_t previewItem = kItemPreview;
    void (*dialogOpened)(HostDialog* dialog, FilterRecord& record, Block& block) = nullptr;
    // An item hit the filter handles itself; true when it did.
    bool (*dialogItem)(HostDialog* dialog, FilterRecord& record, Block& block, int32_t item) = nullptr;
    DialogProc dialogProcedure = nullptr;

    // Selector 28: the size of the block it takes (0: not handled); the
    // settings table says where each value sits in it.
    int32_t scriptingSize = 0;

    // The host pass: either a plane pass the framework drives, or the filter's own.
    PlanePass pass{};
    int16_t (*processPlane)(FilterRecord& record, Block& block) = nullptr;
    void (*resetPlanes)(FilterRecord& record) = nullptr;

    // Where the block is kept between runs: the settings store record of
    // storeId (0: the filter's own id) and storeRecord. A block that is not
    // stored keeps its settings only as long as the host keeps `parameters`.
    bool stored = true;
    int32_t storeId = 0;
    int32_t storeRecord = kParameterRecord;
    // Selector 29 translates a descriptor to the filter's keys; selector 30 reports a parameter size of 0.
    bool translatesDescriptors = false;
    bool reportsParameterSize = false;
};

// The parameter block's size with the slot that points to the run's state.
template <class Block>
constexpr int32_t kBlockWithRunSlot = int32_t(sizeof(Block) + sizeof(void*));

// Creates the parameter block when the record has none; the host's error otherwise.
int16_t CreateParameterBlock(FilterRecord& record, int32_t size);

// The run state in the slot after a block of `layoutSize` bytes; null between runs.
RunState* AttachedRun(const void* block, size_t layoutSize);
void AttachRun(void* block, size_t layoutSize, RunState* run);

// The run in progress of a filter whose block is `Block`, and its own data.
template <class Block>
RunState& RunOf(const FilterRecord& record)
{
    RunState* run = AttachedRun(record.parameters, sizeof(Block));
    assert(run && "a pass outside a run");
    return *run;
}

template <class Block, class Own>
Own& RunDataOf(const FilterRecord& record)
{
    return static_cast<FilterRun<Own>&>(RunOf<Block>(record)).own;
}

template <class Filter>
struct FilterTypes;
template <class B, class O>
struct FilterTypes<SettingsFilter<B, O>> {
    using Block = B;
    using Own = O;
};

// The protocol of the filter described by `filter` (a constexpr SettingsFilter).
template <const auto& filter>
class SettingsFilterProtocol {
    using Block = typename FilterTypes<std::remove_cvref_t<decltype(filter)>>::Block;
    using Own = typename FilterTypes<std::remove_cvref_t<decltype(filter)>>::Own;

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
        case kSelectorProcessPlane:
            *result = HostPassStep<filter>(selector, *record, BlockOf(*record), RunOf<Block>(*record));
            break;
        case kSelectorSetParams:
            if constexpr (filter.scriptingSize > 0)
                *result = SetParams(*record, reinterpret_cast<void**>(data));
            break;
        case kSelectorTranslateDescriptor:
            if constexpr (filter.translatesDescriptors)
                *result = TranslateScriptedSettings(*record, filter.settings, data);
            break;
        case kSelectorParameterSize:
            if constexpr (filter.reportsParameterSize)
                *reinterpret_cast<int32_t*>(data) = 0;
            break;
        default: break;
        }
    }

    static constexpr FilterUnit Unit() { return {Entry, filter.settings, filter.dialog}; }

    static Block& BlockOf(FilterRecord& record) { return *static_cast<Block*>(record.parameters); }

private:
    using Run = FilterRun<Own>;

    static constexpr int32_t StoreId() { return filter.storeId != 0 ? filter.storeId : filter.filterId; }

    static void Defaults(Block& block)
    {
        block = Block{};
        block.previewEnable = 1;
        ApplyDefaults(&block, filter.settings);
    }

    // The settings held to their ranges, and what derives from them.
    static void Derive(Block& block)
    {
        ClampSettings(&block, filter.settings);
        if constexpr (filter.derive != nullptr)
            filter.derive(block);
    }

    static int16_t Parameters(FilterRecord& record)
    {
        const bool created = !record.parameters;
        if (const int16_t error = CreateParameterBlock(record, kBlockWithRunSlot<Block>); error != kNoErr)
            return error;
        Block& block = BlockOf(record);
        if (filter.stored ? !ReadFilterRecord(StoreId(), filter.storeRecord, &block, sizeof(Block)) : created)
            Defaults(block);
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
        if (const int16_t error = AcquireRun(block); error != kNoErr)
            return error;
        if constexpr (filter.acquire != nullptr)
            if (const int16_t error = filter.acquire(record, block); error != kNoErr)
                return error;
        if (const int16_t error = ReadScriptedSettings(record, filter.settings, &block); error != kNoErr)
            return error;
        Derive(block);
        if constexpr (filter.prepare != nullptr)
            if (const int16_t error = filter.prepare(record, block); error != kNoErr)
                return error;
        int16_t result = record.hostProc->RegisterFilterEntry(&Entry, 0);
        block.counters = ProgressCounters{};
        const int planes = PlanesToProcess(record, filter.pass.transparency);
        if (result == kNoErr && block.showDialog && filter.dialog != 0) {
            block.showDialog = 0;
            // A cancelled dialog leaves the settings as they were, for this
            // host's next run as much as for the store.
            const Block before = block;
            result = RunFilterDialog(filter.dialog, filter.dialogTitle, DialogProcedure(), record);
            if (result != kNoErr)
                block = before;
            else if (filter.stored)
                WriteFilterRecord(StoreId(), filter.storeRecord, &block, sizeof(Block));
        }
        block.showDialog = 0;
        ResetProgress(RunOf<Block>(record).counters, record, planes);
        if (result == kNoErr)
            result = WriteScriptedSettings(record, filter.settings, &block);
        return result;
    }

    // The run's state, made afresh for every start.
    static int16_t AcquireRun(Block& block)
    {
        ReleaseRun(block);
        void* memory = nullptr;
        if (const int16_t error = Host().NewBlock(&memory, int32_t(sizeof(Run))); error != kNoErr)
            return error;
        AttachRun(&block, sizeof(Block), new (memory) Run{});
        return kNoErr;
    }

    static void ReleaseRun(Block& block)
    {
        auto* run = static_cast<Run*>(AttachedRun(&block, sizeof(Block)));
        if (!run)
            return;
        run->~Run();
        Host().platform->FreeBlock(run);
        AttachRun(&block, sizeof(Block), nullptr);
    }

    static void Release(FilterRecord& record)
    {
        if (record.parameters)
            ReleaseRun(BlockOf(record));
    }

    static int16_t SetParams(FilterRecord& record, void** handle)
    {
        if (!record.parameters || !handle || !*handle || Host().platform->BlockSize(*handle) != filter.scriptingSize)
            return kNoErr;
        Block& block = BlockOf(record);
        ReadScriptingBlock(&block, filter.settings, *handle);
        Derive(block);
        return WriteScriptedSettings(record, filter.settings, &block);
    }

    // -----------------------------------------------------------------------
    // The standard dialog.

    static constexpr DialogProc DialogProcedure()
    {
        if constexpr (filter.dialogProcedure != nullptr)
            return filter.dialogProcedure;
        else
            return StandardDialog;
    }

    // A setting changed in the dialog: what derives from it follows; a
    // preparation that fails ends the dialog with its error.
    static void SettingChanged(HostDialog* dialog, FilterRecord& record, Block& block)
    {
        Derive(block);
        if constexpr (filter.prepare != nullptr)
            if (const int16_t error = filter.prepare(record, block); error != kNoErr)
                Dialogs().EndModalDialog(dialog, error);
    }

    static uint8_t StandardDialog(HostDialog* dialog, int32_t item, uint32_t event)
    {
        FilterRecord& record = DialogRecord(dialog);
        Block& block = BlockOf(record);
        switch (event) {
        case kDialogInit:
            ShowSettings(dialog, filter.settings, &block);
            if constexpr (filter.dialogOpened != nullptr)
                filter.dialogOpened(dialog, record, block);
            ShowPreviewSetting(dialog, record, filter.previewItem, block.previewEnable);
            return 1;
        case kDialogValueChanged: {
            const Setting* setting = SettingOfItem(filter.settings, item);
            if (!setting)
                return 0;
            record.hostProc->StopPreview();
            if (TakeSetting(dialog, *setting, &block, item))
                SettingChanged(dialog, record, block);
            return 1;
        }
        case kDialogItemHit:
            if constexpr (filter.dialogItem != nullptr)
                if (filter.dialogItem(dialog, record, block, item))
                    return 1;
            return HandleSimpleDialogEvent(dialog, item, event, filter.previewItem, block.previewEnable);
        default: return HandleSimpleDialogEvent(dialog, item, event, filter.previewItem, block.previewEnable);
        }
    }
};

// The unit of the filter with settings that `filter` describes.
template <const auto& filter>
constexpr FilterUnit SettingsFilterUnit()
{
    return SettingsFilterProtocol<filter>::Unit();
}

}  // namespace px
