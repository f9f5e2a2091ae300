#include <windows.h>
#include <commdlg.h>

#include <cstring>

#include "platform/save_dialog.h"

namespace platform {

bool AskSaveFileName(const SaveDialogOptions& options, std::string* pName)
{
    // The filter is pairs of zero-terminated texts, ended by an empty one.
    std::string filter;
    filter += options.szFilterName ? options.szFilterName : "";
    filter += '\0';
    filter += options.szFilterPattern ? options.szFilterPattern : "";
    filter += '\0';
    filter += '\0';
    char szFile[MAX_PATH + 1] = {};
    OPENFILENAMEA ofn;
    std::memset(&ofn, 0, sizeof(ofn));
    ofn.lStructSize = sizeof(ofn);
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = szFile;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrTitle = options.szTitle;
    ofn.lpstrDefExt = options.szDefaultExtension;
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetSaveFileNameA(&ofn))
        return false;
    *pName = szFile;
    return true;
}

}  // namespace platform
