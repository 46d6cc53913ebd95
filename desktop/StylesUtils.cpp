#include "desktop/StylesUtils.h"

#include "platform/ui/Forms.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/StyleManager.h"

#include <algorithm>

namespace Folivant::Shared {

using Platform::TStyleManager;

namespace {

bool NameLess(const String& a, const String& b) {
    return Platform::CompareStyleNames(a, b) < 0;
}

} // namespace

void TStringList::Add(const String& item) {
    if (FSorted)
        FItems.insert(std::upper_bound(FItems.begin(), FItems.end(), item, NameLess), item);
    else
        FItems.push_back(item);
}

void TStringList::SetSorted(bool sorted) {
    if (sorted && !FSorted)
        std::stable_sort(FItems.begin(), FItems.end(), NameLess);
    FSorted = sorted;
}

void TStylesUtils::TrySetStyle(const String& themeName, bool showError) {
    if (TStyleManager::Global().SetStyle(themeName) || !showError)
        return;
    Platform::MessageBox(u"Style '" + themeName + u"' not found", u"Error",
                         Platform::MB_CLOSE | Platform::MB_ICONERROR);
}

void TStylesUtils::GetAvailables(TStringList& list, bool sorted) {
    list.SetSorted(false);
    list.Clear();
    for (const auto& name : TStyleManager::Global().StyleNames())
        list.Add(name);
    list.SetSorted(sorted);
}

String TStylesUtils::GetActiveTheme() {
    return TStyleManager::Global().ActiveStyleName();
}

void TStylesUtils::DrawThemePreview(const String& themeName, Platform::TImage* targetImage) {
    if (themeName == Platform::SystemStyleName)
        throw Platform::EStyleError(u"Not available \"Windows\" preview.");
    const Platform::TStyleFile* file = TStyleManager::Global().FindStyleFile(themeName);
    if (file == nullptr)
        throw Platform::EStyleError(u"Style '" + themeName + u"' not found");
    if (targetImage == nullptr)
        throw Platform::EStyleError(u"No image to draw the preview of '" + themeName + u"' into");
    targetImage->SetPicture(TStyleManager::PreviewPicture(*file, targetImage->ClientWidth(),
                                                          targetImage->ClientHeight(), themeName));
}

} // namespace Folivant::Shared
