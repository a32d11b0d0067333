// The Analyzer's fit and table text, for their tests.
#pragma once

#include <cstdint>
#include <string>

namespace px {

// The exponent x for which (u)^x best follows a 256-sample row between its
// first and last values.
double FitRowExponent(const uint8_t* row);

// The row as a 256-entry table of source code.
std::string LookupTableText(const uint8_t* row);

}  // namespace px
