// CPath: the engine's path value. Every name inside a database directory is built
// with Join, so every path the engine hands to the file system is in one canonical
// form: one separator throughout, no empty, "." or ".." components, no leading or
// trailing separator, and the component list kept beside the text.
//
// CPath accepts relative paths only; a leading separator is refused. Text is ANSI
// (Shift_JIS); separators are recognised double-byte aware.
#pragma once

#include <string>
#include <vector>

namespace velk {

class CPath {
public:
    enum { kOk = 0, kMalformed = 1, kRooted = 2 };

    // chSeparator is "\" or "/"; anything else becomes "\". The result of setting
    // szPath is dropped: a rejected path leaves the value empty.
    explicit CPath(const char* szPath = nullptr, char chSeparator = '\\');

    // Normalises szPath (null or empty gives the empty path). Returns kOk,
    // kMalformed (two separators in a row, or ".." above the start) or kRooted (a
    // leading separator); on failure the value is unchanged.
    int Set(const char* szPath);

    // A copy of this path with szTail appended and normalised again. When that
    // fails, the copy equals this path.
    CPath Join(const char* szTail) const;

    const char* GetString() const { return m_strText.c_str(); }
    bool IsEmpty() const { return m_vComponents.empty(); }
    size_t GetComponentCount() const { return m_vComponents.size(); }
    const std::string& GetComponent(size_t nIndex) const { return m_vComponents[nIndex]; }

    // The number of leading components equal in both paths. Components compare
    // with the ASCII letters folded to upper case and no other bytes folded.
    size_t CommonPrefixLength(const CPath& other) const;

    // True when this path has fewer components than other and they are all equal
    // to other's leading components.
    bool IsAncestorOf(const CPath& other) const;

    // True when this path has fewer components than other and they name the same
    // directories as other's leading components do on this system's file system:
    // with the single-byte ASCII letters folded where it folds case (never a byte
    // of a double-byte character), else byte for byte.
    bool IsAncestorOnDisk(const CPath& other) const;

private:
    char m_chSeparator;
    char m_chTerminator = 0;  // always 0: the separator reads as a one-character string
    std::string m_strText;
    std::vector<std::string> m_vComponents;
};

}  // namespace velk
