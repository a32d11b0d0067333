#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fmt/format.h>

#include "HostInternal.h"
#include "ThreadPool.h"
#include "pictra/PixelRoutines.h"
#include "pictra/SettingsStore.h"

namespace pictra {

thread_local Host* tActiveHost = nullptr;
thread_local Host::Run* tActiveRun = nullptr;

std::string DescribeResult(int16_t result)
{
    switch (result) {
    case kNoErr: return "no error";
    case kFailedErr: return "the filter failed (-1)";
    case kUserCanceledErr: return "cancelled by the user (-128)";
    case kMemFullErr: return "not enough memory (-108)";
    case kParamErr: return "the filter asked the host for something impossible (-50)";
    case kMissingChannelErr: return "a channel the filter needs is missing (-5555)";
    default: return fmt::format("the filter failed with error {}", result);
    }
}

// ---------------------------------------------------------------------------
// Blocks.

namespace {
constexpr size_t kBlockHeader = 16;  // keeps the block's data 16-byte aligned
}

// Blocks come from the planes' allocator: a filter's plane-sized scratch is
// then mapped in huge pages, so its first touch costs a few faults instead
// of thousands.
int16_t NewHostBlock(void** block, int32_t size)
{
    if (!block || size < 0)
        return kParamErr;
    uint8_t* memory = nullptr;
    try {
        memory = static_cast<uint8_t*>(AllocatePlaneMemory(kBlockHeader + size_t(size)));
    } catch (const std::bad_alloc&) {
        return kMemFullErr;
    }
    std::memcpy(memory, &size, sizeof size);
    *block = memory + kBlockHeader;
    return kNoErr;
}

void FreeHostBlock(void* block)
{
    if (block)
        FreePlaneMemory(static_cast<uint8_t*>(block) - kBlockHeader, kBlockHeader + size_t(HostBlockSize(block)));
}

int32_t HostBlockSize(const void* block)
{
    if (!block)
        return 0;
    int32_t size = 0;
    std::memcpy(&size, static_cast<const uint8_t*>(block) - kBlockHeader, sizeof size);
    return size;
}

namespace {

int16_t ResizeHostBlock(void** block, int32_t size)
{
    if (!block || size < 0)
        return kParamErr;
    void* resized = nullptr;
    if (const int16_t error = NewHostBlock(&resized, size); error != kNoErr)
        return error;
    if (*block) {
        std::memcpy(resized, *block, size_t(std::min(size, HostBlockSize(*block))));
        FreeHostBlock(*block);
    }
    *block = resized;
    return kNoErr;
}

// ---------------------------------------------------------------------------
// Services. Each finds its host through tActiveHost.

Host& ActiveHost() { return *tActiveHost; }

void MessageBeep(int32_t) { ++ActiveHost().beeps; }

void* CreateCommand(const HostCommandDesc* desc)
{
    MenuCommand command;
    command.label = desc->label ? desc->label : "";
    command.kind = desc->kind;
    command.commandNumber = desc->commandNumber;
    command.helpId = desc->helpId;
    return &const_cast<std::deque<MenuCommand>&>(ActiveHost().commands()).emplace_back(command);
}

int16_t AddCommandToMenu(int32_t menuId, void* command)
{
    static_cast<MenuCommand*>(command)->menuId = menuId;
    return kNoErr;
}

void EnableMenuItem(void* item, int32_t enable) { static_cast<MenuItem*>(item)->enabled = enable != 0; }
void DisableMenuItem(void* item) { static_cast<MenuItem*>(item)->enabled = false; }

// The host has no one to ask: it prints the alert and answers with the
// button it was told to.
int32_t ShowAlert(const char* message, const char* button1, const char*, const char*)
{
    Host& host = ActiveHost();
    host.alerts.emplace_back(message ? message : "");
    if (host.echoAlerts)
        std::fprintf(stderr, "%s [%s]\n", host.alerts.back().c_str(), button1 ? button1 : "");
    return host.alertAnswer;
}

void ShowStatusText(const char* text, int32_t, int32_t) { ActiveHost().statusTexts.emplace_back(text ? text : ""); }

void* CurrentImage() { return ActiveHost().currentImage; }

// The record of the host's current image; the run's record for its image map.
const HostImageRecord* GetImageRecord(const void* imageOrMap)
{
    if (tActiveRun && imageOrMap == static_cast<const void*>(tActiveRun))
        return RunImageRecord(*tActiveRun);
    Host& host = ActiveHost();
    if (!imageOrMap || imageOrMap != host.currentImage)
        return nullptr;
    static thread_local HostImageRecord record;
    record = HostImageRecord{};
    record.mode = host.currentImage->mode();
    record.selectionState = host.currentImageHasSelection ? 2 : 0;
    record.colourChannels = host.currentImage->colourPlanes();
    record.channelCount = host.currentImage->planeCount();
    return &record;
}

int32_t QueryCapability(int32_t capability)
{
    Host& host = ActiveHost();
    ++host.capabilityQueries;
    return capability == 4 && host.settings.scientific ? 1 : 0;
}

void SetFilterOptions(void* registration, int32_t flagA, int32_t flagB)
{
    auto* handle = static_cast<Registration*>(registration);
    handle->flagA = flagA;
    handle->flagB = flagB;
}

// PICA: the host hands out the session suite; acquires and releases are
// counted so a leak shows.
int32_t SessionChannelCount(HostImageMap* map)
{
    const HostImageRecord* record = GetImageRecord(map);
    return record ? record->channelCount : 0;
}

uint8_t SessionChannelTargeted(HostImageMap* map, int32_t channel)
{
    const HostImageRecord* record = GetImageRecord(map);
    return record && channel >= 0 && channel < record->channelCount ? record->channels[channel].targeted : 0;
}

const PESessionSuite kSessionSuite{SessionChannelCount, SessionChannelTargeted};

int16_t AcquireSuite(const char* name, int32_t version, const void** suite)
{
    if (!name || !suite || std::strcmp(name, kPESessionSuiteName) != 0 || version != 1)
        return kFailedErr;
    *suite = &kSessionSuite;
    return kNoErr;
}

int16_t ReleaseSuite(const char*, int32_t) { return kNoErr; }

const PicaBasicSuite kBasicSuite{AcquireSuite, ReleaseSuite};

int16_t GetBasicSuite(const PicaBasicSuite** suite)
{
    *suite = &kBasicSuite;
    return kNoErr;
}

}  // namespace

struct Host::Services {
    static void* RegisterFilterModule(int16_t toolId, int16_t filterId, int32_t commandId, int32_t, int16_t groupId)
    {
        Host& host = ActiveHost();
        (void)toolId;
        if (std::find(host.refusedFilters.begin(), host.refusedFilters.end(), filterId) != host.refusedFilters.end())
            return nullptr;
        Registration& handle = host.registrations_.emplace_back();
        handle.filterId = filterId;
        handle.commandId = commandId;
        handle.groupId = groupId;
        return &handle;
    }
};

HostCallbackTable* CallbackTable()
{
    static const HostPlatformTable platform{FreeHostBlock, HostBlockSize, ResizeHostBlock, MessageBeep};
    static const HostUiTable ui{CreateCommand, AddCommandToMenu, EnableMenuItem, DisableMenuItem};
    static HostCallbackTable table{
        .platform = &platform,
        .ui = &ui,
        .dialogs = DialogServiceTable(),
        .files = FileServiceTable(),
        .ShowAlert = ShowAlert,
        .ShowStatusText = ShowStatusText,
        .CurrentImage = CurrentImage,
        .RegisterFilterModule = Host::Services::RegisterFilterModule,
        .GetImageRecord = GetImageRecord,
        .NewBlock = NewHostBlock,
        .GetBasicSuite = GetBasicSuite,
        .SetFilterOptions = SetFilterOptions,
        .QueryCapability = QueryCapability,
        .SetStoreString = store_services::SetString,
        .SetStoreInt = store_services::SetInt,
        .SetStoreDouble = store_services::SetDouble,
        .SetStoreBytes = store_services::SetBytes,
        .GetStoreString = store_services::GetString,
        .GetStoreInt = store_services::GetInt,
        .GetStoreDouble = store_services::GetDouble,
        .GetStoreBytes = store_services::GetBytes,
        .DeleteStoreKeys = store_services::DeleteKeys,
        .EnumerateStoreKeys = store_services::EnumerateKeys,
        .RenameStoreKey = store_services::RenameKey,
    };
    return &table;
}

// ---------------------------------------------------------------------------

Host::Host(HostSettings hostSettings) : settings(hostSettings)
{
    hostResources_.addString(10004, "OK");
    globals_.resourceInstance = &hostResources_;
    globals_.pixelRoutines = &PixelRoutineTable();
    const int threads =
        settings.threads > 0 ? settings.threads : int(std::max(1u, std::thread::hardware_concurrency()));
    pool_ = std::make_unique<ThreadPool>(threads);
}

Host::~Host()
{
    for (auto& [id, block] : parameterBlocks_)
        FreeHostBlock(block);
    if (module_)
        dlclose(module_);
}

void Host::loadModule(const std::string& path, const std::string& toolName)
{
    module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module_)
        throw HostError(fmt::format("cannot load the filter module {}: {}", path, dlerror()));
    stdtool_ = reinterpret_cast<int32_t (*)(ToolParamBlock*)>(dlsym(module_, "stdtool"));
    if (!stdtool_)
        throw HostError(fmt::format("{} is not a filter module: it has no stdtool", path));
    const std::string resources = path.substr(0, path.find_last_of('.')) + ".rsrc";
    if (!moduleResources_.load(resources))
        throw HostError(fmt::format("the filter module's resources {} are missing or damaged", resources));
    toolName_ = toolName;
    registrations_.clear();
    commands_.clear();
    callTool(kToolInit, nullptr);
}

int32_t Host::callTool(uint32_t selector, void* argument)
{
    globals_.versionFlag = settings.versionFlag;
    ToolParamBlock block{toolName_.c_str(), argument, selector, 1, &globals_, CallbackTable()};
    ActiveScope scope(this, tActiveRun);
    return stdtool_(&block);
}

void Host::callEntry(FilterEntry entry, int16_t selector, FilterRecord& record, intptr_t& data, int16_t& result)
{
    ActiveScope scope(this, tActiveRun);
    entry(selector, &record, &data, &result);
}

FilterEntry Host::filterEntry(int32_t filterId)
{
    FilterEntryRequest request{filterId, nullptr};
    callTool(kToolGetFilterEntry, &request);
    return request.entry;
}

std::optional<FilterProperties> Host::properties(int32_t filterId) const
{
    const ResourceFile::Bytes* bytes = moduleResources_.find(kResourcePIPL, filterId);
    return bytes ? ParsePipl(filterId, *bytes) : std::nullopt;
}

std::vector<SettingInfo> Host::settingsOf(int32_t filterId) const
{
    const ResourceFile::Bytes* bytes = moduleResources_.find(kResourceSettings, filterId);
    if (!bytes)
        return {};
    std::optional<std::vector<SettingInfo>> settings = ParseSettings(*bytes);
    if (!settings)
        throw HostError(fmt::format("the module's settings of filter {} are damaged", filterId));
    return *settings;
}

std::vector<FilterProperties> Host::registeredFilters() const
{
    std::vector<FilterProperties> filters;
    for (const Registration& registration : registrations_)
        if (auto p = properties(registration.filterId))
            filters.push_back(*p);
    return filters;
}

}  // namespace pictra
