// Dialogs: the descriptor a filter hands to RunModalDialog, the events its
// dialog procedure receives, and the item services. The host builds the
// dialog from the template of that id in the module's resources.
#pragma once

#include <cstdint>

class ResourceFile;
struct HostDialog;  // opaque: one running dialog

// Events sent to a dialog procedure.
enum : uint32_t {
    kDialogInit = 0xa000001,  // fill the controls from the parameter block
    kDialogItemHit = 0xa000003,  // a button, check box or radio button was clicked
    kDialogIdle = 0xa000004,  // time for the live preview
    kDialogValueChanged = 0xa00000c,  // a slider, field or popup changed its value
    kDialogDestroy = 0xa00001f,  // the dialog is going away
    kDialogRedrawPreview = 0xa00002d,  // the preview must be drawn again
};

// Item ids shared by the filter dialogs.
enum : int32_t {
    kItemOk = 1,
    kItemCancel = 2,
    kItemPreview = 1000,
};

// Returns non-zero when it handled the event.
using DialogProc = uint8_t (*)(HostDialog* dialog, int32_t item, uint32_t event);

struct DialogDesc {
    const ResourceFile* instance;  // the module's resources, where the template is
    int16_t resourceId;  // the dialog template
    DialogProc procedure;
    void* userData;  // GetDialogData answers this
    char title[52];  // at most 51 characters
    const char* className;  // "FancyDialogBoxClass", or "PXDialog" for dialog objects
    int32_t zero;  // the tail every filter fills the same: 0, 1,
    int32_t one;
    int16_t extent[4];  // 3000, 180, 3000, 180,
    int16_t reserved[3];  // 0, 0, 0
    uint8_t flag;  // and 1
};

// Kinds of dialog item, as templates declare them.
enum DialogItemKind : int32_t {
    kItemButton = 0,
    kItemCheckBox = 1,
    kItemRadio = 2,
    kItemSlider = 3,  // a value 0 ... 1
    kItemNumber = 4,  // a number field; the template gives its range
    kItemText = 5,  // static text
    kItemEditText = 6,  // a text field
    kItemPicture = 7,  // an owner-drawn area
    kItemPopup = 8,  // a popup "menu"; its value is the chosen index from 0
};

// A control's configuration (the dialog object's "configure").
struct ControlDesc {
    int32_t kind;  // DialogItemKind
    int32_t id;
    double minimum, maximum;
    double step;  // the change of one arrow press
    int32_t decimals;  // digits shown after the point
    int32_t flags;  // kControlDisabled, kControlHidden
};
constexpr int32_t kControlDisabled = 1;
constexpr int32_t kControlHidden = 2;

// Cursors a dialog sets as the pointer moves over its picture areas; other
// ids name cursor resources (the module's first, then the host's).
constexpr int32_t kCursorArrow = 0;
constexpr int32_t kCursorCross = -1;

// Found in neither the instance given nor the host's resources.
inline constexpr int16_t kResourceNotFoundErr = -192;

// The user data of the simple dialogs.
struct FilterDialogData {
    struct FilterRecord* record;
    void* preview;  // always null
};

struct HostDialogServices {
    int32_t (*RunModalDialog)(const DialogDesc* desc);  // the end code: 0 OK, -128 Cancel, or an error
    void* (*GetDialogData)(HostDialog* dialog);
    void (*EndModalDialog)(HostDialog* dialog, int32_t code);
    double (*GetItemValue)(HostDialog* dialog, int32_t item);
    void (*SetItemValue)(HostDialog* dialog, int32_t item, double value);
    void (*RefreshItem)(HostDialog* dialog, int32_t item);
    uint8_t (*CanCloseDialog)();  // 0 keeps the dialog open
    double (*CurrentTime)();  // seconds
    // Copies at most capacity - 1 characters and a NUL.
    void (*GetItemText)(HostDialog* dialog, int32_t item, char* text, int32_t capacity);
    void (*SetItemText)(HostDialog* dialog, int32_t item, const char* text);
    void (*EnableItem)(HostDialog* dialog, int32_t item, int32_t enable);
    void (*ShowItem)(HostDialog* dialog, int32_t item, int32_t show);
    // Attaches a popup menu of `count` labels (a label "-" is a separator).
    void (*SetPopupItems)(HostDialog* dialog, int32_t item, const char* const* labels, int32_t count);
    // Gives a control the bitmap resource `bitmapId`, looked up in `instance`
    // (the dialog's module) first, then in the host's resources.
    int16_t (*SetItemBitmap)(HostDialog* dialog, int32_t item, const ResourceFile* instance, int32_t bitmapId);
    // Sets a control's kind, range, step, format and flags.
    void (*ConfigureItem)(HostDialog* dialog, const ControlDesc* control);
    // The pointer's shape: kCursorArrow, kCursorCross, or a cursor resource
    // looked up like bitmaps.
    int16_t (*SetCursor)(const ResourceFile* instance, int32_t cursorId);
    // A drag takes every mouse event until it releases the mouse.
    void (*CaptureMouse)(HostDialog* dialog);
    void (*ReleaseMouse)(HostDialog* dialog);
};
