#include "shared/PublicationSettings.h"

#include <string>

namespace Folivant::Shared {

using enum TSettingType;

const std::array<TSettingKey, 15> PublicationSettingKeys = {{
    {u"AppTheme", stString, u"Windows", 0},
    {u"AppTitle", stString, u"", 0},
    {u"AppPassword", stString, u"", 0},
    {u"UseTrayIcon", stBoolean, nullptr, 0},
    {u"RootDirName", stString, u"", 0},
    {u"AppEscapeClose", stBoolean, nullptr, 0},
    {u"IndexPage", stString, u"", 0},
    {u"ExtractFileExts", stString, u"zip mp3 mp4", 0},
    {u"ExecuteFileExts", stString, u"exe", 0},
    {u"AppWindowWidth", stInteger, nullptr, 800},
    {u"AppWindowHeight", stInteger, nullptr, 600},
    {u"HideJsErrors", stBoolean, nullptr, 0},
    {u"AppWindowStyle", stInteger, nullptr, 0},
    {u"AppBorderStyle", stInteger, nullptr, 2},
    {u"AppWindowOrder", stInteger, nullptr, 0},
}};

namespace {

const TSettingKey& Key(const char16_t* name) {
    for (const TSettingKey& key : PublicationSettingKeys) {
        if (std::u16string_view(key.Name) == name)
            return key;
    }
    throw Exception(u"Unknown setting " + String(name));
}

String ReadText(const TMemIniFile& ini, const char16_t* name) {
    return ini.ReadString(SettingsSection, name, Key(name).DefaultString);
}

std::int32_t ReadNumber(const TMemIniFile& ini, const char16_t* name) {
    return ini.ReadInteger(SettingsSection, name, Key(name).DefaultNumber);
}

bool ReadFlag(const TMemIniFile& ini, const char16_t* name) {
    return ini.ReadBool(SettingsSection, name, Key(name).DefaultNumber != 0);
}

} // namespace

TPublicationSettings ReadPublicationSettings(const TMemIniFile& ini) {
    TPublicationSettings s;
    s.AppTheme = ReadText(ini, u"AppTheme");
    s.AppTitle = ReadText(ini, u"AppTitle");
    s.AppPassword = ReadText(ini, u"AppPassword");
    s.UseTrayIcon = ReadFlag(ini, u"UseTrayIcon");
    s.RootDirName = ReadText(ini, u"RootDirName");
    s.AppEscapeClose = ReadFlag(ini, u"AppEscapeClose");
    s.IndexPage = ReadText(ini, u"IndexPage");
    s.ExtractFileExts = ReadText(ini, u"ExtractFileExts");
    s.ExecuteFileExts = ReadText(ini, u"ExecuteFileExts");
    s.AppWindowWidth = ReadNumber(ini, u"AppWindowWidth");
    s.AppWindowHeight = ReadNumber(ini, u"AppWindowHeight");
    s.HideJsErrors = ReadFlag(ini, u"HideJsErrors");
    s.AppWindowStyle = ReadNumber(ini, u"AppWindowStyle");
    s.AppBorderStyle = ReadNumber(ini, u"AppBorderStyle");
    s.AppWindowOrder = ReadNumber(ini, u"AppWindowOrder");
    return s;
}

std::vector<std::pair<String, String>> DescribePublicationSettings(const TMemIniFile& ini) {
    std::vector<std::pair<String, String>> out;
    for (const TSettingKey& key : PublicationSettingKeys) {
        String value;
        switch (key.Type) {
        case stString:
            value = ini.ReadString(SettingsSection, key.Name, key.DefaultString);
            break;
        case stInteger: {
            const std::string digits =
                std::to_string(ini.ReadInteger(SettingsSection, key.Name, key.DefaultNumber));
            value.assign(digits.begin(), digits.end());
            break;
        }
        case stBoolean:
            value = ini.ReadBool(SettingsSection, key.Name, key.DefaultNumber != 0) ? u"1" : u"0";
            break;
        }
        out.emplace_back(key.Name, std::move(value));
    }
    return out;
}

} // namespace Folivant::Shared
