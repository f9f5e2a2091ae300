// The engine's one exception type. Conditions that callers expect are int
// results; everything else (damaged files, wrong modes, failed platform calls)
// throws CFault, always through ThrowFault, so one breakpoint catches every
// engine failure. It carries no message.
#pragma once

namespace velk {

class CFault {};

[[noreturn]] void ThrowFault();

}  // namespace velk
