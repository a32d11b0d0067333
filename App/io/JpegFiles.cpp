// JPEG through libjpeg-turbo: 8-bit gray, RGB and CMYK.
//
// CMYK JPEGs with an Adobe marker store 255 for no ink, as the host does, so
// their samples pass through unchanged; CMYK without the marker stores ink
// amounts and is inverted on reading. Writing always adds the Adobe marker.
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

#include <cmath>
#include <csetjmp>

#include <fmt/format.h>

#include "io/Codecs.h"

namespace pictra::io {
namespace {

constexpr int kJpegQuality = 95;

// libjpeg reports an error by calling OnJpegError, which keeps the message and
// jumps back to the setjmp in RunJpegStep. Nothing with a destructor may live
// in the frames it jumps over, so every step is a lambda over plain data and
// buffers prepared outside it.
struct JpegErrors {
    jpeg_error_mgr manager;  // first, so libjpeg's pointer to it points at the whole
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool truncated;
};

void OnJpegError(j_common_ptr codec)
{
    auto* errors = reinterpret_cast<JpegErrors*>(codec->err);
    codec->err->format_message(codec, errors->message);
    std::longjmp(errors->jump, 1);
}

// Warnings about damage libjpeg can step over are ignored, except running out
// of data: libjpeg would paint the missing rows gray, and a truncated file
// must not pass for a whole one.
void OnJpegMessage(j_common_ptr codec, int level)
{
    if (level == -1 && codec->err->msg_code == JWRN_JPEG_EOF) {
        reinterpret_cast<JpegErrors*>(codec->err)->truncated = true;
        OnJpegError(codec);
    }
}

void IgnoreJpegOutput(j_common_ptr) {}

void InstallErrorHandlers(JpegErrors& errors)
{
    jpeg_std_error(&errors.manager);
    errors.manager.error_exit = OnJpegError;
    errors.manager.emit_message = OnJpegMessage;
    errors.manager.output_message = IgnoreJpegOutput;
}

// Never inlined, so the setjmp stays in a frame of its own with no locals.
template <class Step>
[[gnu::noinline]] bool RunJpegStep(JpegErrors& errors, Step& step)
{
    if (setjmp(errors.jump))
        return false;
    step();
    return true;
}

[[noreturn]] void FailRead(const std::string& path, const JpegErrors& errors)
{
    if (errors.truncated)
        Fail(path, "truncated JPEG file");
    Fail(path, fmt::format("invalid JPEG file: {}", errors.message));
}

// jpeg_destroy_* is safe on a zeroed or half-created codec, so the holders
// can always call it.
struct JpegDecompressor {
    jpeg_decompress_struct codec{};
    ~JpegDecompressor() { jpeg_destroy_decompress(&codec); }
};

struct JpegCompressor {
    jpeg_compress_struct codec{};
    ~JpegCompressor() { jpeg_destroy_compress(&codec); }
};

}  // namespace

Image ReadJpeg(std::FILE* file, const std::string& path)
{
    JpegErrors errors{};
    InstallErrorHandlers(errors);
    JpegDecompressor decompressor;
    jpeg_decompress_struct& codec = decompressor.codec;
    codec.err = &errors.manager;

    auto readHeader = [&] {
        jpeg_create_decompress(&codec);
        jpeg_stdio_src(&codec, file);
        jpeg_read_header(&codec, TRUE);
    };
    if (!RunJpegStep(errors, readHeader))
        FailRead(path, errors);
    CheckDimensions(path, codec.image_width, codec.image_height);

    int16_t mode = kModeRGB;
    switch (codec.jpeg_color_space) {
    case JCS_GRAYSCALE:
        mode = kModeGrayscale;
        codec.out_color_space = JCS_GRAYSCALE;
        break;
    case JCS_YCbCr:
    case JCS_RGB: codec.out_color_space = JCS_RGB; break;
    case JCS_CMYK:
    case JCS_YCCK:
        mode = kModeCMYK;
        codec.out_color_space = JCS_CMYK;
        break;
    default: Fail(path, fmt::format("unsupported JPEG colour space ({} components)", codec.num_components));
    }
    auto start = [&] { jpeg_start_decompress(&codec); };
    if (!RunJpegStep(errors, start))
        FailRead(path, errors);

    Image image(int32_t(codec.output_width), int32_t(codec.output_height), mode, 8, false, -1, kWorkingMargin);
    const int planes = image.colourPlanes();
    std::vector<uint8_t> row(size_t(image.width()) * size_t(planes));
    auto readRows = [&] {
        while (codec.output_scanline < codec.output_height) {
            const int32_t y = int32_t(codec.output_scanline);
            JSAMPROW rowPointer = row.data();
            jpeg_read_scanlines(&codec, &rowPointer, 1);
            DeinterleaveRow(row.data(), planes, 1, image, y);
        }
        jpeg_finish_decompress(&codec);
    };
    if (!RunJpegStep(errors, readRows))
        FailRead(path, errors);

    if (mode == kModeCMYK && !codec.saw_Adobe_marker) {
        for (int plane = 0; plane < planes; ++plane)
            for (int32_t y = 0; y < image.height(); ++y)
                for (uint8_t* sample = image.row(plane, y); sample < image.row(plane, y) + image.width(); ++sample)
                    *sample = uint8_t(255 - *sample);
    }
    if (codec.density_unit == 1 && codec.X_density > 0)
        image.resolution = codec.X_density;
    else if (codec.density_unit == 2 && codec.X_density > 0)
        image.resolution = PixelsPerInchFromMetre(codec.X_density * 100.0);
    return image;
}

void WriteJpeg(const Image& image, const std::string& tempPath, const std::string& path)
{
    CFile out(tempPath, "wb", path);
    JpegErrors errors{};
    InstallErrorHandlers(errors);
    JpegCompressor compressor;
    jpeg_compress_struct& codec = compressor.codec;
    codec.err = &errors.manager;

    const int planes = image.colourPlanes();
    const J_COLOR_SPACE colourSpace = image.mode() == kModeGrayscale ? JCS_GRAYSCALE
                                      : image.mode() == kModeRGB     ? JCS_RGB
                                                                     : JCS_CMYK;
    const double pixelsPerInch = std::round(image.resolution);
    const bool writeResolution = pixelsPerInch >= 1 && pixelsPerInch <= 65535;
    std::vector<uint8_t> row(size_t(image.width()) * size_t(planes));
    std::vector<const uint8_t*> planeRows(static_cast<size_t>(planes));
    auto write = [&] {
        jpeg_create_compress(&codec);
        jpeg_stdio_dest(&codec, out.get());
        codec.image_width = JDIMENSION(image.width());
        codec.image_height = JDIMENSION(image.height());
        codec.input_components = planes;
        codec.in_color_space = colourSpace;
        jpeg_set_defaults(&codec);  // CMYK stays CMYK, with the Adobe marker
        jpeg_set_quality(&codec, kJpegQuality, TRUE);
        codec.optimize_coding = TRUE;
        // Full-resolution chroma: at this quality, halving it would lose more
        // than the quantisation does.
        for (int component = 0; component < codec.num_components; ++component) {
            codec.comp_info[component].h_samp_factor = 1;
            codec.comp_info[component].v_samp_factor = 1;
        }
        if (writeResolution) {
            codec.density_unit = 1;
            codec.X_density = UINT16(pixelsPerInch);
            codec.Y_density = UINT16(pixelsPerInch);
        }
        jpeg_start_compress(&codec, TRUE);
        for (int32_t y = 0; y < image.height(); ++y) {
            for (int plane = 0; plane < planes; ++plane)
                planeRows[size_t(plane)] = image.row(plane, y);
            InterleaveRow(planeRows.data(), planes, 1, image.width(), row.data());
            JSAMPROW rowPointer = row.data();
            jpeg_write_scanlines(&codec, &rowPointer, 1);
        }
        jpeg_finish_compress(&codec);
    };
    if (!RunJpegStep(errors, write))
        Fail(path, fmt::format("cannot write JPEG: {}", errors.message));
    out.close();
}

}  // namespace pictra::io
