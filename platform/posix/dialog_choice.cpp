#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/dialog.h"
#include "platform/posix/native_text.h"

namespace platform {

Answer AskYesNoCancel(const char* szTitle, const char* szText)
{
    if (!isatty(STDIN_FILENO))
        return kAnswerNo;
    static std::mutex s_mtx;
    std::lock_guard<std::mutex> lock(s_mtx);
    std::fprintf(stderr, "\n%s\n%s [y/n/c] ", posix::AnsiToUtf8(szTitle ? szTitle : "").c_str(),
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
    if (line.empty())
        return kAnswerNo;
    if (line[0] == 'y' || line[0] == 'Y')
        return kAnswerYes;
    if (line[0] == 'c' || line[0] == 'C')
        return kAnswerCancel;
    return kAnswerNo;
}

}  // namespace platform
