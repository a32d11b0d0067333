// Custom: every sample becomes offset + (the 5 x 5 neighbourhood weighted by
// the user's integer kernel) / scale, truncated toward zero and clamped to
// 0..255; a scale of 0 leaves the image as it is. It works on 8-bit samples
// (deep images through their 8-bit rendition) and filters every plane,
// transparency too. A two-pixel halo of edge copies gives border pixels a
// full neighbourhood. Kernels are kept in the settings store and travel as
// ".ACF" files: 27 big-endian 16-bit values, the weights row by row from
// the top left, then the scale, then the offset.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "FilterEntries.h"
#include "framework/Dialog.h"
#include "framework/Module.h"
#include "framework/SettingsFile.h"
#include "framework/SettingsFilter.h"

namespace px {

// ---------------------------------------------------------------------------
// The parameter block.

constexpr int kKernelCells = 25;
constexpr int kKernelSide = 5;

struct CustomKernelSettings {
    int16_t scale;  // the divisor; 0 copies
    int16_t offset;
    int16_t weights[kKernelCells];  // row by row from the top left; 12 is the centre
    uint8_t used[kKernelCells];  // 0: the dialog shows the cell empty (its weight is 0)
    uint8_t showDialog;
    ProgressCounters counters;
    int32_t previewEnable;
};
static_assert(sizeof(CustomKernelSettings) == 92 && offsetof(CustomKernelSettings, offset) == 2 &&
              offsetof(CustomKernelSettings, weights) == 4 && offsetof(CustomKernelSettings, used) == 54 &&
              offsetof(CustomKernelSettings, showDialog) == 79 && offsetof(CustomKernelSettings, counters) == 80 &&
              offsetof(CustomKernelSettings, previewEnable) == 88);

namespace {

constexpr int32_t kCustomId = 16500;

// The same limits hold in the dialog, in scripts and in files, so every
// kernel the dialog accepts can be saved and loaded back (a scale of 0 aside:
// a file's scale starts at 1, as a file never describes a copy).
constexpr int16_t kWeightLimit = 999;
constexpr int16_t kScaleLimit = 9999;
constexpr int16_t kOffsetLimit = 9999;

constexpr int16_t kCustomDialog = 5260;
constexpr int32_t kCustomTitle = 18041;
constexpr int32_t kFirstCellItem = 105;
constexpr int32_t kScaleItem = 130;
constexpr int32_t kOffsetItem = 131;
constexpr int32_t kLoadButton = 1001;
constexpr int32_t kSaveButton = 1002;

constexpr SettingsFileKind kKernelFile{
    .loadTitle = 18094,
    .saveTitle = 18095,
    .filterText = 18098,
    .extension = ".ACF",
    .fileType = FourCC("8BCK"),
    .creator = FourCC("DUD9"),
    .loadAction = 18011,
    .saveAction = 18010,
};

// The settings in descriptor order: the scale, the offset, then the weights.
constexpr int kScaleSetting = 0;
constexpr int kOffsetSetting = 1;
constexpr int kFirstWeightSetting = 2;

CustomKernelSettings& BlockOf(FilterRecord& record) { return *static_cast<CustomKernelSettings*>(record.parameters); }

// Weights that arrive without a cell (from a file or a script) fill the
// cells where they are non-zero.
void SetWeight(CustomKernelSettings& block, int cell, int16_t weight)
{
    block.weights[cell] = weight;
    block.used[cell] = weight != 0 ? 1 : 0;
}

void CustomDefaults(CustomKernelSettings& block)
{
    block = CustomKernelSettings{};
    block.scale = 1;
    block.offset = 128;
    SetWeight(block, 12, 1);
    for (int cell : {7, 11, 13, 17})
        SetWeight(block, cell, -5);
    block.previewEnable = 1;
}

// A stored block is another run's memory: its values are held to the limits
// and an empty cell weighs nothing, whatever it held.
void CustomDerive(CustomKernelSettings& block)
{
    block.scale = std::clamp<int16_t>(block.scale, 0, kScaleLimit);
    block.offset = std::clamp<int16_t>(block.offset, -kOffsetLimit, kOffsetLimit);
    for (int cell = 0; cell < kKernelCells; ++cell) {
        const int16_t weight = std::clamp<int16_t>(block.weights[cell], -kWeightLimit, kWeightLimit);
        block.weights[cell] = block.used[cell] ? weight : 0;
    }
}

void CustomToValues(const CustomKernelSettings& block, double* values)
{
    values[kScaleSetting] = block.scale;
    values[kOffsetSetting] = block.offset;
    for (int cell = 0; cell < kKernelCells; ++cell)
        values[kFirstWeightSetting + cell] = block.weights[cell];
}

void CustomFromValues(CustomKernelSettings& block, const ScriptedValues& values)
{
    if (values.present[kScaleSetting])
        block.scale = int16_t(values.value[kScaleSetting]);
    if (values.present[kOffsetSetting])
        block.offset = int16_t(values.value[kOffsetSetting]);
    for (int cell = 0; cell < kKernelCells; ++cell)
        if (values.present[kFirstWeightSetting + cell])
            SetWeight(block, cell, int16_t(values.value[kFirstWeightSetting + cell]));
}

// ---------------------------------------------------------------------------
// The dialog: 25 text cells, the scale and offset fields, Load and Save.

void ShowCell(HostDialog* dialog, const CustomKernelSettings& block, int cell)
{
    char text[8] = "";
    if (block.used[cell])
        std::snprintf(text, sizeof text, "%d", block.weights[cell]);
    Dialogs().SetItemText(dialog, kFirstCellItem + cell, text);
}

void ShowKernel(HostDialog* dialog, const CustomKernelSettings& block)
{
    for (int cell = 0; cell < kKernelCells; ++cell)
        ShowCell(dialog, block, cell);
    Dialogs().SetItemValue(dialog, kScaleItem, block.scale);
    Dialogs().SetItemValue(dialog, kOffsetItem, block.offset);
}

// A cell the user typed: a number is taken truncated and held to the
// limits; anything else is refused with a beep and the cell shows its
// weight again.
void TakeCell(HostDialog* dialog, CustomKernelSettings& block, int cell)
{
    char text[64];
    Dialogs().GetItemText(dialog, kFirstCellItem + cell, text, sizeof text);
    int16_t weight = 0;
    bool used = false;
    if (ReadKernelCell(text, weight, used)) {
        block.weights[cell] = weight;
        block.used[cell] = used ? 1 : 0;
    } else {
        Host().platform->MessageBeep(0);
    }
    ShowCell(dialog, block, cell);
}

// A number field, truncated and held to its limits, shown as taken.
int16_t TakeNumber(HostDialog* dialog, int32_t item, int16_t minimum, int16_t maximum)
{
    const double typed = Dialogs().GetItemValue(dialog, item);
    const int16_t value =
        std::isnan(typed) ? minimum : int16_t(std::clamp(std::trunc(typed), double(minimum), double(maximum)));
    Dialogs().SetItemValue(dialog, item, value);
    return value;
}

bool IsCellItem(int32_t item) { return item >= kFirstCellItem && item < kFirstCellItem + kKernelCells; }
bool IsEditItem(int32_t item) { return IsCellItem(item) || item == kScaleItem || item == kOffsetItem; }

// One edited cell or field into the block.
void TakeEdit(HostDialog* dialog, CustomKernelSettings& block, int32_t item)
{
    if (IsCellItem(item))
        TakeCell(dialog, block, item - kFirstCellItem);
    else if (item == kScaleItem)
        block.scale = TakeNumber(dialog, kScaleItem, 0, kScaleLimit);
    else
        block.offset = TakeNumber(dialog, kOffsetItem, -kOffsetLimit, kOffsetLimit);
}

// Before a button acts, every edit is checked and taken, so the block is
// exactly what the dialog shows.
void TakeEdits(HostDialog* dialog, CustomKernelSettings& block)
{
    for (int cell = 0; cell < kKernelCells; ++cell)
        TakeCell(dialog, block, cell);
    TakeEdit(dialog, block, kScaleItem);
    TakeEdit(dialog, block, kOffsetItem);
}

// A kernel file replaces the weights, scale and offset only when all of it
// was read and in range; the preview then follows the new kernel.
void LoadKernel(HostDialog* dialog, FilterRecord& record, CustomKernelSettings& block)
{
    int16_t weights[kKernelCells] = {};
    int16_t scale = 0, offset = 0;
    const bool loaded = LoadSettingsFile(kKernelFile, [&](SettingsFileStream& file) {
        for (int16_t& weight : weights)
            file.Read(weight, -kWeightLimit, kWeightLimit);
        file.Read(scale, 1, kScaleLimit);
        file.Read(offset, -kOffsetLimit, kOffsetLimit);
    });
    if (!loaded)
        return;
    record.hostProc->StopPreview();
    for (int cell = 0; cell < kKernelCells; ++cell)
        SetWeight(block, cell, weights[cell]);
    block.scale = scale;
    block.offset = offset;
    ShowKernel(dialog, block);
    record.hostProc->RegisterFilterEntry(CustomEntry, 0);
}

void SaveKernel(const CustomKernelSettings& block)
{
    SaveSettingsFile(kKernelFile, [&](SettingsFileStream& file) {
        for (int16_t weight : block.weights)
            file.Write(weight);
        file.Write(block.scale);
        file.Write(block.offset);
    });
}

uint8_t CustomDialogProc(HostDialog* dialog, int32_t item, uint32_t event)
{
    FilterRecord& record = DialogRecord(dialog);
    CustomKernelSettings& block = BlockOf(record);
    switch (event) {
    case kDialogInit:
        ShowKernel(dialog, block);
        Dialogs().SetItemValue(dialog, kItemPreview, block.previewEnable);
        return 1;
    case kDialogValueChanged:
        if (!IsEditItem(item))
            return 0;
        record.hostProc->StopPreview();
        TakeEdit(dialog, block, item);
        return 1;
    case kDialogItemHit:
        if (item == kLoadButton || item == kSaveButton || item == kItemOk) {
            record.hostProc->StopPreview();
            TakeEdits(dialog, block);
        }
        if (item == kLoadButton) {
            LoadKernel(dialog, record, block);
            return 1;
        }
        if (item == kSaveButton) {
            SaveKernel(block);
            return 1;
        }
        return HandleSimpleDialogEvent(dialog, item, event, block.previewEnable);
    default: return HandleSimpleDialogEvent(dialog, item, event, block.previewEnable);
    }
}

int16_t CustomDialog(FilterRecord& record, CustomKernelSettings&)
{
    return RunFilterDialog(kCustomDialog, kCustomTitle, CustomDialogProc, record);
}

// ---------------------------------------------------------------------------
// The pass: one plane at a time, bands of rows.

void CustomBands(const Band* band, FilterRecord* record)
{
    const CustomKernelSettings& block = BlockOf(*record);
    const BandAddress a = AddressBand(*band, *record, 1);
    Convolve5x5(a.rows, a.columns, a.source, a.sourceRowBytes, a.destination, a.destinationRowBytes, block.weights,
                block.scale, block.offset);
}

constexpr SettingsFilter<CustomKernelSettings> kCustom{
    .filterId = kCustomId,
    .aboutTitle = 18042,
    .defaults = CustomDefaults,
    .derive = CustomDerive,
    .toValues = CustomToValues,
    .fromValues = CustomFromValues,
    .dialog = CustomDialog,
    .scriptingSize = 0,
    .fromScriptingBlock = nullptr,
    .pass = {.halo = 2, .transparency = Transparency::kFilter, .bands8 = CustomBands, .overwritesOutput = true},
};

// Sums are gathered for this many columns at a time, tap by tap, so the
// inner loops run over contiguous samples and the sums stay in cache.
constexpr int32_t kColumnsPerChunk = 256;

}  // namespace

bool ReadKernelCell(const char* text, int16_t& weight, bool& used)
{
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (blank(*text))
        ++text;
    if (*text == '\0') {
        weight = 0;
        used = false;
        return true;
    }
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || std::isnan(value))
        return false;
    while (blank(*end))
        ++end;
    if (*end != '\0')
        return false;
    weight = int16_t(std::clamp(std::trunc(value), double(-kWeightLimit), double(kWeightLimit)));
    used = true;
    return true;
}

void Convolve5x5(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes, uint8_t* destination,
                 int32_t destinationRowBytes, const int16_t (&weights)[25], int scale, int offset)
{
    if (scale == 0) {
        CopyBand(rows, columns, source, sourceRowBytes, destination, destinationRowBytes);
        return;
    }
    // Only cells with a weight cost time: the default kernel has five.
    struct Tap {
        intptr_t at;  // from the centre sample, in bytes
        int32_t weight;
    } taps[kKernelCells];
    int tapCount = 0;
    for (int cell = 0; cell < kKernelCells; ++cell)
        if (weights[cell] != 0)
            taps[tapCount++] = {(cell / kKernelSide - 2) * intptr_t(sourceRowBytes) + (cell % kKernelSide - 2),
                                weights[cell]};

    const double divisor = scale;
    int32_t sums[kColumnsPerChunk];
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* centre = source + y * intptr_t(sourceRowBytes);
        uint8_t* out = destination + size_t(y) * size_t(destinationRowBytes);
        for (int32_t first = 0; first < columns; first += kColumnsPerChunk) {
            const int32_t count = std::min(kColumnsPerChunk, columns - first);
            std::fill_n(sums, count, 0);
            for (int t = 0; t < tapCount; ++t) {
                const uint8_t* in = centre + first + taps[t].at;
                const int32_t weight = taps[t].weight;
                for (int32_t x = 0; x < count; ++x)
                    sums[x] += weight * in[x];
            }
            // The quotient truncated toward zero (-7 / 2 is -3). Dividing in
            // doubles vectorizes where integer division does not, and is
            // exact here: |sum| < 2^23, so a quotient that is not a whole
            // number lies at least 1 / 9999 from one, far beyond rounding.
            for (int32_t x = 0; x < count; ++x)
                out[first + x] = uint8_t(std::clamp(offset + int32_t(double(sums[x]) / divisor), 0, 255));
        }
    }
}

const FilterEntry CustomEntry = SettingsFilterProtocol<CustomKernelSettings, kCustom>::Entry;

}  // namespace px
