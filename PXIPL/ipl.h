/* PXIPL: the imaging library the filter module links statically (its
 * symbols stay hidden inside the module). It offers what Gaussian Blur needs:
 * image headers over pixels the caller owns, with a region of interest and a
 * border mode per side, integer convolution kernels, and the separable
 * convolution of 8-bit single-channel images.
 *
 * Headers are plain data: a copy of a header with another region of
 * interest views the same pixels, which is how a caller cuts one convolution
 * into bands. Every function may run on several threads at once. */
#ifndef PXIPL_IPL_H
#define PXIPL_IPL_H

#ifdef __cplusplus
extern "C" {
#endif

enum {
    IPL_DEPTH_8U = 8, /* the only depth: unsigned bytes */
    IPL_DATA_ORDER_PIXEL = 0, /* channels interleaved within a pixel */
    IPL_ORIGIN_TL = 0, /* first row at the top */
    IPL_ALIGN_DWORD = 4, /* rows of a new header start on 4 ... */
    IPL_ALIGN_QWORD = 8, /* ... or 8 byte boundaries */
};

/* Border modes: what a convolution reads outside the image. */
enum {
    IPL_BORDER_CONSTANT = 0, /* the side's constant (the mode of a new header, with 0) */
    IPL_BORDER_REPLICATE = 1, /* the nearest edge pixel */
};

/* Sides, as a mask for iplSetBorderMode and as indices into the header's border arrays. */
enum {
    IPL_SIDE_TOP = 1,
    IPL_SIDE_BOTTOM = 2,
    IPL_SIDE_LEFT = 4,
    IPL_SIDE_RIGHT = 8,
    IPL_SIDE_ALL = 15,
    IPL_SIDE_TOP_INDEX = 0,
    IPL_SIDE_BOTTOM_INDEX = 1,
    IPL_SIDE_LEFT_INDEX = 2,
    IPL_SIDE_RIGHT_INDEX = 3,
};

/* iplDeallocate: what to free. */
enum {
    IPL_IMAGE_HEADER = 1,
};

/* A rectangle of an image that operations read or write instead of the whole. */
typedef struct IplROI {
    int coi; /* channel of interest; 0 for all */
    int xOffset;
    int yOffset;
    int width;
    int height;
} IplROI;

/* Tiled images are not supported; headers are created without tiles. */
typedef struct IplTileInfo IplTileInfo;

typedef struct IplImage {
    int nChannels;
    int alphaChannel;
    int depth;
    char colorModel[4];
    char channelSeq[4];
    int dataOrder;
    int origin;
    int align;
    int width;
    int height;
    IplROI* roi; /* the caller's, or null for the whole image */
    struct IplImage* maskROI;
    void* imageId;
    IplTileInfo* tileInfo;
    int imageSize; /* bytes of pixel data */
    char* imageData; /* the first pixel of the first row */
    int widthStep; /* bytes from a row to the next */
    int borderMode[4]; /* per side index */
    int borderConst[4];
    char* imageDataOrigin; /* where the pixel memory starts; the library never frees it */
} IplImage;

/* nCols x nRows integer weights, row by row, and the shift right applied to
 * each weighted sum. The anchor is the kernel cell over the output pixel. */
typedef struct IplConvKernel {
    int nCols;
    int nRows;
    int anchorX;
    int anchorY;
    int* values;
    int nShiftR;
} IplConvKernel;

/* A header without pixels (imageData is null; widthStep is the width rounded
 * up to `align`, imageSize widthStep x height). Only one 8-bit channel without
 * alpha, pixel order, top-left origin, 4 or 8 byte alignment and no mask or
 * tiles are supported: anything else, or no memory, returns null. `roi` is
 * kept as a pointer and must outlive the header. Borders start constant 0. */
IplImage* iplCreateImageHeader(int nChannels, int alphaChannel, int depth, const char* colorModel,
                               const char* channelSeq, int dataOrder, int origin, int align, int width, int height,
                               IplROI* roi, IplImage* maskROI, void* imageId, IplTileInfo* tileInfo);

/* Sets the mode (and the constant of IPL_BORDER_CONSTANT) of every side in
 * the `border` mask. A null image is left alone. */
void iplSetBorderMode(IplImage* image, int mode, int border, int constVal);

/* Copies the weights. Null when a size or the anchor is out of range, the
 * shift is outside 0..30, or the weights' magnitudes add up to more than
 * 65535 (sums are then exact in single precision, which the convolution
 * computes in). */
IplConvKernel* iplCreateConvKernel(int nCols, int nRows, int anchorX, int anchorY, const int* values, int nShiftR);

void iplDeleteConvKernel(IplConvKernel* kernel);

/* dst(x, y) = S(sum over j of yKernel[j] x H(x, y + j - anchorY)), with
 * H(x, y) = S(sum over i of xKernel[i] x src(x + i - anchorX, y)) kept as
 * bytes, and S(v) = (v + 2^(shift - 1)) >> shift (with the kernel's shift;
 * halves round up, an arithmetic shift) saturated to 0..255. Coordinates are
 * those of the source's region of interest; reads outside the source image
 * follow its border modes. The region convolved is the source's region of
 * interest cut to the destination's (or their whole images). xKernel must be
 * one row and yKernel one column; a null kernel leaves its direction as it
 * is. Anything else does nothing. */
void iplConvolveSep2D(const IplImage* source, IplImage* destination, const IplConvKernel* xKernel,
                      const IplConvKernel* yKernel);

/* With IPL_IMAGE_HEADER, frees a header made by iplCreateImageHeader (never
 * the pixels); any other flag does nothing. */
void iplDeallocate(IplImage* image, int flag);

#ifdef __cplusplus
}
#endif

#endif
