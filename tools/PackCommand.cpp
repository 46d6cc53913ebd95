// pack SITE_DIR [--config FILE] [--runtime FILE] -o OUT: every file and
// folder of the site in sorted order (folders as "name/"), the settings file
// as the top-level entry "fv-config", written as the publication archive
// into a copy of the runtime.

#include "tools/PackTool.h"

#include "archive/Text.h"
#include "archive/ZipWriter.h"
#include "shared/IniFiles.h"
#include "shared/PublicationSettings.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Folivant::Tools {

namespace {

const char* const Usage = "folivant-pack pack SITE_DIR [--config FILE] [--runtime FILE] -o OUT";

// Progress is shown on a terminal, and for large sites also in logs.
constexpr std::size_t ManyFiles = 2000;

struct TSiteEntry {
    std::string Name; // relative, "/" separated, folders end in "/"
    std::filesystem::path Path;
    bool Directory = false;
    std::uint64_t Size = 0;
};

bool SameAsciiText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto up = [](char c) {
                   return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
               };
               return up(x) == up(y);
           });
}

std::vector<TSiteEntry> CollectSite(const std::filesystem::path& site, bool skipConfig) {
    std::error_code ec;
    if (!std::filesystem::is_directory(site, ec))
        throw EPackError(Utf8ToString(site.string() + ": not a readable folder"));
    std::vector<TSiteEntry> entries;
    std::filesystem::recursive_directory_iterator it(site, ec), end;
    if (ec)
        throw EPackError(Utf8ToString(site.string() + ": " + ec.message()));
    for (; it != end; it.increment(ec)) {
        if (ec)
            throw EPackError(Utf8ToString(site.string() + ": " + ec.message()));
        const std::filesystem::path& path = it->path();
        const std::string name = path.lexically_relative(site).generic_string();
        if (!IsWellFormedUtf8(name))
            throw EPackError(Utf8ToString(path.string() + ": the name is not UTF-8"));
        // A folder's symbolic link is not followed, so a link loop can't
        // make the archive endless; links to files are packed as the file.
        const auto status = std::filesystem::status(path, ec);
        if (ec)
            throw EPackError(Utf8ToString(path.string() + ": " + ec.message()));
        TSiteEntry entry;
        entry.Path = path;
        if (std::filesystem::is_directory(status)) {
            if (it->is_symlink())
                throw EPackError(Utf8ToString(path.string() + ": a link to a folder"));
            entry.Name = name + "/";
            entry.Directory = true;
        } else if (std::filesystem::is_regular_file(status)) {
            if (skipConfig && SameAsciiText(name, "fv-config"))
                continue;
            entry.Name = name;
            entry.Size = std::filesystem::file_size(path, ec);
            if (::access(path.c_str(), R_OK) != 0)
                throw EPackError(Utf8ToString(path.string() + ": " + std::strerror(errno)));
        } else {
            throw EPackError(Utf8ToString(path.string() + ": not a regular file"));
        }
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(),
              [](const TSiteEntry& a, const TSiteEntry& b) { return a.Name < b.Name; });
    return entries;
}

// The archive while it is built: a temporary file beside the output,
// removed when packing ends.
class TTemporaryArchive {
public:
    explicit TTemporaryArchive(const std::filesystem::path& output) {
        const auto folder = output.has_parent_path() ? output.parent_path() : ".";
        std::string pattern =
            (folder / ("." + output.filename().string() + ".zip.XXXXXX")).string();
        const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0)
            throw EPackError(Utf8ToString("cannot create a file beside " + output.string() + ": " +
                                          std::strerror(errno)));
        ::close(fd);
        FPath = pattern;
    }
    ~TTemporaryArchive() { ::unlink(FPath.c_str()); }
    TTemporaryArchive(const TTemporaryArchive&) = delete;
    TTemporaryArchive& operator=(const TTemporaryArchive&) = delete;
    const std::filesystem::path& Path() const { return FPath; }

private:
    std::filesystem::path FPath;
};

class TProgress {
public:
    TProgress(std::size_t files, std::uint64_t bytes)
        : FFiles(files), FBytes(bytes), FTerminal(::isatty(STDERR_FILENO) == 1),
          FShown(FTerminal || files >= ManyFiles) {}

    void Update(std::size_t filesDone, std::uint64_t bytesDone) {
        if (!FShown)
            return;
        const int percent =
            FBytes == 0 ? 100
                        : static_cast<int>(bytesDone * 100 / std::max<std::uint64_t>(FBytes, 1));
        // In a log only every tenth percent gets a line.
        if (percent == FLastPercent || (!FTerminal && percent / 10 == FLastPercent / 10))
            return;
        FLastPercent = percent;
        std::fprintf(stderr,
                     FTerminal ? "\rpacking: %3d%% (%zu of %zu entries)"
                               : "packing: %d%% (%zu of %zu entries)\n",
                     percent, filesDone, FFiles);
        std::fflush(stderr);
    }
    void Done() {
        if (FShown && FTerminal)
            std::fputc('\n', stderr);
    }

private:
    std::size_t FFiles;
    std::uint64_t FBytes;
    bool FTerminal;
    bool FShown;
    int FLastPercent = -1;
};

// Files whose formats are compressed already are stored: deflating them
// again only costs time and usually makes them larger.
bool StoredKind(const std::filesystem::path& file) {
    static const char* const Kinds[] = {".png", ".jpg", ".jpeg", ".gif",  ".webp",  ".zip", ".gz",
                                        ".bz2", ".xz",  ".7z",   ".mp3",  ".mp4",   ".m4a", ".ogg",
                                        ".oga", ".ogv", ".webm", ".woff", ".woff2", ".avif"};
    const std::string extension = file.extension().string();
    for (const char* kind : Kinds) {
        if (SameAsciiText(extension, kind))
            return true;
    }
    return false;
}

// Warns about an index page the runtime would show badly: none at all, one
// that is not in the site, or one at the top level, whose relative links the
// engine resolves below "fvp://page.html/" where no entry can be.
void CheckIndexPage(const std::filesystem::path& configFile,
                    const std::vector<TSiteEntry>& entries) {
    Shared::TMemIniFile ini;
    {
        TFileStream in(configFile, TFileMode::fmOpenRead);
        ini.SetStrings(Shared::StreamToLines(in));
    }
    const std::string index = StringToUtf8(Shared::ReadPublicationSettings(ini).IndexPage);
    const auto warn = [](const std::string& text) {
        std::fprintf(stderr, "folivant-pack pack: warning: %s\n", text.c_str());
    };
    if (index.empty()) {
        warn("the settings name no IndexPage; the publication will show no page");
        return;
    }
    const std::string page = index.substr(0, index.find_first_of("?#"));
    const bool found = std::any_of(entries.begin(), entries.end(), [&](const TSiteEntry& e) {
        return SameAsciiText(e.Name, page);
    });
    if (!found)
        warn("IndexPage \"" + index + "\" is not in the site");
    if (page.find('/') == std::string::npos)
        warn("IndexPage \"" + index +
             "\" is at the top of the site; relative links in it would resolve below \"fvp://" +
             page + "/\". Keep the site in a folder of its own and name the page as folder/" +
             page);
}

} // namespace

int PackCommand(std::span<const std::string> args) {
    const TArguments a = ParseArguments(args, {"config", "runtime", "output"}, 1, Usage);
    const auto output = a.Option("output");
    if (!output)
        throw EPackError(Utf8ToString(std::string("-o OUT is required; usage: ") + Usage));
    const std::filesystem::path site = a.Positional[0];
    const auto config = a.Option("config");
    const std::filesystem::path runtime = RuntimeOption(a);
    if (::access(runtime.c_str(), R_OK) != 0)
        throw EPackError(Utf8ToString(runtime.string() + ": " + std::strerror(errno)));
    if (config && ::access(config->c_str(), R_OK) != 0)
        throw EPackError(Utf8ToString(*config + ": " + std::strerror(errno)));

    const std::vector<TSiteEntry> entries = CollectSite(site, config.has_value());
    const std::filesystem::path configFile =
        config ? std::filesystem::path(*config) : site / "fv-config";
    if (config || std::filesystem::is_regular_file(configFile))
        CheckIndexPage(configFile, entries);
    std::uint64_t totalBytes = 0;
    for (const auto& e : entries)
        totalBytes += e.Size;

    TTemporaryArchive archive(*output);
    {
        TFileStream out(archive.Path(), TFileMode::fmCreate);
        Archive::TZipWriter writer(out);
        TProgress progress(entries.size(), totalBytes);
        std::size_t done = 0;
        writer.OnProgress = [&](std::uint64_t bytes) { progress.Update(done, bytes); };
        try {
            if (config)
                writer.AddFile("fv-config", *config);
            for (const TSiteEntry& e : entries) {
                if (e.Directory)
                    writer.AddDirectory(e.Name);
                else
                    writer.AddFile(e.Name, e.Path, !StoredKind(e.Path));
                ++done;
            }
            writer.Finish();
        } catch (const Exception& e) {
            progress.Done();
            throw EPackError(e.Message());
        }
        progress.Update(done, totalBytes);
        progress.Done();
    }
    EmbedArchive(runtime, archive.Path(), *output);
    return 0;
}

} // namespace Folivant::Tools
