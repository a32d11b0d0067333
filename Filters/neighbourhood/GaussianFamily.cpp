// Gaussian Blur, Unsharp Mask and High Pass: three filters on one set of
// Gaussian weights, which the host computes for a radius (its sigma, kept in
// tenths of a pixel).
//
// A plane is blurred in two passes through the host's line routines
// (TwoPassConvolution.h): rows of the input (the tile and a halo of edge
// copies) into a scratch buffer, then columns of the scratch, a tile at a
// time, into the output. Gaussian Blur convolves 8-bit planes through the
// imaging library instead, with an integer kernel at a scale of 2048; the
// library works on one thread, so the plane goes to it in bands of rows
// through the host's band iterator, each band reading the rows around it
// from the plane. High Pass then shows each sample's difference from its
// blur around mid-gray; Unsharp Mask adds the difference back, amplified,
// where a sample is brighter than its blur by more than a threshold.
//
// What a run holds beside its parameter block (the scratch buffer, the
// host's kernel table of High Pass and Unsharp Mask, the imaging library's
// objects of the plane in progress) lives in the run's state: the block is
// stored as raw bytes, where a pointer would outlive what it points to. The
// kernel table's 4-byte `lookup` slot in the stored block is therefore
// always 0; the built table sits beside the block.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "FilterList.h"
#include "framework/BandDriver.h"
#include "framework/Dialog.h"
#include "framework/Module.h"
#include "framework/Samples.h"
#include "framework/SettingsFilter.h"
#include "ipl.h"
#include "neighbourhood/GaussianFamily.h"
#include "neighbourhood/TwoPassConvolution.h"

namespace px {

// ---------------------------------------------------------------------------
// Parameter blocks, stored whole as raw bytes.

// The stored layout's room for one-sided weights: the largest radius, 250
// pixels, has weights out to three radii, 751 of them.
constexpr int kMaxWeights = 1024;

struct GaussianBlurBlock {
    int16_t radius;  // tenths of a pixel
    uint8_t reserved[2];
    int32_t n;  // one-sided weights, centre included
    double weights[kMaxWeights];
    int32_t kernel[kMaxWeights];  // the 8-bit path's integer kernel
    int32_t shift;
    int32_t kernelLength;
    int32_t showDialog;
    ProgressCounters counters;
    int32_t previewEnable;
};
static_assert(sizeof(GaussianBlurBlock) == 12320 && offsetof(GaussianBlurBlock, n) == 4 &&
              offsetof(GaussianBlurBlock, weights) == 8 && offsetof(GaussianBlurBlock, kernel) == 8200 &&
              offsetof(GaussianBlurBlock, shift) == 12296 && offsetof(GaussianBlurBlock, kernelLength) == 12300 &&
              offsetof(GaussianBlurBlock, showDialog) == 12304 && offsetof(GaussianBlurBlock, counters) == 12308 &&
              offsetof(GaussianBlurBlock, previewEnable) == 12316);

struct HighPassBlock {
    int16_t radius;
    uint8_t reserved[2];
    int32_t n;
    KernelTable table;  // its `lookup` is 0 here; see GaussianRun
    double weights[kMaxWeights];
    uint8_t showDialog;
    uint8_t reserved2[3];
    ProgressCounters counters;
    int32_t previewEnable;
};
static_assert(sizeof(HighPassBlock) == 9256 && offsetof(HighPassBlock, n) == 4 && offsetof(HighPassBlock, table) == 8 &&
              offsetof(HighPassBlock, table.lookup) == 1036 && offsetof(HighPassBlock, weights) == 1048 &&
              offsetof(HighPassBlock, showDialog) == 9240 && offsetof(HighPassBlock, counters) == 9244 &&
              offsetof(HighPassBlock, previewEnable) == 9252);

struct UnsharpMaskBlock {
    int16_t radius;
    uint8_t reserved[2];
    int32_t n;
    KernelTable table;
    double weights[kMaxWeights];
    double amount;  // percent
    int16_t threshold;  // 8-bit levels
    uint8_t showDialog;
    uint8_t reserved2;
    ProgressCounters counters;
    int32_t previewEnable;
    uint8_t unused[4096];  // the end of the stored layout, not used
};
static_assert(sizeof(UnsharpMaskBlock) == 13360 && offsetof(UnsharpMaskBlock, table) == 8 &&
              offsetof(UnsharpMaskBlock, table.lookup) == 1036 && offsetof(UnsharpMaskBlock, weights) == 1048 &&
              offsetof(UnsharpMaskBlock, amount) == 9240 && offsetof(UnsharpMaskBlock, threshold) == 9248 &&
              offsetof(UnsharpMaskBlock, showDialog) == 9250 && offsetof(UnsharpMaskBlock, counters) == 9252 &&
              offsetof(UnsharpMaskBlock, previewEnable) == 9260);

namespace {

constexpr int16_t kMinRadius = 1;
constexpr int16_t kMaxRadius = 2500;
constexpr double kMinAmount = 1;
constexpr double kMaxAmount = 500;
constexpr int16_t kMaxThreshold = 255;

// The 8-bit path's kernel: weights x 2048, a shift right of 11. The imaging
// library takes an integer kernel and the shift that divides its sums; 2^11
// keeps each weight to 1/2048, while a sum of samples times the kernel (at
// most 255 x 2048, under 2^19) stays exact in the library's sums.
constexpr int32_t kKernelScale = 2048;
constexpr int32_t kKernelShift = 11;

// The scratch a run sets aside at start, before any pixel changes: room for
// the horizontal pass of a tile of 1,280 KB (Gaussian Blur), 640 KB (High
// Pass) or 320 KB (Unsharp Mask) at the working depth. A larger tile grows
// it in the pass; a run that cannot have it fails at start, out of memory.
// What the sizes decide is where a run short of memory fails, so they stay
// as the filters have always asked for them.
constexpr size_t kGaussianBlurScratch = 1310720;
constexpr size_t kHighPassScratch = 655360;
constexpr size_t kUnsharpMaskScratch = 327680;

// ---------------------------------------------------------------------------
// What a run holds beside its block, its scratch aside.

// The imaging library's objects of the 8-bit Gaussian Blur plane in progress.
struct LibraryPlane {
    IplImage* source = nullptr;
    IplImage* destination = nullptr;
    IplConvKernel* rows = nullptr;
    IplConvKernel* columns = nullptr;
};

struct GaussianRun {
    KernelTable table{};  // built by the host, with its live `lookup`
    LibraryPlane library;
    TwoPassPlane twoPass;

    GaussianRun() = default;
    ~GaussianRun() { PixelRoutines().ReleaseKernelTable(&table); }
    GaussianRun(const GaussianRun&) = delete;
    GaussianRun& operator=(const GaussianRun&) = delete;
};

template <class Block>
GaussianRun& RunData(const FilterRecord& record)
{
    return RunDataOf<Block, GaussianRun>(record);
}

template <class Block>
TwoPassPlane& TwoPassOf(const FilterRecord& record)
{
    return RunData<Block>(record).twoPass;
}

template <size_t kBytes, class Block>
int16_t ReserveStartScratch(FilterRecord& record, Block&)
{
    return ReserveScratch(RunOf<Block>(record), kBytes, 0, 0) == kNoErr ? kNoErr : kMemFullErr;
}

// ---------------------------------------------------------------------------
// Kernel preparation, at start and whenever the dialog changes the radius.

double SigmaOf(int16_t radius) { return radius / 10.0; }

int16_t PrepareGaussianBlur(FilterRecord&, GaussianBlurBlock& block)
{
    PixelRoutines().GaussianWeights(SigmaOf(block.radius), block.weights, &block.n);
    block.kernelLength = BuildGaussianKernel(block.weights, block.n, block.kernel);
    block.shift = kKernelShift;
    return kNoErr;
}

// High Pass and Unsharp Mask: the weights and the host's table built from
// them. The block keeps a copy of the table without its live `lookup`.
template <class Block>
int16_t PrepareKernelTable(FilterRecord& record, Block& block)
{
    const HostPixelRoutines& routines = PixelRoutines();
    block.table.lookup = 0;
    routines.GaussianWeights(SigmaOf(block.radius), block.weights, &block.n);
    KernelTable& table = RunData<Block>(record).table;
    routines.ReleaseKernelTable(&table);
    if (const int16_t error = routines.BuildKernelTable(block.weights, block.n, &table); error != kNoErr)
        return error;
    block.table = table;
    block.table.lookup = 0;
    return kNoErr;
}

// ---------------------------------------------------------------------------
// Selector 27.

template <class Block>
const Block& BlockOf(const FilterRecord& record)
{
    return *static_cast<const Block*>(record.parameters);
}

// Requests one plane of the tile with `halo` pixels of edge copies around
// it, at the document's depth when `deep`. Every output sample is written:
// by the library, or by the vertical pass.
int16_t RequestPlane(FilterRecord& record, int halo, bool deep)
{
    return RequestTile(record, {.halo = halo, .deep = deep, .overwritesOutput = true});
}

// One plane in two passes with the block's weights and the run's table.
template <class Block>
int16_t BlurInTwoPasses(FilterRecord& record, const Block& block, TileCombination combine)
{
    const LineKernel kernel{.weights = block.weights, .n = block.n, .table = &RunData<Block>(record).table};
    return ConvolvePlaneTwice<TwoPassOf<Block>>(record, RunOf<Block>(record), kernel, combine);
}

// High Pass: each sample's difference from its blur, around mid-gray.
void HighPassTile(const FilterRecord& record, int32_t rows, int32_t columns, const uint8_t* unfiltered,
                  const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* output)
{
    const int32_t bits = record.hostProc->workingDepth;
    if (bits == 8)
        PixelRoutines().DifferenceOffset8(rows, columns, unfiltered, record.inRowBytes, blurred, blurredRowBytes,
                                          output, record.outRowBytes, 1, 128);
    else
        PixelRoutines().DifferenceOffsetDeep(rows, columns, unfiltered, record.inRowBytes, blurred, blurredRowBytes,
                                             output, record.outRowBytes, bits, 1.0, 128.0);
}

void UnsharpTile(const FilterRecord& record, int32_t rows, int32_t columns, const uint8_t* unfiltered,
                 const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* output)
{
    const UnsharpMaskBlock& block = BlockOf<UnsharpMaskBlock>(record);
    if (record.hostProc->workingDepth == 8)
        UnsharpCombine8(rows, columns, unfiltered, record.inRowBytes, blurred, blurredRowBytes, output,
                        record.outRowBytes, block.amount, block.threshold);
    else
        UnsharpCombine16(rows, columns, unfiltered, record.inRowBytes, blurred, blurredRowBytes, output,
                         record.outRowBytes, block.amount, block.threshold);
}

// A band of rows through the imaging library: copies of the plane's headers
// narrowed to the band, so each band writes only its own rows; the rows
// above and below it are read from the plane. Bands of whole rows read the
// plane in long runs, which the processor fetches ahead.
void LibraryBand(const Band* band, FilterRecord* record)
{
    const LibraryPlane& plane = RunData<GaussianBlurBlock>(*record).library;
    const int32_t offset = band->top - record->outRect.top;
    IplROI roi = *plane.source->roi;
    roi.yOffset += offset;
    roi.height = band->height();
    IplImage source = *plane.source;
    source.roi = &roi;
    IplImage destination = *plane.destination;
    destination.imageData += ptrdiff_t(offset) * destination.widthStep;
    destination.height = band->height();
    iplConvolveSep2D(&source, &destination, plane.rows, plane.columns);
}

IplImage* GrayHeader(int32_t width, int32_t height, IplROI* roi, void* data, int32_t rowBytes)
{
    IplImage* image = iplCreateImageHeader(1, 0, IPL_DEPTH_8U, "GRAY", "GRAY", IPL_DATA_ORDER_PIXEL, IPL_ORIGIN_TL,
                                           IPL_ALIGN_QWORD, width, height, roi, nullptr, nullptr, nullptr);
    if (image) {
        image->imageSize = width * height;
        image->imageData = static_cast<char*>(data);
        image->widthStep = rowBytes;
        image->imageDataOrigin = static_cast<char*>(data);
    }
    return image;
}

// The 8-bit plane through the imaging library; its region of interest puts
// each output pixel over the same input pixel, `halo` in from inRect's corner.
int16_t ConvolvePlaneInLibrary(FilterRecord& record, const GaussianBlurBlock& block, int halo)
{
    IplROI roi{0, halo, halo, record.outRect.width(), record.outRect.height()};
    IplImage* source =
        GrayHeader(record.inRect.width(), record.inRect.height(), &roi, record.inData, record.inRowBytes);
    iplSetBorderMode(source, IPL_BORDER_REPLICATE, IPL_SIDE_ALL, 0);
    IplImage* destination =
        GrayHeader(record.outRect.width(), record.outRect.height(), nullptr, record.outData, record.outRowBytes);
    const int32_t length = block.kernelLength;
    IplConvKernel* rows = iplCreateConvKernel(length, 1, length / 2, 0, block.kernel, block.shift);
    IplConvKernel* columns = iplCreateConvKernel(1, length, 0, length / 2, block.kernel, block.shift);
    const int16_t result = source && destination ? kNoErr : kFailedErr;
    if (result == kNoErr && rows && columns) {
        GaussianRun& data = RunData<GaussianBlurBlock>(record);
        data.library = LibraryPlane{source, destination, rows, columns};
        FilterHostBlock& host = *record.hostProc;
        Band bands[kMaxBands];
        host.ForEachBand(SplitIntoBands(1, host.bandCount, record.outRect, bands), bands, LibraryBand, 0);
        data.library = LibraryPlane{};
    }
    iplDeleteConvKernel(rows);
    iplDeleteConvKernel(columns);
    iplDeallocate(source, IPL_IMAGE_HEADER);
    iplDeallocate(destination, IPL_IMAGE_HEADER);
    return result;
}

// Gaussian Blur: 8-bit documents through the library (a halo of n, the
// kernel's half-length), deeper ones in two passes at their own depth
// (a halo of n - 1). Every plane, transparency included.
int16_t GaussianBlurPlane(FilterRecord& record, GaussianBlurBlock& block)
{
    const bool library = record.hostProc->documentDepth == 8;
    if (const int16_t error = RequestPlane(record, library ? block.n : block.n - 1, !library); error != kNoErr)
        return error;
    const int16_t result =
        library ? ConvolvePlaneInLibrary(record, block, block.n) : BlurInTwoPasses(record, block, nullptr);
    const int16_t finished = FinishPlane(record, RunOf<GaussianBlurBlock>(record).counters, Transparency::kFilter);
    return result != kNoErr ? result : finished;
}

int16_t HighPassPlane(FilterRecord& record, HighPassBlock& block)
{
    if (const int16_t error = RequestPlane(record, block.n, true); error != kNoErr)
        return error;
    const int16_t result = BlurInTwoPasses(record, block, HighPassTile);
    const int16_t finished = FinishPlane(record, RunOf<HighPassBlock>(record).counters, Transparency::kLeave);
    return result != kNoErr ? result : finished;
}

// Unsharp Mask's own arithmetic is on 8- and 16-bit samples: 32-bit
// documents are sharpened on the host's 8-bit rendition.
int16_t UnsharpMaskPlane(FilterRecord& record, UnsharpMaskBlock& block)
{
    if (const int16_t error = RequestPlane(record, block.n, record.hostProc->documentDepth == 16); error != kNoErr)
        return error;
    const int16_t result = BlurInTwoPasses(record, block, UnsharpTile);
    const int16_t finished = FinishPlane(record, RunOf<UnsharpMaskBlock>(record).counters, Transparency::kLeave);
    return result != kNoErr ? result : finished;
}

// ---------------------------------------------------------------------------
// Settings. Radii are kept in tenths of a pixel: the command line and the
// dialogs' fields take pixels with one decimal, scripts carry the tenths.

// The radius slider's upper segment (above 60 pixels) spans 4750 tenths,
// 4875 in Unsharp Mask's dialog.
constexpr double kGaussianSliderDivisor = 4750;
constexpr double kUnsharpSliderDivisor = 4875;

template <double divisor>
double RadiusPosition(double radius)
{
    return RadiusSliderPosition(int32_t(radius), divisor);
}

template <double divisor>
double RadiusAt(double position)
{
    return RadiusFromSlider(position, divisor);
}

constexpr Setting RadiusSetting(uint32_t key, uint32_t altKey, const char* description, int32_t slider, double divisor,
                                BlockMember member, BlockMember scripted)
{
    return {.name = "radius",
            .key = key,
            .altKey = altKey,
            .minimum = kMinRadius / 10.0,
            .maximum = kMaxRadius / 10.0,
            .defaultValue = 1,
            .scale = 10,
            .unit = "pixels",
            .description = description,
            .member = member,
            .slider = slider,
            .field = slider + 1,
            .mapping = divisor == kGaussianSliderDivisor
                           ? Curve(RadiusPosition<kGaussianSliderDivisor>, RadiusAt<kGaussianSliderDivisor>)
                           : Curve(RadiusPosition<kUnsharpSliderDivisor>, RadiusAt<kUnsharpSliderDivisor>),
            .scripted = scripted};
}

// Selector 28: Gaussian Blur and High Pass take the radius as a double.
constexpr Setting kGaussianBlurSettings[] = {
    RadiusSetting(0x8982, FourCC("radi"),
                  "the spread of the bell-shaped weights (their standard deviation); they reach out up to three radii",
                  100, kGaussianSliderDivisor, PX_MEMBER(GaussianBlurBlock, radius), Slot(0, MemberType::kDouble)),
};

constexpr Setting kHighPassSettings[] = {
    RadiusSetting(0x8a13, FourCC("hrad"), "detail finer than this is kept, broader shading removed", 100,
                  kGaussianSliderDivisor, PX_MEMBER(HighPassBlock, radius), Slot(0, MemberType::kDouble)),
};

// Selector 28: a 32-bit radius at 0, the amount as a double at 8, a 32-bit
// threshold at 16.
constexpr Setting kUnsharpMaskSettings[] = {
    RadiusSetting(0x8acb, FourCC("urad"), "the radius of the blur the sharpening compares with", 102,
                  kUnsharpSliderDivisor, PX_MEMBER(UnsharpMaskBlock, radius), Slot(0, MemberType::kInt32)),
    {.name = "amount",
     .key = 0x8acc,
     .altKey = FourCC("uamt"),
     .type = typeFloat,
     .minimum = kMinAmount,
     .maximum = kMaxAmount,
     .defaultValue = 100,
     .unit = "percent",
     .description = "how strongly the difference from the blur is added back",
     .member = PX_MEMBER(UnsharpMaskBlock, amount),
     .slider = 100,
     .field = 101,
     .mapping = Linear(0, kMaxAmount),
     .scripted = Slot(8, MemberType::kDouble)},
    {.name = "threshold",
     .key = 0x8acd,
     .altKey = FourCC("uthd"),
     .minimum = 0,
     .maximum = kMaxThreshold,
     .defaultValue = 0,
     .unit = "levels",
     .description = "how much brighter than its blur a pixel must be to change",
     .member = PX_MEMBER(UnsharpMaskBlock, threshold),
     .slider = 104,
     .field = 105,
     .mapping = Linear(0, kMaxThreshold),
     .scripted = Slot(16, MemberType::kInt32)},
};

constexpr SettingsFilter<GaussianBlurBlock, GaussianRun> kGaussianBlur{
    .filterId = 16020,
    .aboutTitle = 18055,
    .settings = kGaussianBlurSettings,
    .acquire = ReserveStartScratch<kGaussianBlurScratch, GaussianBlurBlock>,
    .prepare = PrepareGaussianBlur,
    .dialog = 5216,
    .dialogTitle = 18054,
    .scriptingSize = 8,
    .pass = {.transparency = Transparency::kFilter},
    .processPlane = GaussianBlurPlane,
    .storeRecord = 0x200,
    .translatesDescriptors = true,
    .reportsParameterSize = true,
};

constexpr SettingsFilter<HighPassBlock, GaussianRun> kHighPass{
    .filterId = 16530,
    .aboutTitle = 18057,
    .settings = kHighPassSettings,
    .acquire = ReserveStartScratch<kHighPassScratch, HighPassBlock>,
    .prepare = PrepareKernelTable<HighPassBlock>,
    .dialog = 5251,
    .dialogTitle = 18056,
    .scriptingSize = 8,
    .pass = {.transparency = Transparency::kLeave},
    .processPlane = HighPassPlane,
    .translatesDescriptors = true,
    .reportsParameterSize = true,
};

// Unsharp Mask sets its scratch aside after the scripted settings are read.
int16_t PrepareUnsharpMask(FilterRecord& record, UnsharpMaskBlock& block)
{
    if (const int16_t error = ReserveStartScratch<kUnsharpMaskScratch>(record, block); error != kNoErr)
        return error;
    return PrepareKernelTable(record, block);
}

constexpr SettingsFilter<UnsharpMaskBlock, GaussianRun> kUnsharpMask{
    .filterId = 16330,
    .aboutTitle = 18091,
    .settings = kUnsharpMaskSettings,
    .prepare = PrepareUnsharpMask,
    .dialog = 5255,
    .dialogTitle = 18090,
    .scriptingSize = 24,
    .pass = {.transparency = Transparency::kLeave},
    .processPlane = UnsharpMaskPlane,
    .translatesDescriptors = true,
    .reportsParameterSize = true,
};

}  // namespace

// ---------------------------------------------------------------------------
// Kernels, exposed for their tests.

int32_t BuildGaussianKernel(const double* weights, int32_t n, int32_t* kernel)
{
    int32_t length = 3;
    if (n > 1) {
        length = 2 * n - 1;
        for (int32_t i = 0; i < n; ++i)
            kernel[n - 1 - i] = kernel[n - 1 + i] = int32_t(kKernelScale * weights[i]);
    } else {
        kernel[0] = kernel[1] = kernel[2] = int32_t(kKernelScale * weights[0] / 3.0);
    }
    int32_t sum = 0;
    for (int32_t i = 0; i < length; ++i)
        sum += kernel[i];
    if (kKernelScale - sum != 0) {
        kernel[n - 1] += 1;
        int32_t remainder = kKernelScale - sum - 1;
        // Weights that sum to 1 leave less than one unit per tap, so the pairs
        // never run past the ends; the bound keeps other weights inside too.
        for (int32_t j = 0; j < n && remainder > 1 && n - 2 - j >= 0; ++j) {
            kernel[n - j] += 1;
            kernel[n - 2 - j] += 1;
            remainder -= 2;
        }
    }
    return length;
}

// Three straight segments, fine where small radii are used most: up to 10
// pixels over the first 0.3 of the slider (100 tenths over 0.3, 334 a unit),
// up to 60 pixels over the next 0.3 (500 tenths, 1667 a unit), and the rest
// above: 4750 a unit spans the last 1900 tenths to 250 pixels over 0.4, and
// Unsharp Mask's 4875 reaches 250 pixels a little before the slider's end.
double RadiusSliderPosition(int32_t radius, double upperDivisor)
{
    if (radius <= 100)
        return radius / 334.0;
    if (radius <= 600)
        return (radius - 100) / 1667.0 + 0.3;
    return (radius - 600) / upperDivisor + 0.6;
}

// The upper segments step by whole pixels. A position beyond the slider's
// ends counts as its end (both give the same radius after the clamp).
int16_t RadiusFromSlider(double position, double upperDivisor)
{
    position = std::isnan(position) ? 0 : std::clamp(position, 0.0, 1.0);
    int32_t radius = 0;
    if (position <= 0.3) {
        radius = int32_t(position * 334);
    } else {
        const auto raw =
            int32_t(position <= 0.6 ? (position - 0.3) * 1667 + 100 : (position - 0.6) * upperDivisor + 600);
        radius = (raw + 5) / 10 * 10;
    }
    return int16_t(std::clamp<int32_t>(radius, kMinRadius, kMaxRadius));
}

// Unsharp Mask's gain is in 32nds: amount x 160 / 500, so 100 percent is 32
// (the difference added back once) and 500 percent is 160. Only samples
// brighter than their blur by more than the threshold change, so the lift
// is a difference of at most 255 times the gain, which fits 16 bits for any
// gain up to 257: vectors of 16-bit lanes hold twice the samples of 32-bit
// ones.
[[PX_ALSO_FOR_AVX2 gnu::flatten]] void UnsharpCombine8(int32_t rows, int32_t columns, const uint8_t* source,
                                                       int32_t sourceRowBytes, const uint8_t* blurred,
                                                       int32_t blurredRowBytes, uint8_t* destination,
                                                       int32_t destinationRowBytes, double amount, int16_t threshold)
{
    const auto gain = int32_t(amount * 160.0 / 500.0);
    const bool narrow = gain >= 0 && gain <= 257 && threshold >= 0;
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* in = source + ptrdiff_t(y) * sourceRowBytes;
        const uint8_t* blur = blurred + ptrdiff_t(y) * blurredRowBytes;
        uint8_t* out = destination + ptrdiff_t(y) * destinationRowBytes;
        if (narrow) {
            const auto g = uint16_t(gain), t = uint16_t(threshold);
            for (int32_t x = 0; x < columns; ++x) {
                const uint16_t i = in[x], b = blur[x];
                const auto lift = uint16_t(uint16_t(uint16_t(i - b) * g) >> 5);  // used only where i > b
                out[x] = i > uint16_t(b + t) ? uint8_t(std::min<uint16_t>(uint16_t(i + lift), 255)) : uint8_t(i);
            }
        } else {
            for (int32_t x = 0; x < columns; ++x) {
                const auto difference = int16_t(in[x] - blur[x]);
                out[x] =
                    difference > threshold ? uint8_t(std::clamp(in[x] + ((difference * gain) >> 5), 0, 255)) : in[x];
            }
        }
    }
}

// 16 bits: samples in 8-bit levels of 256 each (a 16-bit sample is its high
// byte and a fraction), the threshold compared in those levels, and the
// result written back at 256 a level, so 255 levels come back as 65280
// (255 x 256), not 65535.
void UnsharpCombine16(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                      const uint8_t* blurred, int32_t blurredRowBytes, uint8_t* destination,
                      int32_t destinationRowBytes, double amount, int16_t threshold)
{
    const double gain = amount * 160.0 / 500.0;
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* in = source + ptrdiff_t(y) * sourceRowBytes;
        const uint8_t* blurredRow = blurred + ptrdiff_t(y) * blurredRowBytes;
        uint8_t* out = destination + ptrdiff_t(y) * destinationRowBytes;
        for (int32_t x = 0; x < columns; ++x) {
            const double original = Samples16::Load(in, x) * (1.0 / 256);
            const double blur = Samples16::Load(blurredRow, x) * (1.0 / 256);
            const double difference = original - blur;
            const double value =
                difference > threshold ? std::clamp(original + difference * gain / 32.0, 0.0, 255.0) : original;
            Samples16::Store(out, x, uint16_t(value * 65280.0 / 255.0));
        }
    }
}

constinit const FilterUnit GaussianBlurFilter = SettingsFilterUnit<kGaussianBlur>();
constinit const FilterUnit HighPassFilter = SettingsFilterUnit<kHighPass>();
constinit const FilterUnit UnsharpMaskFilter = SettingsFilterUnit<kUnsharpMask>();

}  // namespace px
