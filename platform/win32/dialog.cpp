#include <windows.h>

#include "platform/dialog.h"

namespace platform {

bool AskYesNo(const char* szTitle, const char* szText)
{
    return MessageBoxA(nullptr, szText, szTitle, MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL) ==
           IDYES;
}

Answer AskYesNoCancel(const char* szTitle, const char* szText)
{
    switch (MessageBoxA(nullptr, szText, szTitle, MB_YESNOCANCEL | MB_ICONSTOP | MB_TASKMODAL)) {
    case IDYES:
        return kAnswerYes;
    case IDCANCEL:
        return kAnswerCancel;
    default:
        return kAnswerNo;
    }
}

}  // namespace platform
