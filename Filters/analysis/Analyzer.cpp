// Analyzer: an inspection tool, never a change. It captures the top-left
// 256 x 256 pixels of the first plane, lets the user pick a row, fits a gamma
// exponent to the row's profile and writes the row as a 256-entry table of
// source code. Its start always ends with -128, so the image is never touched.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "FilterList.h"
#include "analysis/Analyzer.h"
#include "framework/Dialog.h"
#include "framework/FilterProtocol.h"
#include "framework/Module.h"

namespace px {

namespace {

constexpr int kCaptureSize = 256;
constexpr int16_t kAnalyzerDialog = 5286;
constexpr int32_t kAnalyzerTitle = 18017;
constexpr int32_t kCaptureItem = 100;  // the capture; its value is the row picked on it
constexpr int32_t kGraphItem = 110;
constexpr int32_t kHalfItem = 120;  // 0.5 raised to the exponent
constexpr int32_t kExponentItem = 130;
constexpr int32_t kWriteTableItem = 150;
constexpr int32_t kFitItem = 160;

constexpr int32_t kTableSaveTitle = 19990;
constexpr int32_t kTableFilter = 19991;
constexpr int32_t kTableWriteAction = 19992;

struct AnalyzerState {
    const uint8_t* capture;
    int row = 0;
    double exponent = 1.0;
};

void ShowExponent(HostDialog* dialog, double exponent)
{
    Dialogs().SetItemValue(dialog, kExponentItem, exponent);
    Dialogs().SetItemValue(dialog, kHalfItem, std::pow(0.5, exponent));
    Dialogs().RefreshItem(dialog, kGraphItem);
}

}  // namespace

// The exponent x for which (u)^x best follows the row between its first and
// last values: for every eighth level the exponents that put the curve half
// a level below and above the sample bound it, and the fit is the middle of
// the tightest bounds. Samples at or beyond the end values give no bound.
double FitRowExponent(const uint8_t* row)
{
    const double lo = row[0];
    const double hi = row[255];
    double largestA = 0.0;
    double smallestB = 10.0;
    for (int x = 8; x <= 248; x += 8) {
        const double u = x / 255.0;
        const double v = row[x];
        const double below = (v - lo - 0.5) / (hi - lo);
        const double above = (v - lo + 0.5) / (hi - lo);
        if (!(below > 0) || !(above > 0))
            continue;
        const double a = std::log(below) / std::log(u);
        const double b = std::log(above) / std::log(u);
        const double boundA = hi - lo > 0 ? a : b;
        const double boundB = hi - lo > 0 ? b : a;
        largestA = std::max(largestA, boundA);
        smallestB = std::min(smallestB, boundB);
    }
    return (largestA + smallestB) / 2.0;
}

// "static unsigned char gLut[256]=\n{\n", 16 lines of 16 values, "};\n".
std::string LookupTableText(const uint8_t* row)
{
    std::string text = "static unsigned char gLut[256]=\n{\n";
    char value[8];
    for (int i = 0; i < 256; ++i) {
        const char* format = i == 255 ? "%d\n" : (i % 16 == 15 ? "%d,\n" : "%d, ");
        std::snprintf(value, sizeof value, format, row[i]);
        text += value;
    }
    return text + "};\n";
}

namespace {

void WriteTable(const AnalyzerState& state)
{
    const HostFileServices& files = *Host().files;
    FileDialogRequest request{
        1, LoadResString(kTableSaveTitle), LoadResString(kTableFilter), ".h", FourCC("TEXT"), FourCC("DUD9")};
    char path[1024];
    if (files.ChooseFile(&request, path, sizeof path) != kNoErr)
        return;
    int16_t error = kNoErr;
    HostStream* stream = files.OpenStream(path, 1, &error);
    if (stream) {
        const std::string text = LookupTableText(state.capture + state.row * kCaptureSize);
        files.WriteBytes(stream, text.data(), int32_t(text.size()));
        error = files.CloseStream(stream);
    }
    if (error != kNoErr)
        files.ShowErrorAlert(error, LoadResString(kTableWriteAction));
}

uint8_t AnalyzerDialogProc(HostDialog* dialog, int32_t item, uint32_t event)
{
    auto& state = *static_cast<AnalyzerState*>(Dialogs().GetDialogData(dialog));
    switch (event) {
    case kDialogInit:
        Dialogs().SetItemValue(dialog, kCaptureItem, state.row);
        ShowExponent(dialog, state.exponent);
        return 1;
    case kDialogValueChanged:
        if (item == kCaptureItem) {
            state.row = std::clamp(int(Dialogs().GetItemValue(dialog, kCaptureItem)), 0, kCaptureSize - 1);
            Dialogs().SetItemValue(dialog, kCaptureItem, state.row);
            Dialogs().RefreshItem(dialog, kGraphItem);
        } else if (item == kExponentItem) {
            state.exponent = Dialogs().GetItemValue(dialog, kExponentItem);
            ShowExponent(dialog, state.exponent);
        } else if (item == kHalfItem) {
            const double half = Dialogs().GetItemValue(dialog, kHalfItem);
            if (half > 0.0 && half < 1.0) {
                state.exponent = std::log(half) / std::log(0.5);
                ShowExponent(dialog, state.exponent);
            }
        } else {
            return 0;
        }
        return 1;
    case kDialogItemHit:
        switch (item) {
        case kFitItem:
            state.exponent = FitRowExponent(state.capture + state.row * kCaptureSize);
            ShowExponent(dialog, state.exponent);
            return 1;
        case kWriteTableItem: WriteTable(state); return 1;
        case kItemOk:
        case kItemCancel: Dialogs().EndModalDialog(dialog, item == kItemOk ? kNoErr : kUserCanceledErr); return 1;
        default: return 0;
        }
    default: return 0;
    }
}

// Capture, dialog, and always -128: nothing is ever written to the image.
int16_t AnalyzerStart(FilterRecord& record)
{
    void* block = nullptr;
    if (const int16_t error = Host().NewBlock(&block, kCaptureSize * kCaptureSize); error != kNoErr)
        return error;
    auto* capture = static_cast<uint8_t*>(block);
    std::memset(capture, 255, kCaptureSize * kCaptureSize);

    Rect16 area = record.filterRect;
    area.bottom = std::min<int16_t>(area.bottom, kCaptureSize);
    area.right = std::min<int16_t>(area.right, kCaptureSize);
    if (!area.empty() && RequestInput(record, area, 0, 0) == kNoErr) {
        const auto* in = static_cast<const uint8_t*>(record.inData);
        for (int32_t y = 0; y < record.inRect.height(); ++y)
            std::memcpy(capture + (record.inRect.top + y) * kCaptureSize + record.inRect.left,
                        in + size_t(y) * record.inRowBytes, size_t(record.inRect.width()));
    }
    record.inRect = Rect16{};

    AnalyzerState state{capture};
    RunDialog(kAnalyzerDialog, kAnalyzerTitle, AnalyzerDialogProc, &state);
    Host().platform->FreeBlock(block);
    return kUserCanceledErr;
}

constexpr PlainFilter kAnalyzer{.aboutTitle = kAnalyzerTitle, .start = AnalyzerStart};

}  // namespace

constinit const FilterUnit AnalyzerFilter = PlainFilterUnit<kAnalyzer>();

}  // namespace px
