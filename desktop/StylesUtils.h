#pragma once

// Visual styles by name. The runtime applies the publication's style once,
// while its main window is created; the other operations list the styles
// and draw previews of them for choosing one. The styles themselves are the
// executable's embedded style files; "Windows" is the desktop's own look.

#include "base/Classes.h"

#include <cstddef>
#include <vector>

namespace Folivant::Platform {
class TImage;
}

namespace Folivant::Shared {

// A list of strings that can keep itself sorted by the user's locale without
// regard to case, as far as the style list needs one.
class TStringList {
public:
    void Clear() { FItems.clear(); }
    // Appends, or inserts at its sorted place while the list is sorted.
    void Add(const String& item);
    std::size_t Count() const { return FItems.size(); }
    const String& operator[](std::size_t index) const { return FItems.at(index); }
    const std::vector<String>& Items() const { return FItems; }
    bool Sorted() const { return FSorted; }
    // Turning sorting on sorts the list at once; turning it off keeps the
    // order as it is.
    void SetSorted(bool sorted);

private:
    std::vector<String> FItems;
    bool FSorted = false;
};

// Class methods only; never instantiated.
class TStylesUtils {
public:
    TStylesUtils() = delete;

    // Makes the named style active; names compare by the user's locale
    // without regard to case. An unknown name keeps the active style and,
    // when showError is true, shows "Style '<name>' not found" with a Close
    // button. The first call registers the embedded style files and raises
    // Platform::EStyleError when some of them cannot be loaded.
    static void TrySetStyle(const String& themeName, bool showError);
    // Empties list and fills it with "Windows" and the recorded name of each
    // embedded style, then sets its sorted mode to sorted.
    static void GetAvailables(TStringList& list, bool sorted);
    // "Windows" for the desktop's look, otherwise the active style's name.
    static String GetActiveTheme();
    // Draws a small window in the style of exactly that name, captioned with
    // the name, over the whole of targetImage. "Windows" has no preview and
    // raises "Not available "Windows" preview."; the image is then unchanged.
    static void DrawThemePreview(const String& themeName, Platform::TImage* targetImage);
};

} // namespace Folivant::Shared
