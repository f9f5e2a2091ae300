#include "engine/path/path.h"

#include <algorithm>

#include "engine/path/path_walker.h"
#include "platform/codepage.h"
#include "platform/file.h"

namespace velk {
namespace {

char FoldAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameComponent(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    return true;
}

// Compares names as the file system does: a lead byte and the byte after it are
// one character and compare exactly.
bool SameNameOnDisk(const std::string& a, const std::string& b, bool bFoldCase)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (platform::IsLeadByte(static_cast<unsigned char>(a[i])) && i + 1 < a.size()) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1])
                return false;
            ++i;
        } else if (bFoldCase ? FoldAscii(a[i]) != FoldAscii(b[i]) : a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

CPath::CPath(const char* szPath, char chSeparator)
    : m_chSeparator(chSeparator == '/' ? '/' : '\\')
{
    Set(szPath);
}

int CPath::Set(const char* szPath)
{
    return pathwalk::Normalise(szPath, m_chSeparator, pathwalk::Rules::kEngine, &m_strText,
                               &m_vComponents);
}

CPath CPath::Join(const char* szTail) const
{
    CPath joined(*this);
    if (joined.m_strText.empty())
        joined.Set(szTail);
    else
        joined.Set((m_strText + m_chSeparator + (szTail != nullptr ? szTail : "")).c_str());
    return joined;
}

size_t CPath::CommonPrefixLength(const CPath& other) const
{
    const size_t n = std::min(m_vComponents.size(), other.m_vComponents.size());
    size_t i = 0;
    while (i < n && SameComponent(m_vComponents[i], other.m_vComponents[i]))
        ++i;
    return i;
}

bool CPath::IsAncestorOf(const CPath& other) const
{
    return m_vComponents.size() < other.m_vComponents.size() &&
           CommonPrefixLength(other) == m_vComponents.size();
}

}  // namespace velk

namespace velk {

bool CPath::IsAncestorOnDisk(const CPath& other) const
{
    if (m_vComponents.size() >= other.m_vComponents.size())
        return false;
    const bool bFoldCase = platform::FileNamesFoldCase();
    for (size_t i = 0; i < m_vComponents.size(); ++i)
        if (!SameNameOnDisk(m_vComponents[i], other.m_vComponents[i], bFoldCase))
            return false;
    return true;
}

}  // namespace velk
