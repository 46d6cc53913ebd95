#include "desktop/SysUtils.h"

#include "base/Text.h"
#include "platform/ui/Application.h"
#include "platform/ui/Shell.h"
#include "platform/ui/Sound.h"
#include "platform/SpecialFolders.h"
#include "platform/ui/SystemInfo.h"

#include "base/SystemFile.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace Folivant::Shared {

namespace {

// The system's folder separator; "/" is one everywhere.
constexpr char16_t Separator = std::filesystem::path::preferred_separator;

bool IsSeparator(char16_t c) {
    return c == u'/' || c == Separator;
}

std::size_t LastSeparator(std::u16string_view path) {
    const std::size_t slash = path.rfind(u'/');
    const std::size_t own = path.rfind(Separator);
    if (slash == std::u16string_view::npos)
        return own;
    return own == std::u16string_view::npos ? slash : std::max(slash, own);
}

String WithTrailingSlash(String path) {
    if (path.empty() || !IsSeparator(path.back()))
        path.push_back(Separator);
    return path;
}

bool HasUnpairedSurrogate(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return true;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

// A name the file system can hold as one component: no NUL, Unicode text,
// and no more bytes than a name may have.
bool IsValidComponent(std::u16string_view component) {
    if (component.find(u'\0') != std::u16string_view::npos || HasUnpairedSurrogate(component))
        return false;
    return SystemFile::NameFits(component);
}

} // namespace

void TSysUtils::RestartApplication() {
    ShellOpen(Platform::ExecutablePath(), String());
    Platform::TerminateMessageLoop();
}

void TSysUtils::RefreshSystemIcons() {
    Platform::RefreshAssociations();
}

String TSysUtils::GetTemporalDir() {
    return Platform::TemporaryDir();
}

bool TSysUtils::StopCurrentSound() {
    return Platform::TSoundPlayer::Instance().Stop();
}

String TSysUtils::GetComputerNetName() {
    return Platform::ComputerName();
}

String TSysUtils::GetUserFromWindows() {
    const String name = Platform::UserName();
    return name.empty() ? String(u"Unknown") : name;
}

String TSysUtils::GetUserDesktopDirPath() {
    return WithTrailingSlash(GetSpecialFolderPath(CSIDL_DESKTOP));
}

String TSysUtils::GetUserDocumentsDirPath() {
    return WithTrailingSlash(GetSpecialFolderPath(CSIDL_PERSONAL));
}

String TSysUtils::GetUserAppDataDirPath() {
    return WithTrailingSlash(GetSpecialFolderPath(CSIDL_APPDATA));
}

String TSysUtils::GetSpecialFolderPath(int csidl) {
    switch (csidl) {
    case CSIDL_DESKTOP:
        return Platform::UserDesktopDir();
    case CSIDL_PERSONAL:
        return Platform::UserDocumentsDir();
    case CSIDL_APPDATA:
        return Platform::UserAppDataDir();
    default:
        return String();
    }
}

String TSysUtils::GetParentDirPath(const String& path) {
    std::filesystem::path full = SystemFile::PathOfText(path + Separator + u"..");
    if (full.is_relative()) {
        std::error_code error;
        const std::filesystem::path current = std::filesystem::current_path(error);
        full = (error ? std::filesystem::path("/") : current) / full;
    }
    return WithTrailingSlash(SystemFile::TextOfPath(full.lexically_normal()));
}

void TSysUtils::RemoveUTFBoomFromFile(const String& filePath) {
    // The file is rewritten through one handle from start to end.
    TFileStream file(SystemFile::PathOfText(filePath), TFileMode::fmOpenReadWrite);
    std::uint8_t mark[3] = {};
    file.ReadBuffer(mark, 3);
    if (mark[0] != 0xEF || mark[1] != 0xBB || mark[2] != 0xBF)
        return;
    const std::int64_t restSize = file.Size() - 3;
    std::vector<std::uint8_t> rest(static_cast<std::size_t>(restSize > 0 ? restSize : 0));
    file.ReadBuffer(rest.data(), static_cast<std::int64_t>(rest.size()));
    file.SetPosition(0);
    file.WriteBuffer(rest.data(), static_cast<std::int64_t>(rest.size()));
    if (!SystemFile::Truncate(file.Handle(), static_cast<std::int64_t>(rest.size())))
        throw EStreamError(u"Stream write error");
}

bool TSysUtils::PlaySoundFromStream(TCustomMemoryStream& stream, bool loop) {
    return Platform::TSoundPlayer::Instance().Play(stream.Memory(),
                                                   static_cast<std::size_t>(stream.Size()), loop);
}

std::int64_t TSysUtils::GetSizeOfFile(const String& filePath) {
    const std::size_t slash = LastSeparator(filePath);
    const String pattern = slash == String::npos ? filePath : filePath.substr(slash + 1);
    if (pattern.find_first_of(u"*?") == String::npos)
        return filePath.empty() ? -1 : SystemFile::EntrySize(SystemFile::PathOfText(filePath));

    const String folder = slash == String::npos ? String(u".")
                          : slash == 0          ? String(1, filePath[0])
                                                : filePath.substr(0, slash);
    // "*.*" matches every name, also those without a dot.
    return SystemFile::FirstMatchSize(SystemFile::PathOfText(folder),
                                      pattern == u"*.*" ? std::string("*") : StringToUtf8(pattern));
}

int TSysUtils::TrueFontWidth(const String& aFont, const String& str) {
    return Platform::TextWidth(aFont, str);
}

bool TSysUtils::IsValidFilePath(const String& FileName) {
    if (FileName.empty())
        return false;
    // Only the path asked about counts as taken; its folders exist anyway.
    if (!HasUnpairedSurrogate(FileName) && FileName.find(u'\0') == String::npos &&
        SystemFile::EntryExists(SystemFile::PathOfText(FileName)))
        return false;

    std::u16string_view rest(FileName);
    for (;;) {
        const std::size_t slash = LastSeparator(rest);
        const std::u16string_view component =
            slash == std::u16string_view::npos ? rest : rest.substr(slash + 1);
        if (!IsValidComponent(component))
            return false;
        if (slash == std::u16string_view::npos)
            return true;
        rest = rest.substr(0, slash);
    }
}

bool TSysUtils::ShellOpen(const String& path, const String& args) {
    return Platform::ShellOpen(path, args);
}

} // namespace Folivant::Shared
