#pragma once

// Unit initialisation and finalisation of the runtime. The program entry
// lists its units in start-up order; they are finalised in the reverse
// order, whether the program ends normally, halts early or fails while
// starting.

#include <cstdint>
#include <span>
#include <string>

namespace Folivant::Runtime {

struct TUnit {
    const char* Name;
    void (*Initialize)();
    void (*Finalize)();
};

// Initialises the units in order. A failure that escapes one of them
// finalises the units initialised so far, in reverse order, reports
// "Runtime error 217 at XXXXXXXX" in a message box captioned "Error" and
// ends the process with exit code 217.
void InitializeUnits(std::span<const TUnit> units);

// Finalises every initialised unit in reverse order, once. A failure in one
// finalisation does not stop the others.
void FinalizeUnits();

// Ends the process at once with exitCode, after finalising the units
// initialised so far. Used for an empty archive resource and a refused
// password.
[[noreturn]] void Halt(int exitCode);

// The text of the start-up failure report for a code address.
const char16_t* RuntimeErrorCaption();
std::u16string RuntimeErrorText(std::uintptr_t address);

} // namespace Folivant::Runtime
