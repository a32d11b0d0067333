// Image headers, border modes and convolution kernels.
#include <cstdlib>
#include <cstring>
#include <new>

#include "ipl.h"

namespace {

constexpr int kMaxShift = 30;
// Sums of weights x bytes stay below 2^24, exact in single precision.
constexpr long kMaxWeightMagnitude = 65535;

bool IsGray(const char* model) { return model && std::strncmp(model, "GRAY", 4) == 0; }

}  // namespace

extern "C" {

IplImage* iplCreateImageHeader(int nChannels, int alphaChannel, int depth, const char* colorModel,
                               const char* channelSeq, int dataOrder, int origin, int align, int width, int height,
                               IplROI* roi, IplImage* maskROI, void* imageId, IplTileInfo* tileInfo)
{
    const bool supported = nChannels == 1 && alphaChannel == 0 && depth == IPL_DEPTH_8U && IsGray(colorModel) &&
                           IsGray(channelSeq) && dataOrder == IPL_DATA_ORDER_PIXEL && origin == IPL_ORIGIN_TL &&
                           (align == IPL_ALIGN_DWORD || align == IPL_ALIGN_QWORD) && width > 0 && height > 0 &&
                           !maskROI && !tileInfo;
    if (!supported)
        return nullptr;
    auto* image = new (std::nothrow) IplImage{};
    if (!image)
        return nullptr;
    image->nChannels = nChannels;
    image->alphaChannel = alphaChannel;
    image->depth = depth;
    std::memcpy(image->colorModel, colorModel, 4);
    std::memcpy(image->channelSeq, channelSeq, 4);
    image->dataOrder = dataOrder;
    image->origin = origin;
    image->align = align;
    image->width = width;
    image->height = height;
    image->roi = roi;
    image->imageId = imageId;
    image->widthStep = (width + align - 1) / align * align;
    image->imageSize = image->widthStep * height;
    return image;
}

void iplSetBorderMode(IplImage* image, int mode, int border, int constVal)
{
    if (!image)
        return;
    for (int side = IPL_SIDE_TOP_INDEX; side <= IPL_SIDE_RIGHT_INDEX; ++side)
        if (border & (1 << side)) {
            image->borderMode[side] = mode;
            image->borderConst[side] = constVal;
        }
}

IplConvKernel* iplCreateConvKernel(int nCols, int nRows, int anchorX, int anchorY, const int* values, int nShiftR)
{
    if (!values || nCols < 1 || nRows < 1 || anchorX < 0 || anchorX >= nCols || anchorY < 0 || anchorY >= nRows ||
        nShiftR < 0 || nShiftR > kMaxShift)
        return nullptr;
    const long count = long(nCols) * nRows;
    long magnitude = 0;
    for (long i = 0; i < count && magnitude <= kMaxWeightMagnitude; ++i)
        magnitude += std::labs(long(values[i]));
    if (magnitude > kMaxWeightMagnitude)
        return nullptr;
    auto* kernel = new (std::nothrow) IplConvKernel{nCols, nRows, anchorX, anchorY, nullptr, nShiftR};
    int* copy = kernel ? new (std::nothrow) int[size_t(count)] : nullptr;
    if (!copy) {
        delete kernel;
        return nullptr;
    }
    std::memcpy(copy, values, sizeof(int) * size_t(count));
    kernel->values = copy;
    return kernel;
}

void iplDeleteConvKernel(IplConvKernel* kernel)
{
    if (!kernel)
        return;
    delete[] kernel->values;
    delete kernel;
}

void iplDeallocate(IplImage* image, int flag)
{
    if (flag == IPL_IMAGE_HEADER)
        delete image;
}

}  // extern "C"
