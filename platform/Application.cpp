#include "platform/Application.h"

#include "archive/Text.h"
#include "platform/MessageBox.h"

#include <glib.h>
#include <unistd.h>

#include <cstdio>

namespace Folivant::Platform {

namespace {

GMainLoop* MainLoop = nullptr;

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

String ExceptionMessageText(const String& message) {
    if (!message.empty() && message.back() > u'.')
        return message + u".";
    return message;
}

String MessageOf(const std::exception_ptr& failure) {
    try {
        if (failure)
            std::rethrow_exception(failure);
    } catch (const Folivant::Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return Utf8ToString(e.what());
    } catch (...) {
    }
    return u"Unknown failure";
}

void ShowException(const std::exception_ptr& failure) {
    MessageBox(ExceptionMessageText(MessageOf(failure)), ApplicationTitle(), MB_OK | MB_ICONERROR);
}

void HandleCallbackException() noexcept {
    try {
        ShowException(std::current_exception());
    } catch (...) {
        // The report itself failed; there is nowhere left to show it.
        std::fputs("folivant: a failure could not be reported\n", stderr);
    }
}

void RunMessageLoop() {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    GMainLoop* outer = MainLoop;
    MainLoop = loop;
    g_main_loop_run(loop);
    MainLoop = outer;
    g_main_loop_unref(loop);
}

void TerminateMessageLoop() {
    if (MainLoop != nullptr)
        g_main_loop_quit(MainLoop);
}

bool MessageLoopRunning() {
    return MainLoop != nullptr && g_main_loop_is_running(MainLoop);
}

} // namespace Folivant::Platform
