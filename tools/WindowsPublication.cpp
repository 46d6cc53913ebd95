// Windows publications: a PE runtime carries FOLDATA as a real RCDATA
// resource in its resource section instead of the table appended to Linux
// runtimes.

#include "tools/PackTool.h"

#include "base/PosixFiles.h"
#include "base/Text.h"
#include "tools/PeResources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <list>

namespace Folivant::Tools {

namespace {

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw EPackError(Utf8ToString(file.string() + ": " + std::strerror(errno)));
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad())
        throw EPackError(Utf8ToString(file.string() + ": cannot read"));
    return bytes;
}

[[noreturn]] void Fail(const std::string& what, const std::filesystem::path& file) {
    throw EPackError(Utf8ToString(what + " " + file.string() + ": " + std::strerror(errno)));
}

// Writes bytes to a temporary file beside output and renames it over
// output, so a failure leaves output as it was.
void WriteAtomically(const std::filesystem::path& output, std::span<const std::uint8_t> bytes) {
    const std::filesystem::path folder =
        output.has_parent_path() ? output.parent_path() : std::filesystem::path(".");
    TReplacement file((folder / ("." + output.filename().string() + ".XXXXXX")).string());
    if (!file.Valid())
        Fail("cannot create a file beside", output);
    if (!file.Write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())) ||
        !file.Finish(0755))
        Fail("cannot write", output);
    if (!file.Rename(output))
        Fail("cannot replace", output);
}

} // namespace

bool IsWindowsRuntime(const std::filesystem::path& runtime) {
    std::ifstream in(runtime, std::ios::binary);
    std::vector<std::uint8_t> head(0x40);
    if (!in.read(reinterpret_cast<char*>(head.data()), 0x40))
        return false;
    if (head[0] != 'M' || head[1] != 'Z')
        return false;
    const std::uint32_t pe = head[0x3C] | (head[0x3D] << 8) | (head[0x3E] << 16) |
                             (static_cast<std::uint32_t>(head[0x3F]) << 24);
    char signature[4] = {};
    return in.seekg(pe) && in.read(signature, 4) && std::memcmp(signature, "PE\0\0", 4) == 0;
}

void WriteWindowsResources(const std::filesystem::path& runtime,
                           const std::filesystem::path& output,
                           const std::vector<Platform::TNewResource>& added) {
    const std::vector<std::uint8_t> image = ReadBytes(runtime);
    std::list<std::vector<std::uint8_t>> bytes; // what the new resources point at
    std::vector<TPeNewResource> resources;
    try {
        std::optional<std::uint16_t> iconNumber;
        for (const auto& r : added) {
            const auto& data = bytes.emplace_back(
                r.File ? ReadBytes(*r.File)
                       : std::vector<std::uint8_t>(r.Bytes.begin(), r.Bytes.end()));
            if (!Platform::SameResourceName(r.Type, "ICON")) {
                resources.push_back({PeTypeName(r.Type), PeResourceName(r.Name), r.Language, data});
                continue;
            }
            // Icon images get numbers above every one the runtime uses, so
            // the runtime's own images never collide with them.
            if (!iconNumber)
                iconNumber = FreeIconNumber(TPeImage(image));
            try {
                if (LooksLikeIco(data)) {
                    const std::vector<TIcoImage> images = ParseIco(data);
                    if (*iconNumber + images.size() > 0xFFFF)
                        throw EPeError("no free icon number");
                    const auto& group = bytes.emplace_back(IcoIconGroup(images, *iconNumber));
                    for (const TIcoImage& i : images)
                        resources.push_back({PeTypeName("ICON"), TPeName{(*iconNumber)++, {}},
                                             r.Language, i.Bytes});
                    resources.push_back(
                        {PeTypeName("GROUP_ICON"), PeResourceName(r.Name), r.Language, group});
                    continue;
                }
                if (*iconNumber == 0xFFFF)
                    throw EPeError("no free icon number");
                const auto& group = bytes.emplace_back(PngIconGroup(data, *iconNumber));
                resources.push_back(
                    {PeTypeName("ICON"), TPeName{(*iconNumber)++, {}}, r.Language, data});
                resources.push_back(
                    {PeTypeName("GROUP_ICON"), PeResourceName(r.Name), r.Language, group});
            } catch (const EPeError& e) {
                throw EPackError(
                    Utf8ToString((r.File ? r.File->string() : r.Name) + ": " + e.what()));
            }
        }
        const std::vector<std::uint8_t> result = AddPeResources(image, resources);
        WriteAtomically(output, result);
    } catch (const EPeError& e) {
        throw EPackError(Utf8ToString(runtime.string() + ": " + e.what()));
    }
}

std::span<const std::uint8_t> WindowsFoldata(std::span<const std::uint8_t> file,
                                             const std::string& shown) {
    try {
        const TPeImage image(file);
        const TPeResource* resource = image.Find(PeTypeName("RCDATA"), PeResourceName("FOLDATA"));
        if (resource == nullptr)
            throw EPackError(Utf8ToString(shown + ": no FOLDATA resource"));
        return image.Data(*resource);
    } catch (const EPeError& e) {
        throw EPackError(Utf8ToString(shown + ": " + e.what()));
    }
}

} // namespace Folivant::Tools
