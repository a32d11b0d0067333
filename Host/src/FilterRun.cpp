// Running a filter: the selector sequence (parameters, prepare, start, 26
// and 27 over every tile, continue, finish), the services a run answers (the
// band iterator, progress, abort, the image record), and the dialog's preview.
// advanceState, the snapshot and the selection blend are AdvanceState.cpp.
#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "FilterRun.h"

namespace pictra {

namespace {

Host::Run& ActiveRun() { return *tActiveRun; }

int16_t RegisterFilterEntry(FilterEntry entry, int32_t)
{
    ActiveRun().registeredEntry = entry;
    return kNoErr;
}

int16_t UpdatePreview() { return ActiveRun().preview(); }
void StopPreview() {}
void ShowPreview(int32_t) {}

void ForEachBand(int32_t count, const Band* bands, BandCallback callback, intptr_t)
{
    ActiveRun().forEachBand(count, bands, callback);
}

int16_t AdvanceState() { return ActiveRun().advance(); }

bool Abort()
{
    const Host::Run& run = ActiveRun();
    return run.options.abort && run.options.abort();
}

void Progress(uint32_t done, uint32_t total)
{
    const Host::Run& run = ActiveRun();
    if (run.options.progress)
        run.options.progress(done, total);
}

}  // namespace

const HostImageRecord* RunImageRecord(const Host::Run& run) { return &run.imageRecord; }

namespace {

Rect16 Intersect(const Rect16& a, const Rect16& b)
{
    Rect16 r{std::max(a.top, b.top), std::max(a.left, b.left), std::min(a.bottom, b.bottom),
             std::min(a.right, b.right)};
    return r.empty() ? Rect16{} : r;
}

bool FitsAsSnapshot(const Image& snapshot, const Image& image)
{
    return snapshot.width() == image.width() && snapshot.height() == image.height() &&
           snapshot.mode() == image.mode() && snapshot.depth() == image.depth() &&
           snapshot.colourPlanes() == image.colourPlanes() && snapshot.hasTransparency() == image.hasTransparency() &&
           snapshot.margin() == WorkingMarginFor(image.depth());
}

Image SnapshotFor(const Image& image)
{
    return Image(image.width(), image.height(), image.mode(), image.depth(), image.hasTransparency(),
                 image.colourPlanes(), WorkingMarginFor(image.depth()));
}

// The bounds of the selection's non-zero pixels, within `area`.
Rect16 SelectionBounds(const Image& mask, const Rect16& area)
{
    int32_t top = area.bottom, left = area.right, bottom = area.top, right = area.left;
    for (int32_t y = area.top; y < area.bottom; ++y) {
        const uint8_t* row = mask.row(0, y);
        for (int32_t x = area.left; x < area.right; ++x)
            if (row[x] != 0) {
                top = std::min(top, y);
                bottom = std::max(bottom, y + 1);
                left = std::min(left, x);
                right = std::max(right, x + 1);
            }
    }
    if (bottom <= top)
        return Rect16{};
    return Rect16{int16_t(top), int16_t(left), int16_t(bottom), int16_t(right)};
}

}  // namespace

int16_t Host::runFilter(int32_t filterId, Image& image, const RunOptions& options)
{
    const std::optional<FilterProperties> props = properties(filterId);
    FilterEntry entry = filterEntry(filterId);
    if (!props || !entry)
        throw HostError(fmt::format("the module has no filter {}", filterId));
    if (!props->acceptsMode(image.mode()))
        throw HostError(fmt::format("{} does not work on {} images", props->name, ModeName(image.mode())));
    return runEntry(filterId, entry, image, options);
}

void Host::Run::setUp(const Rect16& area)
{
    snapshotted.assign(size_t(image.planeCount()), std::vector<uint8_t>(size_t(image.height()), 0));
    prepareImageRecord();
    hostBlock.RegisterFilterEntry = RegisterFilterEntry;
    hostBlock.UpdatePreview = UpdatePreview;
    hostBlock.StopPreview = StopPreview;
    hostBlock.ShowPreview = ShowPreview;
    hostBlock.bandCount = int16_t(std::clamp(options.bandCount, 1, 16));
    hostBlock.ForEachBand = ForEachBand;
    hostBlock.imageMap = reinterpret_cast<HostImageMap*>(this);
    hostBlock.documentDepth = int16_t(image.depth());
    hostBlock.workingDepth = int16_t(image.depth() == 1 ? 1 : 8);
    handleProcs.disposeProc = DisposeDescriptor;

    record.abortProc = Abort;
    record.progressProc = Progress;
    record.planes = int16_t(image.planeCount());
    record.filterRect = area;
    record.hostProc = &hostBlock;
    record.imageMode = image.mode();
    record.imageHRes = record.imageVRes = int32_t(std::lround(image.resolution * 65536.0));
    record.imageSize = Point16{int16_t(image.height()), int16_t(image.width())};
    record.handleProcs = &handleProcs;
    record.advanceState = AdvanceState;
    record.inLayerPlanes = record.outLayerPlanes = int16_t(image.colourPlanes());
    record.inTransparencyMask = record.outTransparencyMask = image.hasTransparency() ? 1 : 0;
    std::copy(image.foreground.samples.begin(), image.foreground.samples.end(), record.foreColor);
    std::copy(image.background.samples.begin(), image.background.samples.end(), record.backColor);
    if (options.mask) {
        record.haveMask = 1;
        record.maskRect = area;
        record.maskData = const_cast<uint8_t*>(options.mask->row(0, std::max<int>(area.top, 0))) + area.left;
        record.maskRowBytes = options.mask->rowBytes();
    }
}

// Selector 26 then 27 until the filter empties outRect, for every tile of
// the filter rectangle.
int16_t Host::Run::hostPass()
{
    const Rect16 area = record.filterRect;
    if (!registeredEntry || area.empty())
        return kNoErr;
    intptr_t data = 0;
    int16_t result = kNoErr;
    const int tile = options.tileSize > 0 ? options.tileSize : std::max(area.width(), area.height());
    for (int32_t top = area.top; result == kNoErr && top < area.bottom; top += tile)
        for (int32_t left = area.left; result == kNoErr && left < area.right; left += tile) {
            hostBlock.tileRect =
                Rect16{int16_t(top), int16_t(left), int16_t(std::min<int32_t>(top + tile, area.bottom)),
                       int16_t(std::min<int32_t>(left + tile, area.right))};
            result = call(registeredEntry, kSelectorResetPlanes, &data);
            // Each call processes at least one plane; more calls than that is a filter that never stops.
            const int limit = 2 * image.planeCount() * std::max(1, int(hostBlock.passCount)) + 2;
            for (int calls = 0; result == kNoErr; ++calls) {
                if (calls == limit) {
                    result = kFailedErr;
                    break;
                }
                result = call(registeredEntry, kSelectorProcessPlane, &data);
                if (record.outRect.empty())
                    break;
            }
            flushOutput();
        }
    return result;
}

// The dialog's preview: the same pass on a copy of the image, which has not
// been touched yet (the dialog runs inside start). A preview with the same
// settings as the last one would show the same pixels, so it is not run again.
int16_t Host::Run::preview()
{
    if (!registeredEntry || !record.parameters)
        return kNoErr;
    const auto* settings = static_cast<const uint8_t*>(record.parameters);
    std::vector<uint8_t> current(settings, settings + HostBlockSize(record.parameters));
    if (host.previewImage && current == lastPreviewSettings)
        return kNoErr;

    Image previewImage = image;
    Image previewSnapshot = SnapshotFor(image);
    RunOptions previewOptions;
    previewOptions.rect = options.rect;
    previewOptions.mask = options.mask;
    previewOptions.tileSize = options.tileSize;
    previewOptions.bandCount = options.bandCount;
    Run pass(host, previewImage, previewSnapshot, previewOptions);
    pass.setUp(record.filterRect);
    pass.record.parameters = record.parameters;
    pass.registeredEntry = registeredEntry;
    ActiveScope scope(&host, &pass);
    const int16_t result = pass.hostPass();
    if (result != kNoErr)
        return result;
    pass.blendSelection();
    host.previewImage = std::move(previewImage);
    lastPreviewSettings = std::move(current);
    return kNoErr;
}

int16_t Host::runEntry(int32_t filterId, FilterEntry entry, Image& image, const RunOptions& options)
{
    if (options.mask && (options.mask->width() != image.width() || options.mask->height() != image.height() ||
                         options.mask->depth() != 8 || options.mask->colourPlanes() != 1))
        throw HostError("the selection must be an 8-bit grayscale image of the image's size");

    if (!FitsAsSnapshot(snapshot_, image))
        snapshot_ = SnapshotFor(image);
    const Rect16 whole{0, 0, int16_t(image.height()), int16_t(image.width())};
    Rect16 area = options.rect ? Intersect(*options.rect, whole) : whole;
    if (options.mask)
        area = SelectionBounds(*options.mask, area);

    Run run(*this, image, snapshot_, options);
    ActiveScope scope(this, &run);
    run.setUp(area);
    // The filter may dispose the descriptor it is handed, so it gets a copy.
    run.descriptorParameters.descriptor = options.descriptor ? new HostDescriptor(*options.descriptor) : nullptr;
    run.descriptorParameters.readDescriptorProcs = ReadDescriptorTable();
    run.descriptorParameters.writeDescriptorProcs = WriteDescriptorTable();
    run.record.descriptorParameters = &run.descriptorParameters;
    run.record.parameters = parameterBlocks_[filterId];
    previewImage.reset();
    dialogError.clear();

    intptr_t data = 0;
    int16_t result = kNoErr;
    if (options.showDialog)
        result = run.call(entry, filterSelectorParameters, &data);
    if (result == kNoErr)
        result = run.call(entry, filterSelectorPrepare, &data);
    if (result == kNoErr)
        result = run.call(entry, filterSelectorStart, &data);
    if (result == kNoErr)
        result = run.hostPass();
    if (result == kNoErr)
        result = run.call(entry, filterSelectorContinue, &data);
    const int16_t finish = run.call(entry, filterSelectorFinish, &data);
    if (result == kNoErr)
        result = finish;
    parameterBlocks_[filterId] = run.record.parameters;
    std::unique_ptr<HostDescriptor> left(run.descriptorParameters.descriptor);
    recordedDescriptor = result == kNoErr ? std::move(left) : nullptr;

    if (result != kNoErr) {
        run.restoreImage();
        return result;
    }
    run.blendSelection();
    return kNoErr;
}

}  // namespace pictra
