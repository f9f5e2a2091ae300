// Fresh names for objects moved out of the way: dustbox entries and dugout
// directories. A generator seeds itself with a SHA-256 digest of the clock and
// offers the first 1, 2, ... 64 hexadecimal digits of it as names, skipping names
// that exist, then seeds again. Builds on CPath and CHash.
#pragma once

#include <string>

#include "engine/path/path.h"

namespace velk {

class CUniqueName {
public:
    // Names inside szDirectory (the temporary directory when null or empty), with
    // the extension szExtension (null: none; a leading "." is added when missing).
    // Throws when the directory does not exist or is no directory, or when a
    // directory given is a link.
    CUniqueName(const char* szDirectory, const char* szExtension);

    // The next name that does not exist yet. Throws when the path would be longer
    // than 260 characters.
    CPath Next();

private:
    void Seed();

    CPath m_pathDirectory;
    const char* m_szExtension;
    char m_szSeed[65];
    int m_nCounter;
};

// Puts a fresh name in szDirectory into *pOut. Returns 0, or 1 on any failure
// (*pOut is then unchanged).
int MakeUniquePath(CPath* pOut, const char* szExtension, const char* szDirectory);

// Creates a new, uniquely named subdirectory of szDirectory and puts its path into
// *pOut. Returns 0, or 1 on any failure; a creation that fails for another reason
// than a name taken meanwhile ends the attempt.
int MakeUniqueDirectory(CPath* pOut, const char* szDirectory);

}  // namespace velk
