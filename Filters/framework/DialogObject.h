// The dialog object of the larger dialogs: it owns the running dialog, the
// resource it comes from and its state, starts the host dialog with the
// class "PXDialog", and hands every event to its handler. Its operations
// wrap the host's item services one to one.
#pragma once

#include <cstdint>
#include <string>

#include "host/DialogServices.h"

namespace px {

class DialogObject {
public:
    DialogObject(int16_t resourceId, int32_t titleString) : resourceId_(resourceId), titleString_(titleString) {}
    virtual ~DialogObject() = default;
    DialogObject(const DialogObject&) = delete;
    DialogObject& operator=(const DialogObject&) = delete;

    // Runs the dialog modally: 0 for OK, -128 for Cancel, or an error.
    int16_t run();

protected:
    // One event; true when handled. `dialog()` is valid from init to destroy.
    virtual bool handle(int32_t item, uint32_t event) = 0;

    HostDialog* dialog() const { return dialog_; }
    void end(int32_t code);
    void show(int32_t item, bool visible);
    void enable(int32_t item, bool enabled);
    double value(int32_t item) const;
    void setValue(int32_t item, double value);
    std::string text(int32_t item) const;
    void setText(int32_t item, const std::string& text);
    int16_t setBitmap(int32_t item, int32_t bitmapId);
    void configure(const ControlDesc& control);
    // A popup menu of the strings first ... last (inclusive), a string "-"
    // being a separator.
    void attachMenu(int32_t item, int32_t firstString, int32_t lastString);

private:
    static uint8_t Procedure(HostDialog* dialog, int32_t item, uint32_t event);

    int16_t resourceId_;
    int32_t titleString_;
    HostDialog* dialog_ = nullptr;
};

}  // namespace px
