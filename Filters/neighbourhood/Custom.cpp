// Custom: every sample becomes offset + (the 5 x 5 neighbourhood weighted by
// the user's integer kernel) / scale, truncated toward zero and clamped to
// 0..255; a scale of 0 leaves the image as it is. It works on 8-bit samples
// (deep images through their 8-bit rendition) and filters every plane,
// transparency too. A two-pixel halo of edge copies gives border pixels a
// full neighbourhood. Kernels are kept in the settings store and travel as
// ".ACF" files: 27 big-endian 16-bit values, the weights row by row from
// the top left, then the scale, then the offset.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "FilterList.h"
#include "neighbourhood/Custom.h"
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

// The settings: the scale, the offset, then the 25 weights row by row
// (scripting keys "Wt00" to "Wt24"; the command line's weights[0] to
// weights[24]). A weight that arrives from anywhere but its cell (a script,
// a file, the defaults) fills the cell where it is non-zero.

struct WeightTexts {
    char names[kKernelCells][12];
    char descriptions[kKernelCells][44];
};

constexpr void Append(char*& out, const char* text)
{
    while (*text)
        *out++ = *text++;
}

constexpr WeightTexts kWeightTexts = [] {
    WeightTexts texts{};
    for (int cell = 0; cell < kKernelCells; ++cell) {
        char* name = texts.names[cell];
        Append(name, "weights[");
        if (cell >= 10)
            *name++ = char('0' + cell / 10);
        *name++ = char('0' + cell % 10);
        *name = ']';
        char* description = texts.descriptions[cell];
        if (cell == 12) {
            Append(description, "weight of the kernel's centre");
            continue;
        }
        Append(description, "weight of the kernel's row ");
        *description++ = char('1' + cell / kKernelSide);
        Append(description, ", column ");
        *description = char('1' + cell % kKernelSide);
    }
    return texts;
}();

constexpr uint32_t WeightKey(int cell)
{
    const char code[5] = {'W', 't', char('0' + cell / 10), char('0' + cell % 10), '\0'};
    return FourCC(code);
}

constexpr double DefaultWeight(int cell) { return cell == 12 ? 1 : cell == 7 || cell == 11 || cell == 13 || cell == 17 ? -5 : 0; }

constexpr auto kCustomSettings = [] {
    std::array<Setting, 2 + kKernelCells> rows{};
    rows[0] = {.name = "scale",
               .key = FourCC("Scl "),
               .minimum = 0,
               .maximum = kScaleLimit,
               .defaultValue = 1,
               .description = "divisor of the weighted sum; 0 leaves the image as it is",
               .member = PX_MEMBER(CustomKernelSettings, scale),
               .field = kScaleItem};
    rows[1] = {.name = "offset",
               .key = FourCC("Ofst"),
               .minimum = -kOffsetLimit,
               .maximum = kOffsetLimit,
               .defaultValue = 128,
               .description = "added to the divided sum",
               .member = PX_MEMBER(CustomKernelSettings, offset),
               .field = kOffsetItem};
    for (int cell = 0; cell < kKernelCells; ++cell)
        rows[size_t(2 + cell)] = {
            .name = kWeightTexts.names[cell],
            .key = WeightKey(cell),
            .minimum = -kWeightLimit,
            .maximum = kWeightLimit,
            .defaultValue = DefaultWeight(cell),
            .description = kWeightTexts.descriptions[cell],
            .member = {uint16_t(offsetof(CustomKernelSettings, weights) + 2 * cell), MemberType::kInt16},
            .givenFlag = uint16_t(offsetof(CustomKernelSettings, used) + cell)};
    return rows;
}();
constexpr const Setting& kScaleSetting = kCustomSettings[0];
constexpr const Setting& kOffsetSetting = kCustomSettings[1];

CustomKernelSettings& BlockOf(FilterRecord& record) { return *static_cast<CustomKernelSettings*>(record.parameters); }

// An empty cell weighs nothing, whatever a stored block held there.
void CustomDerive(CustomKernelSettings& block)
{
    for (int cell = 0; cell < kKernelCells; ++cell)
        if (!block.used[cell])
            block.weights[cell] = 0;
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
    ShowSetting(dialog, kScaleSetting, &block);
    ShowSetting(dialog, kOffsetSetting, &block);
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

bool IsCellItem(int32_t item) { return item >= kFirstCellItem && item < kFirstCellItem + kKernelCells; }
bool IsEditItem(int32_t item) { return IsCellItem(item) || item == kScaleItem || item == kOffsetItem; }

// One edited cell or field into the block.
void TakeEdit(HostDialog* dialog, CustomKernelSettings& block, int32_t item)
{
    if (IsCellItem(item))
        TakeCell(dialog, block, item - kFirstCellItem);
    else
        TakeSetting(dialog, item == kScaleItem ? kScaleSetting : kOffsetSetting, &block, item);
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

// A kernel file: the 25 weights row by row, the scale, the offset.
void KernelFileFormat(SettingsFileStream& file, CustomKernelSettings& kernel)
{
    for (int16_t& weight : kernel.weights)
        file.Field(weight, -kWeightLimit, kWeightLimit);
    file.Field(kernel.scale, 1, kScaleLimit);
    file.Field(kernel.offset, -kOffsetLimit, kOffsetLimit);
}

// A kernel file replaces the weights, scale and offset only when all of it
// was read and in range; the preview then follows the new kernel.
void LoadKernel(HostDialog* dialog, FilterRecord& record, CustomKernelSettings& block)
{
    CustomKernelSettings loaded = block;
    if (!LoadSettingsFile(kKernelFile, [&](SettingsFileStream& file) { KernelFileFormat(file, loaded); }))
        return;
    record.hostProc->StopPreview();
    for (int cell = 0; cell < kKernelCells; ++cell)
        loaded.used[cell] = loaded.weights[cell] != 0 ? 1 : 0;
    block = loaded;
    ShowKernel(dialog, block);
    record.hostProc->RegisterFilterEntry(CustomFilter.entry, 0);
}

void SaveKernel(const CustomKernelSettings& block)
{
    CustomKernelSettings saved = block;
    SaveSettingsFile(kKernelFile, [&](SettingsFileStream& file) { KernelFileFormat(file, saved); });
}

uint8_t CustomDialogProc(HostDialog* dialog, int32_t item, uint32_t event)
{
    FilterRecord& record = DialogRecord(dialog);
    CustomKernelSettings& block = BlockOf(record);
    switch (event) {
    case kDialogInit:
        ShowKernel(dialog, block);
        ShowPreviewSetting(dialog, record, kItemPreview, block.previewEnable);
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
        return HandleSimpleDialogEvent(dialog, item, event, kItemPreview, block.previewEnable);
    default: return HandleSimpleDialogEvent(dialog, item, event, kItemPreview, block.previewEnable);
    }
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
    .filterId = 16500,
    .aboutTitle = 18042,
    .settings = kCustomSettings,
    .derive = CustomDerive,
    .dialog = kCustomDialog,
    .dialogTitle = kCustomTitle,
    .dialogProcedure = CustomDialogProc,
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

constinit const FilterUnit CustomFilter = SettingsFilterUnit<kCustom>();

}  // namespace px
