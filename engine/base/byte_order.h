// Little-endian integer access for every byte the engine keeps on disk or in
// shared memory. The same bytes are read by another program, so fields are always
// moved byte by byte, never by copying a struct.
#pragma once

#include <cstdint>

namespace velk {

inline std::uint32_t GetU32LE(const void* pSource)
{
    const unsigned char* pb = static_cast<const unsigned char*>(pSource);
    return static_cast<std::uint32_t>(pb[0]) | (static_cast<std::uint32_t>(pb[1]) << 8) |
           (static_cast<std::uint32_t>(pb[2]) << 16) | (static_cast<std::uint32_t>(pb[3]) << 24);
}

inline void PutU32LE(void* pTarget, std::uint32_t nValue)
{
    unsigned char* pb = static_cast<unsigned char*>(pTarget);
    pb[0] = static_cast<unsigned char>(nValue);
    pb[1] = static_cast<unsigned char>(nValue >> 8);
    pb[2] = static_cast<unsigned char>(nValue >> 16);
    pb[3] = static_cast<unsigned char>(nValue >> 24);
}

inline std::uint64_t GetU64LE(const void* pSource)
{
    const unsigned char* pb = static_cast<const unsigned char*>(pSource);
    return static_cast<std::uint64_t>(GetU32LE(pb)) |
           (static_cast<std::uint64_t>(GetU32LE(pb + 4)) << 32);
}

inline void PutU64LE(void* pTarget, std::uint64_t nValue)
{
    unsigned char* pb = static_cast<unsigned char*>(pTarget);
    PutU32LE(pb, static_cast<std::uint32_t>(nValue));
    PutU32LE(pb + 4, static_cast<std::uint32_t>(nValue >> 32));
}

}  // namespace velk
