// The system's own reason for a failure, for messages to the user. Each backend
// remembers, per thread, the last OS error that its calls met, leaving out the
// answers that normal work meets all the time (no such file while probing, exists,
// sharing violation), so that a reason shown beside a failure is the one that made
// it fail.
#pragma once

#include <string>

namespace platform {

// The system's words for the last remembered error of this thread ("Permission
// denied"; on Windows the system's message text in the ANSI code page), or empty
// when nothing was remembered since the last ForgetSystemError.
std::string LastSystemError();

// Forgets the remembered error of this thread.
void ForgetSystemError();

}  // namespace platform
