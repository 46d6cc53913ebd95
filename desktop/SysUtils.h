#pragma once

// The helpers through which the rest of the system reaches operating-system
// services: handing a file to the shell, the temporary folder, playing and
// stopping a sound held in memory, and small file, folder and name queries.
// Operating-system failures come back as a Boolean or a fallback value;
// file-stream failures are raised to the caller.

#include "base/Classes.h"

#include <cstdint>

namespace Folivant::Shared {

// Class methods only; never instantiated. The one piece of state behind it
// is the sound player's copy of the sound that is playing.
class TSysUtils {
public:
    TSysUtils() = delete;

    // Starts the running executable again, without arguments, then ends the
    // message loop, also when the new instance could not be started.
    static void RestartApplication();
    // Tells the desktop that file associations changed so that it refreshes
    // its icons and handlers.
    static void RefreshSystemIcons();
    // The temporary folder, ending in exactly one "/".
    static String GetTemporalDir();
    // Stops the sound that is playing, if any.
    static bool StopCurrentSound();
    // The machine's name; empty when it cannot be told.
    static String GetComputerNetName();
    // The user's login name; "Unknown" when it cannot be told.
    static String GetUserFromWindows();
    // The user's desktop, documents and application-data folders with a
    // trailing "/"; "/" alone when a folder cannot be determined.
    static String GetUserDesktopDirPath();
    static String GetUserDocumentsDirPath();
    static String GetUserAppDataDirPath();
    // The absolute parent of path ("/.." appended, made absolute against the
    // current folder, ".." removing the last component), with a trailing "/".
    static String GetParentDirPath(const String& path);
    // Removes a UTF-8 byte-order mark from the start of the file in place.
    // Raises "Cannot open file ..." when the file cannot be opened and
    // "Stream read error" when it is shorter than 3 bytes.
    static void RemoveUTFBoomFromFile(const String& filePath);
    // Starts asynchronous playback of the WAV image in stream's buffer (from
    // its start, whatever the position), looping until stopped when loop is
    // set; a new sound replaces the one playing. The stream may be freed as
    // soon as the call returns.
    static bool PlaySoundFromStream(TCustomMemoryStream& stream, bool loop);
    // Size in bytes of the first entry filePath matches ("*" and "?" allowed
    // in its last component); 0 for a folder, -1 when nothing matches.
    static std::int64_t GetSizeOfFile(const String& filePath);
    // Width in pixels of str in aFont, a font description of family, style
    // and size ("DejaVu Sans 12"); the default font when empty.
    static int TrueFontWidth(const String& aFont, const String& str);
    // False when FileName already names an entry, or when one of its
    // components is a name the file system cannot hold (a NUL, more bytes
    // than a name may have, text that is not Unicode).
    static bool IsValidFilePath(const String& FileName);
    // Hands path to the desktop's "open" action; true when accepted.
    static bool ShellOpen(const String& path, const String& args);

    // Folder identifiers of GetSpecialFolderPath.
    static constexpr int CSIDL_DESKTOP = 0x0000;
    static constexpr int CSIDL_PERSONAL = 0x0005;
    static constexpr int CSIDL_APPDATA = 0x001A;

private:
    // The folder without a trailing "/", empty when unknown.
    static String GetSpecialFolderPath(int csidl);
};

} // namespace Folivant::Shared
