// Image files to and from host images: PNG, TIFF, JPEG and PNM.
//
// Images come back in the host's model: planar, 16-bit samples most
// significant byte first, colour matted against white where there is
// transparency, CMYK with 255 (65535, 1.0) meaning no ink so that white is the
// maximum in every mode, Lab with a and b offset by half the range. Files hold
// straight colour and their own ink and Lab conventions; the readers and
// writers convert at the edge.
//
// A writer never converts behind the user's back: a mode, depth or
// transparency the format cannot hold is an ImageFileError naming both.
#pragma once

#include <stdexcept>
#include <string>

#include "pictra/Image.h"

namespace pictra {

// Every failure of reading or writing, as one line that starts with the path.
struct ImageFileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class FileFormat { PNG, TIFF, JPEG, PNM };

// By extension, in any case: .png, .tif/.tiff, .jpg/.jpeg, .pnm/.pbm/.pgm/.ppm.
FileFormat FormatForPath(const std::string& path);

// The format is recognised by the file's first bytes, whatever its name.
Image ReadImage(const std::string& path);

// The format follows the extension (.pbm, .pgm and .ppm take only bitmap,
// grayscale and RGB images; .pnm any of the three). The file is written whole
// or not at all: the bytes go to a temporary file in the same folder that is
// renamed over the target, so a failure leaves an existing target untouched.
void WriteImage(const Image& image, const std::string& path);

}  // namespace pictra
