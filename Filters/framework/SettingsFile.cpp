#include "framework/SettingsFile.h"

#include "framework/Module.h"

namespace px {

namespace {

constexpr int32_t kPathCapacity = 1024;

const HostFileServices& Files() { return *Host().files; }

// The chosen path in `path`; false when the user cancelled or the dialog
// failed (then the user is told, as `action`).
bool ChooseSettingsFile(const SettingsFileKind& kind, bool save, char (&path)[kPathCapacity])
{
    const FileDialogRequest request{uint8_t(save ? 1 : 0),
                                    LoadResString(save ? kind.saveTitle : kind.loadTitle),
                                    LoadResString(kind.filterText),
                                    kind.extension,
                                    kind.fileType,
                                    kind.creator};
    const int16_t error = Files().ChooseFile(&request, path, kPathCapacity);
    if (error != kNoErr && error != kUserCanceledErr)
        Files().ShowErrorAlert(error, LoadResString(save ? kind.saveAction : kind.loadAction));
    return error == kNoErr;
}

// Runs `body` on a stream of the chosen file; true when the stream and
// `body` finished without an error, else the user is told.
bool UseSettingsFile(const SettingsFileKind& kind, bool save, const SettingsFileFormat& body)
{
    char path[kPathCapacity];
    if (!ChooseSettingsFile(kind, save, path))
        return false;
    int16_t error = kNoErr;
    if (HostStream* stream = Files().OpenStream(path, save ? 1 : 0, &error)) {
        SettingsFileStream values(stream, save);
        body(values);
        error = values.error();
        // A written file appears only when its stream closes cleanly, so a
        // failed write closes with an error and leaves no partial file.
        const int16_t closeError = Files().CloseStream(stream);
        // A read stream ends with the end-of-file its last check met.
        const bool expectedEnd = !save && closeError == kEndOfFileErr;
        if (error == kNoErr && !expectedEnd)
            error = closeError;
    }
    if (error != kNoErr)
        Files().ShowErrorAlert(error, LoadResString(save ? kind.saveAction : kind.loadAction));
    return error == kNoErr;
}

}  // namespace

template <class T>
void SettingsFileStream::Transfer(T& value, T minimum, T maximum, int16_t (*write)(HostStream*, T),
                                  int16_t (*read)(HostStream*, T*, T, T))
{
    if (error_ != kNoErr)
        return;
    if (saving_) {
        error_ = write(stream_, value);
        return;
    }
    T got{};
    error_ = read(stream_, &got, minimum, maximum);
    if (error_ == kNoErr)
        value = got;
}

void SettingsFileStream::Field(int16_t& value, int16_t minimum, int16_t maximum)
{
    Transfer(value, minimum, maximum, Files().WriteInt16, Files().ReadInt16);
}

void SettingsFileStream::Field(double& value, double minimum, double maximum)
{
    Transfer(value, minimum, maximum, Files().WriteFloat64, Files().ReadFloat64);
}

void SettingsFileStream::Field(uint8_t* bytes, int32_t size)
{
    if (error_ == kNoErr)
        error_ = saving_ ? Files().WriteBytes(stream_, bytes, size) : Files().ReadBytes(stream_, bytes, size);
}

// A byte after the last value means the file holds something else: it is
// refused as a whole, like a short file.
void SettingsFileStream::ExpectEnd()
{
    if (error_ != kNoErr)
        return;
    uint8_t extra = 0;
    const int16_t error = Files().ReadBytes(stream_, &extra, 1);
    if (error == kNoErr)
        error_ = kIoErr;
    else if (error != kEndOfFileErr)
        error_ = error;
}

// The stream's end check, which only loading makes.
class SettingsFileAccess {
public:
    static void ExpectEnd(SettingsFileStream& values) { values.ExpectEnd(); }
};

bool LoadSettingsFile(const SettingsFileKind& kind, const SettingsFileFormat& format)
{
    return UseSettingsFile(kind, false, [&](SettingsFileStream& values) {
        format(values);
        SettingsFileAccess::ExpectEnd(values);
    });
}

void SaveSettingsFile(const SettingsFileKind& kind, const SettingsFileFormat& format)
{
    UseSettingsFile(kind, true, format);
}

}  // namespace px
