#pragma once

// The framework classes every unit builds on: the text type, the exception
// base that carries a message, and the stream classes that entries are decoded
// into and archives are read from.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace Folivant {

// Text inside the system is UTF-16, as every string rule is defined on code
// units. UTF-8 is used only at the boundary to the libraries and the OS.
using String = std::u16string;
using TBytes = std::vector<std::uint8_t>;

// Base of every failure the system raises. Subclasses are named with "E".
class Exception : public std::exception {
public:
    explicit Exception(String message);
    const String& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FUtf8.c_str(); }

private:
    String FMessage;
    std::string FUtf8;
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

class EOutOfMemory : public Exception {
public:
    using Exception::Exception;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// A sequence of bytes with a position, like the framework's TStream.
class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to count bytes at the position; returns how many were read.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    // Writes count bytes at the position; returns how many were written.
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

    std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
    virtual std::int64_t Size();

    // Reads or writes exactly count bytes or raises EStreamError.
    void ReadBuffer(void* buffer, std::int64_t count);
    void WriteBuffer(const void* buffer, std::int64_t count);
};

// A stream over one block of memory. The block may belong to the stream
// (TMemoryStream) or to someone else (TReadOnlyMemoryStream).
class TCustomMemoryStream : public TStream {
public:
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() override { return FSize; }
    const std::uint8_t* Memory() const { return FMemory; }

protected:
    void SetPointer(const std::uint8_t* memory, std::int64_t size);
    const std::uint8_t* FMemory = nullptr;
    std::int64_t FSize = 0;
    std::int64_t FPosition = 0;
};

// A read-only view of memory owned elsewhere (a resource in the mapped
// executable). Writing raises EStreamError.
class TReadOnlyMemoryStream : public TCustomMemoryStream {
public:
    TReadOnlyMemoryStream(const void* memory, std::int64_t size);
    std::int64_t Write(const void* buffer, std::int64_t count) override;
};

// A growable stream in memory that owns its bytes.
class TMemoryStream : public TCustomMemoryStream {
public:
    TMemoryStream() = default;
    TMemoryStream(const TMemoryStream&) = delete;
    TMemoryStream& operator=(const TMemoryStream&) = delete;
    ~TMemoryStream() override;

    std::int64_t Write(const void* buffer, std::int64_t count) override;
    // Bytes gained by growing keep what the memory held: decoders write
    // into Data() past the size after Reserve and then grow over them.
    void SetSize(std::int64_t size);
    // Makes room for at least capacity bytes without changing the size.
    void Reserve(std::int64_t capacity);
    void Clear();
    std::uint8_t* Data() { return FData; }
    std::string ToString() const {
        return std::string(reinterpret_cast<const char*>(FMemory), static_cast<std::size_t>(FSize));
    }

private:
    std::uint8_t* FData = nullptr;
    std::int64_t FCapacity = 0;
};

// A stream over a file, like the framework's TFileStream. Opening failures
// raise EFOpenError; read and write failures surface as short counts (and so
// as EStreamError from ReadBuffer/WriteBuffer).
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

enum class TFileMode {
    fmCreate,    // create or truncate, read and write
    fmOpenRead,  // existing file, read only
    fmOpenWrite, // existing file, write only
    fmOpenReadWrite,
};

class TFileStream : public TStream {
public:
    TFileStream(const std::filesystem::path& path, TFileMode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() override;
    int Handle() const { return FHandle; }

private:
    int FHandle = -1;
};

} // namespace Folivant
