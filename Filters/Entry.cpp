// The module's single export. Every request of the host arrives here: start-up
// registration, the lookup of a filter's entry, and the selection commands.
#include <cstdio>

#include "FilterList.h"
#include "framework/Module.h"

namespace px {

namespace {

constexpr int32_t kCapabilityScientific = 4;
constexpr int32_t kCommandMenu = 1232;

// The selection commands' menu labels, help ids and help lines, and the
// help line of Spherize, which the host asks for through the same selector.
constexpr int32_t kColorRangeLabel = 18040;
constexpr int32_t kColorRangeHelpId = 17017;
constexpr int32_t kColorRangeHelp = 18092;
constexpr int32_t kFeatherLabel = 18053;
constexpr int32_t kFeatherHelpId = 17018;
constexpr int32_t kFeatherHelp = 18093;
constexpr int32_t kSpherizeId = 16430;
constexpr int32_t kSpherizeHelp = 18120;

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

// Registers the rows of one listing, in the list's order.
void RegisterAll(Listing listing)
{
    for (const FilterRow& row : FilterList()) {
        if (row.listing != listing)
            continue;
        const int32_t flagB = row.flagB == kAskCapability ? Host().QueryCapability(kCapabilityScientific) : row.flagB;
        RegisterFilter(gModule.toolId, row.id, row.id, row.group, row.flagA, flagB);
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
    RegisterAll(Listing::kMenu);
    RegisterAll(Host().QueryCapability(kCapabilityScientific) != 0 ? Listing::kScientific : Listing::kNonScientific);
    CreateSelectionCommand(kColorRangeLabel, kCommandColorRange, kColorRangeHelpId);
    CreateSelectionCommand(kFeatherLabel, kCommandFeather, kFeatherHelpId);
}

// "Could not load the tool named X because ..." in a 255-byte buffer: a name
// too long for it is cut.
void RefuseOldHost(const char* toolName)
{
    char message[255];  // the alert's buffer
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
    case kCommandFeather: text = kFeatherHelp; break;
    case kCommandColorRange: text = kColorRangeHelp; break;
    case kSpherizeId: text = kSpherizeHelp; break;
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
        if (const FilterRow* row = FindFilter(request.filterId))
            request.entry = row->unit->entry;
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
