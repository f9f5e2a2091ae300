#include "adbtool/adb_output.h"

#include <cstdio>

#include "platform/codepage.h"
#include "platform/console.h"
#include "platform/process.h"

namespace adbtool {

std::string g_strShownDirectory;
bool g_bJson = false;

std::string Utf8(const std::string& strAnsi)
{
    return platform::AnsiToUtf8Text(strAnsi);
}

void OutJson(const Json& document)
{
    const std::string strText = document.dump(2) + "\n";
    std::fwrite(strText.data(), 1, strText.size(), stdout);
    std::fflush(stdout);
}

std::string Shown(const std::string& strDirectory)
{
    return platform::UserPath(strDirectory);
}

void Out(const std::string& strText)
{
    platform::ConsoleWrite(strText.c_str());
}

void Error(const std::string& strText)
{
    const std::string s = platform::ConsoleEncode("adbtool: " + strText + "\n");
    std::fflush(stdout);
    std::fputs(s.c_str(), stderr);
}

int Usage(const std::string& strText)
{
    Error(strText + " (adbtool --help explains the commands)");
    return kExitUsage;
}

std::string Escaped(const std::string& strName)
{
    std::string strOut;
    for (size_t i = 0; i < strName.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(strName[i]);
        if (platform::IsLeadByte(b) && i + 1 < strName.size()) {
            strOut += strName.substr(i, 2);
            ++i;
        } else if (b == '\\') {
            strOut += "\\\\";
        } else if (b == '\t') {
            strOut += "\\t";
        } else if (b == '\n') {
            strOut += "\\n";
        } else if (b == '\r') {
            strOut += "\\r";
        } else if (b < 0x20 || b == 0x7F) {
            char sz[8];
            std::snprintf(sz, sizeof(sz), "\\x%02X", b);
            strOut += sz;
        } else {
            strOut += static_cast<char>(b);
        }
    }
    return strOut;
}

}  // namespace adbtool
