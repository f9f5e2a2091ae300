// How a step of the restoration reports its failure: its result text on the
// console ("NG\n" or the time-out text), and one line on standard error saying why
// in plain words. Paths in those lines are in the user's form.
#pragma once

#include <string>

// Prints szResult and the reason; returns -1 for the caller to hand on.
int FailStep(const char* szResult, const std::string& strWhy);

// FailStep for a step that failed on a damaged store of the database in
// strDatabase (engine form): a second line on standard error names the command
// that salvages what the database still holds.
int FailDamagedStep(const char* szResult, const std::string& strWhy,
                    const std::string& strDatabase);

// The second line of FailDamagedStep, without its line break.
std::string RecoverHint(const std::string& strDatabase);
