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

}  // namespace px
