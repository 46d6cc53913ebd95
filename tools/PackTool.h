#pragma once

// folivant-pack: packs a web site into a publication executable and
// inspects publications. Each command lives in its own file and is listed
// in the command table of Main.cpp.

#include "archive/Classes.h"
#include "archive/ZipReader.h"
#include "platform/ExeResources.h"

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
    std::optional<std::string> Option(const std::string& name) const;
};

// Parses args; valueOptions are the long names of the options that take a
// value ("-o" is "output"). Raises EPackError for unknown options, missing
// values and a positional count other than positionalCount.
TArguments ParseArguments(std::span<const std::string> args,
                          std::initializer_list<const char*> valueOptions,
                          std::size_t positionalCount, const char* usage);

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

// Writes a copy of runtime with the archive file as its RCDATA FOLDATA.
void EmbedArchive(const std::filesystem::path& runtime, const std::filesystem::path& archive,
                  const std::filesystem::path& output);

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

} // namespace Folivant::Tools
