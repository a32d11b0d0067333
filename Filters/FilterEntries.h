// The entry of every filter the module has, for the lookup in stdtool.
#pragma once

#include <string>

#include "host/FilterRecord.h"

namespace px {

extern const FilterEntry BlurEntry;
extern const FilterEntry BlurEdgesEntry;
extern const FilterEntry BlurMoreEntry;
extern const FilterEntry SharpenEntry;
extern const FilterEntry SharpenEdgesEntry;
extern const FilterEntry SharpenMoreEntry;
extern const FilterEntry InvertEntry;
extern const FilterEntry SolarizeEntry;
extern const FilterEntry DesaturateEntry;
extern const FilterEntry ThresholdEntry;
extern const FilterEntry PosterizeEntry;
extern const FilterEntry AnalyzerEntryPoint;

// Kernels and tables of the point maps, for their tests.
void BuildPosterizeTable(int levels, uint8_t* table);
uint8_t ThresholdAutoLevel(const uint32_t (&histogram)[256]);

// The Analyzer's fit and table text, for their tests.
double FitRowExponent(const uint8_t* row);
std::string LookupTableText(const uint8_t* row);

// Blur Edges' own kernel, exposed for its tests.
void KeepFlatAreas(int32_t rows, int32_t columns, const uint8_t* source, int32_t sourceRowBytes,
                   uint8_t* destination, int32_t destinationRowBytes, int edgeRange);

}  // namespace px
