#include "tools/PackTool.h"

#include "base/PosixFiles.h"
#include "base/Text.h"
#include "tools/PeResources.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Folivant::Tools {

std::string Utf8(const String& text) {
    return StringToUtf8(text);
}

std::optional<std::string> TArguments::Option(const std::string& name) const {
    const auto it = Options.find(name);
    if (it == Options.end())
        return std::nullopt;
    return it->second;
}

bool TArguments::Flag(const std::string& name) const {
    return std::find(Flags.begin(), Flags.end(), name) != Flags.end();
}

TArguments ParseArguments(std::span<const std::string> args,
                          std::initializer_list<const char*> valueOptions,
                          std::size_t positionalCount, const char* usage,
                          std::initializer_list<const char*> flagOptions, bool restAfterDashes) {
    TArguments out;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded && restAfterDashes) {
            out.Rest.push_back(arg);
            continue;
        }
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            out.Positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name;
        std::optional<std::string> value;
        if (arg == "-o") {
            name = "output";
        } else if (arg.rfind("--", 0) == 0) {
            name = arg.substr(2);
            const auto equals = name.find('=');
            if (equals != std::string::npos) {
                value = name.substr(equals + 1);
                name.resize(equals);
            }
        } else {
            throw EPackError(Utf8ToString("unknown option " + arg + "; usage: " + usage));
        }
        bool flag = false;
        for (const char* f : flagOptions)
            flag = flag || name == f;
        if (flag && !value) {
            out.Flags.push_back(name);
            continue;
        }
        bool known = false;
        for (const char* v : valueOptions)
            known = known || name == v;
        if (!known)
            throw EPackError(Utf8ToString("unknown option " + arg + "; usage: " + usage));
        if (!value) {
            if (i + 1 >= args.size())
                throw EPackError(Utf8ToString("option " + arg + " needs a value; usage: " + usage));
            value = args[++i];
        }
        out.Options[name] = *value;
    }
    if (out.Positional.size() != positionalCount)
        throw EPackError(Utf8ToString(std::string("usage: ") + usage));
    return out;
}

TPublication::TPublication(const std::filesystem::path& file) {
    const std::string shown = file.string();
    try {
        FFile = std::make_unique<Platform::TExeResources>(file);
    } catch (const Platform::EResourceError& e) {
        throw EPackError(e.Message());
    }
    const auto* data = FFile->File().Data();
    const std::uint64_t size = FFile->File().Size();
    if (FFile->HasTrailer()) {
        if (!FFile->HasTable())
            throw EPackError(Utf8ToString(shown + ": the resource table is damaged"));
        const Platform::TResourceInfo* resource = FFile->Find("RCDATA", "FOLDATA");
        if (resource == nullptr)
            throw EPackError(Utf8ToString(shown + ": no FOLDATA resource"));
        const auto bytes = FFile->Data(*resource);
        if (!bytes)
            throw EPackError(Utf8ToString(shown + ": the FOLDATA resource lies outside the file"));
        FStream = std::make_unique<TReadOnlyMemoryStream>(bytes->data(),
                                                          static_cast<std::int64_t>(bytes->size()));
    } else if (LooksLikePe({data, static_cast<std::size_t>(size)})) {
        const auto bytes = WindowsFoldata({data, static_cast<std::size_t>(size)}, shown);
        FStream = std::make_unique<TReadOnlyMemoryStream>(bytes.data(),
                                                          static_cast<std::int64_t>(bytes.size()));
    } else {
        if (size >= 4 && std::memcmp(data,
                                     "\x7F"
                                     "ELF",
                                     4) == 0)
            throw EPackError(Utf8ToString(shown + ": an executable without resources"));
        FStream = std::make_unique<TReadOnlyMemoryStream>(data, static_cast<std::int64_t>(size));
    }
    FZip = std::make_unique<Archive::TZipReader>();
    FZip->Password = Archive::ArchivePassword;
    FZip->ArchiveType = Archive::TArchiveType::atZip;
    FZip->ForceType = true;
    try {
        FZip->SetStream(FStream.get());
    } catch (const Exception& e) {
        throw EPackError(Utf8ToString(shown + ": unreadable archive: ") + e.Message());
    }
}

std::filesystem::path DefaultRuntime() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "folivant-runtime";
    return self.parent_path() / "folivant-runtime";
}

std::filesystem::path RuntimeOption(const TArguments& args) {
    const auto given = args.Option("runtime");
    return given ? std::filesystem::path(*given) : DefaultRuntime();
}

void EmbedArchive(const std::filesystem::path& runtime, const std::filesystem::path& archive,
                  const std::filesystem::path& output,
                  const std::optional<std::filesystem::path>& icon,
                  const std::vector<Platform::TNewResource>& more) {
    Platform::TNewResource resource;
    resource.Type = "RCDATA";
    resource.Name = "FOLDATA";
    resource.Language = 1033;
    resource.File = archive;
    std::vector<Platform::TNewResource> added = {resource};
    if (icon)
        added.push_back({"ICON", "MAINICON", 1033, {}, *icon});
    added.insert(added.end(), more.begin(), more.end());
    WriteRuntimeResources(runtime, output, added);
}

void WriteRuntimeResources(const std::filesystem::path& runtime,
                           const std::filesystem::path& output,
                           const std::vector<Platform::TNewResource>& added) {
    if (IsWindowsRuntime(runtime))
        return WriteWindowsResources(runtime, output, added);
    try {
        Platform::WriteExeResources(runtime, output, added);
    } catch (const Platform::EResourceError& e) {
        throw EPackError(e.Message());
    }
}

void WriteStdout(std::string_view bytes) {
    if (!WriteAll(STDOUT_FILENO, bytes))
        throw EPackError(
            Utf8ToString(std::string("cannot write the output: ") + std::strerror(errno)));
}

} // namespace Folivant::Tools
