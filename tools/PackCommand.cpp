// pack SITE_DIR [--config FILE] [--runtime FILE] [--icon PNG|ICO] [--title TEXT]
// [--company TEXT] [--version A.B.C.D] [--check] -o OUT:
// every file and folder of the site in sorted order (folders as "name/"),
// the settings file as the top-level entry "fv-config", written as the
// publication archive into a copy of the runtime. With SOURCE_DATE_EPOCH set
// the output is reproducible.

#include "tools/PackTool.h"

#include "base/Text.h"
#include "archive/ZipWriter.h"
#include "shared/IniFiles.h"
#include "shared/PublicationSettings.h"
#include "tools/PeResources.h"

#include <fcntl.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace Folivant::Tools {

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

// The settings text as the archive carries it. Without a byte-order mark
// the runtime reads the text in the ANSI code page; an author on Linux
// writes UTF-8, so a file that is well-formed UTF-8 with characters beyond
// ASCII gets the UTF-8 mark, and the runtime reads what the author wrote.
std::string ConfigBytes(const std::filesystem::path& file, bool announce) {
    TFileStream in(file, TFileMode::fmOpenRead);
    std::string bytes(static_cast<std::size_t>(in.Size()), '\0');
    if (in.Read(bytes.data(), static_cast<std::int64_t>(bytes.size())) !=
        static_cast<std::int64_t>(bytes.size()))
        throw EPackError(Utf8ToString(file.string() + ": cannot be read"));
    const bool marked = bytes.starts_with("\xEF\xBB\xBF") || bytes.starts_with("\xFF\xFE") ||
                        bytes.starts_with("\xFE\xFF");
    const bool nonAscii =
        std::any_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; });
    if (marked || !nonAscii || !IsWellFormedUtf8(bytes))
        return bytes;
    if (announce)
        std::fprintf(stderr,
                     "folivant-pack pack: %s is UTF-8; the archive's fv-config gets a UTF-8 "
                     "byte-order mark so the runtime reads it as written\n",
                     file.string().c_str());
    return "\xEF\xBB\xBF" + bytes;
}

namespace {

const char* const Usage =
    "folivant-pack pack SITE_DIR [--config FILE] [--runtime FILE] [--icon PNG|ICO] [--title TEXT] "
    "[--company TEXT] [--version A.B.C.D] [--check] -o OUT";

// Progress is shown on a terminal, and for large sites also in logs.
constexpr std::size_t ManyFiles = 2000;

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
        // Read as the runtime will read the archive's copy.
        const std::string bytes = ConfigBytes(configFile, false);
        TReadOnlyMemoryStream in(bytes.data(), static_cast<std::int64_t>(bytes.size()));
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

void AddConfig(Archive::TZipWriter& writer, const std::filesystem::path& file, bool reproducible) {
    const std::string bytes = ConfigBytes(file, true);
    const std::uint16_t time = writer.ModTime, date = writer.ModDate;
    if (!reproducible)
        Archive::DosDateTime(file, writer.ModTime, writer.ModDate);
    writer.AddBytes("fv-config", bytes);
    writer.ModTime = time;
    writer.ModDate = date;
}

// SOURCE_DATE_EPOCH, when set: whole seconds since 1970.
std::optional<std::int64_t> SourceDateEpoch() {
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || seconds < 0 ||
        !std::isdigit(static_cast<unsigned char>(*text)))
        throw EPackError(
            Utf8ToString(std::string("SOURCE_DATE_EPOCH=") + text + " is not a number of seconds"));
    return seconds;
}

// Accepts a PNG file only: the signature, then chunks whose lengths and
// CRCs hold, starting with IHDR and reaching IEND.
void CheckPngIcon(const std::filesystem::path& file) {
    const auto fail = [&](const std::string& why) {
        throw EPackError(Utf8ToString(file.string() + ": " + why));
    };
    if (::access(file.c_str(), R_OK) != 0)
        fail(std::strerror(errno));
    std::string bytes;
    try {
        TFileStream in(file, TFileMode::fmOpenRead);
        if (in.Size() > 64 * 1024 * 1024)
            fail("the icon is larger than 64 MB");
        bytes.resize(static_cast<std::size_t>(in.Size()));
        if (in.Read(bytes.data(), static_cast<std::int64_t>(bytes.size())) !=
            static_cast<std::int64_t>(bytes.size()))
            fail("cannot be read");
    } catch (const EPackError&) {
        throw;
    } catch (const Exception& e) {
        fail(Utf8(e.Message()));
    }
    const std::string_view signature("\x89PNG\r\n\x1A\n", 8);
    if (!std::string_view(bytes).starts_with(signature))
        fail("not a PNG image (the icon must be a PNG file)");
    const auto be32 = [&](std::size_t at) {
        return (std::uint32_t(std::uint8_t(bytes[at])) << 24) |
               (std::uint32_t(std::uint8_t(bytes[at + 1])) << 16) |
               (std::uint32_t(std::uint8_t(bytes[at + 2])) << 8) | std::uint8_t(bytes[at + 3]);
    };
    std::size_t at = signature.size();
    bool first = true;
    for (;;) {
        if (bytes.size() - at < 12)
            fail("a damaged PNG image (it ends before its IEND chunk)");
        const std::uint32_t length = be32(at);
        const std::string type = bytes.substr(at + 4, 4);
        if (length > bytes.size() - at - 12)
            fail("a damaged PNG image (chunk " + type + " runs past the end)");
        const auto crc = static_cast<std::uint32_t>(
            ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + at + 4), length + 4));
        if (crc != be32(at + 8 + length))
            fail("a damaged PNG image (chunk " + type + " fails its check)");
        if (first && (type != "IHDR" || length != 13 || be32(at + 8) == 0 || be32(at + 12) == 0))
            fail("a damaged PNG image (no image header)");
        first = false;
        if (type == "IEND")
            return;
        at += 12 + length;
    }
}

// True when the icon is an ICO file whose
// directory and images fit in it; an ICO file that does not fit raises
// EPackError, a file that is no ICO file returns false (it must then be a
// PNG image). An ICO file for a Linux runtime raises EPackError.
bool CheckIcoIcon(const std::filesystem::path& file, bool windows) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> bytes(6);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), 6) || !LooksLikeIco(bytes))
        return false;
    if (!windows)
        throw EPackError(Utf8ToString(
            file.string() + ": an ICO icon is for Windows runtimes only; give a PNG image"));
    in.seekg(0, std::ios::end);
    const auto size = static_cast<std::uint64_t>(in.tellg());
    if (size > 64 * 1024 * 1024)
        throw EPackError(Utf8ToString(file.string() + ": the icon is larger than 64 MB"));
    bytes.resize(size);
    if (!in.seekg(0) || !in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(size)))
        throw EPackError(Utf8ToString(file.string() + ": cannot be read"));
    try {
        ParseIco(bytes);
    } catch (const EPeError& e) {
        throw EPackError(Utf8ToString(file.string() + ": " + e.what()));
    }
    return true;
}

// The VERSION resource for --title, --company and --version; a fresh one,
// replacing any the runtime has.
std::string VersionBytes(const TPackOptions& o) {
    std::array<std::uint16_t, 4> version{};
    try {
        if (o.Version)
            version = ParseFileVersion(*o.Version);
    } catch (const EPeError& e) {
        throw EPackError(Utf8ToString(e.what()));
    }
    const auto utf16 = [](const std::string& text) {
        const String s = Utf8ToString(text);
        return std::u16string(s.begin(), s.end());
    };
    std::vector<std::pair<std::u16string, std::u16string>> strings;
    if (o.Company)
        strings.emplace_back(u"CompanyName", utf16(*o.Company));
    if (o.Title) {
        strings.emplace_back(u"FileDescription", utf16(*o.Title));
        strings.emplace_back(u"ProductName", utf16(*o.Title));
    }
    if (o.Version) {
        strings.emplace_back(u"FileVersion", utf16(*o.Version));
        strings.emplace_back(u"ProductVersion", utf16(*o.Version));
    }
    try {
        const std::vector<std::uint8_t> bytes = VersionInfo(version, strings);
        return std::string(bytes.begin(), bytes.end());
    } catch (const EPeError& e) {
        throw EPackError(Utf8ToString(e.what()));
    }
}

} // namespace

void PackSite(const TPackOptions& o) {
    const std::filesystem::path& site = o.Site;
    const std::optional<std::filesystem::path>& config = o.Config;
    if (::access(o.Runtime.c_str(), R_OK) != 0)
        throw EPackError(Utf8ToString(o.Runtime.string() + ": " + std::strerror(errno)));
    if (config && ::access(config->c_str(), R_OK) != 0)
        throw EPackError(Utf8ToString(config->string() + ": " + std::strerror(errno)));
    const bool windows = IsWindowsRuntime(o.Runtime);
    if (o.Icon && !CheckIcoIcon(*o.Icon, windows))
        CheckPngIcon(*o.Icon);
    std::vector<Platform::TNewResource> more;
    if (o.Title || o.Company || o.Version) {
        if (!windows)
            throw EPackError(Utf8ToString(o.Runtime.string() +
                                          ": --title, --company and --version are for Windows "
                                          "runtimes only (a Linux runtime has no version "
                                          "information)"));
        more.push_back({"VERSION", "#1", 1033, VersionBytes(o), {}});
    }
    const std::optional<std::int64_t> epoch = SourceDateEpoch();

    const std::vector<TSiteEntry> entries = CollectSite(site, config.has_value());
    const std::filesystem::path configFile = config ? *config : site / "fv-config";
    if (o.Check) {
        if (CheckSite(site, config, stdout) > 0)
            throw EPackError(u"the check found errors; nothing was written");
    } else if (config || std::filesystem::is_regular_file(configFile)) {
        CheckIndexPage(configFile, entries);
    }
    std::uint64_t totalBytes = 0;
    for (const auto& e : entries)
        totalBytes += e.Size;

    TTemporaryArchive archive(o.Output);
    {
        TFileStream out(archive.Path(), TFileMode::fmCreate);
        Archive::TZipWriter writer(out);
        if (epoch)
            writer.SetSourceDateEpoch(*epoch);
        TProgress progress(entries.size(), totalBytes);
        std::size_t done = 0;
        writer.OnProgress = [&](std::uint64_t bytes) { progress.Update(done, bytes); };
        try {
            if (config)
                AddConfig(writer, *config, epoch.has_value());
            for (const TSiteEntry& e : entries) {
                if (e.Directory)
                    writer.AddDirectory(e.Name);
                else if (SameAsciiText(e.Name, "fv-config"))
                    AddConfig(writer, e.Path, epoch.has_value());
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
    EmbedArchive(o.Runtime, archive.Path(), o.Output, o.Icon, more);
}

int PackCommand(std::span<const std::string> args) {
    const TArguments a =
        ParseArguments(args, {"config", "runtime", "output", "icon", "title", "company", "version"},
                       1, Usage, {"check"});
    const auto output = a.Option("output");
    if (!output)
        throw EPackError(Utf8ToString(std::string("-o OUT is required; usage: ") + Usage));
    TPackOptions o;
    o.Site = a.Positional[0];
    if (const auto config = a.Option("config"))
        o.Config = *config;
    o.Runtime = RuntimeOption(a);
    o.Output = *output;
    if (const auto icon = a.Option("icon"))
        o.Icon = *icon;
    o.Title = a.Option("title");
    o.Company = a.Option("company");
    o.Version = a.Option("version");
    o.Check = a.Flag("check");
    PackSite(o);
    return 0;
}

} // namespace Folivant::Tools
