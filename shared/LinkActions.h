#pragma once

// What the main window does when a page opens a file, plays a sound or
// follows a link to a file of a configured kind: open a file beside the
// executable or extract an archive entry to the temporary folder and hand it
// to the shell; play a WAV entry; offer "save" kinds through the save dialog
// and run "execute" kinds from the temporary folder.
//
// Everything the actions need from the desktop comes through the small
// interfaces below, so that every rule runs without a display. The main
// window constructs the actions with the real services in one line:
//
//     #include "desktop/LinkServices.h"
//     FLinkActions = std::make_unique<Platform::TPlatformLinkActions>(
//         GlobalExeHtmlSite->ZipFile(), Shared::TLinkActionsSettings{
//             FAppRootDir, FExtractExts, FExecuteExts, Platform::ExecutableDir()});
//
// and forwards OpenFile, PlayWavSound and HandleDownloableFiles to it.
// TPlatformLinkActions owns its save dialog, so the last chosen name is
// remembered for as long as the main window keeps it.

#include "base/Classes.h"
#include "archive/ZipReader.h"

#include <functional>

namespace Folivant::Shared {

// The save-file dialog: a default extension added to a name typed without
// one, a filter in "Name|*.ext" pairs, and the file name chosen last.
class ISaveDialog {
public:
    virtual ~ISaveDialog() = default;
    virtual void SetDefaultExt(const String& ext) = 0;
    virtual void SetFilter(const String& filter) = 0;
    // The full path (or bare name) the dialog opens on.
    virtual void SetFileName(const String& fileName) = 0;
    // Shows the dialog modally; true when the user confirmed a name.
    virtual bool Execute() = 0;
    virtual String FileName() const = 0;
};

// The application's modal message box with one OK button.
class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    virtual void ShowMessage(const String& text) = 0;
};

class IShell {
public:
    virtual ~IShell() = default;
    // Opens a file or folder with the desktop's "open" action and returns
    // at once; true when the request was accepted.
    virtual bool ShellOpen(const String& path, const String& args) = 0;
    // The temporary folder, ending in "/".
    virtual String GetTemporalDir() = 0;
};

class ISoundPlayer {
public:
    virtual ~ISoundPlayer() = default;
    // Starts playing the WAV image held in stream and returns at once; the
    // caller frees the stream right after the call.
    virtual bool PlaySoundFromStream(TCustomMemoryStream& stream, bool loop) = 0;
};

// Where files written to the temporary folder are registered for deletion
// at the end of the run.
class ITemporalFileRegistry {
public:
    virtual ~ITemporalFileRegistry() = default;
    virtual void Add(const String& path) = 0;
};

struct TLinkServices {
    ISaveDialog& SaveDialog;
    IMessageBox& Messages;
    IShell& Shell;
    ISoundPlayer& Sound;
    ITemporalFileRegistry& TemporalFiles;
};

// The publication settings the actions read, plus the executable's folder.
struct TLinkActionsSettings {
    String RootDirName;                      // "RootDirName"
    String ExtractFileExts = u"zip mp3 mp4"; // "ExtractFileExts"
    String ExecuteFileExts = u"exe";         // "ExecuteFileExts"
    String ExeDir;                           // ends in "/"
};

class TLinkActions {
public:
    // Mode of a file extracted for the shell to open, and of one it runs.
    static constexpr unsigned OpenFileMode = 0600;
    static constexpr unsigned ExecuteFileMode = 0700;

    TLinkActions(Archive::TZipReader& zip, TLinkActionsSettings settings, TLinkServices services);
    virtual ~TLinkActions() = default;
    TLinkActions(const TLinkActions&) = delete;
    TLinkActions& operator=(const TLinkActions&) = delete;

    // Opens filePath beside the executable, or else the entry of that name
    // under the root folder, extracted to the temporary folder (runnable by
    // its owner when its extension is an execute kind). Shows
    // "File "%s" do not exists." and answers false when neither is there.
    // Failures creating or writing the temporary file reach the caller.
    bool OpenFile(const String& filePath);
    // Plays the WAV entry wavPath under the root folder. A missing entry
    // answers false silently; a failure while extracting or starting
    // playback is shown and answers false.
    bool PlayWavSound(const String& wavPath, bool loop);
    // True when url is an fvp URL whose extension is a save or execute kind;
    // the entry the URL names (decoded as the content protocol decodes it)
    // is then saved where the user chooses and/or run from the temporary
    // folder.
    bool HandleDownloableFiles(const String& url);
    // Offers the entry an fvp URL resolves to, as the content protocol
    // resolves it, for saving under its own name in the folder chosen last;
    // for a file the engine cannot show. False when the archive holds no
    // such entry. Failures writing the file reach the caller.
    bool SaveEntryAs(const String& url);

    // The extension of a name or URL: from its last "." to the end, unless a
    // "\" or ":" follows that "."; "/" does not end the search, so
    // "site/a.b/c" has ".b/c" and "fvp://site/page" has none.
    static String ExtensionOf(const String& name);

    // Draws the random part of a temporary file's name.
    std::function<String()> DrawTemporalName;

private:
    // Writes the entry name into a new temporary file (folder + random name
    // + suffix), registers it and opens it; true when the file was there
    // to open.
    bool ExtractAndOpen(const String& name, const String& suffix, unsigned mode);
    // The entry name of a script path (without side slashes) under the root
    // folder.
    String ScriptEntryName(const String& path) const;
    // The archive entry an fvp URL resolves to, as the content protocol
    // resolves it; empty when there is none.
    String UrlEntryName(const String& url) const;
    // The entry a download link names: the URL's entry, or else the URL
    // text without its scheme.
    String DownloadEntryName(const String& url) const;
    void ExtractTo(const String& name, TStream& target);

    Archive::TZipReader& FZip;
    TLinkActionsSettings FSettings;
    TLinkServices FServices;
};

} // namespace Folivant::Shared
