#include <windows.h>

#include "platform/codepage.h"

namespace platform {

bool IsLeadByte(unsigned char b)
{
    return IsDBCSLeadByte(b) != FALSE;
}

std::u16string AnsiToWide(const char* pText, size_t cb)
{
    if (cb == 0)
        return std::u16string();
    const int n = MultiByteToWideChar(CP_ACP, 0, pText, static_cast<int>(cb), nullptr, 0);
    std::u16string out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, pText, static_cast<int>(cb),
                            reinterpret_cast<wchar_t*>(&out[0]), n);
    return out;
}

std::string WideToAnsi(const char16_t* pText, size_t cch)
{
    if (cch == 0)
        return std::string();
    const wchar_t* p = reinterpret_cast<const wchar_t*>(pText);
    const int n = WideCharToMultiByte(CP_ACP, 0, p, static_cast<int>(cch), nullptr, 0, nullptr,
                                      nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, p, static_cast<int>(cch), &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace platform
