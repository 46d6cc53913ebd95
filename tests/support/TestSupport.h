#pragma once

// Helpers for tests: a private temporary folder, file reading and writing,
// and running a program to collect its exit code and output.

#include <filesystem>
#include <string>
#include <vector>

namespace Folivant::Testing {

// A fresh folder under the temporary folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }
    std::filesystem::path operator/(const std::string& name) const { return FPath / name; }

private:
    std::filesystem::path FPath;
};

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

struct ProcessResult {
    int ExitCode = -1; // -1 when the process was killed by a signal
    std::string Stdout;
    std::string Stderr;
};

// Runs argv[0] with the given arguments and extra environment entries
// ("NAME=value"), waiting at most timeoutSeconds.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {}, int timeoutSeconds = 60);

// Paths of the built programs and the source tree.
std::filesystem::path BuildDir();
std::filesystem::path SourceDir();
std::filesystem::path PackTool();
std::filesystem::path RuntimeExe();

} // namespace Folivant::Testing
