// The portable part of the style manager: decoding style files, and
// registering, listing and finding them among the program's resources.
// Comparing names, installing a style and drawing its preview are the
// platform's (platform/gtk, platform/windows).
#include "platform/ui/StyleManager.h"

#include "base/Text.h"
#include "platform/ProgramResources.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace Folivant::Platform {

namespace {

// A style file decodes to a few kilobytes of text; anything far larger is
// not one of ours and is refused rather than inflated without bound.
constexpr std::size_t MaxStyleText = 4u << 20;

std::optional<std::string> Inflate(std::span<const std::uint8_t> data) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return std::nullopt;
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(data.size(), 0xFFFFFFFFu));
    std::string out;
    char buffer[16384];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
        if (out.size() > MaxStyleText || (rc == Z_BUF_ERROR && z.avail_in == 0))
            break;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END)
        return std::nullopt;
    return out;
}

} // namespace

std::optional<TStyleFile> ParseStyleFile(std::span<const std::uint8_t> data) {
    const std::size_t signature = std::strlen(StyleFileSignature);
    if (data.size() < signature || std::memcmp(data.data(), StyleFileSignature, signature) != 0)
        return std::nullopt;
    const auto text = Inflate(data.subspan(signature));
    if (!text || text->size() > MaxStyleText || !IsWellFormedUtf8(*text))
        return std::nullopt;
    const std::size_t lineEnd = text->find('\n');
    std::string name = text->substr(0, lineEnd);
    if (!name.empty() && name.back() == '\r')
        name.pop_back();
    if (name.empty() || name.find('\0') != std::string::npos)
        return std::nullopt;
    TStyleFile file;
    file.Name = Utf8ToString(name);
    if (lineEnd != std::string::npos)
        file.StyleSheet = text->substr(lineEnd + 1);
    return file;
}

bool SameStyleName(const String& a, const String& b) {
    return CompareStyleNames(a, b) == 0;
}

void TStyleManager::RegisterStyleFiles() {
    if (FRegistered)
        return;
    FRegistered = true;

    std::vector<TResource> resources = std::move(FGivenResources);
    std::vector<std::string> failed;
    if (FOwnResources)
        for (const std::string& name : OwnResourceNames("VCLSTYLE")) {
            const auto data = OwnResource("VCLSTYLE", name);
            if (!data) {
                failed.push_back(name);
                continue;
            }
            resources.push_back(TResource{name, {data->begin(), data->end()}});
        }
    for (auto& resource : resources) {
        auto file = ParseStyleFile(resource.Data);
        const bool duplicate =
            file && (SameStyleName(file->Name, SystemStyleName) ||
                     std::any_of(FFiles.begin(), FFiles.end(), [&](const TStyleFile& known) {
                         return SameStyleName(known.Name, file->Name);
                     }));
        if (!file || duplicate) {
            failed.push_back(resource.Name);
            continue;
        }
        file->ResourceName = resource.Name;
        FFiles.push_back(std::move(*file));
    }
    if (failed.size() == 1)
        throw EStyleError(u"Unable to load style '" + Utf8ToString(failed.front()) + u"'");
    if (failed.size() > 1) {
        String names;
        for (const auto& name : failed)
            names += (names.empty() ? u"" : u", ") + Utf8ToString(name);
        throw EStyleError(u"Unable to load styles: " + names);
    }
}

std::vector<String> TStyleManager::StyleNames() {
    RegisterStyleFiles();
    std::vector<String> names{SystemStyleName};
    for (const auto& file : FFiles)
        names.push_back(file.Name);
    return names;
}

bool TStyleManager::SetStyle(const String& name) {
    RegisterStyleFiles();
    if (SameStyleName(name, SystemStyleName)) {
        Activate(SystemStyleName, NoSheet);
        return true;
    }
    for (std::size_t i = 0; i < FLoadedNames.size(); ++i)
        if (SameStyleName(name, FLoadedNames[i])) {
            Activate(FLoadedNames[i], i);
            return true;
        }
    for (const auto& file : FFiles)
        if (SameStyleName(name, file.Name)) {
            LoadSheet(file);
            FLoadedNames.push_back(file.Name);
            Activate(file.Name, FLoadedNames.size() - 1);
            return true;
        }
    return false;
}

const TStyleFile* TStyleManager::FindStyleFile(const String& exactName) {
    RegisterStyleFiles();
    for (const auto& file : FFiles)
        if (file.Name == exactName)
            return &file;
    return nullptr;
}

} // namespace Folivant::Platform
