#include "base/Classes.h"

#include "base/Text.h"
#include "base/SystemFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace Folivant {

Exception::Exception(String message)
    : FMessage(std::move(message)), FUtf8(StringToUtf8(FMessage)) {}

std::int64_t TStream::Size() {
    const std::int64_t position = Seek(0, TSeekOrigin::soCurrent);
    const std::int64_t size = Seek(0, TSeekOrigin::soEnd);
    Seek(position, TSeekOrigin::soBeginning);
    return size;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
    if (count != 0 && Read(buffer, count) != count)
        throw EStreamError(u"Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
    if (count != 0 && Write(buffer, count) != count)
        throw EStreamError(u"Stream write error");
}

std::int64_t TCustomMemoryStream::Read(void* buffer, std::int64_t count) {
    if (count <= 0 || FPosition >= FSize)
        return 0;
    const std::int64_t n = std::min(count, FSize - FPosition);
    std::memcpy(buffer, FMemory + FPosition, static_cast<std::size_t>(n));
    FPosition += n;
    return n;
}

std::int64_t TCustomMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    std::int64_t base = 0;
    switch (origin) {
    case TSeekOrigin::soBeginning:
        base = 0;
        break;
    case TSeekOrigin::soCurrent:
        base = FPosition;
        break;
    case TSeekOrigin::soEnd:
        base = FSize;
        break;
    }
    const std::int64_t target = base + offset;
    FPosition = target < 0 ? 0 : target;
    return FPosition;
}

void TCustomMemoryStream::SetPointer(const std::uint8_t* memory, std::int64_t size) {
    FMemory = memory;
    FSize = size;
}

TReadOnlyMemoryStream::TReadOnlyMemoryStream(const void* memory, std::int64_t size) {
    SetPointer(static_cast<const std::uint8_t*>(memory), size);
}

std::int64_t TReadOnlyMemoryStream::Write(const void*, std::int64_t) {
    throw EStreamError(u"Can't write to a read-only memory stream");
}

TMemoryStream::~TMemoryStream() {
    std::free(FData);
}

void TMemoryStream::Reserve(std::int64_t capacity) {
    if (capacity <= FCapacity)
        return;
    if (capacity < 0 || static_cast<std::uint64_t>(capacity) > SIZE_MAX / 2)
        throw EOutOfMemory(u"Out of memory");
    void* grown = std::realloc(FData, static_cast<std::size_t>(capacity));
    if (grown == nullptr)
        throw EOutOfMemory(u"Out of memory");
    FData = static_cast<std::uint8_t*>(grown);
    FCapacity = capacity;
    FMemory = FData;
}

void TMemoryStream::SetSize(std::int64_t size) {
    if (size < 0)
        size = 0;
    Reserve(size);
    FSize = size;
    FMemory = FData;
    if (FPosition > FSize)
        FPosition = FSize;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0)
        return 0;
    const std::int64_t end = FPosition + count;
    if (end > FCapacity) {
        // Grow geometrically so that many small writes stay linear overall.
        std::int64_t capacity = std::max<std::int64_t>(end, FCapacity + FCapacity / 2);
        Reserve(std::max<std::int64_t>(capacity, 256));
    }
    if (FPosition > FSize)
        std::memset(FData + FSize, 0, static_cast<std::size_t>(FPosition - FSize));
    std::memcpy(FData + FPosition, buffer, static_cast<std::size_t>(count));
    FPosition = end;
    if (FPosition > FSize)
        FSize = FPosition;
    FMemory = FData;
    return count;
}

void TMemoryStream::Clear() {
    std::free(FData);
    FData = nullptr;
    FMemory = nullptr;
    FCapacity = 0;
    FSize = 0;
    FPosition = 0;
}

TFileStream::TFileStream(const std::filesystem::path& path, TFileMode mode) {
    std::string error;
    FHandle = SystemFile::Open(path, mode, error);
    if (FHandle < 0) {
        const String name = Utf8ToString(path.string());
        if (mode == TFileMode::fmCreate)
            throw EFOpenError(u"Cannot create file \"" + name + u"\". " + Utf8ToString(error));
        throw EFOpenError(u"Cannot open file \"" + name + u"\". " + Utf8ToString(error));
    }
}

TFileStream::~TFileStream() {
    if (FHandle >= 0)
        SystemFile::Close(FHandle);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    if (count <= 0)
        return 0;
    return SystemFile::Read(FHandle, buffer, static_cast<std::size_t>(count));
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0)
        return 0;
    return SystemFile::Write(FHandle, buffer, static_cast<std::size_t>(count));
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    const std::int64_t r = SystemFile::Seek(FHandle, offset, origin);
    if (r < 0)
        return SystemFile::Seek(FHandle, 0, TSeekOrigin::soCurrent);
    return r;
}

std::int64_t TFileStream::Size() {
    const std::int64_t size = SystemFile::Size(FHandle);
    return size < 0 ? TStream::Size() : size;
}

} // namespace Folivant
