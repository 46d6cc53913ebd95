#include "platform/ui/Application.h"

#include "base/Text.h"
#include "platform/ui/MessageBox.h"

#include <cstdio>

namespace Folivant::Platform {

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

} // namespace Folivant::Platform
