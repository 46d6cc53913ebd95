#include "support/RuntimeProcess.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Folivant::Testing {

std::filesystem::path PackPublication(const TempDir& dir,
                                      const std::map<std::string, std::string>& files,
                                      const std::string& settings) {
    std::filesystem::path site = dir / "site";
    for (const auto& [name, bytes] : files) {
        std::filesystem::create_directories((site / name).parent_path());
        WriteFileBytes(site / name, bytes);
    }
    std::filesystem::create_directories(site);
    WriteFileBytes(dir / "fv-config", settings);
    std::filesystem::path out = dir / "publication";
    ProcessResult r = RunProcess({PackTool().string(), "pack", site.string(), "--config",
                                  (dir / "fv-config").string(), "--runtime", RuntimeExe().string(),
                                  "-o", out.string()});
    if (r.ExitCode != 0)
        throw std::runtime_error("packing failed: " + r.Stderr);
    return out;
}

TRuntimeProcess::TRuntimeProcess(const std::filesystem::path& exe,
                                 const std::vector<std::string>& args,
                                 const std::vector<std::string>& env) {
    FTrace = FDir / "trace.txt";
    std::vector<std::string> argv = {exe.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e)
        envs.emplace_back(*e);
    envs.push_back("FOLIVANT_TRACE=" + FTrace.string());
    envs.push_back("XDG_CONFIG_HOME=" + (FDir / "config").string());
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> a, e;
    for (auto& s : argv)
        a.push_back(s.data());
    a.push_back(nullptr);
    for (auto& s : envs)
        e.push_back(s.data());
    e.push_back(nullptr);
    if (posix_spawn(&FPid, a[0], nullptr, nullptr, a.data(), e.data()) != 0)
        throw std::runtime_error("cannot start " + exe.string());
}

TRuntimeProcess::~TRuntimeProcess() {
    if (!FDone && FPid > 0) {
        ::kill(FPid, SIGKILL);
        int status = 0;
        ::waitpid(FPid, &status, 0);
    }
}

std::vector<std::string> TRuntimeProcess::Trace() const {
    std::vector<std::string> lines;
    std::ifstream in(FTrace);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool TRuntimeProcess::HasTrace(const std::string& line) const {
    for (const auto& l : Trace())
        if (l == line)
            return true;
    return false;
}

std::string TRuntimeProcess::TraceLine(const std::string& prefix) const {
    for (const auto& l : Trace())
        if (l.rfind(prefix, 0) == 0)
            return l;
    return std::string();
}

bool TRuntimeProcess::WaitForTrace(const std::string& prefix, int timeoutMs) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (!TraceLine(prefix).empty())
            return true;
        if (FDone || ::waitpid(FPid, nullptr, WNOHANG | WNOWAIT) == FPid)
            return !TraceLine(prefix).empty();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void TRuntimeProcess::Signal(int sig) {
    if (!FDone)
        ::kill(FPid, sig);
}

bool TRuntimeProcess::Running() {
    if (FDone)
        return false;
    int status = 0;
    pid_t r = ::waitpid(FPid, &status, WNOHANG);
    if (r == FPid) {
        FDone = true;
        FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

int TRuntimeProcess::Wait(int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running()) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(FPid, SIGKILL);
            int status = 0;
            ::waitpid(FPid, &status, 0);
            FDone = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return FStatus;
}

std::vector<std::string> TRuntimeProcess::WindowsNamed(const std::string& title, int waitMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        std::string out = Shell("xdotool search --all --pid " + std::to_string(FPid) +
                                " --name '^" + title + "$' 2>/dev/null");
        std::vector<std::string> ids;
        std::istringstream in(out);
        std::string id;
        while (in >> id)
            ids.push_back(id);
        if (!ids.empty() || std::chrono::steady_clock::now() >= deadline)
            return ids;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
        out.append(buffer, n);
    ::pclose(p);
    return out;
}

} // namespace Folivant::Testing
