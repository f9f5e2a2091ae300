// adbtool: makes, changes, lists and checks attribute databases from the command
// line. AdbToolMain takes the arguments in the engine's form (code-page text,
// drive-absolute paths; argument 0 is the program) and returns the exit code:
// 0 done, 1 the command failed, 2 the command line is wrong. Output goes to
// standard output, every error to standard error as one line. It never lets an
// exception out.
#pragma once

#include <string>
#include <vector>

int AdbToolMain(const std::vector<std::string>& vArgs);
