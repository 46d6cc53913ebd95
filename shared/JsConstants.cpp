#include "shared/JsConstants.h"

namespace Folivant::Shared {

const std::array<TJsFunction, 9> JsFunctions = {{
    {JS_WEB_FIND, u"webFind"},
    {JS_WEB_PREVIEW, u"webPreview"},
    {JS_APP_PLAY_WAV, u"appPlayWav"},
    {JS_APP_STOP_WAV, u"appStopWav"},
    {JS_APP_OPEN_FILE, u"appOpenFile"},
    {JS_APP_PARAM_STR, u"appParamStr"},
    {JS_APP_PARAM_COUNT, u"appParamCount"},
    {JS_APP_IS_RUNTIME, u"appIsRuntime"},
    {JS_SAY_HELLO, u"SayHello"},
}};

} // namespace Folivant::Shared
