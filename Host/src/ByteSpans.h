// The bytes a block of rows covers, for the assertions that a routine's
// source and destination do not overlap where its contract forbids it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace pictra {

struct ByteSpan {
    uintptr_t begin = 0;
    uintptr_t end = 0;  // one past the last byte
};

// `rows` rows of `rowLength` bytes, `rowBytes` apart (either way), the first at
// `first`. A line of samples is rows of one sample each, its step apart.
inline ByteSpan SpanOfRows(const void* first, int32_t rows, ptrdiff_t rowBytes, ptrdiff_t rowLength)
{
    if (rows <= 0 || rowLength <= 0)
        return {};
    const auto start = reinterpret_cast<uintptr_t>(first);
    const ptrdiff_t last = ptrdiff_t(rows - 1) * rowBytes;
    return {start + uintptr_t(std::min<ptrdiff_t>(last, 0)),
            start + uintptr_t(std::max<ptrdiff_t>(last, 0) + rowLength)};
}

inline bool Overlap(const ByteSpan& a, const ByteSpan& b)
{
    return a.begin < a.end && b.begin < b.end && a.begin < b.end && b.begin < a.end;
}

}  // namespace pictra
