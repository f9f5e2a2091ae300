// Key orders of the B+ trees: the comparison function type and the six built-in
// orders, each named by a GUID that a tree keeps in its header. GUIDs are compared
// as their 16-byte in-memory layout (first three groups little-endian).
//
// The string orders treat a key as a NUL-terminated string that ends at its first
// NUL or at its stored length, whichever comes first; they never read past the
// stored length. Trees in string orders store the terminating NUL in the key.
#pragma once

#include <cstdint>

namespace velk {

// Compares key 1 with key 2: negative, 0 or positive when key 1 sorts before, with
// or after key 2. A key of length 0 may have a null pointer.
typedef int (*PFNCOMPAREKEYS)(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                              std::uint32_t cbKey2);

// Keys of equal length compare as unsigned bytes; of different lengths the shorter
// sorts first.
int CompareBinaryAscending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                           std::uint32_t cbKey2);
int CompareBinaryDescending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                            std::uint32_t cbKey2);
// The strings compared as unsigned bytes up to the first difference or NUL.
int CompareStringAscending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                           std::uint32_t cbKey2);
int CompareStringDescending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                            std::uint32_t cbKey2);
// Over the shorter string: bytes as signed values, a-z lowered to A-Z (trail bytes
// of double-byte characters included); the first difference decides, else the
// shorter string sorts first.
int CompareNoCaseAscending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                           std::uint32_t cbKey2);
int CompareNoCaseDescending(const void* pKey1, std::uint32_t cbKey1, const void* pKey2,
                            std::uint32_t cbKey2);

extern const unsigned char kGuidBinaryAscending[16];
extern const unsigned char kGuidBinaryDescending[16];
extern const unsigned char kGuidStringAscending[16];
extern const unsigned char kGuidStringDescending[16];
extern const unsigned char kGuidNoCaseAscending[16];
extern const unsigned char kGuidNoCaseDescending[16];

// The built-in order that the 16-byte GUID names, or null when it names none.
PFNCOMPAREKEYS FindKeyOrder(const void* pGuid);

}  // namespace velk
