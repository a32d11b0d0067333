// What the format readers and writers share: their entry points, the error
// helper, an owned C stdio file, and the conversions between the host's
// planar, white-matted rows and the interleaved, straight-colour rows files
// hold.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "io/ImageFiles.h"

namespace pictra::io {

// Throws ImageFileError "path: what".
[[noreturn]] void Fail(const std::string& path, const std::string& what);

// The host holds at most 32767 pixels a side; a header asking for more (or
// for none) is refused before anything is allocated.
void CheckDimensions(const std::string& path, uint64_t width, uint64_t height);

// Pixels per inch from pixels per metre, snapped to a whole number within one
// pixel per metre, so that 72 ppi stored as 2835 pixels per metre (or as
// 28.34 per centimetre by writers that truncate) reads back as 72.
double PixelsPerInchFromMetre(double pixelsPerMetre);

// Bits past the last pixel of each bitmap row are zero after every reader, so
// images compare equal whatever the file kept there.
void ClearPaddingBits(Image& image);

// Readers take the opened file positioned at its start (TIFF reopens by path,
// as libtiff wants); `path` names the file in messages.
Image ReadPng(std::FILE* file, const std::string& path);
Image ReadTiff(const std::string& path);
Image ReadJpeg(std::FILE* file, const std::string& path);
Image ReadPnm(std::FILE* file, const std::string& path);

// Writers put the bytes in `tempPath` and name `path` in their messages. The
// caller has already checked that the format holds the image's mode, depth and
// transparency.
void WritePng(const Image& image, const std::string& tempPath, const std::string& path);
void WriteTiff(const Image& image, const std::string& tempPath, const std::string& path);
void WriteJpeg(const Image& image, const std::string& tempPath, const std::string& path);
void WritePnm(const Image& image, const std::string& tempPath, const std::string& path);

// A C stdio file that is closed on every path out; close() reports the
// failure of the final flush, which is where a full disk shows up.
class CFile {
public:
    CFile(const std::string& openPath, const char* mode, const std::string& shownPath);
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    std::FILE* get() const { return file_; }
    void close();

private:
    std::FILE* file_;
    std::string shownPath_;
};

// The size of a regular file; anything else (a pipe) counts as unlimited.
uint64_t FileSize(std::FILE* file, const std::string& path);

// Straight colour, as files hold it, to the host's colour matted against white,
// at any depth.
void MatteColour(Image& image);
// Premultiplied colour (colour already scaled by alpha) to the matted colour:
// the white matte is the premultiplied colour plus white times (1 - alpha).
void MatteAssociatedColour(Image& image);

// One row of an image's planes in file terms: colour un-matted from white when
// the image has transparency, otherwise the image's own rows.
class StraightRows {
public:
    explicit StraightRows(const Image& image);
    // Plane pointers for row y, valid until the next call.
    const uint8_t* const* row(int32_t y);

private:
    const Image& image_;
    std::vector<std::vector<uint8_t>> straight_;
    std::vector<const uint8_t*> rows_;
};

// Interleaved rows of `planeCount` samples per pixel, each `sampleBytes` long,
// copied byte for byte to and from the host's planes (the caller converts byte
// order where the file's differs).
void InterleaveRow(const uint8_t* const* planes, int planeCount, int sampleBytes, int32_t width, uint8_t* out);
void DeinterleaveRow(const uint8_t* in, int planeCount, int sampleBytes, Image& image, int32_t y);

}  // namespace pictra::io
