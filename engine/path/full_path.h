// CFullPath: the tool's path value. The same canonical form as CPath, but it also
// accepts drive-absolute ("C:\...") and UNC ("\\server\share\...") paths, and
// refuses a path that starts with a single separator. In a UNC path the first
// component carries the two leading backslashes.
#pragma once

#include <string>
#include <vector>

// Receives diagnostic texts, such as the report of a failed join. Empty (null) by
// default: the released tool prints nothing.
using PathTraceHook = void (*)(const char* szText);
void SetPathTraceHook(PathTraceHook pfnHook);

class CFullPath {
public:
    enum { kOk = 0, kMalformed = 1, kRootedWithoutPrefix = 3 };

    // chSeparator is "\" or "/"; anything else becomes "\". The result of setting
    // szPath is dropped.
    explicit CFullPath(const char* szPath = nullptr, char chSeparator = '\\');

    // Normalises szPath (null or empty gives the empty path). Returns kOk,
    // kMalformed or kRootedWithoutPrefix; on failure the value is unchanged.
    int Set(const char* szPath);

    // A copy of this path with szTail appended and normalised again. When that
    // fails, the copy equals this path and the trace hook hears of it.
    CFullPath Join(const char* szTail) const;

    const char* GetString() const { return m_strText.c_str(); }
    size_t GetComponentCount() const { return m_vComponents.size(); }
    const std::string& GetComponent(size_t nIndex) const { return m_vComponents[nIndex]; }

private:
    char m_chSeparator;
    char m_chTerminator = 0;
    std::string m_strText;
    std::vector<std::string> m_vComponents;
};
