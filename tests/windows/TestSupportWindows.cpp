// The test helpers of tests/support on Windows: the private temporary folder
// and file reading and writing. Programs are not started from the Windows
// tests, so RunProcess is not here.
#include "support/TestSupport.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace Folivant::Testing {

TempDir::TempDir() {
    wchar_t base[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH)
        throw std::runtime_error("GetTempPathW failed");
    std::random_device random;
    // CreateDirectoryW fails when the name exists: the folder is new.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path path =
            std::filesystem::path(base) / ("folivant-test-" + std::to_string(random()));
        if (CreateDirectoryW(path.c_str(), nullptr)) {
            FPath = path;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    throw std::runtime_error("CreateDirectoryW failed");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::filesystem::path BuildDir() {
    const char* env = std::getenv("FOLIVANT_BUILD_DIR");
    return env != nullptr ? env : FOLIVANT_BUILD_DIR;
}

std::filesystem::path SourceDir() {
    const char* env = std::getenv("FOLIVANT_SOURCE_DIR");
    return env != nullptr ? env : FOLIVANT_SOURCE_DIR;
}

std::filesystem::path PackTool() {
    return BuildDir() / "folivant-pack.exe";
}
std::filesystem::path RuntimeExe() {
    return BuildDir() / "folivant-runtime.exe";
}

} // namespace Folivant::Testing
