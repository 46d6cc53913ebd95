#include "platform/ExeResources.h"

#include "base/PosixFiles.h"
#include "base/Text.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Folivant::Platform {

namespace {

String SystemError(const std::string& what, const std::filesystem::path& path) {
    return Utf8ToString(what + " \"" + path.string() + "\": " + std::strerror(errno));
}

std::uint64_t GetLE(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void PutLE(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// The output file while it is written: a temporary file beside the target
// that is removed unless Commit renames it over the target.
class TAtomicOutput {
public:
    explicit TAtomicOutput(const std::filesystem::path& target)
        : FTarget(target), FFile(PatternBeside(target)) {
        if (!FFile.Valid())
            throw EResourceError(SystemError("Cannot create a file beside", target));
    }

    std::uint64_t Written() const { return FWritten; }

    void Write(const void* data, std::size_t size) {
        const std::size_t written = WriteFull(FFile.Fd(), data, size);
        FWritten += written;
        if (written != size)
            throw EResourceError(SystemError("Cannot write", FTarget));
    }

    void Commit() {
        if (!FFile.Finish(0755))
            throw EResourceError(SystemError("Cannot write", FTarget));
        if (!FFile.Rename(FTarget))
            throw EResourceError(SystemError("Cannot replace", FTarget));
    }

private:
    static std::string PatternBeside(const std::filesystem::path& target) {
        const std::filesystem::path folder =
            target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
        return (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    }

    std::filesystem::path FTarget;
    TReplacement FFile;
    std::uint64_t FWritten = 0;
};

void CopyFileInto(TAtomicOutput& out, const std::filesystem::path& file, std::uint64_t& size) {
    TFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        throw EResourceError(SystemError("Cannot read", file));
    std::vector<char> buffer(1 << 20);
    size = 0;
    for (;;) {
        const ssize_t n = ReadRetrying(fd.Get(), buffer.data(), buffer.size());
        if (n < 0)
            throw EResourceError(SystemError("Cannot read", file));
        if (n == 0)
            break;
        out.Write(buffer.data(), static_cast<std::size_t>(n));
        size += static_cast<std::uint64_t>(n);
    }
}

} // namespace

TMappedFile::TMappedFile(const std::filesystem::path& path) {
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        throw EResourceError(SystemError("Cannot open", path));
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        throw EResourceError(SystemError("Cannot open", path));
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        throw EResourceError(SystemError("Not a regular file:", path));
    }
    FSize = static_cast<std::uint64_t>(st.st_size);
    if (FSize == 0)
        return;
    void* p = ::mmap(nullptr, FSize, PROT_READ, MAP_PRIVATE, fd.Get(), 0);
    if (p == MAP_FAILED) {
        FSize = 0;
        throw EResourceError(SystemError("Cannot map", path));
    }
    FData = static_cast<const std::uint8_t*>(p);
}

TMappedFile::~TMappedFile() {
    if (FData != nullptr)
        ::munmap(const_cast<std::uint8_t*>(FData), FSize);
}

bool SameResourceName(std::string_view a, std::string_view b) {
    return SameTextAscii(a, b);
}

TExeResources::TExeResources(const std::filesystem::path& file) : FFile(file) {
    const std::uint8_t* data = FFile.Data();
    const std::uint64_t size = FFile.Size();
    FImageSize = size;
    if (size < ResourceTrailerSize || std::memcmp(data + size - 8, ResourceMagic, 8) != 0)
        return;
    FHasTrailer = true;
    const std::uint64_t dirEnd = size - ResourceTrailerSize;
    const std::uint64_t dirOffset = GetLE(data + dirEnd, 8);
    if (dirOffset > dirEnd || dirEnd - dirOffset < 4)
        return;
    std::uint64_t at = dirOffset;
    auto take = [&](std::uint64_t n) -> const std::uint8_t* {
        if (dirEnd - at < n)
            return nullptr;
        const std::uint8_t* p = data + at;
        at += n;
        return p;
    };
    const std::uint32_t count = static_cast<std::uint32_t>(GetLE(take(4), 4));
    std::vector<TResourceInfo> resources;
    for (std::uint32_t i = 0; i < count; ++i) {
        TResourceInfo r;
        const std::uint8_t* p = take(2);
        if (p == nullptr)
            return;
        const std::uint64_t typeLength = GetLE(p, 2);
        if ((p = take(typeLength)) == nullptr)
            return;
        r.Type.assign(reinterpret_cast<const char*>(p), typeLength);
        if ((p = take(2)) == nullptr)
            return;
        const std::uint64_t nameLength = GetLE(p, 2);
        if ((p = take(nameLength)) == nullptr)
            return;
        r.Name.assign(reinterpret_cast<const char*>(p), nameLength);
        if ((p = take(2 + 8 + 8)) == nullptr)
            return;
        r.Language = static_cast<std::uint16_t>(GetLE(p, 2));
        r.Offset = GetLE(p + 2, 8);
        r.Size = GetLE(p + 10, 8);
        resources.push_back(std::move(r));
    }
    FHasTable = true;
    FResources = std::move(resources);
    // The image ends where the first resource's data or the directory begins.
    FImageSize = dirOffset;
    for (const TResourceInfo& r : FResources) {
        if (r.Size > 0 && r.Offset < FImageSize && r.Size <= dirOffset - r.Offset)
            FImageSize = r.Offset;
    }
}

std::filesystem::path TExeResources::OwnExecutable() {
    return "/proc/self/exe";
}

const TResourceInfo* TExeResources::Find(std::string_view type, std::string_view name) const {
    for (const TResourceInfo& r : FResources) {
        if (SameResourceName(r.Type, type) && SameResourceName(r.Name, name))
            return &r;
    }
    return nullptr;
}

std::optional<std::span<const std::uint8_t>> TExeResources::Data(const TResourceInfo& r) const {
    const std::uint64_t size = FFile.Size();
    if (r.Offset > size || r.Size > size - r.Offset)
        return std::nullopt;
    if (r.Size == 0)
        return std::span<const std::uint8_t>();
    return std::span<const std::uint8_t>(FFile.Data() + r.Offset, r.Size);
}

void WriteExeResources(const std::filesystem::path& source, const std::filesystem::path& output,
                       const std::vector<TNewResource>& added) {
    const TExeResources old(source);
    if (old.HasTrailer() && !old.HasTable())
        throw EResourceError(
            Utf8ToString("The resource table of \"" + source.string() + "\" is damaged"));
    for (const TNewResource& r : added) {
        if (r.Type.size() > 0xFFFF || r.Name.size() > 0xFFFF)
            throw EResourceError(u"Resource name too long");
    }

    TAtomicOutput out(output);
    if (old.ImageSize() > 0)
        out.Write(old.File().Data(), old.ImageSize());

    std::vector<TResourceInfo> table;
    for (const TResourceInfo& r : old.Resources()) {
        bool replaced = false;
        for (const TNewResource& n : added)
            replaced =
                replaced || (SameResourceName(r.Type, n.Type) && SameResourceName(r.Name, n.Name));
        if (replaced)
            continue;
        const auto bytes = old.Data(r);
        if (!bytes)
            throw EResourceError(Utf8ToString("Resource " + r.Type + "/" + r.Name + " of \"" +
                                              source.string() + "\" lies outside the file"));
        TResourceInfo kept = r;
        kept.Offset = out.Written();
        out.Write(bytes->data(), bytes->size());
        table.push_back(std::move(kept));
    }
    for (std::size_t i = 0; i < added.size(); ++i) {
        const TNewResource& n = added[i];
        // A later addition of the same type and name replaces an earlier one.
        bool superseded = false;
        for (std::size_t k = i + 1; k < added.size(); ++k)
            superseded = superseded || (SameResourceName(n.Type, added[k].Type) &&
                                        SameResourceName(n.Name, added[k].Name));
        if (superseded)
            continue;
        TResourceInfo r{n.Type, n.Name, n.Language, out.Written(), 0};
        if (n.File) {
            CopyFileInto(out, *n.File, r.Size);
        } else {
            out.Write(n.Bytes.data(), n.Bytes.size());
            r.Size = n.Bytes.size();
        }
        table.push_back(std::move(r));
    }

    std::string directory;
    const std::uint64_t directoryOffset = out.Written();
    PutLE(directory, table.size(), 4);
    for (const TResourceInfo& r : table) {
        PutLE(directory, r.Type.size(), 2);
        directory += r.Type;
        PutLE(directory, r.Name.size(), 2);
        directory += r.Name;
        PutLE(directory, r.Language, 2);
        PutLE(directory, r.Offset, 8);
        PutLE(directory, r.Size, 8);
    }
    PutLE(directory, directoryOffset, 8);
    directory.append(ResourceMagic, 8);
    out.Write(directory.data(), directory.size());
    out.Commit();
}

} // namespace Folivant::Platform
