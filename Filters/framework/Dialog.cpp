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

void ShowSliderValue(HostDialog* dialog, const SliderField& pair, double value)
{
    Dialogs().SetItemValue(dialog, pair.field(), value);
    Dialogs().SetItemValue(dialog, pair.slider, value / pair.range);
}

double TakeSliderValue(HostDialog* dialog, const SliderField& pair, int32_t item)
{
    const double raw = Dialogs().GetItemValue(dialog, item);
    const double value = item == pair.slider ? std::trunc(raw * pair.range) : raw;
    const double clamped = std::clamp(value, pair.minimum, pair.maximum);
    ShowSliderValue(dialog, pair, clamped);
    return clamped;
}

bool HandleCommonItem(HostDialog* dialog, int32_t item, int32_t& previewEnable)
{
    switch (item) {
    case kItemOk:
        if (Dialogs().CanCloseDialog())
            Dialogs().EndModalDialog(dialog, 0);
        return true;
    case kItemCancel: Dialogs().EndModalDialog(dialog, kUserCanceledErr); return true;
    case kItemPreview: previewEnable = Dialogs().GetItemValue(dialog, kItemPreview) != 0 ? 1 : 0; return true;
    default: return false;
    }
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

bool HandleSimpleDialogEvent(HostDialog* dialog, int32_t item, uint32_t event, int32_t& previewEnable)
{
    FilterRecord& record = DialogRecord(dialog);
    switch (event) {
    case kDialogItemHit:
        if (!HandleCommonItem(dialog, item, previewEnable))
            return false;
        if (item == kItemPreview) {
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
