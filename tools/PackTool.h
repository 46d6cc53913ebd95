#pragma once

// folivant-pack: packs a web site into a publication executable and
// inspects publications. Each command lives in its own file and is listed
// in the command table of Main.cpp.

#include "base/Classes.h"
#include "archive/ZipReader.h"
#include "platform/ExeResources.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Folivant::Tools {

// A failure the tool reports as one line on standard error, exit code 2.
class EPackError : public Exception {
public:
    using Exception::Exception;
};

// The command line of one command: positional arguments and options.
struct TArguments {
    std::vector<std::string> Positional;
    std::map<std::string, std::string> Options; // by long name, e.g. "output"
    std::vector<std::string> Flags;             // options without a value
    // Arguments after "--" when the command keeps them apart (see below).
    std::vector<std::string> Rest;
    std::optional<std::string> Option(const std::string& name) const;
    bool Flag(const std::string& name) const;
};

// Parses args; valueOptions are the long names of the options that take a
// value ("-o" is "output"), flagOptions those without one. Arguments after
// "--" are positional, or go to Rest when restAfterDashes is set. Raises
// EPackError for unknown options, missing values and a positional count
// other than positionalCount.
TArguments ParseArguments(std::span<const std::string> args,
                          std::initializer_list<const char*> valueOptions,
                          std::size_t positionalCount, const char* usage,
                          std::initializer_list<const char*> flagOptions = {},
                          bool restAfterDashes = false);

// A publication opened for inspection: its archive bytes (the FOLDATA
// resource of an executable, or a bare ZIP file as it is) and a reader.
class TPublication {
public:
    // Raises EPackError when the file cannot be read, has no FOLDATA, or the
    // archive is unreadable.
    explicit TPublication(const std::filesystem::path& file);
    Archive::TZipReader& Zip() { return *FZip; }

private:
    std::unique_ptr<Platform::TExeResources> FFile;
    std::unique_ptr<TReadOnlyMemoryStream> FStream;
    std::unique_ptr<Archive::TZipReader> FZip;
};

// The runtime next to this program, used when --runtime is not given.
std::filesystem::path DefaultRuntime();
std::filesystem::path RuntimeOption(const TArguments& args);

// Writes a copy of runtime with the archive file as its RCDATA FOLDATA and,
// when given, the PNG file as its ICON MAINICON in place of the runtime's.
void EmbedArchive(const std::filesystem::path& runtime, const std::filesystem::path& archive,
                  const std::filesystem::path& output,
                  const std::optional<std::filesystem::path>& icon = std::nullopt,
                  const std::vector<Platform::TNewResource>& more = {});

// One file or folder of a site.
struct TSiteEntry {
    std::string Name; // relative, "/" separated, folders end in "/"
    std::filesystem::path Path;
    bool Directory = false;
    std::uint64_t Size = 0;
};

// Every file and folder below site in name order; a top-level "fv-config"
// is left out when skipConfig is set. Raises EPackError for anything that
// cannot be packed (unreadable files, names that are not UTF-8, links to
// folders).
std::vector<TSiteEntry> CollectSite(const std::filesystem::path& site, bool skipConfig);

bool SameAsciiText(std::string_view a, std::string_view b);

// The settings file's bytes as the archive carries them: a UTF-8 file with
// characters beyond ASCII and no byte-order mark gets the UTF-8 mark (said
// on standard error when announce is set).
std::string ConfigBytes(const std::filesystem::path& file, bool announce);

// What pack does, for pack and run.
struct TPackOptions {
    std::filesystem::path Site;
    std::optional<std::filesystem::path> Config;
    std::filesystem::path Runtime;
    std::filesystem::path Output;
    std::optional<std::filesystem::path> Icon; // a PNG file; an ICO file for Windows runtimes
    // The version information of a Windows publication.
    std::optional<std::string> Title, Company, Version;
    bool Check = false; // check the site first; an error writes nothing
};
// Raises EPackError on any failure; the output is then left as it was.
void PackSite(const TPackOptions& options);

// Checks the site's references and settings, one line each on out. Returns
// the number of errors.
int CheckSite(const std::filesystem::path& site, const std::optional<std::filesystem::path>& config,
              std::FILE* out);

// Writes a copy of runtime with the added resources (see
// Platform::WriteExeResources). A Windows runtime (MZ header with a PE
// signature) gets them as real resources in its resource section; there an
// ICON, a PNG image, becomes an icon group of that name.
void WriteRuntimeResources(const std::filesystem::path& runtime,
                           const std::filesystem::path& output,
                           const std::vector<Platform::TNewResource>& added);
bool IsWindowsRuntime(const std::filesystem::path& runtime);
void WriteWindowsResources(const std::filesystem::path& runtime,
                           const std::filesystem::path& output,
                           const std::vector<Platform::TNewResource>& added);
// The FOLDATA bytes of a PE publication; raises EPackError when it is damaged
// or has none.
std::span<const std::uint8_t> WindowsFoldata(std::span<const std::uint8_t> file,
                                             const std::string& shown);

void WriteStdout(std::string_view bytes);
std::string Utf8(const String& text);

// The commands. Each returns the exit code.
int PackCommand(std::span<const std::string> args);
int EmbedCommand(std::span<const std::string> args);
int ListCommand(std::span<const std::string> args);
int FindCommand(std::span<const std::string> args);
int CatCommand(std::span<const std::string> args);
int SettingsCommand(std::span<const std::string> args);
int ResourcesCommand(std::span<const std::string> args);
int ResolveCommand(std::span<const std::string> args);
int CheckCommand(std::span<const std::string> args);
int RunCommand(std::span<const std::string> args);

} // namespace Folivant::Tools
