#include "engine/path/full_path.h"

#include "engine/path/path_walker.h"

namespace {
PathTraceHook g_pfnTraceHook = nullptr;
}

void SetPathTraceHook(PathTraceHook pfnHook)
{
    g_pfnTraceHook = pfnHook;
}

CFullPath::CFullPath(const char* szPath, char chSeparator)
    : m_chSeparator(chSeparator == '/' ? '/' : '\\')
{
    Set(szPath);
}

int CFullPath::Set(const char* szPath)
{
    return velk::pathwalk::Normalise(szPath, m_chSeparator, velk::pathwalk::Rules::kFull,
                                     &m_strText, &m_vComponents);
}

CFullPath CFullPath::Join(const char* szTail) const
{
    CFullPath joined(*this);
    const int nResult = m_strText.empty()
                            ? joined.Set(szTail)
                            : joined.Set((m_strText + m_chSeparator +
                                          (szTail != nullptr ? szTail : ""))
                                             .c_str());
    if (nResult != kOk && g_pfnTraceHook != nullptr)
        g_pfnTraceHook("パス文字列は正しく設定されませんでした。\n");
    return joined;
}
