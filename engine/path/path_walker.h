// The normalising walker shared by CPath and CFullPath. A path is walked from its
// right end, component by component, resolving "." and ".." on the way; the two
// path types differ only in what they accept, which the rule set says.
//
// Every scan is double-byte aware: the byte after a lead byte of the ANSI code
// page is never taken as a separator (many Shift_JIS characters end in 0x5C),
// except that a lead byte directly before the end counts as a single byte.
#pragma once

#include <string>
#include <vector>

namespace velk {
namespace pathwalk {

enum class Rules {
    kEngine,  // relative paths only; the last component may be a drive designator
    kFull,    // also drive-absolute and UNC ("\\server\share") paths
};

enum { kOk = 0, kMalformed = 1, kRooted = 2, kRootedWithoutPrefix = 3 };

// Normalises szPath under the given rules. On success (kOk) fills *pText (the
// components joined by chSeparator) and *pComponents; on failure leaves both
// untouched and returns kMalformed, kRooted (engine rules: a leading separator)
// or kRootedWithoutPrefix (full rules: a single leading separator).
int Normalise(const char* szPath, char chSeparator, Rules rules, std::string* pText,
              std::vector<std::string>* pComponents);

// Index of the last "\" or "/" in str, double-byte aware, or npos.
size_t FindLastSeparator(const std::string& str);

}  // namespace pathwalk
}  // namespace velk
