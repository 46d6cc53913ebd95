// run SITE_DIR [--config FILE] [--runtime FILE] [--icon PNG] [-- ARG...]:
// packs the site into a private temporary folder, starts the publication
// with the arguments, waits for it and removes what it packed. SIGTERM and
// SIGINT are passed on to the publication, which ends as it always does;
// the file is removed afterwards. The exit code is the publication's
// (128 + the signal when a signal ended it).

#include "tools/PackTool.h"

#include "base/Text.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace Folivant::Tools {

namespace {

const char* const Usage =
    "folivant-pack run SITE_DIR [--config FILE] [--runtime FILE] [--icon PNG] [-- ARG...]";

volatile sig_atomic_t ChildPid = 0;
volatile sig_atomic_t PendingSignal = 0;

void PassOn(int sig) {
    if (ChildPid > 0)
        ::kill(static_cast<pid_t>(ChildPid), sig);
    else
        PendingSignal = sig;
}

// A private folder (0700) in the temporary folder, removed with everything
// in it when the run ends.
class TPrivateFolder {
public:
    TPrivateFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/folivant-run-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw EPackError(Utf8ToString("cannot create a temporary folder: " +
                                          std::string(std::strerror(errno))));
        FPath = pattern;
    }
    ~TPrivateFolder() {
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }
    TPrivateFolder(const TPrivateFolder&) = delete;
    TPrivateFolder& operator=(const TPrivateFolder&) = delete;
    const std::filesystem::path& Path() const { return FPath; }

private:
    std::filesystem::path FPath;
};

// Passes SIGTERM and SIGINT on to the child while it lives; the previous
// handlers come back afterwards.
class TSignalForwarding {
public:
    TSignalForwarding() {
        struct sigaction action {};
        action.sa_handler = PassOn;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, &FOldTerm);
        ::sigaction(SIGINT, &action, &FOldInt);
    }
    ~TSignalForwarding() {
        ChildPid = 0;
        ::sigaction(SIGTERM, &FOldTerm, nullptr);
        ::sigaction(SIGINT, &FOldInt, nullptr);
    }
    TSignalForwarding(const TSignalForwarding&) = delete;
    TSignalForwarding& operator=(const TSignalForwarding&) = delete;

private:
    struct sigaction FOldTerm {};
    struct sigaction FOldInt {};
};

} // namespace

int RunCommand(std::span<const std::string> args) {
    const TArguments a = ParseArguments(args, {"config", "runtime", "icon"}, 1, Usage, {}, true);
    // Signals that arrive while packing end the command before anything starts.
    TSignalForwarding forwarding;
    TPrivateFolder folder;
    TPackOptions o;
    o.Site = a.Positional[0];
    if (const auto config = a.Option("config"))
        o.Config = *config;
    if (const auto icon = a.Option("icon"))
        o.Icon = *icon;
    o.Runtime = RuntimeOption(a);
    const std::string name =
        std::filesystem::absolute(o.Site).lexically_normal().filename().string();
    o.Output = folder.Path() / (name.empty() ? "publication" : name);
    PackSite(o);
    if (PendingSignal != 0)
        return 128 + PendingSignal;

    std::vector<std::string> argv = {o.Output.string()};
    argv.insert(argv.end(), a.Rest.begin(), a.Rest.end());
    std::vector<char*> pointers;
    for (std::string& s : argv)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);

    // The child starts with the default handling of both signals and none blocked.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    // SIGTERM and SIGINT are held back from the spawn until the child's id
    // is known, so none is lost in between.
    sigset_t held, previous;
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGINT);
    ::sigprocmask(SIG_BLOCK, &held, &previous);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, pointers[0], nullptr, &attributes, pointers.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned == 0)
        ChildPid = pid;
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (spawned != 0)
        throw EPackError(
            Utf8ToString("cannot start " + o.Output.string() + ": " + std::strerror(spawned)));
    if (PendingSignal != 0)
        ::kill(pid, PendingSignal);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            throw EPackError(Utf8ToString(std::string("waiting for the publication failed: ") +
                                          std::strerror(errno)));
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

} // namespace Folivant::Tools
