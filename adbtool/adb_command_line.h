// adbtool's command line: the commands, their arguments, options and help, read
// with CLI11 and handed to the commands.
#pragma once

#include <string>
#include <vector>

namespace adbtool {

// Reads the arguments (argument 0 is the program) and runs the command they name;
// returns the exit code. Exceptions of the commands pass through.
int RunCommandLine(const std::vector<std::string>& vArgsIn);

}  // namespace adbtool
