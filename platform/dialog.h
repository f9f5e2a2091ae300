// Questions to the user. The Windows backend shows a message box; the POSIX
// backend asks on the terminal when standard input is one and answers "No"
// otherwise, so a process without a user never waits.
#pragma once

namespace platform {

// Asks a Yes/No question with a title and a text (ANSI, code page 932). Returns
// true for Yes. Blocks until the user answers. Thread-safe.
bool AskYesNo(const char* szTitle, const char* szText);

enum Answer { kAnswerYes, kAnswerNo, kAnswerCancel };

// Asks a Yes/No/Cancel question, as above. A question that cannot be asked, or
// that comes back without an answer, counts as No.
Answer AskYesNoCancel(const char* szTitle, const char* szText);

}  // namespace platform
