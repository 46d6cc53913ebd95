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
#include <string_view>

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

// The system's path for a text and the text of a path: UTF-8 bytes on
// Linux, UTF-16 units on Windows.
std::filesystem::path PathOfText(std::u16string_view text);
String TextOfPath(const std::filesystem::path& path);

// Cuts or extends the open file to size bytes; false on a failure.
bool Truncate(int handle, std::int64_t size);

// The size of the entry at path: 0 for a folder, -1 when there is none. A
// link that leads nowhere counts as the link itself.
std::int64_t EntrySize(const std::filesystem::path& path);
// Whether anything (also a link that leads nowhere) has the name path.
bool EntryExists(const std::filesystem::path& path);
// The size (as EntrySize) of the first entry of folder, other than "." and
// "..", whose name matches pattern with the system's wildcards * and ?;
// -1 when none matches or the folder cannot be read.
std::int64_t FirstMatchSize(const std::filesystem::path& folder, const std::string& pattern);
// Whether the system's file names can have component as one name: within
// the longest name the file system allows (NUL and unpaired surrogates are
// the caller's to refuse).
bool NameFits(std::u16string_view component);

} // namespace Folivant::SystemFile
