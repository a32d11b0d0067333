#include "framework/Module.h"

#include <dlfcn.h>

#include <string>

#include "host/ResourceFile.h"

namespace px {

ModuleContext gModule;

namespace {

const ResourceFile* gInstance = nullptr;

// The library's load notification: record the instance handle, the resource
// file that the build writes next to the library ("X.PXT" -> "X.rsrc").
__attribute__((constructor)) void RecordModuleInstance()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&RecordModuleInstance), &info) == 0 || !info.dli_fname)
        return;
    std::string path = info.dli_fname;
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        path.erase(dot);
    // Local, so it is constructed here and not after this load notification has run.
    static ResourceFile resources;
    if (resources.load(path + ".rsrc"))
        gInstance = &resources;
}

constexpr int kStringBuffers = 8;
constexpr int kStringBufferSize = 512;
constexpr int kModuleStringLimit = 254;
char gStringBuffers[kStringBuffers][kStringBufferSize];
int gNextStringBuffer = 0;

}  // namespace

const ResourceFile* ModuleInstance() { return gInstance; }

const char* LoadResString(int32_t id)
{
    char* buffer = gStringBuffers[gNextStringBuffer];
    gNextStringBuffer = (gNextStringBuffer + 1) % kStringBuffers;
    if (LoadStringResource(gInstance, id, buffer, kModuleStringLimit + 1) > 0)
        return buffer;
    const ResourceFile* hostResources = gModule.hostGlobals ? gModule.hostGlobals->resourceInstance : nullptr;
    if (LoadStringResource(hostResources, id, buffer, kStringBufferSize) == 0)
        buffer[0] = '\0';
    return buffer;
}

}  // namespace px
