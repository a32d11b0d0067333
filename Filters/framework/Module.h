// Module-wide state: the copies of the host's pointers made at every stdtool
// call, the module's own resources, and the string loader every
// user-visible text goes through.
#pragma once

#include <cstdint>

#include "host/HostServices.h"

namespace px {

struct ModuleContext {
    ToolParamBlock* block = nullptr;  // the block of the stdtool call in progress
    int16_t toolId = 0;
    HostGlobals* hostGlobals = nullptr;
    HostCallbackTable* callbacks = nullptr;
};

// Copied from the block at every stdtool call; filters reach the host only through these.
extern ModuleContext gModule;

// The module's resources, found beside the library when it is loaded; null
// when they are missing (strings then come from the host's resources).
const ResourceFile* ModuleInstance();

// Loads string `id` from the module's resources (at most 254 characters), or
// from the host's when the module has none, into the next of 8 rotating
// 512-byte buffers. The text stays valid for eight further loads; an id found
// nowhere gives "".
const char* LoadResString(int32_t id);

inline const HostPixelRoutines& PixelRoutines() { return *gModule.hostGlobals->pixelRoutines; }
inline HostCallbackTable& Host() { return *gModule.callbacks; }

}  // namespace px
