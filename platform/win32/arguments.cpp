#include "platform/arguments.h"

#include <windows.h>
#include <shellapi.h>

#include "platform/codepage.h"

namespace platform {

size_t ExactAnsiFromWide(const std::u16string& strWide, std::string* pAnsi,
                         char32_t* pcCharacter)
{
    pAnsi->clear();
    size_t nPosition = 1;
    for (size_t i = 0; i < strWide.size(); ++nPosition) {
        size_t cch = 0;
        const char32_t c = CodePointAt(strWide, i, &cch);
        const wchar_t* p = reinterpret_cast<const wchar_t*>(strWide.data() + i);
        char ab[8];
        BOOL bUsedDefault = FALSE;
        // Without WC_NO_BEST_FIT_CHARS Windows turns "é" into "e" and reports
        // nothing; with it, an unheld character gives the default and says so.
        const int cb = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, p, static_cast<int>(cch),
                                           ab, sizeof(ab), nullptr, &bUsedDefault);
        wchar_t awBack[4];
        const int cchBack = cb > 0 ? MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ab, cb,
                                                         awBack, 4)
                                   : 0;
        if (cb <= 0 || bUsedDefault || cchBack != static_cast<int>(cch) ||
            std::u16string(reinterpret_cast<const char16_t*>(awBack), cch) !=
                strWide.substr(i, cch)) {
            *pcCharacter = c;
            return nPosition;
        }
        pAnsi->append(ab, static_cast<size_t>(cb));
        i += cch;
    }
    return 0;
}

bool ExactArguments(int argc, char** argv, std::vector<std::string>* pvArgs,
                    SUnheldCharacter* pUnheld)
{
    pvArgs->clear();
    int nWide = 0;
    wchar_t** ppWide = CommandLineToArgvW(GetCommandLineW(), &nWide);
    if (ppWide == nullptr) {
        // Without the wide command line the ANSI one is all there is.
        pvArgs->assign(argv, argv + argc);
        return true;
    }
    bool bExact = true;
    for (int n = 0; n < nWide && bExact; ++n) {
        const std::u16string strWide(reinterpret_cast<const char16_t*>(ppWide[n]));
        std::string strAnsi;
        char32_t c = 0;
        const size_t nBad = ExactAnsiFromWide(strWide, &strAnsi, &c);
        if (n == 0 && nBad != 0) {
            strAnsi = argc > 0 ? argv[0] : "";
        } else if (nBad != 0) {
            *pUnheld = {static_cast<size_t>(n), nBad, CodePointName(c)};
            bExact = false;
        }
        pvArgs->push_back(strAnsi);
    }
    LocalFree(ppWide);
    return bExact;
}

}  // namespace platform
