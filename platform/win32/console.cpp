#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "platform/console.h"

namespace platform {

std::string ConsoleEncode(const std::string& strAnsi)
{
    // Standard output is in text mode: the bytes pass unchanged, but "\n"
    // goes out as "\r\n".
    std::string out;
    out.reserve(strAnsi.size());
    for (char c : strAnsi) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

void ConsoleWrite(const char* szText)
{
    fputs(szText, stdout);
}

void ConsoleWriteError(const char* szText)
{
    fputs(szText, stderr);
}

void ConsolePrintf(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    vprintf(szFormat, args);
    va_end(args);
}

int ConsoleReadChar()
{
    fflush(stdout);
    const int c = getchar();
    return c == EOF ? -1 : c;
}

}  // namespace platform
