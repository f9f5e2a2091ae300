#include "platform/dialog.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/posix/native_text.h"

namespace platform {
namespace {

// Asks on the terminal and returns the first character of the answer line, or 0
// when there is no terminal (nobody to answer: the caller takes it as No rather
// than wait for ever) or the line is empty.
char AskOnTerminal(const char* szTitle, const char* szText, const char* szChoices)
{
    if (!isatty(STDIN_FILENO))
        return 0;
    static std::mutex s_mtx;
    std::lock_guard<std::mutex> lock(s_mtx);
    std::fprintf(stderr, "\n%s\n%s [%s] ", posix::AnsiToUtf8(szTitle ? szTitle : "").c_str(),
                 posix::AnsiToUtf8(szText ? szText : "").c_str(), szChoices);
    std::fflush(stderr);
    std::string line;
    char c;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n <= 0 || c == '\n')
            break;
        line += c;
    }
    return line.empty() ? 0 : line[0];
}

}  // namespace

bool AskYesNo(const char* szTitle, const char* szText)
{
    const char c = AskOnTerminal(szTitle, szText, "y/n");
    return c == 'y' || c == 'Y';
}

Answer AskYesNoCancel(const char* szTitle, const char* szText)
{
    switch (AskOnTerminal(szTitle, szText, "y/n/c")) {
    case 'y':
    case 'Y':
        return kAnswerYes;
    case 'c':
    case 'C':
        return kAnswerCancel;
    default:
        return kAnswerNo;
    }
}

}  // namespace platform
