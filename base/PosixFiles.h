#pragma once

// File descriptors and the system calls around them: a descriptor that
// closes itself, reads and writes that go on after a signal and after a
// short transfer, whole-file reads, and the replacement of a file all at
// once (a temporary file beside it, synced and renamed over it), so that a
// crash leaves either the old file or the new one, never a part.
// Failures are reported as the system reports them: the functions return a
// failure and leave errno set.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace Folivant {

// A file descriptor that closes itself.
class TFd {
public:
    explicit TFd(int fd = -1) : FFd(fd) {}
    ~TFd() { Reset(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    TFd(TFd&& other) noexcept : FFd(other.Release()) {}
    TFd& operator=(TFd&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    int Get() const { return FFd; }
    bool Valid() const { return FFd >= 0; }
    // Hands the descriptor on; the caller closes it.
    int Release() {
        const int fd = FFd;
        FFd = -1;
        return fd;
    }
    void Reset(int fd = -1);

private:
    int FFd;
};

// One read(2) of at most size bytes, repeated while a signal interrupts it.
ssize_t ReadRetrying(int fd, void* buffer, std::size_t size);
// Reads until size bytes, the end of the file or a failure; returns the
// bytes read.
std::size_t ReadFull(int fd, void* buffer, std::size_t size);
// Writes all size bytes, going on after a signal or a short write; returns
// the bytes written, fewer than size only on a failure.
std::size_t WriteFull(int fd, const void* data, std::size_t size);
// WriteFull for a socket: a peer that has gone fails the call instead of
// raising SIGPIPE.
std::size_t SendFull(int fd, const void* data, std::size_t size);
inline bool WriteAll(int fd, std::string_view bytes) {
    return WriteFull(fd, bytes.data(), bytes.size()) == bytes.size();
}

// Appends the rest of the file to text; false on a failure of read. Stops
// once text holds more than limit bytes, so a caller that bounds the size
// sees the excess without reading an endless file.
bool ReadRest(int fd, std::string& text, std::size_t limit = std::string::npos);
// The whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::filesystem::path& path, std::string& text,
                   std::size_t limit = std::string::npos);

// A file that replaces its target all at once. It is written as a
// temporary file made from pattern (a path ending in "XXXXXX", in the
// target's folder); Commit syncs it and renames it over the target. A
// replacement that is not committed removes its temporary file.
class TReplacement {
public:
    explicit TReplacement(std::string pattern);
    ~TReplacement();
    TReplacement(const TReplacement&) = delete;
    TReplacement& operator=(const TReplacement&) = delete;

    // False when the temporary file could not be made (errno tells why).
    bool Valid() const { return FFd.Valid(); }
    int Fd() const { return FFd.Get(); }
    const std::string& TempPath() const { return FTemp; }

    bool Write(std::string_view bytes) { return WriteAll(FFd.Get(), bytes); }
    // Finish and Rename; false with errno set on a failure of either.
    bool Commit(const std::filesystem::path& target, mode_t mode = 0, bool syncFolder = false);
    // Gives the file mode (unless mode is 0), syncs and closes it.
    bool Finish(mode_t mode = 0);
    // Renames the finished file over target and, with syncFolder, syncs
    // the folder so that the rename itself outlives a crash.
    bool Rename(const std::filesystem::path& target, bool syncFolder = false);

private:
    TFd FFd;
    std::string FTemp;
    bool FCreated = false;
    bool FCommitted = false;
};

// Replaces target with bytes through a TReplacement whose temporary file
// is the target's name with ".XXXXXX" appended.
bool ReplaceFile(const std::filesystem::path& target, std::string_view bytes, mode_t mode = 0,
                 bool syncFolder = false);

} // namespace Folivant
