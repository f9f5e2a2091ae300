// adbtool: makes, changes, lists and checks attribute databases from the command
// line. AdbToolMain takes the arguments as code-page text (argument 0 is the
// program); only the directory arguments are paths, given in the user's form (on
// POSIX "/a/b") or the engine's, and made absolute. Messages name directories in
// the user's form. It returns the exit code:
// 0 done, 1 the command failed, 2 the command line is wrong. Output goes to
// standard output, every error to standard error as one line. It never lets an
// exception out.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

int AdbToolMain(const std::vector<std::string>& vArgs);

// Says on standard error that argument nArgument holds, at character nPosition, a
// character (strCharacter, "U+00E9" or "byte FF") that the code page cannot hold,
// so that it would name another attribute or file, and returns exit code 2.
int AdbToolRefuseArgument(size_t nArgument, size_t nPosition, const std::string& strCharacter);
