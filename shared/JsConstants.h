#pragma once

// The host functions that pages find on window.external: their names and the
// IDs the engine uses as dispatch ids. Publication pages are written against
// this table.

#include "base/Classes.h"

#include <array>
#include <cstdint>

namespace Folivant::Shared {

struct TJsFunction {
    std::int32_t ID;
    String Name;
};

inline constexpr std::int32_t JS_WEB_FIND = 1;
inline constexpr std::int32_t JS_WEB_PREVIEW = 2;
inline constexpr std::int32_t JS_APP_PLAY_WAV = 3;
inline constexpr std::int32_t JS_APP_STOP_WAV = 4;
inline constexpr std::int32_t JS_APP_OPEN_FILE = 5;
inline constexpr std::int32_t JS_APP_PARAM_STR = 6;
inline constexpr std::int32_t JS_APP_PARAM_COUNT = 7;
inline constexpr std::int32_t JS_APP_IS_RUNTIME = 8;
inline constexpr std::int32_t JS_SAY_HELLO = 9999;

// Searched in this order by name lookup.
extern const std::array<TJsFunction, 9> JsFunctions;

} // namespace Folivant::Shared
