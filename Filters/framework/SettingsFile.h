// Settings files: what the Load and Save buttons of a filter dialog do when a
// filter's settings travel as a file (kernels, level and curve settings). The
// user picks the file in the host's file dialog, values go through the host's
// typed streams (big-endian, so files move between machines), and any failure
// is told to the user in one alert naming what could not be done. A file is
// taken only whole: every value read and within its range, nothing after the last.
#pragma once

#include <cstdint>
#include <functional>

#include "host/FileServices.h"
#include "host/PluginTypes.h"

namespace px {

// One kind of settings file. The texts are string ids.
struct SettingsFileKind {
    int32_t loadTitle;  // "Load Settings"
    int32_t saveTitle;  // "Save Settings"
    int32_t filterText;  // "Custom Filters, (*.ACF)"
    const char* extension;  // ".ACF": added to a saved name without one
    uint32_t fileType;  // codes the host records with a saved file
    uint32_t creator;
    int32_t loadAction;  // "load the kernel settings", for the error alert
    int32_t saveAction;
};

// The values of one file, in order, read or written by one description of
// the format: a format is a function that passes each value to Field in
// turn, and the same function loads and saves it. The first failure sticks:
// later values are neither read nor written, and the file as a whole fails.
class SettingsFileStream {
public:
    SettingsFileStream(HostStream* stream, bool saving) : stream_(stream), saving_(saving) {}

    // A value read outside minimum..maximum fails the file and leaves `value`
    // alone; a value is written as it is.
    void Field(int16_t& value, int16_t minimum, int16_t maximum);
    void Field(double& value, double minimum, double maximum);
    void Field(uint8_t* bytes, int32_t size);

    bool saving() const { return saving_; }
    int16_t error() const { return error_; }

private:
    friend class SettingsFileAccess;
    // Checks that the file ends here.
    void ExpectEnd();
    // One value through the host's typed write or bounded read.
    template <class T>
    void Transfer(T& value, T minimum, T maximum, int16_t (*write)(HostStream*, T),
                  int16_t (*read)(HostStream*, T*, T, T));

    HostStream* stream_;
    bool saving_;
    int16_t error_ = kNoErr;
};

using SettingsFileFormat = std::function<void(SettingsFileStream&)>;

// Asks for a file and reads it with `format`. True when the whole file was
// read, and nothing follows; the format reads into a copy of the caller's
// settings, which the caller takes only then. False when the user cancelled
// or the file was refused (the user has been told why).
bool LoadSettingsFile(const SettingsFileKind& kind, const SettingsFileFormat& format);

// Asks for a file and writes it with `format`. The file appears only when
// every value was written; a failure is told to the user.
void SaveSettingsFile(const SettingsFileKind& kind, const SettingsFileFormat& format);

}  // namespace px
