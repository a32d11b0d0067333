// Filter dialogs: starting one from its template, the slider and field
// pairs, the common items (OK, Cancel, Preview) and the idle preview loop.
// Dialog procedures edit the parameter block and ask for a preview; they
// never compute pixels.
#pragma once

#include <cstdint>

#include "framework/SettingsTable.h"
#include "host/DialogServices.h"
#include "host/FilterRecord.h"

namespace px {

// Runs dialog `resourceId` modally with `userData`, titled by string
// `titleString`. Returns 0 for OK, -128 for Cancel, or an error.
// `className` is the host's dialog class: "FancyDialogBoxClass" for the
// simple dialogs, "PXDialog" for dialog objects.
int16_t RunDialog(int16_t resourceId, int32_t titleString, DialogProc procedure, void* userData,
                  const char* className = "FancyDialogBoxClass");

// Runs dialog `resourceId` modally with the simple dialogs' user data (the
// record). The title is string `titleString`. Returns 0 for OK, -128 for Cancel, or an error.
int16_t RunFilterDialog(int16_t resourceId, int32_t titleString, DialogProc procedure, FilterRecord& record);

// The record a simple dialog was started with.
FilterRecord& DialogRecord(HostDialog* dialog);

const HostDialogServices& Dialogs();

// The sliders and fields of `settings` shown from `block`: a field shows
// the user value, a slider its position by the setting's mapping.
void ShowSettings(HostDialog* dialog, SettingsTable settings, const void* block);
void ShowSetting(HostDialog* dialog, const Setting& setting, const void* block);

// After `item` (the setting's slider or its field) changed: the value it
// gives, held to the dialog's range, into the block and shown in both
// controls. True when the block's value changed.
bool TakeSetting(HostDialog* dialog, const Setting& setting, void* block, int32_t item);

// OK (when the host lets the dialog close), Cancel (-128) and the Preview
// check box `previewItem` (into `previewEnable`). True when `item` was one of them.
bool HandleCommonItem(HostDialog* dialog, int32_t item, int32_t previewItem, int32_t& previewEnable);

// The Preview check box as the dialog opens; a preview that is on is shown.
void ShowPreviewSetting(HostDialog* dialog, FilterRecord& record, int32_t previewItem, int32_t previewEnable);

// Idle: while the image is set to follow changes live, redraw the preview
// until it fails (that error ends the dialog) or a quarter of a second has gone.
void RunIdlePreview(HostDialog* dialog, FilterRecord& record);

// Redraw request: one preview; a failure ends the dialog with its code.
void RedrawPreview(HostDialog* dialog, FilterRecord& record);

// The events every simple dialog handles alike: OK, Cancel, the Preview
// check box, idle and redraw (both only while the preview is enabled).
// True when the event was one of them.
bool HandleSimpleDialogEvent(HostDialog* dialog, int32_t item, uint32_t event, int32_t previewItem,
                             int32_t& previewEnable);

}  // namespace px
