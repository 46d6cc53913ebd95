#pragma once

// The few system services the shared units ask for by themselves: the
// running program's file name, random bytes, what the user's locale says
// about numbers, upper case and letters, and appending a line to the trace
// file. platform/posix and platform/windows implement them.

#include "base/Classes.h"

#include <cstddef>
#include <string_view>

namespace Folivant::Platform {

// The running program's file as the system names it, or empty. On Linux
// that is the kernel's name of /proc/self/exe, which ends in " (deleted)"
// once the file was deleted or replaced.
String ProcessFileName();

// The command line the program was started with, as one text: on Windows
// as the system keeps it; on Linux the arguments joined by spaces, each one
// that is empty or holds a blank in double quotes (a double quote inside an
// argument cannot be written in that form and is dropped).
String ProcessCommandLine();

// Fills buffer from the system's random generator; false when it gave
// fewer bytes.
bool SystemRandom(void* buffer, std::size_t size);

// The decimal separator of the user's locale; empty when it names none.
String LocaleDecimalSeparator();

// The upper case of a unit outside the surrogates as the user's locale
// makes it, or the unit itself when the locale leaves it alone or has no
// single-unit upper case for it.
char16_t LocaleUpperCase(char16_t unit);

// True when c is a letter of any script, whatever the user's locale.
bool IsUnicodeLetter(char32_t c);

// Appends line to the file at path in one write, creating the file (owner
// only) when it is missing; never follows a link there. Failures are
// ignored: a trace must never change what the program does.
void AppendLine(const char* path, std::string_view line);

} // namespace Folivant::Platform
