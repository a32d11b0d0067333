#include "pictra/Dialogs.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <sstream>

#include <fmt/format.h>

#include "HostInternal.h"

struct HostDialog {
    const DialogDesc* desc = nullptr;
    std::vector<pictra::DialogItemState> items;
    bool ended = false;
    int32_t endCode = 0;

    pictra::DialogItemState* find(int32_t id)
    {
        auto it = std::find_if(items.begin(), items.end(), [id](const auto& item) { return item.id == id; });
        return it == items.end() ? nullptr : &*it;
    }
    uint8_t send(int32_t item, uint32_t event) { return desc->procedure(this, item, event); }
};

namespace pictra {

const char* ItemKindName(DialogItemKind kind)
{
    switch (kind) {
    case kItemButton: return "button";
    case kItemCheckBox: return "checkbox";
    case kItemRadio: return "radio";
    case kItemSlider: return "slider";
    case kItemNumber: return "number";
    case kItemText: return "text";
    case kItemEditText: return "edittext";
    case kItemPicture: return "picture";
    case kItemPopup: return "popup";
    }
    return "unknown";
}

bool ParseDialogTemplate(const std::vector<uint8_t>& bytes, DialogTemplate& out)
{
    ByteReader in(bytes);
    out = DialogTemplate{};
    out.titleString = int32_t(in.u32());
    const uint32_t count = in.u32();
    for (uint32_t i = 0; in.ok && i < count; ++i) {
        DialogItemState item;
        item.id = int32_t(in.u32());
        const uint32_t kind = in.u32();
        item.label = in.text();
        item.minimum = in.f64();
        item.maximum = in.f64();
        item.value = in.f64();
        if (kind > kItemPopup)
            return false;
        item.kind = DialogItemKind(kind);
        out.items.push_back(item);
    }
    return in.ok;
}

namespace {

[[noreturn]] void BadCommand(const std::string& command, const char* why)
{
    throw HostError(fmt::format("dialog script: '{}': {}", command, why));
}

// An item: a number, or a label in double quotes.
void ReadItem(std::istringstream& words, const std::string& command, DialogAction& action)
{
    words >> std::ws;
    if (words.peek() == '"') {
        words.get();
        std::getline(words, action.label, '"');
        if (action.label.empty())
            BadCommand(command, "an empty item label");
        return;
    }
    if (!(words >> action.item) || action.item <= 0)
        BadCommand(command, "the item must be a positive number or a label in double quotes");
}

std::string Rest(std::istringstream& words)
{
    std::string rest;
    std::getline(words >> std::ws, rest);
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back())))
        rest.pop_back();
    return rest;
}

}  // namespace

std::vector<DialogAction> ParseDialogScript(const std::string& script)
{
    std::vector<DialogAction> actions;
    std::istringstream commands(script);
    std::string command;
    while (std::getline(commands, command, ';')) {
        std::istringstream words(command);
        std::string verb;
        if (!(words >> verb))
            continue;
        DialogAction action;
        if (verb == "set") {
            action.kind = DialogAction::kSet;
            ReadItem(words, command, action);
            action.text = Rest(words);
            if (action.text.empty())
                BadCommand(command, "set needs a value");
            char* end = nullptr;
            action.value = std::strtod(action.text.c_str(), &end);
            if (*end != '\0')
                action.value = 0;  // an edit text's words; only text items take them
        } else if (verb == "click") {
            action.kind = DialogAction::kClick;
            ReadItem(words, command, action);
        } else if (verb == "choose") {
            action.kind = DialogAction::kChoose;
            ReadItem(words, command, action);
            action.text = Rest(words);
            if (action.text.empty())
                BadCommand(command, "choose needs the entry's text");
        } else if (verb == "idle") {
            action.kind = DialogAction::kIdle;
            if (!(words >> action.count))
                action.count = 1;
            if (action.count < 1 || action.count > 10000)
                BadCommand(command, "idle takes a count from 1 to 10000");
        } else if (verb == "redraw") {
            action.kind = DialogAction::kRedraw;
        } else if (verb == "ok") {
            action.kind = DialogAction::kOk;
        } else if (verb == "cancel") {
            action.kind = DialogAction::kCancel;
        } else {
            BadCommand(command, "unknown command (set, click, choose, idle, redraw, ok, cancel)");
        }
        if (action.kind != DialogAction::kSet && action.kind != DialogAction::kChoose && !Rest(words).empty())
            BadCommand(command, "unexpected words after the command");
        actions.push_back(action);
    }
    return actions;
}

namespace {

Host& ActiveHost() { return *tActiveHost; }

// Resolves every item the script names against the template, before any
// event is sent: a script that names a missing item runs nothing.
bool ResolveScript(HostDialog& dialog, std::vector<DialogAction>& script, std::string& error)
{
    for (DialogAction& action : script) {
        if (!action.label.empty()) {
            auto it = std::find_if(dialog.items.begin(), dialog.items.end(),
                                   [&](const DialogItemState& item) { return item.label == action.label; });
            if (it == dialog.items.end()) {
                error = fmt::format("the dialog has no item labelled \"{}\"", action.label);
                return false;
            }
            action.item = it->id;
        }
        const DialogItemState* item = action.item ? dialog.find(action.item) : nullptr;
        if (action.item && !item) {
            error = fmt::format("the dialog has no item {}", action.item);
            return false;
        }
        // A picture area takes the point the user picks on it.
        const bool settable =
            item && (item->kind == kItemSlider || item->kind == kItemNumber || item->kind == kItemPicture ||
                     item->kind == kItemEditText || item->kind == kItemPopup);
        const bool clickable =
            item && (item->kind == kItemButton || item->kind == kItemCheckBox || item->kind == kItemRadio);
        if (action.kind == DialogAction::kSet && !settable) {
            error = fmt::format("item {} of the dialog cannot be set", action.item);
            return false;
        }
        if (action.kind == DialogAction::kClick && !clickable) {
            error = fmt::format("item {} of the dialog cannot be clicked", action.item);
            return false;
        }
        if (action.kind == DialogAction::kChoose && (!item || item->kind != kItemPopup)) {
            error = fmt::format("item {} of the dialog is not a popup", action.item);
            return false;
        }
    }
    return true;
}

// Plays one action; false when it cannot be played on the dialog as it is now.
bool Play(HostDialog& dialog, const DialogAction& action, std::string& error)
{
    DialogItemState* item = action.item ? dialog.find(action.item) : nullptr;
    switch (action.kind) {
    case DialogAction::kSet:
        if (item->kind == kItemEditText)
            item->text = action.text;
        else if (action.text.find_first_not_of("+-.0123456789eE") != std::string::npos) {
            error = fmt::format("'{}' is not a number for item {}", action.text, action.item);
            return false;
        } else
            item->value = action.value;
        dialog.send(action.item, kDialogValueChanged);
        return true;
    case DialogAction::kChoose: {
        auto it = std::find(item->choices.begin(), item->choices.end(), action.text);
        if (it == item->choices.end()) {
            error = fmt::format("popup {} has no entry \"{}\"", action.item, action.text);
            return false;
        }
        item->value = double(it - item->choices.begin());
        dialog.send(action.item, kDialogValueChanged);
        return true;
    }
    case DialogAction::kClick:
        if (!item->enabled) {
            error = fmt::format("item {} is disabled", action.item);
            return false;
        }
        if (item->kind == kItemCheckBox)
            item->value = item->value != 0 ? 0 : 1;
        if (item->kind == kItemRadio)
            item->value = 1;
        dialog.send(action.item, kDialogItemHit);
        return true;
    case DialogAction::kIdle:
        for (int i = 0; i < action.count && !dialog.ended; ++i)
            dialog.send(0, kDialogIdle);
        return true;
    case DialogAction::kRedraw: dialog.send(0, kDialogRedrawPreview); return true;
    case DialogAction::kOk: dialog.send(kItemOk, kDialogItemHit); return true;
    case DialogAction::kCancel: dialog.send(kItemCancel, kDialogItemHit); return true;
    }
    return true;
}

int32_t RunModalDialog(const DialogDesc* desc)
{
    Host& host = ActiveHost();
    host.dialogError.clear();
    DialogTemplate dialogTemplate;
    const ResourceFile::Bytes* bytes =
        desc->instance ? desc->instance->find(kResourceDialog, desc->resourceId) : nullptr;
    if (!bytes || !ParseDialogTemplate(*bytes, dialogTemplate)) {
        host.dialogError = fmt::format("the module has no usable dialog {}", desc->resourceId);
        return kFailedErr;
    }
    HostDialog dialog;
    dialog.desc = desc;
    dialog.items = dialogTemplate.items;
    std::vector<DialogAction> script = host.dialogScript;
    if (!ResolveScript(dialog, script, host.dialogError))
        return kFailedErr;

    dialog.send(0, kDialogInit);
    if (host.onDialogOpened)
        host.onDialogOpened(desc->title, dialog.items);
    for (const DialogAction& action : script) {
        if (dialog.ended)
            break;
        if (!Play(dialog, action, host.dialogError)) {
            dialog.send(0, kDialogDestroy);
            return kFailedErr;
        }
    }
    host.lastDialogItems = dialog.items;
    if (!dialog.ended) {
        host.dialogError = "the dialog script ended with the dialog still open (end it with ok or cancel)";
        dialog.send(0, kDialogDestroy);
        return kFailedErr;
    }
    dialog.send(0, kDialogDestroy);
    return dialog.endCode;
}

void* GetDialogData(HostDialog* dialog) { return dialog->desc->userData; }

void EndModalDialog(HostDialog* dialog, int32_t code)
{
    dialog->ended = true;
    dialog->endCode = code;
}

double GetItemValue(HostDialog* dialog, int32_t item)
{
    const DialogItemState* state = dialog->find(item);
    return state ? state->value : 0.0;
}

void SetItemValue(HostDialog* dialog, int32_t item, double value)
{
    if (DialogItemState* state = dialog->find(item))
        state->value = value;
}

void RefreshItem(HostDialog*, int32_t) {}

uint8_t CanCloseDialog()
{
    Host& host = ActiveHost();
    if (host.canCloseRefusals > 0) {
        --host.canCloseRefusals;
        return 0;
    }
    return 1;
}

double CurrentTime()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void GetItemText(HostDialog* dialog, int32_t item, char* text, int32_t capacity)
{
    const DialogItemState* state = dialog->find(item);
    const std::string value = state ? state->text : std::string();
    if (capacity <= 0)
        return;
    const size_t n = std::min(value.size(), size_t(capacity - 1));
    std::memcpy(text, value.data(), n);
    text[n] = '\0';
}

void SetItemText(HostDialog* dialog, int32_t item, const char* text)
{
    if (DialogItemState* state = dialog->find(item))
        state->text = text ? text : "";
}

void EnableItem(HostDialog* dialog, int32_t item, int32_t enable)
{
    if (DialogItemState* state = dialog->find(item))
        state->enabled = enable != 0;
}

void ShowItem(HostDialog* dialog, int32_t item, int32_t show)
{
    if (DialogItemState* state = dialog->find(item))
        state->visible = show != 0;
}

void SetPopupItems(HostDialog* dialog, int32_t item, const char* const* labels, int32_t count)
{
    if (DialogItemState* state = dialog->find(item))
        state->choices.assign(labels, labels + count);
}

// A resource of the given instance, else of the host's own.
bool FindResource(const ResourceFile* instance, uint32_t type, int32_t id)
{
    const ResourceFile* host = ActiveHost().resources();
    return (instance && instance->find(type, id)) || (host && host->find(type, id));
}

int16_t SetItemBitmap(HostDialog* dialog, int32_t item, const ResourceFile* instance, int32_t bitmapId)
{
    DialogItemState* state = dialog->find(item);
    if (!state || !FindResource(instance, kResourceBitmap, bitmapId))
        return kResourceNotFoundErr;
    state->bitmap = bitmapId;
    return kNoErr;
}

void ConfigureItem(HostDialog* dialog, const ControlDesc* control)
{
    DialogItemState* state = dialog->find(control->id);
    if (!state || control->kind < kItemButton || control->kind > kItemPopup)
        return;
    state->kind = DialogItemKind(control->kind);
    state->minimum = control->minimum;
    state->maximum = control->maximum;
    state->step = control->step;
    state->decimals = control->decimals;
    state->enabled = (control->flags & kControlDisabled) == 0;
    state->visible = (control->flags & kControlHidden) == 0;
}

int16_t SetCursor(const ResourceFile* instance, int32_t cursorId)
{
    if (cursorId != kCursorArrow && cursorId != kCursorCross && !FindResource(instance, kResourceCursor, cursorId))
        return kResourceNotFoundErr;
    ActiveHost().cursor = cursorId;
    return kNoErr;
}

void CaptureMouse(HostDialog*) { ActiveHost().mouseCaptured = true; }
void ReleaseMouse(HostDialog*) { ActiveHost().mouseCaptured = false; }

}  // namespace

const HostDialogServices* DialogServiceTable()
{
    static const HostDialogServices services{
        RunModalDialog, GetDialogData, EndModalDialog, GetItemValue, SetItemValue, RefreshItem,
        CanCloseDialog, CurrentTime,   GetItemText,    SetItemText,  EnableItem,   ShowItem,
        SetPopupItems,  SetItemBitmap, ConfigureItem,  SetCursor,    CaptureMouse, ReleaseMouse};
    return &services;
}

}  // namespace pictra
