// The host side of the boundary: the block stdtool receives, the host's
// global block, its service tables and the suites it hands out. One line per
// service says what the module relies on; the number is the host's service number.
#pragma once

#include <cstdint>

#include "DialogServices.h"
#include "FileServices.h"
#include "FilterRecord.h"
#include "PixelRoutines.h"
#include "PluginTypes.h"

class ResourceFile;

// stdtool selectors.
enum : uint32_t {
    kToolInit = 7,
    kToolGetFilterEntry = 0x5000005,
    kToolRunCommand = 0xa000028,
    kToolUpdateCommandItem = 0xa000029,
    kToolCommandHelp = 0xa00002a,
    kToolColorRange = 0xb00000d,
    kToolFeather = 0xb00000e,
    kToolCommandInvoke = 0xb00003c,
    kToolCommandReplay = 0xb000048,
};

// Command numbers (kToolRunCommand, menu items) and command ids (invoke, replay).
enum : int32_t {
    kCommandFeather = 1,
    kCommandColorRange = 2,
    kCommandIdColorRange = 24348,
    kCommandIdFeather = 24349,
};

struct HostCallbackTable;

struct HostGlobals {
    uint8_t versionFlag;  // zero on hosts older than this module
    const ResourceFile* resourceInstance;  // the host's own resources (strings)
    const HostPixelRoutines* pixelRoutines;  // the host's pixel routines
};

struct ToolParamBlock {
    const char* toolName;  // the tool's name as the host knows it
    void* argument;  // the selector's argument record
    uint32_t selector;
    int16_t toolId;  // the id the host gave this module
    HostGlobals* hostGlobals;
    HostCallbackTable* callbacks;
};

// Argument records by selector.
struct FilterEntryRequest {
    int32_t filterId;  // in
    FilterEntry entry;  // out; untouched for an unknown id
};

struct CommandRequest {
    void* menuItem;  // kToolUpdateCommandItem only
    int32_t commandNumber;  // kCommandFeather, kCommandColorRange (help also takes 16430)
};

struct CommandInvokeRequest {
    int32_t mode;  // 1 interactive, 4 no alerts
    int32_t commandId;
    void* parameters;  // the command's parameter storage
    int32_t result;  // out
};

struct CommandReplayRequest {
    int32_t commandId;
    const void* block;  // a stored parameter block
    int32_t size;  // its size in bytes
    intptr_t context;  // the host's, passed on unchanged
};

// Describes a host-native command for CreateCommand.
struct HostCommandDesc {
    const ResourceFile* owner;  // HostGlobals::resourceInstance
    const char* label;
    uint32_t kind;  // 'filt'
    int32_t commandNumber;
    int16_t flag;  // 1
    int32_t helpId;
    int16_t reserved1, reserved2;
    int32_t reserved3;
    int16_t reserved4, reserved5;
};

// A host image's record, as GetImageRecord describes an image or image map.
struct HostChannelEntry {
    uint8_t targeted;  // the channel takes part in the current operation
    uint8_t reserved[19];  // the rest of the 20-byte entry is the host's
};
static_assert(sizeof(HostChannelEntry) == 20);

// A read-only view of one 8-bit plane, in image coordinates.
struct HostPlaneView {
    const uint8_t* base;  // sample (0, 0)
    int32_t rowBytes;
    int32_t width, height;
};

struct HostLayerRecord {
    int32_t flags;  // bit 0: a transparency map exists
    int32_t mapCount;
    const HostPlaneView* transparencyMaps;  // one per map; the current one is at currentMapIndex
};

struct HostImageRecord {
    int16_t mode;  // image mode code (kModeBitmap ...)
    int16_t selectionState;  // 2 when the image has a selection that can be feathered
    int32_t colourChannels;  // channels below this index are colour channels
    int32_t channelCount;
    const HostChannelEntry* channels;
    const HostLayerRecord* layer;  // null for an image without layers
    int32_t currentMapIndex;  // the host's current-layer index into the layer's maps
    uint8_t liveUpdate;  // the dialog preview follows every change
};

// PICA: suites acquired by name and version; every acquire is paired with a release.
struct PicaBasicSuite {
    int16_t (*AcquireSuite)(const char* name, int32_t version, const void** suite);
    int16_t (*ReleaseSuite)(const char* name, int32_t version);
};

constexpr const char* kPESessionSuiteName = "QRT PX PESession Suite";

// "QRT PX PESession Suite", version 1.
struct PESessionSuite {
    int32_t (*ChannelCount)(HostImageMap* map);
    uint8_t (*ChannelTargeted)(HostImageMap* map, int32_t channel);
};

// Platform services, the first member of the callback table.
struct HostPlatformTable {
    void (*FreeBlock)(void* block);  // releases a NewBlock block
    int32_t (*BlockSize)(const void* block);  // size in bytes; 0 for null
    int16_t (*ResizeBlock)(void** block, int32_t size);  // keeps the contents up to the smaller size
    void (*MessageBeep)(int32_t kind);  // an audible refusal
};

// User-interface services, the second member.
struct HostUiTable {
    void* (*CreateCommand)(const HostCommandDesc* desc);  // a command, or null
    int16_t (*AddCommandToMenu)(int32_t menuId, void* command);
    void (*EnableMenuItem)(void* item, int32_t enable);
    void (*DisableMenuItem)(void* item);
};

struct HostCallbackTable {
    const HostPlatformTable* platform;
    const HostUiTable* ui;
    const HostDialogServices* dialogs;  // RunModalDialog and the dialog item services
    const HostFileServices* files;  // the file dialog, settings-file streams, the error alert
    // 263: modal; returns the 1-based index of the button chosen.
    int32_t (*ShowAlert)(const char* message, const char* button1, const char* button2, const char* button3);
    // 348: shows a help line.
    void (*ShowStatusText)(const char* text, int32_t a, int32_t b);
    // 287: the active image, or null.
    void* (*CurrentImage)();
    // 323: a registration handle, null when the host refuses the filter.
    void* (*RegisterFilterModule)(int16_t toolId, int16_t filterId, int32_t commandId, int32_t one, int16_t groupId);
    // 1035: the record of an image or image map (null when there is none).
    const HostImageRecord* (*GetImageRecord)(const void* imageOrMap);
    // 1330: 0 and *block set to a new zeroed block of `size` bytes, or an error.
    int16_t (*NewBlock)(void** block, int32_t size);
    // 1704: the PICA basic suite.
    int16_t (*GetBasicSuite)(const PicaBasicSuite** suite);
    // 1893: passes the registration's option flags on.
    void (*SetFilterOptions)(void* registration, int32_t flagA, int32_t flagB);
    // 1990: non-zero when the host has the capability.
    int32_t (*QueryCapability)(int32_t capability);

    // 1825-1840: the settings store. Typed values under NUL-terminated keys in a
    // namespace ('filt'); a value keeps the type it was last written with.
    // Patterns end in "*" and match every key with the part before it as prefix
    // (any other character, '?' and '[' too, matches itself). No failure reaches
    // the module: a write that fails changes nothing, a read that fails finds nothing.
    void (*SetStoreString)(uint32_t space, const char* key, const char* value);
    void (*SetStoreInt)(uint32_t space, const char* key, int32_t value);
    void (*SetStoreDouble)(uint32_t space, const char* key, double value);
    void (*SetStoreBytes)(uint32_t space, const char* key, int32_t size, const void* data);
    // Non-zero when the key holds a value of that type (another type counts as
    // absent); strings are cut to the buffer, which always ends in a NUL.
    int32_t (*GetStoreString)(uint32_t space, const char* key, int32_t bufferSize, char* buffer);
    int32_t (*GetStoreInt)(uint32_t space, const char* key, int32_t* value);
    int32_t (*GetStoreDouble)(uint32_t space, const char* key, double* value);
    // Delivers a byte value only when it fits the buffer; returns the bytes delivered (0 otherwise).
    int32_t (*GetStoreBytes)(uint32_t space, const char* key, int32_t size, void* buffer);
    void (*DeleteStoreKeys)(uint32_t space, const char* pattern);
    // 0 and *keys set to a host block (released with FreeBlock) holding *count
    // key pointers followed by the keys themselves, in byte order; or an error
    // (the store cannot be read) with *keys null.
    int16_t (*EnumerateStoreKeys)(uint32_t space, const char* pattern, char*** keys, int32_t* count);
    // Replaces whatever newKey held; nothing happens when oldKey does not exist.
    void (*RenameStoreKey)(uint32_t space, const char* oldKey, const char* newKey);
};

constexpr uint32_t kStoreNamespace = FourCC("filt");
