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
bool UseSettingsFile(const SettingsFileKind& kind, bool save, const std::function<void(SettingsFileStream&)>& body)
{
    char path[kPathCapacity];
    if (!ChooseSettingsFile(kind, save, path))
        return false;
    int16_t error = kNoErr;
    if (HostStream* stream = Files().OpenStream(path, save ? 1 : 0, &error)) {
        SettingsFileStream values(stream);
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

void SettingsFileStream::Read(int16_t& value, int16_t minimum, int16_t maximum)
{
    if (error_ != kNoErr)
        return;
    int16_t read = 0;
    error_ = Files().ReadInt16(stream_, &read, minimum, maximum);
    if (error_ == kNoErr)
        value = read;
}

void SettingsFileStream::Write(int16_t value)
{
    if (error_ == kNoErr)
        error_ = Files().WriteInt16(stream_, value);
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

bool LoadSettingsFile(const SettingsFileKind& kind, const std::function<void(SettingsFileStream&)>& read)
{
    return UseSettingsFile(kind, false, [&](SettingsFileStream& values) {
        read(values);
        values.ExpectEnd();
    });
}

void SaveSettingsFile(const SettingsFileKind& kind, const std::function<void(SettingsFileStream&)>& write)
{
    UseSettingsFile(kind, true, write);
}

}  // namespace px
