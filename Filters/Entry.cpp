// The module's single export. Every request of the host arrives here: start-up
// registration, the lookup of a filter's entry, and the selection commands.
#include <array>
#include <cstdio>
#include <span>

#include "FilterEntries.h"
#include "framework/Module.h"

namespace px {

namespace {

constexpr int32_t kCapabilityScientific = 4;
constexpr int32_t kCommandMenu = 1232;

// flagB of a registration: a fixed value, or the host's answer to the
// scientific capability asked afresh at that registration.
constexpr int32_t kAskCapability = -1;

struct Registration {
    int16_t filterId;
    int16_t group;
    int32_t flagA;
    int32_t flagB;
};

// Registered at start-up, in this order.
constexpr Registration kFilters[] = {
    {16000, 0, 0, 0},  // Blur
    {16010, 0, 0, 0},  // Blur More
    {16020, 0, 1, 0},  // Gaussian Blur
    {16030, 0, 1, kAskCapability},  // Average
    {16110, 0, 1, kAskCapability},  // Median
    {16120, 0, 1, 0},  // Dust & Scratches
    {16130, 0, 1, 0},  // Despeckle
    {16300, 0, 1, 0},  // Sharpen
    {16310, 0, 1, 0},  // Sharpen More
    {16320, 0, 1, 0},  // Sharpen Edges
    {16330, 0, 1, 0},  // Unsharp Mask
    {16400, 0, 0, 0},  // Solarize
    {16500, 0, 0, 0},  // Custom
    {16510, 0, 1, kAskCapability},  // Maximum
    {16520, 0, 1, kAskCapability},  // Minimum
    {16530, 0, 1, 0},  // High Pass
    {17200, 0, 0, 0},  // Desaturate
    {16900, 0, 1, 0},  // Invert
    {16910, 0, 0, 0},  // Threshold
    {16920, 0, 0, 0},  // Posterize
};

// Registered only when the host has the scientific capability, or instead
// of them, the filters of a host without it.
constexpr std::array<Registration, 0> kScientificFilters{};
constexpr std::array<Registration, 0> kNonScientificFilters{};

FilterEntry LookUpFilter(int32_t filterId)
{
    switch (filterId) {
    case 16000: return BlurEntry;
    case 16005: return BlurEdgesEntry;
    case 16010: return BlurMoreEntry;
    case 16020: return GaussianBlurEntry;
    case 16030: return AverageEntry;
    case 16110: return MedianEntry;
    case 16120: return DustAndScratchesEntry;
    case 16130: return DespeckleEntry;
    case 16300: return SharpenEntry;
    case 16310: return SharpenMoreEntry;
    case 16320: return SharpenEdgesEntry;
    case 16330: return UnsharpMaskEntry;
    case 16400: return SolarizeEntry;
    case 16500: return CustomEntry;
    case 16510: return MaximumEntry;
    case 16520: return MinimumEntry;
    case 16530: return HighPassEntry;
    case 16900: return InvertEntry;
    case 16910: return ThresholdEntry;
    case 16920: return PosterizeEntry;
    case 17200: return DesaturateEntry;
    case 18000: return AnalyzerEntryPoint;
    default: return nullptr;
    }
}

// Registers one filter; false when the host refuses it.
bool RegisterFilter(int16_t toolId, int16_t filterId, int32_t commandId, int16_t groupId, int32_t flagA, int32_t flagB)
{
    void* registration = Host().RegisterFilterModule(toolId, filterId, commandId, 1, groupId);
    if (!registration)
        return false;
    if (flagA != 0 || flagB != 0)
        Host().SetFilterOptions(registration, flagA, flagB);
    return true;
}

void RegisterAll(std::span<const Registration> rows)
{
    for (const Registration& row : rows) {
        const int32_t flagB = row.flagB == kAskCapability ? Host().QueryCapability(kCapabilityScientific) : row.flagB;
        RegisterFilter(gModule.toolId, row.filterId, row.filterId, row.group, row.flagA, flagB);
    }
}

void CreateSelectionCommand(int32_t labelString, int32_t commandNumber, int32_t helpId)
{
    HostCommandDesc desc{};
    desc.owner = gModule.hostGlobals->resourceInstance;
    desc.label = LoadResString(labelString);
    desc.kind = FourCC("filt");
    desc.commandNumber = commandNumber;
    desc.flag = 1;
    desc.helpId = helpId;
    if (void* command = Host().ui->CreateCommand(&desc))
        Host().ui->AddCommandToMenu(kCommandMenu, command);
}

void Initialise()
{
    RegisterAll(kFilters);
    if (Host().QueryCapability(kCapabilityScientific) != 0)
        RegisterAll(kScientificFilters);
    else
        RegisterAll(kNonScientificFilters);
    CreateSelectionCommand(18040, kCommandColorRange, 17017);
    CreateSelectionCommand(18053, kCommandFeather, 17018);
}

// "Could not load the tool named X because ..." in a 255-byte buffer: a name
// too long for it is cut.
void RefuseOldHost(const char* toolName)
{
    char message[255];
    std::snprintf(message, sizeof message,
                  "Could not load the tool named %s because the Pictra application is an older version.",
                  toolName ? toolName : "");
    Host().ShowAlert(message, "OK", "", "");
}

void UpdateCommandItem(const CommandRequest& request)
{
    void* image = Host().CurrentImage();
    const HostImageRecord* record = image ? Host().GetImageRecord(image) : nullptr;
    bool enable = false;
    if (record && request.commandNumber == kCommandColorRange)
        enable = record->mode != kModeBitmap && record->mode != kModeMultichannel;
    else if (record && request.commandNumber == kCommandFeather)
        enable = record->selectionState == 2;
    if (enable)
        Host().ui->EnableMenuItem(request.menuItem, 1);
    else
        Host().ui->DisableMenuItem(request.menuItem);
}

void ShowCommandHelp(const CommandRequest& request)
{
    int32_t text = 0;
    switch (request.commandNumber) {
    case kCommandFeather: text = 18093; break;
    case kCommandColorRange: text = 18092; break;
    case 16430: text = 18120; break;
    default: return;
    }
    Host().ShowStatusText(LoadResString(text), 1, 1);
}

int32_t Dispatch(ToolParamBlock& block)
{
    switch (block.selector) {
    case kToolInit:
        if (block.hostGlobals->versionFlag == 0) {
            RefuseOldHost(block.toolName);
            return 0;
        }
        Initialise();
        return 0;
    case kToolGetFilterEntry: {
        auto& request = *static_cast<FilterEntryRequest*>(block.argument);
        if (FilterEntry entry = LookUpFilter(request.filterId))
            request.entry = entry;
        return 0;
    }
    case kToolUpdateCommandItem: UpdateCommandItem(*static_cast<CommandRequest*>(block.argument)); return 0;
    case kToolCommandHelp: ShowCommandHelp(*static_cast<CommandRequest*>(block.argument)); return 0;
    case kToolRunCommand:
    case kToolColorRange:
    case kToolFeather: return 0;
    case kToolCommandInvoke:
    case kToolCommandReplay: return 1;
    default: return 0;
    }
}

}  // namespace
}  // namespace px

// The host's pointers are copied at every call and kept for the filter
// entries the host calls later; the current block is saved and restored so
// that the host may call back in while the module is inside a call.
extern "C" __attribute__((visibility("default"))) int32_t stdtool(ToolParamBlock* block)
{
    using px::gModule;
    ToolParamBlock* const saved = gModule.block;
    gModule.block = block;
    gModule.toolId = block->toolId;
    gModule.hostGlobals = block->hostGlobals;
    gModule.callbacks = block->callbacks;
    const int32_t result = px::Dispatch(*block);
    gModule.block = saved;
    return result;
}
