// The style manager on Windows. "Windows" is the system's own look, which
// every window has as long as it is active. The other styles are read from
// the program's VCLSTYLE resources, listed, found by name and made the
// active one; their own drawing of the windows is not done here yet, so
// the windows keep the system's look under them and no preview is drawn.
#include "platform/ui/StyleManager.h"

#include "base/Text.h"

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

// Nothing of a style is installed on the system's windows yet.
struct TStyleManager::TSheets {};

TStyleManager::TStyleManager() : FOwnResources(true), FSheets(std::make_unique<TSheets>()) {}

TStyleManager::TStyleManager(std::vector<TResource> resources)
    : FGivenResources(std::move(resources)), FSheets(std::make_unique<TSheets>()) {}

TStyleManager::~TStyleManager() = default;

TStyleManager& TStyleManager::Global() {
    static auto* manager = new TStyleManager();
    return *manager;
}

bool TStyleManager::SetStyle(const String& name) {
    RegisterStyleFiles();
    if (SameStyleName(name, SystemStyleName)) {
        Activate(SystemStyleName, 0);
        return true;
    }
    for (std::size_t i = 0; i < FFiles.size(); ++i)
        if (SameStyleName(name, FFiles[i].Name)) {
            Activate(FFiles[i].Name, i);
            return true;
        }
    return false;
}

void TStyleManager::Activate(const String& name, std::size_t) {
    FActiveName = name;
}

TPicture TStyleManager::PreviewPicture(const TStyleFile& file, int, int, const String&) {
    throw EStyleError(u"No preview of style '" + file.Name + u"' on this system");
}

} // namespace Folivant::Platform
