// The module's filters, from the one list in FilterList.inc.
#pragma once

#include <cstdint>
#include <span>

#include "framework/FilterUnit.h"

namespace px {

enum class Listing : uint8_t { kMenu, kScientific, kNonScientific, kEntryOnly };

// flagB of a registration that passes on the host's answer to the
// scientific capability.
constexpr int32_t kAskCapability = -1;

struct FilterRow {
    int16_t id;
    const FilterUnit* unit;
    int16_t group;
    int32_t flagA;
    int32_t flagB;
    Listing listing;
};

// Every row, in the list's order.
std::span<const FilterRow> FilterList();

// The row of a filter id, or null.
const FilterRow* FindFilter(int32_t filterId);

#define FILTER(id, unit, group, flagA, flagB, listing) extern const FilterUnit unit;
#include "FilterList.inc"
#undef FILTER

}  // namespace px
