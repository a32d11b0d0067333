#include "io/ImageFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <random>
#include <vector>

#include <fmt/format.h>

#include "io/Codecs.h"

namespace pictra {
namespace {

using io::Fail;

const char* FormatName(FileFormat format)
{
    switch (format) {
    case FileFormat::PNG: return "PNG";
    case FileFormat::TIFF: return "TIFF";
    case FileFormat::JPEG: return "JPEG";
    case FileFormat::PNM: return "PNM";
    }
    return "?";
}

std::string LowercaseExtension(const std::string& path)
{
    const std::string name = std::filesystem::path(path).filename().string();
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return "";
    std::string extension = name.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

std::optional<FileFormat> FormatForExtension(const std::string& extension)
{
    if (extension == ".png")
        return FileFormat::PNG;
    if (extension == ".tif" || extension == ".tiff")
        return FileFormat::TIFF;
    if (extension == ".jpg" || extension == ".jpeg")
        return FileFormat::JPEG;
    if (extension == ".pnm" || extension == ".pbm" || extension == ".pgm" || extension == ".ppm")
        return FileFormat::PNM;
    return std::nullopt;
}

std::optional<FileFormat> FormatOfContent(const uint8_t* start, size_t size)
{
    const auto startsWith = [&](std::initializer_list<uint8_t> magic) {
        return size >= magic.size() && std::equal(magic.begin(), magic.end(), start);
    };
    if (startsWith({0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a}))
        return FileFormat::PNG;
    // Classic and big TIFF, in either byte order.
    if (startsWith({'I', 'I', 42, 0}) || startsWith({'M', 'M', 0, 42}) || startsWith({'I', 'I', 43, 0}) ||
        startsWith({'M', 'M', 0, 43}))
        return FileFormat::TIFF;
    if (startsWith({0xff, 0xd8, 0xff}))
        return FileFormat::JPEG;
    if (size >= 2 && start[0] == 'P' && start[1] >= '1' && start[1] <= '7')
        return FileFormat::PNM;
    return std::nullopt;
}

const char* ModePhrase(int16_t mode)
{
    switch (mode) {
    case kModeBitmap: return "bitmap";
    case kModeGrayscale: return "grayscale";
    case kModeIndexed: return "indexed";
    case kModeRGB: return "RGB";
    case kModeCMYK: return "CMYK";
    case kModeHSL: return "HSL";
    case kModeHSB: return "HSB";
    case kModeMultichannel: return "multichannel";
    case kModeDuotone: return "duotone";
    case kModeLab: return "Lab";
    default: return "unknown-mode";
    }
}

std::string WithArticle(const std::string& phrase)
{
    // "an" before the sounds of a vowel: "an RGB", "an HSL", "an 8-bit", "an indexed".
    const bool vowelSound = std::string("aeiouRH8").find(phrase.front()) != std::string::npos;
    return (vowelSound ? "an " : "a ") + phrase;
}

enum DepthFlags { kDepth1 = 1, kDepth8 = 2, kDepth16 = 4, kDepth32 = 8 };

// What each format holds: per mode, its depths and whether it may carry transparency.
struct ModeSupport {
    int16_t mode;
    int depths;
    bool transparency;
};

const std::vector<ModeSupport>& SupportOf(FileFormat format)
{
    static const std::vector<ModeSupport> png = {{kModeBitmap, kDepth1, false},
                                                 {kModeGrayscale, kDepth8 | kDepth16, true},
                                                 {kModeIndexed, kDepth8, false},
                                                 {kModeRGB, kDepth8 | kDepth16, true}};
    static const std::vector<ModeSupport> tiff = {{kModeBitmap, kDepth1, false},
                                                  {kModeGrayscale, kDepth8 | kDepth16 | kDepth32, true},
                                                  {kModeIndexed, kDepth8, false},
                                                  {kModeRGB, kDepth8 | kDepth16 | kDepth32, true},
                                                  {kModeCMYK, kDepth8 | kDepth16 | kDepth32, true},
                                                  {kModeLab, kDepth8 | kDepth16 | kDepth32, true},
                                                  {kModeMultichannel, kDepth8 | kDepth16 | kDepth32, true}};
    static const std::vector<ModeSupport> jpeg = {
        {kModeGrayscale, kDepth8, false}, {kModeRGB, kDepth8, false}, {kModeCMYK, kDepth8, false}};
    static const std::vector<ModeSupport> pnm = {{kModeBitmap, kDepth1, false},
                                                 {kModeGrayscale, kDepth8 | kDepth16, false},
                                                 {kModeRGB, kDepth8 | kDepth16, false}};
    switch (format) {
    case FileFormat::PNG: return png;
    case FileFormat::TIFF: return tiff;
    case FileFormat::JPEG: return jpeg;
    case FileFormat::PNM: break;
    }
    return pnm;
}

int DepthFlag(int depth) { return depth == 1 ? kDepth1 : depth == 8 ? kDepth8 : depth == 16 ? kDepth16 : kDepth32; }

// What of the image the format cannot hold, phrased to follow "cannot write";
// empty when it holds all of it.
std::string WhatFormatCannotHold(FileFormat format, const Image& image)
{
    const std::string mode = ModePhrase(image.mode());
    for (const ModeSupport& support : SupportOf(format)) {
        if (support.mode != image.mode())
            continue;
        if ((support.depths & DepthFlag(image.depth())) == 0)
            return WithArticle(fmt::format("{}-bit {} image", image.depth(), mode));
        if (image.hasTransparency() && !support.transparency)
            return WithArticle(mode + " image with transparency");
        return "";
    }
    return WithArticle(mode + " image");
}

// .pbm, .pgm and .ppm each promise one kind of PNM.
std::optional<int16_t> PnmModeOfExtension(const std::string& extension)
{
    if (extension == ".pbm")
        return kModeBitmap;
    if (extension == ".pgm")
        return kModeGrayscale;
    if (extension == ".ppm")
        return kModeRGB;
    return std::nullopt;
}

const char* PnmKindName(const std::string& extension)
{
    return extension == ".pbm" ? "PBM" : extension == ".pgm" ? "PGM" : "PPM";
}

void CheckWritable(const Image& image, FileFormat format, const std::string& path)
{
    if (image.empty())
        Fail(path, fmt::format("cannot write an empty image ({} x {})", image.width(), image.height()));
    const std::string problem = WhatFormatCannotHold(format, image);
    if (!problem.empty()) {
        std::string alternatives;
        for (const auto& [other, extension] :
             {std::pair{FileFormat::PNG, ".png"}, std::pair{FileFormat::TIFF, ".tif"}}) {
            if (other != format && WhatFormatCannotHold(other, image).empty())
                alternatives += fmt::format("{} {}", alternatives.empty() ? "; use" : " or", extension);
        }
        Fail(path, fmt::format("cannot write {} as {}{}", problem, FormatName(format), alternatives));
    }
    const std::string extension = LowercaseExtension(path);
    const std::optional<int16_t> pnmMode = PnmModeOfExtension(extension);
    if (format == FileFormat::PNM && pnmMode && *pnmMode != image.mode()) {
        const char* fitting = image.mode() == kModeBitmap ? ".pbm" : image.mode() == kModeGrayscale ? ".pgm" : ".ppm";
        Fail(path, fmt::format("cannot write {} image as {}; use {} or .pnm", WithArticle(ModePhrase(image.mode())),
                               PnmKindName(extension), fitting));
    }
    if (image.mode() == kModeIndexed) {
        const size_t colours = image.palette.size();
        if (colours == 0 || colours > 256)
            Fail(path,
                 fmt::format("cannot write an indexed image with {} palette entries (1 to 256 are possible)", colours));
        for (int32_t y = 0; y < image.height(); ++y) {
            const uint8_t* row = image.row(0, y);
            for (int32_t x = 0; x < image.width(); ++x) {
                if (row[x] >= colours)
                    Fail(path, fmt::format("cannot write an indexed image whose pixel {},{} uses colour {} of a "
                                           "{}-colour palette",
                                           x, y, row[x], colours));
            }
        }
    }
}

// A file beside the target that becomes the target by rename, or is removed.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target) : target_(target)
    {
        const std::filesystem::path targetPath(target);
        const std::filesystem::path folder = targetPath.has_parent_path() ? targetPath.parent_path() : ".";
        std::random_device entropy;
        int file = -1;
        for (int attempt = 0; file < 0 && attempt < 100; ++attempt) {
            path_ = (folder / fmt::format(".{}.{:08x}.tmp", targetPath.filename().string(), entropy())).string();
            file = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (file < 0 && errno != EEXIST)
                Fail(target, fmt::format("cannot create a file in {}: {}", folder.string(), std::strerror(errno)));
        }
        if (file < 0)
            Fail(target, fmt::format("cannot create a temporary file in {}", folder.string()));
        // A replaced file keeps its permissions; a new one gets the umask's.
        struct stat existing {};
        if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
            ::fchmod(file, existing.st_mode & 07777);
        ::close(file);
    }
    ~TemporaryFile()
    {
        if (!committed_)
            ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const { return path_; }

    void commit()
    {
        if (::rename(path_.c_str(), target_.c_str()) != 0)
            Fail(target_, fmt::format("cannot replace the file: {}", std::strerror(errno)));
        committed_ = true;
    }

private:
    std::string target_;
    std::string path_;
    bool committed_ = false;
};

}  // namespace

FileFormat FormatForPath(const std::string& path)
{
    const std::string extension = LowercaseExtension(path);
    if (const std::optional<FileFormat> format = FormatForExtension(extension))
        return *format;
    Fail(path, fmt::format("{}; use .png, .tif, .tiff, .jpg, .jpeg, .pnm, .pbm, .pgm or .ppm",
                           extension.empty() ? "no file extension to tell the image format"
                                             : fmt::format("unknown image file extension \"{}\"", extension)));
}

Image ReadImage(const std::string& path)
{
    io::CFile file(path, "rb", path);
    std::array<uint8_t, 8> start{};
    const size_t size = std::fread(start.data(), 1, start.size(), file.get());
    if (std::ferror(file.get()))
        Fail(path, fmt::format("cannot read: {}", std::strerror(errno)));
    const std::optional<FileFormat> format = FormatOfContent(start.data(), size);
    if (!format) {
        if (size == 0)
            Fail(path, "empty file");
        // Name the format the file's name promised: "not a PNG file (bad signature)".
        if (const std::optional<FileFormat> expected = FormatForExtension(LowercaseExtension(path)))
            Fail(path, fmt::format("not a {} file (bad signature)", FormatName(*expected)));
        Fail(path, "not a PNG, TIFF, JPEG or PNM file");
    }
    std::rewind(file.get());
    try {
        switch (*format) {
        case FileFormat::PNG: return io::ReadPng(file.get(), path);
        case FileFormat::TIFF: return io::ReadTiff(path);
        case FileFormat::JPEG: return io::ReadJpeg(file.get(), path);
        case FileFormat::PNM: return io::ReadPnm(file.get(), path);
        }
    } catch (const std::bad_alloc&) {
        Fail(path, "not enough memory to read the image");
    }
    Fail(path, "unknown image format");
}

void WriteImage(const Image& image, const std::string& path)
{
    const FileFormat format = FormatForPath(path);
    CheckWritable(image, format, path);
    TemporaryFile temporary(path);
    try {
        switch (format) {
        case FileFormat::PNG: io::WritePng(image, temporary.path(), path); break;
        case FileFormat::TIFF: io::WriteTiff(image, temporary.path(), path); break;
        case FileFormat::JPEG: io::WriteJpeg(image, temporary.path(), path); break;
        case FileFormat::PNM: io::WritePnm(image, temporary.path(), path); break;
        }
    } catch (const std::bad_alloc&) {
        Fail(path, "not enough memory to write the image");
    }
    temporary.commit();
}

}  // namespace pictra
