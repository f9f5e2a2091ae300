// How adbtool reads its arguments: directories, numbers, key orders, and file ids
// from standard input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/bptree/key_order.h"

namespace adbtool {

// A DIR argument as the engine names it: in the engine's path form and absolute,
// since a transaction's log names its files by path and must be recoverable by a
// program started elsewhere.
std::string DatabaseDirectory(const std::string& strArgument);

// A decimal number from 0 to 4294967295; false for anything else.
bool ParseNumber(const std::string& s, std::uint32_t* pn);

// The key orders of the path index by the names the command line gives them.
struct SOrder {
    const char* szName;
    const unsigned char* pGuid;
};
inline const SOrder kOrders[] = {
    {"NoCaseAscending", velk::kGuidNoCaseAscending},
    {"NoCaseDescending", velk::kGuidNoCaseDescending},
    {"BinaryAscending", velk::kGuidBinaryAscending},
    {"BinaryDescending", velk::kGuidBinaryDescending},
    {"StringAscending", velk::kGuidStringAscending},
    {"StringDescending", velk::kGuidStringDescending},
};

// The name of the key order pGuid (16 bytes), or "unknown".
const char* OrderName(const unsigned char* pGuid);

// Reads the file ids of "link DIR NAME -" from standard input: decimal numbers
// separated by blanks or line ends, so that more ids than a command line holds go
// into one transaction.
std::vector<std::string> IdsFromInput();

}  // namespace adbtool
