// Filter dialogs: starting one from its template, the slider and field
// pairs, the common items (OK, Cancel, Preview) and the idle preview loop.
// Dialog procedures edit the parameter block and ask for a preview; they
// never compute pixels.
#pragma once

#include <cstdint>

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

// A slider carrying value / range, and the number field beside it (its id + 1).
struct SliderField {
    int32_t slider;
    double range;  // slider = value / range
    double minimum;  // the filter's limits
    double maximum;
    int32_t field() const { return slider + 1; }
};

// Shows `value` in both controls.
void ShowSliderValue(HostDialog* dialog, const SliderField& pair, double value);

// After a change of the slider or of its field: the new value (from the
// slider, value = slider x range truncated toward zero), clamped to the
// limits and shown in both controls. `item` is the control that changed.
double TakeSliderValue(HostDialog* dialog, const SliderField& pair, int32_t item);

// OK (when the host lets the dialog close), Cancel (-128) and the Preview
// check box (into `previewEnable`). True when `item` was one of them.
bool HandleCommonItem(HostDialog* dialog, int32_t item, int32_t& previewEnable);

// Idle: while the image is set to follow changes live, redraw the preview
// until it fails (that error ends the dialog) or a quarter of a second has gone.
void RunIdlePreview(HostDialog* dialog, FilterRecord& record);

// Redraw request: one preview; a failure ends the dialog with its code.
void RedrawPreview(HostDialog* dialog, FilterRecord& record);

// The events every simple dialog handles alike: OK, Cancel, the Preview
// check box, idle and redraw (both only while the preview is enabled).
// True when the event was one of them.
bool HandleSimpleDialogEvent(HostDialog* dialog, int32_t item, uint32_t event, int32_t& previewEnable);

}  // namespace px
