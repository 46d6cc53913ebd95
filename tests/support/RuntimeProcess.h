#pragma once

// A packed publication run as a child process: started with a trace file,
// watched through the trace and through the X display (window properties by
// xprop and xwininfo), and ended by a signal or by itself.

#include "support/TestSupport.h"

#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace Folivant::Testing {

// Packs files (name -> bytes) with the given settings text into a
// publication executable in dir.
std::filesystem::path PackPublication(const TempDir& dir,
                                      const std::map<std::string, std::string>& files,
                                      const std::string& settings);

class TRuntimeProcess {
public:
    TRuntimeProcess(const std::filesystem::path& exe, const std::vector<std::string>& args = {},
                    const std::vector<std::string>& env = {});
    ~TRuntimeProcess();
    TRuntimeProcess(const TRuntimeProcess&) = delete;
    TRuntimeProcess& operator=(const TRuntimeProcess&) = delete;

    // The trace lines written so far.
    std::vector<std::string> Trace() const;
    bool HasTrace(const std::string& line) const;
    // Waits until a trace line starts with prefix; false on timeout or when
    // the process ended first.
    bool WaitForTrace(const std::string& prefix, int timeoutMs = 20000) const;
    // The first trace line starting with prefix, or "".
    std::string TraceLine(const std::string& prefix) const;
    void Signal(int sig);
    // Waits for the end; the exit code, 128 + signal when killed by one,
    // -1 on timeout (the process is then killed).
    int Wait(int timeoutMs = 20000);
    bool Running();
    pid_t Pid() const { return FPid; }
    // The X window ids of this process's top-level windows with that title.
    // The window may be shown a moment after the page has loaded, and its
    // properties reach the X server later still, so the lookup is repeated
    // for up to waitMs until it finds one; 0 looks once.
    std::vector<std::string> WindowsNamed(const std::string& title, int waitMs = 5000) const;

private:
    pid_t FPid = -1;
    int FStatus = -1;
    bool FDone = false;
    TempDir FDir;
    std::filesystem::path FTrace;
};

// Output of a command line run through the shell.
std::string Shell(const std::string& command);

} // namespace Folivant::Testing
