// Settings files: the file dialog answers with paths the user gave on the
// command line; streams write big-endian values to a temporary file that
// replaces the target only when the stream closes without an error.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "HostInternal.h"

struct HostStream {
    FILE* file = nullptr;
    bool writing = false;
    std::string path;
    std::string temporary;
    int16_t error = 0;

    int16_t fail(int16_t code)
    {
        if (error == 0)
            error = code;
        return code;
    }
};

namespace pictra {

namespace {

int16_t ChooseFile(const FileDialogRequest* request, char* path, int32_t capacity)
{
    Host& host = *tActiveHost;
    host.fileRequests.push_back(request->title ? request->title : "");
    if (host.fileAnswers.empty())
        return kUserCanceledErr;
    std::string answer = host.fileAnswers.front();
    host.fileAnswers.pop_front();
    if (request->save && request->extension && std::filesystem::path(answer).extension().empty())
        answer += request->extension;
    if (int32_t(answer.size()) >= capacity)
        return kParamErr;
    std::memcpy(path, answer.c_str(), answer.size() + 1);
    return kNoErr;
}

HostStream* OpenStream(const char* path, int32_t forWriting, int16_t* error)
{
    auto stream = std::make_unique<HostStream>();
    stream->path = path;
    stream->writing = forWriting != 0;
    if (stream->writing) {
        std::string pattern = stream->path + ".XXXXXX";
        const int descriptor = mkstemp(pattern.data());
        if (descriptor < 0) {
            *error = kIoErr;
            return nullptr;
        }
        stream->temporary = pattern;
        stream->file = fdopen(descriptor, "wb");
    } else {
        stream->file = std::fopen(path, "rb");
    }
    if (!stream->file) {
        *error = errno == ENOENT ? kFileNotFoundErr : kIoErr;
        if (!stream->temporary.empty())
            unlink(stream->temporary.c_str());
        return nullptr;
    }
    *error = kNoErr;
    return stream.release();
}

int16_t CloseStream(HostStream* stream)
{
    if (!stream)
        return kParamErr;
    if (std::fclose(stream->file) != 0)
        stream->fail(kIoErr);
    if (stream->writing) {
        if (stream->error == kNoErr && std::rename(stream->temporary.c_str(), stream->path.c_str()) != 0)
            stream->fail(kIoErr);
        if (stream->error != kNoErr)
            unlink(stream->temporary.c_str());
    }
    const int16_t error = stream->error;
    delete stream;
    return error;
}

int16_t Write(HostStream* stream, const void* data, size_t size)
{
    if (!stream || !stream->writing)
        return kParamErr;
    if (stream->error != kNoErr)
        return stream->error;
    return std::fwrite(data, 1, size, stream->file) == size ? kNoErr : stream->fail(kIoErr);
}

int16_t Read(HostStream* stream, void* data, size_t size)
{
    if (!stream || stream->writing)
        return kParamErr;
    if (stream->error != kNoErr)
        return stream->error;
    if (std::fread(data, 1, size, stream->file) == size)
        return kNoErr;
    return stream->fail(std::ferror(stream->file) ? kIoErr : kEndOfFileErr);
}

int16_t WriteInt16(HostStream* stream, int16_t value)
{
    const uint8_t bytes[2] = {uint8_t(uint16_t(value) >> 8), uint8_t(value)};
    return Write(stream, bytes, 2);
}

int16_t WriteFloat64(HostStream* stream, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = uint8_t(bits >> (56 - 8 * i));
    return Write(stream, bytes, 8);
}

int16_t WriteBytes(HostStream* stream, const void* data, int32_t size)
{
    return size < 0 ? kParamErr : Write(stream, data, size_t(size));
}

int16_t ReadInt16(HostStream* stream, int16_t* value, int16_t minimum, int16_t maximum)
{
    uint8_t bytes[2];
    if (const int16_t error = Read(stream, bytes, 2); error != kNoErr)
        return error;
    const int16_t read = int16_t(uint16_t(bytes[0] << 8 | bytes[1]));
    if (read < minimum || read > maximum)
        return stream->fail(kValueRangeErr);
    *value = read;
    return kNoErr;
}

int16_t ReadFloat64(HostStream* stream, double* value, double minimum, double maximum)
{
    uint8_t bytes[8];
    if (const int16_t error = Read(stream, bytes, 8); error != kNoErr)
        return error;
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits = bits << 8 | bytes[i];
    double read;
    std::memcpy(&read, &bits, 8);
    if (!(read >= minimum && read <= maximum))
        return stream->fail(kValueRangeErr);
    *value = read;
    return kNoErr;
}

int16_t ReadBytes(HostStream* stream, void* data, int32_t size)
{
    return size < 0 ? kParamErr : Read(stream, data, size_t(size));
}

std::string FileErrorText(int16_t error)
{
    switch (error) {
    case kFileNotFoundErr: return "the file does not exist";
    case kEndOfFileErr: return "the file ends too early";
    case kIoErr: return "the file cannot be read or written";
    case kValueRangeErr: return "the file holds a value out of range";
    default: return DescribeResult(error);
    }
}

void ShowErrorAlert(int16_t error, const char* action)
{
    Host& host = *tActiveHost;
    host.alerts.push_back(fmt::format("Could not {}: {}.", action ? action : "finish", FileErrorText(error)));
    host.errorAlerts.push_back(host.alerts.back());
}

}  // namespace

const HostFileServices* FileServiceTable()
{
    static const HostFileServices services{ChooseFile, OpenStream, CloseStream, WriteInt16, WriteFloat64,
                                           WriteBytes, ReadInt16,  ReadFloat64, ReadBytes,  ShowErrorAlert};
    return &services;
}

}  // namespace pictra
