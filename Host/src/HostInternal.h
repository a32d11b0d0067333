// Pieces of the host shared by its source files: the host and run active on
// this thread (services are plain functions, so they find their host here),
// the service tables and the host's blocks.
#pragma once

#include "pictra/Host.h"

namespace pictra {

// Set for the duration of every call into the module, on the calling thread
// and on every band worker while it runs a band.
extern thread_local Host* tActiveHost;
extern thread_local Host::Run* tActiveRun;

class ActiveScope {
public:
    ActiveScope(Host* host, Host::Run* run) : host_(tActiveHost), run_(tActiveRun)
    {
        tActiveHost = host;
        tActiveRun = run;
    }
    ~ActiveScope()
    {
        tActiveHost = host_;
        tActiveRun = run_;
    }
    ActiveScope(const ActiveScope&) = delete;
    ActiveScope& operator=(const ActiveScope&) = delete;

private:
    Host* host_;
    Host::Run* run_;
};

// The callback table and its sub-tables, the same for every host; the
// services find the host through tActiveHost.
HostCallbackTable* CallbackTable();

// The dialog services (Dialogs.cpp) and the file services (FileStreams.cpp).
const HostDialogServices* DialogServiceTable();
const HostFileServices* FileServiceTable();

// Blocks of the block service: a size header in front of zeroed memory.
int16_t NewHostBlock(void** block, int32_t size);
void FreeHostBlock(void* block);
int32_t HostBlockSize(const void* block);

// The settings store services of the callback table (SettingsStore.cpp).
namespace store_services {
void SetString(uint32_t space, const char* key, const char* value);
void SetInt(uint32_t space, const char* key, int32_t value);
void SetDouble(uint32_t space, const char* key, double value);
void SetBytes(uint32_t space, const char* key, int32_t size, const void* data);
int32_t GetString(uint32_t space, const char* key, int32_t bufferSize, char* buffer);
int32_t GetInt(uint32_t space, const char* key, int32_t* value);
int32_t GetDouble(uint32_t space, const char* key, double* value);
int32_t GetBytes(uint32_t space, const char* key, int32_t size, void* buffer);
void DeleteKeys(uint32_t space, const char* pattern);
int16_t EnumerateKeys(uint32_t space, const char* pattern, char*** keys, int32_t* count);
void RenameKey(uint32_t space, const char* oldKey, const char* newKey);
}  // namespace store_services

// The record GetImageRecord answers for the image map of the active run.
const HostImageRecord* RunImageRecord(const Host::Run& run);

}  // namespace pictra
