#pragma once

// The operating system's file calls behind the framework's file stream: a
// file opened by path (binary, not inherited by child processes), read,
// written, positioned and measured through a small integer handle. Each
// platform has its own file (platform/posix, platform/windows).

#include "base/Classes.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>

namespace Folivant::SystemFile {

// Opens path; a negative handle is a failure, and error then holds the
// system's message.
int Open(const std::filesystem::path& path, TFileMode mode, std::string& error);
void Close(int handle);
// Reads until count bytes, the end of the file or a failure, going on after
// a signal or a short read; returns the bytes read.
std::int64_t Read(int handle, void* buffer, std::size_t count);
// Writes all count bytes; returns the bytes written, fewer only on a failure.
std::int64_t Write(int handle, const void* buffer, std::size_t count);
// The new position, or a negative value when the position is not valid.
std::int64_t Seek(int handle, std::int64_t offset, TSeekOrigin origin);
// The file's size, or a negative value when it cannot be read.
std::int64_t Size(int handle);

// The last modification time of a file in seconds since 1970, or false.
bool ModificationTime(const std::filesystem::path& path, std::int64_t& seconds);
// The calendar fields of a time in UTC or local time, or false.
bool CalendarTime(std::int64_t seconds, bool utc, std::tm& tm);

} // namespace Folivant::SystemFile
