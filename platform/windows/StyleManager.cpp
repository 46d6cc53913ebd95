// The style manager on Windows. "Windows" is the system's own look, which
// every window has as long as it is active. The other styles are read from
// the program's VCLSTYLE resources, listed, found by name and made the
// active one. The system does not run their style sheets: the palette each
// sheet defines (its fv_ colours) paints the windows and dialogs the
// runtime draws itself while the style is active (StyleDrawing.cpp), and
// the preview is a small window drawn in that palette. A style whose sheet
// has no palette leaves the system's look.
#include "platform/ui/StyleManager.h"

#include "base/Text.h"
#include "platform/windows/StyleDrawingWindows.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace Folivant::Platform {

namespace {

// The user's locale compares the names, without regard to case.
int CompareByLocale(const String& a, const String& b) {
    const int result = CompareStringEx(
        LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, reinterpret_cast<const wchar_t*>(a.c_str()),
        static_cast<int>(a.size()), reinterpret_cast<const wchar_t*>(b.c_str()),
        static_cast<int>(b.size()), nullptr, nullptr, 0);
    return result == 0 ? 0 : result - CSTR_EQUAL;
}

} // namespace

int CompareStyleNames(const String& a, const String& b) {
    const int collated = CompareByLocale(a, b);
    if (collated != 0)
        return collated;
    // The locale may call distinct texts equal; unless they differ in case
    // only, they are still distinct names.
    const String ua = UpperCaseUnicode(a);
    const String ub = UpperCaseUnicode(b);
    return ua == ub ? 0 : (ua < ub ? -1 : 1);
}

// The palettes of the styles activated once.
struct TStyleManager::TSheets {
    // None for a sheet without one.
    std::vector<std::optional<TStylePalette>> Loaded;
};

namespace {

// The manager whose style paints the windows now; none with the system look.
const TStyleManager* PaletteOwner = nullptr;

} // namespace

TStyleManager::TStyleManager() : FOwnResources(true), FSheets(std::make_unique<TSheets>()) {}

TStyleManager::TStyleManager(std::vector<TResource> resources)
    : FGivenResources(std::move(resources)), FSheets(std::make_unique<TSheets>()) {}

TStyleManager::~TStyleManager() {
    if (PaletteOwner == this) {
        UsePalette(nullptr);
        PaletteOwner = nullptr;
    }
}

TStyleManager& TStyleManager::Global() {
    static auto* manager = new TStyleManager();
    return *manager;
}

void TStyleManager::LoadSheet(const TStyleFile& file) {
    FSheets->Loaded.push_back(ReadStylePalette(file.StyleSheet));
}

void TStyleManager::Activate(const String& name, std::size_t loaded) {
    if (name == FActiveName)
        return;
    const std::optional<TStylePalette>* palette =
        loaded == NoSheet ? nullptr : &FSheets->Loaded[loaded];
    const bool paints = palette != nullptr && palette->has_value();
    // Every open window of the thread redraws itself in the new palette.
    UsePalette(paints ? &**palette : nullptr);
    FActiveName = name;
    PaletteOwner = paints ? this : nullptr;
}

TPicture TStyleManager::PreviewPicture(const TStyleFile& file, int width, int height,
                                       const String& caption) {
    const std::optional<TStylePalette> palette = ReadStylePalette(file.StyleSheet);
    if (!palette)
        throw EStyleError(u"Style '" + file.Name + u"' has no colours to draw a preview with");
    return DrawPalettePreview(*palette, width, height,
                              std::wstring(caption.begin(), caption.end()));
}

} // namespace Folivant::Platform
