// How a step of the restoration reports its failure: its result text on the
// console ("NG\n" or the time-out text), and one line on standard error saying why
// in plain words.
#pragma once

#include <string>

// Prints szResult and the reason; returns -1 for the caller to hand on.
int FailStep(const char* szResult, const std::string& strWhy);
