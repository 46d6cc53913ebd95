#include "platform/ui/Application.h"

#include "base/Text.h"
#include "platform/gtk/GlibOwner.h"
#include "platform/ui/MessageBox.h"

#include <glib-unix.h>
#include <glib.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <utility>

namespace Folivant::Platform {

namespace {

GMainLoop* MainLoop = nullptr;

bool TerminationAsked = false;
std::function<void()> OnTermination;
guint SignalSources[2] = {0, 0};

gboolean TerminationSignal(gpointer) {
    TerminationAsked = true;
    GuardCallback([] {
        if (OnTermination)
            OnTermination();
    });
    return G_SOURCE_CONTINUE;
}

// How often a waiting action looks whether the modal loops have ended.
constexpr guint OutermostLoopPollMs = 20;

gboolean RunInOutermostLoop(gpointer data) {
    // One dispatch on the stack is the loop that called this one; more mean
    // a modal window's loop runs inside a handler.
    if (g_main_depth() > 1)
        return G_SOURCE_CONTINUE;
    GuardCallback([&] { (*static_cast<std::function<void()>*>(data))(); });
    return G_SOURCE_REMOVE;
}

void FreeAction(gpointer data) {
    delete static_cast<std::function<void()>*>(data);
}

gboolean RunPostedCall(gpointer data) {
    try {
        (*static_cast<std::function<void()>*>(data))();
    } catch (...) {
        HandleCallbackException();
    }
    return G_SOURCE_REMOVE;
}

char16_t LowerUnit(char16_t c) {
    if (c >= u'A' && c <= u'Z')
        return static_cast<char16_t>(c + (u'a' - u'A'));
    if (c < 0x80 || (c >= 0xD800 && c <= 0xDFFF))
        return c;
    gunichar lower = g_unichar_tolower(c);
    return lower <= 0xFFFF ? static_cast<char16_t>(lower) : c;
}

} // namespace

String ApplicationTitleOf(const String& fileName) {
    String name = fileName;
    auto slash = name.find_last_of(u'/');
    if (slash != String::npos)
        name = name.substr(slash + 1);
    auto dot = name.find(u'.');
    if (dot != String::npos)
        name = name.substr(0, dot);
    for (std::size_t i = 1; i < name.size(); ++i)
        name[i] = LowerUnit(name[i]);
    return name;
}

String ApplicationTitle() {
    char buffer[4096];
    ssize_t len = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (len <= 0)
        return String();
    return ApplicationTitleOf(
        Utf8ToString(std::string_view(buffer, static_cast<std::size_t>(len))));
}

bool InitializeApplication(const char* programName) {
    if (programName != nullptr && g_get_prgname() == nullptr) {
        const TGString base(g_path_get_basename(programName));
        g_set_prgname(base);
    }
    return gtk_init_check(nullptr, nullptr) != FALSE;
}

void WatchTerminationSignals(std::function<void()> onSignal) {
    StopWatchingTerminationSignals();
    OnTermination = std::move(onSignal);
    SignalSources[0] = g_unix_signal_add(SIGINT, TerminationSignal, nullptr);
    SignalSources[1] = g_unix_signal_add(SIGTERM, TerminationSignal, nullptr);
}

void StopWatchingTerminationSignals() {
    for (guint& source : SignalSources) {
        if (source != 0)
            g_source_remove(source);
        source = 0;
    }
    OnTermination = nullptr;
}

bool ShutDownRequested() {
    return TerminationAsked;
}

void WhenInOutermostLoop(std::function<void()> action) {
    g_timeout_add_full(G_PRIORITY_DEFAULT, OutermostLoopPollMs, RunInOutermostLoop,
                       new std::function<void()>(std::move(action)), FreeAction);
}

void PostCall(std::function<void()> action) {
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, RunPostedCall,
                    new std::function<void()>(std::move(action)), FreeAction);
}

void RunMessageLoop() {
    const TGOwner<GMainLoop> loop(g_main_loop_new(nullptr, FALSE));
    GMainLoop* outer = MainLoop;
    MainLoop = loop;
    g_main_loop_run(loop);
    MainLoop = outer;
}

void TerminateMessageLoop() {
    if (MainLoop != nullptr)
        g_main_loop_quit(MainLoop);
}

bool MessageLoopRunning() {
    return MainLoop != nullptr && g_main_loop_is_running(MainLoop);
}

void PostCallWhileAlive(std::weak_ptr<bool> alive, std::function<void()> action) {
    PostCall([alive = std::move(alive), action = std::move(action)] {
        const std::shared_ptr<bool> owner = alive.lock();
        if (owner && *owner)
            action();
    });
}

} // namespace Folivant::Platform
