#pragma once

// The publication settings the runtime reads from section [Folivant] of the
// settings entry: every key with its type and default, in the order in
// which they are read.

#include "base/Classes.h"
#include "shared/IniFiles.h"

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace Folivant::Shared {

inline constexpr const char16_t* SettingsSection = u"Folivant";

enum class TSettingType { stString, stInteger, stBoolean };

struct TSettingKey {
    const char16_t* Name;
    TSettingType Type;
    const char16_t* DefaultString; // for strings
    std::int32_t DefaultNumber;    // for integers and booleans (0 or 1)
};

extern const std::array<TSettingKey, 15> PublicationSettingKeys;

struct TPublicationSettings {
    String AppTheme;
    String AppTitle;
    String AppPassword;
    bool UseTrayIcon = false;
    String RootDirName;
    bool AppEscapeClose = false;
    String IndexPage;
    String ExtractFileExts;
    String ExecuteFileExts;
    std::int32_t AppWindowWidth = 0;
    std::int32_t AppWindowHeight = 0;
    bool HideJsErrors = false;
    std::int32_t AppWindowStyle = 0;
    // Meaningful only when AppWindowStyle is not 1.
    std::int32_t AppBorderStyle = 0;
    std::int32_t AppWindowOrder = 0;
};

// Every key as the runtime reads it, unusable values taking their defaults.
TPublicationSettings ReadPublicationSettings(const TMemIniFile& ini);

// Every key with its value as text (booleans 0 or 1, integers in decimal),
// in table order.
std::vector<std::pair<String, String>> DescribePublicationSettings(const TMemIniFile& ini);

} // namespace Folivant::Shared
