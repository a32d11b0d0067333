#include "FilterList.h"

#include <algorithm>

namespace px {

namespace {

constexpr FilterRow kFilters[] = {
#define FILTER(id, unit, group, flagA, flagB, listing) {id, &unit, group, flagA, flagB, Listing::listing},
#include "FilterList.inc"
#undef FILTER
};

constexpr bool IdsAreUnique()
{
    for (const FilterRow& a : kFilters)
        for (const FilterRow& b : kFilters)
            if (&a != &b && a.id == b.id)
                return false;
    return true;
}
static_assert(IdsAreUnique(), "a filter id stands in two rows of the filter list");

}  // namespace

std::span<const FilterRow> FilterList() { return kFilters; }

const FilterRow* FindFilter(int32_t filterId)
{
    const auto row =
        std::find_if(std::begin(kFilters), std::end(kFilters), [&](const FilterRow& r) { return r.id == filterId; });
    return row == std::end(kFilters) ? nullptr : row;
}

}  // namespace px
