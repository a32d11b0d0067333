// Scripting descriptors: typed settings under 32-bit keys, in the order they
// were written. Filters read them at start to replay a run without a dialog
// and write them after a successful start to record one.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "host/FilterRecord.h"

struct HostDescriptor {
    struct Item {
        uint32_t key = 0;
        uint32_t type = 0;  // typeInteger, typeFloat, typeBoolean, typeEnumerated, typeText
        uint32_t enumType = 0;  // typeEnumerated only
        std::variant<int32_t, double, bool, uint32_t, std::string> value;
    };
    std::vector<Item> items;

    void putInteger(uint32_t key, int32_t v);
    void putFloat(uint32_t key, double v);
    void putBoolean(uint32_t key, bool v);
    void putEnumerated(uint32_t key, uint32_t enumType, uint32_t v);
    void putText(uint32_t key, std::string v);
    const Item* find(uint32_t key) const;
};

namespace pictra {

// Result of reading an item as a type it does not have.
constexpr int16_t kDescriptorTypeErr = -1;

// The procedures handed to filters. Handles made by closeWriteDescriptorProc
// are the host's; the filter releases one it replaces with DisposeDescriptor.
ReadDescriptorProcs* ReadDescriptorTable();
WriteDescriptorProcs* WriteDescriptorTable();
void DisposeDescriptor(PIDescriptorHandle descriptor);

}  // namespace pictra
