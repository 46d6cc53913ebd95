#include "desktop/SysUtils.h"

#include "base/Text.h"
#include "platform/ui/Application.h"
#include "platform/ui/Shell.h"
#include "platform/ui/Sound.h"
#include "platform/SpecialFolders.h"
#include "platform/ui/SystemInfo.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace Folivant::Shared {

namespace {

String WithTrailingSlash(String path) {
    if (path.empty() || path.back() != u'/')
        path.push_back(u'/');
    return path;
}

std::int64_t SizeOfEntry(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 && ::lstat(path.c_str(), &info) != 0)
        return -1;
    return S_ISDIR(info.st_mode) ? 0 : static_cast<std::int64_t>(info.st_size);
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
    return StringToUtf8(component).size() <= NAME_MAX;
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
    std::filesystem::path full(StringToUtf8(path) + "/..");
    if (full.is_relative()) {
        std::error_code error;
        const std::filesystem::path current = std::filesystem::current_path(error);
        full = (error ? std::filesystem::path("/") : current) / full;
    }
    return WithTrailingSlash(Utf8ToString(full.lexically_normal().string()));
}

void TSysUtils::RemoveUTFBoomFromFile(const String& filePath) {
    // Linux has no sharing modes that keep other writers out; the file is
    // rewritten through one descriptor from start to end.
    TFileStream file(std::filesystem::path(StringToUtf8(filePath)), TFileMode::fmOpenReadWrite);
    std::uint8_t mark[3] = {};
    file.ReadBuffer(mark, 3);
    if (mark[0] != 0xEF || mark[1] != 0xBB || mark[2] != 0xBF)
        return;
    const std::int64_t restSize = file.Size() - 3;
    std::vector<std::uint8_t> rest(static_cast<std::size_t>(restSize > 0 ? restSize : 0));
    file.ReadBuffer(rest.data(), static_cast<std::int64_t>(rest.size()));
    file.SetPosition(0);
    file.WriteBuffer(rest.data(), static_cast<std::int64_t>(rest.size()));
    if (::ftruncate(file.Handle(), static_cast<off_t>(rest.size())) != 0)
        throw EStreamError(u"Stream write error");
}

bool TSysUtils::PlaySoundFromStream(TCustomMemoryStream& stream, bool loop) {
    return Platform::TSoundPlayer::Instance().Play(stream.Memory(),
                                                   static_cast<std::size_t>(stream.Size()), loop);
}

std::int64_t TSysUtils::GetSizeOfFile(const String& filePath) {
    const std::string path = StringToUtf8(filePath);
    const std::size_t slash = path.rfind('/');
    std::string pattern = slash == std::string::npos ? path : path.substr(slash + 1);
    if (pattern.find_first_of("*?") == std::string::npos)
        return path.empty() ? -1 : SizeOfEntry(path);

    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : path.substr(0, slash);
    // "*.*" matches every name, also those without a dot.
    if (pattern == "*.*")
        pattern = "*";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return -1;
    std::int64_t size = -1;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || ::fnmatch(pattern.c_str(), name.c_str(), 0) != 0)
            continue;
        size = SizeOfEntry(folder + "/" + name);
        if (size >= 0)
            break;
    }
    ::closedir(dir);
    return size;
}

int TSysUtils::TrueFontWidth(const String& aFont, const String& str) {
    return Platform::TextWidth(aFont, str);
}

bool TSysUtils::IsValidFilePath(const String& FileName) {
    if (FileName.empty())
        return false;
    // Only the path asked about counts as taken; its folders exist anyway.
    struct stat info {};
    const std::string whole = StringToUtf8(FileName);
    if (!HasUnpairedSurrogate(FileName) && FileName.find(u'\0') == String::npos &&
        ::lstat(whole.c_str(), &info) == 0)
        return false;

    std::u16string_view rest(FileName);
    for (;;) {
        const std::size_t slash = rest.rfind(u'/');
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
