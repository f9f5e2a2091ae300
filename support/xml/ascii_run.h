// Runs of ASCII bytes, most of a document in any of its byte encodings, taken
// eight at a time by the decoders and by the reader's check of UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace xmlcodec {

// The length of the run of bytes below 80 at p (cb bytes), counted in groups of
// eight: it ends before the first group that holds another byte, or before the
// last few bytes; the caller goes on from there byte by byte.
inline size_t AsciiRun(const unsigned char* p, size_t cb)
{
    size_t i = 0;
    while (cb - i >= 8) {
        uint64_t nEight;
        std::memcpy(&nEight, p + i, 8);
        if (nEight & 0x8080808080808080ull)
            break;
        i += 8;
    }
    return i;
}

// Widens the run AsciiRun finds at p into the units at q; returns its length.
inline size_t WidenAsciiRun(const unsigned char* p, size_t cb, char16_t* q)
{
    const size_t n = AsciiRun(p, cb);
    for (size_t i = 0; i < n; ++i)
        q[i] = p[i];
    return n;
}

}  // namespace xmlcodec
