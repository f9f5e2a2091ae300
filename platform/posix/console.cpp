#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/posix/native_text.h"

namespace platform {

std::string ConsoleEncode(const std::string& strAnsi)
{
    return posix::AnsiToUtf8(strAnsi);
}

void ConsoleWrite(const char* szText)
{
    const std::string s = ConsoleEncode(szText);
    fwrite(s.data(), 1, s.size(), stdout);
}

void ConsoleWriteError(const char* szText)
{
    const std::string s = ConsoleEncode(szText);
    fwrite(s.data(), 1, s.size(), stderr);
}

void ConsolePrintf(const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    va_list copy;
    va_copy(copy, args);
    const int n = vsnprintf(nullptr, 0, szFormat, copy);
    va_end(copy);
    if (n > 0) {
        std::vector<char> buffer(static_cast<size_t>(n) + 1);
        vsnprintf(buffer.data(), buffer.size(), szFormat, args);
        ConsoleWrite(buffer.data());
    }
    va_end(args);
}

int ConsoleReadChar()
{
    fflush(stdout);
    const int c = getchar();
    return c == EOF ? -1 : c;
}

}  // namespace platform
