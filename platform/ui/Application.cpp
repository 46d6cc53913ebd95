#include "platform/ui/Application.h"

#include "base/Text.h"

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

} // namespace Folivant::Platform
