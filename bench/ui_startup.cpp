// Start-up time, script bridge round trip and memory of a running
// publication, each against a reference measured in the same run:
// - process start to the index page loaded, runtime vs the minimal WebKitGTK
//   program loading the same page from file:// (median of several runs);
// - window.external round trip: median of 1,000 calls timed in the page;
// - peak resident memory of the whole process tree (UI, web and network
//   processes) with the page open, runtime vs the minimal program.
// Needs a display (run under xvfb-run) and the built folivant-pack and
// folivant-runtime beside this program.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char* const Page =
    "<!DOCTYPE html><html><head><title>Start</title><style>body{font:16px sans-serif}</style>"
    "</head><body><h1>A publication</h1><p>Some text on the first page.</p></body></html>";

// The page's clock is coarse (whole milliseconds here), so the calls are
// timed in 20 batches of 50; the median is that of the batches' per-call
// times, and the mean that of all 1,000 calls.
const char* const BridgePage =
    "<!DOCTYPE html><script>var e=window.external,t=[],all=0;e.appIsRuntime();"
    "for(var b=0;b<20;b++){var a=performance.now();for(var i=0;i<50;i++)e.appIsRuntime();"
    "var d=performance.now()-a;all+=d;t.push(d/50)}"
    "t.sort(function(x,y){return x-y});"
    "location.href='fvp://report?median='+t[10]+'&mean='+(all/1000);</script>";

fs::path Here() {
    return fs::canonical("/proc/self/exe").parent_path();
}

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
            int stdoutFd = -1) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> a, e;
    for (auto& s : const_cast<std::vector<std::string>&>(argv))
        a.push_back(s.data());
    a.push_back(nullptr);
    for (auto& s : env)
        e.push_back(s.data());
    e.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, a[0], &actions, nullptr, a.data(), e.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void Collect(pid_t pid, std::vector<pid_t>& out) {
    out.push_back(pid);
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child;
    while (in >> child)
        Collect(child, out);
}

// Peak resident set of the process and all its descendants, in KiB.
long TreePeakKiB(pid_t root) {
    std::vector<pid_t> pids;
    Collect(root, pids);
    long total = 0;
    for (pid_t p : pids) {
        std::ifstream in("/proc/" + std::to_string(p) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("VmHWM:", 0) == 0)
                total += std::atol(line.c_str() + 6);
    }
    return total;
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

void Stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10000)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
}

struct TRun {
    double Seconds = -1;
    long PeakKiB = 0;
    std::string Trace;
};

TRun RunRuntime(const fs::path& pub, const fs::path& dir, const std::string& until) {
    fs::path trace = dir / "trace.txt";
    fs::remove(trace);
    auto start = Clock::now();
    pid_t pid = Spawn({pub.string()}, {"FOLIVANT_TRACE=" + trace.string(),
                                       "XDG_CONFIG_HOME=" + (dir / "config").string()});
    TRun run;
    if (pid < 0)
        return run;
    if (WaitFor([&] { return ReadAll(trace).find(until) != std::string::npos; }, 30000))
        run.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.PeakKiB = TreePeakKiB(pid);
    run.Trace = ReadAll(trace);
    Stop(pid);
    return run;
}

TRun RunMinimal(const fs::path& page, const fs::path& dir) {
    fs::path out = dir / "minimal.txt";
    std::FILE* f = std::fopen(out.c_str(), "w");
    auto start = Clock::now();
    pid_t pid = Spawn({(Here() / "bench_ui_minimal_webkit").string(), "file://" + page.string()},
                      {}, fileno(f));
    std::fclose(f);
    TRun run;
    if (pid < 0)
        return run;
    if (WaitFor([&] { return ReadAll(out).find("loaded") != std::string::npos; }, 30000))
        run.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.PeakKiB = TreePeakKiB(pid);
    Stop(pid);
    return run;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

fs::path Pack(const fs::path& dir, const std::string& index) {
    fs::create_directories(dir / "site");
    std::ofstream(dir / "site" / "index.html") << index;
    std::ofstream(dir / "fv-config") << "[Folivant]\nAppTitle=Bench\nIndexPage=index.html\n";
    fs::path out = dir / "publication";
    std::string cmd = (Here() / "folivant-pack").string() + " pack " + (dir / "site").string() +
                      " --config " + (dir / "fv-config").string() + " --runtime " +
                      (Here() / "folivant-runtime").string() + " -o " + out.string() +
                      " > /dev/null";
    if (std::system(cmd.c_str()) != 0)
        return {};
    return out;
}

} // namespace

int main() {
    if (std::getenv("DISPLAY") == nullptr) {
        std::fputs("ui_startup: needs a display; run it under xvfb-run -a\n", stderr);
        return 2;
    }
    char pattern[] = "/tmp/folivant-bench-XXXXXX";
    fs::path dir = ::mkdtemp(pattern);
    fs::path pub = Pack(dir / "start", Page);
    fs::path bridge = Pack(dir / "bridge", BridgePage);
    if (pub.empty() || bridge.empty()) {
        std::fputs("ui_startup: packing failed\n", stderr);
        return 1;
    }
    fs::path page = dir / "start" / "site" / "index.html";

    const int runs = 5;
    std::vector<double> runtimeTimes, minimalTimes;
    long runtimePeak = 0, minimalPeak = 0;
    // Alternate the two programs so that both see the same machine state;
    // one warm-up run of each first.
    RunRuntime(pub, dir, "DocumentComplete fvp://index.html");
    RunMinimal(page, dir);
    for (int i = 0; i < runs; ++i) {
        TRun r = RunRuntime(pub, dir, "DocumentComplete fvp://index.html");
        TRun m = RunMinimal(page, dir);
        runtimeTimes.push_back(r.Seconds);
        minimalTimes.push_back(m.Seconds);
        runtimePeak = std::max(runtimePeak, r.PeakKiB);
        minimalPeak = std::max(minimalPeak, m.PeakKiB);
    }
    double rt = Median(runtimeTimes), mt = Median(minimalTimes);
    std::printf("startup to index page loaded: runtime %.3f s, minimal WebKitGTK %.3f s, "
                "ratio %.2fx (goal <= 1.10x), median of %d\n",
                rt, mt, rt / mt, runs);

    TRun b = RunRuntime(bridge, dir / "bridge", "BeforeNavigate2 fvp://report?");
    auto at = b.Trace.find("median=");
    if (at != std::string::npos) {
        double median = std::atof(b.Trace.c_str() + at + 7);
        auto meanAt = b.Trace.find("mean=");
        double p = meanAt != std::string::npos ? std::atof(b.Trace.c_str() + meanAt + 5) : -1;
        std::printf("window.external round trip: median %.3f ms, mean %.3f ms over 1000 calls "
                    "(goal median <= 0.3 ms), ratio to goal %.2f\n",
                    median, p, median / 0.3);
    } else {
        std::printf("window.external round trip: no report from the page\n");
    }
    std::printf("peak RSS, whole process tree with the page open: runtime %.1f MiB, minimal "
                "WebKitGTK %.1f MiB, difference %+.1f MiB (goal <= +15 MiB)\n",
                runtimePeak / 1024.0, minimalPeak / 1024.0, (runtimePeak - minimalPeak) / 1024.0);
    fs::remove_all(dir);
    return 0;
}
