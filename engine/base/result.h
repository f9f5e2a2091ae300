// The engine's int results: the outcomes that callers expect in normal use.
// Everything else throws CFault (engine/base/fault.h). Classes that hand out
// results repeat the ones they use in their own scope, with the same values.
#pragma once

namespace velk {

enum {
    kOk = 0,
    kFailed = 1,            // a failure or refusal
    kInvalidArgument = 2,   // the caller's mistake
    kEndOfWalk = 4,
    kExists = 5,            // the path or record already exists
    kNotDatabase = 6,
    kAttExists = 0x20,
};

}  // namespace velk
