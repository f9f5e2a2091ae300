// The console. The system's console texts are ANSI (code page 932) bytes. On
// Windows they are written unchanged through the C runtime's text-mode standard
// output; on POSIX they are converted to UTF-8 first.
#pragma once

#include <string>

namespace platform {

// Writes ANSI text to standard output. Thread-compatible.
void ConsoleWrite(const char* szText);

// printf into ANSI text, then ConsoleWrite.
void ConsolePrintf(const char* szFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes ANSI text to standard error, converted as for ConsoleWrite.
void ConsoleWriteError(const char* szText);

// Flushes standard output, then reads one character from standard input.
// Returns the character, or -1 at the end of input.
int ConsoleReadChar();

// The bytes that ConsoleWrite puts out for szText: tests compare the tool's
// output through this.
std::string ConsoleEncode(const std::string& strAnsi);

}  // namespace platform
