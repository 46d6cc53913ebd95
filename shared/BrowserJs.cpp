#include "shared/BrowserJs.h"

#include "base/Text.h"
#include "platform/SystemServices.h"
#include "shared/GlobalMainForm.h"
#include "shared/JsConstants.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

namespace Folivant::Shared {

namespace {

// The browser whose page started the host sound that may still play; the
// host has one sound for all windows.
const TJsBrowser* SoundStarter = nullptr;

char16_t FoldAsciiLower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

bool SameFolded(const String& a, const String& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldAsciiLower(a[i]) != FoldAsciiLower(b[i]))
            return false;
    return true;
}

// The low 16 bits of a numeric argument, taken as a signed number. A value
// that is no number gives nothing.
std::optional<std::int16_t> Low16(const TVariant& value) {
    switch (value.vt) {
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(value.intVal & 0xFFFF));
    case VT_R8: {
        if (!std::isfinite(value.dblVal) || std::fabs(value.dblVal) >= 9.2e18)
            return std::nullopt;
        auto whole = static_cast<std::int64_t>(std::trunc(value.dblVal));
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(whole & 0xFFFF));
    }
    default:
        return std::nullopt;
    }
}

void SetStringResult(TVariant* varResult, const String& text) {
    if (varResult == nullptr)
        return;
    varResult->Clear();
    *varResult = TVariant::FromString(text);
}

String DecimalText(long long n) {
    std::string s = std::to_string(n);
    return String(s.begin(), s.end());
}

} // namespace

String VariantToText(const TVariant& value) {
    switch (value.vt) {
    case VT_BSTR:
    case VT_DISPATCH: {
        // The text runs to its terminating null character.
        auto end = value.bstrVal.find(u'\0');
        return end == String::npos ? value.bstrVal : value.bstrVal.substr(0, end);
    }
    case VT_I2:
    case VT_I4:
        return DecimalText(value.intVal);
    case VT_BOOL:
        return value.intVal != 0 ? u"true" : u"false";
    case VT_R8: {
        if (std::isnan(value.dblVal))
            return u"NaN";
        if (std::isinf(value.dblVal))
            return value.dblVal > 0 ? u"Infinity" : u"-Infinity";
        if (value.dblVal == std::trunc(value.dblVal) && std::fabs(value.dblVal) < 1e15)
            return DecimalText(static_cast<long long>(value.dblVal));
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", value.dblVal);
        // Shortest form that reads back as the same number.
        for (int precision = 1; precision <= 17; ++precision) {
            char attempt[32];
            std::snprintf(attempt, sizeof attempt, "%.*g", precision, value.dblVal);
            if (std::strtod(attempt, nullptr) == value.dblVal) {
                std::snprintf(buffer, sizeof buffer, "%s", attempt);
                break;
            }
        }
        std::string s(buffer);
        return String(s.begin(), s.end());
    }
    default:
        return String();
    }
}

std::int32_t TBrowserJs::FunctionIDByName(const String& name) const {
    for (const TJsFunction& f : JsFunctions)
        if (SameFolded(f.Name, name))
            return f.ID;
    return -1;
}

String TBrowserJs::FunctionNameByID(std::int32_t id) const {
    for (const TJsFunction& f : JsFunctions)
        if (f.ID == id)
            return f.Name;
    return String();
}

void TBrowserJs::ExecuteFunction(TJsBrowser& browser, std::int32_t funcID, TDispParams& params,
                                 TVariant* varResult) const {
    const unsigned count = params.cArgs();
    switch (funcID) {
    case JS_WEB_FIND:
        browser.ShowFindDialog();
        break;
    case JS_WEB_PREVIEW:
        browser.PrintPreview();
        break;
    case JS_APP_PLAY_WAV:
        if (ActiveMainForm == nullptr)
            break;
        if (count == 1) {
            if (ActiveMainForm->PlayWavSound(VariantToText(params.rgvarg[0]), false))
                SoundStarter = &browser;
        } else if (count == 2) {
            auto flag = Low16(params.rgvarg[0]);
            if (ActiveMainForm->PlayWavSound(VariantToText(params.rgvarg[1]), flag && *flag != 0))
                SoundStarter = &browser;
        }
        break;
    case JS_APP_STOP_WAV:
        if (ActiveMainForm != nullptr)
            ActiveMainForm->StopWavSound();
        SoundStarter = nullptr;
        break;
    case JS_APP_OPEN_FILE:
        if (count == 1 && ActiveMainForm != nullptr)
            ActiveMainForm->OpenFile(VariantToText(params.rgvarg[0]));
        break;
    case JS_APP_PARAM_STR: {
        if (count != 1)
            break;
        auto index = Low16(params.rgvarg[0]);
        if (!index)
            break;
        String commandLine = ProcessCommandLine();
        if (ParamCount(commandLine) >= *index)
            SetStringResult(varResult, ParamStr(commandLine, *index, ProcessFileName()));
        break;
    }
    case JS_APP_PARAM_COUNT:
        SetStringResult(varResult, DecimalText(ParamCount(ProcessCommandLine())));
        break;
    case JS_APP_IS_RUNTIME:
        if (varResult != nullptr) {
            bool runtime = ActiveMainForm != nullptr && ActiveMainForm->IsRuntime();
            varResult->Clear();
            *varResult = TVariant::FromInt(runtime ? 1 : 0);
        }
        break;
    case JS_SAY_HELLO:
        if (count == 1)
            SetStringResult(varResult, u"Hello " + VariantToText(params.rgvarg[0]) + u"!");
        else
            SetStringResult(varResult, u"Hello!");
        break;
    default:
        break;
    }
}

std::vector<String> TBrowserJs::SplitCommandLine(const String& commandLine) {
    std::vector<String> words;
    std::size_t i = 0;
    const std::size_t n = commandLine.size();
    while (true) {
        // Skip blanks and an empty pair of quotes in front of the word.
        while (true) {
            while (i < n && commandLine[i] >= 1 && commandLine[i] <= 32)
                ++i;
            if (i + 1 < n && commandLine[i] == u'"' && commandLine[i + 1] == u'"')
                i += 2;
            else
                break;
        }
        String word;
        while (i < n && commandLine[i] > 32) {
            if (commandLine[i] == u'"') {
                ++i;
                while (i < n && commandLine[i] != u'"')
                    word += commandLine[i++];
                if (i < n)
                    ++i;
            } else {
                word += commandLine[i++];
            }
        }
        if (word.empty())
            break;
        words.push_back(std::move(word));
    }
    return words;
}

int TBrowserJs::ParamCount(const String& commandLine) {
    auto words = SplitCommandLine(commandLine);
    return words.empty() ? 0 : static_cast<int>(words.size()) - 1;
}

String TBrowserJs::ParamStr(const String& commandLine, int index, const String& programFile) {
    if (index < 0)
        return String();
    if (index == 0)
        return programFile;
    auto words = SplitCommandLine(commandLine);
    if (static_cast<std::size_t>(index) < words.size())
        return words[static_cast<std::size_t>(index)];
    return String();
}

bool TBrowserJs::ReleaseSound(const TJsBrowser& browser) {
    if (SoundStarter != &browser)
        return false;
    SoundStarter = nullptr;
    return true;
}

String TBrowserJs::ProcessCommandLine() {
    return Platform::ProcessCommandLine();
}

String TBrowserJs::ProcessFileName() {
    return Platform::ProcessFileName();
}

} // namespace Folivant::Shared
