// What adbtool's commands print: lines on the console, JSON documents, and error
// lines that name the database as the user typed it, with the exit codes.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace adbtool {

enum { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitBusy = 3 };

using Json = nlohmann::ordered_json;

// The database directory the command works on, as the user knows it: every
// failure names it.
extern std::string g_strShownDirectory;

// --json: one JSON document on standard output instead of the text.
extern bool g_bJson;

// Code-page text for a JSON document, which is UTF-8.
std::string Utf8(const std::string& strAnsi);

// Writes the document as bytes: UTF-8 on both targets, never converted for the
// console.
void OutJson(const Json& document);

// A directory as messages name it: in the user's form.
std::string Shown(const std::string& strDirectory);

// Code-page text on standard output, converted for the console.
void Out(const std::string& strText);

// One line "adbtool: TEXT" on standard error.
void Error(const std::string& strText);

// A name as rows print it: one row per attribute whatever the name holds. A
// backslash becomes "\\", tab, line feed and carriage return "\t", "\n" and "\r",
// other control bytes "\xHH"; the bytes of a double-byte character stay as they
// are, since its second byte may be a backslash.
std::string Escaped(const std::string& strName);

// Says what is wrong with the command line; returns kExitUsage.
int Usage(const std::string& strText);

}  // namespace adbtool
