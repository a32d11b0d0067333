// The one shape every filter entry has: a switch over the selector that
// calls one small routine per selector and writes its result. Filters
// without settings are wholly described by a PlainFilter; the template below
// is their entry.
#pragma once

#include <cstdint>

#include "framework/BandDriver.h"
#include "framework/FilterUnit.h"
#include "host/FilterRecord.h"

namespace px {

// About box: the filter's title string followed by the module's credit line.
void ShowAbout(int32_t titleStringId);

// Start of a filter without settings: register `entry` with the host for
// the host pass and size the progress. Returns the registration's result.
int16_t StartPlainFilter(FilterRecord& record, FilterEntry entry, const PlanePass& pass, ProgressCounters& counters);

// Selectors 26 and 27 of a filter: its own plane cursor and pass where it
// has them, else the framework's over its declared plane pass. `own` is
// what the filter's own pass works on (its run, or its parameter block).
template <const auto& filter, class Own>
int16_t HostPassStep(int16_t selector, FilterRecord& record, Own& own, RunState& run)
{
    if (selector == kSelectorResetPlanes) {
        if constexpr (filter.resetPlanes != nullptr)
            filter.resetPlanes(record);
        else
            ResetPlanes(record);
        return kNoErr;
    }
    if constexpr (filter.processPlane != nullptr)
        return filter.processPlane(record, own);
    else
        return ProcessPlane(record, filter.pass, run);
}

// A filter without settings: its about title and its plane pass, or a pass
// of its own (selector 27) with its own plane cursor (selector 26), or a
// start of its own (a tool that works inside start and never registers a pass).
struct PlainFilter {
    int32_t aboutTitle;
    PlanePass pass;
    int16_t (*processPlane)(FilterRecord& record, RunState& run) = nullptr;
    void (*resetPlanes)(FilterRecord& record) = nullptr;
    int16_t (*start)(FilterRecord& record) = nullptr;
};

// The entry of a filter without settings. Selectors 1, 2, 4 and 5 succeed
// doing nothing; 30 reports a parameter size of 0 without writing a result;
// any other selector is left unanswered. A filter without a parameter block
// keeps its run state (its progress counters, its bands) as long as the
// module: one per filter, used by one run at a time.
template <const PlainFilter& filter>
void PlainFilterEntry(int16_t selector, FilterRecord* record, intptr_t* data, int16_t* result)
{
    static_assert(filter.pass.bandScratch == nullptr, "a filter's band scratch lives beside its parameter block");
    static RunState run;
    switch (selector) {
    case filterSelectorAbout:
        ShowAbout(filter.aboutTitle);
        *result = kNoErr;
        break;
    case filterSelectorParameters:
    case filterSelectorPrepare:
    case filterSelectorContinue:
    case filterSelectorFinish: *result = kNoErr; break;
    case filterSelectorStart:
        if constexpr (filter.start != nullptr)
            *result = filter.start(*record);
        else
            *result = StartPlainFilter(*record, &PlainFilterEntry<filter>, filter.pass, run.counters);
        break;
    case kSelectorResetPlanes:
    case kSelectorProcessPlane: *result = HostPassStep<filter>(selector, *record, run, run); break;
    case kSelectorParameterSize: *data = 0; break;
    default: break;
    }
}

// The unit of a filter without settings.
template <const PlainFilter& filter>
constexpr FilterUnit PlainFilterUnit()
{
    return {PlainFilterEntry<filter>};
}

}  // namespace px
