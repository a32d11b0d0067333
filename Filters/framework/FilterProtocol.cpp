#include "framework/FilterProtocol.h"

#include <string>

#include "framework/Module.h"

namespace px {

namespace {
constexpr int32_t kCreditLineString = 18016;
constexpr int32_t kHostOkButtonString = 10004;
}  // namespace

void ShowAbout(int32_t titleStringId)
{
    const std::string text = std::string(LoadResString(titleStringId)) + LoadResString(kCreditLineString);
    Host().ShowAlert(text.c_str(), LoadResString(kHostOkButtonString), "", "");
}

int16_t StartPlainFilter(FilterRecord& record, FilterEntry entry, const PlanePass& pass, ProgressCounters& counters)
{
    const int16_t result = record.hostProc->RegisterFilterEntry(entry, 0);
    ResetProgress(counters, record, PlanesToProcess(record, pass.transparency));
    return result;
}

}  // namespace px
