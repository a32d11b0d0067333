#include "framework/SettingsFilter.h"

namespace px {

int16_t CreateParameterBlock(FilterRecord& record, int32_t size)
{
    if (record.parameters)
        return kNoErr;
    void* block = nullptr;
    if (const int16_t error = Host().NewBlock(&block, size); error != kNoErr)
        return error;
    record.parameters = block;
    return kNoErr;
}

// The slot follows the layout unaligned, so it is read and written as bytes.
RunState* AttachedRun(const void* block, size_t layoutSize)
{
    RunState* run = nullptr;
    std::memcpy(&run, static_cast<const uint8_t*>(block) + layoutSize, sizeof run);
    return run;
}

void AttachRun(void* block, size_t layoutSize, RunState* run)
{
    std::memcpy(static_cast<uint8_t*>(block) + layoutSize, &run, sizeof run);
}

}  // namespace px
