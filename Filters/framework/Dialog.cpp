#include "framework/Dialog.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "framework/Module.h"

namespace px {

namespace {
constexpr double kIdlePreviewSeconds = 0.25;
}

const HostDialogServices& Dialogs() { return *Host().dialogs; }

int16_t RunFilterDialog(int16_t resourceId, int32_t titleString, DialogProc procedure, FilterRecord& record)
{
    FilterDialogData data{&record, nullptr};
    return RunDialog(resourceId, titleString, procedure, &data);
}

int16_t RunDialog(int16_t resourceId, int32_t titleString, DialogProc procedure, void* userData, const char* className)
{
    DialogDesc desc{};
    desc.instance = ModuleInstance();
    desc.resourceId = resourceId;
    desc.procedure = procedure;
    desc.userData = userData;
    std::strncpy(desc.title, LoadResString(titleString), sizeof desc.title - 1);
    desc.className = className;
    desc.zero = 0;
    desc.one = 1;
    desc.extent[0] = 3000;
    desc.extent[1] = 180;
    desc.extent[2] = 3000;
    desc.extent[3] = 180;
    desc.flag = 1;
    return int16_t(Dialogs().RunModalDialog(&desc));
}

FilterRecord& DialogRecord(HostDialog* dialog)
{
    return *static_cast<FilterDialogData*>(Dialogs().GetDialogData(dialog))->record;
}

void ShowSetting(HostDialog* dialog, const Setting& setting, const void* block)
{
    const double value = MemberValue(block, setting.member);
    if (setting.field != 0)
        Dialogs().SetItemValue(dialog, setting.field, value / setting.scale);
    if (setting.slider != 0) {
        const SliderMapping& mapping = setting.mapping;
        Dialogs().SetItemValue(dialog, setting.slider,
                               mapping.position ? mapping.position(value) : (value - mapping.low) / mapping.span);
    }
}

void ShowSettings(HostDialog* dialog, SettingsTable settings, const void* block)
{
    for (const Setting& setting : settings)
        ShowSetting(dialog, setting, block);
}

bool TakeSetting(HostDialog* dialog, const Setting& setting, void* block, int32_t item)
{
    const double raw = Dialogs().GetItemValue(dialog, item);
    const SliderMapping& mapping = setting.mapping;
    double value = raw * setting.scale;
    if (item == setting.slider)
        value = mapping.valueAt ? mapping.valueAt(raw) : raw * mapping.span + mapping.low + mapping.rounding;
    if (setting.whole())
        value = std::trunc(value);
    value = std::isnan(value) ? setting.dialogLowest() : std::clamp(value, setting.dialogLowest(), setting.highest());
    const double before = MemberValue(block, setting.member);
    StoreSetting(block, setting, value);
    ShowSetting(dialog, setting, block);
    return MemberValue(block, setting.member) != before;
}

bool HandleCommonItem(HostDialog* dialog, int32_t item, int32_t previewItem, int32_t& previewEnable)
{
    if (item == previewItem) {
        previewEnable = Dialogs().GetItemValue(dialog, previewItem) != 0 ? 1 : 0;
        return true;
    }
    switch (item) {
    case kItemOk:
        if (Dialogs().CanCloseDialog())
            Dialogs().EndModalDialog(dialog, 0);
        return true;
    case kItemCancel: Dialogs().EndModalDialog(dialog, kUserCanceledErr); return true;
    default: return false;
    }
}

void ShowPreviewSetting(HostDialog* dialog, FilterRecord& record, int32_t previewItem, int32_t previewEnable)
{
    Dialogs().SetItemValue(dialog, previewItem, previewEnable);
    if (previewEnable)
        record.hostProc->ShowPreview(previewEnable);
}

void RunIdlePreview(HostDialog* dialog, FilterRecord& record)
{
    const double start = Dialogs().CurrentTime();
    const HostImageRecord* image = Host().GetImageRecord(record.hostProc->imageMap);
    if (!image || !image->liveUpdate)
        return;
    do {
        if (const int16_t error = record.hostProc->UpdatePreview(); error != kNoErr) {
            Dialogs().EndModalDialog(dialog, error);
            return;
        }
    } while (Dialogs().CurrentTime() < start + kIdlePreviewSeconds);
}

void RedrawPreview(HostDialog* dialog, FilterRecord& record)
{
    if (const int16_t error = record.hostProc->UpdatePreview(); error != kNoErr)
        Dialogs().EndModalDialog(dialog, error);
}

bool HandleSimpleDialogEvent(HostDialog* dialog, int32_t item, uint32_t event, int32_t previewItem,
                             int32_t& previewEnable)
{
    FilterRecord& record = DialogRecord(dialog);
    switch (event) {
    case kDialogItemHit:
        if (!HandleCommonItem(dialog, item, previewItem, previewEnable))
            return false;
        if (item == previewItem) {
            record.hostProc->ShowPreview(previewEnable);
            if (previewEnable)
                RedrawPreview(dialog, record);
        }
        return true;
    case kDialogIdle:
        if (previewEnable)
            RunIdlePreview(dialog, record);
        return true;
    case kDialogRedrawPreview:
        if (previewEnable)
            RedrawPreview(dialog, record);
        return true;
    default: return false;
    }
}

}  // namespace px
