// The host stand-in: loads a filter module, answers its services, keeps its
// registrations and menu commands, and runs its filters on host images.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/HostServices.h"
#include "host/ResourceFile.h"
#include "pictra/Descriptor.h"
#include "pictra/Dialogs.h"
#include "pictra/Image.h"
#include "pictra/Pipl.h"

namespace pictra {

class ThreadPool;
class SettingsStore;

// A failure the user must hear about: a module that will not load, a filter
// that does not exist or does not take the image's mode.
struct HostError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The meaning of a filter result code, for messages.
std::string DescribeResult(int16_t result);

struct Registration {
    int16_t filterId = 0;
    int32_t commandId = 0;
    int16_t groupId = 0;
    int32_t flagA = 0;
    int32_t flagB = 0;
};

struct MenuCommand {
    std::string label;
    uint32_t kind = 0;
    int32_t commandNumber = 0;
    int32_t helpId = 0;
    int32_t menuId = 0;  // 0 until placed in a menu
};

// A menu item as the module sees it through kToolUpdateCommandItem.
struct MenuItem {
    bool enabled = false;
};

struct HostSettings {
    uint8_t versionFlag = 1;  // 0 plays a host older than the module
    bool scientific = true;  // answer to capability 4
    int threads = 0;  // band workers; 0 = one per core
    std::string settingsPath;  // the settings store's database file; empty = DefaultSettingsPath()
};

// The settings database when none is named: $PICTRA_SETTINGS, else
// $XDG_CONFIG_HOME/pictra/settings.db, else ~/.config/pictra/settings.db.
std::string DefaultSettingsPath();

struct RunOptions {
    std::optional<Rect16> rect;  // the area to filter; the whole image by default
    const Image* mask = nullptr;  // 8-bit grayscale selection of the image's size
    int tileSize = 0;  // tiles of this many pixels a side; 0 = one tile
    int bandCount = 16;  // bands per pass, 1 to 16
    const HostDescriptor* descriptor = nullptr;  // settings to play back instead of the stored ones
    bool showDialog = false;  // as from the menu: the dialog, then the settings saved
    // A failed run leaves the image as it was. Callers that drop the image on
    // failure turn this off, so pointwise filters can work in place.
    bool restoreOnFailure = true;
    std::function<void(uint32_t done, uint32_t total)> progress;
    std::function<bool()> abort;
};

class Host {
public:
    explicit Host(HostSettings settings = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Loads the module and sends it kToolInit. Throws HostError.
    void loadModule(const std::string& path, const std::string& toolName = "RUREROZI.PXT");
    // One call of the module's stdtool.
    int32_t callTool(uint32_t selector, void* argument);
    // One call of a filter entry, with this host answering its services.
    void callEntry(FilterEntry entry, int16_t selector, FilterRecord& record, intptr_t& data, int16_t& result);

    // The entry the module hands out for a filter id, or null.
    FilterEntry filterEntry(int32_t filterId);
    // The module's property list for a filter id.
    std::optional<FilterProperties> properties(int32_t filterId) const;
    // A filter's settings as users name them; empty for a filter without settings.
    std::vector<SettingInfo> settingsOf(int32_t filterId) const;
    // Registered filters with their properties, in registration order.
    std::vector<FilterProperties> registeredFilters() const;

    // Every registration the host accepted, in the order the module made them.
    const std::deque<Registration>& registrations() const { return registrations_; }
    const std::deque<MenuCommand>& commands() const { return commands_; }

    // Runs a filter on `image` in place, selector by selector. Returns the
    // filter's result; on a non-zero result the image is left as it was.
    // Throws HostError when the filter does not exist or does not take the image's mode.
    int16_t runFilter(int32_t filterId, Image& image, const RunOptions& options = {});
    // The same for any entry, without the module's property list; the
    // parameter block is kept under `filterId`.
    int16_t runEntry(int32_t filterId, FilterEntry entry, Image& image, const RunOptions& options = {});

    // The settings the last successful run recorded, null when it recorded none.
    std::unique_ptr<HostDescriptor> recordedDescriptor;

    // Dialogs: the script the headless dialog plays, what went wrong with it,
    // and what it showed.
    std::vector<DialogAction> dialogScript;
    std::string dialogError;
    std::function<void(const std::string& title, const std::vector<DialogItemState>& items)> onDialogOpened;
    std::vector<DialogItemState> lastDialogItems;
    int canCloseRefusals = 0;  // CanCloseDialog says no this many times
    bool livePreview = true;  // the image follows every dialog change
    std::optional<Image> previewImage;  // what the last preview showed
    int32_t cursor = kCursorArrow;  // the pointer's shape a dialog set last
    bool mouseCaptured = false;

    // The file dialog answers with these paths, in order; none left is Cancel.
    std::deque<std::string> fileAnswers;
    std::vector<std::string> fileRequests;  // the titles of the file dialogs shown

    // The host's own resources (strings, bitmaps, cursors); modules fall back on them.
    ResourceFile* resources() { return &hostResources_; }

    // The settings store, opened on first use at settings.settingsPath.
    SettingsStore& settingsStore();

    // What the module showed, for tests and the command line.
    std::vector<std::string> alerts;
    std::vector<std::string> statusTexts;
    // Failures the module reported through the error alert (a settings file
    // that could not be loaded or saved); the caller reports them.
    std::vector<std::string> errorAlerts;
    int capabilityQueries = 0;
    // Problems the host worked around (an unreadable settings store read as empty).
    std::vector<std::string> warnings;
    // The first settings write that failed (the store was left as it was), empty
    // while all succeed. The module cannot be told, so whoever runs it reports this.
    std::string storeError;
    int beeps = 0;
    // The button ShowAlert answers (1-based); the host has no one to ask.
    int alertAnswer = 1;
    // Alerts are also printed on stderr.
    bool echoAlerts = true;
    // Filter ids whose registration the host refuses.
    std::vector<int16_t> refusedFilters;
    // The active image, for CurrentImage and the command menu state.
    Image* currentImage = nullptr;
    bool currentImageHasSelection = false;

    HostSettings settings;

    // The host's pieces the services reach; internal to the host library.
    struct Services;
    struct Run;

private:
    friend struct Services;
    friend struct Run;

    void* module_ = nullptr;
    int32_t (*stdtool_)(ToolParamBlock*) = nullptr;
    std::string toolName_;
    ResourceFile moduleResources_;
    ResourceFile hostResources_;
    HostGlobals globals_{};
    std::deque<Registration> registrations_;  // handles handed to the module stay put
    std::deque<MenuCommand> commands_;
    std::map<int32_t, void*> parameterBlocks_;  // kept across runs, as the module expects
    std::unique_ptr<ThreadPool> pool_;
    Image snapshot_;  // the image before the run, reused between runs
    std::unique_ptr<SettingsStore> store_;
};

}  // namespace pictra
