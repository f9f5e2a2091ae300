#include <windows.h>

#include "platform/dialog.h"

namespace platform {

bool AskYesNo(const char* szTitle, const char* szText)
{
    return MessageBoxA(nullptr, szText, szTitle, MB_YESNO | MB_ICONQUESTION | MB_TASKMODAL) ==
           IDYES;
}

}  // namespace platform
