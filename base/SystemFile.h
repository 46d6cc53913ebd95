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

// Creates a new file for reading and writing, only when nothing (a file, a
// folder, a link, even a dangling one) has the name yet; no link is followed.
// mode gives the permission bits where the system has them, whatever the
// process's umask. A negative handle is a failure: exists tells whether the
// name was taken, and error holds the system's message.
int CreateNew(const std::filesystem::path& path, unsigned mode, bool& exists, std::string& error);

// What tells one file from another on the same system: equal identities
// name the same file.
struct TFileIdentity {
    std::uint64_t Volume = 0;
    std::uint64_t Index = 0;
    friend bool operator==(const TFileIdentity&, const TFileIdentity&) = default;
};
// The identity of the open file, or false.
bool Identity(int handle, TFileIdentity& identity);
// The identity of the regular file at path, or false for anything else (a
// link is not followed).
bool IdentityAtPath(const std::filesystem::path& path, TFileIdentity& identity);

} // namespace Folivant::SystemFile
