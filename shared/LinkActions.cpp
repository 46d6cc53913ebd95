#include "shared/LinkActions.h"

#include "shared/FvpResolver.h"
#include "shared/FvpScheme.h"
#include "shared/StrUtils.h"
#include "shared/TemporalFiles.h"

#include "base/Text.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace Folivant::Shared {

namespace {

char16_t LowerAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c;
}

String UpperAscii(String text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z')
            c -= u'a' - u'A';
    return text;
}

bool SameAsciiText(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

// Whether url begins with "fvp://" in any letter case.
bool IsFvpUrl(const String& url) {
    return url.size() >= FvpUrlPrefix.size() &&
           SameAsciiText(std::u16string_view(url).substr(0, FvpUrlPrefix.size()), FvpUrlPrefix);
}

// Every occurrence of what, ignoring ASCII case, removed in one pass from
// the left; text that a removal joins together is not searched again.
String RemoveAllText(const String& text, std::u16string_view what) {
    String out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.size() - i >= what.size() &&
            SameAsciiText(std::u16string_view(text).substr(i, what.size()), what)) {
            i += what.size();
            continue;
        }
        out.push_back(text[i++]);
    }
    return out;
}

// A configured extension list: an empty setting is no list at all; otherwise
// every piece between single spaces counts, empty ones too.
TArrayStrings ExtensionList(const String& setting) {
    if (setting.empty())
        return {};
    return TStrUtils::ExplodeStrings(u" ", setting);
}

String WithoutDots(String text) {
    std::erase(text, u'.');
    return text;
}

std::filesystem::path FileSystemPath(const String& path) {
#ifdef _WIN32
    return std::filesystem::path(std::wstring(path.begin(), path.end()));
#else
    return std::filesystem::path(StringToUtf8(path));
#endif
}

// Writes all bytes of source (from its start) to target.
void CopyAll(TCustomMemoryStream& source, TStream& target) {
    source.SetPosition(0);
    target.WriteBuffer(source.Memory(), source.Size());
}

} // namespace

String TLinkActions::ExtensionOf(const String& name) {
    const std::size_t dot = name.find_last_of(u".\\:");
    if (dot == String::npos || name[dot] != u'.')
        return String();
    return name.substr(dot);
}

TLinkActions::TLinkActions(Archive::TZipReader& zip, TLinkActionsSettings settings,
                           TLinkServices services)
    : DrawTemporalName([] { return TStrUtils::RandomString(10); }), FZip(zip),
      FSettings(std::move(settings)), FServices(services) {}

void TLinkActions::ExtractTo(const String& name, TStream& target) {
    TMemoryStream memory;
    FZip.ExtractToStream(name, memory);
    CopyAll(memory, target);
}

bool TLinkActions::ExtractAndOpen(const String& name, const String& suffix, unsigned mode) {
    // The file is created before the entry is decoded, so that a name the
    // temporary folder cannot hold fails before any work is done; both the
    // file and the decoded bytes are released whatever happens.
    TExclusiveFileStream file = TExclusiveFileStream::CreateNew(FServices.Shell.GetTemporalDir(),
                                                                suffix, DrawTemporalName, mode);
    ExtractTo(name, file);
    file.Close();
    // Only the file written here is registered and opened: if someone put
    // another in its place meanwhile, it is neither run nor deleted.
    if (!file.StillAtPath())
        return false;
    FServices.TemporalFiles.Add(file.FileName());
    FServices.Shell.ShellOpen(file.FileName(), String());
    return true;
}

String TLinkActions::ScriptEntryName(const String& path) const {
    // Script paths live under the root folder. Entry names never begin with
    // "/", so without a root folder the path is the entry name itself, and a
    // root folder written with slashes around it still names that folder.
    const String root = TStrUtils::RemoveSideSlashes(FSettings.RootDirName);
    return root.empty() ? path : root + u"/" + path;
}

bool TLinkActions::OpenFile(const String& filePath) {
    const String path = TStrUtils::RemoveSideSlashes(filePath);

    // Pages may write local paths with "\" or "/"; the file system separates
    // with "/" (with "\" on Windows).
    String localPath = path;
    std::replace(localPath.begin(), localPath.end(), u'\\', u'/');
    localPath = TStrUtils::RemoveSideSlashes(localPath);
#ifdef _WIN32
    std::replace(localPath.begin(), localPath.end(), u'/', u'\\');
#endif
    const String local = FSettings.ExeDir + localPath;
    std::error_code error;
    if (std::filesystem::exists(FileSystemPath(local), error)) {
        FServices.Shell.ShellOpen(local, String());
        return true;
    }

    const String name = ScriptEntryName(path);
    if (FZip.FindFile(name) >= 0) {
        // A file of an execute kind is opened by being run, as the shell
        // runs a program it is asked to open.
        const String ext = ExtensionOf(name);
        const TArrayStrings executeList = ExtensionList(FSettings.ExecuteFileExts);
        const bool runs = std::find(executeList.begin(), executeList.end(), WithoutDots(ext)) !=
                          executeList.end();
        if (ExtractAndOpen(name, ext, runs ? ExecuteFileMode : OpenFileMode))
            return true;
    }

    FServices.Messages.ShowMessage(u"File \"" + filePath + u"\" do not exists.");
    return false;
}

bool TLinkActions::PlayWavSound(const String& wavPath, bool loop) {
    const String name = ScriptEntryName(TStrUtils::RemoveSideSlashes(wavPath));
    if (FZip.FindFile(name) < 0)
        return false;
    String failure;
    try {
        TMemoryStream memory;
        FZip.ExtractToStream(name, memory);
        memory.SetPosition(0);
        return FServices.Sound.PlaySoundFromStream(memory, loop);
    } catch (const Exception& e) {
        failure = e.Message();
    } catch (const std::exception& e) {
        failure = Utf8ToString(e.what());
    }
    FServices.Messages.ShowMessage(u"File \"" + wavPath + u"\" can't be read. Error message: " +
                                   failure + u".");
    return false;
}

bool TLinkActions::HandleDownloableFiles(const String& url) {
    if (!IsFvpUrl(url))
        return false;

    const TArrayStrings extractList = ExtensionList(FSettings.ExtractFileExts);
    const TArrayStrings executeList = ExtensionList(FSettings.ExecuteFileExts);
    if (extractList.empty() && executeList.empty())
        return false;

    const String ext = WithoutDots(ExtensionOf(url));
    const String name = DownloadEntryName(url);

    bool result = false;
    for (const String& kind : extractList) {
        if (kind != ext)
            continue;
        result = true;
        FServices.SaveDialog.SetDefaultExt(ext);
        FServices.SaveDialog.SetFilter(UpperAscii(ext) + u"|*." + ext);
        if (FZip.FindFile(name) >= 0 && FServices.SaveDialog.Execute()) {
            const String chosen = FServices.SaveDialog.FileName();
            {
                TFileStream file(FileSystemPath(chosen), TFileMode::fmCreate);
                ExtractTo(name, file);
            }
            FServices.Shell.ShellOpen(chosen, String());
        }
    }
    for (const String& kind : executeList) {
        if (kind != ext)
            continue;
        result = true;
        if (FZip.FindFile(name) >= 0)
            ExtractAndOpen(name, u"." + ext, ExecuteFileMode);
    }
    return result;
}

String TLinkActions::UrlEntryName(const String& url) const {
    // The request is what follows the scheme's ":".
    const std::size_t colon = url.find(u':');
    return TFvpResolver(FZip, nullptr)
        .FindEntry(colon == String::npos ? url : url.substr(colon + 1));
}

String TLinkActions::DownloadEntryName(const String& url) const {
    // The engine percent-encodes what a link names ("My Report.zip" arrives
    // as "My%20Report.zip"), so the entry is the one the page itself would
    // get from that URL. An entry whose stored name is the URL text itself
    // (the scheme taken out, nothing decoded) is still found, as links to
    // it always found it.
    const String name = UrlEntryName(url);
    return name.empty() ? TStrUtils::RemoveSideSlashes(RemoveAllText(url, FvpUrlPrefix)) : name;
}

bool TLinkActions::SaveEntryAs(const String& url) {
    if (!IsFvpUrl(url))
        return false;
    const String name = UrlEntryName(url);
    if (name.empty())
        return false;

    const std::size_t slash = name.rfind(u'/');
    const String base = slash == String::npos ? name : name.substr(slash + 1);
    const String ext = WithoutDots(ExtensionOf(base));
    ISaveDialog& dialog = FServices.SaveDialog;
    dialog.SetDefaultExt(ext);
    dialog.SetFilter(ext.empty() ? String() : UpperAscii(ext) + u"|*." + ext);
    // The entry's own name, in the folder of the name chosen last.
    const String previous = dialog.FileName();
#ifdef _WIN32
    const std::size_t folderEnd = previous.find_last_of(u"\\/");
#else
    const std::size_t folderEnd = previous.rfind(u'/');
#endif
    dialog.SetFileName(folderEnd == String::npos ? base : previous.substr(0, folderEnd + 1) + base);
    if (!dialog.Execute()) {
        dialog.SetFileName(previous);
        return true;
    }
    TFileStream file(FileSystemPath(dialog.FileName()), TFileMode::fmCreate);
    ExtractTo(name, file);
    return true;
}

} // namespace Folivant::Shared
