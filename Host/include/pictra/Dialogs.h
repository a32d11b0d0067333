// Dialogs without a screen: the host builds a filter's dialog from its
// template, then plays a script of user actions on it. Every action becomes
// the event a user's action would send, so an interactive front-end can
// later drive the same dialogs through the same events.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/DialogServices.h"

namespace pictra {

// One item of a running dialog, as a user would see it.
struct DialogItemState {
    int32_t id = 0;
    DialogItemKind kind = kItemButton;
    std::string label;
    double value = 0;
    double minimum = 0;
    double maximum = 0;
    std::string text;  // edit texts and text set by the filter
    bool enabled = true;
    bool visible = true;
    std::vector<std::string> choices;  // popups
    int32_t bitmap = 0;  // the bitmap resource the control shows, 0 for none
    double step = 1;
    int32_t decimals = 0;
};

const char* ItemKindName(DialogItemKind kind);

// A template as the module's resources hold it.
struct DialogTemplate {
    int32_t titleString = 0;
    std::vector<DialogItemState> items;
};

// Parses a 'DLOG' resource; false when it is damaged.
bool ParseDialogTemplate(const std::vector<uint8_t>& bytes, DialogTemplate& out);

// One step of a dialog script.
struct DialogAction {
    enum Kind { kSet, kClick, kChoose, kIdle, kRedraw, kOk, kCancel } kind = kOk;
    int32_t item = 0;  // by number; 0 when `label` names it
    std::string label;  // an item named by its label
    double value = 0;  // set: the value
    std::string text;  // set on an edit text, choose: the popup entry
    int count = 1;  // idle: how many idle events
};

// "set 101 6; click 1000; idle 3; ok" (commands separated by ';'):
//   set ITEM VALUE    a slider's, field's or edit text's value (then: value changed)
//   click ITEM        a button, check box (toggled) or radio button (then: item hit)
//   choose ITEM TEXT  a popup entry by its text (then: value changed)
//   idle [N]          N idle events (the live preview), 1 by default
//   redraw            the preview is drawn again
//   ok | cancel       item 1 or item 2 is hit
// ITEM is an item number or its label in double quotes ("Auto"). Throws
// HostError naming the command that cannot be read.
std::vector<DialogAction> ParseDialogScript(const std::string& script);

}  // namespace pictra
