#include "platform/ui/Shell.h"

#include "platform/gtk/GlibOwner.h"
#include "base/Text.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace Folivant::Platform {

namespace {

// A text such as "https://..." or "mailto:x": a scheme of two or more
// characters, so that a single letter before ":" never counts.
bool HasUriScheme(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon < 2 || !g_ascii_isalpha(text[0]))
        return false;
    for (std::size_t i = 1; i < colon; ++i)
        if (!g_ascii_isalnum(text[i]) && text[i] != '+' && text[i] != '-' && text[i] != '.')
            return false;
    return true;
}

// An ELF image or a "#!" script that the user may run.
bool IsNativeExecutable(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::access(path.c_str(), X_OK) != 0)
        return false;
    const int handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0)
        return false;
    char magic[4] = {};
    const ssize_t got = ::read(handle, magic, sizeof magic);
    ::close(handle);
    return (got == 4 && std::memcmp(magic,
                                    "\x7f"
                                    "ELF",
                                    4) == 0) ||
           (got >= 2 && magic[0] == '#' && magic[1] == '!');
}

bool StartProgram(const std::string& path, const std::string& args) {
    std::vector<std::string> words{path};
    if (!args.empty()) {
        TGOwner<gchar*> parsed;
        if (!g_shell_parse_argv(args.c_str(), nullptr, parsed.Out(), nullptr))
            return false;
        for (gchar** word = parsed; *word != nullptr; ++word)
            words.emplace_back(*word);
    }
    std::vector<gchar*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // Without G_SPAWN_DO_NOT_REAP_CHILD GLib detaches the child, so a
    // program that outlives the runtime leaves no zombie behind.
    return g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, nullptr,
                         nullptr) != FALSE;
}

bool LaunchDefault(const std::string& uri) {
    TGOwner<GAppLaunchContext> context;
    if (GdkDisplay* display = gdk_display_get_default())
        context.Reset(G_APP_LAUNCH_CONTEXT(gdk_display_get_app_launch_context(display)));
    TGError error;
    return g_app_info_launch_default_for_uri(uri.c_str(), context, error.Out()) != FALSE;
}

bool RunTool(const char* tool, const std::string& folder) {
    const TGString found(g_find_program_in_path(tool));
    if (found == nullptr)
        return false;
    std::string program = found.Get();
    std::string target = folder;
    gchar* argv[] = {program.data(), target.data(), nullptr};
    gint status = 0;
    if (!g_spawn_sync(
            nullptr, argv, nullptr,
            static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
            nullptr, nullptr, nullptr, nullptr, &status, nullptr))
        return false;
    return g_spawn_check_wait_status(status, nullptr) != FALSE;
}

} // namespace

bool ShellOpen(const String& path, const String& args) {
    if (path.empty())
        return false;
    const std::string target = StringToUtf8(path);
    struct stat info {};
    if (::stat(target.c_str(), &info) != 0) {
        if (HasUriScheme(target))
            return LaunchDefault(target);
        return false;
    }
    if (IsNativeExecutable(target))
        return StartProgram(target, StringToUtf8(args));

    const TGOwner<GFile> file(g_file_new_for_path(target.c_str()));
    const TGString uri(g_file_get_uri(file));
    return LaunchDefault(uri.Get());
}

bool RefreshAssociations() {
    const std::string data = g_get_user_data_dir();
    bool ok = true;
    const std::string mime = data + "/mime";
    if (g_file_test((mime + "/packages").c_str(), G_FILE_TEST_IS_DIR))
        ok = RunTool("update-mime-database", mime) && ok;
    const std::string applications = data + "/applications";
    if (g_file_test(applications.c_str(), G_FILE_TEST_IS_DIR))
        ok = RunTool("update-desktop-database", applications) && ok;
    return ok;
}

} // namespace Folivant::Platform
