// What the module holds of each filter: the entry the host calls, the
// settings it offers and the dialog that shows them. The filter list names
// one unit a row; the resource compiler reads the settings from here.
#pragma once

#include <cstdint>

#include "framework/SettingsTable.h"
#include "host/FilterRecord.h"

namespace px {

struct FilterUnit {
    FilterEntry entry;
    SettingsTable settings{};
    int16_t dialog = 0;  // its dialog template, 0 for none
};

}  // namespace px
