#include "platform/dialog.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/posix/native_text.h"

namespace platform {

bool AskYesNo(const char* szTitle, const char* szText)
{
    // Without a terminal there is nobody to answer; a No lets the caller fail
    // instead of waiting for ever.
    if (!isatty(STDIN_FILENO))
        return false;
    static std::mutex s_mtx;
    std::lock_guard<std::mutex> lock(s_mtx);
    std::fprintf(stderr, "\n%s\n%s [y/n] ", posix::AnsiToUtf8(szTitle ? szTitle : "").c_str(),
                 posix::AnsiToUtf8(szText ? szText : "").c_str());
    std::fflush(stderr);
    std::string line;
    char c;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n <= 0 || c == '\n')
            break;
        line += c;
    }
    return !line.empty() && (line[0] == 'y' || line[0] == 'Y');
}

}  // namespace platform
