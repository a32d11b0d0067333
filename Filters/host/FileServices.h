// Settings files: the host's file dialog and its typed streams. Values are
// written big-endian, whatever the machine, so files travel between hosts.
#pragma once

#include <cstdint>

struct HostStream;

struct FileDialogRequest {
    uint8_t save;  // 1: choose a file to write, 0: one to read
    const char* title;  // "Save Settings"
    const char* filter;  // "Custom Filters, (*.ACF)"
    const char* extension;  // ".ACF": added to a saved name without one
    uint32_t fileType;  // four-character codes the host records with a saved file
    uint32_t creator;
};

// Errors of the stream services.
inline constexpr int16_t kFileNotFoundErr = -43;
inline constexpr int16_t kEndOfFileErr = -39;
inline constexpr int16_t kIoErr = -36;
inline constexpr int16_t kValueRangeErr = -30998;  // a value read lies outside the bounds asked for

struct HostFileServices {
    // 0 and the chosen path, -128 when the user cancels, or an error.
    int16_t (*ChooseFile)(const FileDialogRequest* request, char* path, int32_t capacity);
    // A stream on the file, or null (then *error says why). A written file
    // appears only when its stream closes without an error, whole.
    HostStream* (*OpenStream)(const char* path, int32_t forWriting, int16_t* error);
    // The first error of the stream's life, 0 when there was none.
    int16_t (*CloseStream)(HostStream* stream);
    int16_t (*WriteInt16)(HostStream* stream, int16_t value);  // 1811
    int16_t (*WriteFloat64)(HostStream* stream, double value);  // 1800
    int16_t (*WriteBytes)(HostStream* stream, const void* data, int32_t size);
    int16_t (*ReadInt16)(HostStream* stream, int16_t* value, int16_t minimum, int16_t maximum);  // 1442
    int16_t (*ReadFloat64)(HostStream* stream, double* value, double minimum, double maximum);  // 1428
    int16_t (*ReadBytes)(HostStream* stream, void* data, int32_t size);
    // 1503: tells the user that `action` ("load the kernel settings") failed with `error`.
    void (*ShowErrorAlert)(int16_t error, const char* action);
};
