#include "framework/DialogObject.h"

#include <vector>

#include "framework/Dialog.h"
#include "framework/Module.h"

namespace px {

int16_t DialogObject::run() { return RunDialog(resourceId_, titleString_, Procedure, this, "PXDialog"); }

// Finds the object through the dialog's user data; keeps the dialog from
// init until the destroy event, then forgets it.
uint8_t DialogObject::Procedure(HostDialog* dialog, int32_t item, uint32_t event)
{
    auto* object = static_cast<DialogObject*>(Dialogs().GetDialogData(dialog));
    if (event == kDialogInit)
        object->dialog_ = dialog;
    const bool handled = object->handle(item, event);
    if (event == kDialogDestroy)
        object->dialog_ = nullptr;
    return handled ? 1 : 0;
}

void DialogObject::end(int32_t code) { Dialogs().EndModalDialog(dialog_, code); }
void DialogObject::show(int32_t item, bool visible) { Dialogs().ShowItem(dialog_, item, visible ? 1 : 0); }
void DialogObject::enable(int32_t item, bool enabled) { Dialogs().EnableItem(dialog_, item, enabled ? 1 : 0); }
double DialogObject::value(int32_t item) const { return Dialogs().GetItemValue(dialog_, item); }
void DialogObject::setValue(int32_t item, double value) { Dialogs().SetItemValue(dialog_, item, value); }

std::string DialogObject::text(int32_t item) const
{
    char buffer[512];
    Dialogs().GetItemText(dialog_, item, buffer, sizeof buffer);
    return buffer;
}

void DialogObject::setText(int32_t item, const std::string& text)
{
    Dialogs().SetItemText(dialog_, item, text.c_str());
}

int16_t DialogObject::setBitmap(int32_t item, int32_t bitmapId)
{
    return Dialogs().SetItemBitmap(dialog_, item, ModuleInstance(), bitmapId);
}

void DialogObject::configure(const ControlDesc& control) { Dialogs().ConfigureItem(dialog_, &control); }

void DialogObject::attachMenu(int32_t item, int32_t firstString, int32_t lastString)
{
    // Each label is copied at once: the string buffers rotate.
    std::vector<std::string> labels;
    for (int32_t id = firstString; id <= lastString; ++id)
        labels.emplace_back(LoadResString(id));
    std::vector<const char*> pointers;
    for (const std::string& label : labels)
        pointers.push_back(label.c_str());
    Dialogs().SetPopupItems(dialog_, item, pointers.data(), int32_t(pointers.size()));
}

}  // namespace px
